#pragma once

#include "reports/TableExport.h"

#include <QDate>
#include <QList>
#include <QString>

namespace qst {

enum class CheckScope {
    HoursInDay, // the hourly records of a day against its daily record
    DaysInMonth, // the daily records of a month against its monthly record
    Integrators, // the hourly records between two whole-hour readings against the growth of the totals
    OperatingHours, // operating + stop hours of a daily record against 24
    DamagedLine, // a stored line whose fields do not all parse: 1 line expected, 0 usable
    RepeatedLine, // more lines than one for one record time: 1 expected, the count stored
};

struct CheckDifference
{
    CheckScope scope = CheckScope::HoursInDay;
    double time = 0; // the day, the month's first day, or the later reading
    QString quantity;
    double expected = 0;
    double stored = 0;
};

struct CheckResult
{
    QList<CheckDifference> differences;
    int daysChecked = 0;
    int monthsChecked = 0;
    int incompleteDays = 0; // a daily record without all 24 hours stored: not compared
    int incompleteMonths = 0; // a monthly record without every day stored: not compared
    bool integratorsChecked = false;
    int skippedLines = 0;
};

// Whether the stored archive of a meter adds up over the days from..to (both included).
// A difference counts when it exceeds 0.1 % of the expected value or one unit of the last
// digit the pages show for the quantity, whichever is larger. A meter without files is clean.
CheckResult CheckArchive(const QString &dataRoot, const QString &serial, const QDate &from, const QDate &to);

// The differences as a table: date, quantity, expected, stored, difference.
ExportTable CheckTable(const CheckResult &result);

// One line on what was compared and left out.
QString CheckSummary(const CheckResult &result);

} // namespace qst
