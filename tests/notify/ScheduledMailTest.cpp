// Scheduled statements through a real SMTP server (aiosmtpd on loopback) and qst-cli run
// stopped and started around the due time; "now" comes from QST_NOTIFY_NOW.
#include "TestCa.h"

#include "reports/DocxReader.h"
#include "reports/OfficeConversion.h"
#include "support/TempDataRoot.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "storage/GapScan.h"
#include "storage/RecordWriters.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace qst;
using namespace qst::test;

namespace {

struct CliResult
{
    int exitCode = -1;
    QString out, err;
};

QProcessEnvironment EnvAt(const QString &now)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!now.isEmpty())
        env.insert(QStringLiteral("QST_NOTIFY_NOW"), now);
    env.insert(QStringLiteral("QST_NOTIFY_TICK_MS"), QStringLiteral("300"));
    return env;
}

class ScheduledMail : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const QString python = QFile::exists(QStringLiteral("/usr/bin/python3")) ? QStringLiteral("/usr/bin/python3")
                                                                                  : QStringLiteral("python3");
        m_sink.start(python, QStringList{QStringLiteral(QST_SMTP_SINK), Mailbox(), root.file(QStringLiteral("smtp.port"))}
                                 + SinkOptions());
        QElapsedTimer waited;
        waited.start();
        while (!QFile::exists(root.file(QStringLiteral("smtp.port"))) && waited.elapsed() < 15000)
            QThread::msleep(50);
        m_port = QString::fromLatin1(ReadAll(root.file(QStringLiteral("smtp.port")))).toInt();
        ASSERT_GT(m_port, 0) << "the SMTP sink did not start: " << m_sink.readAllStandardError().constData();

        const CliResult set = Cli(MailSet());
        ASSERT_EQ(set.exitCode, 0) << set.err.toStdString();
        const CliResult group = Cli({QStringLiteral("group"), QStringLiteral("add"), QStringLiteral("Котельные")});
        ASSERT_EQ(group.exitCode, 0) << group.err.toStdString();
        m_group = group.out.trimmed();
        for (const char *serial : {"100", "200"}) {
            const CliResult meter = Cli({QStringLiteral("meter"), QStringLiteral("add"), QStringLiteral("--name"),
                QStringLiteral("Котельная ") + QLatin1String(serial), QStringLiteral("--serial"),
                QLatin1String(serial), QStringLiteral("--address"), QStringLiteral("1"), QStringLiteral("--port"),
                QStringLiteral("1"), QStringLiteral("--group"), m_group});
            ASSERT_EQ(meter.exitCode, 0) << meter.err.toStdString();
        }
    }

    void TearDown() override
    {
        m_sink.kill();
        m_sink.waitForFinished(5000);
    }

    QString Mailbox() const { return root.file(QStringLiteral("mailbox")); }

    virtual QStringList SinkOptions() const { return {}; }
    virtual QStringList MailSet() const
    {
        return {QStringLiteral("mail"), QStringLiteral("set"), QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--security"), QStringLiteral("none"),
                QStringLiteral("--from"), QStringLiteral("archiver@example.org")};
    }

    CliResult Cli(const QStringList &args, const QString &now = {}, int timeoutMs = 60000)
    {
        QProcess p;
        p.setProcessEnvironment(EnvAt(now));
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), root.file(QStringLiteral("root"))}
                                             + args);
        p.waitForFinished(timeoutMs);
        return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
    }

    // Daily records of both meters for every day from `from` to `to`.
    void PutDays(const QDate &from, const QDate &to)
    {
        const StorageTarget target{root.file(QStringLiteral("root")), nullptr};
        for (quint16 serial : {quint16(100), quint16(200)}) {
            for (QDate d = from; d <= to; d = d.addDays(1)) {
                ArchiveValues a;
                a.time = DayCountFromDate(d);
                a.F[0] = 3.5f + d.day();
                a.F[2] = 48;
                a.F[3] = 36;
                a.F[6] = 24;
                a.F[7] = 24;
                a.F[11] = 70;
                a.F[12] = 45.5f;
                a.F[21] = 24 * 60;
                SaveArchiveLine(target, 1, serial, true, 0, kDailyArchive, a);
            }
        }
    }

    // The messages the sink accepted, oldest first: their summaries.
    QList<QJsonObject> Messages() const
    {
        QList<QJsonObject> out;
        QStringList names = QDir(Mailbox()).entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
        for (const QString &name : names) {
            const QString json = Mailbox() + u'/' + name.chopped(4) + QStringLiteral(".json");
            out << QJsonDocument::fromJson(ReadAll(json)).object();
        }
        return out;
    }

    bool WaitForMessages(int count, int timeoutMs = 60000) const
    {
        QElapsedTimer waited;
        waited.start();
        while (Messages().size() < count && waited.elapsed() < timeoutMs)
            QThread::msleep(100);
        return Messages().size() >= count;
    }

    // qst-cli run at `now` until `until` holds (or the time is up), then stopped by `signal`.
    QString Service(const QString &now, const std::function<bool()> &until, int timeoutMs, int signal = SIGTERM)
    {
        QProcess p;
        p.setProcessEnvironment(EnvAt(now));
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(QStringLiteral(QST_CLI),
            {QStringLiteral("--data-dir"), root.file(QStringLiteral("root")), QStringLiteral("run")});
        EXPECT_TRUE(p.waitForStarted(10000));
        QElapsedTimer waited;
        waited.start();
        while (!until() && waited.elapsed() < timeoutMs)
            p.waitForFinished(100);
        ::kill(static_cast<pid_t>(p.processId()), signal);
        p.waitForFinished(20000);
        return QString::fromUtf8(p.readAllStandardOutput()) + QString::fromUtf8(p.readAllStandardError());
    }

    TempDataRoot root;
    QProcess m_sink;
    int m_port = 0;
    QString m_group;
};

