// The database copy against a real PostgreSQL started for the test: upserts, refusals,
// connection errors, and the replicator through an outage.
#include "PgServer.h"
#include "support/TempDataRoot.h"

#include "common/DayCount.h"
#include "common/RegionalFormat.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"
#include "registry/TreeCommands.h"
#include "replication/FileSync.h"
#include "replication/Outbox.h"
#include "replication/ReplicaWriter.h"
#include "replication/Replicator.h"
#include "storage/ArchiveFiles.h"
#include "storage/RecordWriters.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/mount.h>

using namespace qst;
using namespace qst::test;

namespace {

QString Hourly(double time, double q1)
{
    LineBuilder b;
    b.Time(time).Real(q1);
    for (int i = 2; i <= 21; ++i)
        b.Real(i);
    for (int i = 22; i <= 27; ++i)
        b.Int(i);
    for (int i = 28; i <= 33; ++i)
        b.Real(60);
    return b.line();
}

double At(int hour)
{
    return DayCountFromParts(QDate(2026, 11, 1), QTime(0, 0)) + hour / 24.0;
}

PgConnection Open(const QString &url)
{
    PgConnection c;
    QString error;
    EXPECT_TRUE(c.Open(url, &error)) << error.toStdString();
    EXPECT_TRUE(EnsureSchema(c, &error)) << error.toStdString();
    return c;
}

ArchiveValues Values(double time, float q1)
{
    ArchiveValues v;
    v.time = time;
    v.F[0] = q1;
    for (int i = 1; i < kFCount; ++i)
        v.F[i] = float(i);
    return v;
}

// Every line of the meter's files, as the database should hold them: "kind serial line".
QStringList FileRecords(const QString &root, quint16 serial)
{
    QStringList all;
    const struct
    {
        DataKind kind;
        const char *table;
    } kinds[] = {{DataKind::History, "current_history"}, {DataKind::Hourly, "hourly"}, {DataKind::Daily, "daily"},
                 {DataKind::Monthly, "monthly"}, {DataKind::Journal, "journal"}};
    for (const auto &k : kinds) {
        const QDir folder(MeterFolderPath(root, k.kind, serial));
        for (const QFileInfo &f : folder.entryInfoList({QStringLiteral("*.dat")}, QDir::Files))
            for (const QString &line : LoadLines(f.filePath()))
                all.append(QStringLiteral("%1 %2 %3").arg(QLatin1String(k.table)).arg(serial).arg(line));
    }
    all.sort();
    return all;
}

QStringList DatabaseRecords(PgConnection &c)
{
    QStringList all;
    for (const char *table : {"current_history", "hourly", "daily", "monthly", "journal"})
        all += QueryRows(c, "SELECT '" + QByteArray(table) + " ' || serial || ' ' || line FROM " + table);
    all.sort();
    return all;
}


class Lines
{
public:
    void Add(const QString &line)
    {
        std::lock_guard lock(m_mutex);
        m_lines.append(line);
    }
    bool Has(const QString &part) const
    {
        std::lock_guard lock(m_mutex);
        return std::any_of(m_lines.cbegin(), m_lines.cend(), [&](const QString &l) { return l.contains(part); });
    }
    QString All() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines.join(u'\n');
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_lines;
};

} // namespace

TEST(Upserts, ResentAndRereadRecordsKeepOneRowPerKeyWithTheLastLine)
{
    QST_REQUIRE_PG();
    PgConnection c = Open(PgServer::Shared().CreateDatabase());
    const QString a = Hourly(At(1), 1.5), a2 = Hourly(At(1), 2.5), b = Hourly(At(2), 3.5);
    const auto b2 = [](const QString &) { return Hourly(At(1), 9.5); };
    const QString j1 = BuildJournalLine(At(3), QStringLiteral("Изменение"), QStringLiteral("1"), QStringLiteral("2"));
    const QString j2 = BuildJournalLine(At(3), QStringLiteral("Изменение"), QStringLiteral("2"), QStringLiteral("3"));
    const QList<FedRecord> batch = {{FedKind::Hourly, 5, a}, {FedKind::Hourly, 5, b}, {FedKind::Hourly, 5, a2},
                                    {FedKind::Journal, 5, j1}, {FedKind::Journal, 5, j2}, {FedKind::Journal, 5, j1},
                                    {FedKind::Hourly, 6, a}};
    ReplicaOutcome first = UpsertRecords(c, QStringLiteral("north"), batch);
    ASSERT_EQ(first.status, ReplicaOutcome::Committed) << first.error.toStdString();
    EXPECT_TRUE(first.refused.isEmpty());
    // Twice the same, and once more from another node holding the same serial (a typing
    // error, a replaced calculator): its rows stand beside the first node's, never over them.
    ASSERT_EQ(UpsertRecords(c, QStringLiteral("north"), batch).status, ReplicaOutcome::Committed);
    ASSERT_EQ(UpsertRecords(c, QStringLiteral("south"), {{FedKind::Hourly, 6, b2(a)}, {FedKind::Journal, 5, j1}}).status,
              ReplicaOutcome::Committed);

    EXPECT_EQ(QueryRows(c, "SELECT serial, time, q1, line, node FROM hourly ORDER BY serial, time, node"),
              (QStringList{QStringLiteral("5\t2026-11-01 01:00:00\t2.5\t") + a2 + QStringLiteral("\tnorth"),
                           QStringLiteral("5\t2026-11-01 02:00:00\t3.5\t") + b + QStringLiteral("\tnorth"),
                           QStringLiteral("6\t2026-11-01 01:00:00\t1.5\t") + a + QStringLiteral("\tnorth"),
                           QStringLiteral("6\t2026-11-01 01:00:00\t9.5\t") + b2(a) + QStringLiteral("\tsouth")}));
    EXPECT_EQ(QueryRows(c, "SELECT text, old_value, new_value, node FROM journal ORDER BY old_value, node"),
              (QStringList{QStringLiteral("Изменение\t1\t2\tnorth"), QStringLiteral("Изменение\t1\t2\tsouth"),
                           QStringLiteral("Изменение\t2\t3\tnorth")}));
    EXPECT_EQ(QueryRows(c, "SELECT max(version) FROM schema_version"), QStringList{QStringLiteral("2")});
    // A second program creating the schema changes nothing.
    PgConnection other = Open(PgServer::Shared().Url(QStringLiteral("t%1").arg(1)));
    EXPECT_EQ(QueryRows(c, "SELECT count(*) FROM schema_version"), QStringList{QStringLiteral("1")});
}

