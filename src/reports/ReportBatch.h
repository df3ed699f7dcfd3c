#pragma once

#include "reports/ReportDocuments.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace qst {

class Registry;

// The meters of a group and of its subgroups, in the tree's display order; none when the
// group does not exist.
QList<int> GroupMeters(Registry &registry, int group);

inline const QString kDefaultBatchPattern = QStringLiteral("{serial} {name} {from}.docx");

// A file name from the pattern: {serial}, {name}, {abon}, {from} and {to} (ISO dates) are
// replaced; whatever would leave the folder or upset a file system (path separators, control
// characters, : * ? " < > |, a leading dot, trailing blanks and dots) becomes "_", and a name
// longer than `maxBytes` of UTF-8 (the file system's limit) is cut between whole characters,
// keeping its extension. Never empty, never a path.
QString BatchFileName(const QString &pattern, const ReportMeter &meter, const QDateTime &from, const QDateTime &to,
    int maxBytes = 255);

struct BatchItem
{
    int meter = 0;
    QString serial;
    QString name;
    QString file; // the path written or meant
    bool written = false;
    QString reason; // why not
    QStringList notes; // what the document tells the operator
};

struct BatchResult
{
    QList<BatchItem> items;
    bool cancelled = false;
};

// Before each document: how many are done, of how many, and the meter's serial. Returning
// false stops the batch between documents.
using BatchProgress = std::function<bool(int done, int total, const QString &serial)>;

// One document per meter of the group, built from `options` with the meter put in, into
// outDir under the pattern's names. Two meters that would share a name get " (2)", " (3)" ...;
// an existing file is refused unless `overwrite`.
BatchResult BuildGroupReports(Registry &registry, int group, const ReportOptions &options, bool statement,
    const QString &outDir, const QString &pattern, bool overwrite, const BatchProgress &progress = {});

// The summary: one line per document (written, or refused with the reason), then the counts.
QStringList BatchSummary(const BatchResult &result);

} // namespace qst
