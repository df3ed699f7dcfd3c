// Alarms from a meter on the simulator, delivered to a local webhook receiver that checks
// the signature with its own HMAC.
#include "NotifyHarness.h"
#include "TestCa.h"

#include "common/RegionalFormat.h"
#include "common/TextFile.h"
#include "notify/AlarmService.h"
#include "notify/Webhook.h"
#include "registry/MeterRecord.h"
#include "storage/ArchiveFiles.h"
#include "storage/GapScan.h"
#include "storage/RecordWriters.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <mutex>

using namespace qst;
using namespace qst::test;

namespace {

QJsonObject Body(const QJsonObject &request)
{
    return QJsonDocument::fromJson(request.value(QStringLiteral("body")).toString().toUtf8()).object();
}

// "kind state" of the accepted requests of a meter, in order.
QStringList Accepted(const QList<QJsonObject> &requests, int serial)
{
    QStringList out;
    for (const QJsonObject &r : requests) {
        const QJsonObject b = Body(r);
        if (!r.value(QStringLiteral("refused")).toBool() && b.value(QStringLiteral("serial")).toInt() == serial)
            out << b.value(QStringLiteral("kind")).toString() + u' ' + b.value(QStringLiteral("state")).toString();
    }
    return out;
}

// The НС words of the stored hourly records in (from, to], OR-ed.
bool StoredNs(const QString &root, quint16 serial, double from, double to, int words[5])
{
    bool any = false;
    const QDate last = DateFromDayCount(to);
    for (QDate m = QDate(last.year(), last.month(), 1).addMonths(-1); m <= last; m = m.addMonths(1)) {
        for (const QString &line : LoadLines(DataFilePath(root, DataKind::Hourly, serial, m.year(), m.month()))) {
            ArchiveRecord r;
            if (!TryParseArchiveLine(line, &r) || r.time <= from || r.time > to)
                continue;
            for (int i = 0; i < 5; ++i) {
                words[i] |= r.ns[i];
                any = any || r.ns[i] != 0;
            }
        }
    }
    return any;
}

} // namespace

