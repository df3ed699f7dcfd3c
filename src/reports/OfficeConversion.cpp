#include "OfficeConversion.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace qst {

QString OfficeProgram()
{
    for (const QString &name : {QStringLiteral("soffice"), QStringLiteral("libreoffice")}) {
        const QString path = QStandardPaths::findExecutable(name);
        if (!path.isEmpty())
            return path;
    }
    return {};
}

int PdfTimeoutMs(int tableRows)
{
    return 60000 + std::max(tableRows, 0) * 100;
}

bool ConvertWithOffice(const QString &document, const QString &filter, const QString &outDir, QString *outFile,
                       QString *error, int timeoutMs, const std::function<void(int seconds)> &waiting)
{
    const QString program = OfficeProgram();
    if (program.isEmpty()) {
        *error = QStringLiteral("LibreOffice (soffice) is not installed");
        return false;
    }
    // A template without blanks: the profile goes into a URL the office parses itself.
    QTemporaryDir profile(QDir::temp().filePath(QStringLiteral("qst-office-XXXXXX")));
    if (!profile.isValid()) {
        *error = profile.errorString();
        return false;
    }
    const QString target = filter.section(u':', 0, 0);
    const QString result = QDir(outDir).filePath(QFileInfo(document).completeBaseName() + u'.' + target);
    QFile::remove(result);

    QProcess office;
    office.setProcessChannelMode(QProcess::MergedChannels);
    // Its own process group: the launcher starts the office as a child, and a conversion that
    // hangs must not leave that child behind.
    office.setChildProcessModifier([] { ::setsid(); });
    office.start(program, {QStringLiteral("--headless"), QStringLiteral("--norestore"),
                           QStringLiteral("-env:UserInstallation=") + QUrl::fromLocalFile(profile.path()).toString(QUrl::FullyEncoded),
                           QStringLiteral("--convert-to"), filter, QStringLiteral("--outdir"), outDir, document});
    if (!office.waitForStarted(30000)) {
        *error = office.errorString();
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    bool finished = false;
    while (!finished && clock.elapsed() < timeoutMs) {
        finished = office.waitForFinished(int(std::min<qint64>(1000, timeoutMs - clock.elapsed())));
        if (!finished && waiting)
            waiting(int(clock.elapsed() / 1000));
    }
    if (!finished) {
        ::kill(-static_cast<pid_t>(office.processId()), SIGKILL);
        office.waitForFinished(5000);
        *error = QStringLiteral("LibreOffice did not finish the conversion in %1 s").arg(timeoutMs / 1000);
        return false;
    }
    const QString output = QString::fromLocal8Bit(office.readAll()).trimmed();
    if (office.exitStatus() != QProcess::NormalExit || office.exitCode() != 0 || !QFileInfo::exists(result)) {
        *error = QStringLiteral("LibreOffice could not convert the document")
                 + (output.isEmpty() ? QString() : QStringLiteral(": ") + output);
        return false;
    }
    *outFile = result;
    return true;
}

} // namespace qst
