// The exchange engine and qst-cli against the simulator, each test over a real
// pseudo-terminal and over a loopback TCP connection, with the real clock and links.
#include "SimHarness.h"

#include "../exchange/ExchangeFixture.h"

#include "common/TextFile.h"
#include "link/TcpLink.h"
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

enum class Link
{
    Pty,
    Tcp,
};

std::string LinkName(const ::testing::TestParamInfo<Link> &info)
{
    return info.param == Link::Pty ? "Pty" : "Tcp";
}

// The simulator's arguments for the test's link: a new pseudo-terminal, or a free loopback port.
QStringList On(Link link, QStringList args)
{
    if (link == Link::Tcp)
        args << QStringLiteral("--tcp-listen") << QStringLiteral("127.0.0.1:0");
    return args;
}

class ExchangeAgainstSim : public ::testing::TestWithParam<Link>
{
protected:
    QStringList Sim(int serial, QStringList more = {}) const { return On(GetParam(), SimArgs(serial, more)); }
};

class QstCliPoll : public ExchangeAgainstSim
{
};

// Away from an hour boundary, so "now" means the same hour for the test and the simulator.
void AvoidHourBoundary()
{
    const QTime t = QTime::currentTime();
    if (t.minute() == 59 && t.second() > 30)
        QThread::sleep(static_cast<unsigned long>(62 - t.second()));
}

} // namespace

