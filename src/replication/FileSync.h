#pragma once

#include "PgConnection.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>

namespace qst {

class Registry;

struct FileSyncOptions
{
    int serial = -1;    // -1: every registered meter
    QDateTime from;     // invalid: everything; else lines at or after it
    qint64 changedSinceMs = 0; // 0: every file; else only files written since then
    std::function<bool()> cancelled; // asked between files: true ends the sync unfinished
};

struct FileSyncResult
{
    bool ok = true;         // false: the database failed (error says why); what was sent stays
    QString error;
    int meters = 0;
    qint64 sent = 0;        // records committed
    qint64 refused = 0;     // lines the database or the conversion refused
    QStringList refusedLines; // the first few: "<file>: <reason>"
};

// Sends what a data root's files hold (meters, current-values history, archives, journal)
// to the database with the replicator's upserts: running it twice, or after live
// replication, changes nothing. progress gets one line per meter.
FileSyncResult SyncFilesToDatabase(PgConnection &connection, const QString &dataRoot, Registry &registry,
                                   const QString &node, const FileSyncOptions &options,
                                   const std::function<void(const QString &)> &progress);

} // namespace qst
