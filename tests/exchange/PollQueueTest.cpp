#include "ExchangeFixture.h"

#include "exchange/PollQueue.h"

#include <QSet>

#include <gtest/gtest.h>

#include <random>

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
              QStringLiteral("1 С/Н40000 Порт3 Mодем1 Номер8 999 Тип0 Перезапись0 Начало — Конец —"));
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

namespace {

// The classic trimming written plainly, on real periods only (an inverted period goes in
// unchanged, and queued inverted ones take no part); a journal request equal in count and
// reread flag to a queued one adds nothing. One meter, so every new request is placed
// before the last one once two are queued. Enqueue returns false where the classic rule
// never ends: with overlapping queued periods it can widen a part and trim it back again.
struct ReferenceQueue
{
    struct Item
    {
        int kind;
        int reread;
        double start, end;
    };
    QList<Item> items;

    bool Enqueue(int kind, double end, double start, int reread, int depth = 0)
    {
        if (depth > 200)
            return false;
        if (kind > 0 && start == end)
            return true;
        if (kind == kRequestJournal) {
            for (const Item &q : items)
                if (q.kind == kind && q.reread == reread && q.end == end)
                    return true;
        } else if (kind != kRequestCurrent && start < end) {
            const QList<Item> queued = items;
            for (const Item &q : queued) {
                if (q.kind != kind || q.reread != reread || !(q.start < q.end))
                    continue;
                if (start > q.start && start < q.end) {
                    if (end <= q.end)
                        continue;
                    return Enqueue(kind, end, q.end, reread, depth + 1);
                }
                if (end > q.start && end < q.end) {
                    if (start >= q.start)
                        continue;
                    return Enqueue(kind, q.end, start, reread, depth + 1);
                }
                if (start <= q.start && end >= q.end)
                    return Enqueue(kind, q.start, start, reread, depth + 1)
                        && Enqueue(kind, end, q.end, reread, depth + 1);
            }
        }
        const Item item{kind, reread, start, end};
        if (items.size() >= 2)
            items.insert(items.size() - 1, item);
        else
            items.append(item);
        return true;
    }
};

struct Period
{
    int kind;
    int reread;
    double start, end;
    bool operator==(const Period &) const = default;
};

QList<Period> PeriodsOf(const QList<TQueueItem> &items)
{
    QList<Period> out;
    for (const TQueueItem &q : items)
        out.append({q.kind, q.reread, q.start, q.end});
    return out;
}

QList<Period> PeriodsOf(const QList<ReferenceQueue::Item> &items)
{
    QList<Period> out;
    for (const ReferenceQueue::Item &q : items)
        out.append({q.kind, q.reread, q.start, q.end});
    return out;
}

// Whether the point lies in a queued real period of that kind and flag.
bool CoveredAt(const QList<Period> &periods, int kind, int reread, double t)
{
    return std::any_of(periods.begin(), periods.end(), [&](const Period &p) {
        return p.kind == kind && p.reread == reread && p.start < p.end && p.start <= t && t <= p.end;
    });
}

// Points between every two bounds of the periods given: where coverage can change.
QList<double> Probes(const QList<Period> &a, const QList<Period> &b)
{
    QList<double> cuts;
    for (const QList<Period> *list : {&a, &b})
        for (const Period &p : *list)
            cuts << p.start << p.end;
    std::sort(cuts.begin(), cuts.end());
    QList<double> probes;
    for (qsizetype i = 0; i + 1 < cuts.size(); ++i)
        if (cuts[i] < cuts[i + 1])
            probes << (cuts[i] + cuts[i + 1]) / 2;
    return probes;
}

} // namespace

