#pragma once

#include "DatabaseSettings.h"
#include "Outbox.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace qst {

// What the replicator last knew, kept in DB/State.json for `qst-cli db status` and the
// desktop dialog (another process may read it while the poller runs).
struct ReplicationState
{
    bool connected = false;
    QDateTime lastCommit;      // invalid: never
    qint64 lastCommitRecords = 0;
    qint64 sentTotal = 0;      // since the replicator started
    QString lastError;         // empty once the database answers again
    QDateTime lastErrorAt;
    QDateTime offlineSince;    // invalid while connected
    qint64 notQueued = 0;      // records the outbox could not take (a full disk): need db sync
    QDateTime notQueuedAt;     // the last of them
    // The outbox was damaged: records queued since resyncSinceMs may be missing from the
    // database until the files written since then are sent again.
    bool resyncNeeded = false;
    qint64 resyncSinceMs = 0;  // 0: every file
    QDateTime resyncAt;        // when the damage was found
    QString resyncReason;
};

ReplicationState ReadReplicationState(const QString &dataRoot);
// Throws StorageError. On a full disk the state is written over the old file in place (it
// keeps room for that), so what needs mending is not forgotten.
void WriteReplicationState(const QString &dataRoot, const ReplicationState &state);

// When the last db sync over every meter and every time began (DB/Sync.json); invalid:
// never. A sync that began after records went missing has sent them.
QDateTime ReadLastFullSync(const QString &dataRoot);
void WriteLastFullSync(const QString &dataRoot, const QDateTime &started);

// Why the database may miss records that only db sync can send (records not queued, a
// damaged outbox); empty when nothing needs it.
QString DatabaseSyncNeeded(const QString &dataRoot);

// Copies every record the writers store in the data root into the database, on a thread of
// its own with its own connection. The writers only append to the outbox; the thread sends
// what is there in batches and retries with back-off while the database cannot be reached.
class Replicator
{
public:
    // Called on the replicator's thread or a writer's: the caller stamps and routes the text.
    using Log = std::function<void(const QString &text)>;

    Replicator(QString dataRoot, DatabaseSettings settings, Log log);
    ~Replicator(); // Stop(0)

    // Starts the thread and becomes the data root's record feed.
    void Start();
    // Stops feeding at once; then sends for up to drainMs what waits (while the database
    // answers) and ends the thread. What is left stays in the outbox for the next start.
    void Stop(int drainMs);

    Outbox &outbox() { return m_outbox; }
    // Wakes the thread now (records queued, the settings or the registry changed).
    void Wake();
    // Blocks until the outbox is empty or timeoutMs passed; true when empty. For tests and
    // one-shot commands.
    bool WaitSent(int timeoutMs);

    // Back-off between attempts: 1 s doubling to 60 s. Tests shorten it.
    void SetRetryLimitsForTests(int firstMs, int maxMs);

private:
    class Feed;
    void Run();
    void Say(const QString &text);
    bool Connect();
    bool SaveState();
    void WaitFor(int ms, bool wakeable);
    bool Recover(); // true: something was mended
    bool Resync(class Registry &registry);

    QString m_dataRoot;
    DatabaseSettings m_settings;
    QString m_node;
    Log m_log;
    Outbox m_outbox;
    std::shared_ptr<Feed> m_feed;
    std::thread m_thread;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_woken = false;
    bool m_stopping = false;
    qint64 m_drainUntilMs = 0;
    std::condition_variable m_sentChanged;
    bool m_empty = true;

    // Thread-owned.
    class PgConnection *m_connection = nullptr;
    ReplicationState m_state;
    int m_firstRetryMs = 1000;
    int m_maxRetryMs = 60000;
    int m_retryMs = 1000;
    bool m_offlineLogged = false;
    bool m_backlog = false; // more than one batch waited, or the database was away
    qint64 m_sentSinceBacklog = 0;
    qint64 m_registryStamp = -1;
    std::atomic<bool> m_stateUnsaved{false};
    bool m_nodeRefused = false;
    bool m_recoverFailedLogged = false;
    QString m_metersRefused; // the last refusal of the meter list, logged once
    std::mutex m_stateMutex; // m_state.notQueued from the feed
};

} // namespace qst
