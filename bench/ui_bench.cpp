// The desktop application's two waits an operator feels: refreshing the hourly page for a
// year (every cell of the three tables formatted, against merely reading the files), and
// start-up with 1,000 meters until the tree is shown.
#include "BenchTiming.h"

#include "ArchiveTableModel.h"
#include "storage/ArchiveView.h"
#include "MainForm.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/TextFile.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"
#include "storage/RecordWriters.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTreeWidget>

using namespace qst;
using qst::bench::MedianSeconds;
using qst::bench::Report;

namespace {

void WriteYear(const QString &root)
{
    QList<TimedLine> month;
    int current = 1;
    for (int h = 0; h < 8760; ++h) {
        const QDateTime t = QDateTime(QDate(2025, 1, 1), QTime(0, 0)).addSecs(3600LL * h);
        if (t.date().month() != current) {
            InsertArchiveLines(DataFilePath(root, DataKind::Hourly, 100, 2025, current), month, true);
            month.clear();
            current = t.date().month();
        }
        ArchiveValues a;
        a.time = DayCountFromDateTime(t);
        for (int i = 0; i < kFCount; ++i)
            a.F[i] = 0.37f * (i + 1) + 0.001f * float(h % 97);
        a.NS[0] = h % 5 == 0 ? 4 : 0;
        month.append({BuildArchiveLine(2, a), a.time});
    }
    InsertArchiveLines(DataFilePath(root, DataKind::Hourly, 100, 2025, current), month, true);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    QDir(dir.path()).mkdir(QStringLiteral("DATA"));
    WriteYear(dir.path());

    const ArchivePeriod year = HourlyPeriod(QDate(2025, 1, 1), QTime(0, 0), QDate(2025, 12, 31), QTime(23, 59));
    qsizetype cells = 0;
    const double refresh = MedianSeconds(5, [&] {
        const QList<ArchiveRecord> records =
            LoadArchiveRecords(dir.path(), QStringLiteral("100"), ArchivePageKind::Hourly, year);
        for (ArchiveTable table : {ArchiveTable::HeatSystem1, ArchiveTable::HeatSystem2, ArchiveTable::ColdWater}) {
            ArchiveTableModel model(table, false);
            model.SetRecords(records);
            for (int r = 0; r < model.rowCount(); ++r)
                for (int c = 0; c < model.columnCount(); ++c)
                    cells += model.DisplayText(r, c).size();
        }
    });
    qsizetype lines = 0;
    const double read = MedianSeconds(5, [&] {
        for (const QString &file : ArchiveFilesForPeriod(dir.path(), 100, ArchivePageKind::Hourly, year))
            lines += LoadLines(file).size();
    });
    Report("hourly page: a year, 3 tables", "read, parse, format all", refresh, "read the files only", read);
    std::printf("%-34s the refresh costs %.1fx the plain read of its files; goal: under 300 ms (%lld characters "
                "formatted)\n",
                "", refresh / read, static_cast<long long>(cells / 5));

    // 1,000 meters in 20 groups.
    QTemporaryDir big;
    {
        Registry registry(TreeIniPath(big.path()));
        QList<int> groups;
        for (int g = 0; g < 20; ++g)
            groups.append(registry.IssueGroupNumber());
        for (int g : groups)
            registry.file().WriteStrings(GroupSection(g), {{reg::kName, QStringLiteral("Район %1").arg(g)},
                                                           {reg::kParent, QStringLiteral("0")}});
        for (int m = 0; m < 1000; ++m) {
            MeterRecord r;
            r.name = QStringLiteral("Потребитель %1").arg(m);
            r.serial = QString::number(10000 + m);
            r.address = QStringLiteral("1");
            r.physAddress = QStringLiteral("ул. Ленина, д. %1").arg(m);
            r.port = 1;
            AddMeter(registry, groups[m % 20], r);
        }
    }
    int nodes = 0;
    const double startup = MedianSeconds(3, [&] {
        TMainForm window(big.path(), false);
        window.show();
        QApplication::processEvents();
        nodes = 0;
        for (QTreeWidget *tree : window.findChildren<QTreeWidget *>())
            for (QTreeWidgetItemIterator it(tree); *it; ++it)
                ++nodes;
    });
    std::printf("%-34s %-26s %10.3f ms   (%d tree nodes; goal: under 1 s)\n", "start-up: 1,000 meters",
                "window shown with its tree", startup * 1e3, nodes);
    return 0;
}
