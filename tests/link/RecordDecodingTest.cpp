#include "common/RecordDecoding.h"
#include "common/DayCount.h"

#include "LinkFrames.h"

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

double At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return DayCountFromParts(QDate(y, mo, d), QTime(h, mi, s));
}

// Input registers as the tables lay them out, with distinct values in every field.
QByteArray InputBlock(int version)
{
    QByteArray b(version == 1 ? kInputBlockV1 : kInputBlockV2, '\0');
    PutRegU16(b, 18, static_cast<quint16>(-1234)); // F[0] = -12.34
    PutRegU16(b, 23, 6543); // F[5] = 65.43
    PutRegU16(b, 24, 65535); // F[6] = 65.535 (unsigned)
    PutRegU16(b, 27, 1500); // F[9] = 1.5
    for (int i = 0; i < kDCount; ++i) {
        PutRegU32(b, 42 + 4 * i, 3000000000u + static_cast<quint32>(i)); // above the signed range
        PutRegReal(b, 44 + 4 * i, 0.25f);
    }
    for (int i = 0; i < 11; ++i)
        PutRegReal(b, 86 + 2 * i, 10.5f + static_cast<float>(i));
    if (version == 1) {
        for (int i = 0; i < 6; ++i)
            PutRegU32(b, 108 + 2 * i, 100000u * static_cast<quint32>(i + 1));
    } else {
        for (int i = 0; i < 14; ++i)
            PutRegU32(b, 108 + 2 * i, 10u * static_cast<quint32>(i + 1));
    }
    return b;
}

QByteArray HoldingBlock(int version, int year = 24, int month = 3, int day = 15, int hour = 10)
{
    QByteArray b(version == 1 ? kHoldingBlockV1 : kHoldingBlockV2, '\0');
    const int clock[6] = { year, month, day, hour, 20, 30 };
    for (int i = 0; i < 6; ++i)
        PutRegU16(b, i, static_cast<quint16>(clock[i]));
    PutRegU16(b, 8, 40000);
    PutRegU16(b, 16, 3);
    PutRegU16(b, 17, 41);
    PutRegU16(b, 26, 550);
    PutRegU16(b, 27, 65535);
    for (int i = 0; i < 5; ++i)
        PutRegU16(b, 28 + i, static_cast<quint16>(0x8001 + i));
    PutRegReal(b, 84, 0.125f);
    PutRegReal(b, 88, 2.5f);
    if (version == 2) {
        PutRegReal(b, 94, 30.25f);
        PutRegReal(b, 98, 40.75f);
    }
    return b;
}

// An archive record by the record table; version 2 daily/monthly records with totals.
QByteArray ArchiveRecord(int version, bool withTotals, int year = 10, int month = 1, int day = 31, int hour = 13)
{
    QByteArray r(version == 1 ? kArchiveRecordV1 : (withTotals ? kArchiveRecordV2Totals : kArchiveRecordV2), '\0');
    r[0] = static_cast<char>(year);
    r[1] = static_cast<char>(month);
    r[2] = static_cast<char>(day);
    r[3] = static_cast<char>(hour);
    for (int i = 0; i < 11; ++i)
        PutRecReal(r, 4 + 4 * i, 1.5f + static_cast<float>(i));
    PutRecU16(r, 48, static_cast<quint16>(-250)); // F[11] = -2.5
    PutRecU16(r, 54, 9999); // F[14] = 99.99
    PutRecU16(r, 56, 60000); // F[15] = 60.0 (unsigned)
    PutRecU16(r, 62, 7); // F[18] = 0.007
    PutRecU16(r, 64, static_cast<quint16>(-5)); // F[19] = -5
    PutRecU16(r, 66, 65000); // F[20] = 65000
    r[68] = static_cast<char>(0xC8);
    if (version == 1) {
        for (int i = 0; i < 5; ++i)
            r[69 + i] = static_cast<char>(0x10 + i);
        for (int i = 0; i < 6; ++i)
            PutRecU16(r, 74 + 2 * i, static_cast<quint16>(60 - i));
    } else {
        r[69] = static_cast<char>(0x77); // not used
        for (int i = 0; i < 5; ++i)
            PutRecU16(r, 70 + 2 * i, static_cast<quint16>(0x0102 * (i + 1)));
        for (int i = 0; i < 14; ++i)
            PutRecU16(r, 80 + 2 * i, static_cast<quint16>(i + 1));
        if (withTotals) {
            for (int i = 0; i < 11; ++i)
                PutRecReal(r, 110 + 4 * i, 1000.5f + static_cast<float>(i));
            for (int i = 0; i < 14; ++i)
                PutRecU32(r, 154 + 4 * i, 70000u + static_cast<quint32>(i));
        }
    }
    return r;
}

} // namespace

