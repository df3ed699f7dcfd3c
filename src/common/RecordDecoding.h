#pragma once

#include "common/DeviceValues.h"
#include "common/LinkResult.h"

#include <QtGlobal>

namespace qst {

// The calculator's register map and record layouts as pure functions over byte blocks,
// shared by the readers and the dump import. Each checks its block lengths and returns
// kLinkOk, kLinkNoRecord (record slot empty), kLinkWrongAnswer (block too short for the
// layout) or kLinkImpossibleDate (date or time bytes that form no calendar time; nothing
// is thrown). Register blocks start at register 0 and are high byte first; records are
// counted from record byte 0 (answer byte 7) and are little-endian.

// Archive kinds, the kind byte of a record request.
constexpr int kArchiveHourly = 0;
constexpr int kArchiveDaily = 1;
constexpr int kArchiveMonthly = 2;
constexpr int kArchiveJournal = 3;

// Bytes of each block the layouts use.
constexpr int kInputBlockV1 = 240; // input registers 0..119
constexpr int kInputBlockV2 = 272; // input registers 0..135
constexpr int kInputHalfV2 = 136; // version 2 reads them in two halves
constexpr int kHoldingBlockV1 = 186; // holding registers 0..92
constexpr int kHoldingBlockV2 = 206; // holding registers 0..102
constexpr int kArchiveRecordV1 = 86;
constexpr int kArchiveRecordV2 = 108; // without the totals at the end
constexpr int kArchiveRecordV2Totals = 210; // daily and monthly records with their totals
constexpr int kJournalRecord = 16;
constexpr int kArchiveParamCount = 12;

// Input registers from register 0 into F[0..38] and D[0..10] of values (version 1 or 2);
// the other fields are left as they are.
int DecodeCurrentInput(int version, const quint8 *block, int length, CurrentValues *values);
// Holding registers from register 0: clock, NS, schemes, contract temperatures, flow
// limits (maximum flows for version 2 only); the other fields are left as they are.
int DecodeCurrentHolding(int version, const quint8 *block, int length, CurrentValues *values);
// Both blocks into a fresh CurrentValues.
int DecodeCurrentV1(
    const quint8 *inputBlock, int inputLength, const quint8 *holdingBlock, int holdingLength, CurrentValues *values);
int DecodeCurrentV2(
    const quint8 *inputBlock, int inputLength, const quint8 *holdingBlock, int holdingLength, CurrentValues *values);

// Input registers 6..17 (24 bytes) into P[0..11], as signed 16-bit numbers.
int DecodeArchiveParams(const quint8 *block, int length, qint16 P[kArchiveParamCount]);

// Record bytes 0..3 into a day count: 0xFF in any of them gives kLinkNoRecord, an hour
// above 23 is taken as 0.
int DecodeArchiveTime(const quint8 *record, int length, double *time);
// The values of an archive record without its time (version 1 or 2, kind 0, 1 or 2).
// For version 2, kinds 1 and 2, a record that holds the totals fills snapshot and sets
// *snapshotFilled; otherwise snapshot is left alone and *snapshotFilled cleared. Both
// pointers may be null.
int DecodeArchiveFields(int version, int kind, const quint8 *record, int length, ArchiveValues *values,
    TotalsSnapshot *snapshot, bool *snapshotFilled);
// Time and values together: a fresh ArchiveValues.
int DecodeArchiveRecord(int version, int kind, const quint8 *record, int length, ArchiveValues *values,
    TotalsSnapshot *snapshot, bool *snapshotFilled = nullptr);

// A journal record's parts as received; 0xFF in any of record bytes 0..3 gives
// kLinkNoRecord. The time bytes are not checked: the journal decoders judge them.
int DecodeJournalRecord(const quint8 *record, int length, JournalEntryRaw *entry);

// Records an archive ring holds (0: empty).
int ArchiveRecordCount(int a, int b, int c);
// Ring slot of the record back records before the newest (0 = newest), or -1.
// a: slot the next record takes, b: slot of the oldest record, c: highest slot number.
int ArchiveRecordIndex(int a, int b, int c, int back);
// Journal slot of the entry n entries before the newest, in 16-bit signed arithmetic;
// a negative result means there is no such entry.
int JournalRecordIndex(int c, int b, int a, int n);

} // namespace qst