TEST(PollQueue, TrimmingEndsAndKeepsEveryPeriodOverRandomQueues)
{
    // Inverted requests are what the schedule makes when a mark is ahead of the clock, and
    // every scheduled journal request runs from LastJ back to 0.
    QueueFixture f;
    AddTestMeter(f.registry, 500, 1);
    std::mt19937 random(20261210);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    int classicEndless = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        f.queue.Clear();
        ReferenceQueue reference;
        bool referenceEnds = true;
        const int requests = 1 + pick(8);
        for (int r = 0; r < requests; ++r) {
            const QList<Period> before = PeriodsOf(f.queue.Items());
            const int kind = 1 + pick(4);
            const int reread = pick(4) == 0 ? 1 : 0;
            double start = H(pick(12));
            double end = H(pick(12));
            if (kind == kRequestJournal) {
                // Scheduled (LastJ, 0) or a count from the journal page (0, n).
                if (pick(2) == 0)
                    end = 0;
                else
                    start = 0, end = pick(3) * 5;
            }
            f.queue.EnqueueRequest(500, kind, end, start, reread != 0);
            const QList<Period> after = PeriodsOf(f.queue.Items());
            const std::string where = "trial " + std::to_string(trial) + " request " + std::to_string(r);

            // Whatever was queued stays, in its order.
            QList<Period> kept = after;
            for (qsizetype i = 0, j = 0; i < before.size(); ++i) {
                while (j < kept.size() && !(kept[j] == before[i]))
                    kept.removeAt(j);
                ASSERT_LT(j, kept.size()) << where;
                ++j;
            }
            if (kind == kRequestJournal || !(start < end)) {
                // No period: the request is added as it is, or not at all when equal.
                const bool equalQueued = kind == kRequestJournal
                    && std::any_of(before.begin(), before.end(), [&](const Period &p) {
                           return p.kind == kind && p.reread == reread && p.end == end;
                       });
                ASSERT_EQ(after.size(), before.size() + (equalQueued || start == end ? 0 : 1)) << where;
                if (after.size() > before.size()) {
                    ASSERT_TRUE(after.contains(Period{kind, reread, start, end})) << where;
                }
            } else {
                // The new period is covered, and only parts of it were added.
                for (double t : Probes(before, {{kind, reread, start, end}})) {
                    if (t > start && t < end) {
                        ASSERT_TRUE(CoveredAt(after, kind, reread, t)) << where << " at " << t;
                    }
                }
                for (const Period &p : after) {
                    if (!before.contains(p)) {
                        ASSERT_TRUE(p.kind == kind && p.reread == reread && start <= p.start && p.end <= end
                                    && p.start < p.end)
                            << where;
                    }
                }
            }

            // The classic rule, where it ends, keeps no more of any period than this does.
            if (referenceEnds)
                referenceEnds = reference.Enqueue(kind, end, start, reread);
            if (referenceEnds) {
                const QList<Period> classic = PeriodsOf(reference.items);
                for (int k = kRequestHourly; k <= kRequestMonthly; ++k)
                    for (int rr = 0; rr <= 1; ++rr)
                        for (double t : Probes(classic, after))
                            ASSERT_EQ(CoveredAt(classic, k, rr, t), CoveredAt(after, k, rr, t)) << where;
            }
        }
        classicEndless += referenceEnds ? 0 : 1;
    }
    EXPECT_GT(classicEndless, 0) << "the random queues reach the overlaps where the classic rule never ends";
}

TEST(PollQueue, InvertedAndJournalRequestsOfOneMeter)
{
    const struct {
        const char *name;
        int kind;
        double start1, end1, start2, end2;
        int expected;
    } cases[] = {
        {"two scheduled journal requests", kRequestJournal, H(9), 0, H(8), 0, 1},
        {"scheduled then a count", kRequestJournal, H(9), 0, 0, 10, 2},
        {"the same count twice", kRequestJournal, 0, 10, 0, 10, 1},
        {"hourly mark ahead of the clock twice", kRequestHourly, H(15), H(10), H(15), H(11), 2},
        {"inverted queued, real new over it", kRequestHourly, H(15), H(10), H(8), H(20), 2},
        {"real queued, inverted new", kRequestDaily, H(8), H(20), H(15), H(10), 2},
    };
    for (const auto &c : cases) {
        QueueFixture f;
        AddTestMeter(f.registry, 500, 1);
        f.queue.EnqueueRequest(500, c.kind, c.end1, c.start1, false);
        f.queue.EnqueueRequest(500, c.kind, c.end2, c.start2, false);
        EXPECT_EQ(f.queue.Size(), c.expected) << c.name;
    }
}

