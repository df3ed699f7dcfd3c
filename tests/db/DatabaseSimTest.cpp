// qst-cli polling the simulator on a pseudo-terminal with the database copy on, against a
// real PostgreSQL: what the files hold is what the database holds, through outages, kills
// and two pollers.
#include "PgServer.h"
#include "e2e/SimHarness.h"
#include "support/TempDataRoot.h"

#include "common/DayCount.h"
#include "common/RegionalFormat.h"
#include "replication/Outbox.h"
#include "replication/ReplicaWriter.h"
#include "storage/ArchiveFiles.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace qst;
using namespace qst::test;

namespace {

const char *const kTables[] = {"current_history", "hourly", "daily", "monthly", "journal"};

DataKind KindOf(const QByteArray &table)
{
    if (table == "current_history")
        return DataKind::History;
    if (table == "hourly")
        return DataKind::Hourly;
    if (table == "daily")
        return DataKind::Daily;
    if (table == "monthly")
        return DataKind::Monthly;
    return DataKind::Journal;
}

QStringList FileLines(const QString &root, DataKind kind, quint16 serial)
{
    QStringList all;
    const QDir folder(MeterFolderPath(root, kind, serial));
    for (const QFileInfo &f : folder.entryInfoList({QStringLiteral("*.dat")}, QDir::Files))
        all += LoadLines(f.filePath());
    return all;
}

QString Cli(const QString &root, const QStringList &args, int *exitCode = nullptr, int timeoutMs = 180000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), root} + args);
    p.waitForFinished(timeoutMs);
    if (exitCode)
        *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAll());
}

QStringList SimArgs(int serial, int latencyMs = 0)
{
    return {QStringLiteral("--calc"), QStringLiteral("2"), QStringLiteral("--serial"), QString::number(serial),
            QStringLiteral("--baud"), QStringLiteral("19200"), QStringLiteral("--latency-ms"),
            QString::number(latencyMs), QStringLiteral("--hourly-slots"), QStringLiteral("200"),
            QStringLiteral("--journal-slots"), QStringLiteral("30")};
}

