#pragma once

#include "SimConfig.h"

#include <QByteArray>
#include <QDateTime>

#include <vector>

namespace qst {

struct SimJournalRing
{
    int c = 0;
    int b = 0;
    int a = 0;
};

// The event journal: a ring of 16-byte entries. Events happen at seed-given moments, so the
// journal grows with the clock. Unwritten slots are erased pages (0xFF); now and then a page
// was skipped (zeros); in a wrapped ring the two slots after the newest entry are erased
// already, as the flash is cleared ahead of the write position.
class SimJournal
{
public:
    SimJournal(const SimConfig &config, const QDateTime &start);

    SimJournalRing Ring(const QDateTime &now) const;
    // The 16 bytes of a slot.
    QByteArray Entry(int slot, const QDateTime &now) const;
    // The newest n events up to now, oldest first, numbered from 0 as if the journal began
    // with the first of them (a dump's journal, not bound to the ring).
    std::vector<QByteArray> NewestEntries(int n, const QDateTime &now) const;

private:
    struct Event
    {
        qint64 hourKey = 0;
        int minute = 0;
        int second = 0;
    };
    bool EventInHour(qint64 hourKey, Event *event) const;
    std::vector<Event> EventsUpTo(const QDateTime &now) const;
    QByteArray Encode(const Event &event, qint64 ordinal) const;

    SimConfig m_config;
    qint64 m_originHour = 0;
};

} // namespace qst
