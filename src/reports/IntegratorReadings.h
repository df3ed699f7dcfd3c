#pragma once

#include "ReportTables.h"

#include <QString>

#include <array>

namespace qst {

// The calculator's running totals at the period ends, from the current-values history
// moved to the exact boundaries with the archive records in between.

using IntegratorVector = std::array<float, 7>;

// The history line nearest in time to `x` among the month before, the month of and the
// month after x; empty when none.
QString FindNearestHistoryLine(const ReportSelection &selection, double x);

// How far a reading taken at `readingTime` is to be moved to stand for `boundary`
// (reading minus correction = value at the boundary).
IntegratorVector BoundaryCorrection(const ReportSelection &selection, int kind, double boundary, double readingTime);

// Header, previous readings, cumulative total and their difference; returns the cells
// per line (8, or 4 for cold water). For the monthly kind the readings are taken at the
// bounds of the whole months whose records lie in [start, end], the months the table sums.
int BuildIntegratorRows(const ReportSelection &selection, RowList &rows, double start, double end,
                        const ReportTotals &totals, int kind);

// The statement's integrator table as it shows: 6 rows of 4 cells. Heat and masses are the
// readings of BuildIntegratorRows; the hours' result is the statement table's own total, and
// the reading at the period's end the previous reading plus that result, so one figure has
// one value in the document.
QList<QStringList> BuildStatementReadings(const ReportSelection &selection, const ReportTotals &totals,
                                          const StatementHours &hours);

} // namespace qst
