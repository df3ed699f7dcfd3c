#pragma once

#include <QDate>
#include <QString>

class QWidget;

namespace qst {

struct ExportTable;

// "Экспорт…": asks for a file (.xlsx or .csv by the filter or the name's suffix), writes the
// table whole or not at all, and shows the reason of a failure or the note on skipped lines.
void SaveExportTable(QWidget *parent, const ExportTable &table, const QString &suggestedName);

// "Проверить архив": asks for the days, checks the meter's archive and shows the differences,
// which can be exported in turn.
void RunArchiveCheckCommand(
    QWidget *parent, const QString &dataRoot, const QString &serial, const QDate &from, const QDate &to);

} // namespace qst
