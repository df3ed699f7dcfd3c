#pragma once

#include "storage/RecordFeed.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <mutex>

namespace qst {

// A record waiting for the database, as the outbox holds it.
struct OutboxEntry
{
    qint64 appendedMs = 0; // when it was queued (ms since the epoch)
    FedRecord record;
};

struct OutboxBatch
{
    QList<OutboxEntry> entries;
    quint64 generation = 0;
    qint64 endOffset = 0; // where the next unsent entry starts
};

struct OutboxSummary
{
    qint64 pending = 0;        // entries not yet committed
    qint64 oldestMs = 0;       // when the oldest of them was queued; 0 when none
    qint64 bytes = 0;          // size of the outbox file
    qint64 rejected = 0;       // lines of the reject file
};

// Compaction of a partly sent outbox waits until this much has been sent and it is more
// than half the file (so a long catch-up rewrites the file a few times, not per batch).
constexpr qint64 kOutboxCompactBytes = 64LL * 1024 * 1024;

// The records on their way to the database, in the data root's DB folder. Appends are
// synced to disk before they return; the acknowledged position moves only after the
// database committed, so a record is sent at least once whatever stops the program (the
// database's upserts make twice harmless). When everything is sent the file is emptied.
//
// Files: outbox.dat (a header line "QSTOUTBOX <generation>", then one entry per line),
// outbox.ack ("<generation> <offset>": where the unsent entries start; a generation that
// is not the file's means "from the start"), rejects.dat (records the database refused,
// with the reason).
class Outbox
{
public:
    explicit Outbox(const QString &dataRoot);

    static QString FolderPath(const QString &dataRoot);
    const QString &folder() const { return m_folder; }

    // Throws StorageError (a full disk): nothing of the call stays in the file then.
    void Append(const QList<FedRecord> &records);
    // Drops a last entry cut short by a crash; returns the bytes dropped.
    qint64 RepairTail();
    // Up to maxEntries unsent entries in their order. ReadPending and Acknowledge belong to
    // the one sending thread; any thread may append meanwhile.
    OutboxBatch ReadPending(int maxEntries);
    // Everything before endOffset is in the database.
    void Acknowledge(const OutboxBatch &batch);
    void Reject(const OutboxEntry &entry, const QString &reason);

    OutboxSummary Summary();

    // Compaction of a partly sent outbox (see kOutboxCompactBytes); tests lower it.
    void SetCompactBytes(qint64 bytes) { m_compactBytes = bytes; }

    // Entry lines, exposed for the tests of torn and foreign lines.
    static QByteArray EntryLine(qint64 appendedMs, const FedRecord &record);
    static bool ParseEntryLine(QByteArrayView line, OutboxEntry *entry);

private:
    QString outboxPath() const;
    QString ackPath() const;
    QString rejectsPath() const;
    void EnsureFolderLocked();
    struct Position
    {
        quint64 generation = 0;
        qint64 offset = 0;
    };
    Position ReadPosition(const QByteArray &head, qint64 *headerLength);
    void ReplaceWithTailLocked(quint64 generation, const QByteArray &tail);

    QString m_folder;
    std::mutex m_mutex;
    qint64 m_compactBytes;
};


} // namespace qst
