#include "MqttPublisher.h"

#include "Alarms.h"

#include "common/DayCount.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "storage/GapScan.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

namespace qst {

namespace {

void InitMosquittoOnce()
{
    static const bool done = [] { return mosquitto_lib_init() == MOSQ_ERR_SUCCESS; }();
    Q_UNUSED(done);
}

// A batch waits this long for its acknowledgements before the connection is given up.
constexpr int kAckTimeoutMs = 30000;

double LineTime(const QString &line)
{
    double time = 0;
    return ReadLineTimeBytes(EncodeCp1251(line), &time) ? time : 0;
}

} // namespace

QString MqttKindName(FedKind kind)
{
    switch (kind) {
    case FedKind::History:
        return QStringLiteral("history");
    case FedKind::Hourly:
        return QStringLiteral("hourly");
    case FedKind::Daily:
        return QStringLiteral("daily");
    case FedKind::Monthly:
        return QStringLiteral("monthly");
    case FedKind::Journal:
        return QStringLiteral("journal");
    }
    return QStringLiteral("unknown");
}

QByteArray MqttRecordJson(const FedRecord &record)
{
    QJsonObject o;
    o[QStringLiteral("serial")] = int(record.serial);
    o[QStringLiteral("kind")] = MqttKindName(record.kind);
    const QDateTime time = DateTimeFromDayCount(LineTime(record.line));
    o[QStringLiteral("time")] = time.isValid() && LineTime(record.line) > 0 ? QJsonValue(IsoTime(time))
                                                                             : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("line")] = record.line;
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

class MqttPublisher::Feed final : public RecordFeed
{
public:
    explicit Feed(MqttPublisher *owner)
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
            if (tooLong > 0)
                m_owner->m_log(QStringLiteral("Записи длиннее %1 байт не будут опубликованы: %2")
                                   .arg(kOutboxMaxEntryBytes)
                                   .arg(tooLong));
        } catch (const StorageError &e) {
            // The archive is written; only its publication is lost, and that is said.
            m_owner->m_log(QStringLiteral("Записи не поставлены в очередь MQTT (%1): %2").arg(records.size()).arg(
                e.message()));
        }
        {
            std::lock_guard wake(m_owner->m_mutex);
            m_owner->m_woken = true;
        }
        m_owner->m_wake.notify_all();
    }
    void Detach()
    {
        std::lock_guard lock(m_mutex);
        m_owner = nullptr;
    }

private:
    std::mutex m_mutex;
    MqttPublisher *m_owner;
};

MqttPublisher::MqttPublisher(QString dataRoot, MqttSettings settings, QByteArray password, Log log)
    : m_dataRoot(std::move(dataRoot))
    , m_settings(std::move(settings))
    , m_node(m_settings.nodeOrHost())
    , m_password(std::move(password))
    , m_log(std::move(log))
    , m_outbox(m_dataRoot, FolderName())
{
}

MqttPublisher::~MqttPublisher()
{
    Stop(0);
}

QString MqttPublisher::topic(quint16 serial, const QString &kind) const
{
    return QStringLiteral("qst/%1/%2/%3").arg(m_node, serial > 0 ? QString::number(serial) : QStringLiteral("root"), kind);
}

void MqttPublisher::SetRetryLimitsForTests(int firstMs, int maxMs)
{
    m_firstRetryMs = m_retryMs = firstMs;
    m_maxRetryMs = maxMs;
}

void MqttPublisher::Start()
{
    if (m_thread.joinable())
        return;
    InitMosquittoOnce();
    try {
        const OutboxRecovery r = m_outbox.Recover();
        if (!r.damage.isEmpty())
            m_log(QStringLiteral("Очередь MQTT была повреждена (%1); повреждённое отложено в %2")
                      .arg(r.damage, r.quarantinePath));
    } catch (const StorageError &e) {
        m_log(e.message());
    }
    m_feed = std::make_shared<Feed>(this);
    AddRecordFeed(m_dataRoot, m_feed);
    m_thread = std::thread([this] { Run(); });
}

void MqttPublisher::Stop(int drainMs)
{
    if (m_feed) {
        RemoveRecordFeed(m_feed);
        m_feed->Detach();
        m_feed.reset();
    }
    {
        std::lock_guard lock(m_mutex);
        if (!m_thread.joinable())
            return;
        m_stopping = true;
        m_drainUntilMs = QDateTime::currentMSecsSinceEpoch() + drainMs;
    }
    m_wake.notify_all();
    m_thread.join();
}

void MqttPublisher::SetState(const QString &topic, const QByteArray &payload)
{
    {
        std::lock_guard lock(m_mutex);
        State &s = m_states[topic];
        if (s.payload == payload && !s.payload.isEmpty())
            return;
        s.payload = payload;
        s.dirty = true;
        m_idle = false;
        m_woken = true;
    }
    m_wake.notify_all();
}

