// The database copy's cost, against a throw-away PostgreSQL on this machine (scripts/pg-temp.sh),
// each figure set against a baseline measured in the same run:
//  1. polling the simulator (one pseudo-terminal, length-aware framing, 20 ms device latency):
//     the exchange thread's time per record with the copy on, against the copy off;
//  2. storing one hourly record in the writing thread (file + outbox append, both synced):
//     against the file alone;
//  3. db sync of a year of one meter (8,760 hours, 365 days, 12 months, 2,000 journal
//     entries): against reading and converting the same lines without sending (goal < 2 s);
//  4. db sync of M meters x a year (default 20): against PostgreSQL's own COPY of the same
//     rows, made beforehand, into the same empty tables with their keys (the server's floor),
//     alternating, each into freshly emptied tables.
// Usage: replication_bench [records to poll; 0: only 4] [meters for 4]
#include "BenchTiming.h"
#include "CountingLog.h"
#include "SimHarness.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/ProfileFile.h"
#include "common/TextFile.h"
#include "exchange/ExchangeEngine.h"
#include "exchange/LogSink.h"
#include "link/PortLinks.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"
#include "replication/FileSync.h"
#include "replication/Outbox.h"
#include "replication/PgConnection.h"
#include "replication/ReplicaRows.h"
#include "replication/ReplicaWriter.h"
#include "replication/Replicator.h"
#include "storage/ArchiveFiles.h"
#include "storage/RecordWriters.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <thread>

#include <atomic>
#include <cstdio>

using namespace qst;
using qst::bench::CountingLog;
using qst::test::SimProcess;

