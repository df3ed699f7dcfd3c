#include "ExchangeFixture.h"

#include "common/RegionalFormat.h"

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

struct EngineFixture
{
    TempDataRoot root;
    Registry registry{TreeIniPath(root.path())};
    RecordingLog log;
    VirtualClock clock;
    ExchangeEngine engine{{root.path(), &registry, &log, &clock,
                           [this](int) { return std::make_unique<FakeSerialPort>(clock.link()); }}};
};

QList<int> Kinds(const PollQueue &queue)
{
    QList<int> kinds;
    for (const TQueueItem &q : queue.Items())
        kinds.append(q.kind);
    std::sort(kinds.begin(), kinds.end());
    return kinds;
}

TQueueItem OfKind(const PollQueue &queue, int kind)
{
    for (const TQueueItem &q : queue.Items())
        if (q.kind == kind)
            return q;
    return {};
}

} // namespace

TEST(Schedule, FiresWhenTheClockPassesAnItem)
{
    EngineFixture f;
    const int meter = AddTestMeter(f.registry, 500, 1);
    f.registry.file().WriteString(MeterSection(meter), reg::kSchedule, QStringLiteral("08:30|00:00|"));
    const QDate day(2026, 12, 10);

    f.clock.SetNow(QDateTime(day, QTime(8, 29, 58)));
    f.engine.ScheduleTick();
    EXPECT_EQ(f.engine.queue().Size(), 0) << "the first tick fires nothing";
    f.clock.SetNow(QDateTime(day, QTime(8, 30, 3)));
    f.engine.ScheduleTick();
    EXPECT_EQ(Kinds(f.engine.queue()), (QList<int>{0, 1, 2, 3, 4})) << "08:30 passed";
    f.engine.queue().Clear();
    f.clock.SetNow(QDateTime(day, QTime(8, 30, 8)));
    f.engine.ScheduleTick();
    EXPECT_EQ(f.engine.queue().Size(), 0) << "fires once";

    f.clock.SetNow(QDateTime(day, QTime(23, 59, 58)));
    f.engine.ScheduleTick();
    EXPECT_EQ(f.engine.queue().Size(), 0);
    f.clock.SetNow(QDateTime(day.addDays(1), QTime(0, 0, 3)));
    f.engine.ScheduleTick();
    EXPECT_EQ(f.engine.queue().Size(), 5) << "00:00 when midnight passed";

    // The periods run from the last-read marks (defaults: an hour, a day, 31 days back).
    const PollQueue &q = f.engine.queue();
    const double now = DayCountFromDateTime(QDateTime(day.addDays(1), QTime(0, 0, 3)));
    EXPECT_NEAR(OfKind(q, kRequestHourly).end - OfKind(q, kRequestHourly).start, 1.0 / 24, 1e-9);
    EXPECT_NEAR(OfKind(q, kRequestDaily).start, now - 1, 1e-9);
    EXPECT_NEAR(OfKind(q, kRequestMonthly).start, now - 31, 1e-9);
    EXPECT_EQ(OfKind(q, kRequestJournal).end, 0);
}

TEST(Schedule, UsesTheLastReadMarksAndSkipsSerialZero)
{
    EngineFixture f;
    const int meter = AddTestMeter(f.registry, 500, 1);
    const int zero = AddTestMeter(f.registry, 0, 1);
    for (int m : {meter, zero})
        f.registry.file().WriteString(MeterSection(m), reg::kSchedule, QStringLiteral("10:00|"));
    f.registry.file().WriteString(MeterSection(meter), reg::kLastH, QStringLiteral("10.12.2026 7:00:00"));
    f.clock.SetNow(QDateTime(QDate(2026, 12, 10), QTime(9, 59, 59)));
    f.engine.ScheduleTick();
    f.clock.SetNow(QDateTime(QDate(2026, 12, 10), QTime(10, 0, 4)));
    f.engine.ScheduleTick();
    ASSERT_EQ(f.engine.queue().Size(), 5);
    EXPECT_EQ(DateTimeText(OfKind(f.engine.queue(), kRequestHourly).start), QStringLiteral("10.12.2026 7:00:00"));
}

