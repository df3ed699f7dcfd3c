// Every stored record published to a real mosquitto broker, read back by mosquitto_sub,
// with the broker stopped and started in the middle of the polling.
#include "NotifyHarness.h"
#include "TestCa.h"

#include "common/TextFile.h"
#include "notify/MqttPublisher.h"
#include "notify/AlarmService.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <mutex>

using namespace qst;
using namespace qst::test;

namespace {

int FreePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// mosquitto on a loopback port, keeping its sessions in a folder across restarts.
class Broker
{
public:
    explicit Broker(const QString &folder, const QString &access = QStringLiteral("allow_anonymous true\n"))
        : m_folder(folder)
        , m_port(FreePort())
    {
        // Started as root, mosquitto drops to its own user, which must still save its sessions.
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                          QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther |
                                          QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup);
        QFile conf(folder + QStringLiteral("/mosquitto.conf"));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("listener %1 127.0.0.1\npersistence true\npersistence_location %2/\n")
                       .arg(m_port)
                       .arg(folder)
                       .toUtf8() +
                   access.toUtf8());
    }
    ~Broker() { Stop(); }
    int port() const { return m_port; }
    bool Start()
    {
        m_process.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), m_folder + QStringLiteral("/mosquitto.conf")});
        if (!m_process.waitForStarted(5000))
            return false;
        for (int i = 0; i < 100; ++i) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, quint16(m_port));
            if (s.waitForConnected(100))
                return true;
            QThread::msleep(50);
        }
        return false;
    }
    void Stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate(); // mosquitto saves its sessions on SIGTERM
        m_process.waitForFinished(10000);
    }

private:
    QString m_folder;
    int m_port;
    QProcess m_process;
};

// mosquitto_sub with a lasting session (QoS 1): what is published while it is away waits
// for it at the broker.
class Subscriber
{
public:
    explicit Subscriber(int port, QStringList login = {})
        : m_port(port)
        , m_login(std::move(login))
    {
        Start();
    }
    ~Subscriber()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    void Start()
    {
        m_process.start(QStringLiteral("mosquitto_sub"),
                        QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(m_port),
                         QStringLiteral("-c"), QStringLiteral("-i"), QStringLiteral("qst-test-sub"), QStringLiteral("-q"),
                         QStringLiteral("1"), QStringLiteral("-t"), QStringLiteral("qst/#"), QStringLiteral("-F"),
                         QStringLiteral("%t\t%p")} +
                            m_login);
        m_process.waitForStarted(5000);
    }
    bool running() { return m_process.state() == QProcess::Running; }
    void Pump(int ms)
    {
        m_process.waitForReadyRead(ms);
        while (m_process.canReadLine()) {
            const QString line = QString::fromUtf8(m_process.readLine()).chopped(1);
            const qsizetype tab = line.indexOf(u'\t');
            if (tab > 0)
                m_messages.append({line.left(tab), line.mid(tab + 1)});
        }
    }
    template <typename F> bool WaitFor(F enough, int timeoutMs = 30000)
    {
        QElapsedTimer t;
        t.start();
        while (!enough()) {
            if (t.elapsed() > timeoutMs)
                return false;
            Pump(200);
        }
        return true;
    }
    const QList<std::pair<QString, QString>> &messages() const { return m_messages; }

private:
    int m_port;
    QStringList m_login;
    QProcess m_process;
    QList<std::pair<QString, QString>> m_messages;
};

// "kind\tline" of every line of a meter's files.
QSet<QString> StoredLines(const QString &root, quint16 serial)
{
    QSet<QString> lines;
    const struct
    {
        DataKind kind;
        const char *name;
    } kinds[] = {{DataKind::History, "history"}, {DataKind::Hourly, "hourly"}, {DataKind::Daily, "daily"},
                 {DataKind::Monthly, "monthly"}, {DataKind::Journal, "journal"}};
    for (const auto &k : kinds) {
        const QDir folder = QFileInfo(DataFilePath(root, k.kind, serial, 2026, 1)).dir();
        for (const QString &file : folder.entryList({QStringLiteral("*.dat")}, QDir::Files)) {
            for (const QString &line : LoadLines(folder.filePath(file)))
                lines.insert(QString::fromLatin1(k.name) + u'\t' + line);
        }
    }
    return lines;
}

} // namespace

