// Function 0x41 and the ring parameters through raw frames written to the pty.
#include "SimHarness.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <functional>
#include <set>

using namespace qst::test;

namespace {

constexpr int kAddress = 1;

struct Rings
{
    int c[4] = {};
    int b[4] = {};
    int a[4] = {};
};

Rings ReadRings(RawPort &port)
{
    Rings r;
    const QByteArray answer = port.Transact(ReadRequest(kAddress, 4, 6, 12), 29);
    EXPECT_EQ(answer.size(), 29);
    EXPECT_TRUE(CrcOk(answer));
    if (answer.size() != 29)
        return r;
    for (int kind = 0; kind < 4; ++kind) {
        r.c[kind] = BE16(answer, 3 + 6 * kind);
        r.b[kind] = BE16(answer, 5 + 6 * kind);
        r.a[kind] = BE16(answer, 7 + 6 * kind);
    }
    return r;
}

int RecordLength(int version, int kind)
{
    if (kind == 3)
        return 25;
    if (version == 1)
        return 95;
    return kind == 0 ? 7 + 108 + 2 : 219;
}

QByteArray ReadRecord(RawPort &port, int version, int kind, int slot)
{
    const QByteArray answer = port.Transact(RecordRequest(kAddress, kind, slot), RecordLength(version, kind));
    EXPECT_EQ(answer.size(), RecordLength(version, kind)) << "kind " << kind << " slot " << slot;
    EXPECT_TRUE(CrcOk(answer));
    if (answer.size() >= 7) {
        EXPECT_EQ(static_cast<quint8>(answer[1]), 0x41);
        EXPECT_EQ(answer[6], 1); // one record delivered
    }
    return answer;
}

QDateTime RecordTime(const QByteArray &answer)
{
    return QDateTime(QDate(2000 + static_cast<quint8>(answer[7]), answer[8], answer[9]), QTime(answer[10], 0));
}

QDateTime HourStart(const QDateTime &t)
{
    return QDateTime(t.date(), QTime(t.time().hour(), 0));
}

QStringList BaseArgs(int version)
{
    return { "--calc", QString::number(version), "--baud", "19200", "--latency-ms", "0" };
}

class SimRecords : public ::testing::TestWithParam<int>
{
};

} // namespace

