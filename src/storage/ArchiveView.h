#pragma once

#include "storage/ArchiveFiles.h"

#include <QDate>
#include <QList>
#include <QString>
#include <QTime>

namespace qst {

enum class ArchivePageKind {
    Hourly,
    Daily,
    Monthly,
};

// A period of the archive pages; a record is shown when from <= its time <= to (compared
// to the millisecond, so a time read back from its 15-digit text still meets an end).
struct ArchivePeriod
{
    double from = 0;
    double to = 0;
    bool Contains(double time) const;
};

ArchivePeriod HourlyPeriod(const QDate &fromDate, const QTime &fromTime, const QDate &toDate, const QTime &toTime);
ArchivePeriod DailyPeriod(const QDate &fromDate, const QDate &toDate);
// From the 1st of the from-month to the 28th (not the last day) of the to-month.
ArchivePeriod MonthlyPeriod(const QDate &fromDate, const QDate &toDate);
ArchivePeriod JournalPeriod(const QDate &fromDate, const QTime &fromTime, const QDate &toDate, const QTime &toTime);

// The files a refresh reads, in calendar order (existing or not).
QStringList ArchiveFilesForPeriod(const QString &dataRoot, quint16 serial, ArchivePageKind kind,
                                  const ArchivePeriod &period);

// A stored line a reader could not use: damaged (a field that does not parse, or cut short)
// or repeated (another line of the same time comes later and is used instead).
struct ArchiveDamage
{
    double time = 0;
    bool repeated = false;
};

// The records of the period in file order; unreadable files and lines are left out (and
// counted in `skipped` when given). Of lines sharing one time the last is used. Damaged and
// repeated lines whose time reads are listed in `damage` when given, and reported once per
// load on the program's warning channel. A serial text that is not a serial number gives no
// records.
QList<ArchiveRecord> LoadArchiveRecords(const QString &dataRoot, const QString &serialText, ArchivePageKind kind,
                                        const ArchivePeriod &period, int *skipped = nullptr,
                                        QList<ArchiveDamage> *damage = nullptr);
QList<JARecord> LoadJournalRecords(const QString &dataRoot, const QString &serialText, const ArchivePeriod &period,
                                   int *skipped = nullptr);
// The current-values history of the months the period touches.
QList<CurrentHistoryRecord> LoadHistoryRecords(const QString &dataRoot, const QString &serialText,
                                               const ArchivePeriod &period, int *skipped = nullptr);

// The value of field n of an archive line as the reader delivers it (field 0 is the time).
double ArchiveField(const ArchiveRecord &record, int field);

// The three tables of an archive page: heat system 1, heat system 2, cold water.
enum class ArchiveTable {
    HeatSystem1,
    HeatSystem2,
    ColdWater,
};

// A column of an archive table, shared by the pages and the export.
struct ArchiveColumn
{
    QString title;
    int field;               // field of the archive line; 0 the time stamp
    int minusField;          // > 0: the column is field minus this field, in single precision
    const char16_t *pattern; // null: plain integer
};

QList<ArchiveColumn> ArchiveColumns(ArchiveTable table);
double ArchiveColumnValue(const ArchiveRecord &record, const ArchiveColumn &column);

struct ClearChoice
{
    bool journal = false;
    bool hourly = false;
    bool daily = false;
    bool monthly = false;
};

// Removes the records stamped before the cut: whole files of earlier years (and months)
// from 1990 on, earlier lines of the cut's own file. Lines whose time cannot be read stay.
void ClearArchive(const QString &dataRoot, const QString &serialText, const QDateTime &cut,
                  const ClearChoice &choice);

} // namespace qst
