#include "Replicator.h"

#include "PgConnection.h"
#include "FileSync.h"
#include "ReplicaWriter.h"

#include "common/DataRoot.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "registry/Registry.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace qst {

namespace {

constexpr int kBatchSize = 2000;
// A backlog (after an outage, a first start) goes in batches as large as db sync's: a
// transaction and an acknowledgement per 2,000 records cost three times the server's COPY.
constexpr int kBacklogBatchSize = 20000;
constexpr int kIdleCheckMs = 5000;

QList<FedRecord> RecordsOf(const OutboxBatch &batch)
{
    QList<FedRecord> records;
    records.reserve(batch.entries.size());
    for (const OutboxEntry &e : batch.entries)
        records.append(e.record);
    return records;
}

QString StatePath(const QString &dataRoot)
{
    return Outbox::FolderPath(dataRoot) + QStringLiteral("/State.json");
}

QString KindText(FedKind kind)
{
    switch (kind) {
    case FedKind::History:
        return QStringLiteral("текущие");
    case FedKind::Hourly:
        return QStringLiteral("часовой");
    case FedKind::Daily:
        return QStringLiteral("суточный");
    case FedKind::Monthly:
        return QStringLiteral("месячный");
    case FedKind::Journal:
        return QStringLiteral("журнал");
    }
    return {};
}

qint64 RegistryStamp(const QString &dataRoot)
{
    const QFileInfo info(TreeIniPath(dataRoot));
    return info.exists() ? info.lastModified().toMSecsSinceEpoch() * 1000003 + info.size() : 0;
}

} // namespace

ReplicationState ReadReplicationState(const QString &dataRoot)
{
    ReplicationState s;
    QByteArray bytes;
    try {
        bytes = ReadFileBytes(StatePath(dataRoot));
    } catch (const StorageError &) {
        return s;
    }
    const QJsonObject o = QJsonDocument::fromJson(bytes.trimmed()).object();
    s.connected = o.value(QStringLiteral("connected")).toBool();
    s.lastCommit = QDateTime::fromString(o.value(QStringLiteral("lastCommit")).toString(), Qt::ISODateWithMs);
    s.lastCommitRecords = o.value(QStringLiteral("lastCommitRecords")).toInteger();
    s.sentTotal = o.value(QStringLiteral("sentTotal")).toInteger();
    s.lastError = o.value(QStringLiteral("lastError")).toString();
    s.lastErrorAt = QDateTime::fromString(o.value(QStringLiteral("lastErrorAt")).toString(), Qt::ISODateWithMs);
    s.offlineSince = QDateTime::fromString(o.value(QStringLiteral("offlineSince")).toString(), Qt::ISODateWithMs);
    s.notQueued = o.value(QStringLiteral("notQueued")).toInteger();
    s.notQueuedAt = QDateTime::fromString(o.value(QStringLiteral("notQueuedAt")).toString(), Qt::ISODateWithMs);
    s.resyncNeeded = o.value(QStringLiteral("resyncNeeded")).toBool();
    s.resyncSinceMs = o.value(QStringLiteral("resyncSinceMs")).toInteger();
    s.resyncAt = QDateTime::fromString(o.value(QStringLiteral("resyncAt")).toString(), Qt::ISODateWithMs);
    s.resyncReason = o.value(QStringLiteral("resyncReason")).toString();
    return s;
}

namespace {

// State.json is kept at least this long, so that a full disk can still take a rewrite in
// place.
constexpr qsizetype kStateRoom = 2048;

QString MsTime(const QDateTime &t)
{
    return t.isValid() ? t.toString(Qt::ISODateWithMs) : QString();
}

// Overwrites an existing file from its start without needing a new block.
bool OverwriteInPlace(const QString &path, const QByteArray &bytes)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat st{};
    bool ok = ::fstat(fd, &st) == 0 && st.st_size >= bytes.size() &&
              ::pwrite(fd, bytes.constData(), size_t(bytes.size()), 0) == ssize_t(bytes.size()) && ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok;
}

} // namespace

