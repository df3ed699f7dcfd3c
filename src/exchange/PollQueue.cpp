#include "PollQueue.h"

#include "common/RegionalFormat.h"
#include "common/DayCount.h"
#include "registry/Registry.h"

#include <QSet>

#include <algorithm>

namespace qst {

PollQueue::PollQueue(Registry &registry)
    : m_registry(registry)
{
}

void PollQueue::EnqueueRequest(int serial, int kind, double end, double start, bool reread, bool afterMeter)
{
    if (kind > 0 && start == end)
        return;

    // The meter's connection, as the registry has it now.
    ProfileFile &ini = m_registry.file();
    const int meter = m_registry.FindMeterBySerialInt(serial);
    if (meter == 0)
        return;
    const QString section = MeterSection(meter);
    const int port = static_cast<int>(ini.ReadInteger(section, reg::kCom, 0));
    const quint8 modem = ini.ReadInteger(section, reg::kModem, 0) != 0 ? 1 : 0;
    const QString phone = ini.ReadString(section, reg::kModemNum);

    // Trim the new period against those already queued for the meter: only the parts no
    // queued request covers are added. Every step leaves a strictly shorter part of the new
    // period, so trimming ends. Only real periods (start before end) take part: an inverted
    // one (a mark ahead of the clock) would split into itself for ever. The journal's start
    // and end are no period: a request equal to a queued one adds nothing.
    if (kind == kRequestJournal) {
        const QList<TQueueItem> items = Items();
        for (const TQueueItem &q : items) {
            if (q.serial == serial && q.kind == kind && q.reread == (reread ? 1 : 0) && q.end == end)
                return;
        }
    } else if (kind != kRequestCurrent && start < end) {
        const QList<TQueueItem> items = Items();
        for (const TQueueItem &q : items) {
            if (q.serial != serial || q.kind != kind || q.reread != (reread ? 1 : 0) || !(q.start < q.end))
                continue;
            if (start > q.start && start < q.end) {
                if (end <= q.end)
                    continue;
                EnqueueRequest(serial, kind, end, q.end, reread, afterMeter);
                return;
            }
            if (end > q.start && end < q.end) {
                if (start >= q.start)
                    continue;
                // Straight to the uncovered head: widening it to q's end first, as the
                // classic rule did, can bounce between overlapping queued periods for ever.
                EnqueueRequest(serial, kind, q.start, start, reread, afterMeter);
                return;
            }
            if (start <= q.start && end >= q.end) {
                EnqueueRequest(serial, kind, q.start, start, reread, afterMeter);
                EnqueueRequest(serial, kind, end, q.end, reread, afterMeter);
                return;
            }
        }
    }

    std::lock_guard lock(m_mutex);
    quint32 largest = 0;
    for (const TQueueItem &q : std::as_const(m_items))
        largest = std::max(largest, q.id);
    if (largest > 1000)
        largest = 0;
    // An id still queued is taken: removals and version reports go by id and must not
    // reach another meter's request.
    quint32 id = largest + 1;
    // One pass over the queue: with thousands queued, a scan per candidate id would cost
    // seconds in one schedule tick.
    QSet<quint32> taken;
    taken.reserve(m_items.size());
    for (const TQueueItem &q : std::as_const(m_items))
        taken.insert(q.id);
    while (taken.contains(id))
        ++id;
    TQueueItem item;
    item.id = id;
    item.port = port;
    item.modem = modem;
    item.phone = phone;
    item.serial = serial;
    item.kind = kind;
    item.reread = reread ? 1 : 0;
    item.start = start;
    item.end = end;
    if (afterMeter) {
        for (qsizetype i = m_items.size() - 1; i >= 0; --i) {
            if (m_items[i].serial == serial) {
                m_items.insert(i + 1, item);
                return;
            }
        }
    }
    // Next to a request over the same connection, so one call serves them together.
    if (m_items.size() >= 2) {
        for (qsizetype i = m_items.size() - 2; i >= 0; --i) {
            if (m_items[i].modem == item.modem && m_items[i].phone == item.phone) {
                m_items.insert(i + 1, item);
                return;
            }
        }
    }
    m_items.append(item);
}

void PollQueue::MoveBehindMeter(int serial, const QList<quint32> &ids)
{
    if (ids.isEmpty())
        return;
    std::lock_guard lock(m_mutex);
    QList<TQueueItem> moved;
    for (qsizetype i = 0; i < m_items.size();) {
        if (ids.contains(m_items[i].id))
            moved.append(m_items.takeAt(i));
        else
            ++i;
    }
    qsizetype at = m_items.size();
    for (qsizetype i = m_items.size() - 1; i >= 0; --i) {
        if (m_items[i].serial == serial) {
            at = i + 1;
            break;
        }
    }
    for (const TQueueItem &q : moved)
        m_items.insert(at++, q);
}

void PollQueue::RemoveRequest(quint32 id)
{
    std::lock_guard lock(m_mutex);
    for (qsizetype i = 0; i < m_items.size(); ++i) {
        if (m_items[i].id == id) {
            m_items.removeAt(i);
            return;
        }
    }
}

void PollQueue::SetMeterVersion(quint32 id, int version)
{
    std::lock_guard lock(m_mutex);
    for (const TQueueItem &q : std::as_const(m_items)) {
        if (q.id == id) {
            const int serial = q.serial;
            for (TQueueItem &other : m_items) {
                if (other.serial == serial)
                    other.version = version;
            }
            return;
        }
    }
}

void PollQueue::RemoveConnectionRequests(const QString &phone)
{
    std::lock_guard lock(m_mutex);
    // Only calls to that number: a direct meter has an empty number too.
    m_items.removeIf([&](const TQueueItem &q) { return q.modem != 0 && q.phone == phone; });
}

void PollQueue::RemoveMeterRequests(int serial)
{
    std::lock_guard lock(m_mutex);
    m_items.removeIf([&](const TQueueItem &q) { return q.serial == serial; });
}

void PollQueue::Clear()
{
    std::lock_guard lock(m_mutex);
    m_items.clear();
}

int PollQueue::Size() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_items.size());
}

