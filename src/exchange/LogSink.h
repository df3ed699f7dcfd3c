#pragma once

#include <QDateTime>
#include <QString>

namespace qst {

// "[" + date and time + "] " + text.
QString FormatLogLine(const QDateTime &at, const QString &text);

// Where the exchange engine's log lines go, one stream per serial port: the log pane of
// the desktop application, standard output of qst-cli. Called on the main thread.
class LogSink
{
public:
    virtual ~LogSink() = default;
    virtual void WriteLogLine(int port, const QString &line) = 0;
};

} // namespace qst
