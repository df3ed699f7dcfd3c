// Report documents of a year: the hourly protocol (8,760 rows, a page per day, every column,
// the faults table) and the statement, built and saved, against building their rows alone.
#include "BenchTiming.h"
#include "ReportYear.h"

#include "reports/ReportDocuments.h"
#include "reports/WordDocument.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/resource.h>

using namespace qst;
using qst::bench::MedianSeconds;

namespace {

double PeakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    QDir(dir.path()).mkdir(QStringLiteral("DATA"));
    qst::bench::WriteYear(dir.path());
    const double before = PeakMegabytes();

    ReportOptions o;
    o.meter.serial = QStringLiteral("100");
    o.meter.name = QStringLiteral("Котельная");
    o.selection.dataRoot = dir.path();
    o.selection.serial = QStringLiteral("100");
    o.selection.kind = kHourlyReport;
    o.selection.from = QDateTime(QDate(2010, 1, 1), QTime(12, 0));
    o.selection.to = QDateTime(QDate(2010, 12, 30), QTime(12, 0));
    for (bool &item : o.selection.ts2)
        item = true;
    o.detail = true;
    o.breakPages = true;
    const QString file = dir.filePath(QStringLiteral("protocol.docx"));

    RowList rows;
    const double rowsOnly = MedianSeconds(3, [&] { BuildProtocolRows(o.selection, rows, nullptr, nullptr, nullptr); });
    qint64 bytes = 0;
    const double protocol = MedianSeconds(3, [&] {
        TWordDocument doc;
        BuildProtocolReport(o, doc);
        QString error;
        if (!doc.SaveAs(file, &error))
            std::printf("save failed: %s\n", qPrintable(error));
        bytes = QFileInfo(file).size();
    });
    std::printf("%-34s built and saved %8.1f ms   its rows alone %8.1f ms   the document costs %.1fx its rows\n",
                "hourly protocol, a year, 17 fields", protocol * 1e3, rowsOnly * 1e3, protocol / rowsOnly);
    std::printf("%-34s %lld rows, %.1f MB .docx (goal: under 3 s)\n", "", static_cast<long long>(rows.size()),
                bytes / 1048576.0);

    ReportOptions st = o;
    st.selection.kind = kDailyReport;
    StatementLimits limits = ReadStatementLimits(dir.path(), QStringLiteral("100"), 15, 0, kHeatSystem1);
    ReportSelection statementRows = st.selection;
    ApplyStatementSelection(statementRows);
    const double statementRowsOnly = MedianSeconds(5, [&] {
        BuildStatementRows(statementRows, rows, nullptr, nullptr, nullptr, limits.gmin, limits.gmax, limits.version);
    });
    const double statement = MedianSeconds(5, [&] {
        TWordDocument doc;
        BuildHeatStatement(st, doc);
        QString error;
        doc.SaveAs(dir.filePath(QStringLiteral("statement.docx")), &error);
    });
    std::printf("%-34s built and saved %8.1f ms   its rows alone %8.1f ms   the document costs %.1fx its rows\n",
                "statement, a year", statement * 1e3, statementRowsOnly * 1e3, statement / statementRowsOnly);
    std::printf("%-34s (goal: under 1 s)\n", "");
    std::printf("peak memory (ru_maxrss): %.1f MB with the archive written, %.1f MB after the documents "
                "(goal under 200 MB)\n",
                before, PeakMegabytes());
    return 0;
}