// A document part with what is new in every document blanked: the protection's random salt
// and the hash made with it.
QByteArray WithoutSalt(QByteArray part)
{
    static const QRegularExpression salted(QStringLiteral("w:(hashValue|saltValue)=\"[^\"]*\""));
    return QString::fromUtf8(part).replace(salted, QStringLiteral("w:\\1=\"\"")).toUtf8();
}

// Every part of two documents equal, but for the creation time in the core properties and
// the protection's salt.
void ExpectSameDocument(const QByteArray &a, const QByteArray &b, const QString &what)
{
    const DocxDocument da = ReadDocx(a);
    const DocxDocument db = ReadDocx(b);
    ASSERT_TRUE(da.valid) << what.toStdString() << ": " << da.error.toStdString();
    ASSERT_TRUE(db.valid) << what.toStdString();
    ASSERT_EQ(da.parts, db.parts) << what.toStdString();
    for (const QString &part : da.parts) {
        if (part == QStringLiteral("docProps/core.xml"))
            continue;
        const QByteArray pa = WithoutSalt(ReadZipPart(a, part));
        const QByteArray pb = WithoutSalt(ReadZipPart(b, part));
        EXPECT_FALSE(pa.isEmpty()) << what.toStdString() << " part " << part.toStdString();
        EXPECT_TRUE(pa == pb) << what.toStdString() << " part " << part.toStdString();
    }
}

QStringList Strings(const QJsonValue &v)
{
    QStringList out;
    for (const QJsonValue &x : v.toArray())
        out << x.toString();
    return out;
}

} // namespace

