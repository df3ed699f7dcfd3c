// The exchange engine and qst-cli against the simulator on a real pseudo-terminal, with
// the real clock and the real serial layer.
#include "SimHarness.h"

#include "../exchange/ExchangeFixture.h"

#include "common/TextFile.h"
#include "storage/ArchiveFiles.h"

#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

struct SimEngine
{
    TempDataRoot root;
    Registry registry{TreeIniPath(root.path())};
    RecordingLog log;
    ExchangeEngine engine{{root.path(), &registry, &log, nullptr, {}}};

    void MapPort(int port, const QString &device)
    {
        registry.file().WriteString(reg::kPorts, QString::number(port), device);
    }
    bool RunToEmpty(int ms = 120000)
    {
        engine.SuperviseTick();
        QElapsedTimer t;
        t.start();
        const bool emptied = SpinUntil(
            [&] {
                if (t.elapsed() > 1000) {
                    engine.SuperviseTick(); // as Timer3 would
                    t.restart();
                }
                return engine.queue().Size() == 0;
            },
            ms);
        engine.SuperviseTick();
        return emptied && engine.ThreadCount() == 0;
    }
    QStringList Lines(const QString &prefix) const
    {
        QStringList out;
        for (const QString &l : log.lines())
            if (l.startsWith(prefix))
                out.append(l);
        return out;
    }
};

QStringList SimArgs(int serial, QStringList more = {})
{
    return QStringList{QStringLiteral("--calc"), QStringLiteral("2"), QStringLiteral("--serial"), QString::number(serial),
                       QStringLiteral("--baud"), QStringLiteral("19200"), QStringLiteral("--latency-ms"),
                       QStringLiteral("0"), QStringLiteral("--journal-slots"), QStringLiteral("30")}
        + more;
}

// Away from an hour boundary, so "now" means the same hour for the test and the simulator.
void AvoidHourBoundary()
{
    const QTime t = QTime::currentTime();
    if (t.minute() == 59 && t.second() > 30)
        QThread::sleep(static_cast<unsigned long>(62 - t.second()));
}

} // namespace

TEST(ExchangeAgainstSim, HourlyPeriodJournalAndCurrentValues)
{
    SimProcess sim(SimArgs(4100));
    ASSERT_TRUE(sim.started());
    SimEngine f;
    f.MapPort(2, sim.path());
    AddTestMeter(f.registry, 4100, 2);
    AvoidHourBoundary();

    // "10:20 to 13:00" three hours back: positions H-3 and H-2, read as 3 and 2 records
    // before the newest (H-1), which are stamped H-4 and H-3.
    const QDateTime h(QDate::currentDate(), QTime(QTime::currentTime().hour(), 0));
    f.engine.ReadHourly(4100, h.addSecs(-4 * 3600 + 20 * 60), h.addSecs(-3600 * 2 + 1), false);
    f.engine.queue().EnqueueRequest(4100, kRequestJournal, 10, 0, false);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_EQ(f.Lines(QStringLiteral("2 Архивная часовая")),
              (QStringList{QStringLiteral("2 Архивная часовая запись с прибора  4100 со смещением 3 считана успешно."),
                           QStringLiteral("2 Архивная часовая запись с прибора  4100 со смещением 2 считана успешно.")}));
    QStringList hourly;
    for (const QDate m : {h.addSecs(-4 * 3600).date(), h.date()})
        for (const QString &l : LoadLines(DataFilePath(f.root.path(), DataKind::Hourly, 4100, m.year(), m.month())))
            if (!hourly.contains(l))
                hourly.append(l);
    ASSERT_EQ(hourly.size(), 2);
    EXPECT_EQ(DateTimeFromDayCount(LineTime(hourly[0])), h.addSecs(-4 * 3600));
    EXPECT_EQ(DateTimeFromDayCount(LineTime(hourly[1])), h.addSecs(-3 * 3600));
    EXPECT_TRUE(QFileInfo::exists(DataFilePath(f.root.path(), DataKind::CurrentValues, 4100)));

    const QString journal = DataFilePath(f.root.path(), DataKind::Journal, 4100);
    const qsizetype afterTen = LoadLines(journal).size();
    EXPECT_GE(afterTen, 8) << "ten entries read (blank pages are not stored)";
    EXPECT_EQ(f.Lines(QStringLiteral("2 Запись журнала")).size(), 10);

    // End 0 stops at the first stored entry; reread reads on.
    f.engine.queue().EnqueueRequest(4100, kRequestJournal, 0, 1, false);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_EQ(f.Lines(QStringLiteral("2 Запись журнала")).size(), 11);
    f.engine.queue().EnqueueRequest(4100, kRequestJournal, 0, 1, true);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_GT(LoadLines(journal).size(), afterTen);
    EXPECT_EQ(f.Lines(QStringLiteral("2 Не удалось")), QStringList());
}