QString Iso(const QDateTime &t)
{
    return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

// A data root with one meter on port 1 mapped to the simulator, copying into url.
void Prepare(const QString &root, int serial, const QString &device, const QString &url, const QString &node)
{
    int rc = 0;
    const QString s = QString::number(serial);
    QString out = Cli(root, {QStringLiteral("meter"), QStringLiteral("add"), QStringLiteral("--name"),
                             QStringLiteral("Узел ") + s, QStringLiteral("--serial"), s, QStringLiteral("--address"),
                             QStringLiteral("1"), QStringLiteral("--port"), QStringLiteral("1")},
                      &rc);
    ASSERT_EQ(rc, 0) << out.toStdString();
    out = Cli(root, {QStringLiteral("port"), QStringLiteral("set"), QStringLiteral("1"), device, QStringLiteral("--fast")}, &rc);
    ASSERT_EQ(rc, 0) << out.toStdString();
    out = Cli(root, {QStringLiteral("db"), QStringLiteral("set"), url, QStringLiteral("--node"), node}, &rc);
    ASSERT_EQ(rc, 0) << out.toStdString();
}

QStringList PollArgs(int serial, int hours)
{
    const QDateTime now = QDateTime::currentDateTime();
    return {QStringLiteral("poll"), QStringLiteral("--serial"), QString::number(serial), QStringLiteral("--current"),
            QStringLiteral("--hourly"), Iso(now.addSecs(-3600LL * hours)), Iso(now), QStringLiteral("--daily"),
            Iso(now.addDays(-8)), Iso(now), QStringLiteral("--monthly"), Iso(now.addMonths(-3)), Iso(now),
            QStringLiteral("--journal"), QStringLiteral("12")};
}

PgConnection Connect(const QString &url)
{
    PgConnection c;
    QString error;
    EXPECT_TRUE(c.Open(url, &error)) << error.toStdString();
    return c;
}

// Every row equals its file line field by field, and every file line has its row.
void ExpectDatabaseEqualsFiles(PgConnection &c, const QString &root, quint16 serial)
{
    for (const char *table : kTables) {
        SCOPED_TRACE(table);
        const QStringList lines = FileLines(root, KindOf(table), serial);
        PgResult r = c.Exec("SELECT * FROM " + QByteArray(table) + " WHERE serial = " + QByteArray::number(serial));
        ASSERT_TRUE(r.ok()) << r.error().toStdString();
        ASSERT_EQ(r.rows(), lines.size());
        QStringList rowLines;
        const int lineColumn = r.columns() - 3; // ..., line, node, stored_at
        for (int i = 0; i < r.rows(); ++i) {
            const QString line = r.text(i, lineColumn);
            rowLines.append(line);
            const QList<QStringView> fields = SplitFields(line);
            ASSERT_FALSE(fields.isEmpty());
            const QDateTime t = DateTimeFromDayCount(ParseReal(fields[0]) + 0.5 / 86400000.0);
            EXPECT_EQ(r.text(i, 1), t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
            for (int col = 2; col < lineColumn; ++col) {
                const qsizetype f = col - 1;
                if (f >= fields.size()) {
                    EXPECT_TRUE(r.isNull(i, col)) << "column " << col << " of " << line.toStdString();
                    continue;
                }
                if (QByteArray(table) == "journal") {
                    EXPECT_EQ(r.text(i, col), fields[f].toString());
                    continue;
                }
                ASSERT_FALSE(r.isNull(i, col));
                EXPECT_EQ(r.text(i, col).toDouble(), ParseReal(fields[f])) << "column " << col << " of " << line.toStdString();
            }
        }
        QStringList sortedLines = lines;
        sortedLines.sort();
        rowLines.sort();
        EXPECT_EQ(rowLines, sortedLines);
    }
}

QStringList TableDump(PgConnection &c)
{
    QStringList all;
    for (const char *table : kTables) {
        PgResult r = c.Exec("SELECT * FROM " + QByteArray(table) + " ORDER BY 1, 2, line");
        for (int i = 0; i < r.rows(); ++i) {
            QStringList fields{QString::fromLatin1(table)};
            for (int j = 0; j < r.columns() - 1; ++j) // all but stored_at
                fields.append(r.isNull(i, j) ? QStringLiteral("<null>") : r.text(i, j));
            all.append(fields.join(u'\t'));
        }
    }
    all += QueryRows(c, "SELECT node, serial, meter_number, name, group_path, address, port, device_version, modem, "
                        "registry_keys FROM meters ORDER BY node, serial");
    return all;
}

int OutboxLines(const QString &root)
{
    return int(ReadAll(Outbox::FolderPath(root) + QStringLiteral("/outbox.dat")).count('\n')) - 1;
}


} // namespace

TEST(DatabaseAgainstSim, APollsRowsEqualItsFilesAndASyncOfTheFilesGivesTheSameTables)
{
    QST_REQUIRE_PG();
    constexpr int kSerial = 4711;
    SimProcess sim(SimArgs(kSerial));
    ASSERT_TRUE(sim.started());
    TempDataRoot root;
    const QString live = PgServer::Shared().CreateDatabase();
    Prepare(root.path(), kSerial, sim.path(), live, QStringLiteral("north"));
    int rc = 0;
    const QString out = Cli(root.path(), PollArgs(kSerial, 30), &rc);
    ASSERT_EQ(rc, 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("[База данных]"))) << out.toStdString();
    EXPECT_GE(FileLines(root.path(), DataKind::Hourly, kSerial).size(), 25);
    EXPECT_GE(FileLines(root.path(), DataKind::Journal, kSerial).size(), 5);
    PgConnection c = Connect(live);
    ExpectDatabaseEqualsFiles(c, root.path(), kSerial);
    EXPECT_EQ(QueryRows(c, "SELECT node, serial, name FROM meters"),
              QStringList{QStringLiteral("north\t4711\tУзел 4711")});

    // The same files sent to a new database by db sync: the same tables, twice over.
    const QString fresh = PgServer::Shared().CreateDatabase();
    ASSERT_EQ(Cli(root.path(), {QStringLiteral("db"), QStringLiteral("set"), fresh, QStringLiteral("--node"),
                                QStringLiteral("north")}, &rc).size() > 0, true);
    for (int pass = 0; pass < 2; ++pass) {
        const QString synced = Cli(root.path(), {QStringLiteral("db"), QStringLiteral("sync")}, &rc);
        ASSERT_EQ(rc, 0) << synced.toStdString();
    }
    PgConnection d = Connect(fresh);
    const QStringList expected = TableDump(c);
    EXPECT_GT(expected.size(), 40);
    EXPECT_EQ(TableDump(d), expected);

    // --from sends only the newer part; status reads empty.
    const QString partial = PgServer::Shared().CreateDatabase();
    Cli(root.path(), {QStringLiteral("db"), QStringLiteral("set"), partial}, &rc);
    const QDateTime since = QDateTime::currentDateTime().addSecs(-10 * 3600);
    Cli(root.path(), {QStringLiteral("db"), QStringLiteral("sync"), QStringLiteral("--serial"), QString::number(kSerial),
                      QStringLiteral("--from"), Iso(since)}, &rc);
    ASSERT_EQ(rc, 0);
    PgConnection p = Connect(partial);
    const QStringList older = QueryRows(p, "SELECT count(*) FROM hourly WHERE time < '" +
                                               since.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1() + "'");
    EXPECT_EQ(older, QStringList{QStringLiteral("0")});
    EXPECT_GT(QueryRows(p, "SELECT count(*) FROM hourly").value(0).toInt(), 5);
    const QString status = Cli(root.path(), {QStringLiteral("db"), QStringLiteral("status")}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(status.contains(QStringLiteral("outbox: 0 records waiting"))) << status.toStdString();
    EXPECT_TRUE(status.contains(QStringLiteral("reachable: yes"))) << status.toStdString();
}

TEST(DatabaseAgainstSim, TheDatabaseStoppedInTheMiddleOfAPollGetsEveryRecordOnce)
{
    QST_REQUIRE_PG();
    constexpr int kSerial = 4712;
    SimProcess sim(SimArgs(kSerial, 30));
    ASSERT_TRUE(sim.started());
    TempDataRoot root;
    PgServer &server = PgServer::Shared();
    const QString url = server.CreateDatabase();
    Prepare(root.path(), kSerial, sim.path(), url, QStringLiteral("north"));
    QProcess poll;
    poll.setProcessChannelMode(QProcess::MergedChannels);
    poll.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), root.path()} + PollArgs(kSerial, 150));
    ASSERT_TRUE(poll.waitForStarted());
    ASSERT_TRUE(SpinUntil(
        [&] {
            PgConnection c;
            QString error;
            return c.Open(url, &error) && QueryRows(c, "SELECT count(*) FROM hourly").value(0).toInt() >= 5;
        },
        60000));
    ASSERT_TRUE(server.Kill());
    QThread::msleep(2500);
    ASSERT_EQ(poll.state(), QProcess::Running) << "the poll ended before the database came back; make it longer";
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(poll.waitForFinished(240000));
    const QString out = QString::fromUtf8(poll.readAll());
    EXPECT_EQ(poll.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("потеряна")) || out.contains(QStringLiteral("недоступна"))) << out.toStdString();
    EXPECT_EQ(OutboxLines(root.path()), 0) << out.toStdString();
    PgConnection c = Connect(url);
    ExpectDatabaseEqualsFiles(c, root.path(), kSerial);
}

