#include "NotifySettings.h"

#include "common/ProfileFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QUrl>

namespace qst {

namespace {

const QString kWebhook = QStringLiteral("Webhook");
const QString kSecretFile = QStringLiteral("SecretFile");
const QString kMail = QStringLiteral("Mail");
const QString kMqttOn = QStringLiteral("Mqtt");
const QString kPerHour = QStringLiteral("PerMeterPerHour");
const QString kDbMinutes = QStringLiteral("DatabaseOfflineMinutes");
const QString kDiskPercent = QStringLiteral("DiskFreePercent");
const QString kUrl = QStringLiteral("Url");
const QString kUser = QStringLiteral("User");
const QString kPasswordFile = QStringLiteral("PasswordFile");
const QString kNode = QStringLiteral("Node");
const QString kCaFile = QStringLiteral("CaFile");

bool HasControlOrBlank(const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() <= 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Format)
            return true;
    }
    return false;
}

int Clamp(qint64 value, int low, int high, int fallback)
{
    return value < low || value > high ? fallback : int(value);
}

} // namespace

AlarmSettings ReadAlarmSettings(ProfileFile &ini)
{
    AlarmSettings s;
    s.webhookUrl = ini.ReadString(reg::kAlarms, kWebhook).trimmed();
    s.secretFile = ini.ReadString(reg::kAlarms, kSecretFile).trimmed();
    s.caFile = ini.ReadString(reg::kAlarms, kCaFile).trimmed();
    for (const QString &a : ini.ReadString(reg::kAlarms, kMail).split(u',', Qt::SkipEmptyParts))
        s.mail << a.trimmed();
    s.mqtt = ini.ReadInteger(reg::kAlarms, kMqttOn, 0) != 0;
    s.perMeterPerHour = Clamp(ini.ReadInteger(reg::kAlarms, kPerHour, 6), 1, 1000, 6);
    s.databaseOfflineMinutes = Clamp(ini.ReadInteger(reg::kAlarms, kDbMinutes, 30), 1, 100000, 30);
    s.diskFreePercent = Clamp(ini.ReadInteger(reg::kAlarms, kDiskPercent, 5), 0, 99, 5);
    return s;
}

void WriteAlarmSettings(ProfileFile &ini, const AlarmSettings &s)
{
    ini.WriteStrings(reg::kAlarms, {{kWebhook, s.webhookUrl},
                                    {kSecretFile, s.secretFile},
                                    {kCaFile, s.caFile},
                                    {kMail, s.mail.join(u',')},
                                    {kMqttOn, s.mqtt ? QStringLiteral("1") : QStringLiteral("0")},
                                    {kPerHour, QString::number(s.perMeterPerHour)},
                                    {kDbMinutes, QString::number(s.databaseOfflineMinutes)},
                                    {kDiskPercent, QString::number(s.diskFreePercent)}});
}

QString MqttSettings::nodeOrHost() const
{
    if (!node.isEmpty())
        return node;
    QString host = QSysInfo::machineHostName();
    host.remove(u'/').remove(u'+').remove(u'#');
    return host.isEmpty() ? QStringLiteral("qst") : host;
}

MqttSettings ReadMqttSettings(ProfileFile &ini)
{
    MqttSettings s;
    s.url = ini.ReadString(reg::kMqtt, kUrl).trimmed();
    s.user = ini.ReadString(reg::kMqtt, kUser);
    s.passwordFile = ini.ReadString(reg::kMqtt, kPasswordFile);
    s.node = ini.ReadString(reg::kMqtt, kNode);
    s.caFile = ini.ReadString(reg::kMqtt, kCaFile);
    return s;
}

void WriteMqttSettings(ProfileFile &ini, const MqttSettings &s)
{
    ini.WriteStrings(reg::kMqtt, {{kUrl, s.url}, {kUser, s.user}, {kPasswordFile, s.passwordFile}, {kNode, s.node}, {kCaFile, s.caFile}});
}

void ClearMqttSettings(ProfileFile &ini)
{
    ini.WriteString(reg::kMqtt, kUrl, QString());
}

