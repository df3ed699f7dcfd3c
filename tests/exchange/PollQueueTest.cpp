#include "ExchangeFixture.h"

#include "exchange/PollQueue.h"

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

struct QueueFixture
{
    TempDataRoot root;
    Registry registry{TreeIniPath(root.path())};
    PollQueue queue{registry};

    QList<std::pair<double, double>> Periods() const
    {
        QList<std::pair<double, double>> p;
        for (const TQueueItem &q : queue.Items())
            p.append({q.start, q.end});
        return p;
    }
};

double H(int hour)
{
    return Day(2026, 12, 1, hour);
}

} // namespace

TEST(PollQueue, TrimsNewPeriodsAgainstQueuedOnes)
{
    const struct {
        const char *name;
        double start, end;
        QList<std::pair<double, double>> added;
    } cases[] = {
        {"overlapping the start", H(10), H(14), {{H(10), H(12)}}},
        {"covering it", H(8), H(20), {{H(8), H(12)}, {H(16), H(20)}}},
        {"overlapping the end", H(14), H(18), {{H(16), H(18)}}},
        {"equal", H(12), H(16), {}},
        {"wholly inside without touching", H(13), H(15), {{H(13), H(15)}}},
        {"disjoint", H(17), H(19), {{H(17), H(19)}}},
    };
    for (const auto &c : cases) {
        QueueFixture f;
        AddTestMeter(f.registry, 500, 1);
        f.queue.EnqueueRequest(500, kRequestHourly, H(16), H(12), false);
        f.queue.EnqueueRequest(500, kRequestHourly, c.end, c.start, false);
        // Placement puts each new request next to the queued one of its connection, so
        // compare the periods whatever their order.
        QList<std::pair<double, double>> expected{{H(12), H(16)}};
        expected += c.added;
        QList<std::pair<double, double>> periods = f.Periods();
        std::sort(expected.begin(), expected.end());
        std::sort(periods.begin(), periods.end());
        EXPECT_EQ(periods, expected) << c.name;
    }
}

TEST(PollQueue, WhatIsNeverMergedOrQueued)
{
    QueueFixture f;
    AddTestMeter(f.registry, 500, 1);
    f.queue.EnqueueRequest(500, kRequestHourly, H(16), H(12), false);
    f.queue.EnqueueRequest(500, kRequestHourly, H(16), H(12), true);
    EXPECT_EQ(f.queue.Size(), 2) << "the other reread flag is another request";
    f.queue.EnqueueRequest(500, kRequestDaily, H(16), H(12), false);
    EXPECT_EQ(f.queue.Size(), 3) << "another kind too";
    f.queue.EnqueueRequest(500, kRequestCurrent, 0, 0, false);
    f.queue.EnqueueRequest(500, kRequestCurrent, 0, 0, false);
    EXPECT_EQ(f.queue.Size(), 5) << "current values are never merged";
    f.queue.EnqueueRequest(500, kRequestHourly, H(12), H(12), false);
    f.queue.EnqueueRequest(500, kRequestJournal, 0, 0, true);
    f.queue.EnqueueRequest(777, kRequestCurrent, 0, 0, false);
    EXPECT_EQ(f.queue.Size(), 5) << "empty period, journal count 0, unknown meter";
}

TEST(PollQueue, IdsWrapAfterAThousandAndOne)
{
    QueueFixture f;
    AddTestMeter(f.registry, 500, 1);
    auto ids = [&] {
        QList<quint32> all;
        for (const TQueueItem &q : f.queue.Items())
            all.append(q.id);
        std::sort(all.begin(), all.end());
        return all;
    };
    for (int i = 0; i < 1001; ++i)
        f.queue.EnqueueRequest(500, kRequestCurrent, 0, 0, false);
    EXPECT_EQ(ids().back(), 1001u);
    EXPECT_EQ(ids().front(), 1u);
    f.queue.RemoveRequest(1);
    f.queue.EnqueueRequest(500, kRequestCurrent, 0, 0, false);
    EXPECT_EQ(ids().front(), 1u) << "an id above 1000 in the queue counts as 0";
    EXPECT_EQ(ids().size(), 1001);
    f.queue.Clear();
    f.queue.EnqueueRequest(500, kRequestCurrent, 0, 0, false);
    EXPECT_EQ(f.queue.Items().front().id, 1u);
}

