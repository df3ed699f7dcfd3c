#include "ExchangeFixture.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/RegionalFormat.h"
#include "common/TextFile.h"
#include "exchange/ArchiveWalk.h"
#include "exchange/MeterHealth.h"
#include "exchange/MeterSummary.h"
#include "storage/ArchiveFiles.h"
#include "storage/GapScan.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

double At(int y, int mo, int d, int h = 0, int mi = 0)
{
    return DayCountFromParts(QDate(y, mo, d), QTime(h, mi));
}

void StoreHours(const QString &root, quint16 serial, qint64 firstSlot, qint64 lastSlot, const QList<qint64> &skip)
{
    QHash<QString, QStringList> files;
    for (qint64 s = firstSlot; s <= lastSlot; ++s) {
        if (skip.contains(s))
            continue;
        const double t = GapSlotTime(GapKind::Hourly, s);
        const QDate d = DateFromDayCount(t);
        files[DataFilePath(root, DataKind::Hourly, serial, d.year(), d.month())].append(
            LineBuilder().Time(t).Real(1).line() + QStringLiteral("0\t").repeated(kArchiveFieldsV1 - 2));
    }
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QDir().mkpath(QFileInfo(it.key()).path());
        SaveLines(it.key(), it.value());
    }
}

struct HealthFixture
{
    TempDataRoot root;
    Registry registry{TreeIniPath(root.path())};
    RecordingLog log;
    VirtualClock clock{QDateTime(QDate(2026, 12, 10), QTime(14, 37))};
    ExchangeEngine engine{{root.path(), &registry, &log, &clock, {}}};
};

} // namespace

TEST(OverdueRule, ThresholdFromScheduleAndSetting)
{
    struct Case
    {
        const char *schedule;
        int setting;
        double hours;
    } cases[] = {
        {"", 0, 0},                 // no schedule: never overdue
        {"08:00|", 0, 26},          // one time a day
        {"08:00|08:00|", 0, 26},    // duplicates are one time
        {"08:00|20:00|", 0, 24},    // two periods of 12 h
        {"06:00|08:00|", 0, 44},    // the longest span is 22 h (08:00 to 06:00)
        {"00:00|06:00|12:00|18:00|", 0, 12},
        {"08:00|", 5, 5},           // the data root's setting wins
        {"garbage", 0, 0},
    };
    for (const Case &c : cases)
        EXPECT_DOUBLE_EQ(OverdueThresholdHours(QString::fromLatin1(c.schedule), c.setting), c.hours) << c.schedule;

    MeterStatus s;
    const double now = At(2026, 12, 10, 12);
    EXPECT_FALSE(IsOverdue(s, QStringLiteral("08:00|"), 0, now)) << "the schedule has not fired";
    s.lastPoll = now - 0.5;
    s.watchedSince = now - 2;
    EXPECT_TRUE(IsOverdue(s, QStringLiteral("08:00|"), 0, now)) << "never answered for 48 h";
    s.lastAnswer = now - 26.0 / 24;
    EXPECT_FALSE(IsOverdue(s, QStringLiteral("08:00|"), 0, now)) << "exactly the threshold is not over it";
    s.lastAnswer = now - 26.0 / 24 - 1.0 / 1440;
    EXPECT_TRUE(IsOverdue(s, QStringLiteral("08:00|"), 0, now));
    EXPECT_FALSE(IsOverdue(s, QString(), 0, now));
}

