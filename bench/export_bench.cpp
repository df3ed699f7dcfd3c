// Export and check of a year of hourly records, each against reading the same files alone.
#include "BenchTiming.h"
#include "ReportYear.h"

#include "reports/ArchiveCheck.h"
#include "reports/TableExport.h"
#include "storage/ArchiveView.h"

#include <QDir>
#include <QTemporaryDir>

using namespace qst;
using namespace qst::bench;

int main()
{
    QTemporaryDir dir;
    const QString root = dir.path();
    QDir(root).mkdir(QStringLiteral("DATA"));
    WriteYear(root);
    const double from = DayCountFromDate(QDate(2010, 1, 1));
    const double to = DayCountFromParts(QDate(2010, 12, 31), QTime(23, 59, 59));
    const QString serial = QStringLiteral("100");
    const QString csv = dir.filePath(QStringLiteral("year.csv"));
    const QString xlsx = dir.filePath(QStringLiteral("year.xlsx"));
    const int runs = 7;

    qsizetype rows = 0;
    LoadArchiveRecords(root, serial, ArchivePageKind::Hourly, { from, to }); // the files into the page cache
    const double read = MedianSeconds(runs, [&] {
        rows = LoadArchiveRecords(root, serial, ArchivePageKind::Hourly, { from, to }).size();
    });
    QString error;
    const double csvTime = MedianSeconds(runs,
        [&] { WriteCsv(ExportArchive(root, serial, ExportKind::Hourly, kHeatSystem1, from, to), csv, {}, &error); });
    const double xlsxTime = MedianSeconds(
        3, [&] { WriteXlsx(ExportArchive(root, serial, ExportKind::Hourly, kHeatSystem1, from, to), xlsx, &error); });
    // The check reads hourly, daily, monthly and history files: its baseline reads them too.
    const ArchivePeriod year { from, to };
    const double readAll = MedianSeconds(runs, [&] {
        LoadArchiveRecords(root, serial, ArchivePageKind::Hourly, year);
        LoadArchiveRecords(root, serial, ArchivePageKind::Daily, year);
        LoadArchiveRecords(root, serial, ArchivePageKind::Monthly, year);
        LoadHistoryRecords(root, serial, year);
    });
    int days = 0;
    const double check = MedianSeconds(
        runs, [&] { days = CheckArchive(root, serial, QDate(2010, 1, 1), QDate(2010, 12, 31)).daysChecked; });
    std::printf("%lld hourly records, %d days checked%s\n", static_cast<long long>(rows), days,
        error.isEmpty() ? "" : " (a write failed)");
    Report("export CSV (goal < 300 ms)", "a year of hours", csvTime, "reading the files", read);
    Report("export XLSX (goal < 2 s)", "a year of hours", xlsxTime, "reading the files", read);
    Report("check (goal < 500 ms)", "a year", check, "reading the files", readAll);
    return 0;
}
