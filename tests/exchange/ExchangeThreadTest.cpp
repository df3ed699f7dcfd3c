#include "support/ZoneScope.h"
#include "ExchangeFixture.h"

#include "common/TextFile.h"
#include "exchange/MeterHealth.h"
#include "link/ModbusRtu.h"
#include "storage/ArchiveFiles.h"
#include "storage/GapScan.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <ctime>
#include <functional>

using namespace qst;
using namespace qst::test;

void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

using qst::test::ZoneScope;

namespace {

QByteArray Frame(QByteArray body)
{
    const quint16 crc = Crc16(reinterpret_cast<const quint8 *>(body.constData()), static_cast<int>(body.size()));
    body.append(char(crc >> 8));
    body.append(char(crc & 0xFF));
    return body;
}

void PutU16(QByteArray &block, int reg, int value)
{
    block[2 * reg] = char((value >> 8) & 0xFF);
    block[2 * reg + 1] = char(value & 0xFF);
}

// A first-version calculator on the fake line, answering only its own address, with a
// Hayes modem in front when asked. Records are stamped back from `newest` one interval a
// slot; journal entries one minute apart back from the newest.
class FakeCalculator
{
public:
    int serial = 500;
    quint8 address = 1;
    int version = 1;
    QDateTime newestHour{QDate(2026, 12, 10), QTime(13, 0)};
    int journalEntries = 30;
    bool modem = false;
    QString busyNumber;
    bool failCurrent = false;
    bool failParams = false;  // the ring parameters never answer
    int futureSlot = -1;      // an hourly slot stamped 10.12.2220, as a damaged record
    std::function<bool(int kind, int slot)> dropRecord; // true: that record read gets no answer

    std::mutex mutex;
    QList<QByteArray> requests; // every write, in order

    void Attach(FakeSerialPort &port)
    {
        FakeSerialPort *p = &port;
        port.SetResponder([this, p](const QByteArray &request) { return Answer(*p, request); }, 20);
    }

    int Count(const QByteArray &prefix)
    {
        std::lock_guard lock(mutex);
        return static_cast<int>(std::count_if(requests.begin(), requests.end(),
                                              [&](const QByteArray &r) { return r.startsWith(prefix); }));
    }

private:
    bool m_connected = false;

    QByteArray Answer(FakeSerialPort &port, const QByteArray &request)
    {
        {
            std::lock_guard lock(mutex);
            requests.append(request);
        }
        if (modem) {
            if (request.startsWith("ATZ") || request.startsWith("ATH"))
                return "OK\r\n";
            if (request == "+++") {
                m_connected = false;
                return {};
            }
            if (request.startsWith("ATD")) {
                const bool busy = !busyNumber.isEmpty() && request.contains(busyNumber.toLatin1());
                port.Inject(busy ? "\r\nBUSY\r\n" : "\r\nCONNECT 9600\r\n", 3000);
                m_connected = !busy;
                return request;
            }
            if (!m_connected)
                return {};
        }
        if (request.size() < 4 || quint8(request[0]) != address || !CrcOk(reinterpret_cast<const quint8 *>(request.constData()), int(request.size())))
            return {};
        const quint8 function = quint8(request[1]);
        if (function == 0x11) {
            QByteArray body(11, 0);
            body[0] = char(address);
            body[1] = 0x11;
            body[2] = 8;
            body[9] = char(version);
            return Frame(body);
        }
        if (function == 3 || function == 4) {
            const int first = (quint8(request[2]) << 8) | quint8(request[3]);
            const int count = (quint8(request[4]) << 8) | quint8(request[5]);
            if (function == 4 && failCurrent && first == 0)
                return {};
            if (function == 4 && failParams && first == 6)
                return {};
            const QByteArray image = function == 3 ? Holding() : Input();
            QByteArray body;
            body.append(char(address));
            body.append(char(function));
            body.append(char(count * 2));
            body.append(image.mid(first * 2, count * 2));
            return Frame(body);
        }
        if (function == 0x41) {
            const int kind = quint8(request[2]);
            const int slot = quint8(request[4]) | (quint8(request[5]) << 8);
            if (dropRecord && dropRecord(kind, slot))
                return {};
            QByteArray body(7, 0);
            body[0] = char(address);
            body[1] = 0x41;
            body[6] = 1;
            body.append(kind == 3 ? JournalRecord(slot) : ArchiveRecord(kind, slot));
            return Frame(body);
        }
        return {};
    }

