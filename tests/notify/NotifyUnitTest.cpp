#include "notify/Alarms.h"
#include "notify/MailMessage.h"
#include "notify/MqttPublisher.h"
#include "notify/NotifySettings.h"
#include "notify/Webhook.h"

#include "storage/RecordFeed.h"
#include "support/TempDataRoot.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

TEST(NotifySettings, UrlsAndAddressesAreCheckedBeforeTheyAreStored)
{
    const struct
    {
        const char *url;
        bool webhookOk;
    } webhooks[] = {
        {"https://hooks.example.com/qst?token=1", true},
        {"http://127.0.0.1:8080/hook", true},
        {"ftp://example.com/x", false},
        {"file:///etc/passwd", false},
        {"https://user:pw@example.com/", false},
        {"https://example.com/\r\nX-Evil: 1", false},
        {"https://example.com/a b", false},
        {"https:///nohost", false},
        {"", false},
    };
    for (const auto &c : webhooks)
        EXPECT_EQ(WebhookUrlError(QString::fromUtf8(c.url)).isEmpty(), c.webhookOk) << c.url;

    const struct
    {
        const char *url;
        bool ok;
    } brokers[] = {
        {"mqtt://broker:1883", true},    {"mqtts://broker.example.com:8883", true}, {"mqtt://broker", true},
        {"http://broker:1883", false},   {"mqtt://u:p@broker:1883", false},        {"mqtt://broker:1883/x", false},
        {"mqtt://broker:99999", false},  {"mqtt://bro\nker:1883", false},
    };
    for (const auto &c : brokers)
        EXPECT_EQ(MqttUrlError(QString::fromUtf8(c.url)).isEmpty(), c.ok) << c.url;

    EXPECT_TRUE(MqttNodeError(QStringLiteral("plant-1")).isEmpty());
    for (const char *bad : {"a/b", "a+b", "a#", "a b"})
        EXPECT_FALSE(MqttNodeError(QString::fromUtf8(bad)).isEmpty()) << bad;

    EXPECT_TRUE(MailAddressError(QStringLiteral("ops@example.com")).isEmpty());
    for (const char *bad : {"ops", "ops@", "@example.com", "a@b@example.com", "ops@example.com\r\nBcc: x@y.z",
                            "Ops <ops@example.com>"})
        EXPECT_FALSE(MailAddressError(QString::fromUtf8(bad)).isEmpty()) << bad;
}

TEST(NotifySettings, SecretsStayOutOfTexts)
{
    EXPECT_EQ(RedactedWebhookUrl(QStringLiteral("https://hooks.example.com/services/T0/B0/XYZ")),
              QStringLiteral("https://hooks.example.com/***"));
    EXPECT_EQ(RedactedWebhookUrl(QStringLiteral("http://127.0.0.1:8080/?token=abc")), QStringLiteral("http://127.0.0.1:8080/?***"));
    EXPECT_EQ(MaskSecrets(QStringLiteral("login failed for pa55"), {QStringLiteral("pa55")}), QStringLiteral("login failed for ***"));

    TempDataRoot root;
    const QString path = root.file(QStringLiteral("secret"));
    WriteAll(path, "key\n");
    QByteArray secret;
    QString error;
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    EXPECT_FALSE(ReadSecretFile(path, &secret, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("chmod 600"))) << error.toStdString();
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    ASSERT_TRUE(ReadSecretFile(path, &secret, &error)) << error.toStdString();
    EXPECT_EQ(secret, "key");
}

