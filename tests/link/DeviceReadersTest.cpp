#include "link/DeviceReaders.h"
#include "common/DayCount.h"
#include "link/FakeSerialPort.h"

#include "LinkFrames.h"

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

constexpr int kWait = 2000;

class Readers : public ::testing::Test
{
protected:
    FakeLinkClock m_clock;
    FakeSerialPort m_port { m_clock };

    void Answer(const QByteArray &frame) { m_port.AddAnswer(frame, 40, 1); }
    QByteArray Sent(int i) const { return m_port.writes().value(i).toHex(' '); }
};

QByteArray IdAnswer(int version, int flag, int extra = 0)
{
    QByteArray f = Bytes({ 0x01, 0x11, 0x0A, 0x05, 0xFF, 0x51, 0x53, 0x54, 0x35, version, flag });
    f.append(QByteArray(extra, '\x20'));
    return WithCrc(f);
}

} // namespace

TEST_F(Readers, SerialNumberIsRegister8)
{
    Answer(RegisterAnswer(0x01, 0x03, Bytes({ 0x9C, 0x40, 0x12, 0x34 })));
    quint16 serial = 0;
    ASSERT_EQ(ReadSerialNumber(0x01, m_port, kWait, 0, &serial, m_clock), kLinkOk);
    EXPECT_EQ(serial, 40000);
    EXPECT_EQ(Sent(0), "01 03 00 08 00 02 45 c9");
}

TEST_F(Readers, DeviceIdReturnsWhatTheDeviceSays)
{
    struct Case
    {
        int version, flagByte, extra;
        int expected;
        bool flag;
    };
    for (const Case c : { Case { 1, 0, 0, 1, false }, Case { 2, 1, 5, 2, true }, Case { 2, 0x80, 0, 2, true },
             Case { 0, 0, 0, 0, false }, Case { 7, 3, 2, 7, true } }) {
        FakeLinkClock clock;
        FakeSerialPort port(clock);
        port.AddAnswer(IdAnswer(c.version, c.flagByte, c.extra), 10, 1);
        bool flag = !c.flag;
        EXPECT_EQ(ReadDeviceId(0x01, port, kWait, 0, &flag, clock), c.expected) << c.version;
        EXPECT_EQ(flag, c.flag) << c.version;
        EXPECT_EQ(port.writes().value(0).toHex(' '), "01 11 c0 2c");
    }
}

TEST_F(Readers, DeviceIdAnswerMustHoldTheFlagByte)
{
    // Ten bytes before the CRC: the snapshot flag (byte 10) is missing.
    Answer(WithCrc(Bytes({ 0x01, 0x11, 0x0A, 0x05, 0xFF, 0x51, 0x53, 0x54, 0x35, 0x02 })));
    bool flag = false;
    EXPECT_EQ(ReadDeviceId(0x01, m_port, kWait, 0, &flag, m_clock), kLinkWrongAnswer);
}

TEST_F(Readers, ArchiveParams)
{
    QByteArray block(24, '\0');
    PutRegU16(block, 0, 1439);
    PutRegU16(block, 1, 12);
    PutRegU16(block, 2, 11);
    Answer(RegisterAnswer(0x01, 0x04, block));
    qint16 P[kArchiveParamCount] = {};
    ASSERT_EQ(ReadArchiveParams(0x01, m_port, kWait, 1, P, m_clock), kLinkOk);
    EXPECT_EQ(P[0], 1439);
    EXPECT_EQ(P[2], 11);
    EXPECT_EQ(Sent(0), "01 04 00 06 00 0c 10 0e");
}

TEST_F(Readers, CurrentV1TwoRequests)
{
    QByteArray input(kInputBlockV1, '\0');
    PutRegU16(input, 18, 2150);
    PutRegU32(input, 118, 123456);
    QByteArray holding(kHoldingBlockV1, '\0');
    for (int i = 0; i < 6; ++i)
        PutRegU16(holding, i, static_cast<quint16>(QList<int> { 25, 6, 1, 0, 0, 5 }[i]));
    PutRegReal(holding, 88, 1.75f);
    Answer(RegisterAnswer(0x01, 0x04, input));
    Answer(RegisterAnswer(0x01, 0x03, holding));
    CurrentValues v;
    ASSERT_EQ(ReadCurrentV1(0x01, m_port, kWait, 0, &v, m_clock), kLinkOk);
    ASSERT_EQ(m_port.writes().size(), 2);
    EXPECT_EQ(Sent(0), "01 04 00 00 00 78 f0 28");
    EXPECT_EQ(Sent(1), "01 03 00 00 00 5d 84 33");
    EXPECT_FLOAT_EQ(v.F[0], 21.5f);
    EXPECT_FLOAT_EQ(v.F[26], 123456.0f);
    EXPECT_FLOAT_EQ(v.GMin2, 1.75f);
    EXPECT_DOUBLE_EQ(v.time, DayCountFromParts(QDate(2025, 6, 1), QTime(0, 0, 5)));
}

