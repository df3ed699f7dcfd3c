#pragma once

#include "common/DeviceValues.h"
#include "link/LinkClock.h"
#include "common/LinkResult.h"
#include "common/RecordDecoding.h"
#include "link/SerialPort.h"

#include <QtGlobal>

namespace qst {

// The readers: one or two transactions each, decoded by RecordDecoding.h. All take the
// calculator's address, the open port, the wait in ms (2000 in the exchange thread) and
// the line state (1 over a modem, 0 on a direct line). They return kLinkOk, kLinkNoRecord
// for an empty record slot, or a negative code of LinkResult.h; on anything but kLinkOk
// the outputs are untouched.

int ReadSerialNumber(quint8 address, SerialPort &port, int waitMs, quint8 lineState, quint16 *serial,
    LinkClock &clock = SystemLinkClock());

// The calculator's version (answer byte 9; 0 or any other number is returned as the
// device says it) or a negative code; *snapshotFlag is set when answer byte 10 is not 0.
int ReadDeviceId(quint8 address, SerialPort &port, int waitMs, quint8 lineState, bool *snapshotFlag,
    LinkClock &clock = SystemLinkClock());

int ReadArchiveParams(quint8 address, SerialPort &port, int waitMs, quint8 lineState, qint16 P[kArchiveParamCount],
    LinkClock &clock = SystemLinkClock());

// The first failing request ends the read with its code. A clock with an impossible date
// gives kLinkImpossibleDate.
int ReadCurrentV1(quint8 address, SerialPort &port, int waitMs, quint8 lineState, CurrentValues *values,
    LinkClock &clock = SystemLinkClock());
int ReadCurrentV2(quint8 address, SerialPort &port, int waitMs, quint8 lineState, CurrentValues *values,
    LinkClock &clock = SystemLinkClock());

// archiveKind 0 hourly, 1 daily, 2 monthly. A record with an impossible date gives
// kLinkImpossibleDate.
int ReadArchiveRecordV1(quint8 address, int archiveKind, int recordIndex, SerialPort &port, int waitMs,
    quint8 lineState, ArchiveValues *values, LinkClock &clock = SystemLinkClock());
// For daily and monthly records that carry their totals, snapshot is filled and
// *snapshotFilled set (snapshotFilled may be null); a record without them leaves
// snapshot untouched and *snapshotFilled cleared.
int ReadArchiveRecordV2(quint8 address, int archiveKind, int recordIndex, SerialPort &port, int waitMs,
    quint8 lineState, ArchiveValues *values, TotalsSnapshot *snapshot, bool *snapshotFilled = nullptr,
    LinkClock &clock = SystemLinkClock());

int ReadJournalRecord(quint8 address, int recordIndex, SerialPort &port, int waitMs, quint8 lineState,
    JournalEntryRaw *entry, LinkClock &clock = SystemLinkClock());

} // namespace qst