TEST(Upserts, ARefusedValueStaysOutWithItsReasonAndTheRestIsCommitted)
{
    QST_REQUIRE_PG();
    PgConnection c = Open(PgServer::Shared().CreateDatabase());
    // An administrator's rule the archive breaks.
    ASSERT_TRUE(c.Exec("ALTER TABLE hourly ADD CONSTRAINT sane_heat CHECK (q1 < 1000)").ok());
    QList<FedRecord> batch;
    for (int h = 0; h < 6; ++h)
        batch.append({FedKind::Hourly, 9, Hourly(At(h), h == 3 ? 5000 : h)});
    batch.append({FedKind::Hourly, 9, QStringLiteral("1e9\t1\t")});
    batch.append({FedKind::Daily, 9, Hourly(At(0), 1)});
    // A word too large for its integer column: the database's range check, not ours.
    QString wide = Hourly(At(1), 1);
    QStringList fields = wide.split(u'\t');
    fields[23] = QStringLiteral("99999999999");
    batch.append({FedKind::Daily, 9, fields.join(u'\t')});
    const ReplicaOutcome out = UpsertRecords(c, QStringLiteral("n"), batch);
    ASSERT_EQ(out.status, ReplicaOutcome::Committed) << out.error.toStdString();
    EXPECT_EQ(out.written, 6);
    ASSERT_EQ(out.refused.size(), 3);
    QList<int> refused = out.refused;
    std::sort(refused.begin(), refused.end());
    EXPECT_EQ(refused, (QList<int>{3, 6, 8}));
    const QString reasons = out.refusedReasons.join(u'|');
    EXPECT_TRUE(reasons.contains(QStringLiteral("sane_heat"))) << reasons.toStdString();
    EXPECT_TRUE(reasons.contains(QStringLiteral("out of range"))) << reasons.toStdString();
    EXPECT_EQ(QueryRows(c, "SELECT count(*) FROM hourly"), QStringList{QStringLiteral("5")});
    EXPECT_EQ(QueryRows(c, "SELECT count(*) FROM daily"), QStringList{QStringLiteral("1")});
}

TEST(Upserts, LargeBatchesGoStraightInWhenNewAndUpdateWhatIsThere)
{
    QST_REQUIRE_PG();
    PgConnection c = Open(PgServer::Shared().CreateDatabase());
    // Batches this large are copied straight into an empty range; over rows already there,
    // from this node or another, they must still update in place and stand beside.
    const auto batch = [](int from, int to, double value) {
        QList<FedRecord> records;
        for (int h = from; h < to; ++h)
            records.append({FedKind::Hourly, 5, Hourly(At(h), value + h)});
        return records;
    };
    const struct
    {
        const char *node;
        QList<FedRecord> records;
    } sends[] = {{"north", batch(0, 1500, 0)}, {"north", batch(1000, 2500, 0.5)}, {"south", batch(0, 1500, 0.25)},
                 {"north", batch(3000, 4200, 0)}};
    for (const auto &send : sends) {
        const ReplicaOutcome out = UpsertRecords(c, QString::fromLatin1(send.node), send.records);
        ASSERT_EQ(out.status, ReplicaOutcome::Committed) << out.error.toStdString();
        EXPECT_EQ(out.written, send.records.size());
        EXPECT_TRUE(out.refused.isEmpty());
    }
    EXPECT_EQ(QueryRows(c, "SELECT node, count(*), min(q1), max(q1) FROM hourly GROUP BY node ORDER BY node"),
              (QStringList{QStringLiteral("north\t3700\t0\t4199"), QStringLiteral("south\t1500\t0.25\t1499.25")}));
    // The second send's lines replaced the first's where they met.
    EXPECT_EQ(QueryRows(c, "SELECT q1 FROM hourly WHERE node = 'north' AND time = '2026-11-01 00:00:00'::timestamp "
                           "+ interval '1200 hours'"),
              QStringList{QStringLiteral("1200.5")});
    EXPECT_EQ(QueryRows(c, "SELECT count(*) FROM (SELECT serial, time, node FROM hourly GROUP BY 1, 2, 3 "
                           "HAVING count(*) > 1) d"),
              QStringList{QStringLiteral("0")});
}

