#pragma once

#include "common/DeviceValues.h"

#include <QDateTime>
#include <QString>

#include <utility>

namespace qst {

class Registry;

// Where the writers store: the data root's DATA folder and the registry whose last-read
// marks they advance.
struct StorageTarget
{
    StorageTarget(QString root = {}, Registry *registryFile = nullptr, QDateTime clock = {})
        : dataRoot(std::move(root))
        , registry(registryFile)
        , now(std::move(clock))
    {
    }

    QString dataRoot;
    Registry *registry = nullptr;
    QDateTime now; // the computer's clock for the marks' limit; invalid: the system clock
};

// A time more than a day past the computer's clock: no calculator holds a record of an
// interval that has not ended, so such a date is impossible. A last-read mark never moves
// there, or every later scheduled poll would ask for nothing.
bool BeyondLatestPossible(double time, const QDateTime &now);

enum ArchiveKind {
    kHourlyArchive = 0,
    kDailyArchive = 1,
    kMonthlyArchive = 2,
};

// Whether every value can be written: NaN and infinities would become text that no reader
// takes back, spoiling the file for the views. The writers refuse such values.
bool Storable(const CurrentValues &values);
bool Storable(const ArchiveValues &values);
bool Storable(const TotalsSnapshot &snapshot);

// The lines as the files hold them.
QString BuildHistoryLine(int version, const CurrentValues &values);
QString BuildSnapshotHistoryLine(const TotalsSnapshot &snapshot, double time);
QString BuildArchiveLine(int version, const ArchiveValues &values);

// Each writer takes the meter's write lock; file errors (StorageError) go to the caller.

// The history line into the month's history file; the current-values file only when the
// reading is newer than the one it holds.
void SaveCurrentValues(const StorageTarget &target, int version, quint16 serial, bool overwrite,
                       const CurrentValues &values);
// A version-2 daily snapshot as a history line at `time` (the record's day plus one day).
void SaveCurrentSnapshot(const StorageTarget &target, quint16 serial, bool overwrite, const TotalsSnapshot &snapshot,
                         double time);
// The archive line into its file by kind and time; then the meter's LastH/LastD/LastM
// moves forward. sectionNumber 0: the meter is looked up by serial.
// advanceMark false: the line is stored but the mark stays (a record before it is missing).
// Returns whether the line now stands in the file (false: a stored line of that time was kept).
bool SaveArchiveLine(const StorageTarget &target, int version, quint16 serial, bool overwrite, int sectionNumber,
                     int kind, const ArchiveValues &values, bool advanceMark = true);
// The journal line at the date of `date` and the time of day of `timeOfDay`; LastJ moves
// forward. Returns true when the entry was already stored.
bool SaveJournalLine(const StorageTarget &target, quint16 serial, int sectionNumber, double date, double timeOfDay,
                     const QString &recordText, const QString &oldValue, const QString &newValue);

// The steps of the single writers that a batch writer repeats, so that both leave the
// same files and the same last-read marks.
// The meter's section: sectionNumber when above 0, else looked up by serial (0: none).
int FindSection(const StorageTarget &target, quint16 serial, int sectionNumber);
// LastH (date and time) or LastD/LastM (date) of section moves forward to time; nothing
// for section 0.
void AdvanceArchiveMark(const StorageTarget &target, int section, int kind, double time);
void AdvanceJournalMark(const StorageTarget &target, int section, double time);
QString ArchiveFilePath(const QString &dataRoot, quint16 serial, int kind, double time);
QString HistoryFilePath(const QString &dataRoot, quint16 serial, double time);
// The journal line's time: the date of `date` with the time of day of `timeOfDay`; 0 when
// either is outside the calendar.
double JournalLineTime(double date, double timeOfDay);

// The current-values file's texts of the abnormal-situation words.
QString NsPairText(quint16 first, quint16 second); // "НС1: a НС2: b"
QString NsSingleText(quint16 word);                // "НС: a"

} // namespace qst