TEST(DatabaseAgainstSim, TwoPollersMeetInOneDatabase)
{
    QST_REQUIRE_PG();
    SimProcess simA(SimArgs(4801)), simB(SimArgs(4802));
    ASSERT_TRUE(simA.started() && simB.started());
    TempDataRoot a, b;
    const QString url = PgServer::Shared().CreateDatabase();
    Prepare(a.path(), 4801, simA.path(), url, QStringLiteral("district-north"));
    Prepare(b.path(), 4802, simB.path(), url, QStringLiteral("dispatch-laptop"));
    QProcess pa, pb;
    pa.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), a.path()} + PollArgs(4801, 24));
    pb.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), b.path()} + PollArgs(4802, 24));
    ASSERT_TRUE(pa.waitForFinished(180000) && pb.waitForFinished(180000));
    EXPECT_EQ(pa.exitCode(), 0) << pa.readAll().toStdString();
    EXPECT_EQ(pb.exitCode(), 0) << pb.readAll().toStdString();
    PgConnection c = Connect(url);
    EXPECT_EQ(QueryRows(c, "SELECT node, serial FROM meters ORDER BY serial"),
              (QStringList{QStringLiteral("district-north\t4801"), QStringLiteral("dispatch-laptop\t4802")}));
    ExpectDatabaseEqualsFiles(c, a.path(), 4801);
    ExpectDatabaseEqualsFiles(c, b.path(), 4802);
    const QStringList perNode = QueryRows(c, "SELECT m.node, count(*) FROM hourly h JOIN meters m USING (serial) "
                                             "GROUP BY m.node ORDER BY m.node");
    ASSERT_EQ(perNode.size(), 2);
    EXPECT_TRUE(perNode[0].startsWith(QStringLiteral("dispatch-laptop\t")));
    EXPECT_TRUE(perNode[1].startsWith(QStringLiteral("district-north\t")));
}

