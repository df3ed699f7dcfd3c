#include "CliCommand.h"
#include "CliPublishing.h"
#include "CliSupport.h"

#include "common/DataRoot.h"
#include "common/ProfileFile.h"
#include "common/StorageError.h"
#include "exchange/LogSink.h"
#include "notify/Alarms.h"
#include "notify/MqttPublisher.h"
#include "notify/MailMessage.h"
#include "notify/NotifySettings.h"
#include "registry/Registry.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <mutex>

namespace qst::cli {

namespace {

bool SecretFileUsable(const QString &command, const QString &path)
{
    QByteArray secret;
    QString error;
    if (ReadSecretFile(path, &secret, &error))
        return true;
    PrintLine(stderr, command + QStringLiteral(": ") + error);
    return false;
}

bool PositiveOption(const QCommandLineParser &parser, const QCommandLineOption &option, int low, int high, int *value)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const int v = parser.value(option).toInt(&ok);
    if (!ok || v < low || v > high)
        return false;
    *value = v;
    return true;
}

} // namespace

int RunAlarmSet(const CliContext &context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Where alarms go; channels not given are turned off."));
    parser.addHelpOption();
    const QCommandLineOption webhook(QStringLiteral("webhook"), QStringLiteral("POST each alarm's JSON to URL."),
                                     QStringLiteral("URL"));
    const QCommandLineOption secretFile(QStringLiteral("secret-file"),
                                        QStringLiteral("Sign the body with the secret in F (mode 0600)."),
                                        QStringLiteral("F"));
    const QCommandLineOption mail(QStringLiteral("mail"), QStringLiteral("Mail the alarms to these addresses."),
                                  QStringLiteral("ADDR,..."));
    const QCommandLineOption mqtt(QStringLiteral("mqtt"), QStringLiteral("Publish the alarms over MQTT (mqtt set)."));
    const QCommandLineOption perHour(QStringLiteral("per-hour"),
                                     QStringLiteral("Notifications of one meter in an hour (default 6)."),
                                     QStringLiteral("N"));
    const QCommandLineOption dbMinutes(QStringLiteral("db-offline-minutes"),
                                       QStringLiteral("Database copy offline this long: an alarm (default 30)."),
                                       QStringLiteral("N"));
    const QCommandLineOption diskPercent(QStringLiteral("disk-free-percent"),
                                         QStringLiteral("Less free space than this: an alarm (default 5)."),
                                         QStringLiteral("N"));
    const QCommandLineOption caFile(QStringLiteral("ca-file"),
                                    QStringLiteral("Certificate authorities trusted for an https webhook besides "
                                                   "the system's."),
                                    QStringLiteral("F"));
    parser.addOptions({webhook, secretFile, mail, mqtt, perHour, dbMinutes, diskPercent, caFile});
    if (int exitCode = 0; !ParseCommandOptions(parser, context.args, &exitCode))
        return exitCode;
    if (!parser.positionalArguments().isEmpty())
        return UsageError(QStringLiteral("alarm set takes only options (see alarm set --help)"));
    AlarmSettings s;
    s.webhookUrl = parser.value(webhook);
    if (parser.isSet(webhook)) {
        const QString error = WebhookUrlError(s.webhookUrl);
        if (!error.isEmpty())
            return UsageError(QStringLiteral("alarm set: ") + error);
    }
    if (parser.isSet(secretFile)) {
        if (!parser.isSet(webhook))
            return UsageError(QStringLiteral("alarm set: --secret-file goes with --webhook"));
        s.secretFile = QFileInfo(parser.value(secretFile)).absoluteFilePath();
        if (!SecretFileUsable(QStringLiteral("alarm set"), s.secretFile))
            return kExitUsage;
    }
    if (parser.isSet(caFile)) {
        if (!parser.isSet(webhook))
            return UsageError(QStringLiteral("alarm set: --ca-file goes with --webhook"));
        if (!QFileInfo(parser.value(caFile)).isReadable())
            return UsageError(QStringLiteral("alarm set: the --ca-file cannot be read: ") + parser.value(caFile));
        s.caFile = QFileInfo(parser.value(caFile)).absoluteFilePath();
    }
    if (parser.isSet(mail)) {
        for (const QString &a : parser.value(mail).split(u',', Qt::SkipEmptyParts)) {
            const QString error = MailAddressError(a);
            if (!error.isEmpty())
                return UsageError(QStringLiteral("alarm set: ") + error);
            s.mail << a.trimmed();
        }
        if (s.mail.isEmpty())
            return UsageError(QStringLiteral("alarm set: --mail needs at least one address"));
    }
    s.mqtt = parser.isSet(mqtt);
    if (!PositiveOption(parser, perHour, 1, 1000, &s.perMeterPerHour) ||
        !PositiveOption(parser, dbMinutes, 1, 100000, &s.databaseOfflineMinutes) ||
        !PositiveOption(parser, diskPercent, 0, 99, &s.diskFreePercent))
        return UsageError(QStringLiteral("alarm set: --per-hour 1..1000, --db-offline-minutes 1..100000, "
                                         "--disk-free-percent 0..99"));
    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    try {
        Registry registry(TreeIniPath(context.dataRoot));
        if (s.mqtt && !ReadMqttSettings(registry.file()).enabled())
            PrintLine(stderr, QStringLiteral("alarm set: MQTT publishing is off; alarms go there once qst-cli mqtt set "
                                             "turns it on"));
        WriteAlarmSettings(registry.file(), s);
    } catch (const StorageError &e) {
        PrintLine(stderr, QStringLiteral("alarm set: ") + e.message());
        return kExitFailed;
    }
    QStringList channels;
    if (!s.webhookUrl.isEmpty())
        channels << QStringLiteral("webhook %1%2").arg(RedactedWebhookUrl(s.webhookUrl),
                                                       s.secretFile.isEmpty() ? QString() : QStringLiteral(" (signed)"));
    if (!s.mail.isEmpty())
        channels << QStringLiteral("mail ") + s.mail.join(u',');
    if (s.mqtt)
        channels << QStringLiteral("mqtt");
    PrintLine(stdout, QStringLiteral("alarms: %1; at most %2 per meter per hour")
                          .arg(channels.isEmpty() ? QStringLiteral("no channel (kept in Alarms.ini only)")
                                                  : channels.join(QStringLiteral(", ")))
                          .arg(s.perMeterPerHour));
    return kExitOk;
}