void WriteReplicationState(const QString &dataRoot, const ReplicationState &s)
{
    QJsonObject o;
    o.insert(QStringLiteral("connected"), s.connected);
    o.insert(QStringLiteral("lastCommit"), MsTime(s.lastCommit));
    o.insert(QStringLiteral("lastCommitRecords"), s.lastCommitRecords);
    o.insert(QStringLiteral("sentTotal"), s.sentTotal);
    o.insert(QStringLiteral("lastError"), s.lastError.left(600));
    o.insert(QStringLiteral("lastErrorAt"), MsTime(s.lastErrorAt));
    o.insert(QStringLiteral("offlineSince"), MsTime(s.offlineSince));
    o.insert(QStringLiteral("notQueued"), s.notQueued);
    o.insert(QStringLiteral("notQueuedAt"), MsTime(s.notQueuedAt));
    o.insert(QStringLiteral("resyncNeeded"), s.resyncNeeded);
    o.insert(QStringLiteral("resyncSinceMs"), s.resyncSinceMs);
    o.insert(QStringLiteral("resyncAt"), MsTime(s.resyncAt));
    o.insert(QStringLiteral("resyncReason"), s.resyncReason.left(300));
    QByteArray bytes = QJsonDocument(o).toJson(QJsonDocument::Indented);
    if (bytes.size() < kStateRoom)
        bytes += QByteArray(kStateRoom - bytes.size() - 1, ' ') + '\n';
    QDir().mkpath(Outbox::FolderPath(dataRoot));
    try {
        SaveFileBytes(StatePath(dataRoot), bytes);
    } catch (const StorageError &) {
        if (!OverwriteInPlace(StatePath(dataRoot), bytes))
            throw;
    }
}

QDateTime ReadLastFullSync(const QString &dataRoot)
{
    try {
        const QJsonObject o =
            QJsonDocument::fromJson(ReadFileBytes(Outbox::FolderPath(dataRoot) + QStringLiteral("/Sync.json"))).object();
        return QDateTime::fromString(o.value(QStringLiteral("fullSyncStarted")).toString(), Qt::ISODateWithMs);
    } catch (const StorageError &) {
        return {};
    }
}

void WriteLastFullSync(const QString &dataRoot, const QDateTime &started)
{
    QJsonObject o;
    o.insert(QStringLiteral("fullSyncStarted"), MsTime(started));
    QDir().mkpath(Outbox::FolderPath(dataRoot));
    SaveFileBytes(Outbox::FolderPath(dataRoot) + QStringLiteral("/Sync.json"), QJsonDocument(o).toJson());
}

namespace {

bool SyncedSince(const QDateTime &lastSync, const QDateTime &at)
{
    return lastSync.isValid() && at.isValid() && lastSync > at;
}

} // namespace

QString DatabaseSyncNeeded(const QString &dataRoot)
{
    const ReplicationState s = ReadReplicationState(dataRoot);
    const QDateTime lastSync = ReadLastFullSync(dataRoot);
    QStringList why;
    if (s.notQueued > 0 && !SyncedSince(lastSync, s.notQueuedAt))
        why << QStringLiteral("%1 records were not queued for the database").arg(s.notQueued);
    if (s.resyncNeeded && !SyncedSince(lastSync, s.resyncAt))
        why << QStringLiteral("the outbox was damaged (%1)").arg(s.resyncReason);
    try {
        const OutboxSummary summary = Outbox(dataRoot).Summary();
        // A sync begun after the file last changed has sent whatever its damage hides.
        const QDateTime changed =
            QFileInfo(Outbox::FolderPath(dataRoot) + QStringLiteral("/outbox.dat")).lastModified();
        if (!summary.damage.isEmpty() && !SyncedSince(lastSync, changed))
            why << QStringLiteral("the outbox is damaged (%1)").arg(summary.damage);
    } catch (const StorageError &e) {
        why << e.message();
    }
    return why.join(QStringLiteral("; "));
}

// The data root's record feed: appends to the outbox on the writer's thread and wakes the
// replicator. Detached before the replicator goes, so a writer never reaches a dead one.
class Replicator::Feed final : public RecordFeed
{
public:
    explicit Feed(Replicator *owner)
        : m_owner(owner)
    {
    }

    void Stored(const QList<FedRecord> &records) override
    {
        std::lock_guard lock(m_mutex);
        if (!m_owner)
            return;
        try {
            const int tooLong = m_owner->m_outbox.Append(records);
            if (tooLong > 0) {
                NotQueued(tooLong);
                m_owner->Say(QStringLiteral("Запись не поставлена в очередь базы данных: длиннее %1 байт. Архив записан; "
                                            "выполните qst-cli db sync (не поставлено: %2)")
                                 .arg(kOutboxMaxEntryBytes)
                                 .arg(tooLong));
            }
            if (m_failing) {
                m_failing = false;
                m_owner->Say(QStringLiteral("Очередь базы данных снова принимает записи"));
                // The count of what was not queued may not have reached the disk yet.
                m_owner->SaveState();
            }
        } catch (const StorageError &e) {
            const qint64 lost = NotQueued(records.size());
            if (!m_failing)
                m_owner->Say(QStringLiteral("Запись не поставлена в очередь базы данных: %1. Архив записан; "
                                            "после устранения выполните qst-cli db sync (не поставлено: %2)")
                                 .arg(e.message())
                                 .arg(lost));
            m_failing = true;
            return;
        }
        m_owner->Wake();
    }

