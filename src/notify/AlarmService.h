#pragma once

#include "NotifySettings.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

namespace qst {

class AlarmMonitor;
struct AlarmEvent;
class MeterHealth;
class MqttPublisher;
class Registry;
class WebhookSender;

// Alarms and publishing while the service polls: started from the settings in Tree.ini,
// checked once a minute on the main thread. Deliveries run on threads of their own.
class AlarmService : public QObject
{
public:
    using Log = std::function<void(const QString &text)>;

    AlarmService(QString dataRoot, Registry &registry, MeterHealth &health, Log log);
    ~AlarmService() override;

    void Start(int tickMs = 60000);
    // Evaluates the alarms at `now`, sends their changes, publishes changed health.
    void Tick(const QDateTime &now);
    // Stops the timer; then the channels deliver for up to drainMs what waits.
    void Stop(int drainMs);

    MqttPublisher *mqtt() { return m_mqtt.get(); }
    WebhookSender *webhook() { return m_webhook.get(); }

private:
    void QueueMail(const QList<AlarmEvent> &events, const QDateTime &now);

    QString m_dataRoot;
    Registry &m_registry;
    MeterHealth &m_health;
    Log m_log;
    AlarmSettings m_alarms;
    std::unique_ptr<AlarmMonitor> m_monitor;
    std::unique_ptr<WebhookSender> m_webhook;
    std::unique_ptr<MqttPublisher> m_mqtt;
    QHash<quint16, QByteArray> m_healthSent; // health without its time, as last published
    bool m_mailSaid = false;
    QTimer m_timer;
};

} // namespace qst