    QByteArray Holding()
    {
        QByteArray h(200, 0);
        const QDateTime now = newestHour.addSecs(5400);
        PutU16(h, 0, now.date().year() - 2000);
        PutU16(h, 1, now.date().month());
        PutU16(h, 2, now.date().day());
        PutU16(h, 3, now.time().hour());
        PutU16(h, 4, now.time().minute());
        PutU16(h, 8, serial);
        return h;
    }

    QByteArray Input()
    {
        QByteArray in(280, 0);
        // Rings: hourly 100 slots with 50 records, daily 40 with 20, monthly 13 with 12,
        // journal c = 200, b = 0, a = journalEntries.
        const int p[12] = {99, 0, 50, 39, 0, 20, 12, 0, 12, 200, 0, journalEntries};
        for (int i = 0; i < 12; ++i)
            PutU16(in, 6 + i, p[i]);
        return in;
    }

    // Slot 49 is the newest hourly record; older ones step back an interval a slot.
    QByteArray ArchiveRecord(int kind, int slot)
    {
        const int newestSlot = kind == 0 ? 49 : (kind == 1 ? 19 : 11);
        const int back = newestSlot - slot;
        QDateTime t;
        if (kind == 0 && slot == futureSlot)
            t = QDateTime(QDate(2220, 12, 10), QTime(5, 0));
        else if (kind == 0)
            t = newestHour.addSecs(-3600 * back);
        else if (kind == 1)
            t = QDateTime(newestHour.date().addDays(-1 - back), QTime(0, 0));
        else
            t = QDateTime(QDate(newestHour.date().year(), newestHour.date().month(), 1).addMonths(-1 - back), QTime(0, 0));
        QByteArray r(86, 0);
        r[0] = char(t.date().year() - 2000);
        r[1] = char(t.date().month());
        r[2] = char(t.date().day());
        r[3] = char(t.time().hour());
        const float q = 0.25f + slot;
        memcpy(r.data() + 4, &q, 4);
        return r;
    }

    // Slot s holds the entry of minute s after a fixed start; slots not written yet are
    // erased (0xFF), as the calculator marks them.
    QByteArray JournalRecord(int slot)
    {
        if (slot >= journalEntries)
            return QByteArray(16, char(0xFF));
        const QDateTime t = QDateTime(QDate(2026, 12, 1), QTime(0, 0)).addSecs(60 * slot);
        QByteArray r(16, 0);
        r[0] = char(t.date().year() - 2000);
        r[1] = char(t.date().month());
        r[2] = char(t.date().day());
        r[3] = char(t.time().hour());
        r[4] = char(t.time().minute());
        r[5] = char(t.time().second());
        r[6] = 1; // "Режим РАБОТА"
        return r;
    }
};

struct ThreadFixture
{
    TempDataRoot root;
    Registry registry{TreeIniPath(root.path())};
    RecordingLog log;
    VirtualClock clock{QDateTime(QDate(2026, 12, 10), QTime(14, 37))};
    FakeCalculator calculator;
    ExchangeEngine engine{{root.path(), &registry, &log, &clock, [this](int) {
                               auto port = std::make_unique<FakeSerialPort>(clock.link());
                               calculator.Attach(*port);
                               return port;
                           }}};

    // Supervises until the queue is empty and the port's thread has gone.
    bool RunToEmpty()
    {
        engine.SuperviseTick();
        const bool emptied = SpinUntil([&] { return engine.queue().Size() == 0; });
        engine.SuperviseTick();
        return emptied && engine.ThreadCount() == 0;
    }

    QStringList Lines(const QString &prefix)
    {
        QStringList out;
        for (const QString &l : log.lines())
            if (l.startsWith(prefix))
                out.append(l);
        return out;
    }
};

} // namespace

