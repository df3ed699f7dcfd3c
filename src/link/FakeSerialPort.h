#pragma once

#include "link/LinkClock.h"
#include "link/SerialPort.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>

namespace qst {

// A virtual millisecond clock: Sleep advances it at once, nothing waits for real.
class FakeLinkClock final : public LinkClock
{
public:
    explicit FakeLinkClock(quint32 start = 0)
        : m_now(start)
    {
    }
    quint32 Tick() override { return m_now; }
    void Sleep(int ms) override { m_now += static_cast<quint32>(ms); }
    void Advance(int ms) { m_now += static_cast<quint32>(ms); }

private:
    quint32 m_now;
};

// A scripted port for tests, timed on a FakeLinkClock. Each WritePort takes the next
// scripted answer, whose bytes then arrive on the clock at their given delays after the
// write; once the script is used up a responder, when set, answers from the request's
// bytes; otherwise (or after an AddSilence) the request gets nothing. Bytes arrive
// only when their time has come, and FlushPort(0) discards only bytes already arrived,
// as a real line does.
class FakeSerialPort final : public SerialPort
{
public:
    explicit FakeSerialPort(FakeLinkClock &clock);

    // The answer to the next unanswered request: byte i arrives delayMs + i * gapMs
    // after the write.
    void AddAnswer(const QByteArray &bytes, int delayMs = 0, int gapMs = 0);
    // The answer with each byte's own delay after the write.
    void AddTimedAnswer(const QByteArray &bytes, const QList<int> &delaysMs);
    void AddSilence();
    // Answers every request the script does not cover; an empty answer is silence.
    using Responder = std::function<QByteArray(const QByteArray &request)>;
    void SetResponder(Responder responder, int delayMs = 0, int gapMs = 0);
    // Bytes arriving delayMs from now, whatever is written.
    void Inject(const QByteArray &bytes, int delayMs = 0);
    // The next OpenPort fails with this code and text.
    void FailOpen(int code, const QString &text);

    const QList<QByteArray> &writes() const { return m_writes; }
    // Every operation in order, as "OpenPort", "FlushPort(0)", "SetLineA(1)", "WritePort(8)"...;
    // ReadPort calls are not listed.
    const QStringList &calls() const { return m_calls; }
    // Bytes not yet read, arrived or still on their way.
    int pendingBytes() const { return static_cast<int>(m_incoming.size()); }
    bool isOpen() const { return m_open; }

    int OpenPort() override;
    int ClosePort() override;
    int SetLineParams(int speedCode, int formatCode) override;
    int FlushPort(int what) override;
    int SetLineA(int state) override;
    int SetLineB(int state) override;
    int ReadPort(quint8 *buffer, int count) override;
    int WritePort(const quint8 *buffer, int count) override;
    QString errorText() const override { return m_errorText; }
    // Advances the clock to the next byte's arrival, or by ms when none comes sooner.
    void WaitForInput(int ms, LinkClock &clock) override;
    int BaudRate() const override { return BaudOfSpeedCode(m_speedCode); }

private:
    struct Incoming
    {
        quint32 at;
        quint8 byte;
    };
    struct Answer
    {
        QByteArray bytes;
        QList<int> delays;
    };

    bool Arrived(const Incoming &in) const;
    void Schedule(const QByteArray &bytes, const QList<int> &delays);

    static QList<int> Spaced(qsizetype count, int delayMs, int gapMs);

    FakeLinkClock &m_clock;
    QList<Answer> m_script;
    Responder m_responder;
    int m_responderDelayMs = 0;
    int m_responderGapMs = 0;
    std::deque<Incoming> m_incoming; // in arrival order
    QList<QByteArray> m_writes;
    QStringList m_calls;
    int m_openFailCode = 0;
    QString m_openFailText;
    QString m_errorText;
    bool m_open = false;
    int m_speedCode = -1;
};

} // namespace qst
