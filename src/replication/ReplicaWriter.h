#pragma once

#include "PgConnection.h"
#include "ReplicaRows.h"

#include <QHash>
#include <QList>
#include <QString>

namespace qst {

class Registry;

// What became of a batch of records.
struct ReplicaOutcome
{
    enum Status {
        Committed, // every record is in the database or refused for good
        LinkLost,  // the connection failed: nothing of the batch counts, send it again later
        Failed,    // the database failed for another reason (disk full, schema): retry later
    };
    Status status = Committed;
    QString error;              // for LinkLost and Failed
    int written = 0;            // records committed
    QList<int> refused;         // indexes into the batch of records refused for good
    QStringList refusedReasons; // their reasons, same order
};

// Creates or migrates the schema (serialised between pollers by an advisory lock). Returns
// false with the reason.
bool EnsureSchema(PgConnection &connection, QString *error);

// Upserts the records in one transaction, each table's rows through COPY into a temporary
// table and one upsert from it: the later of two records with one key wins, as in the
// files. When the database refuses the batch for a value, its rows are sent again in parts,
// each committed on its own and a refused part halved, so only the refused records stay
// out, each with its reason.
ReplicaOutcome UpsertRecords(PgConnection &connection, const QString &node, const QList<FedRecord> &records);

// The same in two steps, so that a caller may make the next batch while one is sent: the
// rows (one per key, the last record of the key) as COPY text, made without the database;
// then the sending. The rows' values on their own are made only when a batch must go by
// parts (a refused value, a database without temporary tables). The outcome's indexes are
// the records' in the batch.
struct PreparedRecords
{
    struct Kind
    {
        QList<FedRecord> records; // one per row, in the rows' order
        QList<int> sources;       // the batch index of each row
        QByteArray copyText;
        struct Span
        {
            quint16 serial;
            QByteArray first, last; // the meter's earliest and latest time here, as the database holds it
        };
        QList<Span> spans;        // one per meter of the rows
        qsizetype size() const { return records.size(); }
    };
    QString node;
    QHash<FedKind, Kind> byKind;
    QList<int> refused; // lines no row can hold
    QStringList refusedReasons;
};
PreparedRecords PrepareRecords(const QString &node, const QList<FedRecord> &records);
ReplicaOutcome SendPrepared(PgConnection &connection, const PreparedRecords &prepared);

// The registry's meters as rows of this node; meters no longer registered leave the table
// (their records stay). refused: the database refused a value (not the moment).
bool UpsertMeters(PgConnection &connection, const QString &node, Registry &registry, QString *error,
                  bool *refused = nullptr);

} // namespace qst
