#pragma once

#include "link/SerialPort.h"

#include <QString>

#include <memory>

class QSerialPort;

namespace qst {

// Open failures of QtSerialPortLink::OpenPort; errorText() adds the system's reason.
enum PortOpenError : int {
    kPortBadNumber = -1, // port number outside 1..64
    kPortNotFound = -2, // no such device
    kPortNoAccess = -3, // permission denied or the device is locked by another program
    kPortOpenFailed = -4, // any other failure to open or to configure the device
};

constexpr int kMaxPortNumber = 64;

// The serial layer on QSerialPort. The QSerialPort is created by OpenPort and must be
// used and closed on that same thread; no event loop is needed (input is polled).
class QtSerialPortLink final : public SerialPort
{
public:
    // The device is looked up in dataRoot's Tree.ini, section [PORTS], key portNumber.
    QtSerialPortLink(int portNumber, const QString &dataRoot);
    ~QtSerialPortLink() override;

    // Tree.ini [PORTS] n when given, otherwise /dev/ttyS<n-1> (COM<n> on Windows).
    static QString DevicePath(const QString &dataRoot, int portNumber);

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
    int BaudRate() const override;

    int portNumber() const { return m_portNumber; }
    QString devicePath() const { return m_devicePath; }

private:
    bool IsOpen() const;

    int m_portNumber;
    QString m_dataRoot;
    QString m_devicePath;
    QString m_errorText;
    std::unique_ptr<QSerialPort> m_port;
};

} // namespace qst