TEST(MeterHealthFile, FailedPollsCountOncePerPollAndSurviveAReopen)
{
    TempDataRoot root;
    {
        MeterHealth h(root.path());
        h.PollQueued(7, At(2026, 12, 1, 8));
        h.Failed(7, At(2026, 12, 1, 8, 1), QStringLiteral("first"));
        h.Failed(7, At(2026, 12, 1, 8, 2), QStringLiteral("second request of the same poll"));
        h.PollQueued(7, At(2026, 12, 2, 8));
        h.Failed(7, At(2026, 12, 2, 8, 1), QStringLiteral("Не удалось прочитать серийный номер прибора. Код ошибки: -1"));
        h.LearnRing(7, GapKind::Hourly, 1488);
        h.Flush();
    }
    MeterHealth reopened(root.path());
    MeterStatus s = reopened.Read(7);
    EXPECT_EQ(s.failedPolls, 2);
    EXPECT_EQ(s.failureText, QStringLiteral("Не удалось прочитать серийный номер прибора. Код ошибки: -1"));
    EXPECT_EQ(TimeKey(s.lastFailure), TimeKey(At(2026, 12, 2, 8, 1)));
    EXPECT_EQ(TimeKey(s.watchedSince), TimeKey(At(2026, 12, 1, 8)));
    EXPECT_EQ(s.ring[0], 1488);
    // Windows-1251 on disk, as Tree.ini.
    EXPECT_TRUE(ReadFileBytes(MeterHealth::FilePath(root.path())).contains(EncodeCp1251(QStringLiteral("Не удалось"))));

    reopened.PollQueued(7, At(2026, 12, 3, 8));
    reopened.Answered(7, At(2026, 12, 3, 8, 1));
    reopened.Failed(7, At(2026, 12, 3, 8, 2), QStringLiteral("after an answer in the same poll"));
    EXPECT_EQ(reopened.Read(7).failedPolls, 0);
}

TEST(MeterHealthFile, DamagedNewerOrUnwritableFilesNeverStopAnything)
{
    TempDataRoot root;
    const QString path = MeterHealth::FilePath(root.path());
    // A newer build's file with keys we do not know, a broken line and undecodable bytes.
    WriteAll(path, QByteArray("[STATUS]\r\nVersion=7\r\nFuture=1\r\n[S7]\r\nFailedPolls=x\r\nLastAnswer=not a date\r\n"
                              "\xff\xfe garbage\r\nRingH=100\r\n"));
    {
        MeterHealth h(root.path());
        MeterStatus s = h.Read(7);
        EXPECT_EQ(s.failedPolls, 0);
        EXPECT_EQ(s.lastAnswer, 0);
        EXPECT_EQ(s.ring[0], 100) << "what can be read is read";
        h.Answered(7, At(2026, 12, 1, 8));
        h.Flush();
    }
    const QByteArray bytes = ReadFileBytes(path);
    EXPECT_TRUE(bytes.contains("Future=1")) << "keys of a newer build are kept";
    EXPECT_TRUE(bytes.contains("LastAnswer=01.12.2026 8:00:00"));

    // A folder where the file belongs: reads give nothing, writes are dropped quietly.
    TempDataRoot other;
    QDir().mkpath(MeterHealth::FilePath(other.path()));
    MeterHealth h(other.path());
    h.Failed(7, At(2026, 12, 1, 8), QStringLiteral("x"));
    EXPECT_NO_THROW(h.Flush());
    EXPECT_EQ(h.Read(7).failedPolls, 1) << "kept in memory for the next flush";
}

