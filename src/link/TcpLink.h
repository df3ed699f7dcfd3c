#pragma once

#include "link/QtSerialPortLink.h"
#include "link/SerialPort.h"

#include <QString>

#include <memory>

class QTcpSocket;

namespace qst {

// Open failures of a network link beyond those of the serial one.
constexpr int kPortBadAddress = -5; // the [PORTS] text is no well-formed tcp:// address

constexpr int kTcpConnectTimeoutMs = 5000;

// Modbus RTU frames over a TCP connection (a GPRS/LTE modem in transparent mode, a serial
// server). Line settings and the modem-control lines are accepted and ignored. A connection
// that drops is made again by the next request's write, and the attempt is reported through
// the reopen report. The socket is created by OpenPort and must be used on that thread; no
// event loop is needed.
class TcpLink final : public SerialPort
{
public:
    TcpLink(int portNumber, const QString &address);
    ~TcpLink() override;

    int OpenPort() override;
    int ClosePort() override;
    int SetLineParams(int speedCode, int formatCode) override;
    int FlushPort(int what) override;
    int SetLineA(int state) override;
    int SetLineB(int state) override;
    int ReadPort(quint8 *buffer, int count) override;
    int WritePort(const quint8 *buffer, int count) override;
    QString errorText() const override { return m_errorText; }
    void WaitForInput(int ms, LinkClock &clock) override;
    int BaudRate() const override { return BaudOfSpeedCode(m_speedCode); }
    void SetReopenReport(ReopenReport report) override { m_reopenReport = std::move(report); }

    bool Connected() const;

private:
    int Connect();
    // Picks up what has arrived; false once the peer has gone.
    bool Poll();

    int m_portNumber;
    QString m_address;
    QString m_errorText;
    int m_speedCode = kSpeed19200;
    bool m_wanted = false; // opened and not closed: a dropped connection is made again
    std::unique_ptr<QTcpSocket> m_socket;
    ReopenReport m_reopenReport;
};

} // namespace qst