TEST(Supervisor, OneThreadPerPortWithRequests)
{
    EngineFixture f;
    AddTestMeter(f.registry, 500, 4);
    AddTestMeter(f.registry, 600, 9);
    f.engine.ReadCurrentValues(500);
    EXPECT_FALSE(f.engine.HasThreadFor(4));
    f.engine.SuperviseTick();
    EXPECT_TRUE(f.engine.HasThreadFor(4));
    EXPECT_EQ(f.engine.ThreadCount(), 1);
    f.engine.ReadCurrentValues(600);
    f.engine.SuperviseTick();
    EXPECT_EQ(f.engine.ThreadCount(), 2);

    // Nobody answers on the fake lines: both requests end with a failure line.
    ASSERT_TRUE(SpinUntil([&] { return f.engine.queue().Size() == 0; }));
    f.engine.SuperviseTick();
    EXPECT_EQ(f.engine.ThreadCount(), 0) << "threads of ports without requests go";
    const QStringList lines = f.log.lines();
    EXPECT_TRUE(lines.contains(QStringLiteral("4 Порт открыт")));
    EXPECT_TRUE(lines.contains(QStringLiteral("4 Не удалось прочитать серийный номер прибора. Код ошибки: -1")));
    EXPECT_TRUE(lines.contains(QStringLiteral("9 Порт закрыт")));
}

TEST(Supervisor, ShutdownWhileAThreadRetriesItsPort)
{
    TempDataRoot root;
    Registry registry(TreeIniPath(root.path()));
    RecordingLog log;
    VirtualClock clock;
    AddTestMeter(registry, 500, 4);
    {
        ExchangeEngine engine({root.path(), &registry, &log, &clock, [&](int) {
                                   auto port = std::make_unique<FakeSerialPort>(clock.link());
                                   port->FailOpen(-2, QStringLiteral("no device"));
                                   return port;
                               }});
        engine.ReadCurrentValues(500);
        engine.SuperviseTick();
        ASSERT_TRUE(SpinUntil([&] { return !log.lines().isEmpty(); }));
        EXPECT_EQ(log.lines().first(), QStringLiteral("4 Невозможно открыть порт. Ошибка -2 no device"));
        engine.Shutdown();
        EXPECT_EQ(engine.ThreadCount(), 0);
        EXPECT_EQ(engine.queue().Size(), 0);
    }
}

TEST(Schedule, AMarkFarInTheFutureReadsAsMissing)
{
    // A mark more than a day past the clock came from a damaged record; kept, it would make
    // every scheduled period empty. A mark a few hours ahead (a calculator clock running
    // fast) is kept and gives an inverted period, which reads nothing and ends.
    EngineFixture f;
    const int far = AddTestMeter(f.registry, 500, 1);
    const int near = AddTestMeter(f.registry, 600, 1);
    for (int m : {far, near})
        f.registry.file().WriteString(MeterSection(m), reg::kSchedule, QStringLiteral("10:00|"));
    f.registry.file().WriteString(MeterSection(far), reg::kLastH, QStringLiteral("10.12.2220 5:00:00"));
    f.registry.file().WriteString(MeterSection(far), reg::kLastD, QStringLiteral("10.12.2220"));
    f.registry.file().WriteString(MeterSection(near), reg::kLastH, QStringLiteral("10.12.2026 13:00:00"));
    f.clock.SetNow(QDateTime(QDate(2026, 12, 10), QTime(9, 59, 59)));
    f.engine.ScheduleTick();
    f.clock.SetNow(QDateTime(QDate(2026, 12, 10), QTime(10, 0, 4)));
    f.engine.ScheduleTick();
    QStringList starts;
    for (const TQueueItem &q : f.engine.queue().Items())
        if (q.kind == kRequestHourly || q.kind == kRequestDaily)
            starts << QStringLiteral("%1 %2 %3").arg(q.serial).arg(q.kind).arg(DateTimeText(q.start));
    starts.sort();
    EXPECT_EQ(starts, (QStringList{QStringLiteral("500 1 10.12.2026 9:00:04"), QStringLiteral("500 2 09.12.2026 10:00:04"),
                                   QStringLiteral("600 1 10.12.2026 13:00:00"), QStringLiteral("600 2 09.12.2026 10:00:04")}))
        << starts.join(u'\n').toStdString();
}
