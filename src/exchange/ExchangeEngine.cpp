#include "ExchangeEngine.h"

#include "ExchangeClock.h"
#include "ExchangeTexts.h"
#include "ExchangeThread.h"
#include "LogSink.h"
#include "MeterHealth.h"
#include "MainThreadCalls.h"

#include "common/DayCount.h"

#include <QSet>
#include "common/StorageError.h"
#include "storage/GapScan.h"
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
    , m_health(std::make_unique<MeterHealth>(m_env.dataRoot))
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

void ExchangeEngine::PollStarted(int serial)
{
    // A manual read is a poll like a scheduled one: its failure counts in the meter's health.
    if (serial > 0 && serial <= 65535)
        m_health->PollQueued(static_cast<quint16>(serial), DayCountFromDateTime(m_clock->Now()));
}

void ExchangeEngine::ReadCurrentValues(int serial)
{
    m_queue.EnqueueRequest(serial, kRequestCurrent, 0, 0, false);
    PollStarted(serial);
}

QString ExchangeEngine::ReadHourly(int serial, const QDateTime &from, const QDateTime &to, bool reread)
{
    const QDateTime start = WholeSeconds(from);
    const QDateTime end = WholeSeconds(to);
    if (end < start)
        return kPeriodRefused;
    m_queue.EnqueueRequest(serial, kRequestCurrent, 0, 0, false);
    m_queue.EnqueueRequest(serial, kRequestHourly, DayCountFromDateTime(end), DayCountFromDateTime(start), reread);
    CollectionRequested(serial, GapKind::Hourly, DayCountFromDateTime(start));
    PollStarted(serial);
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
    CollectionRequested(serial, GapKind::Daily, start);
    PollStarted(serial);
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
    CollectionRequested(serial, GapKind::Monthly, start);
    PollStarted(serial);
    return {};
}

void ExchangeEngine::ReadJournal(int serial, int count)
{
    m_queue.EnqueueRequest(serial, kRequestCurrent, 0, 0, false);
    m_queue.EnqueueRequest(serial, kRequestJournal, count, 0, true);
    PollStarted(serial);
}

namespace {

// A gap run as the period of an archive request. The record of an interval is read at the
// position where the interval ends (the newest record is the one just completed); the walk's
// first position is one step after the start, and it stops at the first position not
// before the end.
std::pair<double, double> RunPeriod(GapKind kind, qint64 firstSlot, qint64 lastSlot)
{
    switch (kind) {
    case GapKind::Hourly:
        return {GapSlotTime(kind, firstSlot), GapSlotTime(kind, lastSlot + 1) + 1.0 / 48};
    case GapKind::Daily:
        return {GapSlotTime(kind, firstSlot), GapSlotTime(kind, lastSlot + 1) + 0.5};
    case GapKind::Monthly:
        return {GapSlotTime(kind, firstSlot + 1), GapSlotTime(kind, lastSlot + 2)};
    }
    return {0, 0};
}

} // namespace

int ExchangeEngine::QueueGapRequests(int serial, int days, bool uptoMarks)
{
    if (serial < 0 || serial > 65535)
        return 0;
    const quint16 serial16 = static_cast<quint16>(serial);
    const int meter = m_env.registry->FindMeterBySerialInt(serial);
    if (meter == 0)
        return 0;
    const QString section = MeterSection(meter);
    ProfileFile &ini = m_env.registry->file();
    const int port = static_cast<int>(ini.ReadInteger(section, reg::kCom, 0));
    const QDateTime now = m_clock->Now();
    const double nowDays = DayCountFromDateTime(now);
    const MeterStatus status = m_health->Read(serial16);
    int queued = 0;
    const struct
    {
        GapKind kind;
        int request;
        const QString &mark;
    } kinds[] = {{GapKind::Hourly, kRequestHourly, reg::kLastH},
        {GapKind::Daily, kRequestDaily, reg::kLastD},
        {GapKind::Monthly, kRequestMonthly, reg::kLastM}};
    for (const auto &k : kinds) {
        const int ring = status.ring[int(k.kind)] > 0 ? status.ring[int(k.kind)] : DefaultRingRecords(k.kind);
        // The newest record the calculator holds is that of the current hour, day or month;
        // only completed ones are looked for.
        const qint64 reference = GapSlotFloor(k.kind, nowDays);
        qint64 hi = reference - 1;
        if (uptoMarks) {
            const QDateTime mark = ini.ReadDateTime(section, k.mark, QDateTime());
            if (!mark.isValid())
                continue; // never read: the scheduled request reads from its default start
            hi = std::min(hi, GapSlotFloor(k.kind, DayCountFromDateTime(mark)) - 1);
        }
        // The record `ring` intervals before the current one is the oldest the ring holds.
        const qint64 oldestInRing = reference - ring;
        qint64 lo = days > 0 ? GapSlotCeil(k.kind, nowDays - days) : reference - 2 * qint64(ring) + 1;
        try {
            // Before collection began nothing is missing: it was never asked for.
            const double begins =
                GapsBeginAt(status.collectionStart[int(k.kind)], OldestRecordTime(m_env.dataRoot, serial16, k.kind));
            if (begins <= 0)
                continue;
            lo = std::max(lo, GapSlotCeil(k.kind, begins));
            if (hi < lo)
                continue;
            const QList<GapRun> runs =
                FindGaps(m_env.dataRoot, serial16, k.kind, GapSlotTime(k.kind, lo), GapSlotTime(k.kind, hi));
            double newestLost = 0;
            for (const GapRun &run : runs) {
                qint64 first = 0, last = 0;
                GapSlotOf(k.kind, run.first, &first);
                GapSlotOf(k.kind, run.last, &last);
                if (first < oldestInRing) {
                    const qint64 lostLast = std::min(last, oldestInRing - 1);
                    const double lostLastTime = GapSlotTime(k.kind, lostLast);
                    if (DayCountToMs(lostLastTime) > DayCountToMs(status.lostReported[int(k.kind)])) {
                        qint64 lostFirst = first;
                        qint64 reported = 0;
                        if (status.lostReported[int(k.kind)] > 0
                            && GapSlotOf(k.kind, status.lostReported[int(k.kind)], &reported))
                            lostFirst = std::max(first, reported + 1);
                        if (m_env.log) {
                            m_env.log->WriteLogLine(port,
                                FormatLogLine(now,
                                    texts::RecordsGone(texts::WordsOf(k.request), QString::number(serial),
                                        GapSlotTime(k.kind, lostFirst), lostLastTime)));
                        }
                        newestLost = std::max(newestLost, lostLastTime);
                    }
                    first = oldestInRing;
                }
                if (first > last)
                    continue;
                const auto [start, end] = RunPeriod(k.kind, first, last);
                const int before = m_queue.Size();
                m_queue.EnqueueRequest(serial, k.request, end, start, false, true);
                queued += m_queue.Size() - before;
            }
            if (newestLost > 0)
                m_health->ReportedLost(serial16, k.kind, newestLost);
        } catch (const StorageError &e) {
            if (m_env.log)
                m_env.log->WriteLogLine(port, FormatLogLine(now, e.message()));
        }
    }
    return queued;
}

