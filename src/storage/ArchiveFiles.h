#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <utility>

namespace qst {

class ProfileFile;

// One archive line (hourly, daily, monthly files).
struct ArchiveRecord
{
    double time = 0;
    float values[19] = {}; // Q1, Q2, M1..M4, V1..V5, T1..T4, P1..P4
    float t5 = 0;          // field 20 x 0.01, degC
    float p5 = 0;          // field 21 x 0.001, kgf/cm2
    float status = 0;      // field 22
    int ns[5] = {};        // fields 23..27
    float hours[18] = {};  // fields 28..45 in hours
};

// One current-values history line.
struct CurrentHistoryRecord
{
    double time = 0;
    float totals[11] = {};        // Q1, Q2, M11, M12, M21, M22, V11, V12, V21, V22, V3 (fields 11..21)
    float tempsPressures[10] = {}; // fields 1..10
    float rates[11] = {};         // fields 22..32
    int ns[5] = {};               // fields 33..37
    float hours[18] = {};         // fields 38..55 in hours
};

// One journal line.
struct JARecord
{
    double time = 0;
    QString text;
    QString oldValue;
    QString newValue;
};

constexpr int kArchiveFieldsV1 = 34;
constexpr int kArchiveFieldsV2 = 46;
constexpr int kHistoryFieldsV1 = 44;
constexpr int kHistoryFieldsV2 = 56;

// Builds a tab-separated line: every field, the last included, followed by TAB.
class LineBuilder
{
public:
    LineBuilder &Time(double dayCount);
    LineBuilder &Real(double value);
    LineBuilder &Int(qint64 value);
    LineBuilder &Text(const QString &text);
    const QString &line() const { return m_line; }

private:
    QString m_line;
};

QString BuildJournalLine(double time, const QString &text, const QString &oldValue, const QString &newValue);

// The fields of a line: the texts before each TAB (text after the last TAB is not a field).
QList<QStringView> SplitFields(QStringView line);

// Readers: short lines leave fields at zero or empty, extra fields are ignored. A field
// that does not convert throws StorageError (or makes the Try form return false).
ArchiveRecord ParseArchiveLine(QStringView line);
// False for a damaged line: a field that does not parse, or fewer fields than either
// version's layout (34 or at least 46): a line cut short is not a record of zeros.
bool TryParseArchiveLine(QStringView line, ArchiveRecord *record);
// The lines of an hourly, daily or monthly file as a reader uses them: of lines sharing one
// time only the last stays (the one the ordered insert would have kept); `repeated` counts
// the lines dropped. Throws StorageError as LoadLines does.
QStringList LoadArchiveLines(const QString &path, int *repeated = nullptr);
CurrentHistoryRecord ParseHistoryLine(QStringView line);
bool TryParseHistoryLine(QStringView line, CurrentHistoryRecord *record);
JARecord ParseJournalLine(QStringView line);
bool TryParseJournalLine(QStringView line, JARecord *record);

// The time of a line (field 0 through ParseReal); throws StorageError.
double LineTime(QStringView line);

// Creates the folder of a meter's file when it is missing, one level only: a missing DATA
// is an error, not something to create here. Throws StorageError.
void EnsureMeterFolder(const QString &filePath);

// Puts the line into its place by time in an archive or history file (see the file's
// ordering rule): a new time is inserted between its neighbours, an equal time (to the
// second) is replaced only with overwrite set. A line whose time does not convert makes
// the call fail before anything is written. Creates the meter folder when missing.
// Returns whether the new line stands in the file (false: an equal time kept its line).
// repairDamaged (hourly, daily, monthly files): a stored line of the same time that is
// damaged (TryParseArchiveLine refuses it) is replaced even without overwrite.
bool InsertArchiveLine(const QString &path, const QString &line, double time, bool overwrite,
                       bool repairDamaged = false);

// Puts a journal line after the lines of earlier times; among lines of its own time it
// goes directly after the first, unless an identical line is there already. Returns
// true for such a duplicate (nothing inserted).
bool InsertJournalLine(const QString &path, const QString &line, double time);

struct TimedLine
{
    QString line;
    double time = 0;
};

// Batch forms: the file is loaded and written once, and ends up byte for byte as after
// the single calls in the given order. On a conversion error the lines before the
// failing one are stored (as the single calls would have) and the error is thrown.
void InsertArchiveLines(const QString &path, const QList<TimedLine> &lines, bool overwrite);
QList<bool> InsertJournalLines(const QString &path, const QList<TimedLine> &lines);

// The current-values file rule: the keys are written, in the given order, only when the
// stored "DTFloat" (default 0) is smaller than the new time. Returns whether it wrote.
bool WriteCurrentValuesIfNewer(ProfileFile &file, double time, const QList<std::pair<QString, QString>> &keys);

inline const QString kCurrDataSection = QStringLiteral("CURRDATA");

} // namespace qst
