#pragma once

#include <QStringList>

#include <functional>

class QWidget;

namespace qst {

class Registry;
class TMsgForm;
class TPB;

// "Считать архив из файла" after the file dialog: the serials of the files, the
// confirmation, the import with TPB's bars, the messages. Returns false when nothing was
// imported (an unreadable file, or the operator said no). The caller rebuilds the tree in
// every case, as a calculator may have been registered.
bool RunArchiveImportCommand(const QStringList &files, const QString &dataRoot, Registry &registry, TMsgForm &msg,
                             TPB &progress);

// The file dialog's filter in Qt's form, from the "Файлы архива (*.arch)|*.arch" filter.
QString ArchiveFileFilter();

} // namespace qst