TEST(ExchangeAgainstSim, WrongSerialIsDropped)
{
    SimProcess sim(SimArgs(4200, {QStringLiteral("--report-serial"), QStringLiteral("999")}));
    ASSERT_TRUE(sim.started());
    SimEngine f;
    f.MapPort(1, sim.path());
    AddTestMeter(f.registry, 4200, 1);
    f.engine.ReadCurrentValues(4200);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_TRUE(f.log.lines().contains(
        QStringLiteral("1 Серийный номер подключенного прибора (999 не соответствует требуемому (4200)")));
}

TEST(ExchangeAgainstSim, ModemSharedCallAndBusyNumber)
{
    SimProcess sim(SimArgs(4300, {QStringLiteral("--modem"), QStringLiteral("--busy"), QStringLiteral("8-333-444-55-66")}));
    ASSERT_TRUE(sim.started());
    SimEngine f;
    f.MapPort(1, sim.path());
    AddTestMeter(f.registry, 4300, 1, true, QStringLiteral("8 (111) 222-33-44"));
    AddTestMeter(f.registry, 4301, 1, true, QStringLiteral("8-333-444-55-66"));
    f.engine.ReadCurrentValues(4301);
    f.engine.ReadCurrentValues(4301);
    f.engine.ReadCurrentValues(4300);
    f.engine.ReadCurrentValues(4300);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_EQ(f.Lines(QStringLiteral("1 Текущие параметры прибора 4300 Считаны успешно.")).size(), 2);
    EXPECT_EQ(f.Lines(QStringLiteral("1 Набор номера")).size(), 2) << f.log.lines().join(u'\n').toStdString();
    EXPECT_EQ(f.Lines(QStringLiteral("1 Соединение не установлено. Ответ модема: ")).size(), 1)
        << "the busy number's requests are all dropped at once";
}

TEST(ExchangeAgainstSim, SimulatorKilledMidPollThenReplaced)
{
    TempDataRoot links;
    const QString device = links.file(QStringLiteral("meter-line"));
    SimEngine f;
    f.MapPort(1, device);
    AddTestMeter(f.registry, 4400, 1);
    {
        auto sim = std::make_unique<SimProcess>(SimArgs(4400));
        ASSERT_TRUE(sim->started());
        ASSERT_TRUE(QFile::link(sim->path(), device));
        f.engine.ReadHourly(4400, QDateTime::currentDateTime().addSecs(-6 * 3600), QDateTime::currentDateTime(), true);
        f.engine.SuperviseTick();
        ASSERT_TRUE(SpinUntil([&] { return !f.Lines(QStringLiteral("1 Архивная часовая")).isEmpty(); }, 60000));
        sim.reset(); // killed in the middle of the poll
        ASSERT_TRUE(SpinUntil([&] { return !f.Lines(QStringLiteral("1 Не удалось")).isEmpty(); }, 60000));
        f.engine.StopMeter(4400);
        f.engine.SuperviseTick(); // stops the thread; it ends after its current exchange
        EXPECT_EQ(f.engine.ThreadCount(), 0);
    }
    // No partial line: whatever was stored parses whole.
    const QDate today = QDate::currentDate();
    for (const QDate m : {today.addDays(-1), today}) {
        for (const QString &l : LoadLines(DataFilePath(f.root.path(), DataKind::Hourly, 4400, m.year(), m.month()))) {
            ArchiveRecord r;
            EXPECT_TRUE(TryParseArchiveLine(l, &r)) << l.toStdString();
            EXPECT_EQ(SplitFields(l).size(), kArchiveFieldsV2) << l.toStdString();
        }
    }

    SimProcess again(SimArgs(4400));
    ASSERT_TRUE(again.started());
    QFile::remove(device);
    ASSERT_TRUE(QFile::link(again.path(), device));
    f.engine.ReadCurrentValues(4400);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_FALSE(f.Lines(QStringLiteral("1 Текущие параметры прибора 4400 Считаны успешно.")).isEmpty());
}