namespace {

class Server
{
public:
    Server()
    {
        QDir(m_dir.path()).mkdir(QStringLiteral("pg"));
        // The server's account must reach its folder inside.
        QFile::setPermissions(m_dir.path(), QFile::permissions(m_dir.path()) | QFile::ExeOther | QFile::ReadOther);
        QProcess p;
        p.start(QStringLiteral("bash"), {QStringLiteral(QST_SOURCE_DIR "/scripts/pg-temp.sh"), QStringLiteral("start"),
                                         m_dir.path() + QStringLiteral("/pg"), QStringLiteral("54331")});
        p.waitForFinished(120000);
        m_url = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
        if (p.exitCode() != 0)
            std::fprintf(stderr, "no PostgreSQL: %s\n", p.readAllStandardError().constData());
    }
    ~Server()
    {
        QProcess::execute(QStringLiteral("bash"), {QStringLiteral(QST_SOURCE_DIR "/scripts/pg-temp.sh"),
                                                   QStringLiteral("stop"), m_dir.path() + QStringLiteral("/pg")});
    }
    bool ok() const { return !m_url.isEmpty(); }
    QString NewDatabase()
    {
        PgConnection c;
        QString error;
        const QString name = QStringLiteral("b%1").arg(++m_count);
        if (!c.Open(m_url, &error) || !c.Exec("CREATE DATABASE " + name.toLatin1()).ok())
            return {};
        QString url = m_url;
        return url.replace(QStringLiteral("dbname=postgres"), QStringLiteral("dbname=") + name);
    }

private:
    QTemporaryDir m_dir;
    QString m_url;
    int m_count = 0;
};

MeterRecord Meter(int serial, int port)
{
    MeterRecord m;
    m.name = QStringLiteral("Bench %1").arg(serial);
    m.serial = QString::number(serial);
    m.address = QStringLiteral("1");
    m.port = port;
    m.devType = 2;
    return m;
}

// Seconds per stored record of one poll of `hours` hourly records.
double PollPerRecord(const QString &device, int hours, const QString &url)
{
    QTemporaryDir root;
    QDir(root.path()).mkdir(QStringLiteral("DATA"));
    Registry registry(TreeIniPath(root.path()));
    registry.file().WriteString(QStringLiteral("PORTS"), QStringLiteral("1"), device);
    registry.file().WriteString(QStringLiteral("PORTS"), FastFramingKey(1), QStringLiteral("1"));
    AddMeter(registry, 0, Meter(7201, 1));
    std::unique_ptr<Replicator> replicator;
    if (!url.isEmpty()) {
        replicator = std::make_unique<Replicator>(root.path(), DatabaseSettings{url, QStringLiteral("bench")}, nullptr);
        replicator->Start();
    }
    CountingLog log;
    ExchangeEngine engine({root.path(), &registry, &log, nullptr, {}});
    const QDateTime now = QDateTime::currentDateTime();
    engine.queue().EnqueueRequest(7201, kRequestHourly, DayCountFromDateTime(now),
                                  DayCountFromDateTime(now.addSecs(-3600 * (hours + 1))), true);
    QEventLoop loop;
    QTimer supervisor;
    QObject::connect(&supervisor, &QTimer::timeout, [&] {
        engine.SuperviseTick();
        if (engine.queue().Size() == 0)
            loop.quit();
    });
    engine.SuperviseTick();
    supervisor.start(200);
    loop.exec();
    engine.Shutdown();
    if (replicator && !replicator->WaitSent(30000))
        std::fprintf(stderr, "the copy did not catch up\n");
    return log.SecondsPerRecord();
}

ArchiveValues Hour(double time)
{
    ArchiveValues v;
    v.time = time;
    for (int i = 0; i < kFCount; ++i)
        v.F[i] = float(i) * 1.25f + float(time - 40000);
    return v;
}

// Seconds per SaveArchiveLine of `count` hours into a fresh data root.
double StorePerRecord(int count, const QString &url)
{
    QTemporaryDir root;
    QDir(root.path()).mkdir(QStringLiteral("DATA"));
    Registry registry(TreeIniPath(root.path()));
    AddMeter(registry, 0, Meter(7301, 1));
    std::unique_ptr<Replicator> replicator;
    if (!url.isEmpty()) {
        replicator = std::make_unique<Replicator>(root.path(), DatabaseSettings{url, QStringLiteral("bench")}, nullptr);
        replicator->Start();
    }
    const StorageTarget target{root.path(), &registry};
    const double start = DayCountFromParts(QDate(2026, 1, 1), QTime(0, 0));
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < count; ++i)
        SaveArchiveLine(target, 2, 7301, false, 0, kHourlyArchive, Hour(start + i / 24.0));
    const double seconds = t.nsecsElapsed() / 1e9;
    if (replicator)
        replicator->WaitSent(60000);
    return seconds / count;
}

// A year of one meter written straight into its files (as an import would).
void WriteYear(const QString &root, Registry &registry, quint16 serial)
{
    AddMeter(registry, 0, Meter(serial, 1));
    const QDate first(2025, 1, 1);
    QMap<QString, QList<TimedLine>> files;
    for (int h = 0; h < 8760; ++h) {
        const double t = DayCountFromDate(first) + h / 24.0;
        const QDate d = first.addDays(h / 24);
        files[DataFilePath(root, DataKind::Hourly, serial, d.year(), d.month())].append({BuildArchiveLine(2, Hour(t)), t});
    }
    for (int d = 0; d < 365; ++d) {
        const double t = DayCountFromDate(first.addDays(d));
        files[DataFilePath(root, DataKind::Daily, serial, 2025)].append({BuildArchiveLine(2, Hour(t)), t});
    }
    for (int m = 0; m < 12; ++m) {
        const double t = DayCountFromDate(first.addMonths(m));
        files[DataFilePath(root, DataKind::Monthly, serial)].append({BuildArchiveLine(2, Hour(t)), t});
    }
    QList<TimedLine> journal;
    for (int j = 0; j < 2000; ++j) {
        const double t = DayCountFromDate(first) + j * 0.18;
        journal.append({BuildJournalLine(t, QStringLiteral("Изменение параметра %1").arg(j % 40),
                                         QString::number(j), QString::number(j + 1)),
                        t});
    }
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        InsertArchiveLines(it.key(), it.value(), true);
    InsertJournalLines(DataFilePath(root, DataKind::Journal, serial), journal);
}

