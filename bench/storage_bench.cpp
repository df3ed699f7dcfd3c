// Speed of the registry lookup, the archive reader and the batch insert, each against
// the one-call-at-a-time way measured in the same run.
#include "BenchTiming.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/ProfileFile.h"
#include "common/TextFile.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdio>

using namespace qst;
using qst::bench::MedianSeconds;
using qst::bench::Report;

namespace {

QString ArchiveLineV2(double t, int i)
{
    LineBuilder b;
    b.Time(t);
    for (int k = 0; k < 19; ++k)
        b.Real(static_cast<double>(static_cast<float>(0.37f * (k + 1) + i * 0.013f)));
    b.Real(6512).Real(1250).Int(-56);
    for (int k = 0; k < 5; ++k)
        b.Int(k == 2 ? 128 : 0);
    for (int k = 0; k < 18; ++k)
        b.Real(k % 2 ? 0 : 60);
    return b.line();
}

void RegistryLookup(const QString &root)
{
    Registry registry(TreeIniPath(root));
    ProfileFile &ini = registry.file();
    for (int n = 1; n <= 1000; ++n)
        ini.WriteStrings(MeterSection(n), {{reg::kName, QStringLiteral("Потребитель %1").arg(n)},
                                           {reg::kSerial, QString::number(10000 + n)},
                                           {reg::kAddress, QStringLiteral("1")},
                                           {reg::kCom, QStringLiteral("1")},
                                           {reg::kPhysAddress, QStringLiteral("ул. Ленина, д. %1").arg(n)}});
    ini.WriteInteger(reg::kTree, reg::kMaxCNum, 1000);

    // The last meter: every lookup reads all 1,000 serials.
    int found = 0;
    const double cached = MedianSeconds(21, [&] { found = registry.FindMeterBySerialText(11000); });
    const double reparsing = MedianSeconds(5, [&] {
        // The same loop with the file parsed again for every key read.
        const int max = static_cast<int>(ini.ReadInteger(reg::kTree, reg::kMaxCNum, 0));
        for (int n = 1; n <= max; ++n) {
            ini.InvalidateCache();
            if (ini.ReadString(MeterSection(n), reg::kSerial).trimmed() == QStringLiteral("11000")) {
                found = n;
                break;
            }
        }
    });
    if (found != 1000)
        std::printf("lookup found meter %d, expected 1000\n", found);
    Report("registry: find serial, 1000 meters", "cached profile file", cached, "re-parse per read", reparsing);
    std::printf("%-34s %.2f us per key read (goal: whole lookup under 1 ms)\n", "", cached * 1e6 / 1000);
}

void ArchiveRead(const QString &root)
{
    const QString path = DataFilePath(root, DataKind::Hourly, 1, 2010, 1);
    QDir().mkpath(QFileInfo(path).path());
    QStringList lines;
    const double start = DayCountFromDate(QDate(2010, 1, 1));
    for (int h = 0; h < 744; ++h)
        lines.append(ArchiveLineV2(start + h / 24.0, h));
    SaveLines(path, lines);

    double checksum = 0;
    const double parse = MedianSeconds(51, [&] {
        for (const QString &line : LoadLines(path))
            checksum += ParseArchiveLine(line).values[0];
    });
    qsizetype fields = 0;
    const double split = MedianSeconds(51, [&] {
        for (const QString &line : LoadLines(path))
            fields += line.count(u'\t');
    });
    Report("archive: 744 hourly lines (v2)", "read + ParseArchiveLine", parse, "read + split only", split);
    std::printf("%-34s %.0f lines/s; parse costs %.1fx the plain split (goal: within 5x)\n", "", 744 / parse,
                parse / split);
    if (checksum == 0 || fields == 0)
        std::printf("unexpected empty read\n");
}

void BatchInsert(const QString &root)
{
    QList<TimedLine> year;
    const double start = DayCountFromDate(QDate(2010, 1, 1));
    for (int h = 0; h < 8760; ++h) {
        const double t = start + h / 24.0;
        year.append({ArchiveLineV2(t, h), t});
    }
    int round = 0;
    auto freshRoot = [&] {
        const QString r = root + QStringLiteral("/batch%1").arg(++round);
        QDir().mkpath(r + QStringLiteral("/DATA"));
        return r;
    };
    auto byMonth = [&](const QString &r, const std::function<void(const QString &, const QList<TimedLine> &)> &put) {
        QList<TimedLine> month;
        int current = 1;
        for (const TimedLine &l : year) {
            const int m = DateFromDayCount(l.time).month();
            if (m != current) {
                put(DataFilePath(r, DataKind::Hourly, 1, 2010, current), month);
                month.clear();
                current = m;
            }
            month.append(l);
        }
        put(DataFilePath(r, DataKind::Hourly, 1, 2010, current), month);
    };
    QString batchRoot, singleRoot;
    const double batch = MedianSeconds(3, [&] {
        batchRoot = freshRoot();
        byMonth(batchRoot, [](const QString &p, const QList<TimedLine> &ls) { InsertArchiveLines(p, ls, true); });
    });
    const double single = MedianSeconds(1, [&] {
        singleRoot = freshRoot();
        byMonth(singleRoot, [](const QString &p, const QList<TimedLine> &ls) {
            for (const TimedLine &l : ls)
                InsertArchiveLine(p, l.line, l.time, true);
        });
    });
    bool same = true;
    for (int m = 1; m <= 12; ++m)
        same = same
            && ReadFileBytes(DataFilePath(batchRoot, DataKind::Hourly, 1, 2010, m))
                == ReadFileBytes(DataFilePath(singleRoot, DataKind::Hourly, 1, 2010, m));
    Report("insert: 8760 hourly lines, 12 files", "InsertArchiveLines", batch, "one InsertArchiveLine each",
           single);
    std::printf("%-34s output bytes %s (goal: at least 20x faster)\n", "", same ? "identical" : "DIFFER");
    SetSyncToDiskForBenchmarks(false);
    const double unsynced = MedianSeconds(3, [&] {
        byMonth(freshRoot(), [](const QString &p, const QList<TimedLine> &ls) { InsertArchiveLines(p, ls, true); });
    });
    SetSyncToDiskForBenchmarks(true);
    Report("insert: 8760 hourly lines, 12 files", "InsertArchiveLines, synced", batch, "the same without fsync",
           unsynced);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    QDir(dir.path()).mkdir(QStringLiteral("DATA"));
    RegistryLookup(dir.path());
    ArchiveRead(dir.path());
    BatchInsert(dir.path());
    return 0;
}
