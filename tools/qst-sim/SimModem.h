#pragma once

#include "SimConfig.h"

#include <QByteArray>

#include <functional>

namespace qst {

// A Hayes modem in front of the calculator. In command mode it echoes and answers AT
// commands; once connected, bytes pass to the calculator until "+++" escapes to commands.
class SimModem
{
public:
    using Writer = std::function<void(const QByteArray &)>;
    using BaudReader = std::function<int()>;

    SimModem(const SimConfig &config, Writer write, BaudReader peerBaud);

    // Takes received bytes; returns those meant for the calculator.
    QByteArray Feed(const QByteArray &bytes, qint64 nowMs);
    // "+++" seen where a request would start: back to commands, the connection kept; `rest`
    // is what followed it.
    void Escape(const QByteArray &rest, qint64 nowMs);
    // Finishes a dial whose time has come.
    void Tick(qint64 nowMs);
    bool DataMode() const { return m_state == State::Data; }

private:
    enum class State {
        Command,
        Dialing,
        Data,
        OnlineCommand, // escaped with +++, the connection still stands
    };
    enum Result {
        Ok = 0,
        Connect = 1,
        NoCarrier = 3,
        Error = 4,
        Busy = 7,
    };

    void CommandBytes(const QByteArray &bytes, qint64 nowMs);
    void CommandLine(const QByteArray &line, qint64 nowMs);
    void Reply(Result result);
    void FactoryProfile();
    static QByteArray DialDigits(const QByteArray &text);
    static bool SameNumber(const QByteArray &dialled, const QString &listed);

    SimConfig m_config;
    Writer m_write;
    BaudReader m_peerBaud;
    State m_state = State::Command;
    bool m_echo = true;
    bool m_verbose = true;
    bool m_storedEcho = true; // the profile AT&W writes and ATZ loads
    bool m_storedVerbose = true;
    int m_errorsLeft = 0;
    QByteArray m_line;
    qint64 m_dialDueMs = 0;
    Result m_dialResult = Connect;
    int m_registers[256] = {};
};

} // namespace qst
