#pragma once

#include "common/DeviceValues.h"

#include <QString>

namespace qst {

struct JournalDecodeStruct
{
    double date = 0;     // the entry's date at 00:00
    double dateTime = 0; // the entry's date and time
    QString displayText; // "dd/mm/yy hh:nn:ss", or a page marker
    QString recordText;
    QString oldValue;
    QString newValue;
};

// Turn a raw journal entry into its texts. False for a blank or erased journal page,
// which is not stored. An impossible entry time is no error: it is marked and the entry
// keeps time zero.
bool DecodeJournalV1(JournalDecodeStruct &out, const JournalEntryRaw &raw);
bool DecodeJournalV2(JournalDecodeStruct &out, const JournalEntryRaw &raw);
// Version 2 selects the second decoder, anything else the first.
bool DecodeJournal(int version, JournalDecodeStruct &out, const JournalEntryRaw &raw);

// The 16 bytes of an entry as a calculator stores them.
JournalEntryRaw JournalEntryFromBytes(const quint8 bytes[16]);

} // namespace qst