TEST(DecodeCurrent, Version1)
{
    const QByteArray input = InputBlock(1);
    const QByteArray holding = HoldingBlock(1);
    CurrentValues v;
    ASSERT_EQ(DecodeCurrentV1(Data(input), kInputBlockV1, Data(holding), kHoldingBlockV1, &v), kLinkOk);
    EXPECT_DOUBLE_EQ(v.time, At(2024, 3, 15, 10, 20, 30));
    EXPECT_FLOAT_EQ(v.F[0], -12.34f);
    EXPECT_FLOAT_EQ(v.F[5], 65.43f);
    EXPECT_FLOAT_EQ(v.F[6], 65.535f);
    EXPECT_FLOAT_EQ(v.F[9], 1.5f);
    EXPECT_DOUBLE_EQ(v.D[0], 3000000000.25);
    EXPECT_DOUBLE_EQ(v.D[10], 3000000010.25);
    EXPECT_FLOAT_EQ(v.F[10], 10.5f);
    EXPECT_FLOAT_EQ(v.F[20], 20.5f);
    for (int i = 0; i < 6; ++i)
        EXPECT_FLOAT_EQ(v.F[21 + i], 100000.0f * static_cast<float>(i + 1)) << i;
    for (int i = 27; i < kFCount; ++i)
        EXPECT_EQ(v.F[i], 0.0f) << i;
    EXPECT_EQ(v.Scheme1, 3);
    EXPECT_EQ(v.Scheme2, 41);
    EXPECT_FLOAT_EQ(v.TCold_Summer, 5.5f);
    EXPECT_FLOAT_EQ(v.TCold_Winter, 655.35f);
    EXPECT_EQ(v.NS[0], 0x8001);
    EXPECT_EQ(v.NS[4], 0x8005);
    EXPECT_FLOAT_EQ(v.GMin1, 0.125f);
    EXPECT_FLOAT_EQ(v.GMin2, 2.5f);
    EXPECT_EQ(v.GMax1, 0.0f);
    EXPECT_EQ(v.GMax2, 0.0f);
}

TEST(DecodeCurrent, Version2CounterSums)
{
    const QByteArray input = InputBlock(2);
    const QByteArray holding = HoldingBlock(2);
    CurrentValues v;
    ASSERT_EQ(DecodeCurrentV2(Data(input), kInputBlockV2, Data(holding), kHoldingBlockV2, &v), kLinkOk);
    // c[i] = 10 (i + 1)
    EXPECT_FLOAT_EQ(v.F[21], 10);
    EXPECT_FLOAT_EQ(v.F[22], 20 + 30 + 40 + 50 + 60);
    EXPECT_FLOAT_EQ(v.F[23], 70);
    EXPECT_FLOAT_EQ(v.F[24], 80 + 90 + 100 + 110 + 120);
    EXPECT_FLOAT_EQ(v.F[25], 130);
    EXPECT_FLOAT_EQ(v.F[26], 140);
    for (int i = 0; i < 12; ++i)
        EXPECT_FLOAT_EQ(v.F[27 + i], 10.0f * static_cast<float>(i + 1)) << i;
    EXPECT_FLOAT_EQ(v.F[0], -12.34f);
    EXPECT_DOUBLE_EQ(v.D[3], 3000000003.25);
    EXPECT_FLOAT_EQ(v.GMin1, 0.125f);
    EXPECT_FLOAT_EQ(v.GMax1, 30.25f);
    EXPECT_FLOAT_EQ(v.GMax2, 40.75f);
}

TEST(DecodeCurrent, Version2SumsAddTheConvertedCounters)
{
    // 2^24 + 1 is not a single; each counter is converted before the sum is taken.
    QByteArray input = InputBlock(2);
    for (int i = 1; i <= 5; ++i)
        PutRegU32(input, 108 + 2 * i, 16777217u);
    const QByteArray holding = HoldingBlock(2);
    CurrentValues v;
    ASSERT_EQ(DecodeCurrentV2(Data(input), kInputBlockV2, Data(holding), kHoldingBlockV2, &v), kLinkOk);
    EXPECT_EQ(v.F[22], 83886080.0f);
    EXPECT_EQ(v.F[28], 16777216.0f);
}