TEST(DatabaseAgainstSim, TheOutboxSurvivesAKilledPollerAndIsSentByTheNextRun)
{
    QST_REQUIRE_PG();
    constexpr int kSerial = 4713;
    SimProcess sim(SimArgs(kSerial, 30));
    ASSERT_TRUE(sim.started());
    TempDataRoot root;
    PgServer &server = PgServer::Shared();
    const QString url = server.CreateDatabase();
    Prepare(root.path(), kSerial, sim.path(), url, QStringLiteral("north"));
    ASSERT_TRUE(server.Stop());
    QProcess poll;
    poll.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), root.path()} + PollArgs(kSerial, 150));
    ASSERT_TRUE(poll.waitForStarted());
    ASSERT_TRUE(SpinUntil([&] { return OutboxLines(root.path()) >= 15; }, 60000));
    ::kill(pid_t(poll.processId()), SIGKILL);
    poll.waitForFinished(10000);
    const int queued = OutboxLines(root.path());
    EXPECT_GE(queued, 15);
    // A record read twice (a reread, a snapshot at a reading's time) is queued twice.
    EXPECT_GE(queued, FileLines(root.path(), DataKind::Hourly, kSerial).size() +
                          FileLines(root.path(), DataKind::History, kSerial).size() +
                          FileLines(root.path(), DataKind::Daily, kSerial).size() +
                          FileLines(root.path(), DataKind::Monthly, kSerial).size() +
                          FileLines(root.path(), DataKind::Journal, kSerial).size());

    ASSERT_TRUE(server.Start());
    int rc = 0;
    const QString status = Cli(root.path(), {QStringLiteral("db"), QStringLiteral("status")}, &rc);
    EXPECT_TRUE(status.contains(QStringLiteral("outbox: %1 records waiting").arg(queued))) << status.toStdString();
    const QString out = Cli(root.path(), {QStringLiteral("poll"), QStringLiteral("--serial"), QString::number(kSerial),
                                          QStringLiteral("--current")}, &rc);
    EXPECT_EQ(rc, 0) << out.toStdString();
    EXPECT_EQ(OutboxLines(root.path()), 0) << out.toStdString();
    PgConnection c = Connect(url);
    ExpectDatabaseEqualsFiles(c, root.path(), kSerial);
}

