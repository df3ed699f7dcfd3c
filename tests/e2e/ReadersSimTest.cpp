// Our device readers against the simulator over a real pseudo-terminal.
#include "SimHarness.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/ProfileFile.h"
#include "link/DeviceReaders.h"
#include "link/QtSerialPortLink.h"
#include "storage/JournalDecoder.h"
#include "support/TempDataRoot.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace qst;
using namespace qst::test;

namespace {

// The simulator on port 1 of a fresh data root, opened at 19200 baud.
struct Line
{
    SimProcess sim;
    TempDataRoot root;
    std::unique_ptr<QtSerialPortLink> port;

    explicit Line(const QStringList &args)
        : sim(args + QStringList{QStringLiteral("--baud"), QStringLiteral("19200")})
    {
        ProfileFile(TreeIniPath(root.path())).WriteString(QStringLiteral("PORTS"), QStringLiteral("1"), sim.path());
        port = std::make_unique<QtSerialPortLink>(1, root.path());
    }
    bool Open()
    {
        if (!sim.started() || port->OpenPort() < 0)
            return false;
        port->SetLineParams(13, 3);
        return true;
    }
};

QDateTime HourStart(const QDateTime &t)
{
    return QDateTime(t.date(), QTime(t.time().hour(), 0));
}

} // namespace

class ReadersAgainstSim : public testing::TestWithParam<int>
{
};

TEST_P(ReadersAgainstSim, EveryReader)
{
    const int version = GetParam();
    Line line({QStringLiteral("--calc"), QString::number(version), QStringLiteral("--serial"), QStringLiteral("4321"),
               QStringLiteral("--address"), QStringLiteral("5"), QStringLiteral("--latency-ms"), QStringLiteral("0")});
    ASSERT_TRUE(line.Open()) << line.port->errorText().toStdString();
    SerialPort &port = *line.port;

    quint16 serial = 0;
    ASSERT_EQ(ReadSerialNumber(5, port, 2000, 0, &serial), kLinkOk);
    EXPECT_EQ(serial, 4321);
    bool snapshot = false;
    EXPECT_EQ(ReadDeviceId(5, port, 2000, 0, &snapshot), version);
    EXPECT_EQ(snapshot, version == 2);

    qint16 P[kArchiveParamCount] = {};
    ASSERT_EQ(ReadArchiveParams(5, port, 2000, 0, P), kLinkOk);

    CurrentValues cv;
    ASSERT_EQ(version == 1 ? ReadCurrentV1(5, port, 2000, 0, &cv) : ReadCurrentV2(5, port, 2000, 0, &cv), kLinkOk);
    const double now = DayCountFromDateTime(QDateTime::currentDateTime());
    EXPECT_LT(std::abs(cv.time - now), 2.0 / 1440) << "the calculator's clock is the machine's";
    EXPECT_GT(cv.D[0], 0) << "the heat total";
    EXPECT_GE(cv.F[0], 60.f);
    EXPECT_LE(cv.F[0], 100.f) << "supply temperature";
    if (version == 2) {
        EXPECT_FLOAT_EQ(cv.F[22], cv.F[28] + cv.F[29] + cv.F[30] + cv.F[31] + cv.F[32]);
    }

    // The newest record of each archive: the last complete hour, yesterday, last month.
    const QDateTime before = QDateTime::currentDateTime();
    ArchiveValues hour, day, month;
    TotalsSnapshot totals;
    bool filled = false;
    const int hourSlot = qst::ArchiveRecordIndex(P[2], P[1], P[0], 0);
    const int daySlot = qst::ArchiveRecordIndex(P[5], P[4], P[3], 0);
    const int monthSlot = qst::ArchiveRecordIndex(P[8], P[7], P[6], 0);
    ASSERT_GE(hourSlot, 0);
    if (version == 1) {
        ASSERT_EQ(ReadArchiveRecordV1(5, kArchiveHourly, hourSlot, port, 2000, 0, &hour), kLinkOk);
        ASSERT_EQ(ReadArchiveRecordV1(5, kArchiveDaily, daySlot, port, 2000, 0, &day), kLinkOk);
        ASSERT_EQ(ReadArchiveRecordV1(5, kArchiveMonthly, monthSlot, port, 2000, 0, &month), kLinkOk);
    } else {
        ASSERT_EQ(ReadArchiveRecordV2(5, kArchiveHourly, hourSlot, port, 2000, 0, &hour, &totals, &filled), kLinkOk);
        EXPECT_FALSE(filled) << "an hourly record has no snapshot";
        ASSERT_EQ(ReadArchiveRecordV2(5, kArchiveMonthly, monthSlot, port, 2000, 0, &month, &totals, &filled), kLinkOk);
        ASSERT_EQ(ReadArchiveRecordV2(5, kArchiveDaily, daySlot, port, 2000, 0, &day, &totals, &filled), kLinkOk);
        EXPECT_TRUE(filled);
        EXPECT_GT(totals.D[0], 0);
        EXPECT_LE(totals.D[0], cv.D[0]) << "yesterday's closing total is behind the current one";
    }
    const QDateTime after = QDateTime::currentDateTime();
    const QDateTime hourTime = DateTimeFromDayCount(hour.time);
    EXPECT_TRUE(hourTime == HourStart(before).addSecs(-3600) || hourTime == HourStart(after).addSecs(-3600))
        << hourTime.toString().toStdString();
    EXPECT_EQ(DateFromDayCount(day.time), after.date().addDays(-1));
    const QDate firstOfMonth(after.date().year(), after.date().month(), 1);
    EXPECT_EQ(DateFromDayCount(month.time), firstOfMonth.addMonths(-1));
    EXPECT_GT(hour.F[0], 0.f) << "Q1 of the hour";
    if (version == 1) {
        EXPECT_FLOAT_EQ(hour.F[21] + hour.F[22], 60.f) << "operating + stop minutes";
    }

    // The newest journal entries decode to texts (or are blank pages, which are not stored).
    int stored = 0;
    for (int n = 0; n < 10; ++n) {
        const int slot = qst::JournalRecordIndex(P[9], P[10], P[11], n);
        ASSERT_GE(slot, 0);
        JournalEntryRaw raw;
        const int r = ReadJournalRecord(5, slot, port, 2000, 0, &raw);
        ASSERT_TRUE(r == kLinkOk || r == kLinkNoRecord) << r;
        if (r != kLinkOk)
            break;
        JournalDecodeStruct d;
        if (DecodeJournal(version, d, raw)) {
            ++stored;
            EXPECT_FALSE(d.recordText.isEmpty());
        }
    }
    EXPECT_GT(stored, 0);
    port.ClosePort();
}