TEST(DecodeCurrent, ShortBlocksAndImpossibleClock)
{
    const QByteArray input1 = InputBlock(1);
    const QByteArray holding1 = HoldingBlock(1);
    const QByteArray input2 = InputBlock(2);
    const QByteArray holding2 = HoldingBlock(2);
    CurrentValues v;
    v.F[0] = 7;
    EXPECT_EQ(DecodeCurrentV1(Data(input1), kInputBlockV1 - 1, Data(holding1), kHoldingBlockV1, &v), kLinkWrongAnswer);
    EXPECT_EQ(DecodeCurrentV1(Data(input1), kInputBlockV1, Data(holding1), kHoldingBlockV1 - 1, &v), kLinkWrongAnswer);
    // A version-1 input block is too short for version 2's counters.
    EXPECT_EQ(DecodeCurrentV2(Data(input2), kInputBlockV1, Data(holding2), kHoldingBlockV2, &v), kLinkWrongAnswer);
    EXPECT_EQ(DecodeCurrentV2(Data(input2), kInputBlockV2, Data(holding2), kHoldingBlockV1, &v), kLinkWrongAnswer);
    EXPECT_EQ(DecodeCurrentInput(3, Data(input2), kInputBlockV2, &v), kLinkWrongAnswer);

    struct Clock
    {
        int year, month, day, hour;
    };
    for (const Clock c : { Clock { 24, 13, 1, 0 }, Clock { 24, 0, 1, 0 }, Clock { 23, 2, 29, 0 },
             Clock { 24, 4, 31, 0 }, Clock { 24, 1, 1, 24 } }) {
        const QByteArray holding = HoldingBlock(1, c.year, c.month, c.day, c.hour);
        EXPECT_EQ(DecodeCurrentV1(Data(input1), kInputBlockV1, Data(holding), kHoldingBlockV1, &v), kLinkImpossibleDate)
            << c.year << "-" << c.month << "-" << c.day << " " << c.hour;
    }
    EXPECT_EQ(v.F[0], 7.0f); // nothing written on failure
    const QByteArray leapDay = HoldingBlock(1, 24, 2, 29, 23);
    EXPECT_EQ(DecodeCurrentV1(Data(input1), kInputBlockV1, Data(leapDay), kHoldingBlockV1, &v), kLinkOk);
}

TEST(DecodeArchive, Version1Record)
{
    const QByteArray r = ArchiveRecord(1, false);
    ArchiveValues v;
    ASSERT_EQ(DecodeArchiveRecord(1, kArchiveHourly, Data(r), static_cast<int>(r.size()), &v, nullptr), kLinkOk);
    EXPECT_DOUBLE_EQ(v.time, At(2010, 1, 31, 13));
    EXPECT_FLOAT_EQ(v.F[0], 1.5f);
    EXPECT_FLOAT_EQ(v.F[10], 11.5f);
    EXPECT_FLOAT_EQ(v.F[11], -2.5f);
    EXPECT_FLOAT_EQ(v.F[14], 99.99f);
    EXPECT_FLOAT_EQ(v.F[15], 60.0f);
    EXPECT_FLOAT_EQ(v.F[18], 0.007f);
    EXPECT_FLOAT_EQ(v.F[19], -5.0f);
    EXPECT_FLOAT_EQ(v.F[20], 65000.0f);
    EXPECT_EQ(v.status, 0xC8);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(v.NS[i], 0x10 + i);
    for (int i = 0; i < 6; ++i)
        EXPECT_FLOAT_EQ(v.F[21 + i], static_cast<float>(60 - i));
    for (int i = 27; i < kFCount; ++i)
        EXPECT_EQ(v.F[i], 0.0f);
}

