#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <mutex>

namespace qst {

class Registry;

enum RequestKind {
    kRequestCurrent = 0,
    kRequestHourly = 1,
    kRequestDaily = 2,
    kRequestMonthly = 3,
    kRequestJournal = 4,
};

// One poll request.
struct TQueueItem
{
    quint32 id = 0;       // 1..1001, unique in the queue (beyond 1001 only while more are queued)
    int port = 0;         // the meter's Com
    quint8 modem = 0;     // 1 when the meter is reached by modem
    QString phone;        // the meter's ModemNum
    int serial = 0;
    int kind = kRequestCurrent;
    quint8 reread = 0;
    double start = 0;     // day count (kinds 1..3)
    double end = 0;       // day count (kinds 1..3); the entry count for the journal
    int version = 0;      // 0 until learned
    int snapshot = 0;     // only in an exchange thread's private copy
};

// The queue of poll requests. Changed on the main thread only; exchange threads read it
// one request at a time, and a read never interleaves with a change.
class PollQueue
{
public:
    explicit PollQueue(Registry &registry);

    // Adds a request for the registered meter with this serial, trimmed against the
    // periods already queued; declines silently (empty period, unknown meter).
    // afterMeter: placed directly behind the meter's last queued request (the gap reads,
    // which wait for the meter's ordinary requests) instead of by connection.
    void EnqueueRequest(int serial, int kind, double end, double start, bool reread, bool afterMeter = false);
    // Moves these requests, in their order, directly behind the meter's last other request.
    void MoveBehindMeter(int serial, const QList<quint32> &ids);
    void RemoveRequest(quint32 id);
    void SetMeterVersion(quint32 id, int version);
    // The modem requests that call this number.
    void RemoveConnectionRequests(const QString &phone);
    // The stop button: every request of the meter.
    void RemoveMeterRequests(int serial);
    void Clear();

    int Size() const;
    // Copies request i; false when the queue has become shorter.
    bool CopyAt(int i, TQueueItem *item) const;
    QList<TQueueItem> Items() const;
    bool WantsPort(int port) const;
    bool Contains(quint32 id) const;

    // One line per request for the queue page.
    QStringList Lines() const;

private:
    Registry &m_registry;
    mutable std::mutex m_mutex;
    QList<TQueueItem> m_items;
};

} // namespace qst