TEST(MqttAgainstBroker, EveryRecordOfAPollArrivesAsStoredAndABrokerRestartLosesNothing)
{
    constexpr int kSerial = 4600;
    QTemporaryDir brokerFolder;
    Broker broker(brokerFolder.path());
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.port());
    // The subscription stands once a probe comes through.
    ASSERT_TRUE(sub.WaitFor([&] {
        QProcess::execute(QStringLiteral("mosquitto_pub"),
                          {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                           QString::number(broker.port()), QStringLiteral("-t"), QStringLiteral("qst/probe"),
                           QStringLiteral("-m"), QStringLiteral("x")});
        sub.Pump(300);
        return !sub.messages().isEmpty();
    }));

    NotifyRoot r;
    QString err;
    ASSERT_EQ(RunCli(r.root.path(),
                     {QStringLiteral("mqtt"), QStringLiteral("set"), QStringLiteral("--url"),
                      QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port()), QStringLiteral("--node"),
                      QStringLiteral("plant1")},
                     nullptr, &err),
              0)
        << err.toStdString();
    r.Open();
    AddTestMeter(*r.registry, kSerial, 2);
    SimProcess sim(SimArgs(kSerial));
    ASSERT_TRUE(sim.started());
    r.MapPort(2, sim.path());

    AlarmService notify(r.root.path(), *r.registry, r.engine->health(),
                         [](const QString &text) { std::fprintf(stderr, "%s\n", qPrintable(text)); });
    notify.Start(0);
    ASSERT_NE(notify.mqtt(), nullptr);
    notify.mqtt()->SetRetryLimitsForTests(100, 500);
    const QDateTime now = QDateTime::currentDateTime();
    r.engine->ReadCurrentValues(kSerial);
    r.engine->ReadHourly(kSerial, now.addSecs(-6 * 3600), now, false);
    r.engine->ReadJournal(kSerial, 5);
    ASSERT_TRUE(r.RunToEmpty());
    notify.Tick(now);
    ASSERT_TRUE(notify.mqtt()->WaitSent(30000));

    // The broker goes away while more is read: the records wait in the outbox.
    broker.Stop();
    r.engine->ReadHourly(kSerial, now.addSecs(-12 * 3600), now.addSecs(-7 * 3600), false);
    r.engine->ReadDaily(kSerial, now.date().addDays(-5), now.date().addDays(-1), false);
    r.engine->ReadCurrentValues(kSerial);
    ASSERT_TRUE(r.RunToEmpty());
    EXPECT_GT(notify.mqtt()->outbox().Summary().pending, 0);
    ASSERT_TRUE(broker.Start());
    if (!sub.running())
        sub.Start();
    ASSERT_TRUE(notify.mqtt()->WaitSent(60000));
    notify.Stop(5000);

    const QSet<QString> stored = StoredLines(r.root.path(), kSerial);
    ASSERT_GT(stored.size(), 20);
    QSet<QString> received;
    auto collect = [&] {
        received.clear();
        for (const auto &[topic, payload] : sub.messages()) {
            const QJsonObject o = QJsonDocument::fromJson(payload.toUtf8()).object();
            const QString kind = topic.section(u'/', 3);
            if (topic.section(u'/', 0, 2) != QStringLiteral("qst/plant1/%1").arg(kSerial) || kind == QStringLiteral("health") ||
                kind == QStringLiteral("current"))
                continue;
            received.insert(kind + u'\t' + o.value(QStringLiteral("line")).toString());
        }
        return received.contains(stored);
    };
    EXPECT_TRUE(sub.WaitFor(collect)) << "missing: " << (stored - received).values().join(u'\n').toStdString();
    // A line published and later rewritten in place (the same time, newer values) is no
    // longer in the file as it was; nothing else may differ.
    QSet<QString> storedKeys;
    for (const QString &l : stored)
        storedKeys.insert(l.section(u'\t', 0, 1));
    for (const QString &l : received - stored)
        EXPECT_TRUE(storedKeys.contains(l.section(u'\t', 0, 1))) << "not in the files: " << l.toStdString();

    // Each message carries the serial and the line's time; the newest current values and the
    // health came too.
    bool current = false, health = false;
    for (const auto &[topic, payload] : sub.messages()) {
        const QJsonObject o = QJsonDocument::fromJson(payload.toUtf8()).object();
        if (!topic.startsWith(QStringLiteral("qst/plant1/")))
            continue;
        EXPECT_EQ(o.value(QStringLiteral("serial")).toInt(), kSerial) << payload.toStdString();
        EXPECT_TRUE(o.contains(QStringLiteral("time"))) << payload.toStdString();
        current = current || topic.endsWith(QStringLiteral("/current"));
        health = health || topic.endsWith(QStringLiteral("/health"));
        if (topic.endsWith(QStringLiteral("/hourly"))) {
            EXPECT_TRUE(QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODate).isValid());
        }
    }
    EXPECT_TRUE(current);
    EXPECT_TRUE(health);
}

