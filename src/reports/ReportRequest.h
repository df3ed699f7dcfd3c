#pragma once

#include "reports/ReportDocuments.h"
#include "reports/TableExport.h"

#include <QDateTime>
#include <QString>

namespace qst {

class TWordDocument;

// A report as qst-cli report and the portal ask for it, before it is checked.
struct ReportArguments
{
    int kind = -1;          // kHourlyReport .. kJournalReport; -1 none (a statement needs none)
    int systemNumber = 1;   // 1, 2 or 3 (cold water)
    QDateTime from;         // a date alone is taken at noon, as the pickers carry it
    QDateTime to;
    QString items;          // "0,1,7": checked items of the field group in use; empty: the defaults
    bool statement = false;
    bool landscape = false;
    bool noIntegrators = false;
    bool faults = false;
    bool noBreaks = false;
};

enum class ReportArgumentError {
    None,
    Selection, // kind, system or period missing or out of range
    Item,      // an item the field group does not have (its text in *badItem)
};

// "hourly" .. "journal" as kHourlyReport .. kJournalReport; -1 otherwise.
int ReportKindFromText(const QString &text);

// The selection and the report page's choices of these arguments.
ReportArgumentError ReadReportArguments(const ReportArguments &arguments, const QString &dataRoot,
                                        quint16 serial, ReportOptions *options, QString *badItem = nullptr);

// The document of the meter with this serial, built as the report page builds it. Empty when
// built; otherwise the refusal for a person (and *noMeter set when no meter has that serial).
QString BuildReportDocument(const QString &dataRoot, quint16 serial, ReportOptions &options, bool statement,
                            TWordDocument &document, bool *noMeter = nullptr);

// The period an export covers: a date alone (toIsDate) covers its whole day at the end; the
// monthly kind takes whole months as the monthly page does.
void ExportPeriodOf(ExportKind kind, const QDateTime &from, const QDateTime &to, bool toIsDate, double *start,
                    double *end);

} // namespace qst