bool PollQueue::CopyAt(int i, TQueueItem *item) const
{
    std::lock_guard lock(m_mutex);
    if (i < 0 || i >= m_items.size())
        return false;
    *item = m_items[i];
    return true;
}

QList<TQueueItem> PollQueue::Items() const
{
    std::lock_guard lock(m_mutex);
    return m_items;
}

bool PollQueue::WantsPort(int port) const
{
    std::lock_guard lock(m_mutex);
    for (const TQueueItem &q : m_items) {
        if (q.port == port)
            return true;
    }
    return false;
}

bool PollQueue::Contains(quint32 id) const
{
    std::lock_guard lock(m_mutex);
    return std::any_of(m_items.cbegin(), m_items.cend(), [id](const TQueueItem &q) { return q.id == id; });
}

QStringList PollQueue::Lines() const
{
    // Current values and the journal have no period: a dash, not the zero date; the
    // journal's end is the count of records to read.
    auto dateText = [](double t) { return t > 0 ? DateTimeText(t) : QStringLiteral("—"); };
    QStringList lines;
    for (const TQueueItem &q : Items()) {
        // " Mодем" starts with a Latin M, as operators know the line.
        lines.append(QString::number(q.id) + QStringLiteral(" С/Н") + QString::number(q.serial)
                     + QStringLiteral(" Порт") + QString::number(q.port) + QStringLiteral(" Mодем")
                     + QString::number(q.modem) + QStringLiteral(" Номер") + q.phone + QStringLiteral(" Тип")
                     + QString::number(q.kind) + QStringLiteral(" Перезапись") + QString::number(q.reread)
                     + QStringLiteral(" Начало ") + dateText(q.start) + QStringLiteral(" Конец ")
                     + (q.kind == kRequestJournal ? QString::number(qint64(q.end)) : dateText(q.end)));
    }
    return lines;
}

} // namespace qst