TEST(Webhook, SignatureIsHmacSha256OfTheBody)
{
    // RFC 4231, test case 2.
    EXPECT_EQ(WebhookSignature("what do ya want for nothing?", "Jefe"),
              "sha256=5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(Webhook, BodyHasTheContractKeys)
{
    const QDateTime t(QDate(2026, 12, 11), QTime(9, 30));
    const QJsonObject meter = AlarmEventJson({QStringLiteral("overdue"), 4400, true, t, QStringLiteral("Прибор"), 0});
    EXPECT_EQ(meter.value(QStringLiteral("serial")).toInt(), 4400);
    EXPECT_EQ(meter.value(QStringLiteral("kind")).toString(), QStringLiteral("overdue"));
    EXPECT_EQ(meter.value(QStringLiteral("state")).toString(), QStringLiteral("raised"));
    EXPECT_EQ(meter.value(QStringLiteral("time")).toString(), QStringLiteral("2026-12-11T09:30:00+03:00")); // TZ pinned
    EXPECT_EQ(meter.value(QStringLiteral("text")).toString(), QStringLiteral("Прибор"));
    const QJsonObject disk = AlarmEventJson({QStringLiteral("disk"), 0, false, t, QString(), 0});
    EXPECT_TRUE(disk.value(QStringLiteral("serial")).isNull());
    EXPECT_EQ(disk.value(QStringLiteral("state")).toString(), QStringLiteral("cleared"));
}

namespace {

ActiveAlarm Alarm(const char *kind, quint16 serial)
{
    return {QString::fromLatin1(kind), serial, {}, QStringLiteral("текст")};
}

QStringList Names(const QList<AlarmEvent> &events)
{
    QStringList out;
    for (const AlarmEvent &e : events)
        out << QStringLiteral("%1 %2 %3").arg(e.kind).arg(e.serial).arg(e.state());
    return out;
}

} // namespace

TEST(AlarmMonitor, EachChangeOnceAndTheStateOutlivesARestart)
{
    TempDataRoot root;
    const QDateTime t(QDate(2026, 12, 11), QTime(9, 5));
    EXPECT_EQ(Names(AlarmMonitor(root.path()).Update({Alarm("overdue", 4400), Alarm("disk", 0)}, 10, t)),
              (QStringList{QStringLiteral("overdue 4400 raised"), QStringLiteral("disk 0 raised")}));
    // A new monitor (the service restarted) sees the same conditions: nothing to send.
    EXPECT_TRUE(AlarmMonitor(root.path()).Update({Alarm("overdue", 4400), Alarm("disk", 0)}, 10, t.addSecs(60)).isEmpty());
    const QList<ActiveAlarm> active = AlarmMonitor::Active(root.path());
    ASSERT_EQ(active.size(), 2);
    EXPECT_EQ(active[0].raised, t);
    EXPECT_EQ(Names(AlarmMonitor(root.path()).Update({Alarm("disk", 0)}, 10, t.addSecs(120))),
              QStringList{QStringLiteral("overdue 4400 cleared")});
    EXPECT_EQ(AlarmMonitor::Active(root.path()).size(), 1);
}

TEST(AlarmMonitor, TextsFromOutsideAreStoredOnOneLine)
{
    TempDataRoot root;
    const QDateTime t(QDate(2026, 12, 11), QTime(9, 5));
    // libpq's reasons carry line breaks and may hold what Windows-1251 cannot.
    const QList<AlarmEvent> events = AlarmMonitor(root.path()).Update(
        {{QStringLiteral("database"), 0, {}, QStringLiteral("could not connect\n\u201cdb\u201d 😀\r\n[x]\nKey=1")}}, 6, t);
    ASSERT_EQ(events.size(), 1);
    const QList<ActiveAlarm> active = AlarmMonitor::Active(root.path());
    ASSERT_EQ(active.size(), 1);
    EXPECT_EQ(active[0].text, events[0].text);
    EXPECT_FALSE(active[0].text.contains(u'\n'));
    EXPECT_TRUE(active[0].text.startsWith(QStringLiteral("could not connect"))) << active[0].text.toStdString();
    EXPECT_TRUE(active[0].text.endsWith(QStringLiteral("[x] Key=1"))) << active[0].text.toStdString();
    // Stored again unchanged: no new event.
    EXPECT_TRUE(AlarmMonitor(root.path())
                    .Update({{QStringLiteral("database"), 0, {}, QStringLiteral("could not connect\n\u201cdb\u201d 😀\r\n[x]\nKey=1")}},
                            6, t.addSecs(60))
                    .isEmpty());
}

TEST(AlarmMonitor, RateLimitPerMeterHoldsBackTheRestAndSummarisesThem)
{
    TempDataRoot root;
    AlarmMonitor monitor(root.path());
    const QDateTime t(QDate(2026, 12, 11), QTime(9, 5));
    // Four changes of one meter and one of another within an hour, two allowed per meter.
    EXPECT_EQ(Names(monitor.Update({Alarm("overdue", 1), Alarm("fault", 1), Alarm("ring", 1), Alarm("overdue", 2)}, 2, t)),
              (QStringList{QStringLiteral("overdue 1 raised"), QStringLiteral("fault 1 raised"),
                           QStringLiteral("overdue 2 raised")}));
    EXPECT_TRUE(monitor.Update({Alarm("overdue", 2)}, 2, t.addSecs(600)).isEmpty()); // meter 1's clearings held back
    EXPECT_EQ(AlarmMonitor::Active(root.path()).size(), 1);                           // the state itself is exact
    // The next hour: one summary for meter 1.
    const QList<AlarmEvent> next = monitor.Update({Alarm("overdue", 2)}, 2, t.addSecs(3600));
    ASSERT_EQ(next.size(), 1);
    EXPECT_EQ(next[0].kind, QStringLiteral("summary"));
    EXPECT_EQ(next[0].serial, 1);
    EXPECT_EQ(next[0].suppressed, 4);
    EXPECT_EQ(AlarmEventJson(next[0]).value(QStringLiteral("suppressed")).toInt(), 4);
    EXPECT_TRUE(monitor.Update({Alarm("overdue", 2)}, 2, t.addSecs(7200)).isEmpty());
}

namespace {

class CountingFeed final : public RecordFeed
{
public:
    void Stored(const QList<FedRecord> &records) override { count += int(records.size()); }
    int count = 0;
};

} // namespace

TEST(RecordFeed, PublishingListensBesideTheDatabaseCopy)
{
    TempDataRoot root, other;
    auto database = std::make_shared<CountingFeed>();
    auto publishing = std::make_shared<CountingFeed>();
    SetRecordFeed(root.path(), database);
    AddRecordFeed(root.path(), publishing);
    FeedStored(root.path(), {FedRecord{FedKind::Hourly, 1, QStringLiteral("x")}});
    FeedStored(other.path(), {FedRecord{FedKind::Hourly, 1, QStringLiteral("y")}});
    EXPECT_EQ(database->count, 1);
    EXPECT_EQ(publishing->count, 1);
    SetRecordFeed(root.path(), nullptr); // the database copy stops: publishing goes on
    FeedStored(root.path(), {FedRecord{FedKind::Daily, 1, QStringLiteral("z")}});
    EXPECT_EQ(database->count, 1);
    EXPECT_EQ(publishing->count, 2);
    RemoveRecordFeed(publishing);
    FeedStored(root.path(), {FedRecord{FedKind::Daily, 1, QStringLiteral("w")}});
    EXPECT_EQ(publishing->count, 2);
}

TEST(MqttPublisher, RecordMessageCarriesTheLineAsStored)
{
    const QString line = QStringLiteral("46367,4166666667\t12,5\t0");
    const QJsonObject o = QJsonDocument::fromJson(MqttRecordJson({FedKind::Hourly, 4400, line})).object();
    EXPECT_EQ(o.value(QStringLiteral("serial")).toInt(), 4400);
    EXPECT_EQ(o.value(QStringLiteral("kind")).toString(), QStringLiteral("hourly"));
    EXPECT_EQ(o.value(QStringLiteral("line")).toString(), line);
    EXPECT_EQ(o.value(QStringLiteral("time")).toString(), QStringLiteral("2026-12-11T10:00:00+03:00"));
    const QJsonObject bad = QJsonDocument::fromJson(MqttRecordJson({FedKind::Journal, 1, QStringLiteral("junk")})).object();
    EXPECT_TRUE(bad.value(QStringLiteral("time")).isNull());
    EXPECT_EQ(MqttKindName(FedKind::History), QStringLiteral("history"));
}