TEST_F(ScheduledMail, MonthlyStatementArrivesOnceAroundRestartsAndMissedMonthsAreMadeUp)
{
    PutDays(QDate(2026, 10, 25), QDate(2026, 11, 30));
    const QString out = root.file(QStringLiteral("out"));
    ASSERT_EQ(Cli({QStringLiteral("meter"), QStringLiteral("set"), QStringLiteral("200"), QStringLiteral("--mail"),
                      QStringLiteral("meter200@example.org")})
                  .exitCode,
        0);
    const CliResult add = Cli({QStringLiteral("schedule"), QStringLiteral("add"), QStringLiteral("Ведомости"),
                            QStringLiteral("--kind"), QStringLiteral("statement"), QStringLiteral("--system"),
                            QStringLiteral("1"), QStringLiteral("--group"), m_group, QStringLiteral("--period"),
                            QStringLiteral("previous-month"), QStringLiteral("--at"), QStringLiteral("1 06:00"),
                            QStringLiteral("--out-dir"), out, QStringLiteral("--mail"),
                            QStringLiteral("office@example.org")},
        QStringLiteral("2026-11-20T10:00:00"));
    ASSERT_EQ(add.exitCode, 0) << add.err.toStdString();
    EXPECT_TRUE(add.out.contains(QStringLiteral("ноябрь 2026"))) << add.out.toStdString();

    // Started before the due time and killed: nothing yet.
    Service(QStringLiteral("2026-12-01T05:59:50"), [] { return false; }, 3000, SIGKILL);
    EXPECT_EQ(Messages().size(), 0);

    // Killed again and again just after the due time, while the documents are made and the
    // mails queued and tried (the server answers 451, so no kill falls between its acceptance
    // and our record of it, which no SMTP client can close).
    WriteAll(Mailbox() + QStringLiteral("/refuse"), "1000");
    for (int ms : {200, 500, 900, 1500, 3000})
        Service(QStringLiteral("2026-12-01T06:00:05"), [] { return false; }, ms, SIGKILL);
    EXPECT_EQ(Messages().size(), 0);
    WriteAll(Mailbox() + QStringLiteral("/refuse"), "0");
    // Started after the back-off and stopped (SIGTERM lets a mail in flight finish), then
    // started again: the group's mail and meter 200's own, once.
    const QString log = Service(QStringLiteral("2026-12-01T07:00:00"), [this] { return Messages().size() >= 2; },
        60000);
    Service(QStringLiteral("2026-12-01T07:30:00"), [] { return false; }, 3000, SIGKILL);
    QList<QJsonObject> mails = Messages();
    ASSERT_EQ(mails.size(), 2) << log.toStdString();

    // The documents equal those of qst-cli report for the same options.
    const QString reference = root.file(QStringLiteral("reference"));
    const CliResult report = Cli({QStringLiteral("report"), QStringLiteral("--group"), m_group, QStringLiteral("--statement"),
        QStringLiteral("--kind"), QStringLiteral("daily"), QStringLiteral("--system"), QStringLiteral("1"),
        QStringLiteral("--from"), QStringLiteral("2026-11-01"), QStringLiteral("--to"), QStringLiteral("2026-11-30"),
        QStringLiteral("--out-dir"), reference});
    ASSERT_EQ(report.exitCode, 0) << report.out.toStdString() << report.err.toStdString();
    const QStringList expected = QDir(reference).entryList(QDir::Files, QDir::Name);
    ASSERT_EQ(expected.size(), 2);
    EXPECT_EQ(QDir(out).entryList(QDir::Files, QDir::Name), expected);

    QJsonObject office, meter;
    for (const QJsonObject &m : mails)
        (Strings(m.value(QStringLiteral("to"))).contains(QStringLiteral("office@example.org")) ? office : meter) = m;
    EXPECT_EQ(Strings(office.value(QStringLiteral("to"))), QStringList{QStringLiteral("office@example.org")});
    EXPECT_EQ(Strings(meter.value(QStringLiteral("to"))), QStringList{QStringLiteral("meter200@example.org")});
    EXPECT_EQ(office.value(QStringLiteral("from")).toString(), QStringLiteral("archiver@example.org"));
    EXPECT_EQ(office.value(QStringLiteral("subject")).toString(),
        QStringLiteral("Отчёт за ноябрь 2026: Котельные (№ 100, 200)"));
    EXPECT_EQ(meter.value(QStringLiteral("subject")).toString(),
        QStringLiteral("Отчёт за ноябрь 2026: Котельная 200 (№ 200)"));
    EXPECT_TRUE(office.value(QStringLiteral("body")).toString().contains(QStringLiteral("с 01.11.2026 по 30.11.2026")));
    EXPECT_FALSE(office.value(QStringLiteral("body")).toString().contains(QStringLiteral("не все записи")));
    EXPECT_EQ(Strings(office.value(QStringLiteral("attachments"))), expected);
    ASSERT_EQ(Strings(meter.value(QStringLiteral("attachments"))).size(), 1);
    EXPECT_TRUE(Strings(meter.value(QStringLiteral("attachments"))).first().startsWith(QStringLiteral("200 ")));
    for (const QJsonObject &m : {office, meter}) {
        const QString folder = Mailbox() + u'/'
            + QString::number(mails.indexOf(m) + 1).rightJustified(3, u'0');
        for (const QString &name : Strings(m.value(QStringLiteral("attachments")))) {
            ExpectSameDocument(ReadAll(folder + u'/' + name), ReadAll(reference + u'/' + name), name);
            // The attachment is the file the schedule wrote, byte for byte.
            EXPECT_TRUE(ReadAll(folder + u'/' + name) == ReadAll(out + u'/' + name)) << name.toStdString();
        }
    }

    // Down through December's and January's due times: both made up, oldest first, once.
    PutDays(QDate(2026, 12, 1), QDate(2027, 1, 31));
    Service(QStringLiteral("2027-02-03T09:00:00"), [this] { return Messages().size() >= 6; }, 60000);
    Service(QStringLiteral("2027-02-03T09:30:00"), [] { return false; }, 3000);
    mails = Messages();
    ASSERT_EQ(mails.size(), 6);
    EXPECT_TRUE(mails[2].value(QStringLiteral("subject")).toString().contains(QStringLiteral("декабрь 2026")));
    EXPECT_TRUE(mails[3].value(QStringLiteral("subject")).toString().contains(QStringLiteral("декабрь 2026")));
    EXPECT_TRUE(mails[4].value(QStringLiteral("subject")).toString().contains(QStringLiteral("январь 2027")));
    EXPECT_TRUE(mails[5].value(QStringLiteral("subject")).toString().contains(QStringLiteral("январь 2027")));
    const CliResult list = Cli({QStringLiteral("schedule"), QStringLiteral("list")});
    EXPECT_TRUE(list.out.contains(QStringLiteral("\t2027-01-01\t"))) << list.out.toStdString();
}

