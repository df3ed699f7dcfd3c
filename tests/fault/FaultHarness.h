#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace qst::test {

// One qst-cli run on a data root.
struct CliRun
{
    int exitCode = -1;
    bool crashed = false;  // ended by a signal
    bool hung = false;     // still running after the timeout (then killed)
    QString out;
    QString err;
};

CliRun RunCli(const QString &dataRoot, const QStringList &args, int timeoutMs = 60000);
// Starts qst-cli and SIGKILLs it after `killAfterMs`; true when it was still running then.
bool RunCliKilled(const QString &dataRoot, const QStringList &args, int killAfterMs);

// Every file under the folder, relative path -> bytes (the lock file left out).
QMap<QString, QByteArray> Snapshot(const QString &root);

// Every line of every archive, history and journal file under DATA parses as the views
// read it, and every current-values file holds a DTFloat that is a number. Returns the
// problems found (empty: sound).
QStringList DamagedDataFiles(const QString &dataRoot);
// Tree.ini's lists and sections agree: every CList entry has its section and Parent, every
// meter section is listed once, MaxCNum covers them. Returns the problems found.
QStringList TreeProblems(const QString &dataRoot);
// Temporary save copies left behind.
QStringList LeftoverTemporaries(const QString &dataRoot);

// A dump written by qst-sim (fixed seed).
bool MakeDump(const QString &file, int serial, int days, int journal);

} // namespace qst::test