// Every archive and journal file of the data root's meters, with the serial and the kind.
template <typename Visit>
void ForEachDataFile(const QString &root, Registry &registry, Visit visit)
{
    const std::pair<DataKind, FedKind> kinds[] = {{DataKind::Hourly, FedKind::Hourly}, {DataKind::Daily, FedKind::Daily},
                                                  {DataKind::Monthly, FedKind::Monthly},
                                                  {DataKind::Journal, FedKind::Journal}};
    for (int number : registry.MeterNumbers()) {
        quint16 serial = 0;
        ParseSerial(registry.file().ReadString(MeterSection(number), reg::kSerial), &serial);
        for (const auto &[dataKind, fedKind] : kinds) {
            const QDir folder(MeterFolderPath(root, dataKind, serial));
            for (const QFileInfo &f : folder.entryInfoList({QStringLiteral("*.dat")}, QDir::Files))
                visit(serial, fedKind, f.filePath());
        }
    }
}

// The rows of one file's lines, as the copy makes them.
QList<ReplicaRow> FileRows(quint16 serial, FedKind kind, const QString &path)
{
    QList<ReplicaRow> rows;
    for (const QString &line : LoadLines(path)) {
        ReplicaRow row;
        QString reason;
        if (MakeReplicaRow(FedRecord{kind, serial, line}, QStringLiteral("bench"), &row, &reason))
            rows.append(std::move(row));
    }
    return rows;
}

// Every line of the data root read and made into rows, nothing sent.
qint64 ReadAndConvert(const QString &root, Registry &registry)
{
    qint64 rows = 0;
    ForEachDataFile(root, registry, [&rows](quint16 serial, FedKind kind, const QString &path) {
        rows += FileRows(serial, kind, path).size();
    });
    return rows;
}

// Every line of the data root as COPY text for its table, as a plain COPY would send it.
QHash<FedKind, QByteArray> CopyTexts(const QString &root, Registry &registry)
{
    QHash<FedKind, QByteArray> texts;
    ForEachDataFile(root, registry, [&texts](quint16 serial, FedKind kind, const QString &path) {
        const QList<ReplicaRow> rows = FileRows(serial, kind, path);
        texts[kind] += CopyText(rows, 0, rows.size());
    });
    return texts;
}

void Empty(PgConnection &c)
{
    c.Exec("TRUNCATE current_history, hourly, daily, monthly, journal");
    c.Exec("CHECKPOINT");
}

// The server's floor: one COPY per table straight into the keyed tables, one transaction.
qint64 PlainCopy(PgConnection &c, const QHash<FedKind, QByteArray> &texts)
{
    qint64 rows = 0;
    c.Exec("BEGIN");
    for (auto it = texts.cbegin(); it != texts.cend(); ++it) {
        const PgResult r = c.CopyIn(DirectCopyStatement(TableOf(it.key())), it.value());
        if (!r.ok())
            std::fprintf(stderr, "COPY: %s\n", qPrintable(r.error()));
        rows += it.value().count('\n');
    }
    c.Exec("COMMIT");
    return rows;
}

