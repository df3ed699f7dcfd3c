#include "SimJournal.h"

#include "SimArchive.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace qst {

namespace {

// How the old and new values of a template are made.
enum class ValueKind {
    None, // no value
    Flag, // 0/1
    List, // an index into the parameter's list, sometimes beyond it
    Byte, // small unsigned
    SignedByte,
    DayMonth, // byte 8 month, byte 9 day
    Temperature, // signed hundredths of a degree
    Pressure, // thousandths of kgf/cm2
    Ratio, // hundredths
    Real, // a single-precision setting
    SignedLong,
    Minutes, // a time counter in minutes
    Total, // whole part + single-precision fraction
    ClockSet, // the clock before it was set
    Opaque, // value type without a text
};

struct EventTemplate
{
    int numberV1; // 0: not in this version
    int numberV2;
    int valueType;
    ValueKind kind;
    int listSize;
};

// Parameter numbers and value types as each version writes them.
constexpr EventTemplate kTemplates[] = {
    { 1, 1, 0, ValueKind::None, 0 },
    { 2, 2, 0, ValueKind::None, 0 },
    { 3, 3, 0, ValueKind::None, 0 },
    { 4, 4, 9, ValueKind::ClockSet, 0 },
    { 5, 5, 2, ValueKind::List, 2 },
    { 16, 16, 0, ValueKind::None, 0 },
    { 17, 17, 2, ValueKind::Byte, 0 },
    { 18, 18, 2, ValueKind::List, 2 },
    { 19, 19, 4, ValueKind::DayMonth, 0 },
    { 20, 20, 4, ValueKind::DayMonth, 0 },
    { 21, 21, 2, ValueKind::List, 9 },
    { 22, 22, 2, ValueKind::List, 8 },
    { 23, 23, 1, ValueKind::Flag, 0 },
    { 24, 24, 2, ValueKind::List, 2 },
    { 25, 25, 2, ValueKind::List, 4 },
    { 28, 28, 2, ValueKind::List, 4 },
    { 29, 29, 5, ValueKind::Temperature, 0 },
    { 31, 31, 5, ValueKind::Temperature, 0 },
    { 32, 32, 5, ValueKind::Temperature, 0 },
    { 33, 33, 2, ValueKind::List, 6 },
    { 38, 38, 2, ValueKind::List, 2 },
    { 41, 41, 4, ValueKind::Pressure, 0 },
    { 45, 45, 4, ValueKind::Pressure, 0 },
    { 46, 46, 2, ValueKind::List, 3 },
    { 47, 47, 2, ValueKind::List, 2 },
    { 48, 48, 2, ValueKind::List, 2 },
    { 49, 49, 2, ValueKind::List, 3 },
    { 50, 0, 2, ValueKind::List, 5 },
    { 51, 0, 2, ValueKind::List, 4 },
    { 0, 50, 2, ValueKind::List, 4 },
    { 0, 51, 2, ValueKind::List, 5 },
    { 0, 52, 2, ValueKind::List, 4 },
    { 52, 53, 2, ValueKind::List, 7 },
    { 54, 55, 4, ValueKind::Ratio, 0 },
    { 55, 56, 8, ValueKind::Real, 0 },
    { 59, 60, 7, ValueKind::SignedLong, 0 },
    { 63, 64, 8, ValueKind::Real, 0 },
    { 67, 68, 8, ValueKind::Real, 0 },
    { 71, 72, 8, ValueKind::Real, 0 },
    { 72, 73, 8, ValueKind::Real, 0 },
    { 77, 78, 8, ValueKind::Real, 0 },
    { 0, 83, 8, ValueKind::Real, 0 },
    { 256, 256, 10, ValueKind::Total, 0 },
    { 257, 257, 10, ValueKind::Total, 0 },
    { 258, 258, 8, ValueKind::Real, 0 },
    { 262, 262, 6, ValueKind::Byte, 0 },
    { 267, 267, 6, ValueKind::Minutes, 0 },
    { 268, 270, 6, ValueKind::Minutes, 0 },
    { 0, 276, 6, ValueKind::Minutes, 0 },
    { 271, 279, 6, ValueKind::Minutes, 0 },
    { 272, 280, 6, ValueKind::Minutes, 0 },
    { 8, 8, 3, ValueKind::SignedByte, 0 },
    { 100, 100, 11, ValueKind::Opaque, 0 },
    { 300, 300, 7, ValueKind::SignedLong, 0 },
};
constexpr int kTemplateCount = static_cast<int>(sizeof(kTemplates) / sizeof(kTemplates[0]));

constexpr int kJournalStream = 300;

void PutValue(char *p, const EventTemplate &t, quint64 h, const QDateTime &when)
{
    std::memset(p, 0, 4);
    switch (t.kind) {
    case ValueKind::None:
    case ValueKind::ClockSet:
        break;
    case ValueKind::Opaque:
        qToLittleEndian<quint32>(static_cast<quint32>(h), p);
        break;
    case ValueKind::Flag:
        p[0] = static_cast<char>(h & 1);
        break;
    case ValueKind::List:
        // one in eight points past the list, as a calculator's newer firmware might
        p[0] = static_cast<char>(h % 8 == 0 ? t.listSize + static_cast<int>((h >> 3) % 3)
                                            : static_cast<int>((h >> 3) % static_cast<quint64>(t.listSize)));
        break;
    case ValueKind::Byte:
        p[0] = static_cast<char>(1 + (h >> 5) % 28);
        break;
    case ValueKind::SignedByte:
        p[0] = static_cast<char>(static_cast<qint8>(static_cast<int>((h >> 5) % 200) - 100));
        break;
    case ValueKind::DayMonth:
        p[0] = static_cast<char>(1 + (h >> 5) % 12);
        p[1] = static_cast<char>(1 + (h >> 9) % 28);
        break;
    case ValueKind::Temperature:
        qToLittleEndian<qint16>(static_cast<qint16>(static_cast<int>((h >> 5) % 2000) - 200), p);
        break;
    case ValueKind::Pressure:
        qToLittleEndian<quint16>(static_cast<quint16>(1000 + (h >> 5) % 15000), p);
        break;
    case ValueKind::Ratio:
        qToLittleEndian<quint16>(static_cast<quint16>(100 + (h >> 5) % 400), p);
        break;
    case ValueKind::Real:
        qToLittleEndian<float>(static_cast<float>((h >> 5) % 100000) / 100.0f, p);
        break;
    case ValueKind::SignedLong:
        qToLittleEndian<qint32>(static_cast<qint32>((h >> 5) % 200001) - 100000, p);
        break;
    case ValueKind::Minutes:
        qToLittleEndian<quint32>(static_cast<quint32>(when.date().toJulianDay() % 100000) * 1440 / 3, p);
        break;
    case ValueKind::Total:
        break; // spread over both halves, see Encode
    }
}

} // namespace

