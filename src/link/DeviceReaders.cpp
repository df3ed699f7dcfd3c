#include "link/DeviceReaders.h"

#include "link/ModbusRtu.h"

namespace qst {

namespace {

// Answer bytes before record byte 0 of a function-0x41 answer.
constexpr int kRecordOffset = 7;
// Identification answer bytes the readers use: the version and the snapshot flag.
constexpr int kIdVersionByte = 9;
constexpr int kIdSnapshotByte = 10;

// The record size the layout of this version and kind uses, for fast framing; 0 if unknown.
int RecordLayoutLength(int version, int archiveKind)
{
    if (archiveKind == kArchiveJournal)
        return kJournalRecord;
    if (version == 1)
        return kArchiveRecordV1;
    if (version == 2)
        return archiveKind == kArchiveHourly ? kArchiveRecordV2 : kArchiveRecordV2Totals;
    return 0;
}

int ReadRecord(int version, quint8 address, int archiveKind, int recordIndex, SerialPort &port, int waitMs,
    quint8 lineState, ArchiveValues *values, TotalsSnapshot *snapshot, bool *snapshotFilled, LinkClock &clock)
{
    if (snapshotFilled)
        *snapshotFilled = false;
    AnswerFrame answer;
    const int result = ArchiveRequest(
        address, archiveKind, recordIndex, port, waitMs, lineState, &answer, clock, RecordLayoutLength(version, archiveKind));
    if (result != kLinkOk)
        return result;
    const int length = answer.length - kRecordOffset - 2;
    return DecodeArchiveRecord(
        version, archiveKind, answer.bytes + kRecordOffset, length, values, snapshot, snapshotFilled);
}

} // namespace

int ReadSerialNumber(quint8 address, SerialPort &port, int waitMs, quint8 lineState, quint16 *serial, LinkClock &clock)
{
    quint8 block[4] = {};
    const int result = ReadHoldingRegisters(address, 8, sizeof block, port, waitMs, block, lineState, clock);
    if (result == kLinkOk)
        *serial = static_cast<quint16>((block[0] << 8) | block[1]);
    return result;
}

int ReadDeviceId(quint8 address, SerialPort &port, int waitMs, quint8 lineState, bool *snapshotFlag, LinkClock &clock)
{
    AnswerFrame answer;
    const int result = IdentificationRequest(address, port, waitMs, lineState, &answer, clock);
    if (result != kLinkOk)
        return result;
    if (answer.length < kIdSnapshotByte + 1 + 2)
        return kLinkWrongAnswer;
    *snapshotFlag = answer.bytes[kIdSnapshotByte] != 0;
    return answer.bytes[kIdVersionByte];
}

int ReadArchiveParams(
    quint8 address, SerialPort &port, int waitMs, quint8 lineState, qint16 P[kArchiveParamCount], LinkClock &clock)
{
    quint8 block[2 * kArchiveParamCount] = {};
    const int result = ReadInputRegisters(address, 6, sizeof block, port, waitMs, block, lineState, clock);
    if (result != kLinkOk)
        return result;
    return DecodeArchiveParams(block, sizeof block, P);
}

int ReadCurrentV1(
    quint8 address, SerialPort &port, int waitMs, quint8 lineState, CurrentValues *values, LinkClock &clock)
{
    quint8 input[kInputBlockV1] = {};
    quint8 holding[kHoldingBlockV1] = {};
    int result = ReadInputRegisters(address, 0, kInputBlockV1, port, waitMs, input, lineState, clock);
    if (result != kLinkOk)
        return result;
    result = ReadHoldingRegisters(address, 0, kHoldingBlockV1, port, waitMs, holding, lineState, clock);
    if (result != kLinkOk)
        return result;
    return DecodeCurrentV1(input, sizeof input, holding, sizeof holding, values);
}

int ReadCurrentV2(
    quint8 address, SerialPort &port, int waitMs, quint8 lineState, CurrentValues *values, LinkClock &clock)
{
    quint8 input[kInputBlockV2] = {};
    quint8 holding[kHoldingBlockV2] = {};
    int result = ReadInputRegisters(address, 0, kInputHalfV2, port, waitMs, input, lineState, clock);
    if (result != kLinkOk)
        return result;
    result = ReadInputRegisters(
        address, kInputHalfV2 / 2, kInputHalfV2, port, waitMs, input + kInputHalfV2, lineState, clock);
    if (result != kLinkOk)
        return result;
    result = ReadHoldingRegisters(address, 0, kHoldingBlockV2, port, waitMs, holding, lineState, clock);
    if (result != kLinkOk)
        return result;
    return DecodeCurrentV2(input, sizeof input, holding, sizeof holding, values);
}

int ReadArchiveRecordV1(quint8 address, int archiveKind, int recordIndex, SerialPort &port, int waitMs,
    quint8 lineState, ArchiveValues *values, LinkClock &clock)
{
    return ReadRecord(1, address, archiveKind, recordIndex, port, waitMs, lineState, values, nullptr, nullptr, clock);
}

int ReadArchiveRecordV2(quint8 address, int archiveKind, int recordIndex, SerialPort &port, int waitMs,
    quint8 lineState, ArchiveValues *values, TotalsSnapshot *snapshot, bool *snapshotFilled, LinkClock &clock)
{
    return ReadRecord(
        2, address, archiveKind, recordIndex, port, waitMs, lineState, values, snapshot, snapshotFilled, clock);
}

int ReadJournalRecord(quint8 address, int recordIndex, SerialPort &port, int waitMs, quint8 lineState,
    JournalEntryRaw *entry, LinkClock &clock)
{
    AnswerFrame answer;
    const int result = ArchiveRequest(
        address, kArchiveJournal, recordIndex, port, waitMs, lineState, &answer, clock, kJournalRecord);
    if (result != kLinkOk)
        return result;
    return DecodeJournalRecord(answer.bytes + kRecordOffset, answer.length - kRecordOffset - 2, entry);
}

} // namespace qst