int RunAlarms(const CliContext &context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The active alarms."));
    parser.addHelpOption();
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("As a JSON array."));
    parser.addOption(json);
    if (int exitCode = 0; !ParseCommandOptions(parser, context.args, &exitCode))
        return exitCode;
    if (!parser.positionalArguments().isEmpty())
        return UsageError(QStringLiteral("alarms takes only --json"));
    QList<ActiveAlarm> active;
    try {
        active = AlarmMonitor::Active(context.dataRoot);
    } catch (const StorageError &e) {
        PrintLine(stderr, QStringLiteral("alarms: ") + e.message());
        return kExitFailed;
    }
    if (parser.isSet(json)) {
        QJsonArray list;
        for (const ActiveAlarm &a : active) {
            QJsonObject o;
            o[QStringLiteral("serial")] = a.serial > 0 ? QJsonValue(int(a.serial)) : QJsonValue(QJsonValue::Null);
            o[QStringLiteral("kind")] = a.kind;
            o[QStringLiteral("state")] = QStringLiteral("raised");
            o[QStringLiteral("time")] = a.raised.isValid() ? QJsonValue(IsoTime(a.raised)) : QJsonValue(QJsonValue::Null);
            o[QStringLiteral("text")] = a.text;
            list.append(o);
        }
        PrintLine(stdout, QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented)).trimmed());
        return kExitOk;
    }
    for (const ActiveAlarm &a : active)
        PrintLine(stdout, QStringList{a.serial > 0 ? QString::number(a.serial) : QStringLiteral("-"), a.kind,
                                      a.raised.isValid() ? IsoTime(a.raised) : QString(), a.text}
                              .join(u'\t'));
    return kExitOk;
}

