#include "DayCount.h"

#include <cmath>

namespace qst {

namespace {

// Julian day number of 30 December 1899, day count 0.
const qint64 kEpochJulianDay = QDate(1899, 12, 30).toJulianDay();
// Day counts of 1 January 0100 and 31 December 9999: the calendar the files can hold.
constexpr double kMinDayCount = -657434.0;
constexpr double kMaxDayCount = 2958466.0;

} // namespace

double DayCountFromDate(const QDate &date)
{
    if (!date.isValid())
        return 0;
    return static_cast<double>(date.toJulianDay() - kEpochJulianDay);
}

double DayCountFromParts(const QDate &date, const QTime &time)
{
    const double day = DayCountFromDate(date);
    const double fraction = time.isValid() ? time.msecsSinceStartOfDay() / static_cast<double>(kMsPerDay) : 0.0;
    // Before the epoch the fraction still counts forward from the day's midnight.
    return day < 0 ? day - fraction : day + fraction;
}

double DayCountFromDateTime(const QDateTime &dateTime)
{
    return DayCountFromParts(dateTime.date(), dateTime.time());
}

qint64 DayCountToMs(double dayCount)
{
    if (!std::isfinite(dayCount) || dayCount < kMinDayCount || dayCount > kMaxDayCount)
        return 0;
    if (dayCount >= 0)
        return std::llround(dayCount * kMsPerDay);
    const double day = std::trunc(dayCount);
    qint64 timeMs = std::llround((day - dayCount) * kMsPerDay);
    return static_cast<qint64>(day) * kMsPerDay + (timeMs >= kMsPerDay ? kMsPerDay - 1 : timeMs);
}

bool SplitDayCount(double dayCount, QDate *date, QTime *time)
{
    if (!std::isfinite(dayCount) || dayCount < kMinDayCount || dayCount > kMaxDayCount)
        return false;
    qint64 day;
    qint64 timeMs;
    if (dayCount >= 0) {
        const qint64 ms = std::llround(dayCount * kMsPerDay);
        day = ms / kMsPerDay;
        timeMs = ms % kMsPerDay;
    } else {
        const double whole = std::trunc(dayCount);
        day = static_cast<qint64>(whole);
        timeMs = std::llround((whole - dayCount) * kMsPerDay);
        if (timeMs >= kMsPerDay) {
            // The time rounded up to the next midnight, which is the previous day's start here.
            timeMs -= kMsPerDay;
            day -= 1;
        }
    }
    const QDate d = QDate::fromJulianDay(kEpochJulianDay + day);
    if (!d.isValid() || d.year() > 9999)
        return false;
    if (date)
        *date = d;
    if (time)
        *time = QTime::fromMSecsSinceStartOfDay(static_cast<int>(timeMs));
    return true;
}

QDate DateFromDayCount(double dayCount)
{
    QDate date;
    return SplitDayCount(dayCount, &date, nullptr) ? date : QDate();
}

QDateTime DateTimeFromDayCount(double dayCount)
{
    QDate date;
    QTime time;
    if (!SplitDayCount(dayCount, &date, &time))
        return {};
    return QDateTime(date, time);
}

qint64 TimeKey(double dayCount)
{
    QDate d;
    QTime t;
    if (!SplitDayCount(dayCount, &d, &t))
        return 0;
    return ((((qint64(d.year()) * 100 + d.month()) * 100 + d.day()) * 100 + t.hour()) * 100 + t.minute()) * 100
        + t.second();
}

qint64 WholeHoursBetween(double from, double to)
{
    const double ms = std::round((to - from) * kMsPerDay);
    return static_cast<qint64>(std::trunc(ms / 3600000.0));
}

qint64 WholeDaysBetween(double from, double to)
{
    const double ms = std::round((to - from) * kMsPerDay);
    return static_cast<qint64>(std::trunc(ms / kMsPerDay));
}

int MonthsBetween(const QDate &from, const QDate &to)
{
    return (to.year() - from.year()) * 12 + (to.month() - from.month());
}

} // namespace qst
