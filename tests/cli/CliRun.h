#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace qst::test {

struct CliRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

// qst-cli on a data root, with standard input closed (no terminal to answer on).
inline CliRun Cli(const QString &root, const QStringList &args, int timeoutMs = 30000)
{
    QProcess p;
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), root} + args);
    p.waitForFinished(timeoutMs);
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

} // namespace qst::test
