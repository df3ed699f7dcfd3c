// SIGKILL at random moments (fixed seeds): what is left must parse, agree and not block the
// next writer, and finishing the job gives the bytes of a run that was never killed.
#include "FaultHarness.h"
#include "SimHarness.h"

#include "common/DataRoot.h"

#include <QDate>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QThread>
#include <QTime>

#include <gtest/gtest.h>

#include <random>

using namespace qst;
using namespace qst::test;

namespace {

void ExpectSound(const QString &root)
{
    const QStringList damaged = DamagedDataFiles(root);
    EXPECT_TRUE(damaged.isEmpty()) << damaged.join(u'\n').toStdString();
    const QStringList tree = TreeProblems(root);
    EXPECT_TRUE(tree.isEmpty()) << tree.join(u'\n').toStdString();
}

QStringList MeterArgs(int serial)
{
    return {"meter", "add", "--name", QStringLiteral("Котельная %1").arg(serial), "--serial", QString::number(serial),
            "--address", "1", "--port", "3"};
}

// Only the files a job writes the same way twice: archives and journal (current values
// carry the moment of reading).
QMap<QString, QByteArray> ArchiveFiles(const QString &root)
{
    QMap<QString, QByteArray> files = Snapshot(root);
    for (auto it = files.begin(); it != files.end();) {
        const bool archive = it.key().startsWith(QStringLiteral("DATA/HA")) ||
                             it.key().startsWith(QStringLiteral("DATA/DA")) ||
                             it.key().startsWith(QStringLiteral("DATA/J"));
        it = archive ? std::next(it) : files.erase(it);
    }
    return files;
}

} // namespace

TEST(Kill, MeterAddLeavesTheRegistryWholeAndUnlocked)
{
    std::mt19937 random(12);
    QTemporaryDir dir;
    const QString root = dir.path();
    QElapsedTimer timer;
    timer.start();
    ASSERT_EQ(RunCli(root, MeterArgs(1)).exitCode, 0);
    const int duration = int(timer.elapsed());
    int killed = 0;
    for (int run = 0; run < 16; ++run) {
        SCOPED_TRACE(run);
        killed += RunCliKilled(root, MeterArgs(100 + run), int(random() % (duration + 1))) ? 1 : 0;
        ExpectSound(root);
        const CliRun next = RunCli(root, MeterArgs(500 + run));
        EXPECT_EQ(next.exitCode, 0) << next.err.toStdString();
    }
    ExpectSound(root);
    EXPECT_EQ(LeftoverTemporaries(root), QStringList());
    std::printf("[ fault    ] meter add: 16 runs, %d killed mid-way\n", killed);
}

TEST(Kill, ImportFinishedAfterAKillEqualsAnImportNeverKilled)
{
    QTemporaryDir dir;
    const QString dump = dir.filePath(QStringLiteral("d.arch"));
    ASSERT_TRUE(MakeDump(dump, 5100, 40, 120));
    const QString reference = dir.filePath(QStringLiteral("reference"));
    QElapsedTimer timer;
    timer.start();
    const CliRun whole = RunCli(reference, {"import", "--yes", dump});
    const int duration = int(timer.elapsed());
    ASSERT_EQ(whole.exitCode, 0) << whole.err.toStdString();
    const QMap<QString, QByteArray> expected = Snapshot(reference);

    std::mt19937 random(34);
    int killed = 0;
    for (int run = 0; run < 10; ++run) {
        SCOPED_TRACE(run);
        const QString root = dir.filePath(QStringLiteral("run%1").arg(run));
        killed += RunCliKilled(root, {"import", "--yes", dump}, int(random() % (duration + 1))) ? 1 : 0;
        ExpectSound(root);
        const CliRun again = RunCli(root, {"import", "--yes", dump});
        ASSERT_EQ(again.exitCode, 0) << again.err.toStdString();
        EXPECT_EQ(LeftoverTemporaries(root), QStringList());
        const QMap<QString, QByteArray> got = Snapshot(root);
        EXPECT_EQ(got.keys(), expected.keys());
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            EXPECT_TRUE(got.value(it.key()) == it.value()) << it.key().toStdString();
    }
    std::printf("[ fault    ] import: 10 runs, %d killed mid-way (whole import %d ms)\n", killed, duration);
}

TEST(Kill, PollFinishedAfterAKillEqualsAPollNeverKilled)
{
    // Away from an hour boundary, so every run reads the same hours.
    const QTime t = QTime::currentTime();
    if (t.minute() == 59 && t.second() > 20)
        QThread::sleep(static_cast<unsigned long>(62 - t.second()));
    SimProcess sim({"--calc", "2", "--serial", "5200", "--baud", "19200", "--latency-ms", "0", "--journal-slots", "30",
                    "--seed", "3"});
    ASSERT_TRUE(sim.started());
    QTemporaryDir dir;
    const QStringList poll = {"poll", "--serial", "5200", "--current", "--hourly",
                              QDateTime::currentDateTime().addSecs(-3 * 3600).toString(Qt::ISODate),
                              QDateTime::currentDateTime().toString(Qt::ISODate), "--journal", "8", "--timeout", "120"};
    const auto prepare = [&](const QString &root) {
        ASSERT_EQ(RunCli(root, {"meter", "add", "--name", "x", "--serial", "5200", "--address", "1", "--port", "4"})
                      .exitCode,
                  0);
        ASSERT_EQ(RunCli(root, {"port", "set", "4", sim.path()}).exitCode, 0);
    };
    const QString reference = dir.filePath(QStringLiteral("reference"));
    prepare(reference);
    QElapsedTimer timer;
    timer.start();
    const CliRun whole = RunCli(reference, poll, 180000);
    const int duration = int(timer.elapsed());
    ASSERT_EQ(whole.exitCode, 0) << whole.out.toStdString();
    const QMap<QString, QByteArray> expected = ArchiveFiles(reference);
    ASSERT_FALSE(expected.isEmpty());

    std::mt19937 random(56);
    int killed = 0;
    for (int run = 0; run < 4; ++run) {
        SCOPED_TRACE(run);
        const QString root = dir.filePath(QStringLiteral("run%1").arg(run));
        prepare(root);
        killed += RunCliKilled(root, poll, int(random() % (duration + 1))) ? 1 : 0;
        ExpectSound(root);
        // The calculator still answers the killed reader: those bytes are on the line for a
        // moment, and a reader opening now would take them for its own answer and fail.
        QThread::msleep(500);
        const CliRun again = RunCli(root, poll, 180000);
        ASSERT_EQ(again.exitCode, 0) << again.out.toStdString() << again.err.toStdString();
        EXPECT_EQ(LeftoverTemporaries(root), QStringList());
        const QMap<QString, QByteArray> got = ArchiveFiles(root);
        EXPECT_EQ(got.keys(), expected.keys());
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            EXPECT_TRUE(got.value(it.key()) == it.value()) << it.key().toStdString();
    }
    std::printf("[ fault    ] poll: 4 runs, %d killed mid-way (whole poll %d ms)\n", killed, duration);
}