TEST(QstCliPoll, LeavesTheFiles)
{
    SimProcess sim(SimArgs(4500));
    ASSERT_TRUE(sim.started());
    TempDataRoot root;
    auto cli = [&](const QStringList &args, QString *out = nullptr) {
        QProcess p;
        p.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), root.path()} + args);
        p.waitForFinished(180000);
        if (out)
            *out = QString::fromUtf8(p.readAllStandardOutput());
        return p.exitCode();
    };
    ASSERT_EQ(cli({QStringLiteral("meter"), QStringLiteral("add"), QStringLiteral("--name"), QStringLiteral("Школа"),
                   QStringLiteral("--serial"), QStringLiteral("4500"), QStringLiteral("--address"), QStringLiteral("1"),
                   QStringLiteral("--port"), QStringLiteral("5"), QStringLiteral("--devtype"), QStringLiteral("2")}),
              0);
    ASSERT_EQ(cli({QStringLiteral("port"), QStringLiteral("set"), QStringLiteral("5"), sim.path()}), 0);
    const QDate today = QDate::currentDate();
    QString out;
    const int code = cli({QStringLiteral("poll"), QStringLiteral("--serial"), QStringLiteral("4500"),
                          QStringLiteral("--current"), QStringLiteral("--daily"),
                          today.addDays(-4).toString(Qt::ISODate), today.toString(Qt::ISODate),
                          QStringLiteral("--journal"), QStringLiteral("3")},
                         &out);
    EXPECT_EQ(code, 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("[Порт: 5] [")));
    const QStringList daily = LoadLines(DataFilePath(root.path(), DataKind::Daily, 4500, today.addDays(-3).year()))
        + (today.addDays(-3).year() != today.year()
               ? LoadLines(DataFilePath(root.path(), DataKind::Daily, 4500, today.year()))
               : QStringList());
    // Positions from the day after the start to today, each read as that many records
    // before the newest (yesterday's): the records of the start day to yesterday.
    ASSERT_EQ(daily.size(), 4);
    EXPECT_EQ(DateFromDayCount(LineTime(daily.first())), today.addDays(-4));
    EXPECT_EQ(DateFromDayCount(LineTime(daily.last())), today.addDays(-1));
    for (const QString &l : daily)
        EXPECT_EQ(SplitFields(l).size(), kArchiveFieldsV2);
    EXPECT_TRUE(QFileInfo::exists(DataFilePath(root.path(), DataKind::CurrentValues, 4500)));
    EXPECT_FALSE(LoadLines(DataFilePath(root.path(), DataKind::Journal, 4500)).isEmpty());
    Registry registry(TreeIniPath(root.path()));
    EXPECT_EQ(registry.file().ReadDate(MeterSection(1), reg::kLastD, {}), today.addDays(-1));

    // A meter that is not registered: usage error, nothing written.
    EXPECT_EQ(cli({QStringLiteral("poll"), QStringLiteral("--serial"), QStringLiteral("9"), QStringLiteral("--current")}),
              2);
}

