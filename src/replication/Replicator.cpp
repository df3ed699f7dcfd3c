#include "Replicator.h"

#include "PgConnection.h"
#include "ReplicaWriter.h"

#include "common/DataRoot.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "registry/Registry.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace qst {

namespace {

constexpr int kBatchSize = 2000;
constexpr int kIdleCheckMs = 5000;

QString StatePath(const QString &dataRoot)
{
    return Outbox::FolderPath(dataRoot) + QStringLiteral("/State.json");
}

QString TimeText(const QDateTime &t)
{
    return t.isValid() ? t.toString(Qt::ISODate) : QString();
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
    const QJsonObject o = QJsonDocument::fromJson(bytes).object();
    s.connected = o.value(QStringLiteral("connected")).toBool();
    s.lastCommit = QDateTime::fromString(o.value(QStringLiteral("lastCommit")).toString(), Qt::ISODate);
    s.lastCommitRecords = o.value(QStringLiteral("lastCommitRecords")).toInteger();
    s.sentTotal = o.value(QStringLiteral("sentTotal")).toInteger();
    s.lastError = o.value(QStringLiteral("lastError")).toString();
    s.lastErrorAt = QDateTime::fromString(o.value(QStringLiteral("lastErrorAt")).toString(), Qt::ISODate);
    s.offlineSince = QDateTime::fromString(o.value(QStringLiteral("offlineSince")).toString(), Qt::ISODate);
    s.notQueued = o.value(QStringLiteral("notQueued")).toInteger();
    return s;
}

void WriteReplicationState(const QString &dataRoot, const ReplicationState &s)
{
    QJsonObject o;
    o.insert(QStringLiteral("connected"), s.connected);
    o.insert(QStringLiteral("lastCommit"), TimeText(s.lastCommit));
    o.insert(QStringLiteral("lastCommitRecords"), s.lastCommitRecords);
    o.insert(QStringLiteral("sentTotal"), s.sentTotal);
    o.insert(QStringLiteral("lastError"), s.lastError);
    o.insert(QStringLiteral("lastErrorAt"), TimeText(s.lastErrorAt));
    o.insert(QStringLiteral("offlineSince"), TimeText(s.offlineSince));
    o.insert(QStringLiteral("notQueued"), s.notQueued);
    QDir().mkpath(Outbox::FolderPath(dataRoot));
    SaveFileBytes(StatePath(dataRoot), QJsonDocument(o).toJson());
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
            m_owner->m_outbox.Append(records);
            if (m_failing) {
                m_failing = false;
                m_owner->Say(QStringLiteral("Очередь базы данных снова принимает записи"));
            }
        } catch (const StorageError &e) {
            qint64 lost = 0;
            {
                std::lock_guard stateLock(m_owner->m_stateMutex);
                m_owner->m_state.notQueued += records.size();
                lost = m_owner->m_state.notQueued;
                try {
                    WriteReplicationState(m_owner->m_dataRoot, m_owner->m_state);
                } catch (const StorageError &) {
                    // the same full disk; the log line below says it
                }
            }
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

void Replicator::SaveState()
{
    std::lock_guard lock(m_stateMutex);
    try {
        WriteReplicationState(m_dataRoot, m_state);
    } catch (const StorageError &) {
        // status only; the outbox and the log carry what matters
    }
}

void Replicator::WaitFor(int ms)
{
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_woken || m_stopping; });
    m_woken = false;
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
    m_retryMs = m_firstRetryMs;
    return true;
}

void Replicator::Run()
{
    PgConnection connection;
    m_connection = &connection;
    try {
        const qint64 dropped = m_outbox.RepairTail();
        if (dropped > 0)
            Say(QStringLiteral("Очередь базы данных: неполная последняя запись отброшена (%1 байт); "
                               "выполните qst-cli db sync")
                    .arg(dropped));
    } catch (const StorageError &e) {
        Say(e.message());
    }
    Registry registry(TreeIniPath(m_dataRoot));
    const auto backOff = [this] {
        WaitFor(m_retryMs);
        m_retryMs = qMin(m_retryMs * 2, m_maxRetryMs);
    };
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
            if (UpsertMeters(connection, m_node, registry, &error)) {
                m_registryStamp = stamp;
            } else {
                Say(QStringLiteral("База данных не приняла список приборов: %1").arg(error));
                if (!connection.isOpen() || stopping)
                    connection.Close();
                backOff();
                continue;
            }
        }
        OutboxBatch batch;
        try {
            batch = m_outbox.ReadPending(kBatchSize);
        } catch (const StorageError &e) {
            Say(e.message());
            if (stopping)
                break;
            backOff();
            continue;
        }
        if (batch.entries.isEmpty()) {
            if (m_backlog && m_sentSinceBacklog > 0)
                Say(QStringLiteral("База данных: очередь отправлена (%1 записей), отставания нет").arg(m_sentSinceBacklog));
            m_backlog = false;
            m_sentSinceBacklog = 0;
            {
                std::lock_guard lock(m_mutex);
                m_empty = !m_woken;
            }
            m_sentChanged.notify_all();
            if (stopping)
                break;
            WaitFor(kIdleCheckMs);
            continue;
        }
        if (batch.entries.size() >= kBatchSize && !m_backlog) {
            m_backlog = true;
            Say(QStringLiteral("База данных: отправка накопленной очереди"));
        }
        QList<FedRecord> records;
        records.reserve(batch.entries.size());
        for (const OutboxEntry &e : std::as_const(batch.entries))
            records.append(e.record);
        const ReplicaOutcome outcome = UpsertRecords(connection, m_node, records);
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
            m_outbox.Acknowledge(batch);
        } catch (const StorageError &e) {
            // The batch is in the database; it will be sent once more, which changes nothing.
            Say(e.message());
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
    SaveState();
    connection.Close();
    m_connection = nullptr;
}

} // namespace qst
