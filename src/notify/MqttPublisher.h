#pragma once

#include "NotifySettings.h"

#include "replication/Outbox.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

struct mosquitto;

namespace qst {

// The topic level of a fed record: history, hourly, daily, monthly, journal.
QString MqttKindName(FedKind kind);
// {"serial", "kind", "time" (the line's own time, ISO 8601; null when it has none), "line"}.
QByteArray MqttRecordJson(const FedRecord &record);

// Publishes every record the writers store in the data root, and the state topics (health,
// alarms, the newest current values) retained, through libmosquitto with QoS 1.
// Records go through an outbox of their own (the MQTT folder of the data root) and the
// position moves only after the broker acknowledged them (PUBACK), so a broker outage or a
// restart loses nothing: at least once, in order. State topics are kept in memory and
// published again after a reconnect until acknowledged.
class MqttPublisher
{
public:
    using Log = std::function<void(const QString &text)>;

    MqttPublisher(QString dataRoot, MqttSettings settings, QByteArray password, Log log);
    ~MqttPublisher(); // Stop(0)

    static QString FolderName() { return QStringLiteral("MQTT"); }
    QString topic(quint16 serial, const QString &kind) const;

    // Starts the thread and becomes one of the data root's record feeds.
    void Start();
    // Stops feeding at once; publishes for up to drainMs what waits, then disconnects.
    void Stop(int drainMs);
    // A retained message of a state topic; sent when its payload differs from the last one
    // set for the topic.
    void SetState(const QString &topic, const QByteArray &payload);
    bool connected() const { return m_connected; }
    Outbox &outbox() { return m_outbox; }
    // Blocks until the outbox is empty and every state topic acknowledged, or timeoutMs.
    bool WaitSent(int timeoutMs);

    void SetRetryLimitsForTests(int firstMs, int maxMs);

private:
    class Feed;
    struct State
    {
        QByteArray payload;
        bool dirty = true;
    };
    void Run();
    bool Connect();
    void Disconnect();
    bool PublishAndWait(const QList<std::pair<QString, std::pair<QByteArray, bool>>> &messages);
    void WaitFor(int ms);
    static void OnConnect(mosquitto *, void *self, int rc);
    static void OnDisconnect(mosquitto *, void *self, int rc);
    static void OnPublish(mosquitto *, void *self, int mid);

    QString m_dataRoot;
    MqttSettings m_settings;
    QString m_node;
    QByteArray m_password;
    Log m_log;
    Outbox m_outbox;
    std::shared_ptr<Feed> m_feed;
    std::thread m_thread;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_sentChanged;
    bool m_stopping = false;
    bool m_woken = false;
    qint64 m_drainUntilMs = 0;
    QHash<QString, State> m_states;
    bool m_idle = false;

    // Thread-owned.
    mosquitto *m_mosq = nullptr;
    std::atomic<bool> m_connected{false};
    int m_connackRc = -1;
    std::set<int> m_unacked;
    int m_firstRetryMs = 1000;
    int m_maxRetryMs = 60000;
    int m_retryMs = 1000;
    bool m_offlineLogged = false;
    QHash<quint16, double> m_newestCurrent; // the newest history line sent as current values
};

// The publisher the settings in Tree.ini ask for, started; null when publishing is off or its
// settings cannot be used (said through log). Writing commands run one so that nothing they
// store is left out of the outbox.
std::unique_ptr<MqttPublisher> StartMqttPublisher(const QString &dataRoot, const MqttSettings &settings,
                                                  MqttPublisher::Log log);

} // namespace qst
