#include "link/QtSerialPortLink.h"

#include "common/DataRoot.h"
#include "common/ProfileFile.h"

#include "link/LinkClock.h"

#include <QElapsedTimer>
#include <QSerialPort>

namespace qst {

namespace {

const QString kPortsSection = QStringLiteral("PORTS");

constexpr int kWriteTimeoutMs = 5000;

} // namespace

QtSerialPortLink::QtSerialPortLink(int portNumber, const QString &dataRoot)
    : m_portNumber(portNumber)
    , m_dataRoot(dataRoot)
{
}

QtSerialPortLink::~QtSerialPortLink()
{
    ClosePort();
}

QString QtSerialPortLink::DevicePath(const QString &dataRoot, int portNumber)
{
    ProfileFile tree(TreeIniPath(dataRoot));
    const QString mapped = tree.ReadString(kPortsSection, QString::number(portNumber)).trimmed();
    if (!mapped.isEmpty())
        return mapped;
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(portNumber);
#else
    return QStringLiteral("/dev/ttyS%1").arg(portNumber - 1);
#endif
}

bool QtSerialPortLink::IsOpen() const
{
    return m_port && m_port->isOpen();
}

int QtSerialPortLink::OpenPort()
{
    m_errorText.clear();
    if (m_portNumber < 1 || m_portNumber > kMaxPortNumber) {
        m_errorText = QStringLiteral("port number %1 is outside 1..%2").arg(m_portNumber).arg(kMaxPortNumber);
        return kPortBadNumber;
    }
    ClosePort();
    m_devicePath = DevicePath(m_dataRoot, m_portNumber);
    auto port = std::make_unique<QSerialPort>();
    port->setPortName(m_devicePath);
    if (!port->open(QIODevice::ReadWrite)) {
        m_errorText = m_devicePath + QStringLiteral(": ") + port->errorString();
        switch (port->error()) {
        case QSerialPort::DeviceNotFoundError:
            return kPortNotFound;
        case QSerialPort::PermissionError:
            return kPortNoAccess;
        default:
            return kPortOpenFailed;
        }
    }
    port->setFlowControl(QSerialPort::NoFlowControl);
    port->clearError();
    m_port = std::move(port);
    return 0;
}

int QtSerialPortLink::ClosePort()
{
    if (!m_port)
        return 0;
    m_port->close();
    m_port.reset();
    return 0;
}

int QtSerialPortLink::SetLineParams(int speedCode, int formatCode)
{
    if (!IsOpen())
        return -1;
    const int baud = BaudOfSpeedCode(speedCode);
    if (baud == 0)
        return -1;
    static constexpr QSerialPort::DataBits dataBits[]
        = { QSerialPort::Data5, QSerialPort::Data6, QSerialPort::Data7, QSerialPort::Data8 };
    QSerialPort::Parity parity;
    switch (formatCode & 0x38) {
    case 0x00:
        parity = QSerialPort::NoParity;
        break;
    case 0x08:
        parity = QSerialPort::EvenParity;
        break;
    case 0x10:
        parity = QSerialPort::OddParity;
        break;
    case 0x18:
        parity = QSerialPort::MarkParity;
        break;
    case 0x20:
        parity = QSerialPort::SpaceParity;
        break;
    default:
        return -1;
    }
    bool ok = m_port->setBaudRate(baud);
    ok = m_port->setDataBits(dataBits[formatCode & 0x03]) && ok;
    ok = m_port->setStopBits((formatCode & 0x04) ? QSerialPort::TwoStop : QSerialPort::OneStop) && ok;
    ok = m_port->setParity(parity) && ok;
    m_port->clearError();
    return ok ? 0 : -1;
}

int QtSerialPortLink::FlushPort(int what)
{
    if (!IsOpen())
        return -1;
    const bool ok = m_port->clear(what == 0 ? QSerialPort::Input : QSerialPort::Output);
    m_port->clearError();
    return ok ? 0 : -1;
}

int QtSerialPortLink::SetLineA(int state)
{
    if (!IsOpen())
        return -1;
    // A pseudo-terminal has no modem-control lines; the failure is of no consequence.
    const bool ok = m_port->setDataTerminalReady(state != 0);
    m_port->clearError();
    return ok ? 0 : -1;
}

int QtSerialPortLink::SetLineB(int state)
{
    if (!IsOpen())
        return -1;
    const bool ok = m_port->setRequestToSend(state != 0);
    m_port->clearError();
    return ok ? 0 : -1;
}

int QtSerialPortLink::ReadPort(quint8 *buffer, int count)
{
    if (!IsOpen() || count <= 0)
        return -1;
    // No event loop runs on the exchange thread: pick up what the system holds without waiting.
    if (m_port->bytesAvailable() == 0) {
        m_port->waitForReadyRead(0);
        m_port->clearError();
        if (m_port->bytesAvailable() == 0)
            return 0;
    }
    const qint64 n = m_port->read(reinterpret_cast<char *>(buffer), count);
    return static_cast<int>(n);
}

void QtSerialPortLink::WaitForInput(int ms, LinkClock &clock)
{
    if (!IsOpen()) {
        clock.Sleep(ms);
        return;
    }
    if (m_port->bytesAvailable() > 0)
        return;
    QElapsedTimer timer;
    timer.start();
    const bool arrived = m_port->waitForReadyRead(ms);
    m_port->clearError();
    // A line in error returns at once; sleeping out the rest keeps the caller from spinning.
    const qint64 left = ms - timer.elapsed();
    if (!arrived && left > 0)
        clock.Sleep(static_cast<int>(left));
}

int QtSerialPortLink::BaudRate() const
{
    return IsOpen() ? m_port->baudRate() : 0;
}

int QtSerialPortLink::WritePort(const quint8 *buffer, int count)
{
    if (!IsOpen() || count < 0)
        return -1;
    const qint64 n = m_port->write(reinterpret_cast<const char *>(buffer), count);
    while (m_port->bytesToWrite() > 0) {
        if (!m_port->waitForBytesWritten(kWriteTimeoutMs))
            break;
    }
    m_port->clearError();
    return static_cast<int>(n);
}

} // namespace qst
