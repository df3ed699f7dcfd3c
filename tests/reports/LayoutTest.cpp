// The documents' layout as printed: every report kind of both calculator versions, portrait and
// landscape with every column, converted to PDF by LibreOffice and read back as positioned
// words (pdftotext -bbox). Rows never run onto a second page, every page of a table starts with
// its heading, no word touches the border picture's inner frame, no number breaks across lines,
// no page is empty and a long consumer address wraps instead of being cut off.
#include "ReportFixture.h"

#include "common/DataRoot.h"
#include "common/ProfileFile.h"
#include "reports/DocumentModel.h"
#include "reports/OfficeConversion.h"
#include "reports/ReportDocuments.h"
#include "reports/ReportTexts.h"
#include "reports/WordDocument.h"
#include "storage/RecordWriters.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QUrl>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

using namespace qst;
using namespace qst::test;

namespace {

struct Word
{
    double x0, y0, x1, y1;
    QString text;
};

struct Page
{
    double width = 0, height = 0;
    QList<Word> words;
};

struct Line
{
    double y = 0; // bottom of its first word
    QList<Word> words; // left to right
};

QList<Page> ReadBoxes(const QString &pdf, QString *error)
{
    QProcess p;
    p.start(QStringLiteral("pdftotext"), { QStringLiteral("-bbox"), pdf, QStringLiteral("-") });
    if (!p.waitForFinished(120000) || p.exitCode() != 0) {
        *error = QStringLiteral("pdftotext failed: ") + QString::fromLocal8Bit(p.readAllStandardError());
        return {};
    }
    QList<Page> pages;
    QXmlStreamReader x(p.readAllStandardOutput());
    while (!x.atEnd()) {
        x.readNext();
        if (!x.isStartElement())
            continue;
        const auto a = x.attributes();
        if (x.name() == QLatin1String("page")) {
            pages.append(
                Page { a.value(QStringLiteral("width")).toDouble(), a.value(QStringLiteral("height")).toDouble(), {} });
        } else if (x.name() == QLatin1String("word") && !pages.isEmpty()) {
            Word w { a.value(QStringLiteral("xMin")).toDouble(), a.value(QStringLiteral("yMin")).toDouble(),
                a.value(QStringLiteral("xMax")).toDouble(), a.value(QStringLiteral("yMax")).toDouble(), {} };
            w.text = x.readElementText();
            pages.last().words.append(w);
        }
    }
    if (x.hasError())
        *error = x.errorString();
    return pages;
}

// Words on one baseline, top to bottom.
QList<Line> Lines(const Page &page)
{
    QList<Word> words = page.words;
    std::sort(words.begin(), words.end(), [](const Word &a, const Word &b) {
        return a.y1 < b.y1 - 1.5 || (std::abs(a.y1 - b.y1) <= 1.5 && a.x0 < b.x0);
    });
    QList<Line> lines;
    for (const Word &w : words) {
        if (lines.isEmpty() || std::abs(lines.last().y - w.y1) > 1.5)
            lines.append(Line { w.y1, {} });
        lines.last().words.append(w);
    }
    for (Line &l : lines)
        std::sort(l.words.begin(), l.words.end(), [](const Word &a, const Word &b) { return a.x0 < b.x0; });
    return lines;
}

struct Rect
{
    double x0, y0, x1, y1;
    bool Meets(const Word &w) const { return w.x0 < x1 && w.x1 > x0 && w.y0 < y1 && w.y1 > y0; }
};

// Dark runs of pixels along one row or column of the picture, as [first, last] indices.
QList<std::pair<int, int>> DarkRuns(const QImage &image, bool alongRow, int at)
{
    QList<std::pair<int, int>> runs;
    const int n = alongRow ? image.width() : image.height();
    int start = -1;
    for (int i = 0; i <= n; ++i) {
        const bool dark = i < n && qGray(alongRow ? image.pixel(i, at) : image.pixel(at, i)) < 128;
        if (dark && start < 0)
            start = i;
        if (!dark && start >= 0) {
            runs.append({ start, i - 1 });
            start = -1;
        }
    }
    return runs;
}

// The four lines of the picture's inner frame on the page, found in the picture itself and
// placed where the documents put it (left/top from the margin and the header line).
QList<Rect> InnerFrame(bool landscape, QString *error)
{
    const QImage image = QImage::fromData(ReportHeaderPicture(landscape));
    if (image.isNull()) {
        *error = QStringLiteral("no border picture");
        return {};
    }
    const double left = landscape ? -30 : -60, top = -20, width = landscape ? 800 : 550, height = landscape ? 550 : 800;
    const double ox = docx::kMarginLeft / 20.0 + left, oy = docx::kHeaderDistance / 20.0 + top;
    const double sx = width / image.width(), sy = height / image.height();
    const auto across = DarkRuns(image, true, image.height() / 2);
    const auto down = DarkRuns(image, false, image.width() / 2);
    if (across.size() < 4 || down.size() < 4) {
        *error = QStringLiteral("the picture has no double frame");
        return {};
    }
    // Outer and inner line on each side: the second run from each end is the inner frame.
    const auto l = across[1], r = across[across.size() - 2], t = down[1], b = down[down.size() - 2];
    const double x0 = ox + l.first * sx, x1 = ox + (r.second + 1) * sx;
    const double y0 = oy + t.first * sy, y1 = oy + (b.second + 1) * sy;
    return {
        Rect { x0, y0, ox + (l.second + 1) * sx, y1 }, // left line
        Rect { ox + r.first * sx, y0, x1, y1 }, // right line
        Rect { x0, y0, x1, oy + (t.second + 1) * sy }, // top line
        Rect { x0, oy + b.first * sy, x1, y1 }, // bottom line
    };
}

enum Document {
    kHourly,
    kDaily,
    kMonthly,
    kJournal,
    kStatement,
};

struct Case
{
    int version;
    Document document;
    bool landscape;

