#pragma once

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <functional>

namespace qst {

class LinkClock;

// Speed codes of SetLineParams (the system's speed choice + 7) and the one format in use.
constexpr int kSpeed9600 = 12;
constexpr int kSpeed19200 = 13;
constexpr int kFormat8N1 = 3; // 8 data bits, no parity, 1 stop bit

// Bits per second of a speed code; 0 for a code outside the table.
int BaudOfSpeedCode(int speedCode);

// The eight operations of the serial layer. One object stands for one port number (1..64)
// and is driven by one thread at a time. Results are integers; only OpenPort's is examined
// by the callers, every other result may be ignored.
class SerialPort
{
public:
    virtual ~SerialPort() = default;

    // 0 or more: open. Negative: an error code; errorText() then carries the reason.
    virtual int OpenPort() = 0;
    virtual int ClosePort() = 0;
    // Speed code (12 = 9600, 13 = 19200; 7..16 are the system's choices 0..9) and
    // format code (3 = 8N1: data bits code | stop bits code | parity code).
    virtual int SetLineParams(int speedCode, int formatCode) = 0;
    // 0 discards unread input, 1 discards unsent output.
    virtual int FlushPort(int what) = 0;
    // The two modem-control output lines.
    virtual int SetLineA(int state) = 0;
    virtual int SetLineB(int state) = 0;
    // Returns at once: the number of bytes delivered, 0 or less when none is waiting.
    virtual int ReadPort(quint8 *buffer, int count) = 0;
    virtual int WritePort(const quint8 *buffer, int count) = 0;

    // The reason of the last failed OpenPort, fit for a log line.
    virtual QString errorText() const { return {}; }

    // Returns when input has arrived or ms have passed. Ports that can block on their input
    // do so; the default sleeps on the transaction's clock.
    virtual void WaitForInput(int ms, LinkClock &clock);
    // Bits per second in force (for the inter-frame gap); 0 when unknown.
    virtual int BaudRate() const { return 0; }

    // A link whose connection can drop (TCP) reconnects by itself on the next request and
    // reports every reconnection here: the OpenPort result and, when negative, errorText().
    using ReopenReport = std::function<void(int openResult, const QString &reason)>;
    virtual void SetReopenReport(ReopenReport) { }

    // Length-aware framing: an answer ends with its last expected byte instead of 100 ms of
    // silence, and requests follow each other after the 3.5-character gap instead of 50 ms.
    // Off by default; some old converters need the silence.
    void SetFastFraming(bool on) { m_fastFraming = on; }
    bool FastFraming() const { return m_fastFraming; }

    // On a shared line another calculator's answer is not ours: the transaction drops it
    // and reports it here (the address asked and the one that answered).
    using ForeignAnswerReport = std::function<void(quint8 asked, quint8 answered)>;
    void SetForeignAnswerReport(ForeignAnswerReport report) { m_foreignReport = std::move(report); }
    void ReportForeignAnswer(quint8 asked, quint8 answered) const
    {
        if (m_foreignReport)
            m_foreignReport(asked, answered);
    }

    // Set by the owner to end a transaction early (the thread is stopping); null: never.
    void SetAbortFlag(const std::atomic<bool> *flag) { m_abort = flag; }
    bool Aborted() const { return m_abort && m_abort->load(); }

private:
    bool m_fastFraming = false;
    ForeignAnswerReport m_foreignReport;
    const std::atomic<bool> *m_abort = nullptr;
};

} // namespace qst