TEST_P(ExchangeAgainstSim, HourlyPeriodJournalAndCurrentValues)
{
    SimProcess sim(Sim(4100));
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

TEST_P(ExchangeAgainstSim, WrongSerialIsDropped)
{
    SimProcess sim(Sim(4200, {QStringLiteral("--report-serial"), QStringLiteral("999")}));
    ASSERT_TRUE(sim.started());
    SimEngine f;
    f.MapPort(1, sim.path());
    AddTestMeter(f.registry, 4200, 1);
    f.engine.ReadCurrentValues(4200);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_TRUE(f.log.lines().contains(
        QStringLiteral("1 Серийный номер подключенного прибора (999 не соответствует требуемому (4200)")));
}

TEST_P(ExchangeAgainstSim, ModemSharedCallAndBusyNumber)
{
    SimProcess sim(Sim(4300, {QStringLiteral("--modem"), QStringLiteral("--busy"), QStringLiteral("8-333-444-55-66")}));
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

TEST_P(ExchangeAgainstSim, SimulatorKilledMidPollThenReplaced)
{
    // The port names a symbolic link to the pseudo-terminal, or the address the replacement takes over.
    TempDataRoot links;
    const QString device = links.file(QStringLiteral("meter-line"));
    QString address;
    SimEngine f;
    AddTestMeter(f.registry, 4400, 1);
    {
        auto sim = std::make_unique<SimProcess>(Sim(4400));
        ASSERT_TRUE(sim->started());
        if (GetParam() == Link::Pty) {
            ASSERT_TRUE(QFile::link(sim->path(), device));
            f.MapPort(1, device);
        } else {
            address = sim->path();
            f.MapPort(1, address);
        }
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

    const QStringList againArgs = GetParam() == Link::Pty
        ? Sim(4400)
        : SimArgs(4400) + QStringList{QStringLiteral("--tcp-listen"), address.mid(QStringLiteral("tcp://").size())};
    SimProcess again(againArgs);
    ASSERT_TRUE(again.started());
    if (GetParam() == Link::Pty) {
        QFile::remove(device);
        ASSERT_TRUE(QFile::link(again.path(), device));
    }
    f.engine.ReadCurrentValues(4400);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_FALSE(f.Lines(QStringLiteral("1 Текущие параметры прибора 4400 Считаны успешно.")).isEmpty());
}

TEST_P(QstCliPoll, LeavesTheFiles)
{
    SimProcess sim(Sim(4500));
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

TEST_P(QstCliPoll, InterruptedPollShutsDownInOrder)
{
    SimProcess sim(Sim(4600));
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

namespace {

// The hourly lines stored for a meter over the last day, in order, without duplicates.
QStringList HourlyLines(const QString &root, int serial)
{
    QStringList lines;
    const QDate today = QDate::currentDate();
    for (const QDate m : {today.addDays(-1), today})
        for (const QString &l : LoadLines(DataFilePath(root, DataKind::Hourly, serial, m.year(), m.month())))
            if (!lines.contains(l))
                lines.append(l);
    return lines;
}

void PollHours(SimEngine &f, int serial, int hours)
{
    const QDateTime h(QDate::currentDate(), QTime(QTime::currentTime().hour(), 0));
    // Whole-hour positions after the start and before the end: the records of the last `hours`
    // hours that have ended.
    f.engine.ReadHourly(serial, h.addSecs(-3600 * (hours + 1)), h, true);
}

struct FaultCase
{
    const char *name;
    QStringList args;
    bool allStored; // false: some answers are refused, the rest must still be right
};

} // namespace

// Length-aware framing against answers that do not fit it: each falls back to the silence,
// and every record stored is the one a fault-free poll with the silence framing stores.
class FastFramingAgainstSim : public ::testing::TestWithParam<std::tuple<Link, FaultCase>>
{
};

TEST_P(FastFramingAgainstSim, StoresTheRecordsOfASilenceFramedPoll)
{
    const auto &[link, fault] = GetParam();
    AvoidHourBoundary();
    constexpr int kHours = 4;
    SimProcess reference(On(link, SimArgs(4800)));
    SimProcess faulty(On(link, SimArgs(4800, fault.args)));
    ASSERT_TRUE(reference.started());
    ASSERT_TRUE(faulty.started());

    SimEngine plain;
    plain.MapPort(1, reference.path());
    AddTestMeter(plain.registry, 4800, 1);
    PollHours(plain, 4800, kHours);
    ASSERT_TRUE(plain.RunToEmpty());
    const QStringList expected = HourlyLines(plain.root.path(), 4800);
    ASSERT_EQ(expected.size(), kHours);

    SimEngine fast;
    fast.MapPort(1, faulty.path());
    fast.registry.file().WriteString(reg::kPorts, QStringLiteral("Fast1"), QStringLiteral("1"));
    AddTestMeter(fast.registry, 4800, 1);
    PollHours(fast, 4800, kHours);
    ASSERT_TRUE(fast.RunToEmpty());
    const QStringList stored = HourlyLines(fast.root.path(), 4800);
    for (const QString &l : stored)
        EXPECT_TRUE(expected.contains(l)) << fault.name << ": " << l.toStdString();
    if (fault.allStored)
        EXPECT_EQ(stored, expected) << fault.name << '\n' << fast.log.lines().join(u'\n').toStdString();
    else
        EXPECT_FALSE(fast.Lines(QStringLiteral("1 Не удалось")).isEmpty()) << fault.name;
}

INSTANTIATE_TEST_SUITE_P(Faults, FastFramingAgainstSim,
    ::testing::Combine(::testing::Values(Link::Pty, Link::Tcp),
        ::testing::Values(FaultCase{"none", {}, true},
            // 60 ms inside every answer: late bytes, still one answer under the silence rule.
            FaultCase{"gap", {QStringLiteral("--gap-ms"), QStringLiteral("60"), QStringLiteral("--gap-at"),
                                 QStringLiteral("20")}, true},
            FaultCase{"delay", {QStringLiteral("--delay-ms"), QStringLiteral("400")}, true},
            FaultCase{"bad CRC", {QStringLiteral("--bad-crc-every"), QStringLiteral("3")}, false})),
    [](const auto &info) {
        QString name = QString::fromUtf8(std::get<1>(info.param).name).remove(u' ');
        return (std::get<0>(info.param) == Link::Pty ? "Pty_" : "Tcp_") + name.toStdString();
    });

TEST(NetworkLink, TcpAndSerialMetersPolledAtOnce)
{
    AvoidHourBoundary();
    SimProcess serialSim(SimArgs(4901));
    SimProcess tcpSim(On(Link::Tcp, SimArgs(4902)));
    ASSERT_TRUE(serialSim.started());
    ASSERT_TRUE(tcpSim.started());
    SimEngine f;
    f.MapPort(1, serialSim.path());
    f.MapPort(2, tcpSim.path());
    AddTestMeter(f.registry, 4901, 1);
    AddTestMeter(f.registry, 4902, 2);
    PollHours(f, 4901, 6);
    PollHours(f, 4902, 6);
    f.engine.SuperviseTick();
    EXPECT_EQ(f.engine.ThreadCount(), 2);
    ASSERT_TRUE(f.RunToEmpty());
    // Both threads were reading at the same time: each port's reads begin before the other's end.
    const QStringList lines = f.log.lines();
    auto first = [&](const QString &prefix) {
        for (qsizetype i = 0; i < lines.size(); ++i)
            if (lines[i].startsWith(prefix))
                return i;
        return qsizetype(-1);
    };
    auto last = [&](const QString &prefix) {
        for (qsizetype i = lines.size() - 1; i >= 0; --i)
            if (lines[i].startsWith(prefix))
                return i;
        return qsizetype(-1);
    };
    const QString p1 = QStringLiteral("1 Архивная часовая");
    const QString p2 = QStringLiteral("2 Архивная часовая");
    EXPECT_LT(first(p1), last(p2));
    EXPECT_LT(first(p2), last(p1));
    EXPECT_EQ(f.Lines(p1).size(), 6);
    EXPECT_EQ(f.Lines(p2).size(), 6);
    EXPECT_EQ(HourlyLines(f.root.path(), 4901).size(), 6);
    EXPECT_EQ(HourlyLines(f.root.path(), 4902).size(), 6);
    EXPECT_EQ(f.Lines(QStringLiteral("1 Не удалось")) + f.Lines(QStringLiteral("2 Не удалось")), QStringList());
}

// A connection reset in the middle of every fifth answer: the read fails as a cut answer
// does, the next request connects again, and the poll goes on to its end.
TEST(NetworkLink, ConnectionResetMidAnswer)
{
    AvoidHourBoundary();
    SimProcess reference(On(Link::Tcp, SimArgs(4903)));
    SimProcess resetting(On(Link::Tcp, SimArgs(4903, {QStringLiteral("--tcp-reset-every"), QStringLiteral("5")})));
    ASSERT_TRUE(reference.started());
    ASSERT_TRUE(resetting.started());
    SimEngine plain;
    plain.MapPort(1, reference.path());
    AddTestMeter(plain.registry, 4903, 1);
    PollHours(plain, 4903, 6);
    ASSERT_TRUE(plain.RunToEmpty());
    const QStringList expected = HourlyLines(plain.root.path(), 4903);

    SimEngine f;
    f.MapPort(1, resetting.path());
    AddTestMeter(f.registry, 4903, 1);
    PollHours(f, 4903, 6);
    ASSERT_TRUE(f.RunToEmpty()) << f.log.lines().join(u'\n').toStdString();
    EXPECT_GE(f.Lines(QStringLiteral("1 Порт открыт")).size(), 3) << f.log.lines().join(u'\n').toStdString();
    EXPECT_FALSE(f.Lines(QStringLiteral("1 Не удалось")).isEmpty());
    const QStringList stored = HourlyLines(f.root.path(), 4903);
    EXPECT_FALSE(stored.isEmpty());
    for (const QString &l : stored)
        EXPECT_TRUE(expected.contains(l)) << l.toStdString();
}

// A host that refuses: logged as a port that cannot be opened, with the system's reason,
// retried, and the thread ends when stopped.
TEST(NetworkLink, RefusingHostIsLoggedAndTheThreadStops)
{
    for (const QString &host : {QStringLiteral("127.0.0.1"), QStringLiteral("[::1]")}) {
        // A port just given up by a listener that has gone.
        QString address;
        {
            SimProcess gone(SimArgs(4904) + QStringList{QStringLiteral("--tcp-listen"), host + QStringLiteral(":0")});
            ASSERT_TRUE(gone.started());
            address = gone.path();
        }
        SimEngine f;
        f.MapPort(3, address);
        AddTestMeter(f.registry, 4904, 3);
        f.engine.ReadCurrentValues(4904);
        f.engine.SuperviseTick();
        const QString line = QStringLiteral("3 Невозможно открыть порт. Ошибка %1 %2: ").arg(kPortOpenFailed).arg(address);
        ASSERT_TRUE(SpinUntil([&] { return !f.Lines(line).isEmpty(); }, 20000)) << f.log.lines().join(u'\n').toStdString();
        EXPECT_TRUE(f.Lines(line).first().contains(QStringLiteral("refused"), Qt::CaseInsensitive));
        EXPECT_EQ(f.engine.queue().Size(), 1) << "the request waits for the port, as for a serial port";
        f.engine.StopMeter(4904);
        f.engine.SuperviseTick();
        EXPECT_EQ(f.engine.ThreadCount(), 0);
    }
}

// qst-cli port set: network addresses, their validation, and the fast framing switch.
TEST(QstCliPortSet, NetworkAddressesAndFastFraming)
{
    TempDataRoot root;
    auto cli = [&](const QStringList &args, QString *err = nullptr) {
        QProcess p;
        p.start(QStringLiteral(QST_CLI), QStringList{QStringLiteral("--data-dir"), root.path()} + args);
        p.waitForFinished(60000);
        if (err)
            *err = QString::fromUtf8(p.readAllStandardError());
        return p.exitCode();
    };
    auto ports = [&](const QString &key) {
        return Registry(TreeIniPath(root.path())).file().ReadString(reg::kPorts, key, QStringLiteral("(none)"));
    };
    const QString set = QStringLiteral("port"), verb = QStringLiteral("set");
    EXPECT_EQ(cli({set, verb, QStringLiteral("5"), QStringLiteral("tcp://[::1]:5020"), QStringLiteral("--fast")}), 0);
    EXPECT_EQ(ports(QStringLiteral("5")), QStringLiteral("tcp://[::1]:5020"));
    EXPECT_EQ(ports(QStringLiteral("Fast5")), QStringLiteral("1"));
    EXPECT_EQ(cli({set, verb, QStringLiteral("6"), QStringLiteral("tcp://modem-6.local:4001")}), 0);
    EXPECT_EQ(ports(QStringLiteral("Fast6")), QStringLiteral("(none)"));
    EXPECT_EQ(cli({set, verb, QStringLiteral("5"), QStringLiteral("/dev/ttyUSB0")}), 0);
    EXPECT_EQ(ports(QStringLiteral("5")), QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(ports(QStringLiteral("Fast5")), QStringLiteral("0")) << "without --fast the port is back on the silence";

    for (const char *bad : {"tcp://127.0.0.1", "tcp://::1:502", "tcp://host:70000", "udp://127.0.0.1:502"}) {
        QString err;
        EXPECT_EQ(cli({set, verb, QStringLiteral("7"), QString::fromUtf8(bad)}, &err), 2) << bad;
        EXPECT_TRUE(err.contains(QString::fromUtf8(bad))) << bad << ": " << err.toStdString();
        EXPECT_EQ(ports(QStringLiteral("7")), QStringLiteral("(none)")) << bad;
    }
}

INSTANTIATE_TEST_SUITE_P(Links, ExchangeAgainstSim, ::testing::Values(Link::Pty, Link::Tcp), LinkName);
INSTANTIATE_TEST_SUITE_P(Links, QstCliPoll, ::testing::Values(Link::Pty, Link::Tcp), LinkName);