SimJournal::SimJournal(const SimConfig &config, const QDateTime &start)
    : m_config(config)
{
    const int history = m_config.history[SimHourly] < 0 ? m_config.ringSlots[SimHourly] : m_config.history[SimHourly];
    m_originHour = SimArchive::HourKey(start) - history;
    if (m_config.journalWrapped) {
        // Go back until the ring has gone round once and a bit.
        const int c = std::max(1, m_config.ringSlots[SimJournalKind]);
        const qint64 wanted = c + c / 3 + 3;
        qint64 found = 0;
        qint64 h = SimArchive::HourKey(start);
        Event e;
        while (found < wanted) {
            --h;
            if (EventInHour(h, &e))
                ++found;
        }
        m_originHour = std::min(m_originHour, h);
    }
}

bool SimJournal::EventInHour(qint64 hourKey, Event *event) const
{
    const quint64 h = SimHash(m_config.seed, kJournalStream, hourKey);
    if (h % 19 != 0)
        return false;
    event->hourKey = hourKey;
    event->minute = static_cast<int>((h >> 8) % 60);
    event->second = static_cast<int>((h >> 16) % 60);
    return true;
}

std::vector<SimJournal::Event> SimJournal::EventsUpTo(const QDateTime &now) const
{
    std::vector<Event> events;
    if (m_config.emptyArchives)
        return events;
    const qint64 last = SimArchive::HourKey(now);
    const int secondsIntoHour = now.time().minute() * 60 + now.time().second();
    Event e;
    for (qint64 h = m_originHour; h <= last; ++h) {
        if (!EventInHour(h, &e))
            continue;
        if (h == last && e.minute * 60 + e.second > secondsIntoHour)
            continue;
        events.push_back(e);
    }
    return events;
}

SimJournalRing SimJournal::Ring(const QDateTime &now) const
{
    SimJournalRing r;
    r.c = std::max(1, m_config.ringSlots[SimJournalKind]);
    const qint64 written = static_cast<qint64>(EventsUpTo(now).size());
    if (written <= r.c) {
        r.a = static_cast<int>(written);
        r.b = 0;
        return r;
    }
    // Once wrapped the reader takes slot a as the newest entry and b as the oldest, but only
    // while a < b; with the newest entry in the last slot the unwrapped form says the same.
    const int newest = static_cast<int>((written - 1) % r.c);
    if (newest == r.c - 1) {
        r.a = r.c;
        r.b = 0;
    } else {
        r.a = newest;
        r.b = newest + 1;
    }
    return r;
}