bool MqttPublisher::WaitSent(int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    std::unique_lock lock(m_mutex);
    m_woken = true;
    m_idle = false;
    m_wake.notify_all();
    return m_sentChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_idle; });
}

void MqttPublisher::WaitFor(int ms)
{
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_stopping || m_woken; });
    m_woken = false;
}

void MqttPublisher::OnConnect(mosquitto *, void *self, int rc)
{
    auto *p = static_cast<MqttPublisher *>(self);
    p->m_connackRc = rc;
    p->m_connected = rc == 0;
}

void MqttPublisher::OnDisconnect(mosquitto *, void *self, int)
{
    static_cast<MqttPublisher *>(self)->m_connected = false;
}

void MqttPublisher::OnPublish(mosquitto *, void *self, int mid)
{
    static_cast<MqttPublisher *>(self)->m_unacked.erase(mid);
}

bool MqttPublisher::Connect()
{
    QString host;
    int port = 0;
    bool tls = false;
    if (!SplitMqttUrl(m_settings.url, &host, &port, &tls)) {
        m_log(QStringLiteral("Адрес брокера MQTT не читается: %1").arg(m_settings.url));
        return false;
    }
    const QByteArray clientId = ("qst-" + m_node).toUtf8().left(64);
    m_mosq = mosquitto_new(clientId.constData(), true, this);
    if (!m_mosq)
        return false;
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(m_mosq, OnConnect);
    mosquitto_disconnect_callback_set(m_mosq, OnDisconnect);
    mosquitto_publish_callback_set(m_mosq, OnPublish);
    if (!m_settings.user.isEmpty())
        mosquitto_username_pw_set(m_mosq, m_settings.user.toUtf8().constData(),
                                  m_password.isEmpty() ? nullptr : m_password.constData());
    QString tlsError;
    if (tls) { // the system's authorities and the settings' file; certificate and host name checked
        const QByteArray caFile = QFile::encodeName(m_settings.caFile);
        mosquitto_int_option(m_mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        const int tlsRc = mosquitto_tls_set(m_mosq, caFile.isEmpty() ? nullptr : caFile.constData(), "/etc/ssl/certs",
                                            nullptr, nullptr, nullptr);
        if (tlsRc != MOSQ_ERR_SUCCESS)
            tlsError = QStringLiteral("TLS не настроен (%1): %2")
                           .arg(m_settings.caFile, QString::fromUtf8(mosquitto_strerror(tlsRc)));
        mosquitto_tls_opts_set(m_mosq, 1, nullptr, nullptr);
    }
    m_connackRc = -1;
    int rc = tlsError.isEmpty() ? mosquitto_connect(m_mosq, host.toUtf8().constData(), port, 30) : MOSQ_ERR_TLS;
    QString why;
    if (rc == MOSQ_ERR_SUCCESS) {
        QElapsedTimer t;
        t.start();
        while (m_connackRc < 0 && t.elapsed() < 10000) {
            if (mosquitto_loop(m_mosq, 100, 1) != MOSQ_ERR_SUCCESS)
                break;
        }
        if (m_connected) {
            if (m_offlineLogged)
                m_log(QStringLiteral("Связь с брокером MQTT восстановлена"));
            m_offlineLogged = false;
            return true;
        }
        why = m_connackRc > 0 ? QString::fromUtf8(mosquitto_connack_string(m_connackRc))
                              : QStringLiteral("нет ответа на подключение");
    } else {
        why = !tlsError.isEmpty()      ? tlsError
              : rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(errno))
                                     : QString::fromUtf8(mosquitto_strerror(rc));
    }
    if (!m_offlineLogged)
        m_log(QStringLiteral("Нет связи с брокером MQTT %1: %2; записи ждут в очереди").arg(m_settings.url, why));
    m_offlineLogged = true;
    Disconnect();
    return false;
}