TEST_F(ScheduledMail, IncompleteMonthWaitsForTheGraceTimeThenSaysWhatIsMissing)
{
    PutDays(QDate(2026, 11, 1), QDate(2026, 11, 30));
    // Meter 100 lacks two days in the middle.
    QFile file(DataFilePath(root.file(QStringLiteral("root")), DataKind::Daily, 100, 2026));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    QByteArray kept;
    int dropped = 0;
    for (const QByteArray &line : lines) {
        double time = 0;
        if (ReadLineTimeBytes(line, &time)
            && (time == DayCountFromDate(QDate(2026, 11, 10)) || time == DayCountFromDate(QDate(2026, 11, 11)))) {
            ++dropped;
            continue;
        }
        if (!line.isEmpty())
            kept += line + '\n';
    }
    ASSERT_EQ(dropped, 2);
    WriteAll(file.fileName(), kept);
    ASSERT_EQ(Cli({QStringLiteral("schedule"), QStringLiteral("add"), QStringLiteral("m"), QStringLiteral("--kind"),
                      QStringLiteral("statement"), QStringLiteral("--system"), QStringLiteral("1"),
                      QStringLiteral("--group"), m_group, QStringLiteral("--period"), QStringLiteral("previous-month"),
                      QStringLiteral("--at"), QStringLiteral("1 06:00"), QStringLiteral("--out-dir"),
                      root.file(QStringLiteral("out")), QStringLiteral("--mail"), QStringLiteral("office@example.org"),
                      QStringLiteral("--grace"), QStringLiteral("12")},
                  QStringLiteral("2026-11-20T10:00:00"))
                  .exitCode,
        0);
    const QString waiting = Service(QStringLiteral("2026-12-01T17:00:00"), [] { return false; }, 3000);
    EXPECT_EQ(Messages().size(), 0);
    EXPECT_TRUE(waiting.contains(QStringLiteral("ждёт записей до 01.12.2026 18:00"))) << waiting.toStdString();
    Service(QStringLiteral("2026-12-01T18:00:01"), [this] { return !Messages().isEmpty(); }, 60000);
    ASSERT_EQ(Messages().size(), 1);
    const QString body = Messages().first().value(QStringLiteral("body")).toString();
    EXPECT_TRUE(body.contains(QStringLiteral("За период сохранены не все записи"))) << body.toStdString();
    EXPECT_TRUE(body.contains(QStringLiteral("100 Котельная 100: нет записей: 2 (10.11.2026 – 11.11.2026)")))
        << body.toStdString();
}