TEST(ExchangeThread, HourlyPeriodReadsEachPositionWithItsBackValue)
{
    ThreadFixture f;
    AddTestMeter(f.registry, 500, 3);
    f.engine.queue().EnqueueRequest(500, kRequestHourly, Day(2026, 12, 10, 13), Day(2026, 12, 10, 10, 20), false);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_EQ(f.Lines(QStringLiteral("3 Архивная часовая")),
              (QStringList{QStringLiteral("3 Архивная часовая запись с прибора  500 со смещением 3 считана успешно."),
                           QStringLiteral("3 Архивная часовая запись с прибора  500 со смещением 2 считана успешно.")}));
    // The stored lines carry the records' own times: 3 and 2 records before 13:00.
    const QStringList lines = LoadLines(DataFilePath(f.root.path(), DataKind::Hourly, 500, 2026, 12));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(DateTimeFromDayCount(LineTime(lines[0])), QDateTime(QDate(2026, 12, 10), QTime(10, 0)));
    EXPECT_EQ(DateTimeFromDayCount(LineTime(lines[1])), QDateTime(QDate(2026, 12, 10), QTime(11, 0)));
    EXPECT_EQ(f.registry.file().ReadString(QStringLiteral("C1"), reg::kLastH), QStringLiteral("10.12.2026 11:00:00"));
    EXPECT_TRUE(f.log.lines().contains(QStringLiteral("3 Проверка серийного номера выполнена.")));
}

TEST(ExchangeThread, SameDayDailyReadsNothingAndIsDone)
{
    ThreadFixture f;
    AddTestMeter(f.registry, 500, 3);
    f.engine.ReadDaily(500, QDate(2026, 12, 5), QDate(2026, 12, 5), false);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_EQ(f.calculator.Count(QByteArray("\x01\x41", 2)), 0);
    EXPECT_TRUE(f.log.lines().contains(QStringLiteral("3 Текущие параметры прибора 500 Считаны успешно.")));
    EXPECT_TRUE(QFileInfo::exists(DataFilePath(f.root.path(), DataKind::CurrentValues, 500)));
}

TEST(ExchangeThread, FailingCurrentValuesStayQueued)
{
    ThreadFixture f;
    f.calculator.failCurrent = true;
    AddTestMeter(f.registry, 500, 3);
    f.engine.ReadCurrentValues(500);
    f.engine.SuperviseTick();
    ASSERT_TRUE(SpinUntil([&] { return f.Lines(QStringLiteral("3 Не удалось считать текущие")).size() >= 3; }));
    EXPECT_EQ(f.engine.queue().Size(), 1);
    EXPECT_EQ(f.Lines(QStringLiteral("3 Не удалось считать текущие")).first(),
              QStringLiteral("3 Не удалось считать текущие параметры с прибора 500 Код ошибки: -1"));
    f.engine.StopMeter(500);
    f.engine.SuperviseTick();
    EXPECT_EQ(f.engine.ThreadCount(), 0);
}

TEST(ExchangeThread, JournalStopsAtAStoredEntryUnlessRereading)
{
    ThreadFixture f;
    AddTestMeter(f.registry, 500, 3);
    f.engine.queue().EnqueueRequest(500, kRequestJournal, 10, 0, false);
    ASSERT_TRUE(f.RunToEmpty());
    const QString journal = DataFilePath(f.root.path(), DataKind::Journal, 500);
    EXPECT_EQ(LoadLines(journal).size(), 10) << "end 10 reads ten";

    f.calculator.journalEntries = 35; // five new entries
    f.engine.queue().EnqueueRequest(500, kRequestJournal, 0, Day(2026, 12, 9), false);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_EQ(LoadLines(journal).size(), 15) << "end 0 stops at the first stored entry";
    EXPECT_EQ(f.Lines(QStringLiteral("3 Запись журнала")).size(), 10 + 6);

    f.engine.queue().EnqueueRequest(500, kRequestJournal, 0, Day(2026, 12, 9), true);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_EQ(LoadLines(journal).size(), 35) << "reread reads on to the end of the journal";
    EXPECT_TRUE(f.log.lines().contains(QStringLiteral("3 Достигнут конец журнала прибора  500")));
}

TEST(ExchangeThread, WrongSerialDropsTheRequest)
{
    ThreadFixture f;
    f.calculator.serial = 501;
    AddTestMeter(f.registry, 500, 3);
    f.engine.ReadCurrentValues(500);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_TRUE(f.log.lines().contains(
        QStringLiteral("3 Серийный номер подключенного прибора (501 не соответствует требуемому (500)")));
}

TEST(ExchangeThread, WithoutAMatchingSectionThePreviousAddressIsUsed)
{
    ThreadFixture f;
    f.calculator.address = 0; // the initial address
    const int meter = AddTestMeter(f.registry, 500, 3, false, {}, 7);
    f.engine.ReadCurrentValues(500);
    f.registry.file().EraseSection(MeterSection(meter));
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_TRUE(f.log.lines().contains(QStringLiteral("3 Текущие параметры прибора 500 Считаны успешно.")));
}