TEST_P(SimRecords, LayoutsNewestAndEmptySlots)
{
    const int version = GetParam();
    SimProcess sim(BaseArgs(version) << "--history-hours"
                                     << "30"
                                     << "--hourly-slots"
                                     << "100"
                                     << "--daily-slots"
                                     << "40"
                                     << "--monthly-slots"
                                     << "12");
    ASSERT_TRUE(sim.started());
    RawPort port(sim.path());
    ASSERT_TRUE(port.isOpen());

    const QDateTime before = QDateTime::currentDateTime();
    const Rings rings = ReadRings(port);
    const int newestSlot = ArchiveRecordIndex(rings.a[0], rings.b[0], rings.c[0], 0);
    ASSERT_GE(newestSlot, 0);
    const QByteArray newest = ReadRecord(port, version, 0, newestSlot);
    const QDateTime after = QDateTime::currentDateTime();
    ASSERT_EQ(newest.size(), RecordLength(version, 0));
    const QDateTime stamp = RecordTime(newest);
    // The newest hourly record is the last complete hour (either side of an hour boundary).
    EXPECT_TRUE(stamp == HourStart(before).addSecs(-3600) || stamp == HourStart(after).addSecs(-3600))
        << stamp.toString(Qt::ISODate).toStdString();

    // 30 hours of history: the oldest is 29 hours older, one more is past the ring's start.
    const QByteArray oldest = ReadRecord(port, version, 0, ArchiveRecordIndex(rings.a[0], rings.b[0], rings.c[0], 29));
    EXPECT_EQ(RecordTime(oldest), stamp.addSecs(-29 * 3600));
    EXPECT_EQ(ArchiveRecordIndex(rings.a[0], rings.b[0], rings.c[0], 30), -1);
    // The slot the next record takes is empty: 0xFF, in a frame of the full length.
    const QByteArray empty = ReadRecord(port, version, 0, rings.a[0]);
    ASSERT_EQ(empty.size(), RecordLength(version, 0));
    EXPECT_EQ(empty.mid(7, 4), QByteArray(4, char(0xFF)));

    const QByteArray day = ReadRecord(port, version, 1, ArchiveRecordIndex(rings.a[1], rings.b[1], rings.c[1], 0));
    ASSERT_EQ(day.size(), RecordLength(version, 1));
    EXPECT_EQ(RecordTime(day), QDateTime(stamp.addSecs(3600).date().addDays(-1), QTime(0, 0)));

    const QByteArray month = ReadRecord(port, version, 2, ArchiveRecordIndex(rings.a[2], rings.b[2], rings.c[2], 0));
    ASSERT_EQ(month.size(), RecordLength(version, 2));
    const QDate thisMonth = stamp.addSecs(3600).date();
    EXPECT_EQ(RecordTime(month), QDateTime(QDate(thisMonth.year(), thisMonth.month(), 1).addMonths(-1), QTime(0, 0)));

    const int journalSlot = JournalRecordIndex(rings.c[3], rings.b[3], rings.a[3], 0);
    const QByteArray entry = ReadRecord(port, version, 3, journalSlot);
    ASSERT_EQ(entry.size(), 25);
    const QDateTime entryTime(
        QDate(2000 + static_cast<quint8>(entry[7]), entry[8], entry[9]), QTime(entry[10], entry[11], entry[12]));
    ASSERT_TRUE(entryTime.isValid());
    EXPECT_LE(entryTime, QDateTime::currentDateTime().addSecs(60));

    // Beyond the ring: exception "illegal data address".
    EXPECT_EQ(port.Transact(RecordRequest(kAddress, 0, rings.c[0] + 1), 5), WithCrc({ kAddress, 0xC1, 0x02 }));
    // An unknown function: exception "illegal function".
    EXPECT_EQ(port.Transact(WithCrc({ kAddress, 0x07 }), 5), WithCrc({ kAddress, 0x87, 0x01 }));
    // A request with a bad CRC is ignored; the next good one is answered.
    QByteArray broken = ReadRequest(kAddress, 3, 8, 2);
    broken[7] = static_cast<char>(broken[7] ^ 0x01);
    port.Write(broken);
    EXPECT_TRUE(port.ReadFor(700).isEmpty());
    const QByteArray serial = port.Transact(ReadRequest(kAddress, 3, 8, 2), 9);
    ASSERT_EQ(serial.size(), 9);
    EXPECT_EQ(BE16(serial, 3), 12345);
}

