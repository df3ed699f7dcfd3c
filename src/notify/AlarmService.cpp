#include "AlarmService.h"

#include "Alarms.h"
#include "MailOutbox.h"
#include "MailSettingsFile.h"
#include "MqttPublisher.h"
#include "Webhook.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/StorageError.h"
#include "exchange/MeterHealth.h"
#include "exchange/MeterSummary.h"
#include "registry/Registry.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace qst {

AlarmService::AlarmService(QString dataRoot, Registry &registry, MeterHealth &health, Log log)
    : m_dataRoot(std::move(dataRoot))
    , m_registry(registry)
    , m_health(health)
    , m_log(std::move(log))
    , m_monitor(std::make_unique<AlarmMonitor>(m_dataRoot))
{
    connect(&m_timer, &QTimer::timeout, this, [this] { Tick(QDateTime::currentDateTime()); });
}

AlarmService::~AlarmService()
{
    Stop(0);
}

void AlarmService::Start(int tickMs)
{
    m_alarms = ReadAlarmSettings(m_registry.file());
    if (!m_alarms.webhookUrl.isEmpty()) {
        QByteArray secret;
        QString error;
        const QString refused = WebhookUrlError(m_alarms.webhookUrl);
        if (!refused.isEmpty())
            m_log(QStringLiteral("Webhook не используется: %1").arg(refused));
        else if (!m_alarms.secretFile.isEmpty() && !ReadSecretFile(m_alarms.secretFile, &secret, &error))
            m_log(QStringLiteral("Webhook не используется: %1").arg(error));
        else {
            m_webhook = std::make_unique<WebhookSender>(m_dataRoot, m_alarms.webhookUrl, secret, m_log);
            m_webhook->SetCaFile(m_alarms.caFile);
            m_webhook->Start();
        }
    }
    m_mqtt = StartMqttPublisher(m_dataRoot, ReadMqttSettings(m_registry.file()), m_log);
    if (tickMs > 0) {
        Tick(QDateTime::currentDateTime());
        m_timer.start(tickMs);
    }
}

void AlarmService::Tick(const QDateTime &now)
{
    QList<AlarmEvent> events;
    QList<MeterSummaryRow> rows;
    try {
        m_health.Flush();
        rows = BuildMeterSummary(m_dataRoot, m_registry, m_health, DayCountFromDateTime(now));
        events = m_monitor->Update(EvaluateAlarms(m_dataRoot, rows, m_registry, m_alarms, now),
                                   m_alarms.perMeterPerHour, now);
    } catch (const StorageError &e) {
        m_log(QStringLiteral("Тревоги не проверены: %1").arg(e.message()));
        return;
    }
    for (const AlarmEvent &e : events) {
        m_log(QStringLiteral("Тревога %1 %2 %3: %4")
                  .arg(e.kind, e.serial > 0 ? QString::number(e.serial) : QStringLiteral("-"), e.state(), e.text));
    }
    if (m_webhook) {
        try {
            m_webhook->Enqueue(events);
        } catch (const StorageError &e) {
            m_log(QStringLiteral("Уведомления не поставлены в очередь: %1").arg(e.message()));
        }
    }
    if (!m_alarms.mail.isEmpty() && !events.isEmpty())
        QueueMail(events, now);
    if (!m_mqtt)
        return;
    if (m_alarms.mqtt) {
        for (const AlarmEvent &e : events) {
            m_mqtt->SetState(m_mqtt->topic(e.serial, QStringLiteral("alarm/") + e.kind),
                             QJsonDocument(AlarmEventJson(e)).toJson(QJsonDocument::Compact));
        }
    }
    for (const MeterSummaryRow &r : rows) {
        QJsonObject o = MeterSummaryJson(r);
        const QByteArray core = QJsonDocument(o).toJson(QJsonDocument::Compact);
        if (m_healthSent.value(r.serial) == core)
            continue;
        m_healthSent[r.serial] = core;
        o[QStringLiteral("time")] = IsoTime(now);
        m_mqtt->SetState(m_mqtt->topic(r.serial, QStringLiteral("health")), QJsonDocument(o).toJson(QJsonDocument::Compact));
    }
}

void AlarmService::QueueMail(const QList<AlarmEvent> &events, const QDateTime &now)
{
    // One mail per check with every change in it; the schedules' service sends the outbox.
    const MailSettings settings = ReadMailSettings(m_dataRoot);
    if (!settings.IsSet()) {
        if (!m_mailSaid)
            m_log(QStringLiteral("Тревоги по почте не отправляются: почта не настроена (qst-cli mail set)"));
        m_mailSaid = true;
        return;
    }
    m_mailSaid = false;
    MailMessage message;
    message.to = m_alarms.mail;
    const AlarmEvent &first = events.first();
    message.subject = events.size() == 1
                          ? QStringLiteral("QST: тревога %1 %2 %3")
                                .arg(first.kind, first.serial > 0 ? QString::number(first.serial) : QString(), first.state())
                                .simplified()
                          : QStringLiteral("QST: тревоги (%1)").arg(events.size());
    for (const AlarmEvent &e : events) {
        message.body += QStringLiteral("%1\t%2\t%3\t%4\n%5\n\n")
                            .arg(IsoTime(e.time), e.serial > 0 ? QString::number(e.serial) : QStringLiteral("-"), e.kind,
                                 e.state(), e.text);
    }
    try {
        QString error;
        const QString id = QStringLiteral("alarm %1").arg(now.toMSecsSinceEpoch());
        if (MailOutbox(m_dataRoot).Enqueue(settings, message, now, QStringLiteral("alarm"), id, &error).isEmpty() &&
            !error.isEmpty())
            m_log(QStringLiteral("Тревоги по почте не отправлены: %1").arg(error));
    } catch (const StorageError &e) {
        m_log(QStringLiteral("Тревоги по почте не поставлены в очередь: %1").arg(e.message()));
    }
}

void AlarmService::Stop(int drainMs)
{
    m_timer.stop();
    if (m_webhook)
        m_webhook->Stop(drainMs);
    if (m_mqtt)
        m_mqtt->Stop(drainMs);
}

} // namespace qst