void MqttPublisher::Disconnect()
{
    if (m_mosq) {
        if (m_connected)
            mosquitto_disconnect(m_mosq);
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
    m_connected = false;
    m_unacked.clear();
}

bool MqttPublisher::PublishAndWait(const QList<std::pair<QString, std::pair<QByteArray, bool>>> &messages)
{
    for (const auto &[topicName, message] : messages) {
        int mid = 0;
        const QByteArray t = topicName.toUtf8();
        const int rc = mosquitto_publish(m_mosq, &mid, t.constData(), int(message.first.size()),
                                         message.first.constData(), 1, message.second);
        if (rc != MOSQ_ERR_SUCCESS) {
            m_log(QStringLiteral("Публикация MQTT прервана: %1").arg(QString::fromUtf8(mosquitto_strerror(rc))));
            Disconnect();
            return false;
        }
        m_unacked.insert(mid);
    }
    QElapsedTimer t;
    t.start();
    while (!m_unacked.empty() && m_connected && t.elapsed() < kAckTimeoutMs) {
        if (mosquitto_loop(m_mosq, 100, 1) != MOSQ_ERR_SUCCESS)
            m_connected = false;
    }
    if (!m_unacked.empty()) {
        if (!m_offlineLogged)
            m_log(QStringLiteral("Брокер MQTT не подтвердил публикацию; она будет повторена"));
        m_offlineLogged = true;
        Disconnect();
        return false;
    }
    return true;
}

void MqttPublisher::Run()
{
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping && (!m_connected || QDateTime::currentMSecsSinceEpoch() >= m_drainUntilMs))
                break;
        }
        if (!m_connected) {
            if (!Connect()) {
                {
                    std::lock_guard lock(m_mutex);
                    if (m_stopping)
                        break;
                }
                WaitFor(m_retryMs);
                m_retryMs = std::min(m_retryMs * 2, m_maxRetryMs);
                continue;
            }
            m_retryMs = m_firstRetryMs;
            std::lock_guard lock(m_mutex);
            for (State &s : m_states) // a new session: retained states go again
                s.dirty = true;
        }
        QList<std::pair<QString, std::pair<QByteArray, bool>>> messages;
        {
            std::lock_guard lock(m_mutex);
            for (auto it = m_states.begin(); it != m_states.end(); ++it) {
                if (it->dirty)
                    messages.append({it.key(), {it->payload, true}});
            }
        }
        if (!messages.isEmpty()) {
            if (!PublishAndWait(messages))
                continue;
            std::lock_guard lock(m_mutex);
            for (const auto &m : messages) {
                State &s = m_states[m.first];
                if (s.payload == m.second.first)
                    s.dirty = false;
            }
            continue;
        }
        OutboxBatch batch;
        try {
            batch = m_outbox.ReadPending(200);
            if (batch.entries.isEmpty() && !batch.damage.isEmpty()) {
                const OutboxRecovery r = m_outbox.Recover();
                m_log(QStringLiteral("Очередь MQTT была повреждена (%1); повреждённое отложено в %2")
                          .arg(r.damage, r.quarantinePath));
                continue;
            }
        } catch (const StorageError &e) {
            m_log(e.message());
            WaitFor(5000);
            continue;
        }
        if (batch.entries.isEmpty()) {
            {
                std::lock_guard lock(m_mutex);
                m_idle = true;
                if (m_stopping)
                    break;
            }
            m_sentChanged.notify_all();
            // Keeps the connection alive and notices a lost broker while nothing waits.
            if (mosquitto_loop(m_mosq, 200, 1) != MOSQ_ERR_SUCCESS)
                Disconnect();
            WaitFor(0);
            continue;
        }
        QHash<quint16, double> newest = m_newestCurrent;
        for (const OutboxEntry &e : batch.entries) {
            const QByteArray json = MqttRecordJson(e.record);
            messages.append({topic(e.record.serial, MqttKindName(e.record.kind)), {json, false}});
            if (e.record.kind == FedKind::History) {
                const double time = LineTime(e.record.line);
                if (time >= newest.value(e.record.serial, 0)) {
                    newest[e.record.serial] = time;
                    messages.append({topic(e.record.serial, QStringLiteral("current")), {json, true}});
                }
            }
        }
        if (!PublishAndWait(messages))
            continue;
        m_newestCurrent = newest;
        try {
            m_outbox.Acknowledge(batch);
        } catch (const StorageError &e) {
            m_log(e.message());
        }
    }
    Disconnect();
    {
        std::lock_guard lock(m_mutex);
        m_idle = true;
    }
    m_sentChanged.notify_all();
}

std::unique_ptr<MqttPublisher> StartMqttPublisher(const QString &dataRoot, const MqttSettings &settings,
                                                  MqttPublisher::Log log)
{
    if (!settings.enabled())
        return nullptr;
    QByteArray password;
    QString error = MqttUrlError(settings.url);
    if (error.isEmpty() && !settings.passwordFile.isEmpty())
        ReadSecretFile(settings.passwordFile, &password, &error);
    if (!error.isEmpty()) {
        log(QStringLiteral("Публикация MQTT выключена: %1").arg(error));
        return nullptr;
    }
    auto publisher = std::make_unique<MqttPublisher>(dataRoot, settings, password, std::move(log));
    publisher->Start();
    return publisher;
}

} // namespace qst
