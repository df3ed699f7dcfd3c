#include "ModemSetup.h"

#include "common/TextFile.h"
#include "link/LinkClock.h"
#include "link/ModbusRtu.h"
#include "link/SerialPort.h"

#include <cstring>
#include <iterator>

namespace qst {

namespace {

constexpr int kChoice9600 = 5;
constexpr int kChoice19200 = 6;
constexpr int kCommandBuffer = 64;
constexpr int kAnswerBuffer = 256;
constexpr int kResetAttempts = 6;
constexpr int kSilencesBefore19200 = 3;
constexpr int kCommandAttempts = 5;

struct Command
{
    const char *text;
    const QString &success;
    int speedChoiceAfter; // -1: the speed stays
};

class Session
{
public:
    Session(SerialPort &port, int portNumber, LinkClock &clock, const ModemSetupCalls &calls)
        : m_port(port)
        , m_number(portNumber)
        , m_clock(clock)
        , m_calls(calls)
    {
    }

    void Line(const QString &text) const
    {
        if (m_calls.line)
            m_calls.line(text);
    }

    void Message(const QString &text) const
    {
        if (m_calls.message)
            m_calls.message(text);
    }

    void SetSpeed(int choice) { m_port.SetLineParams(ModemSpeedCode(choice), kFormat8N1); }

    void Close()
    {
        m_port.SetLineA(0);
        m_port.SetLineB(0);
        m_port.ClosePort();
        Line(modemtexts::kClosed + QString::number(m_number));
    }

    // Lines in the modem's own order before each write: A down, B down, A up.
    // Returns the answer's byte count, or -1 when none came within waitMs.
    int Exchange(const quint8 *bytes, int length, int waitMs, QString *answer)
    {
        m_port.FlushPort(0);
        m_port.FlushPort(1);
        m_port.SetLineA(0);
        m_port.SetLineB(0);
        m_port.SetLineA(1);
        m_port.WritePort(bytes, length);
        quint8 buffer[kAnswerBuffer];
        const int count = ReceiveAnswer(buffer, kAnswerBuffer, m_port, waitMs, m_clock);
        if (count > 0)
            *answer = DecodeCp1251(QByteArrayView(buffer, count));
        return count;
    }

    static bool Good(const QString &answer)
    {
        return answer.contains(QStringLiteral("OK")) || answer.contains(u'0');
    }

    // The reset, with the switch to 19200 baud after three silences.
    bool Reset()
    {
        static const char kReset[] = "ATZ\r\n";
        for (int attempt = 1; attempt <= kResetAttempts; ++attempt) {
            Line(modemtexts::kSent + QStringLiteral("ATZ"));
            QString answer;
            if (Exchange(reinterpret_cast<const quint8 *>(kReset), 5, 1000, &answer) > 0) {
                Line(modemtexts::kReceived + answer);
                if (!Good(answer)) {
                    Line(modemtexts::kBadAnswer);
                    Close();
                    return false;
                }
                Line(modemtexts::kResetDone);
                return true;
            }
            Line(modemtexts::kNoAnswer);
            if (attempt == kSilencesBefore19200)
                SetSpeed(kChoice19200);
        }
        Close();
        Message(modemtexts::kResetFailed);
        return false;
    }

    // Silence fails at once; only wrong answers are tried again.
    bool Send(const Command &command)
    {
        const int length = static_cast<int>(std::strlen(command.text));
        for (int attempt = 1; attempt <= kCommandAttempts; ++attempt) {
            m_clock.Sleep(1000);
            quint8 buffer[kCommandBuffer] = {};
            std::memcpy(buffer, command.text, static_cast<size_t>(length));
            Line(modemtexts::kSent + QString::fromLatin1(command.text));
            QString answer;
            if (Exchange(buffer, length, 2000, &answer) <= 0) {
                Line(modemtexts::kNoAnswer);
                break;
            }
            Line(modemtexts::kReceived + answer);
            if (Good(answer)) {
                Line(command.success);
                if (command.speedChoiceAfter >= 0)
                    SetSpeed(command.speedChoiceAfter);
                return true;
            }
            Line(modemtexts::kBadAnswer);
        }
        Close();
        Message(modemtexts::kCommandFailed);
        return false;
    }

private:
    SerialPort &m_port;
    int m_number;
    LinkClock &m_clock;
    const ModemSetupCalls &m_calls;
};

} // namespace

int ModemSpeedCode(int choice)
{
    return choice == kChoice19200 ? 13 : 12;
}

bool RunModemSetup(SerialPort *port, int portNumber, int device, LinkClock &clock, const ModemSetupCalls &calls)
{
    const auto line = [&](const QString &text) {
        if (calls.line)
            calls.line(text);
    };
    if (portNumber <= 0 || !port) {
        line(modemtexts::kNoPort);
        return false;
    }
    if (calls.portInUse && calls.portInUse(portNumber)) {
        line(modemtexts::kPortBusy + QString::number(portNumber));
        return false;
    }
    const int opened = port->OpenPort();
    if (opened < 0) {
        line(modemtexts::kOpenFailed + QString::number(opened));
        return false;
    }
    port->SetLineParams(ModemSpeedCode(kChoice9600), kFormat8N1);
    port->SetLineA(1);
    port->SetLineB(1);
    line(modemtexts::kOpened + QString::number(portNumber));

    Session session(*port, portNumber, clock, calls);
    if (!session.Reset())
        return false;

    static const Command computer[] = {
        {"AT&F\r\n", modemtexts::kFactory, -1},
        {"AT+IPR=9600\r\n", modemtexts::kSpeed, kChoice9600},
        {"AT&W\r\n", modemtexts::kStored, -1},
    };
    static const Command calculator[] = {
        {"AT&F\r\n", modemtexts::kFactory, -1},
        {"ATS0=1\r\n", modemtexts::kAutoAnswer, -1},
        {"ATS7=120\r\n", modemtexts::kConnectTimeout, -1},
        {"AT+IPR=19200\r\n", modemtexts::kSpeed, kChoice19200},
        {"ATV0\r\n", modemtexts::kResultFormat, -1},
        {"ATE0\r\n", modemtexts::kEchoOff, -1},
        {"AT&W\r\n", modemtexts::kStored, -1},
    };
    const bool atCalculator = device == kModemAtCalculator;
    const Command *table = atCalculator ? calculator : computer;
    const int count = static_cast<int>(atCalculator ? std::size(calculator) : std::size(computer));
    for (int i = 0; i < count; ++i) {
        if (!session.Send(table[i]))
            return false;
    }
    session.Close();
    session.Message(modemtexts::kDone);
    return true;
}

} // namespace qst