TEST(ExchangeThread, UnsupportedVersionIsDroppedNotRetried)
{
    ThreadFixture f;
    f.calculator.version = 7;
    AddTestMeter(f.registry, 500, 3);
    f.engine.ReadHourly(500, QDateTime(QDate(2026, 12, 10), QTime(9, 0)), QDateTime(QDate(2026, 12, 10), QTime(12, 0)),
                        false);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_EQ(f.Lines(QStringLiteral("3 Не удалось прочесть данные прибора 500: версия прибора 7")).size(), 2);
}

TEST(ExchangeThread, ModemConnectionsAreSharedAndHungUp)
{
    ThreadFixture f;
    f.calculator.modem = true;
    f.calculator.busyNumber = QStringLiteral("333");
    AddTestMeter(f.registry, 500, 3, true, QStringLiteral("8-111"));
    f.engine.ReadCurrentValues(500);
    f.engine.ReadCurrentValues(500);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_EQ(f.calculator.Count("ATD"), 1) << "two requests for one number share one call";
    EXPECT_EQ(f.Lines(QStringLiteral("3 Текущие параметры")).size(), 2);

    // Another number hangs up first.
    FakeCalculator &c = f.calculator;
    AddTestMeter(f.registry, 600, 3, true, QStringLiteral("8-222"));
    f.engine.ReadCurrentValues(500);
    f.engine.SuperviseTick();
    ASSERT_TRUE(SpinUntil([&] { return f.engine.queue().Size() == 0; }));
    c.serial = 600;
    f.engine.ReadCurrentValues(600);
    ASSERT_TRUE(SpinUntil([&] { return f.engine.queue().Size() == 0 && c.Count("ATD") == 3; }));
    {
        std::lock_guard lock(c.mutex);
        const qsizetype second = c.requests.lastIndexOf("ATD+7222\r\n");
        ASSERT_GT(second, 0);
        EXPECT_EQ(c.requests.mid(second - 3, 3), (QList<QByteArray>{"+++", "ATH0\r\n", "ATZ\r\n"}))
            << "hung up right before the new call";
    }
    // Idle: hung up once after 20 s without modem requests, not again. (The first hang-up
    // was the closing of the first thread, the second the change of number.)
    ASSERT_TRUE(SpinUntil([&] { return f.Lines(QStringLiteral("3 Связь с модемом прекращена")).size() >= 3; }));
    const int hangUps = c.Count("+++");
    QElapsedTimer settle;
    settle.start();
    SpinUntil([] { return false; }, 300);
    EXPECT_EQ(c.Count("+++"), hangUps) << f.log.lines().join(u'\n').toStdString();
    f.engine.SuperviseTick();

    // A busy number drops all its requests.
    AddTestMeter(f.registry, 700, 3, true, QStringLiteral("8-333"));
    f.engine.ReadCurrentValues(700);
    f.engine.ReadCurrentValues(700);
    f.engine.ReadCurrentValues(500);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_EQ(f.Lines(QStringLiteral("3 Соединение не установлено. Ответ модема: \r\nBUSY\r\n")).size(), 1);
    EXPECT_EQ(c.Count("ATD+7333"), 1);
}

namespace {

QString LastH(ThreadFixture &f)
{
    return f.registry.file().ReadString(QStringLiteral("C1"), reg::kLastH);
}

QStringList Backs(ThreadFixture &f)
{
    QStringList backs;
    for (const QString &l : f.Lines(QStringLiteral("3 Архивная часовая запись с прибора  500 со смещением ")))
        backs.append(l.section(QStringLiteral("со смещением "), 1).section(u' ', 0, 0));
    return backs;
}

} // namespace

