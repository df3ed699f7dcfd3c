// Missing records refilled and meters that stop answering flagged, against the simulator
// over a real pseudo-terminal, with the real clock shifted where the schedule must fire.
#include "SimHarness.h"

#include "../exchange/ExchangeFixture.h"

#include "common/RegionalFormat.h"
#include "common/TextFile.h"
#include "exchange/MeterHealth.h"
#include "storage/ArchiveFiles.h"
#include "storage/GapScan.h"

#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>

using namespace qst;
using namespace qst::test;

namespace {

// The system clock moved by an offset: the schedule fires without waiting for real.
class ShiftedClock final : public ExchangeClock
{
public:
    QDateTime Now() override { return QDateTime::currentDateTime().addSecs(m_offset); }
    quint32 Tick() override { return SystemExchangeClock().Tick(); }
    void Sleep(int ms) override { SystemExchangeClock().Sleep(ms); }
    void SetOffset(qint64 seconds) { m_offset = seconds; }
    qint64 offset() const { return m_offset; }

private:
    std::atomic<qint64> m_offset{0};
};

struct SimRoot
{
    TempDataRoot root;
    Registry registry{TreeIniPath(root.path())};
    RecordingLog log;
    ShiftedClock clock;
    ExchangeEngine engine{{root.path(), &registry, &log, &clock, {}}};

    void MapPort(int port, const QString &device) { registry.file().WriteString(reg::kPorts, QString::number(port), device); }
    bool RunToEmpty(int ms = 180000)
    {
        engine.SuperviseTick();
        QElapsedTimer t;
        t.start();
        const bool emptied = SpinUntil(
            [&] {
                if (t.elapsed() > 1000) {
                    engine.SuperviseTick();
                    t.restart();
                }
                return engine.queue().Size() == 0;
            },
            ms);
        engine.SuperviseTick();
        return emptied && engine.ThreadCount() == 0;
    }
    QStringList HourlyLines(quint16 serial) const
    {
        QStringList all;
        const QDate today = QDate::currentDate();
        for (QDate m = QDate(today.year(), today.month(), 1).addMonths(-1); m <= today; m = m.addMonths(1))
            all += LoadLines(DataFilePath(root.path(), DataKind::Hourly, serial, m.year(), m.month()));
        return all;
    }
};

QStringList SimArgs(int serial, QStringList more = {})
{
    return QStringList{QStringLiteral("--calc"), QStringLiteral("2"), QStringLiteral("--serial"), QString::number(serial),
                       QStringLiteral("--baud"), QStringLiteral("19200"), QStringLiteral("--latency-ms"),
                       QStringLiteral("0"), QStringLiteral("--hourly-slots"), QStringLiteral("100"),
                       QStringLiteral("--journal-slots"), QStringLiteral("10")}
        + more;
}

// Far enough from an hour boundary that the whole test sees one current hour.
void AvoidHourBoundary()
{
    const QTime t = QTime::currentTime();
    if (t.minute() >= 56)
        QThread::sleep(static_cast<unsigned long>((60 - t.minute()) * 60 - t.second() + 5));
}

QStringList LinesBetween(const QStringList &lines, double from, double to)
{
    QStringList out;
    for (const QString &l : lines) {
        const double t = LineTime(l);
        if (TimeKey(t) >= TimeKey(from) && TimeKey(t) <= TimeKey(to))
            out << l;
    }
    return out;
}

int RunCli(const QString &root, const QStringList &args, QString *out = nullptr)
{
    QProcess p;
    p.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), root} + args);
    p.waitForFinished(120000);
    if (out)
        *out = QString::fromUtf8(p.readAllStandardOutput());
    return p.exitCode();
}

} // namespace