TEST_F(ScheduledMail, RefusedMailIsRetriedAndSentOnce)
{
    PutDays(QDate(2026, 11, 1), QDate(2026, 11, 30));
    ASSERT_EQ(Cli({QStringLiteral("schedule"), QStringLiteral("add"), QStringLiteral("m"), QStringLiteral("--kind"),
                      QStringLiteral("daily"), QStringLiteral("--system"), QStringLiteral("1"),
                      QStringLiteral("--group"), m_group, QStringLiteral("--period"), QStringLiteral("previous-month"),
                      QStringLiteral("--at"), QStringLiteral("1 06:00"), QStringLiteral("--out-dir"),
                      root.file(QStringLiteral("out")), QStringLiteral("--mail"), QStringLiteral("office@example.org")},
                  QStringLiteral("2026-12-02T09:00:00"))
                  .exitCode,
        0);
    WriteAll(Mailbox() + QStringLiteral("/refuse"), "2");
    const CliResult run = Cli({QStringLiteral("schedule"), QStringLiteral("run"), QStringLiteral("m")},
        QStringLiteral("2026-12-02T10:00:00"));
    EXPECT_EQ(run.exitCode, 1) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(QStringLiteral("451"))) << run.out.toStdString();
    EXPECT_EQ(Messages().size(), 0);
    const CliResult status = Cli({QStringLiteral("status")});
    EXPECT_TRUE(status.out.contains(QStringLiteral("Почта: 1 писем не отправлено, последняя ошибка: "))
        && status.out.contains(QStringLiteral("451")))
        << status.out.toStdString();

    // The service retries after the back-off: refused once more, then accepted after a restart.
    // Waits for the outbox to record the second attempt, not for the server's count: the
    // service is stopped only once the failure is kept.
    const QString index = root.file(QStringLiteral("root/MailOutbox/Outbox.ini"));
    const QString first = Service(QStringLiteral("2026-12-02T11:00:00"),
        [&] { return ReadAll(index).contains("Attempts=2"); }, 30000);
    EXPECT_TRUE(ReadAll(index).contains("Attempts=2")) << first.toStdString();
    EXPECT_EQ(ReadAll(Mailbox() + QStringLiteral("/refuse")).trimmed(), "0");
    EXPECT_EQ(Messages().size(), 0);
    Service(QStringLiteral("2026-12-02T12:00:00"), [this] { return !Messages().isEmpty(); }, 30000);
    Service(QStringLiteral("2026-12-02T13:00:00"), [] { return false; }, 2000);
    ASSERT_EQ(Messages().size(), 1);
    EXPECT_EQ(Strings(Messages().first().value(QStringLiteral("attachments"))).size(), 2);
    EXPECT_FALSE(Cli({QStringLiteral("status")}).out.contains(QStringLiteral("Почта:")));
    // The schedule run marked November done: the service made no second statement of it.
    EXPECT_TRUE(Cli({QStringLiteral("schedule"), QStringLiteral("list")}).out.contains(QStringLiteral("\t2026-11-01\t")));
}