    // Counts records the outbox did not take and tries to keep the count on disk.
    qint64 NotQueued(qint64 count)
    {
        qint64 lost = 0;
        {
            std::lock_guard stateLock(m_owner->m_stateMutex);
            m_owner->m_state.notQueued += count;
            m_owner->m_state.notQueuedAt = QDateTime::currentDateTime();
            lost = m_owner->m_state.notQueued;
        }
        m_owner->SaveState();
        return lost;
    }

    void Detach()
    {
        std::lock_guard lock(m_mutex);
        m_owner = nullptr;
    }

private:
    std::mutex m_mutex;
    Replicator *m_owner;
    bool m_failing = false;
};

Replicator::Replicator(QString dataRoot, DatabaseSettings settings, Log log)
    : m_dataRoot(std::move(dataRoot))
    , m_settings(std::move(settings))
    , m_node(m_settings.nodeOrHost())
    , m_log(std::move(log))
    , m_outbox(m_dataRoot)
{
    m_state = ReadReplicationState(m_dataRoot);
    m_state.connected = false;
    m_state.sentTotal = 0;
}

Replicator::~Replicator()
{
    Stop(0);
}

void Replicator::SetRetryLimitsForTests(int firstMs, int maxMs)
{
    m_firstRetryMs = firstMs;
    m_maxRetryMs = maxMs;
    m_retryMs = firstMs;
}

void Replicator::Start()
{
    if (m_thread.joinable())
        return;
    m_feed = std::make_shared<Feed>(this);
    SetRecordFeed(m_dataRoot, m_feed);
    {
        // What the outbox held from before is queued too: not empty until the thread has
        // looked.
        std::lock_guard lock(m_mutex);
        m_empty = false;
    }
    m_thread = std::thread([this] { Run(); });
}

void Replicator::Stop(int drainMs)
{
    if (m_feed) {
        SetRecordFeed(m_dataRoot, nullptr);
        m_feed->Detach();
        m_feed.reset();
    }
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_drainUntilMs = QDateTime::currentMSecsSinceEpoch() + drainMs;
        m_woken = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void Replicator::Wake()
{
    {
        std::lock_guard lock(m_mutex);
        m_woken = true;
        m_empty = false;
    }
    m_wake.notify_all();
}

bool Replicator::WaitSent(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    return m_sentChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_empty; });
}

void Replicator::Say(const QString &text)
{
    if (m_log)
        m_log(text);
}

bool Replicator::SaveState()
{
    // A db sync begun after the records went missing has sent them.
    const QDateTime lastSync = ReadLastFullSync(m_dataRoot);
    std::lock_guard lock(m_stateMutex);
    if (m_state.notQueued > 0 && SyncedSince(lastSync, m_state.notQueuedAt))
        m_state.notQueued = 0;
    if (m_state.resyncNeeded && SyncedSince(lastSync, m_state.resyncAt))
        m_state.resyncNeeded = false;
    try {
        WriteReplicationState(m_dataRoot, m_state);
        m_stateUnsaved = false;
    } catch (const StorageError &) {
        // kept in memory and written at the next chance; the log carries what matters
        m_stateUnsaved = true;
    }
    return !m_stateUnsaved;
}

void Replicator::WaitFor(int ms, bool wakeable)
{
    std::unique_lock lock(m_mutex);
    // A back-off is not cut short by new records: only a stop ends it.
    m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this, wakeable] { return (wakeable && m_woken) || m_stopping; });
    if (wakeable)
        m_woken = false;
}