TEST(PollQueue, PlacedNextToItsConnection)
{
    QueueFixture f;
    AddTestMeter(f.registry, 1, 1);                                // direct
    AddTestMeter(f.registry, 2, 2, true, QStringLiteral("111"));   // modem 111
    AddTestMeter(f.registry, 3, 2, true, QStringLiteral("111"));   // modem 111
    AddTestMeter(f.registry, 4, 1);                                // direct
    AddTestMeter(f.registry, 5, 2, true, QStringLiteral("111"));   // modem 111
    f.queue.EnqueueRequest(1, kRequestCurrent, 0, 0, false); // A
    f.queue.EnqueueRequest(2, kRequestCurrent, 0, 0, false); // B
    f.queue.EnqueueRequest(3, kRequestCurrent, 0, 0, false); // C
    f.queue.EnqueueRequest(4, kRequestCurrent, 0, 0, false); // direct: between A and B
    f.queue.EnqueueRequest(5, kRequestCurrent, 0, 0, false); // modem 111: between B and C
    QList<int> serials;
    for (const TQueueItem &q : f.queue.Items())
        serials.append(q.serial);
    EXPECT_EQ(serials, (QList<int>{1, 4, 2, 5, 3}));

    QueueFixture g;
    AddTestMeter(g.registry, 2, 2, true, QStringLiteral("111"));
    AddTestMeter(g.registry, 1, 1);
    AddTestMeter(g.registry, 4, 1);
    g.queue.EnqueueRequest(2, kRequestCurrent, 0, 0, false);
    g.queue.EnqueueRequest(1, kRequestCurrent, 0, 0, false);
    g.queue.EnqueueRequest(4, kRequestCurrent, 0, 0, false);
    serials.clear();
    for (const TQueueItem &q : g.queue.Items())
        serials.append(q.serial);
    EXPECT_EQ(serials, (QList<int>{2, 1, 4})) << "the last request is not looked at";
}

TEST(PollQueue, VersionRemovalAndPageLines)
{
    QueueFixture f;
    AddTestMeter(f.registry, 40000, 3, true, QStringLiteral("8 999"));
    AddTestMeter(f.registry, 7, 3);
    f.queue.EnqueueRequest(40000, kRequestCurrent, 0, 0, false);
    f.queue.EnqueueRequest(7, kRequestCurrent, 0, 0, false);
    f.queue.EnqueueRequest(40000, kRequestHourly, H(16), H(12), true);
    const quint32 firstId = f.queue.Items().front().id;
    f.queue.SetMeterVersion(firstId, 2);
    for (const TQueueItem &q : f.queue.Items())
        EXPECT_EQ(q.version, q.serial == 40000 ? 2 : 0);
    EXPECT_EQ(f.queue.Lines().first(),
              QStringLiteral("1 С/Н40000 Порт3 Mодем1 Номер8 999 Тип0 Перезапись0 Начало 30.12.1899 Конец 30.12.1899"));
    EXPECT_TRUE(f.queue.Lines().contains(QStringLiteral("3 С/Н40000 Порт3 Mодем1 Номер8 999 Тип1 Перезапись1 "
                                                        "Начало 01.12.2026 12:00:00 Конец 01.12.2026 16:00:00")))
        << f.queue.Lines().join(u'\n').toStdString();
    f.queue.RemoveConnectionRequests(QStringLiteral("8 999"));
    EXPECT_EQ(f.queue.Size(), 1);
    f.queue.RemoveRequest(999);
    EXPECT_EQ(f.queue.Size(), 1);
    f.queue.RemoveMeterRequests(7);
    EXPECT_EQ(f.queue.Size(), 0);
}