TEST_F(ScheduledMail, HeaderInjectionAndBadAddressesAreRefused)
{
    const QString inject = QStringLiteral("op@example.org\r\nBcc: spy@example.org");
    const QList<QStringList> commands = {
        {QStringLiteral("mail"), QStringLiteral("test"), inject},
        {QStringLiteral("meter"), QStringLiteral("set"), QStringLiteral("100"), QStringLiteral("--mail"), inject},
        {QStringLiteral("mail"), QStringLiteral("set"), QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
            QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--security"), QStringLiteral("none"),
            QStringLiteral("--from"), inject},
        {QStringLiteral("mail"), QStringLiteral("set"), QStringLiteral("--host"), QStringLiteral("a\r\nb"),
            QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--from"),
            QStringLiteral("archiver@example.org")},
        {QStringLiteral("schedule"), QStringLiteral("add"), QStringLiteral("x"), QStringLiteral("--kind"),
            QStringLiteral("daily"), QStringLiteral("--group"), m_group, QStringLiteral("--period"),
            QStringLiteral("previous-day"), QStringLiteral("--at"), QStringLiteral("1 06:00"), QStringLiteral("--out-dir"),
            root.file(QStringLiteral("out")), QStringLiteral("--subject"), QStringLiteral("Отчёт\r\nBcc: spy@example.org")},
        {QStringLiteral("schedule"), QStringLiteral("add"), QStringLiteral("y"), QStringLiteral("--kind"),
            QStringLiteral("daily"), QStringLiteral("--group"), m_group, QStringLiteral("--period"),
            QStringLiteral("previous-day"), QStringLiteral("--at"), QStringLiteral("1 06:00"), QStringLiteral("--out-dir"),
            root.file(QStringLiteral("out")), QStringLiteral("--mail"), inject},
    };
    for (const QStringList &args : commands) {
        const CliResult r = Cli(args);
        EXPECT_EQ(r.exitCode, 2) << args.join(u' ').toStdString() << ": " << r.err.toStdString();
    }
    EXPECT_TRUE(Cli({QStringLiteral("schedule"), QStringLiteral("list")}).out.count(u'\n') == 1);
    EXPECT_FALSE(ReadAll(TreeIniPath(root.file(QStringLiteral("root")))).contains("spy@"));
    EXPECT_FALSE(ReadAll(root.file(QStringLiteral("root/Mail.ini"))).contains("spy@"));
    EXPECT_EQ(Cli({QStringLiteral("mail"), QStringLiteral("test"), QStringLiteral("op@example.org")}).exitCode, 0);
    ASSERT_EQ(Messages().size(), 1);
    EXPECT_EQ(Strings(Messages().first().value(QStringLiteral("to"))), QStringList{QStringLiteral("op@example.org")});
}