TEST(PollQueue, IdsAreUniqueAmongQueuedRequests)
{
    QueueFixture f;
    AddTestMeter(f.registry, 500, 1);
    AddTestMeter(f.registry, 600, 1);
    // Meter 500's request stays queued (id 1) while meter 600's ids run past 1000.
    f.queue.EnqueueRequest(500, kRequestCurrent, 0, 0, false);
    for (int i = 0; i < 1000; ++i)
        f.queue.EnqueueRequest(600, kRequestCurrent, 0, 0, false);
    for (const TQueueItem &q : f.queue.Items())
        if (q.serial == 600 && q.id != 1001)
            f.queue.RemoveRequest(q.id);
    ASSERT_EQ(f.queue.Size(), 2);
    f.queue.EnqueueRequest(600, kRequestCurrent, 0, 0, false);
    const TQueueItem added = f.queue.Items().last().id == 1001 ? f.queue.Items()[1] : f.queue.Items().last();
    EXPECT_EQ(added.serial, 600);
    EXPECT_EQ(added.id, 2u) << "1 is still queued";
    f.queue.SetMeterVersion(added.id, 2);
    for (const TQueueItem &q : f.queue.Items())
        EXPECT_EQ(q.version, q.serial == 600 ? 2 : 0) << "another meter's request kept its version";
    f.queue.RemoveRequest(added.id);
    EXPECT_TRUE(f.queue.Contains(1)) << "meter 500's request is still there";

    // Random queues around a thousand requests: ids never repeat, and the id the numbering
    // gives is taken whenever it is free.
    std::mt19937 random(7);
    f.queue.Clear();
    for (int step = 0; step < 8000; ++step) {
        const QList<TQueueItem> before = f.queue.Items();
        if (!before.isEmpty() && (before.size() > 1010 || random() % 3 == 0)) {
            f.queue.RemoveRequest(before[random() % before.size()].id);
            continue;
        }
        QSet<quint32> beforeIds;
        quint32 largest = 0;
        for (const TQueueItem &q : before) {
            beforeIds.insert(q.id);
            largest = std::max(largest, q.id);
        }
        const quint32 numbered = largest > 1000 ? 1 : largest + 1;
        f.queue.EnqueueRequest(500, kRequestCurrent, 0, 0, false);
        QSet<quint32> ids;
        quint32 added = 0;
        for (const TQueueItem &q : f.queue.Items()) {
            ASSERT_FALSE(ids.contains(q.id)) << "step " << step;
            ids.insert(q.id);
            if (!beforeIds.contains(q.id))
                added = q.id;
        }
        if (!beforeIds.contains(numbered)) {
            ASSERT_EQ(added, numbered) << "step " << step;
        }
    }
}

TEST(PollQueue, AFailedCallDropsOnlyModemRequestsOfItsNumber)
{
    QueueFixture f;
    AddTestMeter(f.registry, 1, 1);                              // direct, no number
    AddTestMeter(f.registry, 2, 1, true, QString());             // modem, number left empty
    AddTestMeter(f.registry, 3, 1, true, QStringLiteral("111")); // modem 111
    for (int serial : {1, 2, 3})
        f.queue.EnqueueRequest(serial, kRequestCurrent, 0, 0, false);
    f.queue.RemoveConnectionRequests(QString());
    QList<int> serials;
    for (const TQueueItem &q : f.queue.Items())
        serials.append(q.serial);
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (QList<int>{1, 3}));
}
