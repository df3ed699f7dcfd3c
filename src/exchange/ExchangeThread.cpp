#include "ExchangeThread.h"

#include "MeterHealth.h"

#include "ArchiveWalk.h"
#include "ExchangeClock.h"
#include "ExchangeEngine.h"
#include "ExchangeTexts.h"
#include "LogSink.h"
#include "MainThreadCalls.h"
#include "ModemDialing.h"

#include "common/DayCount.h"
#include "common/StorageError.h"
#include "link/DeviceReaders.h"
#include "link/ModbusRtu.h"
#include "link/PortLinks.h"
#include "registry/Registry.h"
#include "storage/JournalDecoder.h"
#include "storage/RecordWriters.h"

#include <cmath>

namespace qst {

namespace {

constexpr int kWaitMs = 2000;
constexpr quint32 kModemIdleMs = 20000;

// Consecutive failed reads after which a journal request gives up: without ring parameters
// the journal has no end, and the port's other meters wait.
constexpr int kJournalFailureLimit = 5;
// Scheduled runs that read again past stored entries for positions that failed earlier.
constexpr int kJournalRetryRuns = 3;

QString OpenFailedText(int code, const QString &reason)
{
    return texts::kPortOpenFailed + QString::number(code) + (reason.isEmpty() ? QString() : u' ' + reason);
}

} // namespace

TExchangeThread::TExchangeThread(int port, ExchangeEngine &engine)
    : m_port(port)
    , m_engine(engine)
{
}

TExchangeThread::~TExchangeThread()
{
    RequestStop();
    wait();
}

void TExchangeThread::Log(const QString &text)
{
    const QString line = FormatLogLine(m_engine.m_clock->Now(), text);
    LogSink *sink = m_engine.m_env.log;
    const int port = m_port;
    if (sink)
        m_engine.m_calls->Call([sink, port, line] { sink->WriteLogLine(port, line); });
}

void TExchangeThread::ReportDone(const TQueueItem &request)
{
    const quint32 id = request.id;
    PollQueue *queue = &m_engine.m_queue;
    m_engine.m_calls->Call([queue, id] { queue->RemoveRequest(id); });
}

bool TExchangeThread::SleepUnlessStopped(int ms)
{
    LinkClock &clock = *m_engine.m_clock;
    for (int left = ms; left > 0 && !m_stop; left -= 50)
        clock.Sleep(std::min(left, 50));
    return !m_stop;
}

void TExchangeThread::HangUp()
{
    m_serial->SetLineParams(kSpeed9600, kFormat8N1);
    HangUpModem(*m_serial, *m_engine.m_clock, [this](const QString &t) { Log(t); });
    m_phone.clear();
    m_connected = false;
}

void TExchangeThread::run()
{
    ExchangeClock &clock = *m_engine.m_clock;
    m_serial = m_engine.m_env.makePort ? m_engine.m_env.makePort(m_port) : MakePortLink(m_port, m_engine.m_env.dataRoot);
    // A network link reconnects by itself; its attempts are logged as the first opening is.
    m_serial->SetReopenReport([this](int code, const QString &reason) {
        Log(code < 0 ? OpenFailedText(code, reason) : texts::kPortOpened);
    });
    m_serial->SetForeignAnswerReport([this](quint8 asked, quint8 answered) { Log(texts::ForeignAnswer(asked, answered)); });
    // A stop ends the transaction in progress: a dropped request never waits for its answer.
    m_serial->SetAbortFlag(&m_stop);
    for (;;) {
        const int opened = m_serial->OpenPort();
        if (opened >= 0)
            break;
        const QString failure = OpenFailedText(opened, m_serial->errorText());
        Log(failure);
        // The meters waiting on a port that will not open are not answering either.
        TQueueItem waiting;
        for (int i = 0; m_engine.m_queue.CopyAt(i, &waiting); ++i) {
            if (waiting.port == m_port && waiting.serial > 0 && waiting.serial <= 65535)
                Health().Failed(static_cast<quint16>(waiting.serial), NowDays(), failure);
        }
        if (!SleepUnlessStopped(5000)) {
            m_serial.reset();
            return;
        }
    }
    m_serial->SetLineParams(kSpeed19200, kFormat8N1);
    m_serial->SetLineParams(kSpeed9600, kFormat8N1);
    m_serial->SetLineA(0);
    m_serial->SetLineB(1);
    m_portOpen = true;
    Log(texts::kPortOpened);

    while (!m_stop) {
        if (m_connected && clock.Tick() - m_lastModemActivity > kModemIdleMs)
            HangUp();
        TQueueItem request;
        for (int i = 0; !m_stop && m_engine.m_queue.CopyAt(i, &request); ++i)
            Serve(request);
        clock.Sleep(50);
    }

    if (m_connected)
        HangUp();
    m_serial->SetLineA(0);
    m_serial->SetLineB(0);
    m_serial->ClosePort();
    m_portOpen = false;
    m_serial.reset();
    Log(texts::kPortClosed);
}

MeterHealth &TExchangeThread::Health()
{
    return m_engine.health();
}

double TExchangeThread::NowDays() const
{
    return DayCountFromDateTime(m_engine.m_clock->Now());
}

void TExchangeThread::Serve(TQueueItem &request)
{
    if (request.port != m_port)
        return;
    request.snapshot = 0;
    if (request.modem) {
        if (!(m_connected && m_phone == request.phone)) {
            m_serial->SetLineParams(kSpeed9600, kFormat8N1);
            if (m_connected)
                HangUp();
            QString dialFailure;
            if (!DialModem(*m_serial, *m_engine.m_clock, request.phone, [&](const QString &t) {
                    dialFailure = t;
                    Log(t);
                })) {
                Health().Failed(static_cast<quint16>(request.serial), NowDays(), dialFailure);
                const QString phone = request.phone;
                PollQueue *queue = &m_engine.m_queue;
                m_engine.m_calls->Call([queue, phone] { queue->RemoveConnectionRequests(phone); });
                return;
            }
            m_connected = true;
            m_phone = request.phone;
        }
        m_lastModemActivity = m_engine.m_clock->Tick();
    } else {
        m_serial->SetLineParams(kSpeed19200, kFormat8N1);
    }

    std::lock_guard portLock(m_engine.PortLock(m_port));
    ServeLocked(request);
}

void TExchangeThread::ServeLocked(TQueueItem &request)
{
    Registry &registry = *m_engine.m_env.registry;
    const QString serialText = QString::number(request.serial);
    const quint8 lineState = request.modem ? 1 : 0;
    LinkClock &clock = *m_engine.m_clock;

    // The meter's address; without a matching section the previous request's address.
    const int max = registry.MaxMeterNumber();
    for (int n = 1; n <= max; ++n) {
        if (registry.file().ReadInteger(MeterSection(n), reg::kSerial, 0) == request.serial) {
            m_address = static_cast<int>(registry.file().ReadInteger(MeterSection(n), reg::kAddress, 0));
            break;
        }
    }
    const quint8 address = static_cast<quint8>(m_address);

    quint16 serialRead = 0;
    const int serialResult = ReadSerialNumber(address, *m_serial, kWaitMs, lineState, &serialRead, clock);
    if (serialResult != kLinkOk && m_stop)
        return; // cut short by the stop: no fault of the meter
    if (serialResult != kLinkOk) {
        Log(texts::kSerialReadFailed + QString::number(serialResult));
        Health().Failed(static_cast<quint16>(request.serial), NowDays(),
            texts::kSerialReadFailed + QString::number(serialResult));
        ReportDone(request);
        return;
    }
    if (serialRead != request.serial) {
        Log(texts::kSerialMismatchA + QString::number(serialRead) + texts::kSerialMismatchB + serialText + u')');
        Health().Failed(static_cast<quint16>(request.serial), NowDays(),
            texts::kSerialMismatchA + QString::number(serialRead) + texts::kSerialMismatchB + serialText + u')');
        ReportDone(request);
        return;
    }
    Log(texts::kSerialChecked);
    Health().Answered(static_cast<quint16>(request.serial), NowDays());

    if (request.version == 0) {
        bool snapshot = false;
        const int version = ReadDeviceId(address, *m_serial, kWaitMs, lineState, &snapshot, clock);
        if (version < 1) {
            Log(texts::kVersionFailed + serialText + texts::kErrorCode + QString::number(version));
            ReportDone(request);
            return;
        }
        const quint32 id = request.id;
        PollQueue *queue = &m_engine.m_queue;
        m_engine.m_calls->Call([queue, id, version] { queue->SetMeterVersion(id, version); });
        request.version = version;
        m_snapshotFlag = snapshot;
    }
    if (request.version != 1 && request.version != 2) {
        // No reader knows this calculator; keeping its requests would retry them forever.
        Log(texts::UnsupportedVersion(serialText, request.version));
        ReportDone(request);
        return;
    }

    try {
        switch (request.kind) {
        case kRequestCurrent:
            ReadCurrent(request);
            break;
        case kRequestHourly:
        case kRequestDaily:
        case kRequestMonthly:
            ReadArchive(request);
            break;
        case kRequestJournal:
            ReadJournal(request);
            break;
        default:
            ReportDone(request);
            break;
        }
    } catch (const StorageError &e) {
        // A file that cannot be written ends the request; the thread goes on.
        Log(texts::SaveFailed(serialText, e.message()));
        ReportDone(request);
    } catch (const std::exception &e) {
        Log(texts::SaveFailed(serialText, QString::fromLocal8Bit(e.what())));
        ReportDone(request);
    }
}

void TExchangeThread::ReadCurrent(const TQueueItem &request)
{
    const QString serialText = QString::number(request.serial);
    const quint8 lineState = request.modem ? 1 : 0;
    CurrentValues values;
    const int result = request.version == 1
        ? ReadCurrentV1(static_cast<quint8>(m_address), *m_serial, kWaitMs, lineState, &values, *m_engine.m_clock)
        : ReadCurrentV2(static_cast<quint8>(m_address), *m_serial, kWaitMs, lineState, &values, *m_engine.m_clock);
    if (result != kLinkOk) {
        // The request stays queued and is tried again on the next pass.
        Log(texts::kCurrentReadFailed + serialText + texts::kErrorCode + QString::number(result));
        return;
    }
    Log(texts::kCurrentRead + serialText + texts::kCurrentReadDone);
    const StorageTarget target{m_engine.m_env.dataRoot, m_engine.m_env.registry};
    SaveCurrentValues(target, request.version, static_cast<quint16>(request.serial), true, values);
    ReportDone(request);
}

void TExchangeThread::ReadArchive(const TQueueItem &request)
{
    const QString serialText = QString::number(request.serial);
    const quint16 serial16 = static_cast<quint16>(request.serial);
    const quint8 lineState = request.modem ? 1 : 0;
    const quint8 address = static_cast<quint8>(m_address);
    ExchangeClock &clock = *m_engine.m_clock;
    const texts::ArchiveWords &words = texts::WordsOf(request.kind);

    int archiveKind = kArchiveHourly;
    int pa = 2, pb = 1, pc = 0; // indexes of a, b, c in P
    if (request.kind == kRequestDaily) {
        archiveKind = kArchiveDaily;
        pa = 5, pb = 4, pc = 3;
    } else if (request.kind == kRequestMonthly) {
        archiveKind = kArchiveMonthly;
        pa = 8, pb = 7, pc = 6;
    }
    ArchiveWalk walk(request.kind, request.start, request.end, DayCountFromDateTime(clock.Now()));
    // Once a record of this request could not be stored, later ones are stored without
    // moving the mark: the next scheduled poll starts at the hole and fills it.
    bool hole = false;
    int kept = 0; // read again but already stored: the operator learns what a re-read cost

    for (bool first = true; !m_stop && !walk.AtEnd(); first = false) {
        // The stop button took the request away: the other meters of the port come first.
        if (!first && !m_engine.m_queue.Contains(request.id))
            break;
        qint16 P[kArchiveParamCount] = {};
        const int params = ReadArchiveParams(address, *m_serial, kWaitMs, lineState, P, clock);
        if (params != kLinkOk) {
            Log(texts::kParamsFailed + serialText + texts::kErrorCode + QString::number(params));
            walk.Step();
            PauseBetweenRequests(*m_serial, clock);
            continue;
        }
        const int count = ArchiveRecordCount(P[pa], P[pb], P[pc]);
        if (count > 0) {
            const GapKind gapKind = request.kind == kRequestHourly ? GapKind::Hourly
                : request.kind == kRequestDaily                    ? GapKind::Daily
                                                                   : GapKind::Monthly;
            Health().LearnRing(serial16, gapKind, count);
        }
        if (count <= 0) {
            Log(words.empty + serialText + texts::kEmpty);
            break;
        }
        if (walk.Back() < 0)
            break; // the newest record is behind this position: nothing more to read yet
        if (walk.Back() >= count) {
            // The ring no longer holds these: go on from the oldest record it keeps.
            const double firstLost = walk.Position();
            double lastLost = firstLost;
            while (!walk.AtEnd() && walk.Back() >= count) {
                lastLost = walk.Position();
                walk.Step();
            }
            Log(texts::RecordsGone(words, serialText, firstLost, lastLost));
            continue;
        }
        const int back = static_cast<int>(walk.Back());
        const int slot = ArchiveRecordIndex(P[pa], P[pb], P[pc], back);
        ArchiveValues values;
        TotalsSnapshot snapshot;
        bool snapshotFilled = false;
        int result = request.version == 1
            ? ReadArchiveRecordV1(address, archiveKind, slot, *m_serial, kWaitMs, lineState, &values, clock)
            : ReadArchiveRecordV2(address, archiveKind, slot, *m_serial, kWaitMs, lineState, &values, &snapshot,
                                  &snapshotFilled, clock);
        const QDateTime now = clock.Now();
        if (result == kLinkOk && BeyondLatestPossible(values.time, now))
            result = kLinkImpossibleDate;
        const QString backText = QString::number(back);
        if (result < 1) {
            Log(words.readFailed + serialText + texts::kAtOffset + backText + texts::kLowerErrorCode
                + QString::number(result));
        } else if (result == kLinkOk) {
            Log(words.readDone + serialText + texts::kAtOffset + backText + texts::kReadDone);
            const StorageTarget target{m_engine.m_env.dataRoot, m_engine.m_env.registry, now};
            try {
                if (!SaveArchiveLine(target, request.version, serial16, request.reread, 0, archiveKind, values, !hole))
                    ++kept;
                if (request.kind == kRequestDaily && request.version == 2 && m_snapshotFlag && snapshotFilled)
                    SaveCurrentSnapshot(target, serial16, request.reread, snapshot, values.time + 1);
            } catch (const StorageError &e) {
                // One record that cannot be stored does not end the period.
                hole = true;
                Log(texts::SaveFailed(serialText, e.message()));
            }
        } else {
            Log(words.missing + serialText + texts::kAtOffset + backText + texts::kMissing);
        }
        walk.Step();
        PauseBetweenRequests(*m_serial, clock);
    }
    if (kept > 0)
        Log(texts::RecordsKept(serialText, kept));
    ReportDone(request);
}

void TExchangeThread::ReadJournal(const TQueueItem &request)
{
    const QString serialText = QString::number(request.serial);
    const quint8 lineState = request.modem ? 1 : 0;
    const quint8 address = static_cast<quint8>(m_address);
    ExchangeClock &clock = *m_engine.m_clock;

    const quint16 serial16 = static_cast<quint16>(request.serial);
    // An earlier run's failed positions lie at most `depth` positions past the first stored
    // entry met now (new entries only push them further back): walk that far before stopping.
    const MeterStatus before = Health().Read(serial16);
    const int depth = request.reread ? 0 : before.journalDepth;
    int firstStored = -1;
    bool anyFailed = false;
    bool covered = false; // the walk went as far as it had to
    int n = 0;
    int failures = 0;
    for (; !m_stop && (request.end < 0.5 || n < request.end); ++n) {
        // The stop button took the request away: the other meters of the port come first.
        if (n > 0 && !m_engine.m_queue.Contains(request.id))
            break;
        if (failures >= kJournalFailureLimit) {
            Log(texts::JournalGivenUp(serialText, failures));
            break;
        }
        qint16 P[kArchiveParamCount] = {};
        const int params = ReadArchiveParams(address, *m_serial, kWaitMs, lineState, P, clock);
        if (params != kLinkOk) {
            ++failures;
            anyFailed = true; // this position goes unread
            Log(texts::kParamsFailed + serialText + texts::kErrorCode + QString::number(params));
        } else {
            const int slot = JournalRecordIndex(P[9], P[10], P[11], n);
            if (slot < 0) {
                Log(texts::kJournalEmpty + serialText + texts::kEmpty);
                covered = true;
                break;
            }
            JournalEntryRaw raw;
            const int result = ReadJournalRecord(address, slot, *m_serial, kWaitMs, lineState, &raw, clock);
            failures = result < 1 ? failures + 1 : 0;
            anyFailed = anyFailed || result < 1;
            if (result < 1) {
                Log(texts::kJournalReadFailed + serialText + texts::kAtOffset + QString::number(n)
                    + texts::kLowerErrorCode + QString::number(result));
            } else if (result == kLinkNoRecord) {
                Log(texts::kJournalEnd + serialText);
                covered = true;
                break;
            } else {
                Log(texts::kJournalRead + serialText + texts::kAtOffset + QString::number(n) + texts::kReadDone);
                JournalDecodeStruct decoded;
                if (DecodeJournal(request.version, decoded, raw)) {
                    const StorageTarget target{m_engine.m_env.dataRoot, m_engine.m_env.registry, clock.Now()};
                    const bool stored =
                        SaveJournalLine(target, static_cast<quint16>(request.serial), 0, decoded.date,
                                        decoded.dateTime, decoded.recordText, decoded.oldValue, decoded.newValue);
                    if (stored && !request.reread) {
                        if (firstStored < 0)
                            firstStored = n;
                        if (n >= firstStored + depth) {
                            covered = true;
                            break;
                        }
                    }
                }
            }
        }
        PauseBetweenRequests(*m_serial, clock);
    }
    if (!m_stop && request.end < 0.5 && !request.reread) {
        if (anyFailed) {
            // Bounded: a position that never reads must not make every run walk the journal.
            const int runs = depth > 0 ? before.journalRetries + 1 : 1;
            if (runs > kJournalRetryRuns) {
                Log(texts::JournalRetriesGivenUp(serialText, runs - 1));
                Health().SetJournalRetry(serial16, 0, 0);
            } else {
                Health().SetJournalRetry(serial16, std::max(n, depth), runs);
            }
        } else if (covered && depth > 0) {
            Health().SetJournalRetry(serial16, 0, 0);
        }
    }
    ReportDone(request);
}

} // namespace qst
