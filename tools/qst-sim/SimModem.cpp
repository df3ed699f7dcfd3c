#include "SimModem.h"

#include <cctype>

namespace qst {

namespace {

constexpr int kMaxLine = 256;

int ParseNumber(const QByteArray &s, int *i)
{
    int v = 0;
    while (*i < s.size() && std::isdigit(static_cast<unsigned char>(s[*i])))
        v = v * 10 + (s[(*i)++] - '0');
    return v;
}

} // namespace

SimModem::SimModem(const SimConfig &config, Writer write, BaudReader peerBaud)
    : m_config(config)
    , m_write(std::move(write))
    , m_peerBaud(std::move(peerBaud))
    , m_errorsLeft(config.modemErrorCount)
{
    FactoryProfile();
    m_storedEcho = m_echo;
    m_storedVerbose = m_verbose;
}

void SimModem::FactoryProfile()
{
    m_echo = true;
    m_verbose = !m_config.modemNumeric;
}

QByteArray SimModem::Feed(const QByteArray &bytes, qint64 nowMs)
{
    if (m_config.modemSilent)
        return {};
    if (m_config.modemOnly19200 && m_peerBaud() != 19200)
        return {};
    if (m_state != State::Data) {
        CommandBytes(bytes, nowMs);
        return {};
    }
    return bytes;
}

void SimModem::Escape(const QByteArray &rest, qint64 nowMs)
{
    if (m_state != State::Data)
        return;
    m_state = State::OnlineCommand;
    m_line.clear();
    Reply(Ok);
    CommandBytes(rest, nowMs);
}

void SimModem::CommandBytes(const QByteArray &bytes, qint64 nowMs)
{
    if (bytes.isEmpty() || m_state == State::Dialing)
        return;
    // Like a modem waiting for "AT", it takes and echoes nothing until a line starts with 'A':
    // stray Modbus frames and the LF after a CR vanish without an echo.
    QByteArray echo;
    for (char ch : bytes) {
        if (m_line.isEmpty() && ch != 'A' && ch != 'a')
            continue;
        echo.append(ch);
        if (ch == '\r') {
            if (m_echo)
                m_write(echo);
            echo.clear();
            const QByteArray line = m_line;
            m_line.clear();
            CommandLine(line, nowMs);
            if (m_state == State::Dialing || m_state == State::Data)
                return;
        } else if (m_line.size() < kMaxLine) {
            m_line.append(ch);
        }
    }
    if (m_echo && !echo.isEmpty())
        m_write(echo);
}

QByteArray SimModem::DialDigits(const QByteArray &text)
{
    QByteArray out;
    for (char ch : text)
        if (std::isdigit(static_cast<unsigned char>(ch)))
            out.append(ch);
    return out;
}

bool SimModem::SameNumber(const QByteArray &dialled, const QString &listed)
{
    // 8 (999) … and +7 999 … are the same subscriber: compare the last ten digits.
    const QByteArray a = DialDigits(dialled);
    const QByteArray b = DialDigits(listed.toLatin1());
    if (a.size() >= 10 && b.size() >= 10)
        return a.right(10) == b.right(10);
    return !a.isEmpty() && a == b;
}

void SimModem::CommandLine(const QByteArray &raw, qint64 nowMs)
{
    const int at = raw.toUpper().indexOf("AT");
    if (at < 0)
        return; // not a command: line noise or a stray frame
    const QByteArray s = raw.mid(at).toUpper();
    if (m_errorsLeft > 0) {
        --m_errorsLeft;
        Reply(Error);
        return;
    }
    QByteArray info;
    int i = 2;
    while (i < s.size()) {
        const char ch = s[i++];
        switch (ch) {
        case ' ':
            break;
        case 'Z':
            m_echo = m_storedEcho;
            m_verbose = m_storedVerbose;
            ParseNumber(s, &i);
            break;
        case '&': {
            if (i >= s.size()) {
                Reply(Error);
                return;
            }
            const char what = s[i++];
            ParseNumber(s, &i);
            if (what == 'F') {
                FactoryProfile();
            } else if (what == 'W') {
                m_storedEcho = m_echo;
                m_storedVerbose = m_verbose;
            }
            break;
        }
        case 'E':
            m_echo = ParseNumber(s, &i) != 0;
            break;
        case 'V':
            m_verbose = ParseNumber(s, &i) != 0;
            break;
        case 'Q':
        case 'X':
        case 'L':
        case 'M':
        case 'B':
            ParseNumber(s, &i);
            break;
        case 'I':
            ParseNumber(s, &i);
            info = "QST-SIM MODEM\r\n";
            break;
        case 'S': {
            const int reg = ParseNumber(s, &i);
            if (reg > 255 || i >= s.size()) {
                Reply(Error);
                return;
            }
            if (s[i] == '=') {
                ++i;
                m_registers[reg] = ParseNumber(s, &i);
            } else if (s[i] == '?') {
                ++i;
                info = QByteArray::number(m_registers[reg]).rightJustified(3, '0') + "\r\n";
            } else {
                Reply(Error);
                return;
            }
            break;
        }
        case '+':
            i = static_cast<int>(s.size()); // extended commands (+IPR=…) are taken as given
            break;
        case 'H':
            ParseNumber(s, &i);
            if (m_state == State::OnlineCommand)
                m_state = State::Command;
            break;
        case 'O':
            ParseNumber(s, &i);
            if (m_state == State::OnlineCommand) {
                m_state = State::Data;
                Reply(Connect);
                return;
            }
            Reply(Error);
            return;
        case 'D': {
            if (m_state == State::OnlineCommand) {
                Reply(Error);
                return;
            }
            const QByteArray number = s.mid(i);
            m_dialResult = Connect;
            for (const QString &n : m_config.busyNumbers)
                if (SameNumber(number, n))
                    m_dialResult = Busy;
            for (const QString &n : m_config.noCarrierNumbers)
                if (SameNumber(number, n))
                    m_dialResult = NoCarrier;
            if (DialDigits(number).isEmpty())
                m_dialResult = NoCarrier;
            m_state = State::Dialing;
            m_dialDueMs = nowMs + m_config.connectDelayMs;
            return;
        }
        default:
            Reply(Error);
            return;
        }
    }
    if (!info.isEmpty())
        m_write(m_verbose ? "\r\n" + info : info);
    Reply(Ok);
}

void SimModem::Tick(qint64 nowMs)
{
    if (m_state != State::Dialing || nowMs < m_dialDueMs)
        return;
    m_state = m_dialResult == Connect ? State::Data : State::Command;
    Reply(m_dialResult);
}

void SimModem::Reply(Result result)
{
    if (!m_verbose) {
        m_write(QByteArray::number(static_cast<int>(result)) + "\r");
        return;
    }
    QByteArray text;
    switch (result) {
    case Ok:
        text = "OK";
        break;
    case Connect:
        text = "CONNECT " + QByteArray::number(m_config.baud);
        break;
    case NoCarrier:
        text = "NO CARRIER";
        break;
    case Error:
        text = "ERROR";
        break;
    case Busy:
        text = "BUSY";
        break;
    }
    m_write("\r\n" + text + "\r\n");
}

} // namespace qst
