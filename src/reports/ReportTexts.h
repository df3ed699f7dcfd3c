#pragma once

#include <QString>

// The texts of the report tables, kept together so they can be checked in one place.
namespace qst::texts {

inline const QString kDateCell = QStringLiteral("Дата");
inline const QString kNoValue = QStringLiteral("---");
inline const QString kTotalRow = QStringLiteral("Итого");
inline const QString kMeanRow = QStringLiteral("Среднее");
inline const QString kStartAfterEnd = QStringLiteral("Дата начала должна быть меньше даты конца отчетного периода!");
QString EndTooLate(const QString &newestText);

// The journal protocol's header line, TAB after each cell.
QString JournalHeader();

// Header cell of a check item: cell 0, or cell 1 of the two-cell items 3 and 6.
QString HeaderCell(int heatSystem, int item, int cell);

// Name of bit 0..7 of the abnormal-situation word of row 1..5; empty where none.
QString FaultFlagName(int row, int bit);

// Integrator readings table.
QString IntegratorHeader(int heatSystem);
inline const QString kPreviousReadings = QStringLiteral("Предыдущие показания:");
inline const QString kCumulativeReadings = QStringLiteral("Нарастающий итог:");
inline const QString kReadingsResult = QStringLiteral("Итого:");

} // namespace qst::texts
