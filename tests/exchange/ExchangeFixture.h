#pragma once

#include "common/DayCount.h"
#include "exchange/ExchangeClock.h"
#include "exchange/ExchangeEngine.h"
#include "exchange/LogSink.h"
#include "link/FakeSerialPort.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"
#include "support/TempDataRoot.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <mutex>

namespace qst::test {

// Wall clock and tick on one virtual timeline: sleeping advances it at once.
class VirtualClock final : public ExchangeClock
{
public:
    explicit VirtualClock(QDateTime start = QDateTime(QDate(2026, 12, 10), QTime(14, 37)))
        : m_start(start)
    {
    }
    QDateTime Now() override { return m_start.addMSecs(m_link.Tick()); }
    quint32 Tick() override { return m_link.Tick(); }
    void Sleep(int ms) override { m_link.Sleep(ms); }
    FakeLinkClock &link() { return m_link; }
    void SetNow(const QDateTime &now) { m_start = now.addMSecs(-qint64(m_link.Tick())); }

private:
    QDateTime m_start;
    FakeLinkClock m_link;
};

class RecordingLog final : public LogSink
{
public:
    void WriteLogLine(int port, const QString &line) override
    {
        std::lock_guard lock(m_mutex);
        m_lines.append(QStringLiteral("%1 %2").arg(port).arg(line.mid(line.indexOf(QStringLiteral("] ")) + 2)));
    }
    QStringList lines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_lines;
};

inline int AddTestMeter(Registry &registry, int serial, int port, bool modem = false, const QString &phone = {},
                        int address = 1)
{
    MeterRecord m;
    m.name = QStringLiteral("Meter %1").arg(serial);
    m.serial = QString::number(serial);
    m.address = QString::number(address);
    m.port = port;
    m.modem = modem;
    m.modemNumber = phone;
    return AddMeter(registry, 0, m);
}

inline double Day(int y, int mo, int d, int h = 0, int mi = 0)
{
    return DayCountFromParts(QDate(y, mo, d), QTime(h, mi));
}

// Runs until `done` or until `ms` of real time passed, serving the engine's callbacks.
template <typename Done>
bool SpinUntil(Done done, int ms = 20000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace qst::test