TEST(MqttAgainstBroker, ALoginIsUsedAndAWrongPasswordIsRefusedWithoutShowingIt)
{
    constexpr int kSerial = 4601;
    QTemporaryDir brokerFolder;
    const QString passwords = brokerFolder.path() + QStringLiteral("/passwd");
    ASSERT_EQ(QProcess::execute(QStringLiteral("mosquitto_passwd"), {QStringLiteral("-b"), QStringLiteral("-c"), passwords,
                                                                     QStringLiteral("qst"), QStringLiteral("right-pass")}),
              0);
    ASSERT_EQ(QProcess::execute(QStringLiteral("mosquitto_passwd"),
                                {QStringLiteral("-b"), passwords, QStringLiteral("sub"), QStringLiteral("sub-pass")}),
              0);
    QFile::setPermissions(passwords, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    Broker broker(brokerFolder.path(), QStringLiteral("allow_anonymous false\npassword_file %1\n").arg(passwords));
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.port(), {QStringLiteral("-u"), QStringLiteral("sub"), QStringLiteral("-P"), QStringLiteral("sub-pass")});

    NotifyRoot r;
    const QString secret = WriteSecret(r.root.path(), "wrong-pass");
    QString err;
    ASSERT_EQ(RunCli(r.root.path(),
                     {QStringLiteral("mqtt"), QStringLiteral("set"), QStringLiteral("--url"),
                      QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port()), QStringLiteral("--user"),
                      QStringLiteral("qst"), QStringLiteral("--password-file"), secret, QStringLiteral("--node"),
                      QStringLiteral("n2")},
                     nullptr, &err),
              0)
        << err.toStdString();
    r.Open();
    AddTestMeter(*r.registry, kSerial, 2);
    SimProcess sim(SimArgs(kSerial));
    ASSERT_TRUE(sim.started());
    r.MapPort(2, sim.path());
    QStringList logged;
    std::mutex loggedMutex;
    auto log = [&](const QString &text) {
        std::lock_guard lock(loggedMutex);
        logged << text;
    };
    {
        AlarmService notify(r.root.path(), *r.registry, r.engine->health(), log);
        notify.Start(0);
        r.engine->ReadCurrentValues(kSerial);
        ASSERT_TRUE(r.RunToEmpty());
        EXPECT_FALSE(notify.mqtt()->WaitSent(3000));
        notify.Stop(0);
    }
    {
        std::lock_guard lock(loggedMutex);
        ASSERT_FALSE(logged.isEmpty());
        EXPECT_FALSE(logged.join(u'\n').contains(QStringLiteral("wrong-pass"))) << logged.join(u'\n').toStdString();
    }
    // The right password: what waited goes out.
    WriteSecret(r.root.path(), "right-pass");
    AlarmService notify(r.root.path(), *r.registry, r.engine->health(), log);
    notify.Start(0);
    ASSERT_TRUE(notify.mqtt()->WaitSent(30000));
    notify.Stop(5000);
    const QSet<QString> stored = StoredLines(r.root.path(), kSerial);
    ASSERT_EQ(stored.size(), 1);
    EXPECT_TRUE(sub.WaitFor([&] {
        for (const auto &[topic, payload] : sub.messages()) {
            if (topic == QStringLiteral("qst/n2/%1/history").arg(kSerial) &&
                stored.contains(QStringLiteral("history\t") +
                                QJsonDocument::fromJson(payload.toUtf8()).object().value(QStringLiteral("line")).toString()))
                return true;
        }
        return false;
    }));
}

