#include "link/SerialPort.h"

#include "link/LinkClock.h"

namespace qst {

namespace {

// Speed codes of the serial layer; the system offers codes 7..16.
constexpr int kBaudRates[] = { 50, 75, 110, 134, 150, 300, 600, 1200, 1800, 2400, 4800, 7200, 9600, 19200, 38400,
    57600, 115200, 230400, 460800, 921600 };

} // namespace

int BaudOfSpeedCode(int speedCode)
{
    constexpr int count = static_cast<int>(sizeof kBaudRates / sizeof kBaudRates[0]);
    return speedCode >= 0 && speedCode < count ? kBaudRates[speedCode] : 0;
}

void SerialPort::WaitForInput(int ms, LinkClock &clock)
{
    clock.Sleep(ms);
}

} // namespace qst
