#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QtGlobal>

namespace qst {

enum class GapKind {
    Hourly,
    Daily,
    Monthly,
};

// Consecutive missing record times: first and last as day counts, count of records.
struct GapRun
{
    double first = 0;
    double last = 0;
    qint64 count = 0;
};

// The record times of a kind that have no stored line, between from and to (both
// included; from is taken up to the next record time, to down to the previous one).
// Record times are whole hours, midnights and first days of months of the wall clock,
// so every day has 24 hours whatever the time zone. A line counts when its time field
// reads as a record time of this kind inside the file it belongs to and the line holds a
// whole layout of either version (a line cut short is a gap; field contents are not parsed). Each file is read once; nothing is written. Throws StorageError only when
// a file exists but cannot be read.
QList<GapRun> FindGaps(const QString &dataRoot, quint16 serial, GapKind kind, double from, double to);

// The time of the meter's oldest stored record of a kind (0 when none): before it lies
// history never collected, not a hole.
double OldestRecordTime(const QString &dataRoot, quint16 serial, GapKind kind);

// The time field of a raw file line (the text before its first TAB); false without one.
bool ReadLineTimeBytes(QByteArrayView line, double *time);

qint64 MissingCount(const QList<GapRun> &runs);

// The record time a kind's slot number stands for and back; slots count hours, days or
// months of the wall clock in integers. A day count off the grid gives false.
double GapSlotTime(GapKind kind, qint64 slot);
bool GapSlotOf(GapKind kind, double dayCount, qint64 *slot);
// The first slot at or after the day count, and the last at or before it.
qint64 GapSlotCeil(GapKind kind, double dayCount);
qint64 GapSlotFloor(GapKind kind, double dayCount);

QString GapKindName(GapKind kind); // "hourly", "daily", "monthly"
bool ParseGapKind(QStringView text, GapKind *kind);

} // namespace qst