TEST_F(ScheduledMail, PasswordStaysInItsFileAndIsNeverShown)
{
    const QString secret = root.file(QStringLiteral("smtp-password"));
    WriteAll(secret, "Pa55-w0rd-XYZ\n");
    QFile::setPermissions(secret, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    const CliResult set = Cli({QStringLiteral("mail"), QStringLiteral("set"), QStringLiteral("--host"),
        QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--security"),
        QStringLiteral("none"), QStringLiteral("--from"), QStringLiteral("archiver@example.org"), QStringLiteral("--user"),
        QStringLiteral("archiver"), QStringLiteral("--password-file"), secret});
    ASSERT_EQ(set.exitCode, 0) << set.err.toStdString();
    EXPECT_TRUE(set.err.contains(QStringLiteral("0600"))) << "a password file others can read is warned about";
    const QByteArray settings = ReadAll(root.file(QStringLiteral("root/Mail.ini")));
    EXPECT_FALSE(settings.contains("Pa55-w0rd-XYZ"));
    EXPECT_TRUE(settings.contains(secret.toUtf8()));
    // The password is read from its file when mail goes; it shows in no output.
    const CliResult test = Cli({QStringLiteral("mail"), QStringLiteral("test"), QStringLiteral("op@example.org")});
    EXPECT_FALSE((test.out + test.err).contains(QStringLiteral("Pa55-w0rd-XYZ"))) << test.err.toStdString();
}

namespace {

const QByteArray kRightPassword = "Tls-Pa55-right-71";
const QByteArray kWrongPassword = "Tls-Pa55-wrong-93";

// The same server behind STARTTLS or TLS from the first byte, with a certificate of the
// test's own authority and a login required before any mail.
class MailOverTls : public ScheduledMail, public ::testing::WithParamInterface<const char *>
{
protected:
    void SetUp() override
    {
        QDir().mkpath(root.file(QStringLiteral("tls")));
        m_ca = std::make_unique<TestCa>(root.file(QStringLiteral("tls")));
        ASSERT_TRUE(m_ca->ok()) << m_ca->error.toStdString();
        WriteAll(root.file(QStringLiteral("tls/server-password")), kRightPassword + '\n');
        WriteAll(PasswordFile(), kRightPassword + '\n');
        QFile::setPermissions(PasswordFile(), QFile::ReadOwner | QFile::WriteOwner);
        ScheduledMail::SetUp();
    }
    QStringList SinkOptions() const override
    {
        return {QStringLiteral("--tls"), Security() == QStringLiteral("tls") ? QStringLiteral("smtps") : Security(),
                QStringLiteral("--cert"), m_ca->certFile, QStringLiteral("--key"), m_ca->keyFile,
                QStringLiteral("--user"), QStringLiteral("archiver"), QStringLiteral("--password-file"),
                root.file(QStringLiteral("tls/server-password"))};
    }
    QStringList MailSet() const override { return MailSetWith({QStringLiteral("--ca-file"), m_ca->caFile}); }
    QStringList MailSetWith(const QStringList &more) const
    {
        return QStringList{QStringLiteral("mail"), QStringLiteral("set"), QStringLiteral("--host"),
                           QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QString::number(m_port),
                           QStringLiteral("--security"), Security(), QStringLiteral("--from"),
                           QStringLiteral("archiver@example.org"), QStringLiteral("--user"), QStringLiteral("archiver"),
                           QStringLiteral("--password-file"), PasswordFile()}
            + more;
    }
    QString Security() const { return QLatin1String(GetParam()); }
    QString PasswordFile() const { return root.file(QStringLiteral("mail-password")); }

    // Every file of the data root that holds `text`.
    QStringList FilesHolding(const QByteArray &text) const
    {
        QStringList found;
        QDirIterator it(root.file(QStringLiteral("root")), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (ReadAll(path).contains(text))
                found << path;
        }
        return found;
    }

    std::unique_ptr<TestCa> m_ca;
};

} // namespace

TEST_P(MailOverTls, AcceptedWithTheTrustedAuthorityRefusedWithoutItOrWithAWrongPassword)
{
    // Trusted through --ca-file, logged in: accepted, and the server saw TLS and the login.
    const CliResult good = Cli({QStringLiteral("mail"), QStringLiteral("test"), QStringLiteral("op@example.org")});
    ASSERT_EQ(good.exitCode, 0) << good.out.toStdString() << good.err.toStdString();
    ASSERT_EQ(Messages().size(), 1);
    EXPECT_TRUE(Messages().first().value(QStringLiteral("tls")).toBool());
    EXPECT_EQ(Messages().first().value(QStringLiteral("login")).toString(), QStringLiteral("archiver"));

    // The system's authorities only: the certificate cannot be verified, nothing is sent.
    ASSERT_EQ(Cli(MailSetWith({})).exitCode, 0);
    const CliResult untrusted = Cli({QStringLiteral("mail"), QStringLiteral("test"), QStringLiteral("op@example.org")});
    EXPECT_NE(untrusted.exitCode, 0);
    EXPECT_TRUE(untrusted.err.contains(QStringLiteral("certificate"), Qt::CaseInsensitive)) << untrusted.err.toStdString();
    EXPECT_EQ(Messages().size(), 1);
    EXPECT_FALSE(QFile::exists(Mailbox() + QStringLiteral("/auth-failures"))) << "no login before the certificate";

    // A wrong password: refused by the server, through mail test and through a schedule's
    // mail left in the outbox; the password is in no output, status or file of the data root.
    ASSERT_EQ(Cli(MailSet()).exitCode, 0);
    WriteAll(PasswordFile(), kWrongPassword + '\n');
    const CliResult wrong = Cli({QStringLiteral("mail"), QStringLiteral("test"), QStringLiteral("op@example.org")});
    EXPECT_NE(wrong.exitCode, 0);
    EXPECT_TRUE(QFile::exists(Mailbox() + QStringLiteral("/auth-failures")));
    PutDays(QDate(2026, 11, 1), QDate(2026, 11, 30));
    ASSERT_EQ(Cli({QStringLiteral("schedule"), QStringLiteral("add"), QStringLiteral("m"), QStringLiteral("--kind"),
                      QStringLiteral("daily"), QStringLiteral("--system"), QStringLiteral("1"),
                      QStringLiteral("--group"), m_group, QStringLiteral("--period"), QStringLiteral("previous-month"),
                      QStringLiteral("--at"), QStringLiteral("1 06:00"), QStringLiteral("--out-dir"),
                      root.file(QStringLiteral("out")), QStringLiteral("--mail"), QStringLiteral("office@example.org")},
                  QStringLiteral("2026-12-02T09:00:00"))
                  .exitCode,
        0);
    const CliResult run = Cli({QStringLiteral("schedule"), QStringLiteral("run"), QStringLiteral("m")},
        QStringLiteral("2026-12-02T10:00:00"));
    EXPECT_NE(run.exitCode, 0);
    const CliResult status = Cli({QStringLiteral("status")});
    EXPECT_TRUE(status.out.contains(QStringLiteral("Почта: 1 писем не отправлено"))) << status.out.toStdString();
    const QString shown = good.out + good.err + untrusted.out + untrusted.err + wrong.out + wrong.err + run.out
        + run.err + status.out + status.err;
    for (const QByteArray &password : {kRightPassword, kWrongPassword}) {
        EXPECT_FALSE(shown.contains(QString::fromLatin1(password))) << shown.toStdString();
        EXPECT_EQ(FilesHolding(password), QStringList{}) << password.constData();
    }
    EXPECT_TRUE(ReadAll(root.file(QStringLiteral("root/Mail.ini"))).contains(PasswordFile().toUtf8()));

    // The right password back in its file: the service sends what waited, over TLS, once.
    WriteAll(PasswordFile(), kRightPassword + '\n');
    const QString log = Service(QStringLiteral("2026-12-02T12:00:00"), [this] { return Messages().size() >= 2; },
        60000);
    ASSERT_EQ(Messages().size(), 2) << log.toStdString();
    EXPECT_TRUE(Messages().last().value(QStringLiteral("tls")).toBool());
    EXPECT_EQ(Strings(Messages().last().value(QStringLiteral("attachments"))).size(), 2);
    EXPECT_FALSE(log.contains(QString::fromLatin1(kRightPassword)));
}

INSTANTIATE_TEST_SUITE_P(Security, MailOverTls, ::testing::Values("starttls", "tls"));

TEST_F(ScheduledMail, PdfOfAStatementIsWrittenBesideTheDocxAndAttached)
{
    if (OfficeProgram().isEmpty())
        GTEST_SKIP() << "LibreOffice (soffice) is not installed";
    PutDays(QDate(2026, 11, 1), QDate(2026, 11, 30));
    const QString out = root.file(QStringLiteral("out"));
    ASSERT_EQ(Cli({QStringLiteral("schedule"), QStringLiteral("add"), QStringLiteral("pdf"), QStringLiteral("--kind"),
                      QStringLiteral("statement"), QStringLiteral("--system"), QStringLiteral("1"),
                      QStringLiteral("--group"), m_group, QStringLiteral("--period"), QStringLiteral("previous-month"),
                      QStringLiteral("--at"), QStringLiteral("1 06:00"), QStringLiteral("--out-dir"), out,
                      QStringLiteral("--mail"), QStringLiteral("office@example.org"), QStringLiteral("--pdf")},
                  QStringLiteral("2026-12-02T09:00:00"))
                  .exitCode,
        0);
    const CliResult run = Cli({QStringLiteral("schedule"), QStringLiteral("run"), QStringLiteral("pdf")},
        QStringLiteral("2026-12-02T10:00:00"), 300000);
    ASSERT_EQ(run.exitCode, 0) << run.out.toStdString() << run.err.toStdString();
    const QStringList docx = QDir(out).entryList({QStringLiteral("*.docx")}, QDir::Files, QDir::Name);
    const QStringList pdf = QDir(out).entryList({QStringLiteral("*.pdf")}, QDir::Files, QDir::Name);
    ASSERT_EQ(docx.size(), 2);
    ASSERT_EQ(pdf.size(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(QFileInfo(pdf[i]).completeBaseName(), QFileInfo(docx[i]).completeBaseName());
        EXPECT_TRUE(ReadAll(out + u'/' + pdf[i]).startsWith("%PDF-")) << pdf[i].toStdString();
    }
    ASSERT_TRUE(WaitForMessages(1));
    const QJsonObject mail = Messages().first();
    QStringList attached = Strings(mail.value(QStringLiteral("attachments")));
    attached.sort();
    QStringList written = docx + pdf;
    written.sort();
    EXPECT_EQ(attached, written);
    for (const QString &name : pdf)
        EXPECT_TRUE(ReadAll(Mailbox() + QStringLiteral("/001/") + name) == ReadAll(out + u'/' + name)) << name.toStdString();
}
