#include "ExchangeEngine.h"

#include "ExchangeClock.h"
#include "ExchangeThread.h"
#include "MainThreadCalls.h"

#include "common/DayCount.h"
#include "registry/Registry.h"
#include "storage/RecordWriters.h"

namespace qst {

namespace {

const QString kPeriodRefused = QStringLiteral("Дата начала должна быть меньше даты конца периода!");

int SecondsOfDay(const QDateTime &t)
{
    return t.time().hour() * 3600 + t.time().minute() * 60 + t.time().second();
}

QDateTime WholeSeconds(const QDateTime &t)
{
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute(), t.time().second()));
}

} // namespace

ExchangeEngine::ExchangeEngine(ExchangeEnvironment environment, QObject *parent)
    : QObject(parent)
    , m_env(std::move(environment))
    , m_clock(m_env.clock ? m_env.clock : &SystemExchangeClock())
    , m_queue(*m_env.registry)
    , m_calls(std::make_unique<MainThreadCalls>())
{
}

ExchangeEngine::~ExchangeEngine()
{
    Shutdown();
}

std::mutex &ExchangeEngine::PortLock(int port)
{
    return m_portLocks[std::clamp(port, 0, kPortCount)];
}

void ExchangeEngine::ReadCurrentValues(int serial)
{
    m_queue.EnqueueRequest(serial, kRequestCurrent, 0, 0, false);
}

QString ExchangeEngine::ReadHourly(int serial, const QDateTime &from, const QDateTime &to, bool reread)
{
    const QDateTime start = WholeSeconds(from);
    const QDateTime end = WholeSeconds(to);
    if (end < start)
        return kPeriodRefused;
    m_queue.EnqueueRequest(serial, kRequestCurrent, 0, 0, false);
    m_queue.EnqueueRequest(serial, kRequestHourly, DayCountFromDateTime(end), DayCountFromDateTime(start), reread);
    return {};
}

QString ExchangeEngine::ReadDaily(int serial, const QDate &from, const QDate &to, bool reread)
{
    const double start = DayCountFromParts(from, QTime(0, 0));
    const double end = DayCountFromParts(to, QTime(23, 59, 59));
    if (end < start)
        return kPeriodRefused;
    m_queue.EnqueueRequest(serial, kRequestCurrent, 0, 0, false);
    m_queue.EnqueueRequest(serial, kRequestDaily, end, start, reread);
    return {};
}

QString ExchangeEngine::ReadMonthly(int serial, const QDate &from, const QDate &to, bool reread)
{
    const double start = DayCountFromParts(from, QTime(0, 0));
    const double end = DayCountFromParts(to, QTime(23, 59, 59));
    if (end < start)
        return kPeriodRefused;
    m_queue.EnqueueRequest(serial, kRequestCurrent, 0, 0, false);
    m_queue.EnqueueRequest(serial, kRequestMonthly, end, start, reread);
    return {};
}

void ExchangeEngine::ReadJournal(int serial, int count)
{
    m_queue.EnqueueRequest(serial, kRequestCurrent, 0, 0, false);
    m_queue.EnqueueRequest(serial, kRequestJournal, count, 0, true);
}

void ExchangeEngine::StopMeter(int serial)
{
    m_queue.RemoveMeterRequests(serial);
}

QStringList ExchangeEngine::QueueLines() const
{
    return m_queue.Lines();
}

