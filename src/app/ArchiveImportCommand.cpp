#include "ArchiveImportCommand.h"

#include "Dialogs.h"

#include "common/StorageError.h"
#include "registry/Registry.h"
#include "storage/ArchiveImport.h"

#include <QApplication>
#include <QProgressBar>

namespace qst {

QString ArchiveFileFilter()
{
    return importtexts::kFileFilter.section(u'|', 0, 0);
}

bool RunArchiveImportCommand(const QStringList &files, const QString &dataRoot, Registry &registry, TMsgForm &msg,
                             TPB &progress)
{
    if (files.isEmpty())
        return false;
    QList<quint16> serials;
    try {
        for (const QString &file : files)
            serials.append(ReadDumpSerial(file));
    } catch (const StorageError &e) {
        msg.ShowMessage(e.message(), 0);
        return false;
    }
    const QString title = msg.windowTitle();
    msg.setWindowTitle(importtexts::kConfirmCaption);
    const int answer = msg.ShowMessage(ImportConfirmationText(serials), 1);
    msg.setWindowTitle(title);
    if (answer != 1)
        return false;

    progress.PB1->setValue(0);
    progress.PB2->setValue(0);
    progress.show();
    ImportCallbacks callbacks;
    callbacks.overall = [&](int percent) {
        progress.PB1->setValue(percent);
        QApplication::processEvents();
    };
    callbacks.file = [&](int percent) { progress.PB2->setValue(percent); };
    callbacks.message = [&](const QString &text) { msg.ShowMessage(text, 0); };
    const ImportRunResult run = ImportArchiveFiles(StorageTarget{dataRoot, &registry}, files, serials, callbacks);
    progress.hide();
    msg.ShowMessage(ImportResultText(run), 0);
    return true;
}

} // namespace qst
