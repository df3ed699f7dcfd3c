// Statement rows of a year (reading the hourly files once against once per row) and an
// hourly protocol over a year.
#include "BenchTiming.h"

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

namespace {

// A version-1 meter with a year of hourly and daily records, written in batches.
void WriteYear(const QString &root)
{
    const QDate first(2010, 1, 1);
    QList<TimedLine> month;
    QList<TimedLine> days;
    int currentMonth = 1;
    auto flush = [&](int m) {
        InsertArchiveLines(DataFilePath(root, DataKind::Hourly, 100, 2010, m), month, true);
        month.clear();
    };
    for (int d = 0; d < 365; ++d) {
        const QDate date = first.addDays(d);
        if (date.month() != currentMonth) {
            flush(currentMonth);
            currentMonth = date.month();
        }
        ArchiveValues day;
        day.time = DayCountFromDate(date);
        for (int h = 0; h < 24; ++h) {
            ArchiveValues a;
            a.time = DayCountFromParts(date, QTime(h, 0));
            a.F[0] = 0.05f + 0.001f * h;
            a.F[2] = 1.5f + 0.01f * (h % 7);
            a.F[3] = 1.45f;
            a.F[6] = (h + d) % 11 == 0 ? 0.01f : 1.5f;
            a.F[11] = 80.f;
            a.F[12] = 50.f;
            a.F[21] = 60;
            month.append({BuildArchiveLine(1, a), a.time});
            for (int i = 0; i < 27; ++i)
                day.F[i] += a.F[i];
        }
        days.append({BuildArchiveLine(1, day), day.time});
    }
    flush(currentMonth);
    InsertArchiveLines(DataFilePath(root, DataKind::Daily, 100, 2010), days, true);
}

} // namespace

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
