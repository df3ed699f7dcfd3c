#include "ArchiveWalk.h"

#include "PollQueue.h"

#include "common/DayCount.h"

namespace qst {

ArchiveWalk::ArchiveWalk(int kind, double start, double end, double now)
    : m_kind(kind)
    , m_endMs(DayCountToMs(end))
{
    QDate date;
    QTime time;
    QDate today;
    QTime timeNow;
    m_valid = SplitDayCount(start, &date, &time) && SplitDayCount(now, &today, &timeNow);
    if (!m_valid)
        return;
    m_refDay = today.toJulianDay();
    m_refHour = timeNow.hour();
    switch (kind) {
    case kRequestHourly:
        m_day = date.toJulianDay();
        m_hour = time.hour();
        Step();
        break;
    case kRequestDaily:
        m_day = date.toJulianDay() + 1;
        break;
    default:
        m_day = QDate(date.year(), date.month(), 1).toJulianDay();
        m_hour = 1;
        break;
    }
}

bool ArchiveWalk::AtEnd() const
{
    return !m_valid || DayCountToMs(Position()) >= m_endMs;
}

double ArchiveWalk::Position() const
{
    return DayCountFromParts(QDate::fromJulianDay(m_day), QTime(m_hour, 0));
}

qint64 ArchiveWalk::Back() const
{
    switch (m_kind) {
    case kRequestHourly:
        return (m_refDay - m_day) * 24 + (m_refHour - m_hour);
    case kRequestDaily:
        return m_refDay - m_day;
    default:
        return MonthsBetween(QDate::fromJulianDay(m_day), QDate::fromJulianDay(m_refDay));
    }
}

void ArchiveWalk::Step()
{
    switch (m_kind) {
    case kRequestHourly:
        if (++m_hour == 24) {
            m_hour = 0;
            ++m_day;
        }
        break;
    case kRequestDaily:
        ++m_day;
        break;
    default:
        // The monthly position is not set back to the first of the month; its month alone counts.
        m_day += 31;
        break;
    }
}

} // namespace qst