TEST(GapRefill, RunsWithinTheRingAreQueuedBehindTheMeterOldOnesReportedOnce)
{
    HealthFixture f;
    AddTestMeter(f.registry, 500, 3);
    AddTestMeter(f.registry, 600, 3);
    const double now = DayCountFromDateTime(f.clock.Now());
    const qint64 ref = GapSlotFloor(GapKind::Hourly, now); // 14:00, the newest record
    // 10,000 hours stored back from 13:00 with three holes: one older than the ring of
    // 100 hours, two inside it, one of them 30 hours long.
    QList<qint64> skip;
    for (qint64 s = ref - 5000; s < ref - 4000; ++s)
        skip << s; // a thousand hours long gone from the ring
    for (qint64 s = ref - 80; s < ref - 50; ++s)
        skip << s;
    skip << ref - 10;
    StoreHours(f.root.path(), 500, ref - 10000, ref - 1, skip);
    f.engine.health().LearnRing(500, GapKind::Hourly, 100);
    f.registry.file().WriteString(MeterSection(1), reg::kLastH, DateTimeText(GapSlotTime(GapKind::Hourly, ref - 1)));
    f.engine.queue().EnqueueRequest(600, kRequestCurrent, 0, 0, false);
    f.engine.queue().EnqueueRequest(500, kRequestCurrent, 0, 0, false);
    f.engine.queue().EnqueueRequest(500, kRequestJournal, 0, 1, false);
    f.engine.queue().EnqueueRequest(600, kRequestJournal, 0, 1, false);

    EXPECT_EQ(f.engine.QueueGapRequests(500, 1000, true), 2);
    const QList<TQueueItem> items = f.engine.queue().Items();
    QStringList order;
    for (const TQueueItem &q : items)
        order << QStringLiteral("%1/%2").arg(q.serial).arg(q.kind);
    // The connection rule placed the four requests so; the runs go right behind 500's last one.
    EXPECT_EQ(order, (QStringList{QStringLiteral("600/0"), QStringLiteral("500/4"), QStringLiteral("600/4"),
                                  QStringLiteral("500/0"), QStringLiteral("500/1"), QStringLiteral("500/1")}));
    // The walk reads exactly the missing hours of each run, never overwriting.
    const TQueueItem &run = items[4];
    EXPECT_EQ(run.reread, 0);
    EXPECT_EQ(DateTimeText(run.start), DateTimeText(GapSlotTime(GapKind::Hourly, ref - 80)));
    EXPECT_EQ(TimeKey(items[5].start), TimeKey(GapSlotTime(GapKind::Hourly, ref - 10)));
    EXPECT_LT(items[5].end, GapSlotTime(GapKind::Hourly, ref - 8));
    // The record of an hour is read at the position where the hour ends.
    QList<qint64> walked;
    for (ArchiveWalk w(kRequestHourly, run.start, run.end, now); !w.AtEnd(); w.Step()) {
        qint64 slot = 0;
        ASSERT_TRUE(GapSlotOf(GapKind::Hourly, w.Position(), &slot));
        walked << slot - 1;
    }
    ASSERT_EQ(walked.size(), 30);
    EXPECT_EQ(walked.first(), ref - 80);
    EXPECT_EQ(walked.last(), ref - 51);

    const QStringList gone = [&] {
        QStringList out;
        for (const QString &l : f.log.lines())
            if (l.contains(QStringLiteral("вытеснены")))
                out << l;
        return out;
    }();
    ASSERT_EQ(gone.size(), 1);
    EXPECT_TRUE(gone[0].contains(DateTimeText(GapSlotTime(GapKind::Hourly, ref - 5000)))) << gone[0].toStdString();
    EXPECT_TRUE(gone[0].contains(DateTimeText(GapSlotTime(GapKind::Hourly, ref - 4001)))) << gone[0].toStdString();

    // Again, as the next schedule would: the in-ring runs are queued already (nothing new),
    // the lost run is not reported again, also after the file was written and read back.
    f.engine.SuperviseTick(); // flushes Status.ini (no thread: port 3 has no device here)
    f.engine.StopMeter(500);
    f.engine.StopMeter(600);
    f.engine.SuperviseTick();
    HealthFixture *g = &f;
    MeterHealth reread(g->root.path());
    EXPECT_EQ(TimeKey(reread.Read(500).lostReported[0]), TimeKey(GapSlotTime(GapKind::Hourly, ref - 4001)));
    EXPECT_EQ(f.engine.QueueGapRequests(500, 1000, true), 2);
    int goneAgain = 0;
    for (const QString &l : f.log.lines())
        goneAgain += l.contains(QStringLiteral("вытеснены")) ? 1 : 0;
    EXPECT_EQ(goneAgain, 1);
}

