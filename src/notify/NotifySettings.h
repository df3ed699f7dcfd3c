#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace qst {

class ProfileFile;

namespace reg {
inline const QString kAlarms = QStringLiteral("ALARMS");
inline const QString kMqtt = QStringLiteral("MQTT");
} // namespace reg

// Where alarms go: [ALARMS] of Tree.ini. Secrets never stand in Tree.ini, only the name of
// the file holding them (mode 0600, as systemd's LoadCredential= gives it).
struct AlarmSettings
{
    QString webhookUrl;
    QString secretFile;
    QString caFile; // authorities trusted for an https webhook besides the system's
    QStringList mail;
    bool mqtt = false;
    int perMeterPerHour = 6;         // notifications of one meter in an hour; the rest summarised
    int databaseOfflineMinutes = 30; // the database copy unreachable this long raises an alarm
    int diskFreePercent = 5;         // the data root's disk with less free space raises an alarm

    bool anyChannel() const { return !webhookUrl.isEmpty() || !mail.isEmpty() || mqtt; }
};

AlarmSettings ReadAlarmSettings(ProfileFile &treeIni);
void WriteAlarmSettings(ProfileFile &treeIni, const AlarmSettings &settings);

// Publishing: [MQTT] of Tree.ini; an empty url is off.
struct MqttSettings
{
    QString url; // mqtt://HOST:PORT or mqtts://HOST:PORT
    QString user;
    QString passwordFile;
    QString node; // the second topic level; empty: the host name
    QString caFile; // authorities trusted for mqtts besides the system's; empty: the system's only

    bool enabled() const { return !url.isEmpty(); }
    QString nodeOrHost() const;
};

MqttSettings ReadMqttSettings(ProfileFile &treeIni);
void WriteMqttSettings(ProfileFile &treeIni, const MqttSettings &settings);
void ClearMqttSettings(ProfileFile &treeIni);

// Why a text cannot be used (empty when it can). URLs: http or https only, a host, no
// user or password in them, no blanks or control characters (CR/LF would inject headers).
QString WebhookUrlError(const QString &url);
QString MqttUrlError(const QString &url);
// A node name becomes a topic level: no '/', '+', '#', blanks or control characters.
QString MqttNodeError(const QString &node);
// Host and port of a valid mqtt(s) url; tls for mqtts.
bool SplitMqttUrl(const QString &url, QString *host, int *port, bool *tls);

// The secret of a file: its bytes without the trailing line break. False with the reason
// when it cannot be read, is empty, or others may read it.
bool ReadSecretFile(const QString &path, QByteArray *secret, QString *error);

// A webhook url as logs and lists show it: the path and query may carry a token, so only
// the scheme, host and port are kept.
QString RedactedWebhookUrl(const QString &url);

} // namespace qst