INSTANTIATE_TEST_SUITE_P(Versions, ReadersAgainstSim, testing::Values(1, 2));

TEST(ReadersAgainstSimFaults, BadCrcAndEmptyArchive)
{
    Line crc({QStringLiteral("--calc"), QStringLiteral("1"), QStringLiteral("--serial"), QStringLiteral("7"),
              QStringLiteral("--bad-crc-every"), QStringLiteral("1")});
    ASSERT_TRUE(crc.Open());
    quint16 serial = 0;
    EXPECT_EQ(ReadSerialNumber(1, *crc.port, 2000, 0, &serial), kLinkBadCrc);

    Line empty({QStringLiteral("--calc"), QStringLiteral("2"), QStringLiteral("--serial"), QStringLiteral("7"),
                QStringLiteral("--empty-archives")});
    ASSERT_TRUE(empty.Open());
    qint16 P[kArchiveParamCount] = {};
    ASSERT_EQ(ReadArchiveParams(1, *empty.port, 2000, 0, P), kLinkOk);
    EXPECT_EQ(qst::ArchiveRecordIndex(P[2], P[1], P[0], 0), -1) << "an empty ring has no newest record";
    ArchiveValues v;
    EXPECT_EQ(ReadArchiveRecordV2(1, kArchiveHourly, 0, *empty.port, 2000, 0, &v, nullptr), kLinkNoRecord)
        << "an empty slot is marked with 0xFF";
}

TEST(ReadersAgainstSimFaults, WrappedJournalNewestFirst)
{
    Line line({QStringLiteral("--calc"), QStringLiteral("2"), QStringLiteral("--journal-slots"), QStringLiteral("40"),
               QStringLiteral("--journal-wrapped")});
    ASSERT_TRUE(line.Open());
    qint16 P[kArchiveParamCount] = {};
    ASSERT_EQ(ReadArchiveParams(1, *line.port, 2000, 0, P), kLinkOk);
    ASSERT_LT(P[11], P[10]) << "a wrapped ring: the next slot lies before the oldest";
    double previous = 1e9;
    int entries = 0;
    for (int n = 0; n < P[9]; ++n) {
        const int slot = qst::JournalRecordIndex(P[9], P[10], P[11], n);
        if (slot < 0)
            break;
        JournalEntryRaw raw;
        const int r = ReadJournalRecord(1, slot, *line.port, 2000, 0, &raw);
        ASSERT_TRUE(r == kLinkOk || r == kLinkNoRecord);
        if (r != kLinkOk)
            continue;
        JournalDecodeStruct d;
        if (!DecodeJournalV2(d, raw) || d.dateTime == 0)
            continue;
        EXPECT_LE(d.dateTime, previous) << "entry " << n << " is newer than the one before it";
        previous = d.dateTime;
        ++entries;
    }
    EXPECT_GT(entries, 20);
    EXPECT_EQ(qst::JournalRecordIndex(P[9], P[10], P[11], P[9] + 1), -1);
}