TEST(GapRefillAgainstSim, APollThatSkippedHoursIsRefilledByTheNextSchedule)
{
    AvoidHourBoundary();
    constexpr int kSerial = 4300;
    SimRoot r;
    AddTestMeter(r.registry, kSerial, 2);
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime hour(now.date(), QTime(now.time().hour(), 0));
    const QDateTime start = hour.addSecs(-30 * 3600);
    {
        // Every fifth transaction refused: some hours of the period are not stored.
        SimProcess faulty(SimArgs(kSerial, {QStringLiteral("--exception-every"), QStringLiteral("5")}));
        ASSERT_TRUE(faulty.started());
        r.MapPort(2, faulty.path());
        r.engine.queue().EnqueueRequest(kSerial, kRequestHourly, DayCountFromDateTime(hour.addSecs(-3600)),
                                        DayCountFromDateTime(start), false);
        ASSERT_TRUE(r.RunToEmpty());
    }
    const double from = DayCountFromDateTime(start.addSecs(3600));
    const QDateTime lastH = r.registry.file().ReadDateTime(MeterSection(1), reg::kLastH, {});
    ASSERT_TRUE(lastH.isValid());
    const QList<GapRun> lost = FindGaps(r.root.path(), kSerial, GapKind::Hourly, from, DayCountFromDateTime(lastH));
    ASSERT_FALSE(lost.isEmpty()) << "the fault made no hole";

    // The next scheduled poll, two minutes on from after the faulty poll (which may take many
    // seconds on a loaded machine), with the calculator answering again.
    const QDateTime later = QDateTime::currentDateTime();
    const QDateTime next =
        QDateTime(later.date(), QTime(later.time().hour(), later.time().minute())).addSecs(120);
    r.registry.file().WriteString(MeterSection(1), reg::kSchedule,
                                  next.time().toString(QStringLiteral("HH:mm")) + u'|');
    r.engine.ScheduleTick(); // the first check only takes the time
    const qint64 shift = QDateTime::currentDateTime().secsTo(next) + 2;
    SimProcess sim(SimArgs(kSerial, {QStringLiteral("--clock-offset-s"), QString::number(shift)}));
    ASSERT_TRUE(sim.started());
    r.MapPort(2, sim.path());
    r.clock.SetOffset(shift);
    r.engine.ScheduleTick();
    QList<int> kinds;
    for (const TQueueItem &q : r.engine.queue().Items())
        kinds << q.kind;
    ASSERT_GE(kinds.size(), 6);
    QList<int> ordinary = kinds.mid(0, 5);
    std::sort(ordinary.begin(), ordinary.end());
    EXPECT_EQ(ordinary, (QList<int>{0, 1, 2, 3, 4})) << "the ordinary requests first";
    EXPECT_EQ(kinds.mid(5), QList<int>(kinds.size() - 5, kRequestHourly));
    EXPECT_EQ(kinds.size() - 5, lost.size()) << "one request per run";
    ASSERT_TRUE(r.RunToEmpty());
    EXPECT_TRUE(FindGaps(r.root.path(), kSerial, GapKind::Hourly, from, DayCountFromDateTime(lastH)).isEmpty());

    // The same period read without faults gives the same bytes.
    SimRoot u;
    AddTestMeter(u.registry, kSerial, 2);
    u.MapPort(2, sim.path());
    u.clock.SetOffset(shift);
    u.engine.queue().EnqueueRequest(kSerial, kRequestHourly, DayCountFromDateTime(hour.addSecs(-3600)),
                                    DayCountFromDateTime(start), false);
    ASSERT_TRUE(u.RunToEmpty());
    const QStringList expected = LinesBetween(u.HourlyLines(kSerial), from, DayCountFromDateTime(lastH));
    EXPECT_GE(expected.size(), 20);
    EXPECT_EQ(LinesBetween(r.HourlyLines(kSerial), from, DayCountFromDateTime(lastH)), expected);

    // The health file knows the ring and the answer; status --check is content.
    const MeterStatus status = MeterHealth(r.root.path()).Read(kSerial);
    EXPECT_GT(status.ring[0], 90);
    EXPECT_GT(status.lastAnswer, 0);
    EXPECT_EQ(status.failedPolls, 0);
}