bool Replicator::Recover()
{
    OutboxRecovery r;
    try {
        r = m_outbox.Recover();
        m_recoverFailedLogged = false;
    } catch (const StorageError &e) {
        if (!m_recoverFailedLogged)
            Say(QStringLiteral("Очередь базы данных повреждена, исправить её не удалось: %1. "
                               "Выполните qst-cli db sync после устранения")
                    .arg(e.message()));
        m_recoverFailedLogged = true;
        {
            std::lock_guard lock(m_stateMutex);
            if (!m_state.resyncNeeded) {
                m_state.resyncNeeded = true;
                m_state.resyncSinceMs = 0;
                m_state.resyncAt = QDateTime::currentDateTime();
                m_state.resyncReason = e.message();
            }
        }
        SaveState();
        return false;
    }
    if (r.migrated > 0)
        Say(QStringLiteral("Очередь базы данных прежнего формата перенесена (%1 записей)").arg(r.migrated));
    if (r.damage.isEmpty())
        return r.migrated > 0;
    QString text = QStringLiteral("Очередь базы данных повреждена: %1").arg(r.damage);
    if (!r.quarantinePath.isEmpty())
        text += QStringLiteral(". Повреждённая часть (%1 байт) сохранена в %2")
                    .arg(r.quarantinedBytes)
                    .arg(QDir::toNativeSeparators(r.quarantinePath));
    if (r.resync)
        text += QStringLiteral(". Записи затронутого периода будут отправлены заново из файлов архива");
    else
        text += QStringLiteral(". Неотправленные записи будут отправлены заново");
    Say(text);
    if (r.resync) {
        {
            std::lock_guard lock(m_stateMutex);
            m_state.resyncSinceMs = m_state.resyncNeeded ? qMin(m_state.resyncSinceMs, r.resyncSinceMs) : r.resyncSinceMs;
            m_state.resyncNeeded = true;
            m_state.resyncAt = QDateTime::currentDateTime();
            m_state.resyncReason = r.damage;
        }
        SaveState();
    }
    return true;
}

bool Replicator::Resync(Registry &registry)
{
    ReplicationState wanted;
    {
        std::lock_guard lock(m_stateMutex);
        wanted = m_state;
    }
    FileSyncOptions options;
    options.changedSinceMs = wanted.resyncSinceMs;
    // A stop does not wait for the files: what is left is sent at the next start.
    options.cancelled = [this] {
        std::lock_guard lock(m_mutex);
        return m_stopping;
    };
    const FileSyncResult result = SyncFilesToDatabase(*m_connection, m_dataRoot, registry, m_node, options, nullptr);
    if (!result.ok) {
        Say(QStringLiteral("База данных: повторная отправка из файлов прервана: %1. Повтор позже").arg(result.error));
        return false;
    }
    for (const QString &line : result.refusedLines)
        Say(QStringLiteral("База данных отклонила запись: %1").arg(line));
    Say(QStringLiteral("База данных: записи затронутого периода отправлены заново из файлов (%1 записей, отклонено %2)")
            .arg(result.sent)
            .arg(result.refused));
    {
        std::lock_guard lock(m_stateMutex);
        // Damage found while the files were sent asks for another round.
        if (m_state.resyncAt == wanted.resyncAt)
            m_state.resyncNeeded = false;
    }
    SaveState();
    return true;
}

bool Replicator::Connect()
{
    QString error;
    PgConnection &c = *m_connection;
    bool ok = c.Open(m_settings.url, &error);
    if (ok && !EnsureSchema(c, &error)) {
        c.Close();
        ok = false;
    }
    const QDateTime now = QDateTime::currentDateTime();
    if (!ok) {
        const bool news = !m_offlineLogged || error != m_state.lastError;
        {
            std::lock_guard lock(m_stateMutex);
            m_state.connected = false;
            if (!m_state.offlineSince.isValid())
                m_state.offlineSince = now;
            m_state.lastError = error;
            m_state.lastErrorAt = now;
        }
        SaveState();
        if (news) {
            qint64 pending = 0;
            try {
                pending = m_outbox.Summary().pending;
            } catch (const StorageError &) {
            }
            Say(QStringLiteral("База данных недоступна: %1. Записи ждут в очереди (%2), повтор с нарастающей паузой")
                    .arg(error)
                    .arg(pending));
        }
        m_offlineLogged = true;
        m_backlog = true;
        return false;
    }
    {
        std::lock_guard lock(m_stateMutex);
        m_state.connected = true;
        m_state.offlineSince = QDateTime();
        m_state.lastError.clear();
    }
    SaveState();
    Say(QStringLiteral("База данных подключена: %1 (узел %2)").arg(RedactedUrl(m_settings.url), m_node));
    m_offlineLogged = false;
    m_registryStamp = -1;
    // The back-off grows on until something commits: a database that takes connections but
    // fails every statement is not met with a loop of connections.
    return true;
}