TEST(ExchangeThread, HourlyPositionsStepInWholeWallClockHours)
{
    const struct {
        const char *name;
        const char *zone;
        QDateTime now, start, end;
        QStringList backs;
    } cases[] = {
        // 07:20-11:00 is 08:00, 09:00 and 10:00; a real-valued step of 1/24 also took 10:59:59.999.
        {"end on a whole hour", "Europe/Moscow", QDateTime(QDate(2026, 12, 10), QTime(14, 37)),
         QDateTime(QDate(2026, 12, 10), QTime(7, 20)), QDateTime(QDate(2026, 12, 10), QTime(11, 0)),
         {"6", "5", "4"}},
        // A wall-clock day has every hour, the one a clock change skips included.
        {"spring forward", "Europe/Berlin", QDateTime(QDate(2026, 3, 29), QTime(14, 37)),
         QDateTime(QDate(2026, 3, 29), QTime(1, 30)), QDateTime(QDate(2026, 3, 29), QTime(4, 0)), {"12", "11"}},
        {"fall back", "Europe/Berlin", QDateTime(QDate(2026, 10, 25), QTime(14, 37)),
         QDateTime(QDate(2026, 10, 25), QTime(2, 30)), QDateTime(QDate(2026, 10, 25), QTime(5, 0)), {"11", "10"}},
    };
    for (const auto &c : cases) {
        ZoneScope zone(c.zone);
        ThreadFixture f;
        f.clock.SetNow(c.now);
        f.calculator.newestHour = QDateTime(c.now.date(), QTime(13, 0));
        AddTestMeter(f.registry, 500, 3);
        f.engine.queue().EnqueueRequest(500, kRequestHourly, DayCountFromDateTime(c.end),
                                        DayCountFromDateTime(c.start), false);
        ASSERT_TRUE(f.RunToEmpty()) << c.name;
        EXPECT_EQ(Backs(f), c.backs) << c.name;
    }
}

TEST(ExchangeThread, PositionsTheRingNoLongerHoldsAreSkippedWithOneLine)
{
    // The ring keeps 50 hours, the newest 1 hour before the current one (14:00): back 50
    // and more are gone. From 2022 on the back count is past 32767.
    const struct {
        const char *name;
        QDate from;
        QString lost;
    } cases[] = {
        {"offline for nine days", QDate(2026, 12, 1), QStringLiteral("01.12.2026 1:00:00")},
        {"offline for years", QDate(2022, 5, 1), QStringLiteral("01.05.2022 1:00:00")},
    };
    for (const auto &c : cases) {
        ThreadFixture f;
        AddTestMeter(f.registry, 500, 3);
        f.engine.queue().EnqueueRequest(500, kRequestHourly, Day(2026, 12, 10, 14),
                                        DayCountFromParts(c.from, QTime(0, 0)), false);
        ASSERT_TRUE(f.RunToEmpty()) << c.name;
        EXPECT_EQ(f.Lines(QStringLiteral("3 Часовой архив")),
                  QStringList{QStringLiteral("3 Часовой архив прибора 500 не хранит записей с ") + c.lost
                              + QStringLiteral(" по 08.12.2026 12:00:00: они уже вытеснены новыми")})
            << c.name;
        EXPECT_EQ(Backs(f).size(), 49) << c.name;
        EXPECT_EQ(Backs(f).first(), QStringLiteral("49")) << c.name;
        EXPECT_EQ(LastH(f), QStringLiteral("10.12.2026 12:00:00")) << c.name;
        // No request for a slot outside the ring.
        std::lock_guard lock(f.calculator.mutex);
        for (const QByteArray &r : f.calculator.requests) {
            if (r.size() > 5 && quint8(r[1]) == 0x41) {
                EXPECT_LE(quint8(r[4]) | (quint8(r[5]) << 8), 99) << c.name;
            }
        }
    }
}

TEST(ExchangeThread, AMarkStaysBeforeARecordThatWasNotStored)
{
    ThreadFixture f;
    AddTestMeter(f.registry, 500, 3);
    // Positions 09:00..12:00 hold the records of 08:00..11:00; the 09:00 one fails to save.
    int saves = 0;
    SetSaveFaultForTests([&saves](const QString &path) {
        return path.endsWith(QStringLiteral("HA500/202612.dat")) && ++saves == 2;
    });
    f.engine.queue().EnqueueRequest(500, kRequestHourly, Day(2026, 12, 10, 13), Day(2026, 12, 10, 8, 20), false);
    const bool emptied = f.RunToEmpty();
    SetSaveFaultForTests({});
    ASSERT_TRUE(emptied);
    const QString file = DataFilePath(f.root.path(), DataKind::Hourly, 500, 2026, 12);
    EXPECT_EQ(LoadLines(file).size(), 3);
    EXPECT_EQ(f.Lines(QStringLiteral("3 Не удалось сохранить данные прибора 500")).size(), 1);
    EXPECT_EQ(LastH(f), QStringLiteral("10.12.2026 8:00:00")) << "later records do not carry the mark past the hole";

    // The next scheduled period starts at the mark and fills the hole. The idle thread moved
    // the virtual clock on by as many pauses as it looped; the calculator's ring did not.
    f.clock.SetNow(QDateTime(QDate(2026, 12, 10), QTime(14, 37)));
    const double mark = DayCountFromDateTime(f.registry.file().ReadDateTime(QStringLiteral("C1"), reg::kLastH, {}));
    f.engine.queue().EnqueueRequest(500, kRequestHourly, Day(2026, 12, 10, 13), mark, false);
    ASSERT_TRUE(f.RunToEmpty());
    const QStringList lines = LoadLines(file);
    ASSERT_EQ(lines.size(), 4) << lines.join(u'\n').toStdString();
    EXPECT_EQ(DateTimeFromDayCount(LineTime(lines[1])), QDateTime(QDate(2026, 12, 10), QTime(9, 0)));
    EXPECT_EQ(LastH(f), QStringLiteral("10.12.2026 11:00:00"));
}