    QString Name() const
    {
        static const char *const names[] = { "hourly", "daily", "monthly", "journal", "statement" };
        return QStringLiteral("v%1-%2-%3")
            .arg(version)
            .arg(QLatin1String(names[document]))
            .arg(landscape ? QStringLiteral("landscape") : QStringLiteral("portrait"));
    }
};

ReportMeter Meter()
{
    ReportMeter m;
    m.serial = QStringLiteral("100");
    m.name = QStringLiteral("Государственное бюджетное общеобразовательное учреждение средняя школа № 5 "
                            "с углублённым изучением иностранных языков Центрального района");
    m.phone = QStringLiteral("8 (812) 123-45-67");
    m.abonNo = QStringLiteral("17-0042");
    m.physAddress = QStringLiteral("г. Санкт-Петербург, Невский проспект, дом 100, корпус 2, литера А, помещение 15Н");
    m.person = QStringLiteral("Иванов Иван Иванович");
    m.du = QStringLiteral("50");
    m.duNumber = 50;
    m.devType = 2;
    return m;
}

// An archive of every kind for one meter of the given version: values of the widths real
// archives have, changing from record to record.
void FillArchive(ReportFixture &f, int version)
{
    QDir().mkpath(QDir(f.root.path()).filePath(QStringLiteral("DATA")));
    ProfileFile current(DataFilePath(f.root.path(), DataKind::CurrentValues, 100));
    current.WriteInteger(kCurrDataSection, QStringLiteral("Version"), version);
    int n = 0;
    auto row = [&n](double time, double scale) {
        ++n;
        const float k = float(1 + (n % 7) * 0.137);
        return ReportFixture::Row { time, float(0.123 * k * scale), float(12.345 * k * scale),
            float(11.987 * k * scale), float(12.4 * k * scale), float(12.1 * k * scale), 71.25f + float(n % 5),
            48.5f + float(n % 3), 5.2f, 4.1f, float(scale > 1 ? 24 * scale / 24 : 1), 0, 0, 0 };
    };
    for (int day = 0; day < 2; ++day)
        for (int h = 0; h < 24; ++h)
            f.Put(kHourlyArchive, row(At(2010, 3, 1 + day, h), 1), version);
    f.Put(kHourlyArchive, row(At(2010, 3, 3, 0), 1), version);
    for (int d = 0; d < 45; ++d)
        f.Put(kDailyArchive, row(At(2010, 1, 31) + d, 24), version);
    for (int m = 0; m < 16; ++m)
        f.Put(kMonthlyArchive, row(DayCountFromParts(QDate(2009, 1, 1).addMonths(m), QTime(0, 0)), 720), version);
    for (int e = 0; e < 150; ++e) {
        const double at = At(2010, 3, 1) + e * 0.1;
        SaveJournalLine(f.target, 100, 0, std::floor(at), at - std::floor(at), QStringLiteral("Q%1").arg(e % 9),
            QStringLiteral("%1").arg(e * 1.5), QStringLiteral("%1").arg(e * 1.5 + 0.25));
    }
}

ReportOptions Options(ReportFixture &f, const Case &c)
{
    QList<int> every;
    for (int i = 0; i < 17; ++i)
        every.append(i);
    ReportOptions o;
    o.meter = Meter();
    o.orientation = c.landscape ? 1 : 0;
    switch (c.document) {
    case kHourly:
        o.selection = f.Selection(kHourlyReport, QDate(2010, 3, 1), QDate(2010, 3, 2), every);
        break;
    case kDaily:
    case kStatement:
        o.selection = f.Selection(kDailyReport, QDate(2010, 2, 1), QDate(2010, 3, 12), every);
        break;
    case kMonthly:
        o.selection = f.Selection(kMonthlyReport, QDate(2009, 1, 1), QDate(2010, 2, 1), every);
        break;
    case kJournal:
        o.selection = f.Selection(kJournalReport, QDate(2010, 3, 1), QDate(2010, 3, 16), every);
        break;
    }
    o.detailVisible = c.document == kHourly;
    return o;
}

// What the check needs of a document besides its PDF: the row list it was built from.
struct Built
{
    Case c;
    QString pdf;
    RowList rows;
    QStringList notes;
};

bool IsNumber(const QString &text)
{
    static const QRegularExpression number(QStringLiteral("^-?\\d+(,\\d+)?$"));
    return number.match(text).hasMatch();
}

QString FirstWord(const QString &line)
{
    return line.section(u'\t', 0, 0).section(u' ', 0, 0);
}

// Every word a heading row of the document may hold.
QSet<QString> HeadingWords(const RowList &rows)
{
    QStringList texts;
    for (const QString &line : rows)
        if (line.section(u'\t', 0, 0).contains(texts::kDateCell))
            texts.append(line);
    for (const auto &l : texts::kStatementLabels)
        texts.append(QString::fromUtf16(l.label));
    texts << texts::kHeadingHeat << texts::kHeadingMass << texts::kHeadingTemperature << texts::kHeadingPressure
          << texts::kHeadingTime;
    QSet<QString> words;
    for (const QString &t : texts)
        for (const QString &w : t.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
            words.insert(w);
            // A hyphen is a place to break, as a blank is.
            const qsizetype hyphen = w.indexOf(u'-', 1);
            if (hyphen > 0) {
                words.insert(w.left(hyphen + 1));
                words.insert(w.mid(hyphen + 1));
            }
        }
    return words;
}

void CheckDocument(const Built &b, const QList<Page> &pages, const QList<Rect> &frame)
{
    SCOPED_TRACE(b.c.Name().toStdString());
    ASSERT_FALSE(pages.isEmpty());
    const double column1End = docx::kMarginLeft / 20.0 + 49;

    // Row starts: the first word of every data row of the row list.
    QSet<QString> rowStarts;
    for (const QString &line : b.rows)
        if (!line.section(u'\t', 0, 0).contains(texts::kDateCell))
            rowStarts.insert(FirstWord(line));
    const QSet<QString> heading = HeadingWords(b.rows);
    std::map<QString, int> pdfWords;

    for (int p = 0; p < pages.size(); ++p) {
        const Page &page = pages[p];
        SCOPED_TRACE("page " + std::to_string(p + 1));
        EXPECT_FALSE(page.words.isEmpty()) << "an empty page";
        for (const Word &w : page.words) {
            ++pdfWords[w.text];
            for (const Rect &r : frame)
                EXPECT_FALSE(r.Meets(w)) << "\"" << w.text.toStdString() << "\" at " << w.x0 << "," << w.y0
                                         << " touches the border's inner frame";
        }
        const QList<Line> lines = Lines(page);
        int headingLine = -1;
        bool rowSeen = false;
        for (int i = 0; i < lines.size(); ++i) {
            const Word &first = lines[i].words.front();
            if (first.x0 > column1End)
                continue;
            if (first.text == texts::kDateCell) {
                if (headingLine >= 0 && !rowSeen)
                    ADD_FAILURE() << "a heading row without rows";
                headingLine = i;
                rowSeen = false;
                continue;
            }
            if (!rowStarts.contains(first.text) || rowSeen)
                continue;
            // The page's first row of a table: its heading stands above it, and between them
            // only heading words: a row's tail carried over from the page before would show here.
            rowSeen = true;
            if (headingLine < 0) {
                ADD_FAILURE() << "rows without a heading from \"" << first.text.toStdString() << "\"";
                continue;
            }
            for (int k = headingLine + 1; k < i; ++k)
                for (const Word &w : lines[k].words)
                    EXPECT_TRUE(heading.contains(w.text))
                        << "\"" << w.text.toStdString() << "\" between the heading and the first row";
            rowSeen = true;
        }
        EXPECT_TRUE(headingLine < 0 || rowSeen) << "a heading row alone at the bottom of the page";
    }

    // The signature lines never stand alone on the last page.
    static const QSet<QString> signatureWords { QStringLiteral("Подпись"), QStringLiteral("Потребителя"),
        QStringLiteral("Поставщика"), QStringLiteral("Представитель"), QStringLiteral("потребителя"),
        QStringLiteral("теплоснабжающей"), QStringLiteral("организации") };
    bool more = false;
    for (const Word &w : pages.last().words)
        more = more || !(signatureWords.contains(w.text) || w.text.startsWith(u'_'));
    EXPECT_TRUE(more) << "the signatures alone on the last page";

    // No number breaks inside: each one of the table is a whole word of the PDF, as often.
    if (b.notes.contains(texts::kNoteNumbersSplit)) {
        EXPECT_FALSE(b.c.landscape) << "numbers fit landscape columns";
        return;
    }
    std::map<QString, int> numbers;
    for (const QString &line : b.rows) {
        const QStringList cells = line.split(u'\t');
        for (int j = 0; j + 1 < cells.size(); ++j) {
            if (b.c.document == kStatement && (j == 9 || j == 10))
                continue; // the statement shows the pressures converted
            if (IsNumber(cells[j]))
                ++numbers[cells[j]];
        }
    }
    for (const auto &[number, count] : numbers)
        EXPECT_GE(pdfWords[number], count) << "\"" << number.toStdString() << "\" broken across lines";
}

// The consumer header's address wraps into rows that grow; nothing of it is cut off.
void CheckConsumerHeader(const Built &b, const QList<Page> &pages)
{
    if (b.c.document == kStatement)
        return;
    SCOPED_TRACE(b.c.Name().toStdString());
    double abonent = -1, person = -1;
    for (const Line &l : Lines(pages.front())) {
        if (l.words.front().text == QStringLiteral("Абонент") && abonent < 0)
            abonent = l.y;
        if (l.words.front().text == QStringLiteral("Ответственное") && person < 0)
            person = l.y;
    }
    ASSERT_GT(abonent, 0);
    ASSERT_GT(person, 0);
    EXPECT_GT(person - abonent, 15) << "the address row is as high as one line: its text is cut";
}

} // namespace

