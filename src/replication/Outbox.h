#pragma once

#include "storage/RecordFeed.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
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
    QString damage;       // not empty: reading stopped at damage; Recover() mends it
};

struct OutboxSummary
{
    qint64 pending = 0;        // entries not yet committed
    qint64 oldestMs = 0;       // when the oldest of them was queued; 0 when none
    qint64 bytes = 0;          // size of the outbox file
    qint64 rejected = 0;       // lines of the reject file
    QString damage;            // not empty: the file is damaged (what and where)
};

// What Recover() found and did.
struct OutboxRecovery
{
    QString damage;            // empty: the file was sound
    qint64 migrated = 0;       // entries carried over from a file of the previous format
    qint64 damagedEntries = 0; // entries whose bytes were moved to the quarantine file
    qint64 quarantinedBytes = 0;
    QString quarantinePath;
    // Records may be missing from the outbox: they must come from the data files. The
    // files written since resyncSinceMs hold them (0: unknown, every file).
    bool resync = false;
    qint64 resyncSinceMs = 0;
};

// Compaction of a partly sent outbox waits until this much has been sent and it is more
// than half the file (so a long catch-up rewrites the file a few times, not per batch).
constexpr qint64 kOutboxCompactBytes = 64LL * 1024 * 1024;
// No file line comes near this; an entry longer than it is damage.
constexpr qint64 kOutboxMaxEntryBytes = 1024 * 1024;

// The records on their way to the database, in the data root's DB folder. Appends are
// synced to disk before they return; the acknowledged position moves only after the
// database committed, so a record is sent at least once whatever stops the program (the
// database's upserts make twice harmless). When everything is sent the file is emptied.
//
// Files: outbox.dat (a header line "QSTOUTBOX2 <generation>", then one entry per line:
// "<crc32 of the rest, 8 hex>\t<queued ms>\t<kind>\t<serial>\t<escaped line>"),
// outbox.ack ("<generation> <offset>": where the unsent entries start; a generation that
// is not the file's means "from the start"), rejects.dat (records the database refused,
// with the reason), outbox-damaged-*.dat (damaged bytes set aside by Recover).
// A file of the previous format (header "QSTOUTBOX", entries without checksum) is carried
// over by Recover.
class Outbox
{
public:
    explicit Outbox(const QString &dataRoot);
    // An outbox of another consumer of the records, in its own folder of the data root.
    Outbox(const QString &dataRoot, const QString &folderName);

    static QString FolderPath(const QString &dataRoot);
    const QString &folder() const { return m_folder; }

    // Throws StorageError (a full disk): nothing of the call stays in the file then.
    // Records too long for an entry (kOutboxMaxEntryBytes) are left out: returns how many.
    int Append(const QList<FedRecord> &records);
    // Checks the whole file (header, acknowledgement, every entry's framing and checksum);
    // when damaged, sets the damaged bytes aside in a quarantine file beside it and keeps
    // the sound entries. Throws StorageError when that cannot be written; the file stays.
    OutboxRecovery Recover();
    // Up to maxEntries unsent entries in their order, stopping before damage. ReadPending
    // and Acknowledge belong to the one sending thread; any thread may append meanwhile.
    // With after: the entries that follow that batch, read while it is being sent; none
    // when the file has been replaced since it was read.
    OutboxBatch ReadPending(int maxEntries, const OutboxBatch *after = nullptr);
    // Everything before endOffset is in the database. True when that replaced the file
    // (emptied or compacted): offsets read before no longer hold.
    bool Acknowledge(const OutboxBatch &batch);
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
    OutboxRecovery RecoverLocked();
    void ReplaceWithTailLocked(quint64 generation, const QByteArray &tail);

    QString m_folder;
    std::mutex m_mutex;
    qint64 m_compactBytes;
    bool m_checked = false;             // Recover ran (an append into an old file waits for it)
    OutboxRecovery m_unreported;        // what a Recover run by Append found
    std::atomic<qint64> m_synced{-1};   // bytes of outbox.dat known to be whole; -1: unknown
};

} // namespace qst