TEST(Connection, AWrongPasswordOrPlaceGivesAClearMessage)
{
    QST_REQUIRE_PG();
    PgServer &server = PgServer::Shared();
    const QString url = server.CreateDatabase();
    PgConnection admin = Open(url);
    ASSERT_TRUE(admin.Exec("CREATE ROLE poller LOGIN PASSWORD 'right'").ok());
    ASSERT_TRUE(server.RequirePassword(QStringLiteral("poller")));
    const QString asPoller = url + QStringLiteral(" user=poller");
    struct Case
    {
        QString url;
        QByteArray password;
        QString expected; // part of the message; empty: connects
    };
    const Case cases[] = {
        {asPoller, "wrong", QStringLiteral("password authentication failed")},
        {asPoller, "", QStringLiteral("password")},
        {asPoller, "right", QString()},
        {QStringLiteral("host=/nonexistent-socket-dir port=1 user=x dbname=x"), "", QStringLiteral("nonexistent-socket-dir")},
        {QStringLiteral("postgresql://"), "", QStringLiteral("socket")},
        {QStringLiteral("host=/tmp port=notaport"), "", QStringLiteral("notaport")},
        {QStringLiteral("postgresql://qst@[::1"), "", QStringLiteral("IPv6")},
    };
    for (const Case &c : cases) {
        qputenv("PGPASSWORD", c.password);
        if (c.password.isEmpty())
            qunsetenv("PGPASSWORD");
        PgConnection conn;
        QString error;
        const bool ok = conn.Open(c.url, &error);
        EXPECT_EQ(ok, c.expected.isEmpty()) << c.url.toStdString() << ": " << error.toStdString();
        if (!c.expected.isEmpty()) {
            EXPECT_TRUE(error.contains(c.expected)) << error.toStdString();
        }
    }
    qunsetenv("PGPASSWORD");
}

TEST(Replicator, AnOutageLosesNothingAndEachRecordArrivesOnce)
{
    QST_REQUIRE_PG();
    PgServer &server = PgServer::Shared();
    const QString url = server.CreateDatabase();
    TempDataRoot root;
    Registry registry(TreeIniPath(root.path()));
    MeterRecord m;
    m.name = QStringLiteral("ЦТП №4");
    m.serial = QStringLiteral("700");
    m.address = QStringLiteral("3");
    m.port = 2;
    AddMeter(registry, 0, m);
    const StorageTarget target{root.path(), &registry};

    Lines log;
    Replicator replicator(root.path(), DatabaseSettings{url, QStringLiteral("north")},
                          [&](const QString &line) { log.Add(line); });
    replicator.SetRetryLimitsForTests(50, 400);
    replicator.Start();
    for (int h = 0; h < 50; ++h)
        SaveArchiveLine(target, 2, 700, false, 0, kHourlyArchive, Values(At(h), float(h)));
    SaveJournalLine(target, 700, 0, At(0), At(0), QStringLiteral("Пуск"), {}, {});
    ASSERT_TRUE(replicator.WaitSent(20000)) << log.All().toStdString();

    ASSERT_TRUE(server.Kill());
    for (int h = 50; h < 120; ++h)
        SaveArchiveLine(target, 2, 700, h % 10 == 0, 0, kHourlyArchive, Values(At(h - 40), float(h)));
    // Reread with overwrite: the rows of those hours change.
    ASSERT_TRUE(SpinUntil([&] { return log.Has(QStringLiteral("потеряна")) || log.Has(QStringLiteral("недоступна")); },
                          20000))
        << log.All().toStdString();
    EXPECT_GT(replicator.outbox().Summary().pending, 0);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(replicator.WaitSent(30000)) << log.All().toStdString();
    replicator.Stop(1000);
    EXPECT_TRUE(log.Has(QStringLiteral("очередь отправлена"))) << log.All().toStdString();

    PgConnection c = Open(url);
    EXPECT_EQ(DatabaseRecords(c), FileRecords(root.path(), 700));
    EXPECT_EQ(QueryRows(c, "SELECT node, serial, name, address, port FROM meters"),
              QStringList{QStringLiteral("north\t700\tЦТП №4\t3\t2")});
    EXPECT_EQ(replicator.outbox().Summary().pending, 0);
}

TEST(Replicator, ARecordTheDatabaseRefusesIsLoggedAndKeptInTheRejectFile)
{
    QST_REQUIRE_PG();
    const QString url = PgServer::Shared().CreateDatabase();
    {
        PgConnection c = Open(url);
        ASSERT_TRUE(c.Exec("ALTER TABLE hourly ADD CONSTRAINT sane_heat CHECK (q1 < 1000)").ok());
    }
    TempDataRoot root;
    Registry registry(TreeIniPath(root.path()));
    const StorageTarget target{root.path(), &registry};
    Lines log;
    Replicator replicator(root.path(), DatabaseSettings{url, {}}, [&](const QString &line) { log.Add(line); });
    replicator.SetRetryLimitsForTests(50, 400);
    replicator.Start();
    SaveArchiveLine(target, 1, 8, false, 0, kHourlyArchive, Values(At(1), 5));
    SaveArchiveLine(target, 1, 8, false, 0, kHourlyArchive, Values(At(2), 5000));
    SaveArchiveLine(target, 1, 8, false, 0, kHourlyArchive, Values(At(3), 7));
    ASSERT_TRUE(replicator.WaitSent(20000)) << log.All().toStdString();
    replicator.Stop(0);
    EXPECT_TRUE(log.Has(QStringLiteral("отклонила"))) << log.All().toStdString();
    const QByteArray rejects = ReadAll(Outbox::FolderPath(root.path()) + QStringLiteral("/rejects.dat"));
    EXPECT_EQ(rejects.count('\n'), 1);
    EXPECT_TRUE(rejects.contains("sane_heat"));
    EXPECT_TRUE(rejects.contains(FormatReal(5000).toUtf8()));
    EXPECT_EQ(replicator.outbox().Summary().rejected, 1);
    PgConnection c = Open(url);
    EXPECT_EQ(QueryRows(c, "SELECT q1 FROM hourly ORDER BY time"), (QStringList{QStringLiteral("5"), QStringLiteral("7")}));
}