QByteArray SimJournal::Entry(int slot, const QDateTime &now) const
{
    const QByteArray erased(16, char(0xFF));
    const int c = std::max(1, m_config.ringSlots[SimJournalKind]);
    const std::vector<Event> events = EventsUpTo(now);
    const qint64 written = static_cast<qint64>(events.size());
    if (written == 0 || slot < 0 || slot >= c)
        return erased;
    const qint64 newestSlot = (written - 1) % c;
    const qint64 back = ((newestSlot - slot) % c + c) % c;
    if (back >= written)
        return erased;
    if (written > c && back >= c - 2 && c > 8)
        return erased;
    const qint64 ordinal = written - 1 - back;
    return Encode(events[static_cast<size_t>(ordinal)], ordinal);
}

std::vector<QByteArray> SimJournal::NewestEntries(int n, const QDateTime &now) const
{
    std::vector<Event> events;
    if (m_config.emptyArchives || n <= 0)
        return {};
    const qint64 last = SimArchive::HourKey(now);
    const int secondsIntoHour = now.time().minute() * 60 + now.time().second();
    Event e;
    for (qint64 h = last; static_cast<int>(events.size()) < n; --h) {
        if (!EventInHour(h, &e))
            continue;
        if (h == last && e.minute * 60 + e.second > secondsIntoHour)
            continue;
        events.push_back(e);
    }
    std::vector<QByteArray> entries;
    entries.reserve(events.size());
    for (qint64 i = 0; i < static_cast<qint64>(events.size()); ++i)
        entries.push_back(Encode(events[events.size() - 1 - static_cast<size_t>(i)], i));
    return entries;
}

QByteArray SimJournal::Encode(const Event &event, qint64 ordinal) const
{
    QByteArray e(16, '\0');
    const quint64 h = SimHash(m_config.seed, kJournalStream + 1, event.hourKey);
    if (ordinal % 29 == 17) {
        // A skipped page: the time bytes are zero; every other one carries leftovers after it.
        if ((ordinal / 29) % 2)
            for (int i = 4; i < 16; ++i)
                e[i] = static_cast<char>(0x11 * (i - 3));
        return e;
    }
    const QDate date = QDate::fromJulianDay(event.hourKey / 24);
    const QDateTime when(date, QTime(static_cast<int>(event.hourKey % 24), event.minute, event.second));
    e[0] = static_cast<char>(date.year() - 2000);
    e[1] = static_cast<char>(date.month());
    e[2] = static_cast<char>(date.day());
    e[3] = static_cast<char>(event.hourKey % 24);
    e[4] = static_cast<char>(event.minute);
    e[5] = static_cast<char>(event.second);

    // The first entries of a journal cover every template once, then they are drawn at random.
    const EventTemplate *t = nullptr;
    for (int attempt = 0; !t; ++attempt) {
        const quint64 pick
            = attempt == 0 && ordinal < kTemplateCount ? static_cast<quint64>(ordinal) : SimHash(h, attempt, ordinal);
        const EventTemplate &candidate = kTemplates[pick % kTemplateCount];
        if ((m_config.version == 1 ? candidate.numberV1 : candidate.numberV2) != 0)
            t = &candidate;
    }
    const int number = m_config.version == 1 ? t->numberV1 : t->numberV2;
    qToLittleEndian<quint16>(static_cast<quint16>((t->valueType << 12) | (number & 0x0FFF)), e.data() + 6);

    if (t->kind == ValueKind::ClockSet) {
        const QDateTime before = when.addSecs(-static_cast<qint64>(30 + (h >> 7) % 4000));
        e[8] = static_cast<char>(before.date().year() - 2000);
        e[9] = static_cast<char>(before.date().month());
        e[10] = static_cast<char>(before.date().day());
        e[11] = static_cast<char>(before.time().hour());
        e[12] = static_cast<char>(before.time().minute());
        e[13] = static_cast<char>(before.time().second());
    } else if (t->kind == ValueKind::Total) {
        qToLittleEndian<quint32>(static_cast<quint32>(1000 + (h >> 5) % 90000), e.data() + 8);
        qToLittleEndian<float>(static_cast<float>((h >> 40) % 100000) / 100000.0f, e.data() + 12);
    } else {
        PutValue(e.data() + 8, *t, h >> 1, when);
        PutValue(e.data() + 12, *t, h >> 2, when);
    }
    return e;
}

} // namespace qst