TEST(DatabaseCommands, HiddenPasswordsAndBadNodeNamesAreRefusedAndStatusSaysWhenASyncIsNeeded)
{
    QST_REQUIRE_PG();
    TempDataRoot root;
    int rc = 0;
    const QString url = PgServer::Shared().CreateDatabase();
    struct Case
    {
        QStringList args;
        const char *why;
    };
    const Case refused[] = {
        {{QStringLiteral("postgresql://qst@db/heat?%70assword=s3cret")}, "password"},
        {{QStringLiteral("host=db passw%6Frd=s3cret")}, "libpq"},
        {{QStringLiteral("=")}, "libpq"},
        {{url, QStringLiteral("--node"), QString(4000, u'n')}, "longer"},
        {{url, QStringLiteral("--node"), QStringLiteral("a\tb")}, "U+0009"},
    };
    for (const Case &c : refused) {
        const QString out = Cli(root.path(), QStringList{QStringLiteral("db"), QStringLiteral("set")} + c.args, &rc);
        EXPECT_NE(rc, 0) << c.args.first().left(40).toStdString();
        EXPECT_TRUE(out.contains(QLatin1String(c.why))) << out.toStdString();
        EXPECT_FALSE(out.contains(QStringLiteral("s3cret"))) << out.toStdString();
        EXPECT_FALSE(ReadAll(QDir(root.path()).filePath(QStringLiteral("Tree.ini"))).contains("s3cret"));
    }
    QString out = Cli(root.path(), {QStringLiteral("meter"), QStringLiteral("add"), QStringLiteral("--name"),
                                    QStringLiteral("Узел"), QStringLiteral("--serial"), QStringLiteral("77"),
                                    QStringLiteral("--address"), QStringLiteral("1"), QStringLiteral("--port"), QStringLiteral("1")},
                      &rc);
    ASSERT_EQ(rc, 0) << out.toStdString();
    out = Cli(root.path(), {QStringLiteral("db"), QStringLiteral("set"), url, QStringLiteral("--node"), QStringLiteral("north")}, &rc);
    ASSERT_EQ(rc, 0) << out.toStdString();

    // An outbox whose second entry is damaged, as a crash or a bad disk leaves it.
    const QString folder = Outbox::FolderPath(root.path());
    QDir().mkpath(folder);
    QByteArray bytes = "QSTOUTBOX2 1700000000000\n";
    for (int h = 0; h < 3; ++h)
        bytes += Outbox::EntryLine(1700000000000, FedRecord{FedKind::Journal, 77, QStringLiteral("%1\tПуск\t\t\t").arg(46000 + h)});
    bytes[bytes.indexOf('\n', 30) + 20] = 'x';
    WriteAll(folder + QStringLiteral("/outbox.dat"), bytes);

    out = Cli(root.path(), {QStringLiteral("db"), QStringLiteral("status")}, &rc);
    EXPECT_TRUE(out.contains(QStringLiteral("run db sync"))) << out.toStdString();
    EXPECT_FALSE(out.contains(QStringLiteral("no lag"))) << out.toStdString();
    out = Cli(root.path(), {QStringLiteral("status"), QStringLiteral("--check")}, &rc);
    EXPECT_EQ(rc, 1) << out.toStdString();
    EXPECT_TRUE(out.startsWith(QStringLiteral("WARNING - database copy: run db sync"))) << out.toStdString();
    out = Cli(root.path(), {QStringLiteral("db"), QStringLiteral("status"), QStringLiteral("--json")}, &rc);
    EXPECT_TRUE(QJsonDocument::fromJson(out.toUtf8()).object().value(QStringLiteral("syncNeeded")).toBool()) << out.toStdString();

    out = Cli(root.path(), {QStringLiteral("db"), QStringLiteral("sync")}, &rc);
    EXPECT_EQ(rc, 0) << out.toStdString();
    out = Cli(root.path(), {QStringLiteral("db"), QStringLiteral("status")}, &rc);
    EXPECT_FALSE(out.contains(QStringLiteral("run db sync"))) << out.toStdString();
    out = Cli(root.path(), {QStringLiteral("status"), QStringLiteral("--check")}, &rc);
    EXPECT_EQ(rc, 0) << out.toStdString();
}
