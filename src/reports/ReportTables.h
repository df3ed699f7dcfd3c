#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace qst {

struct ArchiveRecord;

enum ReportKind {
    kHourlyReport = 0,
    kDailyReport = 1,
    kMonthlyReport = 2,
    kJournalReport = 3,
};

enum HeatSystem {
    kHeatSystem1 = 0, // "ТС1"
    kHeatSystem2 = 1, // "ТС2"
    kColdWater = 2,   // "ХВС"
};

constexpr int kTs2Items = 17;
constexpr int kTs3Items = 6;

// What the report page selects, filled alike by the GUI, qst-cli and the tests.
struct ReportSelection
{
    QString dataRoot;
    QString serial;         // the meter's Serial as the registry holds it; names the files
    int heatSystem = kHeatSystem1; // TSCB
    int kind = kDailyReport;       // TypeRG
    QDateTime from;         // FromCB
    QDateTime to;           // ToCB
    bool ts2[kTs2Items] = {}; // TS2CBG: heat systems 1 and 2
    bool ts3[kTs3Items] = {}; // TS3CBG: cold water

    bool Checked(int item) const { return heatSystem == kColdWater ? ts3[item] : ts2[item]; }
    int ItemCount() const { return heatSystem == kColdWater ? kTs3Items : kTs2Items; }
};

// The statement's fixed selection: daily, items 0-3 and 7-13 set, the rest clear, cold
// water replaced by heat system 1.
void ApplyStatementSelection(ReportSelection &selection);

// The data rows of a report as text lines: each cell followed by TAB; a data row of the
// archive kinds carries the row's raw abnormal-situation words after its last TAB.
using RowList = QStringList;

// Single-precision sums over the rows: Q, the two masses, the two volumes, operating and
// stop hours of the selected heat system (cold water: V5, operating, stop hours first).
struct ReportTotals
{
    float values[7] = {};
};

struct ReportPeriod
{
    double start = 0; // 00:00 of the start date
    double end = 0;   // 23:59:59.999 of the end date
};

ReportPeriod MakeReportPeriod(const ReportSelection &selection);

// The archive files of a kind that cover [from, to]: the month files (hourly) or year files
// (daily) from the month or year of `from` to that of `to`, or MA.dat (monthly); existing or
// not. None for a serial that is not a number.
QStringList ArchiveFilesBetween(const ReportSelection &selection, int kind, double from, double to);

// The time of the newest stored record of the selection's kind (0 without files); for
// the journal, `now` minus one day.
double NewestArchiveTime(const ReportSelection &selection, const QDateTime &now = QDateTime::currentDateTime());

// Empty when the report may go on; otherwise the message to show.
QString CheckPeriod(const ReportSelection &selection, const QDateTime &now = QDateTime::currentDateTime());

QString BuildHeaderLine(const ReportSelection &selection);

// Clears `rows` and fills it; returns the number of table columns. A journal period without
// entries (or a meter without a journal file) gets the header and one row "записей нет".
int BuildProtocolRows(const ReportSelection &selection, RowList &rows, float *operatingHours, float *stopHours,
                      ReportTotals *totals);

// The statement table's own hour totals, as its "Итого" row shows them.
struct StatementHours
{
    double work = 0; // Траб
    double stop = 0; // Тнс
};

// The statement's rows: date-only first cell, operating and stop hours reduced by the flow
// limit hours (version 1) and topped up to a full day. Every day of the period has a row;
// a day without a record is marked "нет данных" and counts as a whole day of stop. The
// averages of the temperatures are weighted by the day's mass (supply by the first mass,
// return by the second). `totals` keep the calculator's own hours; the stop-hours output
// the topped-up ones.
int BuildStatementRows(const ReportSelection &selection, RowList &rows, float *operatingHours, float *stopHours,
                       ReportTotals *totals, float gmin, float gmax, int version, StatementHours *shown = nullptr);

int CountFlags(int word);
// Names of the set bits 0..7 of a word, row 1..5 of the flag table, joined by LF.
QString FlagNames(int row, int word);

// Hours with flow below Gmin and above Gmax, and the dt-fault stop hours, over the hourly
// records in [from, to] of the report period's month files.
struct FlowLimits
{
    float tmax = 0;
    float tmin = 0;
    float tdt = 0;
};
FlowLimits FlowLimitHours(const ReportSelection &selection, double from, double to, float gmin, float gmax);

// The six downtime counters of the selected heat system summed over the period's hourly
// records (second-version lines only carry them).
void SumDowntimeCounters(const ReportSelection &selection, float sums[6]);

// Flow limits and version as the statement takes them: the current-values file's GMin,
// GMax and Version, with the diameter table and range ratio where the file has zeros.
struct StatementLimits
{
    float gmin = 0;
    float gmax = 0;
    int version = 1;
};
StatementLimits ReadStatementLimits(const QString &dataRoot, const QString &serial, int du, int measuringClass,
                                    int heatSystem);

// The statement's rows the way first designed: every row reads the hourly files of the
// whole period again for its flow limit hours. Same rows and numbers as
// BuildStatementRows; kept as the benchmark's baseline.
int BuildStatementRowsRereading(const ReportSelection &selection, RowList &rows, float *operatingHours,
                                float *stopHours, ReportTotals *totals, float gmin, float gmax, int version,
                                StatementHours *shown = nullptr);

// The five terms of the statement's line "Топ = Траб+Тmax+Тmin+Тdt+Тош" from the statement's
// operating and stop hours: version 1 by the flow limits over the period, version 2 by the
// calculator's downtime counters, where the hours no counter covers (a day without records,
// a short day) join the last term so the terms add up to the period.
struct DowntimeTerms
{
    double work = 0;
    double tmax = 0;
    double tmin = 0;
    double tdt = 0;
    double other = 0;
};
DowntimeTerms StatementDowntime(const ReportSelection &selection, int version, float gmin, float gmax,
                                double operatingHours, double stopHours);

} // namespace qst
