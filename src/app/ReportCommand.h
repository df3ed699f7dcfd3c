#pragma once

#include "reports/ReportDocuments.h"

#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace qst {

class Registry;
class TMsgForm;
class TPB;

// What the start button does once the page's choices are read: build the protocol or the
// statement, save it where SaveEdit says (asking before overwriting), and show it.
struct ReportRun
{
    ReportOptions options;
    bool statement = false; // MOEKCB
    QString saveText;       // SaveEdit's text
    QString tempFolder;     // where an unnamed document is kept to be shown
    // Opens a saved document with the desktop's default application; false when nothing could.
    std::function<bool(const QString &fileName)> open;
};

// The file a report is saved as: SaveEdit's name with a .doc of old settings made .docx;
// empty for a blank text.
QString ReportTargetFile(const QString &saveText);

// Returns the file shown (empty when none).
QString RunReportCommand(const ReportRun &run, TMsgForm &msg, TPB &progress);

// "Отчёты группы…": a report for every meter of a group and its subgroups. The dialog starts
// from the report page's choices and shows them to change (kind, period, columns by their
// names `columns` for the options' heat system, orientation), asks for the folder and the
// file name pattern; then progress (cancel stops between documents) and the summary.
// Returns the summary lines (empty when nothing ran).
QStringList RunGroupReportsCommand(QWidget *parent, Registry &registry, int group, const ReportOptions &options,
                                   bool statement, const QStringList &columns = {});

} // namespace qst