TEST(WebhookAgainstSim, OverdueAndAbnormalSituationsAreRaisedAndClearedOnceWithAVerifiableSignature)
{
    constexpr int kSerial = 4500;
    constexpr qint64 kSilent = 27 * 3600; // past the 26 h a once-a-day schedule allows
    NotifyRoot r;
    const QString secret = WriteSecret(r.root.path(), "s3cr3t-for-the-hook");
    WebhookSink sink(secret, 1); // the first delivery refused: it must come again
    ASSERT_GT(sink.port(), 0);
    const QString url = QStringLiteral("http://127.0.0.1:%1/hook?token=abc").arg(sink.port());
    QString out, err;
    ASSERT_EQ(RunCli(r.root.path(),
                     {QStringLiteral("alarm"), QStringLiteral("set"), QStringLiteral("--webhook"), url,
                      QStringLiteral("--secret-file"), secret, QStringLiteral("--per-hour"), QStringLiteral("20"),
                      QStringLiteral("--disk-free-percent"), QStringLiteral("0")},
                     &out, &err),
              0)
        << err.toStdString();
    EXPECT_FALSE(out.contains(QStringLiteral("token=abc"))) << out.toStdString(); // the url's token stays hidden
    r.Open();
    AddTestMeter(*r.registry, kSerial, 2);
    r.registry->file().WriteString(MeterSection(1), reg::kSchedule, QStringLiteral("08:00|"));

    // A day of hourly records; the simulator's abnormal situations are rare, so seeds are
    // tried until the last day holds one.
    const QDateTime t0 = QDateTime::currentDateTime();
    int words[5] = {};
    for (int seed = 1; seed <= 30; ++seed) {
        SimProcess sim(SimArgs(kSerial, {QStringLiteral("--seed"), QString::number(seed)}));
        ASSERT_TRUE(sim.started());
        r.MapPort(2, sim.path());
        r.engine->ReadHourly(kSerial, t0.addSecs(-25 * 3600), t0, true);
        ASSERT_TRUE(r.RunToEmpty());
        std::fill(words, words + 5, 0);
        if (StoredNs(r.root.path(), kSerial, DayCountFromDateTime(t0) - 1, DayCountFromDateTime(t0), words))
            break;
    }
    ASSERT_TRUE(words[0] || words[1] || words[2] || words[3] || words[4]) << "no seed gave an abnormal situation";

    {
        AlarmService notify(r.root.path(), *r.registry, r.engine->health(), [](const QString &) {});
        notify.Start(0);
        ASSERT_NE(notify.webhook(), nullptr);
        notify.webhook()->SetRetryLimitsForTests(200, 1000);
        notify.Tick(t0);

        // Falls silent: a day and more later it does not answer.
        SimProcess deaf(SimArgs(kSerial, {QStringLiteral("--address"), QStringLiteral("9")}));
        ASSERT_TRUE(deaf.started());
        r.MapPort(2, deaf.path());
        r.clock.SetOffset(kSilent);
        r.engine->ReadCurrentValues(kSerial);
        ASSERT_TRUE(r.RunToEmpty());
        notify.Tick(t0.addSecs(kSilent));
        ASSERT_TRUE(sink.Collect([&](const QList<QJsonObject> &q) { return Accepted(q, kSerial).contains(QStringLiteral("overdue raised")); }));
        notify.Stop(5000);
    }

    // The active alarms as qst-cli lists them.
    ASSERT_EQ(RunCli(r.root.path(), {QStringLiteral("alarms"), QStringLiteral("--json")}, &out), 0);
    const QJsonArray active = QJsonDocument::fromJson(out.toUtf8()).array();
    bool listed = false;
    for (const QJsonValue &v : active) {
        const QJsonObject o = v.toObject();
        if (o.value(QStringLiteral("kind")).toString() == QStringLiteral("overdue")) {
            listed = o.value(QStringLiteral("serial")).toInt() == kSerial &&
                     o.value(QStringLiteral("text")).toString().contains(QStringLiteral("Не удалось"));
        }
        EXPECT_NE(o.value(QStringLiteral("kind")).toString(), QStringLiteral("fault")) << out.toStdString();
    }
    EXPECT_TRUE(listed) << out.toStdString();

    {
        // A restart: the alarm stands and is not raised again; the meter answers again.
        AlarmService notify(r.root.path(), *r.registry, r.engine->health(), [](const QString &) {});
        notify.Start(0);
        notify.webhook()->SetRetryLimitsForTests(200, 1000);
        notify.Tick(t0.addSecs(kSilent + 60));
        SimProcess sim(SimArgs(kSerial, {QStringLiteral("--clock-offset-s"), QString::number(kSilent)}));
        ASSERT_TRUE(sim.started());
        r.MapPort(2, sim.path());
        r.engine->ReadCurrentValues(kSerial);
        ASSERT_TRUE(r.RunToEmpty());
        notify.Tick(t0.addSecs(kSilent + 120));
        ASSERT_TRUE(sink.Collect([&](const QList<QJsonObject> &q) { return Accepted(q, kSerial).contains(QStringLiteral("overdue cleared")); }));
        notify.Stop(5000);
    }

    QStringList meter;
    for (const QString &e : Accepted(sink.requests(), kSerial)) {
        if (e.startsWith(QStringLiteral("overdue")) || e.startsWith(QStringLiteral("fault")))
            meter << e;
    }
    EXPECT_EQ(meter, (QStringList{QStringLiteral("fault raised"), QStringLiteral("overdue raised"),
                                  QStringLiteral("fault cleared"), QStringLiteral("overdue cleared")}));
    // The refused delivery came again, unchanged; every request is signed and well formed.
    ASSERT_GE(sink.requests().size(), 2);
    EXPECT_TRUE(sink.requests()[0].value(QStringLiteral("refused")).toBool());
    EXPECT_EQ(sink.requests()[1].value(QStringLiteral("body")), sink.requests()[0].value(QStringLiteral("body")));
    const QString expectedNs = NsPairText(quint16(words[0]), quint16(words[1]));
    for (const QJsonObject &req : sink.requests()) {
        EXPECT_TRUE(req.value(QStringLiteral("valid")).toBool()) << req.value(QStringLiteral("signature")).toString().toStdString();
        EXPECT_TRUE(req.value(QStringLiteral("contentType")).toString().startsWith(QStringLiteral("application/json")));
        EXPECT_EQ(req.value(QStringLiteral("path")).toString(), QStringLiteral("/hook?token=abc"));
        const QJsonObject b = Body(req);
        EXPECT_TRUE(QDateTime::fromString(b.value(QStringLiteral("time")).toString(), Qt::ISODate).isValid());
        if (b.value(QStringLiteral("kind")).toString() == QStringLiteral("fault")) {
            EXPECT_TRUE(b.value(QStringLiteral("text")).toString().contains(expectedNs))
                << b.value(QStringLiteral("text")).toString().toStdString();
        }
    }
    EXPECT_EQ(QFileInfo(WebhookSender::QueuePath(r.root.path())).size(), 0); // nothing left to send
}

