#include "reports/OfficeConvert.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

namespace qst::test {

namespace {

constexpr int kTimeLimitMs = 120000;

void SetError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

QString OfficeProgram()
{
    QString program = QStandardPaths::findExecutable(QStringLiteral("soffice"));
    if (program.isEmpty())
        program = QStandardPaths::findExecutable(QStringLiteral("libreoffice"));
    return program;
}

bool ConvertWithOffice(
    const QString &docx, const QString &format, const QString &outDir, QString *outFile, QString *error)
{
    const QString program = OfficeProgram();
    if (program.isEmpty()) {
        SetError(error, QStringLiteral("LibreOffice (soffice) is not installed"));
        return false;
    }
    // A profile of its own: no clash with a running office or another test, no first-start dialogs.
    QTemporaryDir profile;
    if (!profile.isValid()) {
        SetError(error, QStringLiteral("no temporary folder for the LibreOffice profile"));
        return false;
    }
    const QString extension = format.section(u':', 0, 0);
    const QString expected = QDir(outDir).filePath(QFileInfo(docx).completeBaseName() + u'.' + extension);
    QFile::remove(expected);

    QProcess office;
    office.setProcessChannelMode(QProcess::MergedChannels);
    office.start(program,
        { QStringLiteral("--headless"), QStringLiteral("--norestore"),
            QStringLiteral("-env:UserInstallation=") + QUrl::fromLocalFile(profile.path()).toString(),
            QStringLiteral("--convert-to"), format, QStringLiteral("--outdir"), outDir, docx });
    if (!office.waitForStarted(30000)) {
        SetError(error, QStringLiteral("LibreOffice did not start: ") + office.errorString());
        return false;
    }
    if (!office.waitForFinished(kTimeLimitMs)) {
        office.kill();
        office.waitForFinished(5000);
        SetError(error, QStringLiteral("LibreOffice did not finish within the time limit"));
        return false;
    }
    const QString output = QString::fromLocal8Bit(office.readAll()).trimmed();
    if (office.exitStatus() != QProcess::NormalExit || office.exitCode() != 0 || !QFileInfo::exists(expected)) {
        SetError(error, QStringLiteral("LibreOffice failed (exit %1): %2").arg(office.exitCode()).arg(output));
        return false;
    }
    if (outFile)
        *outFile = expected;
    return true;
}

} // namespace qst::test
