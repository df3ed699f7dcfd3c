// qst-cli run raises an alarm once, by webhook and by mail, and not again after a restart.
#include "NotifyHarness.h"

#include "registry/MeterRecord.h"

#include <QDir>
#include <QJsonArray>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

int OverdueRaised(const QList<QJsonObject> &requests, int serial)
{
    int n = 0;
    for (const QJsonObject &r : requests) {
        const QJsonObject b = QJsonDocument::fromJson(r.value(QStringLiteral("body")).toString().toUtf8()).object();
        if (b.value(QStringLiteral("serial")).toInt() == serial && b.value(QStringLiteral("kind")) == QStringLiteral("overdue") &&
            b.value(QStringLiteral("state")) == QStringLiteral("raised"))
            ++n;
    }
    return n;
}

} // namespace

TEST(RunAlarms, TheServiceSendsAnOverdueMeterOnceByWebhookAndMail)
{
    constexpr int kSerial = 4700;
    TempDataRoot root;
    {
        Registry registry(TreeIniPath(root.path()));
        AddTestMeter(registry, kSerial, 7);
        registry.file().WriteString(MeterSection(1), reg::kSchedule, QStringLiteral("08:00|"));
        registry.file().WriteString(reg::kPorts, QStringLiteral("7"), root.file(QStringLiteral("no-such-device")));
        // It answered two days ago, nothing since.
        MeterHealth health(root.path());
        const double now = DayCountFromDateTime(QDateTime::currentDateTime());
        health.PollQueued(kSerial, now - 3);
        health.Answered(kSerial, now - 2);
        health.Flush();
    }
    const QString secret = WriteSecret(root.path(), "hook-secret");
    WebhookSink sink(secret, 0);
    ASSERT_GT(sink.port(), 0);
    QTemporaryDir mailFolder;
    const QString portFile = mailFolder.filePath(QStringLiteral("port"));
    QProcess smtp;
    smtp.start(QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3") : QStringLiteral("python3"), {QStringLiteral(QST_NOTIFY_DIR "/smtp_sink.py"), mailFolder.path(), portFile});
    QElapsedTimer t;
    t.start();
    while (!QFile::exists(portFile) && t.elapsed() < 15000)
        QThread::msleep(50);
    QFile portText(portFile);
    ASSERT_TRUE(portText.open(QIODevice::ReadOnly)) << smtp.readAllStandardError().constData();
    const QString smtpPort = QString::fromUtf8(portText.readAll()).trimmed();

    QString err;
    ASSERT_EQ(RunCli(root.path(),
                     {QStringLiteral("mail"), QStringLiteral("set"), QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                      QStringLiteral("--port"), smtpPort, QStringLiteral("--security"), QStringLiteral("none"),
                      QStringLiteral("--from"), QStringLiteral("archiver@example.org")},
                     nullptr, &err),
              0)
        << err.toStdString();
    ASSERT_EQ(RunCli(root.path(),
                     {QStringLiteral("alarm"), QStringLiteral("set"), QStringLiteral("--webhook"),
                      QStringLiteral("http://127.0.0.1:%1/hook").arg(sink.port()), QStringLiteral("--secret-file"), secret,
                      QStringLiteral("--mail"), QStringLiteral("op@example.org"), QStringLiteral("--disk-free-percent"),
                      QStringLiteral("0")},
                     nullptr, &err),
              0)
        << err.toStdString();

    auto runFor = [&](const std::function<bool()> &until) {
        QProcess run;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QST_NOTIFY_TICK_MS"), QStringLiteral("300"));
        run.setProcessEnvironment(env);
        run.start(QStringLiteral(QST_CLI), {QStringLiteral("--data-dir"), root.path(), QStringLiteral("run")});
        const bool done = until();
        run.terminate();
        EXPECT_TRUE(run.waitForFinished(30000));
        EXPECT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
        return done;
    };
    auto mails = [&] {
        QStringList subjects;
        for (const QString &name : QDir(mailFolder.path()).entryList({QStringLiteral("*.json")}, QDir::Files)) {
            QFile f(mailFolder.filePath(name));
            f.open(QIODevice::ReadOnly);
            subjects << QJsonDocument::fromJson(f.readAll()).object().value(QStringLiteral("subject")).toString();
        }
        return subjects;
    };
    EXPECT_TRUE(runFor([&] {
        const bool hooked = sink.Collect([&](const QList<QJsonObject> &q) { return OverdueRaised(q, kSerial) > 0; });
        QElapsedTimer wait;
        wait.start();
        while (mails().isEmpty() && wait.elapsed() < 30000)
            QThread::msleep(100);
        return hooked && !mails().isEmpty();
    }));
    ASSERT_EQ(mails().size(), 1);
    EXPECT_TRUE(mails().first().contains(QStringLiteral("overdue %1 raised").arg(kSerial))) << mails().first().toStdString();
    EXPECT_TRUE(sink.requests().first().value(QStringLiteral("valid")).toBool());

    // Restarted: the alarm stands, nothing is sent again.
    runFor([&] {
        QThread::sleep(3);
        return true;
    });
    sink.Collect([](const QList<QJsonObject> &) { return false; }, 500);
    EXPECT_EQ(OverdueRaised(sink.requests(), kSerial), 1);
    EXPECT_EQ(mails().size(), 1);
    QString out;
    ASSERT_EQ(RunCli(root.path(), {QStringLiteral("alarms")}, &out), 0);
    EXPECT_TRUE(out.startsWith(QStringLiteral("%1\toverdue\t").arg(kSerial))) << out.toStdString();
    smtp.kill();
    smtp.waitForFinished(5000);
}
