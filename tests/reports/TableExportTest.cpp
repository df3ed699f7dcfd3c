// Export tables written as CSV and read back by Python's csv module.
#include "ReportFixture.h"

#include "common/DataRoot.h"
#include "common/TextFile.h"
#include "reports/TableExport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

// The rows as Python's csv module reads the file (encoding and delimiter as given).
QList<QStringList> ReadWithPython(const QString &path, const QString &encoding, const QString &delimiter)
{
    const QString script = QStringLiteral("import csv, json, sys\n"
                                          "with open(sys.argv[1], newline='', encoding=sys.argv[2]) as f:\n"
                                          "    rows = list(csv.reader(f, delimiter=sys.argv[3], strict=True))\n"
                                          "sys.stdout.write(json.dumps(rows))\n");
    QProcess p;
    p.start(QStringLiteral("python3"), { QStringLiteral("-c"), script, path, encoding, delimiter });
    EXPECT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    QList<QStringList> rows;
    for (const QJsonValue &row : QJsonDocument::fromJson(p.readAllStandardOutput()).array()) {
        QStringList cells;
        for (const QJsonValue &cell : row.toArray())
            cells << cell.toString();
        rows << cells;
    }
    return rows;
}

ExportCell Text(const QString &text)
{
    ExportCell c;
    c.text = text;
    return c;
}

ExportCell Number(double value, int minDecimals, int maxDecimals)
{
    ExportCell c;
    c.kind = CellKind::Number;
    c.number = value;
    c.minDecimals = minDecimals;
    c.maxDecimals = maxDecimals;
    return c;
}

ExportCell Time(double dayCount, CellKind kind)
{
    ExportCell c;
    c.kind = kind;
    c.number = dayCount;
    return c;
}

} // namespace

TEST(TableExport, CsvRoundTripsThroughPythonInEveryDialectAndEncoding)
{
    TempDataRoot root;
    ExportTable table;
    table.header = { QStringLiteral("Дата/время"), QStringLiteral("Q (ГКал)"), QStringLiteral("Запись; \"журнала\"") };
    const QString tricky[] = { QStringLiteral("Изменение \"Ду\"; было, стало"), QStringLiteral("две\r\nстроки"),
        QStringLiteral("  пробелы  "), QString() };
    for (int i = 0; i < 4; ++i)
        table.rows.append(
            { Time(At(2010, 3, 1, i), CellKind::DateTime), Number(12.5 + i * 0.00004, 0, 4), Text(tricky[i]) });
    table.rows.append({ Time(At(2010, 3, 2), CellKind::Date), Number(-0.5, 2, 2), Text(QStringLiteral("°С м^3")) });

    const struct
    {
        CsvDialect dialect;
        CsvEncoding encoding;
        const char *pythonEncoding;
        const char *delimiter;
        QStringList firstDates;
        QStringList numbers;
    } cases[] = {
        { CsvDialect::Russian, CsvEncoding::Utf8Bom, "utf-8-sig", ";",
            { "01.03.2010", "01.03.2010 1:00:00", "02.03.2010" }, { "12,5", "12,5", "12,5001", "12,5001", "-0,50" } },
        { CsvDialect::Russian, CsvEncoding::Windows1251, "cp1251", ";",
            { "01.03.2010", "01.03.2010 1:00:00", "02.03.2010" }, { "12,5", "12,5", "12,5001", "12,5001", "-0,50" } },
        { CsvDialect::Plain, CsvEncoding::Utf8Bom, "utf-8-sig", ",",
            { "2010-03-01 00:00:00", "2010-03-01 01:00:00", "2010-03-02" },
            { "12.5", "12.5", "12.5001", "12.5001", "-0.50" } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pythonEncoding + std::string(" ") + c.delimiter);
        const QString path = root.file(QStringLiteral("t.csv"));
        QString error;
        ASSERT_TRUE(WriteCsv(table, path, { c.dialect, c.encoding }, &error)) << error.toStdString();
        const QList<QStringList> rows
            = ReadWithPython(path, QString::fromLatin1(c.pythonEncoding), QString::fromLatin1(c.delimiter));
        ASSERT_EQ(rows.size(), 6);
        EXPECT_EQ(rows[0], table.header);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(rows[1 + i][2], tricky[i]);
        EXPECT_EQ(rows[5][2], QStringLiteral("°С м^3"));
        EXPECT_EQ(rows[1][0], c.firstDates[0]);
        EXPECT_EQ(rows[2][0], c.firstDates[1]);
        EXPECT_EQ(rows[5][0], c.firstDates[2]);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(rows[1 + i][1], c.numbers[i]);
        const QByteArray bytes = ReadAll(path);
        EXPECT_EQ(bytes.startsWith("\xEF\xBB\xBF"), c.encoding == CsvEncoding::Utf8Bom);
        EXPECT_TRUE(bytes.endsWith("\r\n"));
    }
}

