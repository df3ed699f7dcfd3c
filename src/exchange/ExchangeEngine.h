#pragma once

#include "exchange/PollQueue.h"
#include "storage/GapScan.h"

#include <QDate>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace qst {

class ExchangeClock;
class LogSink;
class MeterHealth;
class MainThreadCalls;
class Registry;
class SerialPort;
class TExchangeThread;

constexpr int kPortCount = 64;

// What the engine needs from its host: the data root, the registry, where log lines go,
// the clock, and how a port number becomes a serial port (the real one by default).
struct ExchangeEnvironment
{
    QString dataRoot;
    Registry *registry = nullptr;
    LogSink *log = nullptr;
    ExchangeClock *clock = nullptr; // null: the system clock
    std::function<std::unique_ptr<SerialPort>(int port)> makePort; // empty: QtSerialPortLink
};

// The exchange engine as its host application drives it: the poll queue, the read
// commands, the schedule (Timer2, every 5000 ms), the supervisor (Timer3, every 1000 ms)
// that keeps one exchange thread per port with requests, the queue page's lines (Timer1)
// and the shutdown. Lives on the main thread; every call below is made there.
class ExchangeEngine : public QObject
{
    Q_OBJECT

public:
    explicit ExchangeEngine(ExchangeEnvironment environment, QObject *parent = nullptr);
    ~ExchangeEngine() override; // shuts down

    PollQueue &queue() { return m_queue; }

    // Read commands of the meter pages, for the meter with this serial. The archive
    // commands return the message to show when the period is refused, else empty text.
    void ReadCurrentValues(int serial);
    QString ReadHourly(int serial, const QDateTime &from, const QDateTime &to, bool reread);
    QString ReadDaily(int serial, const QDate &from, const QDate &to, bool reread);
    QString ReadMonthly(int serial, const QDate &from, const QDate &to, bool reread);
    void ReadJournal(int serial, int count);
    // Queues reads of the meter's missing archive records still in the calculator's rings,
    // one request per run, overwrite off, behind the meter's other requests. days > 0 looks
    // that far back, else twice the ring's reach; runs the ring no longer holds are logged
    // once. uptoMarks: only records before the last-read marks (the rest is the scheduled
    // poll's own). Returns the number of requests queued.
    int QueueGapRequests(int serial, int days, bool uptoMarks);
    // "Дочитать пропуски": current values and the gap reads, now.
    int FillGaps(int serial, int days);
    MeterHealth &health() { return *m_health; }
    // The stop button: drops the meter's queued requests.
    void StopMeter(int serial);

    // Timer1: the queue page's text, one line per request.
    QStringList QueueLines() const;
    // Timer2: queues the scheduled polls whose time the clock has passed.
    void ScheduleTick();
    // Timer3: starts a thread for every port with requests, stops those of ports without.
    void SuperviseTick();

    bool HasThreadFor(int port) const;
    int ThreadCount() const;
    // True while an exchange thread has the port open (the modem set-up refuses it then).
    bool PortInUse(int port) const;

    // Frees the queue, stops every thread and waits for each (their callbacks still run),
    // last to first. Idempotent; the destructor calls it.
    void Shutdown();

    // Port locks, held by a thread while it serves one request on the port.
    std::mutex &PortLock(int port);

private:
    friend class TExchangeThread;

    void PollStarted(int serial);
    // Remembers where collection of a kind began (the meter's health file).
    void CollectionRequested(int serial, GapKind kind, double start);

    ExchangeEnvironment m_env;
    ExchangeClock *m_clock;
    PollQueue m_queue;
    std::unique_ptr<MainThreadCalls> m_calls;
    std::unique_ptr<MeterHealth> m_health;
    std::vector<TExchangeThread *> m_threads;
    std::mutex m_portLocks[kPortCount + 1];
    double m_lastScheduleCheck = 0;
    bool m_shutDown = false;
};

} // namespace qst