TEST(DecodeArchive, Version2DailyRecordWithTotals)
{
    const QByteArray r = ArchiveRecord(2, true, 10, 12, 31, 0);
    ArchiveValues v;
    TotalsSnapshot s;
    bool filled = false;
    ASSERT_EQ(DecodeArchiveRecord(2, kArchiveDaily, Data(r), static_cast<int>(r.size()), &v, &s, &filled), kLinkOk);
    EXPECT_DOUBLE_EQ(v.time, At(2010, 12, 31));
    EXPECT_FLOAT_EQ(v.F[11], -2.5f);
    EXPECT_EQ(v.status, 0xC8);
    EXPECT_EQ(v.NS[0], 0x0102);
    EXPECT_EQ(v.NS[4], 0x050A);
    // c[i] = i + 1
    EXPECT_FLOAT_EQ(v.F[21], 1);
    EXPECT_FLOAT_EQ(v.F[22], 2 + 3 + 4 + 5 + 6);
    EXPECT_FLOAT_EQ(v.F[23], 7);
    EXPECT_FLOAT_EQ(v.F[24], 8 + 9 + 10 + 11 + 12);
    EXPECT_FLOAT_EQ(v.F[25], 13);
    EXPECT_FLOAT_EQ(v.F[26], 14);
    EXPECT_FLOAT_EQ(v.F[38], 12);

    ASSERT_TRUE(filled);
    EXPECT_DOUBLE_EQ(s.D[0], 1000.5);
    EXPECT_DOUBLE_EQ(s.D[10], 1010.5);
    // t[i] = 70000 + i
    EXPECT_FLOAT_EQ(s.F[21], 70000);
    EXPECT_FLOAT_EQ(s.F[22], 70001 + 70002 + 70003 + 70004 + 70005);
    EXPECT_FLOAT_EQ(s.F[23], 70006);
    EXPECT_FLOAT_EQ(s.F[24], 70007 + 70008 + 70009 + 70010 + 70011);
    EXPECT_FLOAT_EQ(s.F[25], 70012);
    EXPECT_FLOAT_EQ(s.F[26], 70013);
    EXPECT_FLOAT_EQ(s.F[38], 70011);
    for (int i = 0; i <= 20; ++i)
        EXPECT_EQ(s.F[i], 0.0f) << i;
    for (quint16 ns : s.NS)
        EXPECT_EQ(ns, 0);
}

TEST(DecodeArchive, SnapshotOnlyForDailyAndMonthlyRecordsThatCarryIt)
{
    struct Case
    {
        int kind;
        bool withTotals;
        bool expectSnapshot;
    };
    for (const Case c : { Case { kArchiveHourly, false, false }, Case { kArchiveHourly, true, false },
             Case { kArchiveDaily, false, false }, Case { kArchiveMonthly, true, true } }) {
        const QByteArray r = ArchiveRecord(2, c.withTotals);
        ArchiveValues v;
        TotalsSnapshot s;
        s.D[0] = -1;
        bool filled = !c.expectSnapshot;
        EXPECT_EQ(DecodeArchiveRecord(2, c.kind, Data(r), static_cast<int>(r.size()), &v, &s, &filled), kLinkOk);
        EXPECT_EQ(filled, c.expectSnapshot) << c.kind << c.withTotals;
        EXPECT_EQ(s.D[0], c.expectSnapshot ? 1000.5 : -1.0) << c.kind << c.withTotals;
    }
}

TEST(DecodeArchive, RecordTimeRules)
{
    struct Case
    {
        int year, month, day, hour;
        int expected;
        double time;
    };
    const Case cases[] = {
        { 10, 1, 31, 24, kLinkOk, At(2010, 1, 31, 0) }, // hour 24: 00:00 of the same day
        { 10, 1, 31, 23, kLinkOk, At(2010, 1, 31, 23) },
        { 10, 1, 31, 200, kLinkOk, At(2010, 1, 31, 0) },
        { 0xFF, 1, 31, 10, kLinkNoRecord, 0 },
        { 10, 0xFF, 31, 10, kLinkNoRecord, 0 },
        { 10, 1, 0xFF, 10, kLinkNoRecord, 0 },
        { 10, 1, 31, 0xFF, kLinkNoRecord, 0 },
        { 10, 13, 1, 10, kLinkImpossibleDate, 0 },
        { 10, 0, 1, 10, kLinkImpossibleDate, 0 },
        { 10, 1, 0, 10, kLinkImpossibleDate, 0 },
        { 10, 2, 29, 10, kLinkImpossibleDate, 0 },
        { 12, 2, 29, 10, kLinkOk, At(2012, 2, 29, 10) },
    };
    for (const Case &c : cases) {
        for (int version : { 1, 2 }) {
            const QByteArray r = ArchiveRecord(version, false, c.year, c.month, c.day, c.hour);
            ArchiveValues v;
            v.time = -1;
            const int result
                = DecodeArchiveRecord(version, kArchiveDaily, Data(r), static_cast<int>(r.size()), &v, nullptr);
            EXPECT_EQ(result, c.expected) << c.year << "-" << c.month << "-" << c.day << " " << c.hour;
            EXPECT_DOUBLE_EQ(v.time, result == kLinkOk ? c.time : -1.0);
        }
    }
}

