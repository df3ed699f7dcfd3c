// The dump import's batch path against storing the same records one by one through the
// single writers (each with its own load and atomic save), measured in the same run:
// a version-2 dump of a year of hourly records, 365 daily, 12 monthly and 2,000 journal
// entries into an empty data root. Both must leave the same bytes.
#include "BenchTiming.h"

#include "common/DataRoot.h"
#include "common/TextFile.h"
#include "common/DayCount.h"
#include "common/RecordDecoding.h"
#include "registry/Registry.h"
#include "storage/ArchiveImport.h"
#include "storage/JournalDecoder.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>

using namespace qst;
using qst::bench::MedianSeconds;
using qst::bench::Report;

namespace {

constexpr quint16 kSerial = 4242;

long PeakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

QString FreshRoot(const QTemporaryDir &scratch, const QString &name)
{
    const QString root = scratch.path() + u'/' + name;
    QDir(root).removeRecursively();
    QDir().mkpath(root + QStringLiteral("/DATA"));
    Registry(TreeIniPath(root)).RegisterDumpMeter(kSerial);
    return root;
}

QMap<QString, QByteArray> Contents(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            files.insert(path.mid(root.size()), f.readAll());
    }
    return files;
}

bool Finite(const float *f, int n)
{
    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(f[i]))
            return false;
    }
    return true;
}

// The per-record path: the same dump, each record through its single writer.
void ImportOneByOne(const StorageTarget &target, const QByteArray &dump)
{
    const auto *p = reinterpret_cast<const quint8 *>(dump.constData());
    DumpHeader h;
    ParseDumpHeader(p, static_cast<int>(dump.size()), &h);
    int at = kDumpHeaderSize;
    const int version = p[at + 6];
    const bool flag = p[at + 7] >= 1 && p[at + 7] <= 127;
    at += h.idSize;
    CurrentValues current;
    DecodeCurrentInput(version, p + at, h.currentSize, &current);
    at += h.currentSize;
    DecodeCurrentHolding(version, p + at, h.paramSize, &current);
    at += h.paramSize;
    SaveCurrentValues(target, version, kSerial, true, current);
    const int section = target.registry->FindMeterBySerialText(kSerial);
    for (int kind = 0; kind < 3; ++kind) {
        for (int i = 0; i < h.recordCount[kind]; ++i, at += h.recordSize[kind]) {
            const quint8 *r = p + at;
            const QDate date(2000 + r[0], r[1], kind == 2 ? 1 : r[2]);
            ArchiveValues v;
            TotalsSnapshot s;
            bool filled = false;
            if (!date.isValid() ||
                DecodeArchiveFields(version, kind, r, h.recordSize[kind], &v, &s, &filled) != kLinkOk ||
                !Finite(v.F, kFCount))
                continue;
            v.time = DayCountFromParts(date, QTime(kind == 0 ? r[3] : 0, 0));
            SaveArchiveLine(target, version, kSerial, true, section, kind, v);
            if (kind == 1 && version == 2 && flag && filled)
                SaveCurrentSnapshot(target, kSerial, true, s, DayCountFromDate(date.addDays(1)));
        }
    }
    for (int i = 0; i < h.recordCount[3]; ++i, at += h.recordSize[3]) {
        JournalDecodeStruct d;
        if (DecodeJournal(version, d, JournalEntryFromBytes(p + at)))
            SaveJournalLine(target, kSerial, section, d.date, d.dateTime, d.recordText, d.oldValue, d.newValue);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir scratch;
    const QString dumpPath = scratch.path() + QStringLiteral("/year.arch");
    QProcess sim;
    sim.start(QStringLiteral(QST_SIM_PATH),
              {"dump", "--version", "2", "--serial", QString::number(kSerial), "--days", "365", "--months", "12",
               "--journal", "2000", dumpPath});
    if (!sim.waitForFinished(120000) || sim.exitCode() != 0) {
        std::fprintf(stderr, "qst-sim dump failed\n");
        return 1;
    }
    QFile file(dumpPath);
    file.open(QIODevice::ReadOnly);
    const QByteArray dump = file.readAll();
    std::printf("dump: %lld bytes (8760 hourly, 365 daily, 12 monthly, 2000 journal entries)\n",
                static_cast<long long>(dump.size()));

    const long rssBefore = PeakRssKb();
    QString batchRoot;
    const double batch = MedianSeconds(3, [&] {
        batchRoot = FreshRoot(scratch, QStringLiteral("batch"));
        Registry registry(TreeIniPath(batchRoot));
        if (!ImportArchiveFile({batchRoot, &registry}, dumpPath, kSerial).loaded)
            std::fprintf(stderr, "the import refused the dump\n");
    });
    const long rssBatch = PeakRssKb();
    SetSyncToDiskForBenchmarks(false);
    const double unsynced = MedianSeconds(3, [&] {
        const QString root = FreshRoot(scratch, QStringLiteral("unsynced"));
        Registry registry(TreeIniPath(root));
        ImportArchiveFile({root, &registry}, dumpPath, kSerial);
    });
    SetSyncToDiskForBenchmarks(true);
    Report("dump import, one year (v2)", "batch, every save synced", batch, "the same without fsync", unsynced);

    const QString singleRoot = FreshRoot(scratch, QStringLiteral("single"));
    const auto start = std::chrono::steady_clock::now();
    {
        Registry registry(TreeIniPath(singleRoot));
        ImportOneByOne({singleRoot, &registry}, dump);
    }
    const double single = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    Report("dump import, one year (v2)", "batch (ImportArchiveFile)", batch, "one record per save", single);
    const bool same = Contents(batchRoot) == Contents(singleRoot);
    std::printf("same resulting bytes (DATA and Tree.ini): %s\n", same ? "yes" : "NO");
    std::printf("peak memory (ru_maxrss): %.1f MB before the import, %.1f MB after the batch imports\n",
                rssBefore / 1024.0, rssBatch / 1024.0);
    return same ? 0 : 1;
}