// An https receiver with a certificate of the test's own authority: refused while only the
// system's authorities are trusted (the alarm waits in the queue), delivered once the
// authority is given to alarm set.
TEST(WebhookAgainstSim, HttpsReceiverIsTrustedOnlyThroughTheGivenAuthority)
{
    NotifyRoot r;
    QTemporaryDir tls;
    const TestCa ca(tls.path());
    ASSERT_TRUE(ca.ok()) << ca.error.toStdString();
    const QString secret = WriteSecret(r.root.path(), "hook-secret");
    WebhookSink sink(secret, 0, {QStringLiteral("--cert"), ca.certFile, QStringLiteral("--key"), ca.keyFile});
    ASSERT_GT(sink.port(), 0);
    const QString url = QStringLiteral("https://127.0.0.1:%1/hook").arg(sink.port());
    // Every disk has less than 100 % free: the data root's disk alarm is raised at once.
    const QStringList alarmSet{QStringLiteral("alarm"), QStringLiteral("set"), QStringLiteral("--webhook"), url,
                               QStringLiteral("--secret-file"), secret, QStringLiteral("--disk-free-percent"),
                               QStringLiteral("99")};
    QString err;
    ASSERT_EQ(RunCli(r.root.path(), alarmSet, nullptr, &err), 0) << err.toStdString();
    QStringList logged;
    std::mutex loggedMutex;
    auto log = [&](const QString &text) {
        std::lock_guard lock(loggedMutex);
        logged << text;
    };
    r.Open();
    {
        AlarmService notify(r.root.path(), *r.registry, r.engine->health(), log);
        notify.Start(0);
        notify.Tick(QDateTime::currentDateTime());
        QString error;
        EXPECT_FALSE(PostWebhook(url, "hook-secret", "{}", &error));
        EXPECT_TRUE(error.contains(QStringLiteral("certificate"), Qt::CaseInsensitive)) << error.toStdString();
        EXPECT_FALSE(sink.Collect([](const QList<QJsonObject> &q) { return !q.isEmpty(); }, 3000));
        notify.Stop(0);
    }
    EXPECT_GT(QFileInfo(WebhookSender::QueuePath(r.root.path())).size(), 0);

    r.engine.reset();
    r.registry.reset();
    ASSERT_EQ(RunCli(r.root.path(), alarmSet + QStringList{QStringLiteral("--ca-file"), ca.caFile}, nullptr, &err), 0)
        << err.toStdString();
    r.Open();
    AlarmService notify(r.root.path(), *r.registry, r.engine->health(), log);
    notify.Start(0);
    ASSERT_TRUE(sink.Collect([](const QList<QJsonObject> &q) { return !q.isEmpty(); }));
    notify.Stop(5000);
    const QJsonObject first = Body(sink.requests().first());
    EXPECT_EQ(first.value(QStringLiteral("kind")).toString(), QStringLiteral("disk"));
    EXPECT_EQ(first.value(QStringLiteral("state")).toString(), QStringLiteral("raised"));
    EXPECT_TRUE(sink.requests().first().value(QStringLiteral("valid")).toBool());
}