TEST(DocumentLayout, EveryKindBothVersionsBothOrientations)
{
    if (OfficeProgram().isEmpty())
        GTEST_SKIP() << "LibreOffice (soffice) is not installed";

    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    QList<Built> built;
    for (int version : { 1, 2 }) {
        ReportFixture f;
        FillArchive(f, version);
        for (Document document : { kHourly, kDaily, kMonthly, kJournal, kStatement }) {
            for (bool landscape : { false, true }) {
                if (document == kStatement && !landscape)
                    continue; // always landscape
                Built b { Case { version, document, landscape }, {}, {}, {} };
                const ReportOptions o = Options(f, b.c);
                TWordDocument doc;
                const QString refusal
                    = document == kStatement ? BuildHeatStatement(o, doc) : BuildProtocolReport(o, doc);
                ASSERT_TRUE(refusal.isEmpty()) << b.c.Name().toStdString() << ": " << refusal.toStdString();
                ReportSelection s = o.selection;
                float operating = 0, stop = 0;
                ReportTotals totals;
                if (document == kStatement) {
                    ApplyStatementSelection(s);
                    const StatementLimits limits = ReadStatementLimits(s.dataRoot, s.serial, 50, 0, s.heatSystem);
                    BuildStatementRows(s, b.rows, &operating, &stop, &totals, limits.gmin, limits.gmax, limits.version);
                } else {
                    BuildProtocolRows(s, b.rows, &operating, &stop, &totals);
                }
                b.notes = doc.Notes();
                const QString docx = QDir(out.path()).filePath(b.c.Name() + QStringLiteral(".docx"));
                QString error;
                ASSERT_TRUE(doc.SaveAs(docx, &error)) << error.toStdString();
                b.pdf = QDir(out.path()).filePath(b.c.Name() + QStringLiteral(".pdf"));
                built.append(b);
            }
        }
    }

    // One office start converts them all.
    QTemporaryDir profile(QDir::temp().filePath(QStringLiteral("qst-layout-XXXXXX")));
    QStringList args { QStringLiteral("--headless"), QStringLiteral("--norestore"),
        QStringLiteral("-env:UserInstallation=") + QUrl::fromLocalFile(profile.path()).toString(QUrl::FullyEncoded),
        QStringLiteral("--convert-to"), QStringLiteral("pdf"), QStringLiteral("--outdir"), out.path() };
    for (const Built &b : built)
        args.append(QString(b.pdf).replace(QStringLiteral(".pdf"), QStringLiteral(".docx")));
    QProcess office;
    office.setProcessChannelMode(QProcess::MergedChannels);
    office.start(OfficeProgram(), args);
    ASSERT_TRUE(office.waitForFinished(480000)) << "LibreOffice did not finish";
    ASSERT_EQ(office.exitCode(), 0) << office.readAll().toStdString();

    QString error;
    const QList<Rect> portraitFrame = InnerFrame(false, &error);
    const QList<Rect> landscapeFrame = InnerFrame(true, &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    for (const Built &b : built) {
        const QList<Page> pages = ReadBoxes(b.pdf, &error);
        ASSERT_TRUE(error.isEmpty()) << b.c.Name().toStdString() << ": " << error.toStdString();
        CheckDocument(b, pages, b.c.landscape ? landscapeFrame : portraitFrame);
        CheckConsumerHeader(b, pages);
    }
}