FileSyncResult Sync(const QString &root, Registry &registry, const QString &url)
{
    PgConnection c;
    QString error;
    if (!c.Open(url, &error) || !EnsureSchema(c, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return {};
    }
    return SyncFilesToDatabase(c, root, registry, QStringLiteral("bench"), {}, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int records = argc > 1 ? std::atoi(argv[1]) : 40;
    const int meters = argc > 2 ? std::atoi(argv[2]) : 20;
    Server server;
    if (!server.ok())
        return 1;

    if (records > 0) {
        SimProcess sim({QStringLiteral("--calc"), QStringLiteral("2"), QStringLiteral("--serial"),
                        QStringLiteral("7201"), QStringLiteral("--baud"), QStringLiteral("19200"),
                        QStringLiteral("--latency-ms"), QStringLiteral("20"), QStringLiteral("--hourly-slots"),
                        QString::number(records + 20)});
        // Alternating, so drift of a shared machine falls on both.
        std::vector<double> off, on;
        for (int round = 0; round < 3; ++round) {
            off.push_back(PollPerRecord(sim.path(), records, {}));
            on.push_back(PollPerRecord(sim.path(), records, server.NewDatabase()));
        }
        std::sort(off.begin(), off.end());
        std::sort(on.begin(), on.end());
        std::printf("%-34s %8.2f ms/record   copy off %8.2f ms/record   ratio %.3fx (goal: 1.0 within noise)\n",
                    "poll, copy on", on[1] * 1e3, off[1] * 1e3, on[1] / off[1]);
    }
    if (records > 0) {
        std::vector<double> offs, ons;
        for (int round = 0; round < 5; ++round) {
            offs.push_back(StorePerRecord(1000, {}));
            ons.push_back(StorePerRecord(1000, server.NewDatabase()));
        }
        std::sort(offs.begin(), offs.end());
        std::sort(ons.begin(), ons.end());
        const double off = offs[2];
        const double on = ons[2];
        std::printf("%-34s %8.3f ms/record   file alone %8.3f ms/record   ratio %.2fx (outbox append, synced)\n",
                    "store one hour, copy on", on * 1e3, off * 1e3, on / off);
    }
    if (records > 0) {
        QTemporaryDir root;
        QDir(root.path()).mkdir(QStringLiteral("DATA"));
        Registry registry(TreeIniPath(root.path()));
        WriteYear(root.path(), registry, 7401);
        qint64 rows = 0;
        const double read = bench::MedianSeconds(3, [&] { rows = ReadAndConvert(root.path(), registry); });
        FileSyncResult result;
        const double sync = bench::MedianSeconds(3, [&] { result = Sync(root.path(), registry, server.NewDatabase()); });
        bench::Report("db sync, a year of one meter", QStringLiteral("%1 records").arg(result.sent).toLatin1().constData(),
                      sync, "read + convert only", read);
        std::printf("%-34s %.2f s against the goal of 2 s; %lld rows converted\n", "", sync, static_cast<long long>(rows));
        const QString url = server.NewDatabase();
        Sync(root.path(), registry, url);
        const double again = bench::MedianSeconds(3, [&] { Sync(root.path(), registry, url); });
        std::printf("%-34s %.2f s (nothing changes: rows left alone)\n", "db sync repeated", again);
    }
    {
        QTemporaryDir root;
        QDir(root.path()).mkdir(QStringLiteral("DATA"));
        Registry registry(TreeIniPath(root.path()));
        // Past a hundred meters the first meter's files are copied for the others (the lines
        // hold no serial): making each year anew would take longer than the copy measured.
        for (int m = 0; m < meters; ++m) {
            if (m == 0 || meters <= 100) {
                WriteYear(root.path(), registry, quint16(8000 + m));
                continue;
            }
            AddMeter(registry, 0, Meter(quint16(8000 + m), 1));
            for (DataKind kind : {DataKind::Hourly, DataKind::Daily, DataKind::Monthly, DataKind::Journal}) {
                const QDir from(MeterFolderPath(root.path(), kind, 8000));
                const QString to = MeterFolderPath(root.path(), kind, quint16(8000 + m));
                QDir().mkpath(to);
                for (const QString &name : from.entryList({QStringLiteral("*.dat")}, QDir::Files))
                    QFile::copy(from.filePath(name), to + u'/' + name);
            }
        }
        QElapsedTimer t;
        t.start();
        const QHash<FedKind, QByteArray> copyText = CopyTexts(root.path(), registry);
        const double prepare = t.nsecsElapsed() / 1e9;
        const QString url = server.NewDatabase();
        PgConnection c;
        QString error;
        if (!c.Open(url, &error) || !EnsureSchema(c, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        std::vector<double> copies, syncs;
        qint64 sent = 0, copied = 0;
        // A thousand meters are measured once: each side takes minutes.
        const int rounds = meters > 100 ? 1 : 3;
        for (int round = 0; round < rounds; ++round) {
            Empty(c);
            t.restart();
            copied = PlainCopy(c, copyText);
            copies.push_back(t.nsecsElapsed() / 1e9);
            Empty(c);
            t.restart();
            sent = Sync(root.path(), registry, url).sent;
            syncs.push_back(t.nsecsElapsed() / 1e9);
        }
        std::sort(copies.begin(), copies.end());
        std::sort(syncs.begin(), syncs.end());
        const double copy = copies[copies.size() / 2], sync = syncs[syncs.size() / 2];
        std::printf("%-34s %lld records of %d meters in %.2f s (%.0f records/s)   plain COPY of the same rows "
                    "%lld in %.2f s   ratio %.2fx (goal: 1.5x)\n",
                    "db sync, many meters", static_cast<long long>(sent), meters, sync, sent / sync,
                    static_cast<long long>(copied), copy, sync / copy);
        QString runs;
        for (size_t i = 0; i < syncs.size(); ++i)
            runs += QStringLiteral("%1sync %2 s, COPY %3 s").arg(i ? "; " : "").arg(syncs[i], 0, 'f', 2).arg(copies[i], 0, 'f', 2);
        std::printf("%-34s runs (sorted): %s; the COPY's text took %.2f s to make (not counted)\n", "",
                    qPrintable(runs), prepare);
        const PgResult size = c.Exec("SELECT pg_database_size(current_database())");
        if (size.ok())
            std::printf("%-34s database after the sync: %.0f MB\n", "", size.text(0, 0).toDouble() / 1e6);

        // 5. The replicator catching up an outbox of the same records (as after an outage),
        // against the same plain COPY; the outbox is filled beforehand, not counted.
        if (meters <= 100) {
            QList<FedRecord> all;
            ForEachDataFile(root.path(), registry, [&all](quint16 serial, FedKind kind, const QString &path) {
                for (const QString &line : LoadLines(path))
                    all.append(FedRecord{kind, serial, line});
            });
            std::vector<double> catchUps, plain;
            for (int round = 0; round < 3; ++round) {
                Empty(c);
                t.restart();
                PlainCopy(c, copyText);
                plain.push_back(t.nsecsElapsed() / 1e9);
                Empty(c);
                {
                    Outbox outbox(root.path());
                    for (qsizetype at = 0; at < all.size(); at += 20000)
                        outbox.Append(all.mid(at, 20000));
                }
                Replicator replicator(root.path(), DatabaseSettings{url, QStringLiteral("bench")}, nullptr);
                t.restart();
                replicator.Start();
                // Empty until its thread has read the outbox's first batch.
                for (int i = 0; i < 10000 && replicator.WaitSent(0); ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (!replicator.WaitSent(600000))
                    std::fprintf(stderr, "the replicator did not catch up\n");
                catchUps.push_back(t.nsecsElapsed() / 1e9);
                replicator.Stop(0);
            }
            std::sort(catchUps.begin(), catchUps.end());
            std::sort(plain.begin(), plain.end());
            const PgResult rows = c.Exec("SELECT (SELECT count(*) FROM hourly) + (SELECT count(*) FROM daily) + "
                                         "(SELECT count(*) FROM monthly) + (SELECT count(*) FROM journal)");
            std::printf("%-34s %lld records in %.2f s (%.0f records/s)   plain COPY %.2f s   ratio %.2fx (goal: 1.5x); "
                        "rows then: %s\n",
                        "replicator, outbox of the same", static_cast<long long>(all.size()), catchUps[1],
                        all.size() / catchUps[1], plain[1], catchUps[1] / plain[1],
                        rows.ok() ? qPrintable(rows.text(0, 0)) : "?");
        }
    }
    return 0;
}