TEST(ExchangeThread, ARecordDatedInTheFutureIsAnImpossibleDate)
{
    ThreadFixture f;
    f.calculator.futureSlot = 47; // back 2
    AddTestMeter(f.registry, 500, 3);
    f.engine.queue().EnqueueRequest(500, kRequestHourly, Day(2026, 12, 10, 13), Day(2026, 12, 10, 8, 20), false);
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_EQ(f.Lines(QStringLiteral("3 Не удалось прочесть архивную часовую")),
              QStringList{QStringLiteral(
                  "3 Не удалось прочесть архивную часовую запись с прибора  500 со смещением 2 код ошибки -4")});
    EXPECT_FALSE(QFileInfo::exists(DataFilePath(f.root.path(), DataKind::Hourly, 500, 2220, 12)));
    EXPECT_EQ(LoadLines(DataFilePath(f.root.path(), DataKind::Hourly, 500, 2026, 12)).size(), 3);
    EXPECT_EQ(LastH(f), QStringLiteral("10.12.2026 10:00:00"));
}

TEST(ExchangeThread, AJournalWhoseRingCannotBeReadGivesUp)
{
    ThreadFixture f;
    f.calculator.failParams = true;
    AddTestMeter(f.registry, 500, 3);
    f.engine.queue().EnqueueRequest(500, kRequestJournal, 0, Day(2026, 12, 9), false);
    f.engine.ReadCurrentValues(500);
    ASSERT_TRUE(f.RunToEmpty()) << "the journal request ends and the port's next request is served";
    EXPECT_EQ(f.Lines(QStringLiteral("3 Не удалось считать параметры архива")).size(), 5);
    EXPECT_EQ(f.Lines(QStringLiteral("3 Чтение журнала прибора 500 прервано после 5 неудачных попыток подряд.")).size(),
              1);
    EXPECT_EQ(f.Lines(QStringLiteral("3 Текущие параметры прибора 500 Считаны успешно.")).size(), 1);
}

TEST(ExchangeThread, AStoppedJournalRequestEndsAtOnce)
{
    ThreadFixture f;
    f.calculator.journalEntries = 190;
    AddTestMeter(f.registry, 500, 3);
    f.engine.queue().EnqueueRequest(500, kRequestJournal, 0, Day(2026, 12, 9), true);
    f.engine.SuperviseTick();
    ASSERT_TRUE(SpinUntil([&] { return f.Lines(QStringLiteral("3 Запись журнала")).size() >= 3; }));
    f.engine.StopMeter(500);
    ASSERT_TRUE(SpinUntil([&] { return f.Lines(QStringLiteral("3 Порт открыт")).size() == 1 && f.engine.queue().Size() == 0; }));
    f.engine.SuperviseTick();
    EXPECT_EQ(f.engine.ThreadCount(), 0);
    EXPECT_LT(f.Lines(QStringLiteral("3 Запись журнала")).size(), 10) << "the reading stopped with the request";
}

