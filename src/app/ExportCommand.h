#pragma once

#include <QDate>
#include <QString>

class QWidget;

namespace qst {

struct ExportTable;
class TMsgForm;

// Writes the table whole or not at all (.xlsx, or .csv by the name's suffix, in Windows-1251
// with that filter) and shows where it went, with the note on skipped lines, or why it did
// not. The path written; empty on failure. Without a message box, Qt's boxes.
QString WriteExportTable(QWidget *parent, TMsgForm *msg, const ExportTable &table, const QString &path,
                         const QString &filter);
// "Экспорт…": asks for the file, then as above.
QString SaveExportTable(QWidget *parent, TMsgForm *msg, const ExportTable &table, const QString &suggestedName);

// "Проверить архив": asks for the days, checks the meter's archive and shows the differences,
// which can be exported in turn.
void RunArchiveCheckCommand(
    QWidget *parent, const QString &dataRoot, const QString &serial, const QDate &from, const QDate &to);

} // namespace qst