TEST(GapRefill, ANewMeterOrOneWithoutMarksGetsNoGapRequests)
{
    HealthFixture f;
    AddTestMeter(f.registry, 500, 3);
    EXPECT_EQ(f.engine.QueueGapRequests(500, 0, false), 0) << "nothing stored: history never collected";
    const qint64 ref = GapSlotFloor(GapKind::Hourly, DayCountFromDateTime(f.clock.Now()));
    StoreHours(f.root.path(), 500, ref - 20, ref - 1, {ref - 5});
    EXPECT_EQ(f.engine.QueueGapRequests(500, 0, true), 0) << "no LastH: the scheduled request reads it all";
    EXPECT_EQ(f.engine.QueueGapRequests(500, 0, false), 1) << "on demand";
    EXPECT_EQ(f.engine.QueueGapRequests(500, 0, false), 0) << "already queued";
}

// Records missing after collection began are gaps for the status and the refill even when
// they lie before the oldest stored record (a meter's first poll failed to read them).
TEST(GapRefill, CollectionStartCountsFirstPollFailuresAsGaps)
{
    HealthFixture f;
    AddTestMeter(f.registry, 500, 3);
    const double now = DayCountFromDateTime(f.clock.Now());
    const qint64 ref = GapSlotFloor(GapKind::Hourly, now);
    StoreHours(f.root.path(), 500, ref - 3, ref - 1, {});
    auto gapsInRing = [&] {
        const QList<MeterSummaryRow> rows = BuildMeterSummary(f.root.path(), f.registry, f.engine.health(), now);
        return rows.size() == 1 && rows[0].gapsInRing;
    };
    EXPECT_FALSE(gapsInRing()) << "before the oldest record nothing was ever asked for";
    EXPECT_EQ(f.engine.QueueGapRequests(500, 0, false), 0);

    f.engine.health().CollectionRequested(500, GapKind::Hourly, GapSlotTime(GapKind::Hourly, ref - 5) + 0.01);
    f.engine.health().Flush();
    MeterHealth reopened(f.root.path());
    EXPECT_EQ(TimeKey(reopened.Read(500).collectionStart[0]), TimeKey(GapSlotTime(GapKind::Hourly, ref - 5)));
    EXPECT_TRUE(gapsInRing());
    EXPECT_EQ(f.engine.QueueGapRequests(500, 0, false), 1) << "the two hours before the oldest record";
}

TEST(GapRefill, FirstRecordOfAPeriodAgainstAPlainReference)
{
    // The walk's first position is one step after the start; the record read there is that
    // of the interval just ended (for months, the month before the start's).
    QRandomGenerator rng(22);
    for (int i = 0; i < 2000; ++i) {
        const QDateTime start(QDate(2000, 1, 1).addDays(rng.bounded(12000)),
                              QTime(rng.bounded(24), rng.bounded(60), rng.bounded(60)));
        const double t = DayCountFromDateTime(start);
        const QDate d = start.date();
        EXPECT_EQ(TimeKey(FirstRecordOfPeriod(GapKind::Hourly, t)),
                  TimeKey(DayCountFromParts(d, QTime(start.time().hour(), 0))));
        EXPECT_EQ(TimeKey(FirstRecordOfPeriod(GapKind::Daily, t)), TimeKey(DayCountFromDate(d)));
        EXPECT_EQ(TimeKey(FirstRecordOfPeriod(GapKind::Monthly, t)),
                  TimeKey(DayCountFromDate(QDate(d.year(), d.month(), 1).addMonths(-1))));
    }
    EXPECT_EQ(FirstRecordOfPeriod(GapKind::Hourly, 0), 0);
    EXPECT_EQ(GapsBeginAt(0, 0), 0);
    EXPECT_EQ(GapsBeginAt(5, 0), 5);
    EXPECT_EQ(GapsBeginAt(0, 7), 7);
    EXPECT_EQ(GapsBeginAt(9, 7), 7);
}
