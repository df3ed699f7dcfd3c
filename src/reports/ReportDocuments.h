#pragma once

#include "ReportTables.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace qst {

class Registry;
class TWordDocument;

// The registry values a document shows of its meter, read once.
struct ReportMeter
{
    QString serial;
    QString name;
    QString phone;
    QString abonNo;
    QString physAddress;
    QString person;
    QString du;            // "DU" as text (protocol header)
    int duNumber = 15;     // "DU" as integer (statement limits)
    int measuringClass = 0;
    int devType = 1;
};

// A meter's values; an empty set (serial only) for a number that names no meter.
ReportMeter ReadReportMeter(Registry &registry, int meterNumber);

// The report page's choices beyond the data selection.
struct ReportOptions
{
    ReportSelection selection;
    ReportMeter meter;
    int orientation = 0;         // OrientRG: 0 portrait, 1 landscape
    bool showIntegrators = true; // ShowIntCB
    bool detail = false;         // DetailCB
    bool detailVisible = true;   // whether DetailCB is shown
    bool breakPages = true;      // BreakCB
};

// Called now and then while a document is built, with a percentage.
using ReportProgress = std::function<void(int percent)>;

// The protocol (hourly, daily, monthly, journal) written into an empty document, up to and
// including its protection. Empty when built; otherwise the period refusal to show, and the
// document is left untouched.
QString BuildProtocolReport(const ReportOptions &options, TWordDocument &document,
                            const ReportProgress &progress = {});

// The heat supply statement: the statement's fixed selection is applied to the options first.
QString BuildHeatStatement(ReportOptions options, TWordDocument &document, const ReportProgress &progress = {});

// The picture of the report page header (BITMAP_0), drawn for portrait or landscape pages.
QByteArray ReportHeaderPicture(bool landscape = false);

// The name a document is saved under: documents are .docx, so a ".doc" name gets the "x".
QString DocxFileName(const QString &fileName);

// The document's own name for a report kept without a chosen file: kind, serial, period.
QString ReportFileBaseName(const ReportOptions &options, bool statement);

// The fixed password of every document's read-only protection.
inline const QString kReportPassword = QStringLiteral("LedgerSealPwd");

} // namespace qst