// Entries whose read failed are read by the next scheduled run, which walks on past the
// first stored entry as far as the failed run went; a position that never reads is given
// up after a few runs.
TEST(ExchangeThread, FailedJournalPositionsAreReadAgain)
{
    ThreadFixture f;
    AddTestMeter(f.registry, 500, 3);
    const QString journal = DataFilePath(f.root.path(), DataKind::Journal, 500);
    auto run = [&] {
        f.engine.queue().EnqueueRequest(500, kRequestJournal, 0, Day(2026, 12, 9), false);
        return f.RunToEmpty();
    };
    // Slot 28 is the second newest of 30 entries.
    f.calculator.dropRecord = [](int kind, int slot) { return kind == 3 && slot == 28; };
    ASSERT_TRUE(run());
    EXPECT_EQ(LoadLines(journal).size(), 29);
    EXPECT_GT(f.engine.health().Read(500).journalDepth, 0);

    f.calculator.dropRecord = {};
    f.calculator.journalEntries = 32; // two new entries push the failed one back
    ASSERT_TRUE(run());
    EXPECT_EQ(LoadLines(journal).size(), 32) << "the failed entry was read again";
    EXPECT_EQ(f.engine.health().Read(500).journalDepth, 0);

    const int reads = f.Lines(QStringLiteral("3 Запись журнала")).size();
    ASSERT_TRUE(run());
    EXPECT_EQ(f.Lines(QStringLiteral("3 Запись журнала")).size(), reads + 1) << "nothing pending: stops at once";

    // A position that never answers: read again by three runs, then left.
    f.calculator.dropRecord = [](int kind, int slot) { return kind == 3 && slot == 35; }; // among the new
    f.calculator.journalEntries = 40;
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(run());
    EXPECT_EQ(f.Lines(QStringLiteral("3 Записи журнала прибора 500, не прочитанные за 3 опросов")).size(), 1);
    EXPECT_EQ(f.engine.health().Read(500).journalDepth, 0);
    const int before = f.Lines(QStringLiteral("3 Запись журнала")).size();
    ASSERT_TRUE(run());
    EXPECT_EQ(f.Lines(QStringLiteral("3 Запись журнала")).size(), before + 1);
}

// Records that failed in a meter's very first poll are gaps: collection began before them.
TEST(ExchangeThread, RecordsFailedInTheFirstPollAreRefilled)
{
    ThreadFixture f;
    AddTestMeter(f.registry, 500, 3);
    // Slots 46 and 47 hold 10:00 and 11:00 (slot 49 is the newest, 13:00).
    f.calculator.dropRecord = [](int kind, int slot) { return kind == 0 && (slot == 46 || slot == 47); };
    ASSERT_TRUE(f.engine.ReadHourly(500, QDateTime(QDate(2026, 12, 10), QTime(10, 0)),
                                    QDateTime(QDate(2026, 12, 10), QTime(14, 37)), false).isEmpty());
    ASSERT_TRUE(f.RunToEmpty());
    const QString file = DataFilePath(f.root.path(), DataKind::Hourly, 500, 2026, 12);
    ASSERT_EQ(LoadLines(file).size(), 2);
    EXPECT_EQ(f.engine.health().Read(500).collectionStart[0], Day(2026, 12, 10, 10));

    const auto missing = [&] { return FindGaps(f.root.path(), 500, GapKind::Hourly, Day(2026, 12, 10, 10), Day(2026, 12, 10, 13)); };
    ASSERT_EQ(missing().size(), 1);
    EXPECT_EQ(missing()[0].count, 2);

    // The virtual clock runs on while the test waits; the fake calculator's newest record
    // does not, so the refill starts from the first poll's time again.
    f.clock.SetNow(QDateTime(QDate(2026, 12, 10), QTime(14, 37)));
    f.calculator.dropRecord = {};
    EXPECT_GE(f.engine.QueueGapRequests(500, 0, false), 1) << "10:00 and 11:00 are gaps";
    ASSERT_TRUE(f.RunToEmpty());
    EXPECT_TRUE(missing().isEmpty());

    // A later start never moves collection start forward; an earlier one moves it back.
    f.engine.ReadHourly(500, QDateTime(QDate(2026, 12, 10), QTime(12, 0)), QDateTime(QDate(2026, 12, 10), QTime(13, 0)),
                        false);
    EXPECT_EQ(f.engine.health().Read(500).collectionStart[0], Day(2026, 12, 10, 10));
    f.engine.ReadHourly(500, QDateTime(QDate(2026, 12, 10), QTime(8, 30)), QDateTime(QDate(2026, 12, 10), QTime(9, 0)),
                        false);
    EXPECT_EQ(f.engine.health().Read(500).collectionStart[0], Day(2026, 12, 10, 8));
    f.engine.StopMeter(500);
}
