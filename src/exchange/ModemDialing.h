#pragma once

#include <QString>

#include <functional>

namespace qst {

class LinkClock;
class SerialPort;

using LogFunction = std::function<void(const QString &text)>;

// The dial string: only "+" and digits kept; a first character other than "+" becomes
// "+7" (8 (999) 123-45-67 -> +79991234567).
QString DialString(const QString &phone);

// Resets the modem (three tries), dials and waits up to about a minute for CONNECT.
// Logs each step; true when the connection stands. The port must be at 9600 baud.
bool DialModem(SerialPort &port, LinkClock &clock, const QString &phone, const LogFunction &log);
// "+++", three seconds, "ATH0".
void HangUpModem(SerialPort &port, LinkClock &clock, const LogFunction &log);

} // namespace qst