void ExchangeEngine::ScheduleTick()
{
    const QDateTime now = m_clock->Now();
    const double nowDays = DayCountFromDateTime(now);
    if (m_lastScheduleCheck < 100) {
        m_lastScheduleCheck = nowDays;
        return;
    }
    const int tLast = SecondsOfDay(DateTimeFromDayCount(m_lastScheduleCheck));
    const int tNow = SecondsOfDay(now);
    Registry &registry = *m_env.registry;
    ProfileFile &ini = registry.file();
    for (int n : registry.MeterNumbers()) {
        const QString section = MeterSection(n);
        const qint64 serial = ini.ReadInteger(section, reg::kSerial, 0);
        if (serial == 0)
            continue;
        const QStringList items = ini.ReadString(section, reg::kSchedule).split(u'|');
        bool due = false;
        // Every item is the text before a "|"; the text after the last one is none.
        for (qsizetype i = 0; i + 1 < items.size() && !due; ++i) {
            bool hourOk = false, minuteOk = false;
            const int hours = items[i].mid(0, 2).toInt(&hourOk);
            const int minutes = items[i].mid(3, 2).toInt(&minuteOk);
            if (!hourOk || !minuteOk)
                continue;
            const int z = hours * 3600 + minutes * 60;
            due = (z == 0 && tLast > tNow) || (tLast < z && z <= tNow);
        }
        if (!due)
            continue;
        // A mark past the clock and a day (left by a damaged record) is an impossible date
        // and reads as missing: kept, it would make every scheduled period empty.
        auto mark = [&](const QString &key, const QDateTime &fallback) {
            const double value = DayCountFromDateTime(ini.ReadDateTime(section, key, fallback));
            return BeyondLatestPossible(value, now) ? DayCountFromDateTime(fallback) : value;
        };
        const double lastJ = mark(reg::kLastJ, now.addDays(-1));
        const double lastH = mark(reg::kLastH, now.addSecs(-3600));
        const double lastD = mark(reg::kLastD, now.addDays(-1));
        const double lastM = mark(reg::kLastM, now.addDays(-31));
        const int s = static_cast<int>(serial);
        m_queue.EnqueueRequest(s, kRequestCurrent, 0, 0, false);
        m_queue.EnqueueRequest(s, kRequestHourly, nowDays, lastH, false);
        m_queue.EnqueueRequest(s, kRequestDaily, nowDays, lastD, false);
        m_queue.EnqueueRequest(s, kRequestMonthly, nowDays, lastM, false);
        m_queue.EnqueueRequest(s, kRequestJournal, 0, lastJ, false);
    }
    m_lastScheduleCheck = nowDays;
}

void ExchangeEngine::SuperviseTick()
{
    if (m_shutDown)
        return;
    m_calls->RunPending();
    bool wanted[kPortCount + 1] = {};
    for (const TQueueItem &q : m_queue.Items()) {
        if (q.port >= 1 && q.port <= kPortCount)
            wanted[q.port] = true;
    }
    for (int p = 1; p <= kPortCount; ++p) {
        auto it = std::find_if(m_threads.begin(), m_threads.end(), [p](TExchangeThread *t) { return t->port() == p; });
        const bool running = it != m_threads.end();
        if (running && !wanted[p]) {
            TExchangeThread *thread = *it;
            thread->RequestStop();
            m_calls->WaitFor(thread);
            m_threads.erase(std::find(m_threads.begin(), m_threads.end(), thread));
            delete thread;
        } else if (!running && wanted[p]) {
            auto *thread = new TExchangeThread(p, *this);
            m_threads.push_back(thread);
            thread->start();
        }
    }
}

bool ExchangeEngine::HasThreadFor(int port) const
{
    return std::any_of(m_threads.begin(), m_threads.end(), [port](TExchangeThread *t) { return t->port() == port; });
}

int ExchangeEngine::ThreadCount() const
{
    return static_cast<int>(m_threads.size());
}

bool ExchangeEngine::PortInUse(int port) const
{
    return std::any_of(m_threads.begin(), m_threads.end(),
                       [port](TExchangeThread *t) { return t->port() == port && t->PortOpen(); });
}

void ExchangeEngine::Shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    m_queue.Clear();
    for (TExchangeThread *thread : m_threads)
        thread->RequestStop();
    while (!m_threads.empty()) {
        TExchangeThread *thread = m_threads.back();
        m_calls->WaitFor(thread);
        m_threads.pop_back();
        delete thread;
    }
}

} // namespace qst
