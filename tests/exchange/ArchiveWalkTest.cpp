#include "support/ZoneScope.h"
#include "exchange/ArchiveWalk.h"
#include "exchange/PollQueue.h"

#include "common/DayCount.h"

#include <gtest/gtest.h>

#include <ctime>
#include <random>

using namespace qst;

using qst::test::ZoneScope;

namespace {

// Plain seconds since 30.12.1899 00:00 of the wall clock.
qint64 Seconds(const QDate &date, const QTime &time)
{
    return (date.toJulianDay() - QDate(1899, 12, 30).toJulianDay()) * 86400 + time.msecsSinceStartOfDay() / 1000;
}

struct Walked
{
    QList<qint64> positionMs;
    QList<qint64> backs;
};

// Day counts from wall-clock parts: no QDateTime, which has no time inside a clock change's gap.
double At(const QDate &date, const QTime &time)
{
    return DayCountFromParts(date, time);
}

Walked Walk(int kind, double start, double end, double now)
{
    Walked w;
    ArchiveWalk walk(kind, start, end, now);
    for (; !walk.AtEnd(); walk.Step()) {
        w.positionMs.append(DayCountToMs(walk.Position()));
        w.backs.append(walk.Back());
    }
    return w;
}

} // namespace

TEST(ArchiveWalk, HourlyPositionsOverADecade)
{
    // Every hour of 2020..2029 as a start, with a random minute and second; the end a few
    // hours later, half of the time exactly on a whole hour (where a real-valued step
    // added a record). Positions are the whole hours after the start's hour and before the
    // end; back counts hours to the current whole hour.
    for (const char *zone : {"Europe/Moscow", "Europe/Berlin"}) {
        ZoneScope scope(zone);
        std::mt19937 random(2026);
        qint64 walks = 0;
        for (QDate day(2020, 1, 1); day.year() < 2030; day = day.addDays(1)) {
            for (int hour = 0; hour < 24; ++hour, ++walks) {
                const QTime startTime(hour, int(random() % 60), int(random() % 60));
                const qint64 startSec = Seconds(day, startTime);
                qint64 endSec = startSec + qint64(random() % (6 * 3600));
                if (random() % 2)
                    endSec -= endSec % 3600;
                const qint64 nowSec = endSec + qint64(random() % (48 * 3600));
                auto at = [](qint64 sec) {
                    return At(QDate(1899, 12, 30).addDays(sec / 86400), QTime::fromMSecsSinceStartOfDay(int(sec % 86400) * 1000));
                };
                const Walked got = Walk(kRequestHourly, at(startSec), at(endSec), at(nowSec));

                Walked expected;
                for (qint64 h = startSec / 3600 + 1; h * 3600 < endSec; ++h) {
                    expected.positionMs.append(h * 3600 * 1000);
                    expected.backs.append(nowSec / 3600 - h);
                }
                ASSERT_EQ(got.positionMs, expected.positionMs) << zone << " " << day.toString(Qt::ISODate).toStdString()
                                                               << " " << hour;
                ASSERT_EQ(got.backs, expected.backs) << zone << " " << day.toString(Qt::ISODate).toStdString();
            }
        }
        EXPECT_EQ(walks, 87672);
    }
}

TEST(ArchiveWalk, DailyAndMonthlyPositionsOverADecade)
{
    std::mt19937 random(1210);
    const QDate epoch(1899, 12, 30);
    for (QDate day(2020, 1, 1); day.year() < 2030; day = day.addDays(1)) {
        const QTime startTime(int(random() % 24), int(random() % 60));
        const QDate endDay = day.addDays(random() % 6);
        const QTime endTime = random() % 2 ? QTime(23, 59, 59) : QTime(0, 0);
        const QDate today = endDay.addDays(random() % 40);
        const double now = At(today, QTime(int(random() % 24), 0));

        // Daily: the days after the start's day, before the end.
        Walked expected;
        const qint64 endMs = Seconds(endDay, endTime) * 1000;
        for (qint64 d = day.toJulianDay() + 1; (d - epoch.toJulianDay()) * 86400000 < endMs; ++d) {
            expected.positionMs.append((d - epoch.toJulianDay()) * 86400000);
            expected.backs.append(today.toJulianDay() - d);
        }
        const Walked daily = Walk(kRequestDaily, At(day, startTime), At(endDay, endTime), now);
        ASSERT_EQ(daily.positionMs, expected.positionMs) << day.toString(Qt::ISODate).toStdString();
        ASSERT_EQ(daily.backs, expected.backs) << day.toString(Qt::ISODate).toStdString();

        // Monthly: 01:00 of the start's first day, then every 31 days; back in calendar months.
        const QDate monthEnd = day.addDays(random() % 400);
        const QDate thisMonth = monthEnd.addDays(random() % 100);
        expected = {};
        const qint64 monthEndMs = Seconds(monthEnd, QTime(23, 59, 59)) * 1000;
        for (QDate p(day.year(), day.month(), 1); Seconds(p, QTime(1, 0)) * 1000 < monthEndMs; p = p.addDays(31)) {
            expected.positionMs.append(Seconds(p, QTime(1, 0)) * 1000);
            expected.backs.append((thisMonth.year() - p.year()) * 12 + thisMonth.month() - p.month());
        }
        const Walked monthly = Walk(kRequestMonthly, At(day, startTime), At(monthEnd, QTime(23, 59, 59)),
                                    At(thisMonth, QTime(12, 0)));
        ASSERT_EQ(monthly.positionMs, expected.positionMs) << day.toString(Qt::ISODate).toStdString();
        ASSERT_EQ(monthly.backs, expected.backs) << day.toString(Qt::ISODate).toStdString();
    }
}

TEST(ArchiveWalk, NothingToWalk)
{
    const QDateTime now(QDate(2026, 12, 10), QTime(14, 37));
    const struct {
        const char *name;
        int kind;
        double start, end;
    } cases[] = {
        {"inverted hourly period", kRequestHourly, DayCountFromDateTime(now.addSecs(7200)), DayCountFromDateTime(now)},
        {"same day", kRequestDaily, DayCountFromParts(QDate(2026, 12, 5), QTime(0, 0)),
         DayCountFromParts(QDate(2026, 12, 5), QTime(23, 59, 59))},
        {"start outside the calendar", kRequestHourly, 1e12, DayCountFromDateTime(now)},
    };
    for (const auto &c : cases)
        EXPECT_TRUE(ArchiveWalk(c.kind, c.start, c.end, DayCountFromDateTime(now)).AtEnd()) << c.name;
}
