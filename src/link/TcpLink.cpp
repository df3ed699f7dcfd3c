#include "link/TcpLink.h"

#include "link/LinkClock.h"
#include "link/PortLinks.h"

#include <QElapsedTimer>
#include <QTcpSocket>

namespace qst {

namespace {

constexpr int kWriteTimeoutMs = 5000;

} // namespace

TcpLink::TcpLink(int portNumber, const QString &address)
    : m_portNumber(portNumber)
    , m_address(address.trimmed())
{
}

TcpLink::~TcpLink()
{
    ClosePort();
}

bool TcpLink::Connected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

int TcpLink::Connect()
{
    m_errorText.clear();
    m_socket.reset();
    if (m_portNumber < 1 || m_portNumber > kMaxPortNumber) {
        m_errorText = QStringLiteral("port number %1 is outside 1..%2").arg(m_portNumber).arg(kMaxPortNumber);
        return kPortBadNumber;
    }
    TcpAddress address;
    const QString problem = TcpAddressProblem(m_address, &address);
    if (!problem.isEmpty()) {
        m_errorText = problem;
        return kPortBadAddress;
    }
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(address.host, address.port);
    if (!socket->waitForConnected(kTcpConnectTimeoutMs)) {
        m_errorText = m_address + QStringLiteral(": ") + socket->errorString();
        const QAbstractSocket::SocketError error = socket->error();
        socket->abort();
        switch (error) {
        case QAbstractSocket::HostNotFoundError:
            return kPortNotFound;
        case QAbstractSocket::SocketAccessError:
            return kPortNoAccess;
        default:
            return kPortOpenFailed;
        }
    }
    // Requests are small and must leave at once.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_socket = std::move(socket);
    return 0;
}

int TcpLink::OpenPort()
{
    ClosePort();
    const int result = Connect();
    m_wanted = result >= 0;
    return result;
}

int TcpLink::ClosePort()
{
    m_wanted = false;
    if (!m_socket)
        return 0;
    m_socket->abort();
    m_socket.reset();
    return 0;
}

int TcpLink::SetLineParams(int speedCode, int)
{
    if (BaudOfSpeedCode(speedCode) == 0)
        return -1;
    m_speedCode = speedCode;
    return 0;
}

bool TcpLink::Poll()
{
    if (!m_socket)
        return false;
    if (m_socket->state() == QAbstractSocket::ConnectedState && m_socket->bytesAvailable() == 0)
        m_socket->waitForReadyRead(0);
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

int TcpLink::FlushPort(int what)
{
    if (!m_socket)
        return -1;
    if (what == 0) {
        Poll();
        m_socket->readAll();
    }
    return 0;
}

int TcpLink::SetLineA(int)
{
    return m_socket ? 0 : -1;
}

int TcpLink::SetLineB(int)
{
    return m_socket ? 0 : -1;
}

int TcpLink::ReadPort(quint8 *buffer, int count)
{
    if (!m_socket || count <= 0)
        return -1;
    if (m_socket->bytesAvailable() == 0)
        Poll();
    // Bytes that came before the peer went are still delivered.
    if (m_socket->bytesAvailable() == 0)
        return Connected() ? 0 : -1;
    const qint64 n = m_socket->read(reinterpret_cast<char *>(buffer), count);
    return static_cast<int>(n);
}

int TcpLink::WritePort(const quint8 *buffer, int count)
{
    if (count < 0)
        return -1;
    if (!Connected()) {
        if (!m_wanted)
            return -1;
        // The connection dropped since the last request: make it again, once per request.
        const int reopened = Connect();
        if (m_reopenReport)
            m_reopenReport(reopened, m_errorText);
        if (reopened < 0)
            return -1;
    }
    const qint64 n = m_socket->write(reinterpret_cast<const char *>(buffer), count);
    while (m_socket->bytesToWrite() > 0) {
        if (!m_socket->waitForBytesWritten(kWriteTimeoutMs))
            break;
    }
    return static_cast<int>(n);
}

void TcpLink::WaitForInput(int ms, LinkClock &clock)
{
    if (m_socket && m_socket->bytesAvailable() > 0)
        return;
    QElapsedTimer timer;
    timer.start();
    const bool arrived = Connected() && m_socket->waitForReadyRead(ms);
    // A closed connection returns at once; sleeping out the rest keeps the caller from spinning.
    const qint64 left = ms - timer.elapsed();
    if (!arrived && left > 0)
        clock.Sleep(static_cast<int>(left));
}

} // namespace qst
