#include "OfficeConversion.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

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

bool ConvertWithOffice(const QString &document, const QString &filter, const QString &outDir, QString *outFile,
                       QString *error, int timeoutMs)
{
    const QString program = OfficeProgram();
    if (program.isEmpty()) {
        *error = QStringLiteral("LibreOffice (soffice) is not installed");
        return false;
    }
    QTemporaryDir profile;
    if (!profile.isValid()) {
        *error = profile.errorString();
        return false;
    }
    const QString target = filter.section(u':', 0, 0);
    const QString result = QDir(outDir).filePath(QFileInfo(document).completeBaseName() + u'.' + target);
    QFile::remove(result);

    QProcess office;
    office.setProcessChannelMode(QProcess::MergedChannels);
    office.start(program, {QStringLiteral("--headless"), QStringLiteral("--norestore"),
                           QStringLiteral("-env:UserInstallation=") + QUrl::fromLocalFile(profile.path()).toString(),
                           QStringLiteral("--convert-to"), filter, QStringLiteral("--outdir"), outDir, document});
    if (!office.waitForStarted(30000)) {
        *error = office.errorString();
        return false;
    }
    if (!office.waitForFinished(timeoutMs)) {
        office.kill();
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
