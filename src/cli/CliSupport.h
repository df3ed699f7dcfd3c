#pragma once

#include "common/DataRootLock.h"

#include <QObject>
#include <QString>

#include <memory>

class QCommandLineParser;
class QSocketNotifier;

namespace qst::cli {

// A writing command's hold on the data root: the lock taken and DATA created, as the
// application's start-up does. On failure `error` says why.
class WritingSession
{
public:
    explicit WritingSession(const QString &dataRoot);
    bool Begin(QString *error);
    // Begin, with the reason of a refusal on standard error.
    bool BeginOrReport();

private:
    QString m_dataRoot;
    DataRootLock m_lock;
};

// Turns SIGINT and SIGTERM into a Qt signal on the main thread (a self-pipe: nothing but
// write() runs in the handler).
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

signals:
    void Terminate();

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// Parses a command's own options; false when the command is done already (--help printed, or
// a usage error reported), with its exit code in *exitCode.
bool ParseCommandOptions(QCommandLineParser &parser, const QStringList &args, int *exitCode);

// A usage error: the text on standard error; returns the exit code for it.
int UsageError(const QString &text);

// The terminal's answer to a confirmation; anything but yes (or no input at all) is no.
bool AskYes();
// Whether standard input is a terminal someone could answer on.
bool StdinIsTerminal();

// An ISO 8601 local date-time, or a date (at 00:00 unless `dateNoon`); invalid on failure.
QDateTime ParseIsoLocal(const QString &text, bool dateNoon);

} // namespace qst::cli