TEST(TableExport, ArchiveExportFollowsThePageAndCountsUnreadableLines)
{
    ReportFixture f;
    f.Put(kHourlyArchive, { At(2010, 3, 1, 10), 0.12345f, 2, 1.5f, 1, 1, 70.5f, 40.25f, 5, 4, 1, 0, 3, 0 });
    f.Put(kHourlyArchive, { At(2010, 3, 1, 11), 0.5f, 2, 1.5f, 1, 1, 70, 45, 5, 4, 1, 0 });
    f.Put(kHourlyArchive, { At(2010, 3, 1, 12), 0.5f, 2, 1.5f, 1, 1, 70, 45, 5, 4, 1, 0 });
    const QString file = DataFilePath(f.root.path(), DataKind::Hourly, 100, 2010, 3);
    QStringList lines = LoadLines(file);
    lines.insert(1, QStringLiteral("garbage\t1\t"));
    lines.insert(2, QStringLiteral("40238,4375\tx\t"));
    SaveLines(file, lines);

    // 10:00 .. 11:00 inclusive: the 12:00 record lies outside.
    const ExportTable table = ExportArchive(
        f.root.path(), QStringLiteral("100"), ExportKind::Hourly, kHeatSystem1, At(2010, 3, 1, 10), At(2010, 3, 1, 11));
    ASSERT_EQ(table.header.size(), 15);
    EXPECT_EQ(table.header[8], QStringLiteral("Т1-Т2 (°С)"));
    ASSERT_EQ(table.rows.size(), 2);
    EXPECT_EQ(table.skippedLines, 2);
    EXPECT_EQ(CellText(table.rows[0][0], CsvDialect::Russian), QStringLiteral("01.03.2010 10:00:00"));
    EXPECT_EQ(CellText(table.rows[0][1], CsvDialect::Russian), QStringLiteral("0,1235"));
    EXPECT_EQ(CellText(table.rows[0][8], CsvDialect::Russian), QStringLiteral("30,25"));
    EXPECT_EQ(table.rows[0][13].kind, CellKind::Integer);
    EXPECT_EQ(CellText(table.rows[0][13], CsvDialect::Russian), QStringLiteral("3"));
    EXPECT_TRUE(CsvText(table, CsvDialect::Russian).endsWith(QStringLiteral("Пропущено нечитаемых строк: 2\r\n")));

    // No files at all: the header alone, no note.
    for (ExportKind kind : { ExportKind::Hourly, ExportKind::Daily, ExportKind::Monthly, ExportKind::Journal,
             ExportKind::CurrentHistory }) {
        const ExportTable empty
            = ExportArchive(f.root.path(), QStringLiteral("7"), kind, kColdWater, At(2010, 1, 1), At(2010, 12, 31));
        EXPECT_FALSE(empty.header.isEmpty());
        EXPECT_TRUE(empty.rows.isEmpty());
        EXPECT_EQ(CsvText(empty, CsvDialect::Russian).count(QStringLiteral("\r\n")), 1);
    }
}

TEST(TableExport, ReportRowsBecomeNumbersAndDatesUnderOneHeader)
{
    const RowList rows = { QStringLiteral("Дата\tQ\tT1\t"), QStringLiteral("01.03.2010\t3,125\t70\t5"),
        QStringLiteral("Дата\tQ\tT1\t"), QStringLiteral("02.03.2010\t---\t69,50\t0"),
        QStringLiteral("Итого\t6,25\t\t") };
    const ExportTable table = ExportReportRows(rows);
    EXPECT_EQ(table.header, (QStringList { "Дата", "Q", "T1" }));
    ASSERT_EQ(table.rows.size(), 3);
    EXPECT_EQ(table.rows[0][0].kind, CellKind::Date);
    EXPECT_EQ(table.rows[0][1].kind, CellKind::Number);
    EXPECT_DOUBLE_EQ(table.rows[0][1].number, 3.125);
    EXPECT_EQ(table.rows[1][1].kind, CellKind::Text);
    // The digits the report shows are kept.
    EXPECT_EQ(CellText(table.rows[1][2], CsvDialect::Plain), QStringLiteral("69.50"));
    EXPECT_EQ(table.rows[2][0].kind, CellKind::Text);
}