TEST(DecodeArchive, ShortRecords)
{
    ArchiveValues v;
    const QByteArray r1 = ArchiveRecord(1, false);
    const QByteArray r2 = ArchiveRecord(2, false);
    EXPECT_EQ(DecodeArchiveRecord(1, kArchiveHourly, Data(r1), kArchiveRecordV1 - 1, &v, nullptr), kLinkWrongAnswer);
    EXPECT_EQ(DecodeArchiveRecord(2, kArchiveHourly, Data(r2), kArchiveRecordV2 - 1, &v, nullptr), kLinkWrongAnswer);
    EXPECT_EQ(DecodeArchiveRecord(2, kArchiveHourly, Data(r2), 3, &v, nullptr), kLinkWrongAnswer);
    EXPECT_EQ(DecodeArchiveRecord(2, kArchiveJournal, Data(r2), kArchiveRecordV2, &v, nullptr), kLinkWrongAnswer);
    EXPECT_EQ(v.time, 0.0);
}

TEST(DecodeJournal, PartsAsReceived)
{
    const QByteArray r = Bytes({ 24, 2, 30, 25, 61, 62, 0x34, 0x12, 1, 2, 3, 4, 5, 6, 7, 8 });
    JournalEntryRaw e;
    // An impossible journal time is the journal decoder's to judge; the parts come through.
    ASSERT_EQ(DecodeJournalRecord(Data(r), kJournalRecord, &e), kLinkOk);
    EXPECT_EQ(e.year, 24);
    EXPECT_EQ(e.month, 2);
    EXPECT_EQ(e.day, 30);
    EXPECT_EQ(e.hour, 25);
    EXPECT_EQ(e.minute, 61);
    EXPECT_EQ(e.second, 62);
    EXPECT_EQ(e.eventCode, 0x1234);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(e.oldValue), 4), Bytes({ 1, 2, 3, 4 }));
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(e.newValue), 4), Bytes({ 5, 6, 7, 8 }));

    for (int i = 0; i < 4; ++i) {
        QByteArray empty = r;
        empty[i] = static_cast<char>(0xFF);
        JournalEntryRaw untouched;
        EXPECT_EQ(DecodeJournalRecord(Data(empty), kJournalRecord, &untouched), kLinkNoRecord) << i;
        EXPECT_EQ(untouched.eventCode, 0);
    }
    EXPECT_EQ(DecodeJournalRecord(Data(r), kJournalRecord - 1, &e), kLinkWrongAnswer);
}

TEST(DecodeArchiveParams, SignedValues)
{
    QByteArray b(24, '\0');
    for (int i = 0; i < 12; ++i)
        PutRegU16(b, i, static_cast<quint16>(i * 100));
    PutRegU16(b, 11, 0xFFFF);
    qint16 P[kArchiveParamCount] = {};
    ASSERT_EQ(DecodeArchiveParams(Data(b), 24, P), kLinkOk);
    EXPECT_EQ(P[1], 100);
    EXPECT_EQ(P[10], 1000);
    EXPECT_EQ(P[11], -1);
    EXPECT_EQ(DecodeArchiveParams(Data(b), 23, P), kLinkWrongAnswer);
}

TEST(RingIndex, ArchiveRecordIndex)
{
    struct Case
    {
        int a, b, c, back, expected;
    };
    const Case cases[] = {
        { 10, 0, 99, 0, 9 }, { 10, 0, 99, 9, 0 }, { 10, 0, 99, 10, -1 }, // not yet wrapped
        { 5, 6, 99, 0, 4 }, { 5, 6, 99, 5, 99 }, { 5, 6, 99, 98, 6 }, { 5, 6, 99, 99, -1 }, // wrapped
        { 7, 7, 99, 0, -1 }, { 7, 7, 99, 1, -1 }, { 0, 0, 99, 0, -1 }, // empty
    };
    for (const Case &c : cases)
        EXPECT_EQ(ArchiveRecordIndex(c.a, c.b, c.c, c.back), c.expected)
            << "a=" << c.a << " b=" << c.b << " c=" << c.c << " back=" << c.back;
}

TEST(RingIndex, JournalRecordIndex)
{
    struct Case
    {
        int c, b, a, n, expected;
    };
    const Case cases[] = {
        { 200, 0, 10, 0, 9 }, { 200, 0, 10, 9, 0 }, { 200, 0, 10, 10, 199 }, { 200, 0, 10, 201, -1 },
        { 200, 50, 10, 0, 10 }, { 200, 50, 10, 10, 0 }, { 200, 50, 10, 11, 199 }, // a < b: no 1 subtracted
    };
    for (const Case &c : cases)
        EXPECT_EQ(JournalRecordIndex(c.c, c.b, c.a, c.n), c.expected)
            << "c=" << c.c << " b=" << c.b << " a=" << c.a << " n=" << c.n;
}
