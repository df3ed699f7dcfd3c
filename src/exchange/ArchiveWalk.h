#pragma once

#include <QtGlobal>

namespace qst {

// The positions an archive request walks, and how many records before the newest each one
// lies. Positions are whole hours, days or 31-day steps of the wall clock counted in
// integers: no real-number drift adds a position at the end of a period, and no clock
// change repeats or skips one.
class ArchiveWalk
{
public:
    // kind: an archive request kind (hourly, daily, monthly); start and end as the request
    // holds them; now: the computer's clock when the request is taken up. All day counts.
    ArchiveWalk(int kind, double start, double end, double now);

    // The position is not before the end (or the start was no calendar time).
    bool AtEnd() const;
    double Position() const; // day count
    // Whole records from the position to the newest one (the reference); negative for a
    // position after it.
    qint64 Back() const;
    void Step();

private:
    int m_kind;
    bool m_valid = false;
    qint64 m_day = 0;  // Julian day of the position
    int m_hour = 0;    // hourly: 0..23; monthly positions sit at 01:00
    qint64 m_endMs = 0;
    qint64 m_refDay = 0;
    int m_refHour = 0;
};

} // namespace qst
