#include "ModemDialing.h"

#include "ExchangeTexts.h"

#include "common/TextFile.h"
#include "link/ModbusRtu.h"
#include "link/SerialPort.h"

namespace qst {

namespace {

// Every modem command goes out with line A raised.
void WriteCommand(SerialPort &port, const QByteArray &command)
{
    port.FlushPort(0);
    port.FlushPort(1);
    port.SetLineB(1);
    port.SetLineA(1);
    port.WritePort(reinterpret_cast<const quint8 *>(command.constData()), static_cast<int>(command.size()));
}

int Listen(SerialPort &port, LinkClock &clock, int waitMs, QString *text)
{
    quint8 buffer[kAnswerCapacity];
    const int count = ReceiveAnswer(buffer, kAnswerCapacity, port, waitMs, clock);
    if (count > 0 && text)
        *text = DecodeCp1251(QByteArrayView(buffer, count));
    return count;
}

constexpr int kDialBufferSize = 64;

} // namespace

QString DialString(const QString &phone)
{
    QString dial;
    for (QChar c : phone) {
        if (c == u'+' || (c >= u'0' && c <= u'9'))
            dial += c;
    }
    if (!dial.isEmpty() && dial.front() != u'+') {
        dial[0] = u'7';
        dial.prepend(u'+');
    }
    return dial;
}

bool DialModem(SerialPort &port, LinkClock &clock, const QString &phone, const LogFunction &log)
{
    const QByteArray command = QByteArrayLiteral("ATD") + DialString(phone).toLatin1() + QByteArrayLiteral("\r\n");
    // A number without digits, or one too long for the modem's command buffer, cannot be
    // dialled; it fails like a call that does not connect.
    if (DialString(phone).isEmpty() || command.size() > kDialBufferSize - 1) {
        log(texts::kBadPhoneNumber + phone);
        return false;
    }
    bool reset = false;
    for (int attempt = 0; attempt < 3 && !reset; ++attempt) {
        WriteCommand(port, QByteArrayLiteral("ATZ\r\n"));
        reset = Listen(port, clock, 1000, nullptr) > 0;
    }
    if (!reset) {
        log(texts::kModemSilent);
        return false;
    }
    log(texts::kModemReady);
    log(texts::kDialing + phone);

    WriteCommand(port, command);
    QString answer;
    const bool echoed = Listen(port, clock, 1000, &answer) > 0;
    clock.Sleep(100);
    const int waits = echoed ? 60 : 59;
    bool answered = false;
    for (int i = 0; i < waits && !answered; ++i)
        answered = Listen(port, clock, 1000, &answer) > 0;
    if (!answered) {
        log(texts::kModemSilent);
        return false;
    }
    if (answer.contains(QStringLiteral("CONNECT"))) {
        log(texts::kConnected + answer);
        return true;
    }
    log(texts::kNotConnected + answer);
    return false;
}

void HangUpModem(SerialPort &port, LinkClock &clock, const LogFunction &log)
{
    WriteCommand(port, QByteArrayLiteral("+++"));
    clock.Sleep(3000);
    WriteCommand(port, QByteArrayLiteral("ATH0\r\n"));
    Listen(port, clock, 500, nullptr);
    log(texts::kHungUp);
}

} // namespace qst