TEST(MqttAgainstBroker, MqttsConnectsWithTheTrustedAuthorityAndRefusesACertificateItCannotVerify)
{
    constexpr int kSerial = 4603;
    QTemporaryDir brokerFolder;
    const TestCa ca(brokerFolder.path());
    ASSERT_TRUE(ca.ok()) << ca.error.toStdString();
    Broker broker(brokerFolder.path(), QStringLiteral("allow_anonymous true\ncafile %1\ncertfile %2\nkeyfile %3\n")
                                           .arg(ca.caFile, ca.certFile, ca.keyFile));
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.port(), {QStringLiteral("--cafile"), ca.caFile});

    NotifyRoot r;
    const QString url = QStringLiteral("mqtts://127.0.0.1:%1").arg(broker.port());
    QString err;
    ASSERT_EQ(RunCli(r.root.path(), {QStringLiteral("mqtt"), QStringLiteral("set"), QStringLiteral("--url"), url,
                                     QStringLiteral("--node"), QStringLiteral("n3")},
                     nullptr, &err),
              0)
        << err.toStdString();
    r.Open();
    AddTestMeter(*r.registry, kSerial, 2);
    SimProcess sim(SimArgs(kSerial));
    ASSERT_TRUE(sim.started());
    r.MapPort(2, sim.path());
    QStringList logged;
    std::mutex loggedMutex;
    auto log = [&](const QString &text) {
        std::lock_guard lock(loggedMutex);
        logged << text;
    };
    // The system's authorities only: no connection, the record waits.
    {
        AlarmService notify(r.root.path(), *r.registry, r.engine->health(), log);
        notify.Start(0);
        ASSERT_NE(notify.mqtt(), nullptr);
        r.engine->ReadCurrentValues(kSerial);
        ASSERT_TRUE(r.RunToEmpty());
        EXPECT_FALSE(notify.mqtt()->WaitSent(3000));
        EXPECT_FALSE(notify.mqtt()->connected());
        notify.Stop(0);
    }
    {
        std::lock_guard lock(loggedMutex);
        EXPECT_TRUE(logged.join(u'\n').contains(QStringLiteral("Нет связи с брокером MQTT"))) << logged.join(u'\n').toStdString();
    }
    EXPECT_EQ(Outbox(r.root.path(), MqttPublisher::FolderName()).ReadPending(10).entries.size(), 1);

    // The test's authority given: connected, and what waited goes out.
    r.engine.reset();
    r.registry.reset();
    ASSERT_EQ(RunCli(r.root.path(), {QStringLiteral("mqtt"), QStringLiteral("set"), QStringLiteral("--url"), url,
                                     QStringLiteral("--node"), QStringLiteral("n3"), QStringLiteral("--ca-file"), ca.caFile},
                     nullptr, &err),
              0)
        << err.toStdString();
    r.Open();
    AlarmService notify(r.root.path(), *r.registry, r.engine->health(), log);
    notify.Start(0);
    ASSERT_TRUE(notify.mqtt()->WaitSent(30000));
    notify.Stop(5000);
    const QSet<QString> stored = StoredLines(r.root.path(), kSerial);
    ASSERT_EQ(stored.size(), 1);
    EXPECT_TRUE(sub.WaitFor([&] {
        for (const auto &[topic, payload] : sub.messages()) {
            if (topic == QStringLiteral("qst/n3/%1/history").arg(kSerial) &&
                stored.contains(QStringLiteral("history\t") +
                                QJsonDocument::fromJson(payload.toUtf8()).object().value(QStringLiteral("line")).toString()))
                return true;
        }
        return false;
    }));
}

TEST(MqttAgainstBroker, APollWhileTheBrokerIsAwayKeepsItsRecordsForLater)
{
    constexpr int kSerial = 4602;
    NotifyRoot r;
    QString err;
    ASSERT_EQ(RunCli(r.root.path(),
                     {QStringLiteral("mqtt"), QStringLiteral("set"), QStringLiteral("--url"),
                      QStringLiteral("mqtt://127.0.0.1:%1").arg(FreePort())},
                     nullptr, &err),
              0)
        << err.toStdString();
    {
        Registry registry(TreeIniPath(r.root.path()));
        AddTestMeter(registry, kSerial, 2);
    }
    SimProcess sim(SimArgs(kSerial));
    ASSERT_TRUE(sim.started());
    {
        Registry registry(TreeIniPath(r.root.path()));
        registry.file().WriteString(reg::kPorts, QStringLiteral("2"), sim.path());
    }
    QString out;
    ASSERT_EQ(RunCli(r.root.path(), {QStringLiteral("poll"), QStringLiteral("--serial"), QString::number(kSerial),
                                     QStringLiteral("--current")},
                     &out, &err),
              0)
        << out.toStdString() << err.toStdString();
    Outbox outbox(r.root.path(), MqttPublisher::FolderName());
    const OutboxBatch waiting = outbox.ReadPending(10);
    const QSet<QString> stored = StoredLines(r.root.path(), kSerial);
    ASSERT_EQ(waiting.entries.size(), 1);
    EXPECT_TRUE(stored.contains(QStringLiteral("history\t") + waiting.entries.first().record.line));
}