int RunMqttSet(const CliContext &context)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Publishes every stored record and the health over MQTT."));
    parser.addHelpOption();
    const QCommandLineOption url(QStringLiteral("url"), QStringLiteral("mqtt://HOST:PORT or mqtts://HOST:PORT (TLS)."),
                                 QStringLiteral("URL"));
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("Login name."), QStringLiteral("U"));
    const QCommandLineOption passwordFile(QStringLiteral("password-file"),
                                          QStringLiteral("The password, in a file of mode 0600."), QStringLiteral("F"));
    const QCommandLineOption node(QStringLiteral("node"), QStringLiteral("Topic level after qst/ (default: host name)."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption caFile(QStringLiteral("ca-file"),
                                    QStringLiteral("Certificate authorities trusted for mqtts besides the system's."),
                                    QStringLiteral("F"));
    parser.addOptions({url, user, passwordFile, node, caFile});
    if (int exitCode = 0; !ParseCommandOptions(parser, context.args, &exitCode))
        return exitCode;
    if (!parser.positionalArguments().isEmpty() || !parser.isSet(url))
        return UsageError(QStringLiteral("mqtt set: --url mqtt://HOST:PORT is required (see mqtt set --help)"));
    MqttSettings s{parser.value(url), parser.value(user), QString(), parser.value(node), QString()};
    QString error = MqttUrlError(s.url);
    if (error.isEmpty())
        error = MqttNodeError(s.node);
    if (error.isEmpty() && parser.isSet(passwordFile) && !parser.isSet(user))
        error = QStringLiteral("--password-file goes with --user");
    if (error.isEmpty() && (s.user.contains(u'\r') || s.user.contains(u'\n')))
        error = QStringLiteral("the user name holds a line break");
    if (error.isEmpty() && parser.isSet(caFile) && !QFileInfo(parser.value(caFile)).isReadable())
        error = QStringLiteral("the --ca-file cannot be read: ") + parser.value(caFile);
    if (!error.isEmpty())
        return UsageError(QStringLiteral("mqtt set: ") + error);
    if (parser.isSet(caFile))
        s.caFile = QFileInfo(parser.value(caFile)).absoluteFilePath();
    if (parser.isSet(passwordFile)) {
        s.passwordFile = QFileInfo(parser.value(passwordFile)).absoluteFilePath();
        if (!SecretFileUsable(QStringLiteral("mqtt set"), s.passwordFile))
            return kExitUsage;
    }
    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    try {
        Registry registry(TreeIniPath(context.dataRoot));
        WriteMqttSettings(registry.file(), s);
    } catch (const StorageError &e) {
        PrintLine(stderr, QStringLiteral("mqtt set: ") + e.message());
        return kExitFailed;
    }
    PrintLine(stdout, QStringLiteral("mqtt: %1, topics qst/%2/<serial>/<kind>").arg(s.url, s.nodeOrHost()));
    return kExitOk;
}

int RunMqttOff(const CliContext &context)
{
    if (context.args.size() > 1)
        return UsageError(QStringLiteral("mqtt off takes no options"));
    WritingSession session(context.dataRoot);
    if (!session.BeginOrReport())
        return kExitFailed;
    try {
        Registry registry(TreeIniPath(context.dataRoot));
        ClearMqttSettings(registry.file());
    } catch (const StorageError &e) {
        PrintLine(stderr, QStringLiteral("mqtt off: ") + e.message());
        return kExitFailed;
    }
    PrintLine(stdout, QStringLiteral("mqtt: off (what waits in the MQTT outbox stays there)"));
    return kExitOk;
}

} // namespace qst::cli

namespace qst::cli {

CliPublishing::CliPublishing(const QString &dataRoot)
{
    try {
        Registry registry(TreeIniPath(dataRoot));
        m_publisher = StartMqttPublisher(dataRoot, ReadMqttSettings(registry.file()), [](const QString &text) {
            static std::mutex printing;
            std::lock_guard lock(printing);
            PrintLine(stdout, QStringLiteral("[MQTT] ") + FormatLogLine(QDateTime::currentDateTime(), text));
            std::fflush(stdout);
        });
    } catch (const StorageError &e) {
        PrintLine(stderr, QStringLiteral("MQTT publishing off: ") + e.message());
    }
}

CliPublishing::~CliPublishing()
{
    Finish(0);
}

void CliPublishing::Finish(int drainMs)
{
    if (m_publisher)
        m_publisher->Stop(drainMs);
    m_publisher.reset();
}

} // namespace qst::cli
