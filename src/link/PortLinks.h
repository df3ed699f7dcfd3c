#pragma once

#include "link/SerialPort.h"

#include <QString>

#include <memory>

namespace qst {

// A port number's link as Tree.ini [PORTS] gives it: key n holds a device path or a network
// address tcp://host:port (a host name, an IPv4 address, or an IPv6 address in brackets);
// key Fast<n> = 1 turns on length-aware framing for the port.

struct TcpAddress
{
    QString host; // without the brackets of an IPv6 address
    quint16 port = 0;
};

// True when the text is meant as a network address (it names a scheme), well-formed or not.
bool IsNetworkAddress(const QString &text);
// Empty when text is a well-formed tcp:// address (then *address is filled), else why not.
QString TcpAddressProblem(const QString &text, TcpAddress *address = nullptr);
// Empty when text may go into [PORTS]: a device path or a well-formed network address.
QString PortMappingProblem(const QString &text);
// Empty when text names a serial device: an absolute device path ("/dev/ttyUSB0") or the
// platform's port name ("ttyUSB0"; "COM3" on Windows); else why not. Whether it exists is
// the caller's question.
QString SerialDeviceProblem(const QString &text);

QString FastFramingKey(int portNumber);
bool PortFastFraming(const QString &dataRoot, int portNumber);

// The link for a port number: QTcpSocket for a network address, QSerialPort otherwise,
// with the port's framing. Create, use and destroy it on one thread.
std::unique_ptr<SerialPort> MakePortLink(int portNumber, const QString &dataRoot);

} // namespace qst