TEST_F(Readers, CurrentV2ThreeRequestsAndTheSecondHalfLandsAtRegister68)
{
    QByteArray low(kInputHalfV2, '\0');
    PutRegU16(low, 24, 1000);
    QByteArray high(kInputHalfV2, '\0');
    PutRegU32(high, 108 - 68, 5); // c[0]
    PutRegU32(high, 134 - 68, 99); // c[13]
    PutRegReal(high, 106 - 68, 3.25f); // F[20]
    QByteArray holding(kHoldingBlockV2, '\0');
    for (int i = 0; i < 6; ++i)
        PutRegU16(holding, i, static_cast<quint16>(QList<int> { 25, 12, 31, 23, 59, 59 }[i]));
    PutRegReal(holding, 98, 12.5f);
    Answer(RegisterAnswer(0x01, 0x04, low));
    Answer(RegisterAnswer(0x01, 0x04, high));
    Answer(RegisterAnswer(0x01, 0x03, holding));
    CurrentValues v;
    ASSERT_EQ(ReadCurrentV2(0x01, m_port, kWait, 0, &v, m_clock), kLinkOk);
    ASSERT_EQ(m_port.writes().size(), 3);
    EXPECT_EQ(Sent(0), "01 04 00 00 00 44 f0 39");
    EXPECT_EQ(Sent(1), "01 04 00 44 00 44 b0 2c");
    EXPECT_EQ(Sent(2), "01 03 00 00 00 67 04 20");
    EXPECT_FLOAT_EQ(v.F[6], 1.0f);
    EXPECT_FLOAT_EQ(v.F[21], 5.0f);
    EXPECT_FLOAT_EQ(v.F[27], 5.0f);
    EXPECT_FLOAT_EQ(v.F[26], 99.0f);
    EXPECT_FLOAT_EQ(v.F[20], 3.25f);
    EXPECT_FLOAT_EQ(v.GMax2, 12.5f);
}

TEST_F(Readers, CurrentV2StopsAtTheFirstFailure)
{
    Answer(RegisterAnswer(0x01, 0x04, QByteArray(kInputHalfV2, '\0')));
    Answer(WithCrc(Bytes({ 0x01, 0x84, 0x02 })));
    CurrentValues v;
    v.F[0] = 42;
    EXPECT_EQ(ReadCurrentV2(0x01, m_port, kWait, 0, &v, m_clock), kLinkWrongAnswer);
    EXPECT_EQ(m_port.writes().size(), 2);
    EXPECT_EQ(v.F[0], 42.0f);
}

TEST_F(Readers, CurrentWithImpossibleClock)
{
    Answer(RegisterAnswer(0x01, 0x04, QByteArray(kInputBlockV1, '\0')));
    QByteArray holding(kHoldingBlockV1, '\0');
    PutRegU16(holding, 1, 13);
    PutRegU16(holding, 2, 1);
    Answer(RegisterAnswer(0x01, 0x03, holding));
    CurrentValues v;
    EXPECT_EQ(ReadCurrentV1(0x01, m_port, kWait, 0, &v, m_clock), kLinkImpossibleDate);
}

TEST_F(Readers, ArchiveRecordV2DailyThroughTheLine)
{
    QByteArray record(kArchiveRecordV2Totals, '\0');
    record[0] = 10;
    record[1] = 12;
    record[2] = 31;
    record[3] = 0;
    PutRecReal(record, 4, 61.5f);
    PutRecReal(record, 110, 1234.5f);
    PutRecU32(record, 154, 86400);
    const QByteArray frame = RecordAnswer(0x01, kArchiveDaily, record);
    ASSERT_EQ(frame.size(), 219);
    Answer(frame);
    ArchiveValues v;
    TotalsSnapshot s;
    bool filled = false;
    ASSERT_EQ(ReadArchiveRecordV2(0x01, kArchiveDaily, 0x0123, m_port, kWait, 0, &v, &s, &filled, m_clock), kLinkOk);
    EXPECT_EQ(Sent(0), "01 41 01 00 23 01 01 08 8b");
    EXPECT_DOUBLE_EQ(v.time, DayCountFromDate(QDate(2010, 12, 31)));
    EXPECT_FLOAT_EQ(v.F[0], 61.5f);
    EXPECT_TRUE(filled);
    EXPECT_DOUBLE_EQ(s.D[0], 1234.5);
    EXPECT_FLOAT_EQ(s.F[21], 86400.0f);
}