TEST(GapRefillAgainstSim, AMeterThatStopsAnsweringBecomesOverdueAndStatusCheckSaysSo)
{
    AvoidHourBoundary();
    constexpr int kSerial = 4400;
    SimRoot r;
    AddTestMeter(r.registry, kSerial, 2);
    r.registry.file().WriteString(MeterSection(1), reg::kSchedule, QStringLiteral("08:00|"));
    // It answered 27 hours ago (the engine's and the calculator's clocks set back).
    const qint64 back = -27 * 3600;
    {
        SimProcess sim(SimArgs(kSerial, {QStringLiteral("--clock-offset-s"), QString::number(back)}));
        ASSERT_TRUE(sim.started());
        r.MapPort(2, sim.path());
        r.clock.SetOffset(back);
        r.engine.health().PollQueued(kSerial, DayCountFromDateTime(r.clock.Now()));
        r.engine.ReadHourly(kSerial, r.clock.Now().addSecs(-5 * 3600), r.clock.Now(), false);
        ASSERT_TRUE(r.RunToEmpty());
    }
    QString out;
    EXPECT_EQ(RunCli(r.root.path(), {QStringLiteral("status"), QStringLiteral("--check")}, &out), 2) << out.toStdString();
    EXPECT_TRUE(out.startsWith(QStringLiteral("CRITICAL - 1 of 1 meters overdue: 4400"))) << out.toStdString();

    // Now it does not answer: the failure is recorded with its text.
    SimProcess deaf(SimArgs(kSerial, {QStringLiteral("--address"), QStringLiteral("9")}));
    ASSERT_TRUE(deaf.started());
    r.MapPort(2, deaf.path());
    r.clock.SetOffset(0);
    r.engine.health().PollQueued(kSerial, DayCountFromDateTime(r.clock.Now()));
    r.engine.ReadCurrentValues(kSerial);
    ASSERT_TRUE(r.RunToEmpty());
    const MeterStatus s = MeterHealth(r.root.path()).Read(kSerial);
    EXPECT_EQ(s.failedPolls, 1);
    EXPECT_TRUE(s.failureText.startsWith(QStringLiteral("Не удалось прочитать серийный номер прибора"))) << s.failureText.toStdString();
    EXPECT_EQ(RunCli(r.root.path(), {QStringLiteral("status"), QStringLiteral("--check")}, &out), 2);

    // Answered again, in time: no longer overdue. Its hourly files have a hole inside
    // the ring (the 5 hours read 27 hours ago, nothing since): a warning.
    SimProcess sim(SimArgs(kSerial));
    ASSERT_TRUE(sim.started());
    r.MapPort(2, sim.path());
    r.engine.ReadCurrentValues(kSerial);
    ASSERT_TRUE(r.RunToEmpty());
    EXPECT_EQ(RunCli(r.root.path(), {QStringLiteral("status"), QStringLiteral("--check")}, &out), 1) << out.toStdString();
    EXPECT_TRUE(out.startsWith(QStringLiteral("WARNING"))) << out.toStdString();
    const QString from = QDateTime::currentDateTime().addSecs(-30 * 3600).toString(Qt::ISODate);
    EXPECT_EQ(RunCli(r.root.path(), {QStringLiteral("gaps"), QStringLiteral("--serial"), QString::number(kSerial),
                                     QStringLiteral("--kind"), QStringLiteral("hourly"), QStringLiteral("--from"), from},
                     &out),
              0);
    const QStringList runs = out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(runs.isEmpty());
    for (const QString &line : runs) {
        const QStringList f = line.split(u'\t');
        ASSERT_EQ(f.size(), 3) << line.toStdString();
        EXPECT_TRUE(ParseDateTimeText(f[0]).isValid() && ParseDateTimeText(f[1]).isValid()) << line.toStdString();
        EXPECT_GT(f[2].toInt(), 0);
    }
    EXPECT_EQ(RunCli(r.root.path(), {QStringLiteral("gaps"), QStringLiteral("--serial"), QString::number(kSerial),
                                     QStringLiteral("--kind"), QStringLiteral("weekly")}),
              2);
    // Refilled on demand: every hour the ring holds is there, the check is content.
    EXPECT_EQ(RunCli(r.root.path(), {QStringLiteral("poll"), QStringLiteral("--serial"), QString::number(kSerial),
                                     QStringLiteral("--fill-gaps")}, &out), 0) << out.toStdString();
    EXPECT_EQ(RunCli(r.root.path(), {QStringLiteral("gaps"), QStringLiteral("--serial"), QString::number(kSerial),
                                     QStringLiteral("--kind"), QStringLiteral("hourly"), QStringLiteral("--from"),
                                     from}, &out), 0);
    EXPECT_TRUE(out.isEmpty()) << out.toStdString();
    EXPECT_EQ(RunCli(r.root.path(), {QStringLiteral("status"), QStringLiteral("--check")}, &out), 0) << out.toStdString();
    EXPECT_TRUE(out.startsWith(QStringLiteral("OK - 1 meters"))) << out.toStdString();
    EXPECT_EQ(RunCli(r.root.path(), {QStringLiteral("status"), QStringLiteral("--json")}, &out), 0);
    EXPECT_TRUE(out.contains(QStringLiteral("\"serial\": 4400"))) << out.toStdString();
}
