// Statement rows of a year (reading the hourly files once against once per row) and an
// hourly protocol over a year.
#include "BenchTiming.h"
#include "ReportYear.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "reports/ReportTables.h"
#include "storage/ArchiveFiles.h"
#include "storage/RecordWriters.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

using namespace qst;
using qst::bench::MedianSeconds;
using qst::bench::Report;
using qst::bench::WriteYear;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    QDir(dir.path()).mkdir(QStringLiteral("DATA"));
    WriteYear(dir.path());

    ReportSelection s;
    s.dataRoot = dir.path();
    s.serial = QStringLiteral("100");
    s.from = QDateTime(QDate(2010, 1, 1), QTime(12, 0));
    s.to = QDateTime(QDate(2010, 12, 31), QTime(12, 0));
    ApplyStatementSelection(s);

    RowList fast, slow;
    const double once = MedianSeconds(5, [&] { BuildStatementRows(s, fast, nullptr, nullptr, nullptr, 0.02f, 5.f, 1); });
    const double perRow = MedianSeconds(1, [&] {
        BuildStatementRowsRereading(s, slow, nullptr, nullptr, nullptr, 0.02f, 5.f, 1);
    });
    Report("statement: 365 daily rows, v1", "hourly files read once", once, "re-read per row", perRow);
    std::printf("%-34s rows %s (goal: under 100 ms and at least 20x)\n", "", fast == slow ? "identical" : "DIFFER");

    ReportSelection hourly = s;
    hourly.kind = kHourlyReport;
    RowList rows;
    const double protocol = MedianSeconds(5, [&] { BuildProtocolRows(hourly, rows, nullptr, nullptr, nullptr); });
    std::printf("%-34s %-26s %10.3f ms   (%lld rows; goal: under 150 ms)\n", "protocol: hourly, one year",
                "BuildProtocolRows", protocol * 1e3, static_cast<long long>(rows.size()));
    return 0;
}