// Hours sum to their day and days to their month; the integrators move with the archives.
TEST_P(SimRecords, HoursAddUpToDaysMonthsAndTotals)
{
    const int version = GetParam();
    SimProcess sim(BaseArgs(version));
    ASSERT_TRUE(sim.started());
    RawPort port(sim.path());
    ASSERT_TRUE(port.isOpen());
    const Rings rings = ReadRings(port);

    const QByteArray newestHour
        = ReadRecord(port, version, 0, ArchiveRecordIndex(rings.a[0], rings.b[0], rings.c[0], 0));
    const QByteArray day = ReadRecord(port, version, 1, ArchiveRecordIndex(rings.a[1], rings.b[1], rings.c[1], 0));
    ASSERT_EQ(day.size(), RecordLength(version, 1));
    const QDateTime dayStart = RecordTime(day);
    const int hoursBack = static_cast<int>(dayStart.secsTo(RecordTime(newestHour)) / 3600);
    ASSERT_GE(hoursBack, 23);

    double q1 = 0;
    double m1 = 0;
    quint32 run1 = 0;
    for (int h = 0; h < 24; ++h) {
        const QByteArray hour
            = ReadRecord(port, version, 0, ArchiveRecordIndex(rings.a[0], rings.b[0], rings.c[0], hoursBack - h));
        ASSERT_EQ(hour.size(), RecordLength(version, 0));
        ASSERT_EQ(RecordTime(hour), dayStart.addSecs(h * 3600));
        const int r = 7;
        const double t1 = static_cast<qint16>(LE16(hour, r + 48)) * 0.01;
        const double t2 = static_cast<qint16>(LE16(hour, r + 50)) * 0.01;
        EXPECT_GE(t1, 65.0);
        EXPECT_LE(t1, 95.0);
        EXPECT_GE(t2, 40.0);
        EXPECT_LE(t2, 60.0);
        const double hq1 = LEFloat(hour, r + 4);
        const double hm1 = LEFloat(hour, r + 12);
        EXPECT_NEAR(hq1, hm1 * (t1 - t2) / 1000.0, 1e-4);
        q1 += hq1;
        m1 += hm1;
        // Operating and stop minutes of heat system 1 make the hour.
        quint32 operating = 0;
        quint32 stopped = 0;
        if (version == 1) {
            operating = LE16(hour, r + 74);
            stopped = LE16(hour, r + 76);
        } else {
            operating = LE16(hour, r + 80);
            for (int k = 1; k <= 5; ++k)
                stopped += LE16(hour, r + 80 + 2 * k);
        }
        EXPECT_EQ(operating + stopped, 60u);
        run1 += operating;
    }
    const int r = 7;
    EXPECT_NEAR(LEFloat(day, r + 4), q1, 1e-3 * q1);
    EXPECT_NEAR(LEFloat(day, r + 12), m1, 1e-5 * m1);
    EXPECT_EQ(LE16(day, r + (version == 1 ? 74 : 80)), run1);

    if (version == 2) {
        // The snapshot at the day's end minus the one before is the day's amount, and the current
        // total is beyond both.
        const QByteArray dayBefore
            = ReadRecord(port, version, 1, ArchiveRecordIndex(rings.a[1], rings.b[1], rings.c[1], 1));
        const double endQ1 = LEFloat(day, r + 110);
        EXPECT_NEAR(endQ1 - LEFloat(dayBefore, r + 110), LEFloat(day, r + 4), 0.01);
        EXPECT_EQ(LE32(day, r + 154) - LE32(dayBefore, r + 154), LE16(day, r + 80));
        const QByteArray current = port.Transact(ReadRequest(kAddress, 4, 42, 4), 13);
        ASSERT_EQ(current.size(), 13);
        const double whole = (static_cast<quint32>(BE16(current, 3)) << 16) | BE16(current, 5);
        EXPECT_GE(whole + 1.0, endQ1);
        EXPECT_LE(whole, endQ1 + 40.0); // at most a day of heat beyond
    }

    // Days sum to the previous month; a month's snapshot is that of its last day.
    const QByteArray month = ReadRecord(port, version, 2, ArchiveRecordIndex(rings.a[2], rings.b[2], rings.c[2], 0));
    ASSERT_EQ(month.size(), RecordLength(version, 2));
    const QDate first = RecordTime(month).date();
    const int daysBack = static_cast<int>(first.daysTo(dayStart.date()));
    double monthQ1 = 0;
    quint32 monthRun1 = 0;
    QByteArray lastDay;
    for (int d = 0; d < first.daysInMonth(); ++d) {
        lastDay = ReadRecord(port, version, 1, ArchiveRecordIndex(rings.a[1], rings.b[1], rings.c[1], daysBack - d));
        ASSERT_EQ(lastDay.size(), RecordLength(version, 1));
        ASSERT_EQ(RecordTime(lastDay).date(), first.addDays(d));
        monthQ1 += LEFloat(lastDay, r + 4);
        monthRun1 += LE16(lastDay, r + (version == 1 ? 74 : 80));
    }
    EXPECT_NEAR(LEFloat(month, r + 4), monthQ1, 1e-4 * monthQ1);
    EXPECT_EQ(LE16(month, r + (version == 1 ? 74 : 80)), monthRun1);
    if (version == 2) {
        EXPECT_EQ(month.mid(r + 110, 100), lastDay.mid(r + 110, 100));
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, SimRecords, ::testing::Values(1, 2),
    [](const ::testing::TestParamInfo<int> &info) { return QStringLiteral("V%1").arg(info.param).toStdString(); });

namespace {

struct JournalCase
{
    int version;
    bool wrapped;
};

class SimJournalRing : public ::testing::TestWithParam<JournalCase>
{
};

} // namespace

// The ring parameters lead the reader's index rule to the newest entry and back in time order;
// the journal holds blank and erased pages and many parameters and value types.
TEST_P(SimJournalRing, ParametersMatchContents)
{
    const JournalCase p = GetParam();
    QStringList args = BaseArgs(p.version) << "--journal-slots"
                                           << "64"
                                           << "--hourly-slots"
                                           << "400";
    if (p.wrapped)
        args << "--journal-wrapped";
    SimProcess sim(args);
    ASSERT_TRUE(sim.started());
    RawPort port(sim.path());
    ASSERT_TRUE(port.isOpen());
    const Rings rings = ReadRings(port);
    const int c = rings.c[3];
    const int b = rings.b[3];
    const int a = rings.a[3];
    ASSERT_EQ(c, 64);
    if (p.wrapped)
        EXPECT_TRUE(a < b || (a == c && b == 0)) << a << " " << b;
    else
        EXPECT_TRUE(b == 0 && a > 0 && a < c) << a << " " << b;

    QDateTime previous;
    int valid = 0;
    int blank = 0;
    int erased = 0;
    std::set<int> numbers;
    std::set<int> types;
    for (int n = 0; n < c; ++n) {
        const int slot = JournalRecordIndex(c, b, a, n);
        ASSERT_GE(slot, 0);
        const QByteArray e = ReadRecord(port, p.version, 3, slot);
        ASSERT_EQ(e.size(), 25);
        const QByteArray head = e.mid(7, 4);
        if (head == QByteArray(4, char(0xFF))) {
            ++erased;
            continue;
        }
        if (head == QByteArray(4, '\0')) {
            ++blank;
            continue;
        }
        const QDateTime t(QDate(2000 + static_cast<quint8>(e[7]), e[8], e[9]), QTime(e[10], e[11], e[12]));
        ASSERT_TRUE(t.isValid()) << n;
        if (previous.isValid())
            EXPECT_LE(t, previous) << "entry " << n << " is newer than the one before it";
        else
            EXPECT_LE(t, QDateTime::currentDateTime().addSecs(60));
        previous = t;
        // Erased pages come only after the written ones.
        EXPECT_EQ(erased, 0) << n;
        ++valid;
        const quint16 code = LE16(e, 13);
        numbers.insert(code & 0x0FFF);
        types.insert(code >> 12);
        if (p.version == 1) {
            EXPECT_FALSE((code & 0x0FFF) >= 273 && (code & 0x0FFF) <= 280) << "a version-2 counter in version 1";
        }
    }
    EXPECT_GE(valid, 15);
    EXPECT_GE(blank, 1);
    EXPECT_GE(erased, 1);
    EXPECT_GE(numbers.size(), 10u);
    EXPECT_GE(types.size(), 5u);
}

INSTANTIATE_TEST_SUITE_P(Cases, SimJournalRing,
    ::testing::Values(
        JournalCase { 1, false }, JournalCase { 2, false }, JournalCase { 1, true }, JournalCase { 2, true }),
    [](const ::testing::TestParamInfo<JournalCase> &info) {
        return QStringLiteral("V%1%2")
            .arg(info.param.version)
            .arg(info.param.wrapped ? "Wrapped" : "Unwrapped")
            .toStdString();
    });

namespace {

struct FaultCase
{
    const char *name;
    QStringList args;
    std::function<void(RawPort &)> check;
};

void PrintTo(const FaultCase &c, std::ostream *os)
{
    *os << c.name;
}

class SimFaults : public ::testing::TestWithParam<FaultCase>
{
};

const QByteArray kSerialRequest = ReadRequest(kAddress, 3, 8, 2);

} // namespace

TEST_P(SimFaults, Behaves)
{
    const FaultCase &f = GetParam();
    SimProcess sim(QStringList { "--baud", "19200", "--latency-ms", "0" } + f.args);
    ASSERT_TRUE(sim.started());
    RawPort port(sim.path());
    ASSERT_TRUE(port.isOpen());
    f.check(port);
}

INSTANTIATE_TEST_SUITE_P(Options, SimFaults,
    ::testing::Values(FaultCase { "drop", { "--drop-every", "2" },
                          [](RawPort &port) {
                              EXPECT_EQ(port.Transact(kSerialRequest, 9).size(), 9);
                              port.Write(kSerialRequest);
                              EXPECT_TRUE(port.ReadFor(800).isEmpty());
                              EXPECT_EQ(port.Transact(kSerialRequest, 9).size(), 9);
                          } },
        FaultCase { "badCrc", { "--bad-crc-every", "1" },
            [](RawPort &port) {
                const QByteArray answer = port.Transact(kSerialRequest, 9);
                ASSERT_EQ(answer.size(), 9);
                EXPECT_FALSE(CrcOk(answer));
                EXPECT_EQ(BE16(answer, 3), 12345);
            } },
        FaultCase { "exceptionFunction", { "--exception-function", "0x41" },
            [](RawPort &port) {
                EXPECT_EQ(port.Transact(RecordRequest(kAddress, 0, 0), 5), WithCrc({ kAddress, 0xC1, 0x04 }));
                EXPECT_EQ(port.Transact(kSerialRequest, 9).size(), 9);
            } },
        FaultCase { "exceptionEvery", { "--exception-every", "1" },
            [](RawPort &port) {
                EXPECT_EQ(port.Transact(kSerialRequest, 5), WithCrc({ kAddress, 0x83, 0x04 }));
            } },
        FaultCase { "emptyArchives", { "--empty-archives", "--calc", "1" },
            [](RawPort &port) {
                const Rings rings = ReadRings(port);
                for (int kind = 0; kind < 4; ++kind)
                    EXPECT_EQ(rings.a[kind], rings.b[kind]) << kind;
                for (int kind = 0; kind < 4; ++kind) {
                    const QByteArray r = ReadRecord(port, 1, kind, 0);
                    ASSERT_GE(r.size(), 11);
                    EXPECT_EQ(r.mid(7, 4), QByteArray(4, char(0xFF))) << kind;
                }
            } },
        FaultCase { "gapInsideAnswer", { "--gap-ms", "400", "--gap-at", "3" },
            [](RawPort &port) {
                port.Write(kSerialRequest);
                const QByteArray head = port.ReadCount(3);
                EXPECT_EQ(head.size(), 3);
                EXPECT_TRUE(port.ReadFor(150).isEmpty()); // the pause is well over 150 ms
                const QByteArray answer = head + port.ReadCount(6);
                EXPECT_TRUE(CrcOk(answer));
            } },
        FaultCase { "reportSerial", { "--serial", "100", "--report-serial", "200" },
            [](RawPort &port) {
                const QByteArray answer = port.Transact(kSerialRequest, 9);
                ASSERT_EQ(answer.size(), 9);
                EXPECT_EQ(BE16(answer, 3), 200);
            } }),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

// With the clock set just before the end of a month, every ring takes its new record when the
// clock passes midnight.
TEST(SimClock, RingsAdvanceAtMonthEnd)
{
    const QDate today = QDate::currentDate();
    const QDateTime target(QDate(today.year(), today.month(), today.daysInMonth()), QTime(23, 59, 55));
    const qint64 offset = QDateTime::currentDateTime().secsTo(target);
    SimProcess sim(BaseArgs(2) << "--clock-offset-s" << QString::number(offset) << "--hourly-slots"
                               << "50"
                               << "--daily-slots"
                               << "20"
                               << "--monthly-slots"
                               << "6");
    ASSERT_TRUE(sim.started());
    RawPort port(sim.path());
    ASSERT_TRUE(port.isOpen());

    auto clock = [&port] {
        const QByteArray a = port.Transact(ReadRequest(kAddress, 3, 0, 6), 17);
        if (a.size() != 17)
            return QDateTime();
        return QDateTime(QDate(2000 + BE16(a, 3), BE16(a, 5), BE16(a, 7)), QTime(BE16(a, 9), BE16(a, 11), BE16(a, 13)));
    };
    const QDateTime first = clock();
    const Rings before = ReadRings(port);
    const QDateTime second = clock();
    ASSERT_TRUE(first.isValid());
    if (second.date() != target.date())
        GTEST_SKIP() << "the machine took too long to read before midnight";

    QDateTime now = second;
    for (int i = 0; i < 60 && now.date() == target.date(); ++i) {
        port.ReadFor(500);
        now = clock();
    }
    ASSERT_EQ(now.date(), target.date().addDays(1));
    const Rings after = ReadRings(port);
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(after.a[kind], (before.a[kind] + 1) % (before.c[kind] + 1));
        EXPECT_EQ(after.b[kind], (before.b[kind] + 1) % (before.c[kind] + 1)); // full rings drop their oldest
    }
    auto newest = [&](int kind) {
        return RecordTime(
            ReadRecord(port, 2, kind, ArchiveRecordIndex(after.a[kind], after.b[kind], after.c[kind], 0)));
    };
    EXPECT_EQ(newest(0), QDateTime(target.date(), QTime(23, 0)));
    EXPECT_EQ(newest(1), QDateTime(target.date(), QTime(0, 0)));
    EXPECT_EQ(newest(2), QDateTime(QDate(target.date().year(), target.date().month(), 1), QTime(0, 0)));
}