TEST(QstCliPoll, InterruptedPollShutsDownInOrder)
{
    SimProcess sim(SimArgs(4600));
    ASSERT_TRUE(sim.started());
    TempDataRoot root;
    auto run = [&](const QStringList &args) {
        QProcess p;
        p.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), root.path()} + args);
        p.waitForFinished(60000);
        return p.exitCode();
    };
    ASSERT_EQ(run({QStringLiteral("meter"), QStringLiteral("add"), QStringLiteral("--name"), QStringLiteral("x"),
                   QStringLiteral("--serial"), QStringLiteral("4600"), QStringLiteral("--address"), QStringLiteral("1"),
                   QStringLiteral("--port"), QStringLiteral("2")}),
              0);
    ASSERT_EQ(run({QStringLiteral("port"), QStringLiteral("set"), QStringLiteral("2"), sim.path()}), 0);

    QProcess poll;
    const QDateTime now = QDateTime::currentDateTime();
    poll.start(QStringLiteral(QST_CLI),
               {QStringLiteral("--data-dir"), root.path(), QStringLiteral("poll"), QStringLiteral("--serial"),
                QStringLiteral("4600"), QStringLiteral("--hourly"), now.addDays(-5).toString(Qt::ISODate),
                now.toString(Qt::ISODate)});
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (!out.contains("считана успешно") && t.elapsed() < 60000) {
        poll.waitForReadyRead(1000);
        out += poll.readAllStandardOutput();
    }
    ASSERT_TRUE(out.contains("считана успешно")) << out.toStdString();
    poll.terminate(); // SIGTERM while the thread is busy
    ASSERT_TRUE(poll.waitForFinished(30000)) << "no deadlock on the way out";
    out += poll.readAllStandardOutput();
    EXPECT_EQ(poll.exitCode(), 1);
    EXPECT_TRUE(out.trimmed().endsWith(QByteArrayLiteral("Порт закрыт"))) << out.right(300).toStdString();
}

TEST(QstCliRun, ScheduleWithMarksAheadAndAPortThatWillNotOpen)
{
    // Two meters share serial 7100 (allowed); their marks are a few hours ahead of the clock
    // (a calculator's clock running fast) and their port names no device. Every minute is
    // in the schedule, so the next minute boundary queues ten requests, inverted periods
    // and two journal requests of one serial among them; the service retries the port and
    // keeps running until it is told to stop.
    TempDataRoot root;
    const QDateTime now = QDateTime::currentDateTime();
    QString schedule;
    for (int m = 0; m < 24 * 60; ++m)
        schedule += QStringLiteral("%1:%2|").arg(m / 60, 2, 10, QChar(u'0')).arg(m % 60, 2, 10, QChar(u'0'));
    QString ini = QStringLiteral("[TREE]\r\nMaxCNum=2\r\n[G0]\r\nCList=1,2\r\n[PORTS]\r\n3=%1\r\n")
                      .arg(root.file(QStringLiteral("no-such-tty")));
    for (int n = 1; n <= 2; ++n) {
        // The second meter's marks are an hour behind the first's.
        const QDateTime ahead = now.addSecs((4 - n) * 3600);
        ini += QStringLiteral("[C%1]\r\nParent=0\r\nName=m%1\r\nSerial=7100\r\nAddress=1\r\nCom=3\r\nSchedule=%2\r\n"
                              "LastH=%3\r\nLastD=%4\r\nLastM=%4\r\nLastJ=%3\r\n")
                   .arg(n)
                   .arg(schedule, ahead.toString(QStringLiteral("dd.MM.yyyy H:mm:ss")),
                        ahead.date().toString(QStringLiteral("dd.MM.yyyy")));
    }
    WriteAll(TreeIniPath(root.path()), EncodeCp1251(ini));

    QProcess run;
    run.start(QStringLiteral(QST_CLI), {QStringLiteral("--data-dir"), root.path(), QStringLiteral("run")});
    ASSERT_TRUE(run.waitForStarted());
    QByteArray out;
    QElapsedTimer t;
    t.start();
    // The port is tried again every 5 s: three attempts show the service alive after the
    // schedule fired.
    while (out.count("Невозможно открыть порт") < 3 && run.state() == QProcess::Running && t.elapsed() < 100000) {
        run.waitForReadyRead(1000);
        out += run.readAllStandardOutput();
    }
    EXPECT_EQ(run.state(), QProcess::Running) << out.toStdString() << run.readAllStandardError().toStdString();
    EXPECT_GE(out.count("Невозможно открыть порт"), 3) << out.toStdString();
    run.terminate();
    ASSERT_TRUE(run.waitForFinished(30000));
    EXPECT_EQ(run.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(run.exitCode(), 0);
}