QString WebhookUrlError(const QString &url)
{
    if (url.isEmpty())
        return QStringLiteral("the webhook URL is empty");
    if (HasControlOrBlank(url))
        return QStringLiteral("the webhook URL holds a blank, a line break or a control character");
    const QUrl u(url, QUrl::StrictMode);
    if (!u.isValid())
        return QStringLiteral("the webhook URL cannot be read: %1").arg(u.errorString());
    const QString scheme = u.scheme().toLower();
    if (scheme != QStringLiteral("http") && scheme != QStringLiteral("https"))
        return QStringLiteral("the webhook URL must start with http:// or https://");
    if (u.host().isEmpty())
        return QStringLiteral("the webhook URL names no host");
    if (!u.userInfo().isEmpty())
        return QStringLiteral("the webhook URL must not hold a user or password (use --secret-file)");
    return {};
}

bool SplitMqttUrl(const QString &url, QString *host, int *port, bool *tls)
{
    const QUrl u(url, QUrl::StrictMode);
    const QString scheme = u.scheme().toLower();
    if (!u.isValid() || (scheme != QStringLiteral("mqtt") && scheme != QStringLiteral("mqtts")) || u.host().isEmpty())
        return false;
    *tls = scheme == QStringLiteral("mqtts");
    *host = u.host();
    *port = u.port(*tls ? 8883 : 1883);
    return true;
}

QString MqttUrlError(const QString &url)
{
    if (url.isEmpty())
        return QStringLiteral("the MQTT URL is empty");
    if (HasControlOrBlank(url))
        return QStringLiteral("the MQTT URL holds a blank, a line break or a control character");
    const QUrl u(url, QUrl::StrictMode);
    if (!u.userInfo().isEmpty())
        return QStringLiteral("the MQTT URL must not hold a user or password (use --user and --password-file)");
    if (!u.path().isEmpty() && u.path() != QStringLiteral("/"))
        return QStringLiteral("the MQTT URL is mqtt://HOST:PORT or mqtts://HOST:PORT, without a path");
    QString host;
    int port = 0;
    bool tls = false;
    if (!SplitMqttUrl(url, &host, &port, &tls))
        return QStringLiteral("the MQTT URL is mqtt://HOST:PORT or mqtts://HOST:PORT");
    if (port < 1 || port > 65535)
        return QStringLiteral("the MQTT port is 1..65535");
    return {};
}

QString MqttNodeError(const QString &node)
{
    if (node.size() > 64)
        return QStringLiteral("the node name is longer than 64 characters");
    if (HasControlOrBlank(node) || node.contains(u'/') || node.contains(u'+') || node.contains(u'#'))
        return QStringLiteral("the node name must not hold blanks, control characters, '/', '+' or '#'");
    return {};
}

bool ReadSecretFile(const QString &path, QByteArray *secret, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the secret file %1: %2").arg(path, f.errorString());
        return false;
    }
    const QFileDevice::Permissions others = QFileDevice::ReadOther | QFileDevice::ReadGroup;
    if (f.permissions() & others) {
        *error = QStringLiteral("the secret file %1 may be read by others: chmod 600 it").arg(path);
        return false;
    }
    QByteArray bytes = f.read(64 * 1024);
    while (bytes.endsWith('\n') || bytes.endsWith('\r'))
        bytes.chop(1);
    if (bytes.isEmpty()) {
        *error = QStringLiteral("the secret file %1 is empty").arg(path);
        return false;
    }
    *secret = bytes;
    return true;
}

QString RedactedWebhookUrl(const QString &url)
{
    const QUrl u(url);
    if (!u.isValid() || u.host().isEmpty())
        return QStringLiteral("***");
    QString text = u.scheme() + QStringLiteral("://") + u.host();
    if (u.port() > 0)
        text += u':' + QString::number(u.port());
    if (!u.path().isEmpty() && u.path() != QStringLiteral("/"))
        text += QStringLiteral("/***");
    else if (u.hasQuery())
        text += QStringLiteral("/?***");
    return text;
}

} // namespace qst