int ExchangeEngine::FillGaps(int serial, int days)
{
    m_queue.EnqueueRequest(serial, kRequestCurrent, 0, 0, false);
    m_health->PollQueued(static_cast<quint16>(serial), DayCountFromDateTime(m_clock->Now()));
    return QueueGapRequests(serial, days, false);
}

void ExchangeEngine::CollectionRequested(int serial, GapKind kind, double start)
{
    if (serial >= 0 && serial <= 65535 && m_env.registry->FindMeterBySerialInt(serial) != 0)
        m_health->CollectionRequested(static_cast<quint16>(serial), kind, start);
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
    ProfileFile &ini = m_env.registry->file();
    // Every meter's serial and schedule from one look at the file: a tick over a thousand
    // meters stays within milliseconds.
    struct Scheduled
    {
        QString section;
        qint64 serial;
        QString schedule;
    };
    QList<Scheduled> meters;
    ini.Read([&](const ProfileFile::Reader &r) {
        for (int n : Registry::MeterNumbers(r)) {
            const QString section = MeterSection(n);
            const qint64 serial = r.ReadInteger(section, reg::kSerial, 0);
            if (serial != 0)
                meters.append({section, serial, r.ReadString(section, reg::kSchedule)});
        }
    });
    for (const Scheduled &m : std::as_const(meters)) {
        const QString &section = m.section;
        const qint64 serial = m.serial;
        const QStringList items = m.schedule.split(u'|');
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
        // The gap reads are queued first so that the ordinary periods are trimmed against
        // them (a run that ends at a mark keeps its last record), then moved behind them.
        QSet<quint32> before;
        for (const TQueueItem &q : m_queue.Items())
            before.insert(q.id);
        QueueGapRequests(s, 0, true);
        QList<quint32> gapIds;
        for (const TQueueItem &q : m_queue.Items()) {
            if (!before.contains(q.id))
                gapIds.append(q.id);
        }
        m_queue.EnqueueRequest(s, kRequestCurrent, 0, 0, false);
        m_queue.EnqueueRequest(s, kRequestHourly, nowDays, lastH, false);
        m_queue.EnqueueRequest(s, kRequestDaily, nowDays, lastD, false);
        m_queue.EnqueueRequest(s, kRequestMonthly, nowDays, lastM, false);
        CollectionRequested(s, GapKind::Hourly, lastH);
        CollectionRequested(s, GapKind::Daily, lastD);
        CollectionRequested(s, GapKind::Monthly, lastM);
        m_queue.EnqueueRequest(s, kRequestJournal, 0, lastJ, false);
        m_queue.MoveBehindMeter(s, gapIds);
        m_health->PollQueued(static_cast<quint16>(s), nowDays);
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
    // Threads are stopped first and started last, with the health file written between:
    // a thread never waits on a callback while the main thread writes it.
    for (int p = 1; p <= kPortCount; ++p) {
        auto it = std::find_if(m_threads.begin(), m_threads.end(), [p](TExchangeThread *t) { return t->port() == p; });
        if (it != m_threads.end() && !wanted[p]) {
            TExchangeThread *thread = *it;
            thread->RequestStop();
            m_calls->WaitFor(thread);
            m_threads.erase(std::find(m_threads.begin(), m_threads.end(), thread));
            delete thread;
        }
    }
    m_health->Flush();
    for (int p = 1; p <= kPortCount; ++p) {
        if (wanted[p] && !HasThreadFor(p)) {
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
    m_health->Flush();
}

} // namespace qst
