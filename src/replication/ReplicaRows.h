#pragma once

#include "storage/RecordFeed.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace qst {

// A column of a record table and how its parameter text is cast.
struct ReplicaColumn
{
    const char *name;
    const char *type; // float8, int4, timestamp, text
};

// One table per kind of line file: its name, the columns after serial and time (field 1
// onward of the line for the numeric kinds), and its key.
struct ReplicaTable
{
    FedKind kind;
    const char *name;
    QList<ReplicaColumn> fieldColumns; // fields 1.. of the line, in order
    QStringList keyColumns;            // besides serial: time (and the texts for the journal), node
};

const ReplicaTable &TableOf(FedKind kind);
const QList<FedKind> &AllFedKinds();

// A line made into parameters: serial, time, the field columns, line, node; nullopt for
// SQL NULL (a field the line does not have, e.g. a first-version line's counters).
struct ReplicaRow
{
    FedKind kind = FedKind::Hourly;
    QList<std::optional<QByteArray>> values;
    QByteArray key; // identity within its table, for keeping the last of equal rows
};

// Fails with a reason for a line no table row can hold (a time or a number that does not
// convert, a time outside the calendar).
bool MakeReplicaRow(const FedRecord &record, const QString &node, ReplicaRow *row, QString *reason);
// The same row appended to copyText as one line of COPY's text format, without the row's
// values on their own (the fast path of a batch); key and stamp (its time as the database
// holds it) as MakeReplicaRow makes them. On failure copyText is as it was.
bool AppendCopyRow(const FedRecord &record, const QByteArray &nodeUtf8, QByteArray *copyText, QByteArray *key,
                   QByteArray *stamp, QString *reason);

// The line's time as the database holds it: local wall-clock time to the second, as the
// files compare times.
bool TimestampText(double dayCount, QByteArray *text);

// INSERT ... SELECT FROM unnest(...) ON CONFLICT DO UPDATE: one array parameter per
// column; re-sending an equal row writes nothing.
QByteArray UpsertStatement(const ReplicaTable &table);
int ParameterCount(const ReplicaTable &table); // columns per row
// The rows from..from+count as the statement's array parameters (array literals).
QList<QByteArray> ArrayParameters(const ReplicaTable &table, const QList<ReplicaRow> &rows, qsizetype from,
                                  qsizetype count);

// The batch path: COPY into a temporary table of the record table's columns (no keys, no
// constraints: the record table judges the rows), then one upsert from it. The temporary
// table is made once per connection and empties itself at every commit.
QByteArray StagingTableStatement(const ReplicaTable &table);
QByteArray CopyStatement(const ReplicaTable &table);
QByteArray UpsertFromStagingStatement(const ReplicaTable &table);
// COPY straight into the table, for rows whose keys it cannot hold yet.
QByteArray DirectCopyStatement(const ReplicaTable &table);
// Whether the table holds a row of a meter of $1 (integer[]) between its times in $2 and $3
// (timestamp[], the same order).
QByteArray RangeProbeStatement(const ReplicaTable &table);
// The rows from..from+count in COPY's text format.
QByteArray CopyText(const QList<ReplicaRow> &rows, qsizetype from, qsizetype count);
// One value as COPY's text format spells it: backslash, tab, line feed and carriage
// return escaped, every other byte as it is.
void AppendCopyValue(QByteArray *out, const QByteArray &value);

// The statements that create the schema of this version, in order.
// Version 2: the node is part of the record tables' keys.
constexpr int kSchemaVersion = 2;
QList<QByteArray> SchemaStatements();
// What brings tables of an older version to this one.
QList<QByteArray> MigrationStatements(int fromVersion);

} // namespace qst
