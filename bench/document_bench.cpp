// The document writer on an hourly protocol's size: 8,760 rows of 17 cells (about 150,000
// cells), a page break and a repeated header row per day, built cell by cell and saved.
// Baseline: formatting the same cell texts into tab-separated lines (what a row list costs).
#include "BenchTiming.h"

#include "reports/WordDocument.h"

#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>

namespace {

constexpr int kRows = 8760;
constexpr int kColumns = 17;

QString CellText(int row, int column)
{
    return column == 0 ? QStringLiteral("%1.01.2010 %2:00").arg(1 + row / 24).arg(row % 24)
                       : QString::number(row * 0.125 + column, 'f', 3);
}

void BuildLines()
{
    QStringList lines;
    lines.reserve(kRows);
    for (int i = 0; i < kRows; ++i) {
        QString line;
        for (int j = 0; j < kColumns; ++j)
            line += CellText(i, j) + u'\t';
        lines.append(line);
    }
}

void BuildDocument(const QString &fileName)
{
    using namespace qst;
    TWordDocument doc;
    doc.SetFontSize(8);
    const int first = doc.AddTable(1, kColumns);
    doc.FrameTable(first);
    int table = first;
    int y = 1;
    for (int i = 0; i < kRows; ++i) {
        if (i % 24 == 0 && i > 0) {
            doc.AppendRow();
            ++y;
            doc.SelectCell(table, y, 1);
            doc.InsertBreak();
            table = doc.TableCount();
            doc.FrameTable(table);
            y = 1;
            for (int j = 0; j < kColumns; ++j) {
                doc.SelectCell(table, y, j + 1);
                doc.TypeText(QStringLiteral("Дата"));
            }
        }
        if (i > 0) {
            doc.AppendRow();
            ++y;
        }
        for (int j = 0; j < kColumns; ++j) {
            doc.SelectCell(table, y, j + 1);
            doc.TypeText(CellText(i, j));
        }
    }
    doc.LeaveTable();
    doc.Protect(QStringLiteral("LedgerSealPwd"));
    QString error;
    if (!doc.SaveAs(fileName, &error))
        std::fprintf(stderr, "save failed: %s\n", qPrintable(error));
}

} // namespace

int main()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("hourly.docx"));
    const double baseline = qst::bench::MedianSeconds(5, BuildLines);
    const double document = qst::bench::MedianSeconds(5, [&] { BuildDocument(file); });
    qst::bench::Report("document writer", "8760 x 17 cells + save", document, "cell texts as lines", baseline);
    std::printf("%-34s %-26s %10.1f KB\n", "document writer", "file size", QFileInfo(file).size() / 1024.0);
    return 0;
}