void Replicator::Run()
{
    PgConnection connection;
    m_connection = &connection;
    Recover();
    Registry registry(TreeIniPath(m_dataRoot));
    const auto backOff = [this] {
        WaitFor(m_retryMs, false);
        m_retryMs = qMin(m_retryMs * 2, m_maxRetryMs);
    };
    const QString nodeError = DatabaseNodeError(m_node);
    if (!nodeError.isEmpty()) {
        // Every row would carry it: nothing is sent, the outbox keeps the records.
        Say(QStringLiteral("База данных: имя узла не подходит (%1); исправьте его: qst-cli db set URL --node NAME. "
                           "Записи ждут в очереди")
                .arg(nodeError));
        {
            std::lock_guard lock(m_stateMutex);
            m_state.lastError = QStringLiteral("the node name is not valid: ") + nodeError;
            m_state.lastErrorAt = QDateTime::currentDateTime();
        }
        SaveState();
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [this] { return m_stopping; });
        m_connection = nullptr;
        return;
    }
    // A backlog's next batch, read and made ready while the one before it was sent.
    OutboxBatch aheadBatch;
    PreparedRecords aheadPrepared;
    bool ahead = false;
    for (;;) {
        bool stopping = false;
        bool drainOver = false;
        {
            std::lock_guard lock(m_mutex);
            stopping = m_stopping;
            drainOver = stopping && QDateTime::currentMSecsSinceEpoch() >= m_drainUntilMs;
        }
        if (drainOver)
            break;
        if (m_stateUnsaved)
            SaveState();
        if (!connection.isOpen()) {
            if (!Connect()) {
                if (stopping)
                    break;
                backOff();
                continue;
            }
        }
        const qint64 stamp = RegistryStamp(m_dataRoot);
        if (stamp != m_registryStamp) {
            QString error;
            bool refused = false;
            if (UpsertMeters(connection, m_node, registry, &error, &refused)) {
                m_registryStamp = stamp;
                m_metersRefused.clear();
            } else if (refused) {
                // A value of the registry the database will not hold: the records go on;
                // the list is tried again when the registry changes.
                if (error != m_metersRefused)
                    Say(QStringLiteral("База данных не приняла список приборов: %1. Записи отправляются дальше").arg(error));
                m_metersRefused = error;
                m_registryStamp = stamp;
            } else {
                Say(QStringLiteral("База данных не приняла список приборов: %1").arg(error));
                if (!connection.isOpen() || stopping)
                    connection.Close();
                if (stopping)
                    break;
                backOff();
                continue;
            }
        }
        OutboxBatch batch;
        PreparedRecords prepared;
        const bool wasAhead = ahead;
        if (ahead && connection.isOpen()) {
            batch = std::move(aheadBatch);
            prepared = std::move(aheadPrepared);
        }
        ahead = false;
        try {
            if (!wasAhead || !connection.isOpen())
                batch = m_outbox.ReadPending(m_backlog ? kBacklogBatchSize : kBatchSize);
        } catch (const StorageError &e) {
            Say(e.message());
            if (stopping)
                break;
            backOff();
            continue;
        }
        if (batch.entries.isEmpty() && !batch.damage.isEmpty()) {
            // Mended, or not: either way never a loop of attempts.
            if (!Recover() || m_recoverFailedLogged) {
                if (stopping)
                    break;
                backOff();
            }
            continue;
        }
        if (batch.entries.isEmpty()) {
            bool resync = false;
            {
                std::lock_guard lock(m_stateMutex);
                resync = m_state.resyncNeeded && !stopping;
            }
            if (resync && !Resync(registry)) {
                if (!connection.isOpen())
                    connection.Close();
                backOff();
                continue;
            }
            if (resync)
                continue;
            bool mend = false;
            {
                std::lock_guard lock(m_stateMutex);
                mend = m_state.notQueued > 0 || m_state.resyncNeeded;
            }
            if (m_backlog && m_sentSinceBacklog > 0)
                Say(mend ? QStringLiteral("База данных: очередь отправлена (%1 записей); часть записей не была поставлена "
                                          "в очередь — выполните qst-cli db sync")
                               .arg(m_sentSinceBacklog)
                         : QStringLiteral("База данных: очередь отправлена (%1 записей), отставания нет").arg(m_sentSinceBacklog));
            m_backlog = false;
            m_sentSinceBacklog = 0;
            {
                std::lock_guard lock(m_mutex);
                m_empty = !m_woken;
            }
            m_sentChanged.notify_all();
            if (stopping)
                break;
            WaitFor(kIdleCheckMs, true);
            continue;
        }
        if (batch.entries.size() >= kBatchSize && !m_backlog) {
            m_backlog = true;
            Say(QStringLiteral("База данных: отправка накопленной очереди"));
        }
        if (!wasAhead)
            prepared = PrepareRecords(m_node, RecordsOf(batch));
        ReplicaOutcome outcome;
        if (m_backlog && !stopping) {
            // The server inserts this batch while the next one is read and made ready here.
            std::future<ReplicaOutcome> sending
                = std::async(std::launch::async, [&connection, &prepared] { return SendPrepared(connection, prepared); });
            try {
                aheadBatch = m_outbox.ReadPending(kBacklogBatchSize, &batch);
                ahead = !aheadBatch.entries.isEmpty();
                if (ahead)
                    aheadPrepared = PrepareRecords(m_node, RecordsOf(aheadBatch));
            } catch (const StorageError &) {
                ahead = false; // read again, and said, when it is the batch to send
            }
            outcome = sending.get();
        } else {
            outcome = SendPrepared(connection, prepared);
        }
        if (outcome.status != ReplicaOutcome::Committed)
            ahead = false; // the batch goes again: what follows it is read after it
        if (outcome.status == ReplicaOutcome::LinkLost) {
            connection.Close();
            {
                std::lock_guard lock(m_stateMutex);
                m_state.connected = false;
                m_state.offlineSince = QDateTime::currentDateTime();
                m_state.lastError = outcome.error;
                m_state.lastErrorAt = m_state.offlineSince;
            }
            SaveState();
            Say(QStringLiteral("Связь с базой данных потеряна: %1. Записи ждут в очереди").arg(outcome.error));
            m_offlineLogged = true;
            m_backlog = true;
            if (stopping)
                break;
            backOff();
            continue;
        }
        if (outcome.status == ReplicaOutcome::Failed) {
            if (outcome.error != m_state.lastError)
                Say(QStringLiteral("База данных не приняла пакет записей: %1. Повтор позже").arg(outcome.error));
            {
                std::lock_guard lock(m_stateMutex);
                m_state.lastError = outcome.error;
                m_state.lastErrorAt = QDateTime::currentDateTime();
            }
            SaveState();
            if (stopping)
                break;
            backOff();
            continue;
        }
        for (qsizetype i = 0; i < outcome.refused.size(); ++i) {
            const OutboxEntry &e = batch.entries[outcome.refused[i]];
            Say(QStringLiteral("База данных отклонила запись (%1, прибор %2): %3. Запись сохранена в DB/rejects.dat")
                    .arg(KindText(e.record.kind))
                    .arg(e.record.serial)
                    .arg(outcome.refusedReasons[i]));
            try {
                m_outbox.Reject(e, outcome.refusedReasons[i]);
            } catch (const StorageError &err) {
                Say(err.message());
            }
        }
        try {
            // A file replaced by the acknowledgement (compacted, or emptied) has new offsets:
            // what was read ahead is read again from it.
            if (m_outbox.Acknowledge(batch))
                ahead = false;
        } catch (const StorageError &e) {
            // The batch is in the database; it will be sent once more, which changes nothing.
            Say(e.message());
            ahead = false;
            backOff();
        }
        m_sentSinceBacklog += outcome.written;
        {
            std::lock_guard lock(m_stateMutex);
            m_state.lastCommit = QDateTime::currentDateTime();
            m_state.lastCommitRecords = outcome.written;
            m_state.sentTotal += outcome.written;
            m_state.lastError.clear();
        }
        SaveState();
        m_retryMs = m_firstRetryMs;
    }
    try {
        const qint64 left = m_outbox.Summary().pending;
        if (left > 0)
            Say(QStringLiteral("База данных: в очереди остаются %1 записей, они будут отправлены при следующем запуске")
                    .arg(left));
    } catch (const StorageError &) {
    }
    {
        std::lock_guard lock(m_stateMutex);
        m_state.connected = false;
    }
    if (!SaveState()) {
        std::lock_guard lock(m_stateMutex);
        if (m_state.notQueued > 0 || m_state.resyncNeeded)
            Say(QStringLiteral("База данных: состояние не записано (диск заполнен?); выполните qst-cli db sync, "
                               "когда место освободится (не поставлено в очередь: %1)")
                    .arg(m_state.notQueued));
    }
    connection.Close();
    m_connection = nullptr;
}

} // namespace qst