TEST(Replicator, AFullOutboxDiskStopsNoWriteAndSaysSoOnceUntilItRecovers)
{
    QST_REQUIRE_PG();
    TempDataRoot root;
    const QString db = Outbox::FolderPath(root.path());
    QDir().mkpath(db);
    const QByteArray mountPoint = QFile::encodeName(db);
    if (::mount("qst-outbox", mountPoint.constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    struct Unmount
    {
        QByteArray path;
        ~Unmount() { ::umount(path.constData()); }
    } unmount{mountPoint};
    // Nearly full from the start.
    {
        QFile filler(db + QStringLiteral("/filler"));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        filler.write(QByteArray(56 * 1024, 'x'));
    }
    Registry registry(TreeIniPath(root.path()));
    MeterRecord m;
    m.name = QStringLiteral("31");
    m.serial = QStringLiteral("31");
    AddMeter(registry, 0, m);
    const StorageTarget target{root.path(), &registry};
    Lines log;
    const QString url = PgServer::Shared().CreateDatabase();
    // The database away, so that the outbox only grows.
    Replicator replicator(root.path(), DatabaseSettings{QStringLiteral("host=/nonexistent-socket-dir port=1 user=x"), {}},
                          [&](const QString &line) { log.Add(line); });
    replicator.SetRetryLimitsForTests(1000, 1000);
    replicator.Start();
    for (int h = 0; h < 200; ++h)
        ASSERT_NO_THROW(SaveArchiveLine(target, 2, 31, false, 0, kHourlyArchive, Values(At(h), float(h))));
    EXPECT_EQ(FileRecords(root.path(), 31).size(), 200) << "every record reached its file";
    const QString all = log.All();
    EXPECT_EQ(all.count(QStringLiteral("не поставлена в очередь")), 1) << all.toStdString();
    EXPECT_TRUE(all.contains(QStringLiteral("No space left"))) << all.toStdString();

    QFile::remove(db + QStringLiteral("/filler"));
    SaveArchiveLine(target, 2, 31, false, 0, kHourlyArchive, Values(At(500), 1));
    EXPECT_TRUE(log.Has(QStringLiteral("снова принимает"))) << log.All().toStdString();
    replicator.Stop(0);

    // db sync mends what the outbox could not take, and says so until it ran.
    EXPECT_FALSE(DatabaseSyncNeeded(root.path()).isEmpty());
    PgConnection c = Open(url);
    const QDateTime started = QDateTime::currentDateTime();
    ASSERT_TRUE(SyncFilesToDatabase(c, root.path(), registry, QStringLiteral("n"), {}, nullptr).ok);
    WriteLastFullSync(root.path(), started);
    EXPECT_TRUE(DatabaseSyncNeeded(root.path()).isEmpty()) << DatabaseSyncNeeded(root.path()).toStdString();
    const QStringList files = FileRecords(root.path(), 31);
    ASSERT_EQ(files.size(), 201);
    EXPECT_TRUE(DatabaseRecords(c) == files);
}

TEST(Upserts, ADatabaseOfTheFirstVersionTakesTheNodeIntoItsKeysAndKeepsItsRows)
{
    QST_REQUIRE_PG();
    const QString url = PgServer::Shared().CreateDatabase();
    PgConnection c = Open(url);
    ASSERT_EQ(UpsertRecords(c, QStringLiteral("north"), {{FedKind::Hourly, 6, Hourly(At(1), 1.5)},
                                                        {FedKind::Journal, 6, BuildJournalLine(At(2), QStringLiteral("Пуск"), {}, {})}})
                  .status,
              ReplicaOutcome::Committed);
    // The tables as the first version made them: keyed without the node.
    for (const char *sql : {"ALTER TABLE current_history DROP CONSTRAINT current_history_pkey, ADD PRIMARY KEY (serial, time)",
                            "ALTER TABLE hourly DROP CONSTRAINT hourly_pkey, ADD PRIMARY KEY (serial, time)",
                            "ALTER TABLE daily DROP CONSTRAINT daily_pkey, ADD PRIMARY KEY (serial, time)",
                            "ALTER TABLE monthly DROP CONSTRAINT monthly_pkey, ADD PRIMARY KEY (serial, time)",
                            "ALTER TABLE journal DROP CONSTRAINT journal_pkey, "
                            "ADD PRIMARY KEY (serial, time, text, old_value, new_value)",
                            "DELETE FROM schema_version", "INSERT INTO schema_version (version) VALUES (1)"})
        ASSERT_TRUE(c.Exec(sql).ok()) << sql;
    c.Close();

    PgConnection again = Open(url);
    EXPECT_EQ(QueryRows(again, "SELECT max(version) FROM schema_version"), QStringList{QStringLiteral("2")});
    EXPECT_EQ(QueryRows(again, "SELECT serial, q1, node FROM hourly"), QStringList{QStringLiteral("6\t1.5\tnorth")});
    ASSERT_EQ(UpsertRecords(again, QStringLiteral("south"), {{FedKind::Hourly, 6, Hourly(At(1), 7.5)},
                                                            {FedKind::Journal, 6, BuildJournalLine(At(2), QStringLiteral("Пуск"), {}, {})}})
                  .status,
              ReplicaOutcome::Committed);
    EXPECT_EQ(QueryRows(again, "SELECT serial, q1, node FROM hourly ORDER BY node"),
              (QStringList{QStringLiteral("6\t1.5\tnorth"), QStringLiteral("6\t7.5\tsouth")}));
    EXPECT_EQ(QueryRows(again, "SELECT count(*) FROM journal"), QStringList{QStringLiteral("2")});
    // A third start finds nothing to migrate.
    PgConnection third = Open(url);
    EXPECT_EQ(QueryRows(third, "SELECT count(*) FROM schema_version WHERE version = 2"), QStringList{QStringLiteral("1")});
}

TEST(Upserts, HostileTextsAndNodeNamesAreStoredByteForByte)
{
    QST_REQUIRE_PG();
    PgConnection c = Open(PgServer::Shared().CreateDatabase());
    const QString node = QStringLiteral("nörd \\ \\N \"x\" {a,b} 'q'");
    const QStringList texts = {
        QStringLiteral("C:\\new\\table"), QStringLiteral("\\N"), QStringLiteral("\\."), QStringLiteral("\\"),
        QStringLiteral("line\nbreak\r\n"), QStringLiteral("\x01\x1b[0m\x7f"), QStringLiteral("\"q\" {a,\"b\"} NULL"),
        QStringLiteral("Изменение 😀"), QString(),
    };
    QList<FedRecord> batch;
    for (int i = 0; i < texts.size(); ++i)
        batch.append({FedKind::Journal, 4, BuildJournalLine(At(i), texts[i], texts[(i + 1) % texts.size()], texts[i])});
    // PostgreSQL's text holds no NUL: that record is refused, the others are kept.
    batch.append({FedKind::Journal, 4, BuildJournalLine(At(20), QStringLiteral("a") + QChar(0) + u'b', {}, {})});
    batch.append({FedKind::Hourly, 4, Hourly(At(0), 1)});
    // Twice on one connection: the second batch reuses the emptied temporary tables.
    for (int round = 0; round < 2; ++round) {
        const ReplicaOutcome out = UpsertRecords(c, node, batch);
        ASSERT_EQ(out.status, ReplicaOutcome::Committed) << out.error.toStdString();
        EXPECT_EQ(out.written, texts.size() + 1);
        EXPECT_EQ(out.refused, QList<int>{int(texts.size())});
    }
    // The batches went through the temporary tables, not the statements without them.
    EXPECT_EQ(QueryRows(c, "SELECT count(*) FROM pg_tables WHERE tablename LIKE 'qst_stage_%' AND schemaname LIKE 'pg_temp%'"),
              QStringList{QStringLiteral("5")});
    PgResult r = c.Exec("SELECT text, old_value, new_value, line, node FROM journal ORDER BY time");
    ASSERT_TRUE(r.ok()) << r.error().toStdString();
    ASSERT_EQ(r.rows(), texts.size());
    for (int i = 0; i < r.rows(); ++i) {
        EXPECT_EQ(r.text(i, 0), texts[i]);
        EXPECT_EQ(r.text(i, 1), texts[(i + 1) % texts.size()]);
        EXPECT_EQ(r.text(i, 2), texts[i]);
        EXPECT_EQ(r.text(i, 3), batch[i].line);
        EXPECT_EQ(r.text(i, 4), node);
    }
    EXPECT_EQ(QueryRows(c, "SELECT count(*) FROM hourly WHERE node = 'nörd \\ \\N \"x\" {a,b} ''q'''"),
              QStringList{QStringLiteral("1")});
}

TEST(Upserts, ASyncOfManyBatchesCountsEachMetersRecordsAndNamesTheFileOfEachRefusal)
{
    QST_REQUIRE_PG();
    PgConnection c = Open(PgServer::Shared().CreateDatabase());
    ASSERT_TRUE(c.Exec("ALTER TABLE hourly ADD CONSTRAINT sane_heat CHECK (q1 < 1000)").ok());
    TempDataRoot root;
    Registry registry(TreeIniPath(root.path()));
    const struct
    {
        quint16 serial;
        int hours;   // more than one batch for the first meter
        int refused; // the hour the database refuses; -1: none
    } meters[] = {{11, 6000, 5500}, {12, 30, 4}, {13, 5, -1}};
    QString badFile;
    for (const auto &m : meters) {
        MeterRecord record;
        record.name = QStringLiteral("М%1").arg(m.serial);
        record.serial = QString::number(m.serial);
        AddMeter(registry, 0, record);
        QMap<QString, QList<TimedLine>> files;
        for (int h = 0; h < m.hours; ++h) {
            const double t = At(h);
            const QDate d = DateTimeFromDayCount(t).date();
            files[DataFilePath(root.path(), DataKind::Hourly, m.serial, d.year(), d.month())].append(
                {Hourly(t, h == m.refused ? 5000 : 1), t});
        }
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            InsertArchiveLines(it.key(), it.value(), true);
        if (m.serial == 12) {
            // A line no row can hold, at the end of the meter's file.
            badFile = files.firstKey();
            QFile f(badFile);
            ASSERT_TRUE(f.open(QIODevice::Append));
            f.write("not a time\t1\t\r\n");
        }
    }
    QStringList progress;
    const FileSyncResult result = SyncFilesToDatabase(c, root.path(), registry, QStringLiteral("n"), {},
                                                      [&](const QString &line) { progress.append(line); });
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(result.meters, 3);
    EXPECT_EQ(result.sent, 6000 + 30 + 5 - 2);
    EXPECT_EQ(result.refused, 3);
    EXPECT_EQ(progress, (QStringList{QStringLiteral("11: 6000 records"), QStringLiteral("12: 31 records"),
                                     QStringLiteral("13: 5 records")}));
    const QString refusals = result.refusedLines.join(u'\n');
    EXPECT_EQ(refusals.count(QStringLiteral("sane_heat")), 2) << refusals.toStdString();
    EXPECT_TRUE(refusals.contains(QDir::toNativeSeparators(badFile) + QStringLiteral(": the time field"))) << refusals.toStdString();
    EXPECT_EQ(QueryRows(c, "SELECT serial, count(*) FROM hourly GROUP BY serial ORDER BY serial"),
              (QStringList{QStringLiteral("11\t5999"), QStringLiteral("12\t29"), QStringLiteral("13\t5")}));
}

TEST(Upserts, AValueTooLargeForTheIndexIsARefusedRecordNotAFailedBatch)
{
    QST_REQUIRE_PG();
    PgConnection c = Open(PgServer::Shared().CreateDatabase());
    // Journal texts are part of the key; a key row over the index's limit is refused.
    QString text;
    QRandomGenerator random(5);
    for (int i = 0; i < 10000; ++i)
        text += QChar(u'а' + random.bounded(32)); // does not compress below the limit
    const QString huge = BuildJournalLine(At(1), text, {}, {});
    const ReplicaOutcome out = UpsertRecords(c, QStringLiteral("n"),
                                             {{FedKind::Hourly, 3, Hourly(At(1), 1)}, {FedKind::Journal, 3, huge}});
    ASSERT_EQ(out.status, ReplicaOutcome::Committed) << out.error.toStdString();
    EXPECT_EQ(out.written, 1);
    EXPECT_EQ(out.refused, QList<int>{1});
}

namespace {

// One meter with lines in its files and a replicator that could not send (the database
// away): what stays in the outbox for the next start.
struct QueuedRoot
{
    TempDataRoot root;
    Registry registry{TreeIniPath(root.path())};
    StorageTarget target{root.path(), &registry};

    QueuedRoot()
    {
        MeterRecord m;
        m.name = QStringLiteral("ЦТП");
        m.serial = QStringLiteral("41");
        AddMeter(registry, 0, m);
    }
    void Store(int from, int to, const DatabaseSettings &settings, bool reachable)
    {
        Replicator r(root.path(), settings, nullptr);
        r.SetRetryLimitsForTests(50, 200);
        r.Start();
        for (int h = from; h < to; ++h)
            SaveArchiveLine(target, 2, 41, false, 0, kHourlyArchive, Values(At(h), float(h)));
        SaveJournalLine(target, 41, 0, At(from), At(from), QStringLiteral("Запись %1").arg(from), {}, {});
        if (reachable)
            r.WaitSent(20000);
        r.Stop(0);
    }
    QString OutboxPath() const { return Outbox::FolderPath(root.path()) + QStringLiteral("/outbox.dat"); }
    QString AckPath() const { return Outbox::FolderPath(root.path()) + QStringLiteral("/outbox.ack"); }
};

qsizetype NthLine(const QByteArray &bytes, int n)
{
    qsizetype at = 0;
    for (int i = 0; i < n; ++i)
        at = bytes.indexOf('\n', at) + 1;
    return at;
}

} // namespace

TEST(Replicator, WaitingForTheOutboxAfterAStartWaitsForWhatItHeldFromBefore)
{
    QST_REQUIRE_PG();
    const QString url = PgServer::Shared().CreateDatabase();
    QueuedRoot q;
    q.Store(0, 40, DatabaseSettings{QStringLiteral("host=/nonexistent-socket-dir port=1 user=x"), QStringLiteral("north")},
            false);
    Replicator replicator(q.root.path(), DatabaseSettings{url, QStringLiteral("north")}, nullptr);
    replicator.Start();
    ASSERT_TRUE(replicator.WaitSent(20000));
    PgConnection c = Open(url);
    EXPECT_EQ(QueryRows(c, "SELECT count(*) FROM hourly"), QStringList{QStringLiteral("40")});
    EXPECT_EQ(QueryRows(c, "SELECT count(*) FROM journal"), QStringList{QStringLiteral("1")});
}

TEST(Replicator, ADamagedOutboxIsSetAsideAndEveryFileLineReachesTheDatabaseOnce)
{
    QST_REQUIRE_PG();
    struct Case
    {
        const char *what;
        std::function<void(QueuedRoot &)> fault;
        bool setAside = true; // damaged bytes go to a quarantine file
    };
    const Case cases[] = {
        {"a changed byte at the start",
         [](QueuedRoot &q) {
             QByteArray b = ReadAll(q.OutboxPath());
             b[0] = 'X';
             WriteAll(q.OutboxPath(), b);
         }},
        {"the file cut after a kill",
         [](QueuedRoot &q) {
             const QByteArray b = ReadAll(q.OutboxPath());
             WriteAll(q.OutboxPath(), b.left(NthLine(b, 12) + 30));
         }},
        {"an acknowledgement beyond the end",
         [](QueuedRoot &q) {
             const QList<QByteArray> ack = ReadAll(q.AckPath()).trimmed().split(' ');
             const QByteArray gen = ack.size() == 2 ? ack[0] : ReadAll(q.OutboxPath()).split(' ').value(1).trimmed();
             WriteAll(q.AckPath(), gen + " 900000000\n");
         },
         false},
        {"a damaged entry",
         [](QueuedRoot &q) {
             QByteArray b = ReadAll(q.OutboxPath());
             const qsizetype at = NthLine(b, 7) + 40;
             b[at] = char(b[at] ^ 0x04);
             WriteAll(q.OutboxPath(), b);
         }},
        {"a 9 MB entry",
         [](QueuedRoot &q) {
             QByteArray b = ReadAll(q.OutboxPath());
             b.insert(NthLine(b, 3), "1234abcd\t1\tH\t41\t" + QByteArray(9 * 1024 * 1024, '7') + '\n');
             WriteAll(q.OutboxPath(), b);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const QString url = PgServer::Shared().CreateDatabase();
        QueuedRoot q;
        q.Store(0, 10, DatabaseSettings{url, QStringLiteral("north")}, true);
        // The database away: twenty records wait in the outbox, and the fault strikes it.
        q.Store(10, 30, DatabaseSettings{QStringLiteral("host=/nonexistent-socket-dir port=1 user=x"), QStringLiteral("north")},
                false);
        c.fault(q);

        Lines log;
        Replicator replicator(q.root.path(), DatabaseSettings{url, QStringLiteral("north")},
                              [&](const QString &line) { log.Add(line); });
        replicator.SetRetryLimitsForTests(50, 400);
        replicator.Start();
        // Records stored after the damage are sent as well.
        for (int h = 30; h < 35; ++h)
            SaveArchiveLine(q.target, 2, 41, false, 0, kHourlyArchive, Values(At(h), float(h)));
        ASSERT_TRUE(SpinUntil([&] { return replicator.WaitSent(100) && !ReadReplicationState(q.root.path()).resyncNeeded &&
                                           DatabaseSyncNeeded(q.root.path()).isEmpty(); },
                              30000))
            << log.All().toStdString() << DatabaseSyncNeeded(q.root.path()).toStdString();
        replicator.Stop(1000);
        const QString all = log.All();
        EXPECT_EQ(all.count(QStringLiteral("Очередь базы данных повреждена")), 1) << all.toStdString();
        EXPECT_EQ(QDir(Outbox::FolderPath(q.root.path())).entryList({QStringLiteral("outbox-damaged-*")}).isEmpty(),
                  !c.setAside);
        PgConnection db = Open(url);
        EXPECT_EQ(DatabaseRecords(db), FileRecords(q.root.path(), 41));
        EXPECT_EQ(FileRecords(q.root.path(), 41).size(), 35 + 2);
    }
}

TEST(Replicator, ADatabaseThatDropsEveryBatchIsMetWithAGrowingPauseNotALoopOfConnections)
{
    QST_REQUIRE_PG();
    const QString url = PgServer::Shared().CreateDatabase();
    {
        PgConnection c = Open(url);
        // The server ends the session at every insert: each batch loses its connection.
        ASSERT_TRUE(c.Exec("CREATE FUNCTION drop_me() RETURNS trigger LANGUAGE plpgsql AS "
                           "$$ BEGIN PERFORM pg_terminate_backend(pg_backend_pid()); RETURN NEW; END $$")
                        .ok());
        ASSERT_TRUE(c.Exec("CREATE TRIGGER drop_me BEFORE INSERT ON hourly FOR EACH ROW EXECUTE FUNCTION drop_me()").ok());
    }
    TempDataRoot root;
    Registry registry(TreeIniPath(root.path()));
    const StorageTarget target{root.path(), &registry};
    Lines log;
    Replicator replicator(root.path(), DatabaseSettings{url, QStringLiteral("n")}, [&](const QString &line) { log.Add(line); });
    replicator.SetRetryLimitsForTests(50, 400);
    replicator.Start();
    // A poll storing a record every 20 ms wakes the replicator each time.
    for (int h = 0; h < 100; ++h) {
        SaveArchiveLine(target, 1, 8, false, 0, kHourlyArchive, Values(At(h), 1));
        QThread::msleep(20);
    }
    replicator.Stop(0);
    const QString all = log.All();
    // 50, 100, 200, 400, 400 ... ms over about two seconds: a handful, never one per record.
    EXPECT_LE(all.count(QStringLiteral("База данных подключена")), 12) << all.toStdString();
    EXPECT_GE(all.count(QStringLiteral("База данных подключена")), 2) << all.toStdString();
}

TEST(Replicator, RecordsNotQueuedOnAFullDiskAreRememberedUntilASyncSendsThem)
{
    TempDataRoot root;
    const QString db = Outbox::FolderPath(root.path());
    QDir().mkpath(db);
    const QByteArray mountPoint = QFile::encodeName(db);
    if (::mount("qst-outbox", mountPoint.constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    struct Unmount
    {
        QByteArray path;
        ~Unmount() { ::umount(path.constData()); }
    } unmount{mountPoint};
    Registry registry(TreeIniPath(root.path()));
    MeterRecord m;
    m.name = QStringLiteral("32");
    m.serial = QStringLiteral("32");
    AddMeter(registry, 0, m);
    const StorageTarget target{root.path(), &registry};
    const DatabaseSettings away{QStringLiteral("host=/nonexistent-socket-dir port=1 user=x"), {}};
    Lines log;
    {
        // The state is written once while there is room, then the disk fills up.
        Replicator replicator(root.path(), away, [&](const QString &line) { log.Add(line); });
        replicator.Start();
        SaveArchiveLine(target, 2, 32, false, 0, kHourlyArchive, Values(At(0), 0));
        ASSERT_TRUE(SpinUntil([&] { return QFile::exists(db + QStringLiteral("/State.json")); }, 10000));
        QFile filler(db + QStringLiteral("/filler"));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(1024, 'x')) == 1024 && filler.flush()) {
        }
        filler.close();
        for (int h = 1; h < 100; ++h) // more than the slack of the file's last page
            SaveArchiveLine(target, 2, 32, false, 0, kHourlyArchive, Values(At(h), float(h)));
        replicator.Stop(0); // still full
    }
    const QString need = DatabaseSyncNeeded(root.path());
    EXPECT_TRUE(need.contains(QStringLiteral("not queued"))) << need.toStdString() << log.All().toStdString();
    EXPECT_GT(ReadReplicationState(root.path()).notQueued, 0);

    // Room again: still to mend, until a sync of everything ran.
    QFile::remove(db + QStringLiteral("/filler"));
    EXPECT_FALSE(DatabaseSyncNeeded(root.path()).isEmpty());
    QST_REQUIRE_PG();
    const QString url = PgServer::Shared().CreateDatabase();
    PgConnection c = Open(url);
    const QDateTime started = QDateTime::currentDateTime();
    ASSERT_TRUE(SyncFilesToDatabase(c, root.path(), registry, QStringLiteral("n"), {}, nullptr).ok);
    WriteLastFullSync(root.path(), started);
    EXPECT_TRUE(DatabaseSyncNeeded(root.path()).isEmpty()) << DatabaseSyncNeeded(root.path()).toStdString();
    EXPECT_EQ(DatabaseRecords(c), FileRecords(root.path(), 32));
    // A replicator started later forgets the count as well.
    Replicator later(root.path(), DatabaseSettings{url, {}}, nullptr);
    later.Start();
    later.Stop(2000);
    EXPECT_EQ(ReadReplicationState(root.path()).notQueued, 0);
}

TEST(Connection, AConnectTimeoutInTheUrlIsBoundedByTheFiveSecondLimit)
{
    // A server that takes the connection and never answers.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    const int port = ntohs(address.sin_port);
    auto result = std::make_shared<std::promise<QString>>();
    std::future<QString> done = result->get_future();
    // connect_timeout=0 means "wait for ever" to libpq.
    std::thread([result, port] {
        PgConnection c;
        QString error;
        c.Open(QStringLiteral("host=127.0.0.1 port=%1 user=x dbname=x connect_timeout=0").arg(port), &error);
        result->set_value(error);
    }).detach();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the connection waited for ever";
    EXPECT_TRUE(done.get().contains(QStringLiteral("timeout"))) << "a timeout ends it";
    ::close(listener);
}

TEST(Replicator, ANodeNameTheDatabaseCannotHoldSendsNothingAndSaysSoOnce)
{
    QST_REQUIRE_PG();
    const QString url = PgServer::Shared().CreateDatabase();
    TempDataRoot root;
    Registry registry(TreeIniPath(root.path()));
    const StorageTarget target{root.path(), &registry};
    Lines log;
    // As a hand-edited Tree.ini may hold it.
    Replicator replicator(root.path(), DatabaseSettings{url, QString(4000, u'n')}, [&](const QString &line) { log.Add(line); });
    replicator.SetRetryLimitsForTests(50, 400);
    replicator.Start();
    for (int h = 0; h < 20; ++h) {
        SaveArchiveLine(target, 1, 9, false, 0, kHourlyArchive, Values(At(h), 1));
        QThread::msleep(20);
    }
    replicator.Stop(0);
    const QString all = log.All();
    EXPECT_EQ(all.count(QStringLiteral("имя узла")), 1) << all.toStdString();
    EXPECT_FALSE(all.contains(QStringLiteral("подключена"))) << all.toStdString();
    EXPECT_EQ(replicator.outbox().Summary().pending, 20);
    EXPECT_TRUE(ReadReplicationState(root.path()).lastError.contains(QStringLiteral("node"))) ;
}
