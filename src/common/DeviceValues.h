#pragma once

#include <QtGlobal>

namespace qst {

// The value sets the device readers and the dump import hand to the writers and the
// journal decoders. Element meanings and units are fixed by the writers; raw positions
// and encodings by the readers.

constexpr int kFCount = 39; // version 1 fills F[0..26]
constexpr int kDCount = 11;
constexpr int kNSCount = 5;

struct CurrentValues
{
    double time = 0;            // day count of the calculator's clock
    float F[kFCount] = {};
    double D[kDCount] = {};     // totals Q1, Q2, M11, M12, M21, M22, V11, V12, V21, V22, V3
    quint16 NS[kNSCount] = {};
    int Scheme1 = 0;
    int Scheme2 = 0;
    float TCold_Summer = 0;
    float TCold_Winter = 0;
    float GMin1 = 0;
    float GMin2 = 0;
    float GMax1 = 0;            // version 2 only
    float GMax2 = 0;
};

struct ArchiveValues
{
    double time = 0;            // start of the interval
    float F[kFCount] = {};
    quint16 NS[kNSCount] = {};
    quint8 status = 0;          // the record's status byte, stored as a signed decimal
};

// Totals at the end of a version-2 daily or monthly record: D and F[21..38] carry values,
// the rest is zero.
struct TotalsSnapshot
{
    double D[kDCount] = {};
    float F[kFCount] = {};
    quint16 NS[kNSCount] = {};
};

// One journal record's parts in the byte order received.
struct JournalEntryRaw
{
    quint8 year = 0; // year - 2000
    quint8 month = 0;
    quint8 day = 0;
    quint8 hour = 0;
    quint8 minute = 0;
    quint8 second = 0;
    quint16 eventCode = 0;
    quint8 oldValue[4] = {};
    quint8 newValue[4] = {};
};

// Version-2 time counters c[0..13] into F[21..38]: F[27..38] = c[0..11], F[25] = c[12],
// F[26] = c[13], F[21] = c[0], F[22] = c[1..5] summed, F[23] = c[6], F[24] = c[7..11] summed.
inline void SpreadV2Counters(const double c[14], float F[kFCount])
{
    for (int i = 0; i < 12; ++i)
        F[27 + i] = static_cast<float>(c[i]);
    F[25] = static_cast<float>(c[12]);
    F[26] = static_cast<float>(c[13]);
    F[21] = static_cast<float>(c[0]);
    F[22] = static_cast<float>(c[1] + c[2] + c[3] + c[4] + c[5]);
    F[23] = static_cast<float>(c[6]);
    F[24] = static_cast<float>(c[7] + c[8] + c[9] + c[10] + c[11]);
}

} // namespace qst