TEST_F(Readers, ArchiveRecordResults)
{
    struct Case
    {
        const char *name;
        int version;
        QByteArray answer;
        int expected;
    };
    QByteArray v1(kArchiveRecordV1, '\0');
    v1[0] = 11;
    v1[1] = 5;
    v1[2] = 1;
    v1[3] = 24;
    QByteArray empty = v1;
    empty[2] = static_cast<char>(0xFF);
    QByteArray impossible = v1;
    impossible[1] = 13;
    const Case cases[] = {
        { "v1 record", 1, RecordAnswer(0x01, 0, v1), kLinkOk },
        { "v1 record with extra bytes", 1, RecordAnswer(0x01, 0, v1 + QByteArray(9, '\0')), kLinkOk },
        { "v1 record one byte short", 1, RecordAnswer(0x01, 0, v1.left(kArchiveRecordV1 - 1)), kLinkWrongAnswer },
        { "v2 hourly record", 2, RecordAnswer(0x01, 0, v1 + QByteArray(kArchiveRecordV2 - kArchiveRecordV1, '\0')),
            kLinkOk },
        { "v2 hourly record too short", 2, RecordAnswer(0x01, 0, v1), kLinkWrongAnswer },
        { "empty slot", 1, RecordAnswer(0x01, 0, empty), kLinkNoRecord },
        { "impossible date", 2, RecordAnswer(0x01, 0, impossible + QByteArray(22, '\0')), kLinkImpossibleDate },
        { "record count 0", 1, RecordAnswer(0x01, 0, v1, 0), kLinkWrongAnswer },
    };
    for (const Case &c : cases) {
        FakeLinkClock clock;
        FakeSerialPort port(clock);
        port.AddAnswer(c.answer, 10, 1);
        ArchiveValues v;
        v.time = -1;
        const int result = c.version == 1
            ? ReadArchiveRecordV1(0x01, kArchiveHourly, 7, port, kWait, 0, &v, clock)
            : ReadArchiveRecordV2(0x01, kArchiveHourly, 7, port, kWait, 0, &v, nullptr, nullptr, clock);
        EXPECT_EQ(result, c.expected) << c.name;
        EXPECT_DOUBLE_EQ(v.time, result == kLinkOk ? DayCountFromDate(QDate(2011, 5, 1)) : -1.0) << c.name;
    }
}

TEST_F(Readers, JournalRecord)
{
    Answer(RecordAnswer(0x01, kArchiveJournal, Bytes({ 24, 1, 2, 3, 4, 5, 0x01, 0x80, 9, 8, 7, 6, 1, 2, 3, 4 })));
    JournalEntryRaw e;
    ASSERT_EQ(ReadJournalRecord(0x01, 199, m_port, kWait, 0, &e, m_clock), kLinkOk);
    EXPECT_EQ(Sent(0), "01 41 03 00 c7 00 01 30 ec");
    EXPECT_EQ(e.year, 24);
    EXPECT_EQ(e.second, 5);
    EXPECT_EQ(e.eventCode, 0x8001);
    EXPECT_EQ(e.oldValue[0], 9);
    EXPECT_EQ(e.newValue[3], 4);
}

// A calculator model answering from its register space, whatever slice is asked for.
TEST_F(Readers, CurrentV2TotalAcrossTheTwoInputHalves)
{
    QByteArray input(kInputBlockV2, '\0');
    PutRegU32(input, 66, 4000000000u); // D[6]: whole part in the first half...
    PutRegReal(input, 68, 0.5f); // ...fraction in the second
    QByteArray holding(kHoldingBlockV2, '\0');
    for (int i = 0; i < 6; ++i)
        PutRegU16(holding, i, static_cast<quint16>(QList<int> { 20, 2, 29, 12, 0, 0 }[i]));
    m_port.SetResponder(
        [&](const QByteArray &request) {
            const int function = static_cast<quint8>(request[1]);
            const int first = (static_cast<quint8>(request[2]) << 8) | static_cast<quint8>(request[3]);
            const int count = (static_cast<quint8>(request[4]) << 8) | static_cast<quint8>(request[5]);
            const QByteArray &space = function == 4 ? input : holding;
            return RegisterAnswer(
                static_cast<quint8>(request[0]), static_cast<quint8>(function), space.mid(2 * first, 2 * count));
        },
        30, 1);
    CurrentValues v;
    ASSERT_EQ(ReadCurrentV2(0x05, m_port, kWait, 0, &v, m_clock), kLinkOk);
    EXPECT_DOUBLE_EQ(v.D[6], 4000000000.5);
    EXPECT_DOUBLE_EQ(v.time, DayCountFromParts(QDate(2020, 2, 29), QTime(12, 0)));
}
