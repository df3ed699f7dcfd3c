#include "ReportCommand.h"

#include "AppTexts.h"
#include "Dialogs.h"

#include "reports/ReportTexts.h"
#include "reports/WordDocument.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QProgressBar>

namespace qst {

namespace {

// A name fit for any file system: no separators, no characters a desktop refuses.
QString SafeFileName(QString name)
{
    static const QString forbidden = QStringLiteral("/\\:*?\"<>|");
    for (QChar &c : name) {
        if (forbidden.contains(c) || c.unicode() < 0x20)
            c = u'_';
    }
    return name;
}

} // namespace

QString ReportTargetFile(const QString &saveText)
{
    if (saveText.trimmed().isEmpty())
        return {};
    // Documents are written as .docx; a name kept from the .doc days gets the new extension.
    if (saveText.endsWith(QStringLiteral(".doc"), Qt::CaseInsensitive))
        return saveText + u'x';
    return saveText;
}

QString RunReportCommand(const ReportRun &run, TMsgForm &msg, TPB &progress)
{
    progress.PB1->setValue(0);
    progress.PB2->hide();
    bool shown = false;
    const ReportProgress onProgress = [&](int percent) {
        if (!shown && percent > 0) {
            progress.show();
            shown = true;
        }
        progress.PB1->setValue(percent);
        QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    };
    TWordDocument document;
    const QString refusal = run.statement ? BuildHeatStatement(run.options, document, onProgress)
                                          : BuildProtocolReport(run.options, document, onProgress);
    progress.hide();
    progress.PB2->show();
    if (!refusal.isEmpty()) {
        msg.ShowMessage(refusal, 0);
        return {};
    }

    QString target = ReportTargetFile(run.saveText);
    QString error;
    if (!target.isEmpty()) {
        bool save = true;
        if (QFileInfo::exists(target))
            save = msg.ShowMessage(texts::kOverwriteQuestion, 1) == 1;
        if (save && !document.SaveAs(target, &error)) {
            msg.ShowMessage(target + u'\n' + error, 0);
            return {};
        }
        if (!save) {
            // "Нет": nothing is saved, but the document is still shown from a file of its own.
            target.clear();
        }
    }
    if (target.isEmpty()) {
        QDir().mkpath(run.tempFolder);
        target = QDir(run.tempFolder).filePath(SafeFileName(ReportFileBaseName(run.options, run.statement))
                                               + QStringLiteral(".docx"));
        if (!document.SaveAs(target, &error)) {
            msg.ShowMessage(target + u'\n' + error, 0);
            return {};
        }
    }
    if (!run.open || !run.open(target))
        msg.ShowMessage(ui::kNoViewer + target, 0);
    return target;
}

} // namespace qst