TEST(TableExport, AFailedWriteLeavesNoFileAndKeepsTheOldOne)
{
    TempDataRoot root;
    ExportTable table;
    table.header = { QStringLiteral("A") };
    table.rows.append({ Number(1, 0, 2) });
    QString error;
    // The folder is a file: the system refuses, and says why.
    WriteAll(root.file(QStringLiteral("notadir")), "x");
    const QString inside = root.file(QStringLiteral("notadir/out.csv"));
    EXPECT_FALSE(WriteCsv(table, inside, {}, &error));
    EXPECT_FALSE(error.isEmpty());
    error.clear();
    EXPECT_FALSE(WriteXlsx(table, root.file(QStringLiteral("missing/out.xlsx")), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(QFile::exists(root.file(QStringLiteral("missing/out.xlsx"))));
    EXPECT_EQ(QDir(root.path()).entryList(QDir::Files | QDir::NoDotAndDotDot).size(), 1); // no temporaries

    // A good write replaces an old file whole.
    const QString path = root.file(QStringLiteral("out.xlsx"));
    WriteAll(path, "old");
    ASSERT_TRUE(WriteXlsx(table, path, &error)) << error.toStdString();
    EXPECT_TRUE(ReadAll(path).startsWith("PK"));
}

// A spreadsheet cell holds 32,767 characters: a longer text (a header or a cell) arrives cut,
// ending in the mark, instead of missing; texts within the limit arrive whole.
TEST(TableExport, OverlongSheetTextIsCutWithAMark)
{
    TempDataRoot root;
    const QString emoji = QStringLiteral("\U0001F600");
    const QString atLimit = QString(kSheetCellLimit, u'ж');
    // A pair of surrogates would straddle the cut: it is kept whole or left out whole.
    const QString straddling = QString(kSheetCellLimit - kSheetCutMark.size() - 1, u'a') + emoji + QString(20, u'b');
    ExportTable table;
    table.header = {QString(40000, u'h')};
    table.rows.append({Text(QString(100000, u'ж'))});
    table.rows.append({Text(atLimit)});
    table.rows.append({Text(straddling)});
    const QString path = root.file(QStringLiteral("long.xlsx"));
    QString error;
    ASSERT_TRUE(WriteXlsx(table, path, &error)) << error.toStdString();

    const QString script = QStringLiteral(
        "import json, sys, zipfile, xml.etree.ElementTree as ET\n"
        "ns = {'m': 'http://schemas.openxmlformats.org/spreadsheetml/2006/main'}\n"
        "root = ET.fromstring(zipfile.ZipFile(sys.argv[1]).read('xl/sharedStrings.xml'))\n"
        "sys.stdout.write(json.dumps([''.join(t.text or '' for t in si.iter('{%s}t' % ns['m'])) "
        "for si in root.findall('m:si', ns)]))\n");
    QProcess p;
    p.start(QStringLiteral("python3"), {QStringLiteral("-c"), script, path});
    ASSERT_TRUE(p.waitForFinished(30000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    QStringList strings;
    for (const QJsonValue &v : QJsonDocument::fromJson(p.readAllStandardOutput()).array())
        strings << v.toString();
    ASSERT_EQ(strings.size(), 4);
    const QString header = strings[0], cut = strings[1];
    EXPECT_EQ(header.size(), kSheetCellLimit);
    EXPECT_TRUE(header.startsWith(QString(100, u'h')) && header.endsWith(kSheetCutMark));
    EXPECT_EQ(cut, QString(kSheetCellLimit - kSheetCutMark.size(), u'ж') + kSheetCutMark);
    EXPECT_EQ(strings[2], atLimit);
    EXPECT_EQ(strings[3], QString(kSheetCellLimit - kSheetCutMark.size() - 1, u'a') + kSheetCutMark);
    EXPECT_FALSE(strings[3].contains(QChar(0xFFFD)));
}
