#include "link/FakeSerialPort.h"

#include <algorithm>

namespace qst {

FakeSerialPort::FakeSerialPort(FakeLinkClock &clock)
    : m_clock(clock)
{
}

QList<int> FakeSerialPort::Spaced(qsizetype count, int delayMs, int gapMs)
{
    QList<int> delays;
    for (qsizetype i = 0; i < count; ++i)
        delays.append(delayMs + static_cast<int>(i) * gapMs);
    return delays;
}

void FakeSerialPort::AddAnswer(const QByteArray &bytes, int delayMs, int gapMs)
{
    m_script.append(Answer { bytes, Spaced(bytes.size(), delayMs, gapMs) });
}

void FakeSerialPort::SetResponder(Responder responder, int delayMs, int gapMs)
{
    m_responder = std::move(responder);
    m_responderDelayMs = delayMs;
    m_responderGapMs = gapMs;
}

void FakeSerialPort::AddTimedAnswer(const QByteArray &bytes, const QList<int> &delaysMs)
{
    m_script.append(Answer { bytes, delaysMs });
}

void FakeSerialPort::AddSilence()
{
    m_script.append(Answer {});
}

void FakeSerialPort::Inject(const QByteArray &bytes, int delayMs)
{
    Schedule(bytes, QList<int>(bytes.size(), delayMs));
}

void FakeSerialPort::FailOpen(int code, const QString &text)
{
    m_openFailCode = code;
    m_openFailText = text;
}

bool FakeSerialPort::Arrived(const Incoming &in) const
{
    // Signed difference: correct across a wrap of the tick.
    return static_cast<qint32>(m_clock.Tick() - in.at) >= 0;
}

void FakeSerialPort::Schedule(const QByteArray &bytes, const QList<int> &delays)
{
    const quint32 now = m_clock.Tick();
    for (qsizetype i = 0; i < bytes.size() && i < delays.size(); ++i) {
        const Incoming in { now + static_cast<quint32>(delays[i]), static_cast<quint8>(bytes[i]) };
        // Keep arrival order when answers overlap.
        auto pos = std::find_if(m_incoming.begin(), m_incoming.end(),
            [&](const Incoming &o) { return static_cast<qint32>(o.at - in.at) > 0; });
        m_incoming.insert(pos, in);
    }
}

int FakeSerialPort::OpenPort()
{
    m_calls.append(QStringLiteral("OpenPort"));
    if (m_openFailCode < 0) {
        m_errorText = m_openFailText;
        return m_openFailCode;
    }
    m_open = true;
    return 0;
}

int FakeSerialPort::ClosePort()
{
    m_calls.append(QStringLiteral("ClosePort"));
    m_open = false;
    return 0;
}

int FakeSerialPort::SetLineParams(int speedCode, int formatCode)
{
    m_calls.append(QStringLiteral("SetLineParams(%1,%2)").arg(speedCode).arg(formatCode));
    m_speedCode = speedCode;
    return 0;
}

int FakeSerialPort::FlushPort(int what)
{
    m_calls.append(QStringLiteral("FlushPort(%1)").arg(what));
    if (what == 0) {
        while (!m_incoming.empty() && Arrived(m_incoming.front()))
            m_incoming.pop_front();
    }
    return 0;
}

int FakeSerialPort::SetLineA(int state)
{
    m_calls.append(QStringLiteral("SetLineA(%1)").arg(state));
    return 0;
}

int FakeSerialPort::SetLineB(int state)
{
    m_calls.append(QStringLiteral("SetLineB(%1)").arg(state));
    return 0;
}

int FakeSerialPort::ReadPort(quint8 *buffer, int count)
{
    int n = 0;
    while (n < count && !m_incoming.empty() && Arrived(m_incoming.front())) {
        buffer[n++] = m_incoming.front().byte;
        m_incoming.pop_front();
    }
    return n;
}

void FakeSerialPort::WaitForInput(int ms, LinkClock &)
{
    if (!m_incoming.empty()) {
        const qint32 until = static_cast<qint32>(m_incoming.front().at - m_clock.Tick());
        if (until <= 0)
            return;
        if (until < ms) {
            m_clock.Advance(until);
            return;
        }
    }
    m_clock.Advance(ms);
}

int FakeSerialPort::WritePort(const quint8 *buffer, int count)
{
    m_calls.append(QStringLiteral("WritePort(%1)").arg(count));
    m_writes.append(QByteArray(reinterpret_cast<const char *>(buffer), count));
    if (!m_script.isEmpty()) {
        const Answer answer = m_script.takeFirst();
        Schedule(answer.bytes, answer.delays);
    } else if (m_responder) {
        const QByteArray bytes = m_responder(m_writes.last());
        Schedule(bytes, Spaced(bytes.size(), m_responderDelayMs, m_responderGapMs));
    }
    return count;
}

} // namespace qst
