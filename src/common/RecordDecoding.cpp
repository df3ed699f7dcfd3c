#include "common/RecordDecoding.h"

#include "common/DayCount.h"

#include <QDate>
#include <QTime>

#include <bit>

namespace qst {

namespace {

// Registers: high byte first, 32-bit values high half first, reals sign byte first.
quint16 RegU16(const quint8 *block, int reg)
{
    return static_cast<quint16>((block[2 * reg] << 8) | block[2 * reg + 1]);
}

qint16 RegS16(const quint8 *block, int reg)
{
    return static_cast<qint16>(RegU16(block, reg));
}

quint32 RegU32(const quint8 *block, int reg)
{
    return (static_cast<quint32>(RegU16(block, reg)) << 16) | RegU16(block, reg + 1);
}

float RegReal(const quint8 *block, int reg)
{
    return std::bit_cast<float>(RegU32(block, reg));
}

// Records: little-endian.
quint16 RecU16(const quint8 *record, int offset)
{
    return static_cast<quint16>(record[offset] | (record[offset + 1] << 8));
}

qint16 RecS16(const quint8 *record, int offset)
{
    return static_cast<qint16>(RecU16(record, offset));
}

quint32 RecU32(const quint8 *record, int offset)
{
    return static_cast<quint32>(RecU16(record, offset)) | (static_cast<quint32>(RecU16(record, offset + 2)) << 16);
}

float RecReal(const quint8 *record, int offset)
{
    return std::bit_cast<float>(RecU32(record, offset));
}

float Scaled(double raw, double factor)
{
    return static_cast<float>(raw * factor);
}

int ComposeTime(int year, int month, int day, int hour, int minute, int second, double *time)
{
    const QDate date(year, month, day);
    const QTime clock(hour, minute, second);
    if (!date.isValid() || !clock.isValid())
        return kLinkImpossibleDate;
    *time = DayCountFromParts(date, clock);
    return kLinkOk;
}

bool EmptySlot(const quint8 *record)
{
    return record[0] == 0xFF || record[1] == 0xFF || record[2] == 0xFF || record[3] == 0xFF;
}

} // namespace

int DecodeCurrentInput(int version, const quint8 *block, int length, CurrentValues *values)
{
    if (version != 1 && version != 2)
        return kLinkWrongAnswer;
    if (length < (version == 1 ? kInputBlockV1 : kInputBlockV2))
        return kLinkWrongAnswer;
    for (int i = 0; i < 6; ++i)
        values->F[i] = Scaled(RegS16(block, 18 + i), 0.01);
    for (int i = 0; i < 4; ++i)
        values->F[6 + i] = Scaled(RegU16(block, 24 + i), 0.001);
    for (int i = 0; i < kDCount; ++i)
        values->D[i] = static_cast<double>(RegU32(block, 42 + 4 * i)) + static_cast<double>(RegReal(block, 44 + 4 * i));
    for (int i = 0; i < 11; ++i)
        values->F[10 + i] = RegReal(block, 86 + 2 * i);
    if (version == 1) {
        for (int i = 0; i < 6; ++i)
            values->F[21 + i] = static_cast<float>(RegU32(block, 108 + 2 * i));
    } else {
        double c[14];
        for (int i = 0; i < 14; ++i)
            c[i] = static_cast<double>(static_cast<float>(RegU32(block, 108 + 2 * i)));
        SpreadV2Counters(c, values->F);
    }
    return kLinkOk;
}

int DecodeCurrentHolding(int version, const quint8 *block, int length, CurrentValues *values)
{
    if (version != 1 && version != 2)
        return kLinkWrongAnswer;
    if (length < (version == 1 ? kHoldingBlockV1 : kHoldingBlockV2))
        return kLinkWrongAnswer;
    const int timeResult = ComposeTime(RegU16(block, 0) + 2000, RegU16(block, 1), RegU16(block, 2), RegU16(block, 3),
        RegU16(block, 4), RegU16(block, 5), &values->time);
    if (timeResult != kLinkOk)
        return timeResult;
    values->Scheme1 = RegU16(block, 16);
    values->Scheme2 = RegU16(block, 17);
    values->TCold_Summer = Scaled(RegU16(block, 26), 0.01);
    values->TCold_Winter = Scaled(RegU16(block, 27), 0.01);
    for (int i = 0; i < kNSCount; ++i)
        values->NS[i] = RegU16(block, 28 + i);
    values->GMin1 = RegReal(block, 84);
    values->GMin2 = RegReal(block, 88);
    if (version == 2) {
        values->GMax1 = RegReal(block, 94);
        values->GMax2 = RegReal(block, 98);
    }
    return kLinkOk;
}

int DecodeCurrentV1(
    const quint8 *inputBlock, int inputLength, const quint8 *holdingBlock, int holdingLength, CurrentValues *values)
{
    CurrentValues decoded;
    int result = DecodeCurrentInput(1, inputBlock, inputLength, &decoded);
    if (result == kLinkOk)
        result = DecodeCurrentHolding(1, holdingBlock, holdingLength, &decoded);
    if (result == kLinkOk)
        *values = decoded;
    return result;
}

int DecodeCurrentV2(
    const quint8 *inputBlock, int inputLength, const quint8 *holdingBlock, int holdingLength, CurrentValues *values)
{
    CurrentValues decoded;
    int result = DecodeCurrentInput(2, inputBlock, inputLength, &decoded);
    if (result == kLinkOk)
        result = DecodeCurrentHolding(2, holdingBlock, holdingLength, &decoded);
    if (result == kLinkOk)
        *values = decoded;
    return result;
}

int DecodeArchiveParams(const quint8 *block, int length, qint16 P[kArchiveParamCount])
{
    if (length < 2 * kArchiveParamCount)
        return kLinkWrongAnswer;
    for (int i = 0; i < kArchiveParamCount; ++i)
        P[i] = RegS16(block, i);
    return kLinkOk;
}

int DecodeArchiveTime(const quint8 *record, int length, double *time)
{
    if (length < 4)
        return kLinkWrongAnswer;
    if (EmptySlot(record))
        return kLinkNoRecord;
    const int hour = record[3] > 23 ? 0 : record[3];
    return ComposeTime(record[0] + 2000, record[1], record[2], hour, 0, 0, time);
}

int DecodeArchiveFields(int version, int kind, const quint8 *record, int length, ArchiveValues *values,
    TotalsSnapshot *snapshot, bool *snapshotFilled)
{
    if (snapshotFilled)
        *snapshotFilled = false;
    if ((version != 1 && version != 2) || kind < kArchiveHourly || kind > kArchiveMonthly)
        return kLinkWrongAnswer;
    if (length < (version == 1 ? kArchiveRecordV1 : kArchiveRecordV2))
        return kLinkWrongAnswer;

    for (int i = 0; i < 11; ++i)
        values->F[i] = RecReal(record, 4 + 4 * i);
    for (int i = 0; i < 4; ++i)
        values->F[11 + i] = Scaled(RecS16(record, 48 + 2 * i), 0.01);
    for (int i = 0; i < 4; ++i)
        values->F[15 + i] = Scaled(RecU16(record, 56 + 2 * i), 0.001);
    values->F[19] = RecS16(record, 64);
    values->F[20] = RecU16(record, 66);
    values->status = record[68];

    if (version == 1) {
        for (int i = 0; i < kNSCount; ++i)
            values->NS[i] = record[69 + i];
        for (int i = 0; i < 6; ++i)
            values->F[21 + i] = RecU16(record, 74 + 2 * i);
        return kLinkOk;
    }

    for (int i = 0; i < kNSCount; ++i)
        values->NS[i] = RecU16(record, 70 + 2 * i);
    double c[14];
    for (int i = 0; i < 14; ++i)
        c[i] = RecU16(record, 80 + 2 * i);
    SpreadV2Counters(c, values->F);

    if (kind != kArchiveHourly && length >= kArchiveRecordV2Totals && snapshot) {
        TotalsSnapshot totals;
        for (int i = 0; i < kDCount; ++i)
            totals.D[i] = RecReal(record, 110 + 4 * i);
        double t[14];
        for (int i = 0; i < 14; ++i)
            t[i] = static_cast<double>(static_cast<float>(RecU32(record, 154 + 4 * i)));
        SpreadV2Counters(t, totals.F);
        *snapshot = totals;
        if (snapshotFilled)
            *snapshotFilled = true;
    }
    return kLinkOk;
}

int DecodeArchiveRecord(int version, int kind, const quint8 *record, int length, ArchiveValues *values,
    TotalsSnapshot *snapshot, bool *snapshotFilled)
{
    if (snapshotFilled)
        *snapshotFilled = false;
    ArchiveValues decoded;
    int result = DecodeArchiveTime(record, length, &decoded.time);
    if (result != kLinkOk)
        return result;
    result = DecodeArchiveFields(version, kind, record, length, &decoded, snapshot, snapshotFilled);
    if (result == kLinkOk)
        *values = decoded;
    return result;
}

int DecodeJournalRecord(const quint8 *record, int length, JournalEntryRaw *entry)
{
    if (length < kJournalRecord)
        return kLinkWrongAnswer;
    if (EmptySlot(record))
        return kLinkNoRecord;
    JournalEntryRaw raw;
    raw.year = record[0];
    raw.month = record[1];
    raw.day = record[2];
    raw.hour = record[3];
    raw.minute = record[4];
    raw.second = record[5];
    raw.eventCode = RecU16(record, 6);
    for (int i = 0; i < 4; ++i) {
        raw.oldValue[i] = record[8 + i];
        raw.newValue[i] = record[12 + i];
    }
    *entry = raw;
    return kLinkOk;
}

int ArchiveRecordCount(int a, int b, int c)
{
    return b <= a ? a - b : a - b + c + 1;
}

int ArchiveRecordIndex(int a, int b, int c, int back)
{
    const int count = ArchiveRecordCount(a, b, c);
    const int k = count - back - 1;
    if (k < 0)
        return -1;
    int slot = b + k;
    if (slot > c)
        slot -= c + 1;
    return slot;
}

int JournalRecordIndex(int c, int b, int a, int n)
{
    const qint16 c16 = static_cast<qint16>(c);
    const qint16 b16 = static_cast<qint16>(b);
    const qint16 a16 = static_cast<qint16>(a);
    const qint16 n16 = static_cast<qint16>(n);
    qint16 slot;
    if (a16 >= b16)
        slot = static_cast<qint16>(a16 - n16 - 1);
    else if (n16 > a16)
        slot = static_cast<qint16>(a16 - n16 + c16);
    else
        slot = static_cast<qint16>(a16 - n16);
    if (slot < 0)
        slot = static_cast<qint16>(slot + c16);
    if (n16 > c16)
        return -1;
    return slot;
}

} // namespace qst
