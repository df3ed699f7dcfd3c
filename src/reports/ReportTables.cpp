#include "ReportTables.h"

#include "ReportTexts.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/ProfileFile.h"
#include "common/RegionalFormat.h"
#include "common/TextFile.h"
#include "storage/ArchiveFiles.h"
#include "storage/MeterTables.h"

#include <QDir>
#include <QRegularExpression>

#include <cmath>
#include <functional>

namespace qst {

namespace {

constexpr double kMs = 1.0 / kMsPerDay;

QString Fixed2(double v)
{
    return FormatFixed(v, 2, 2);
}

QString Fixed3(double v)
{
    return FormatFixed(v, 3, 3);
}

bool SerialOf(const ReportSelection &s, quint16 *serial)
{
    return ParseSerial(s.serial, serial);
}

// Every convertible line of the files whose time lies in [from, to], in file and line order.
template <typename Visit>
void ForEachRecord(const QStringList &files, double from, double to, Visit visit)
{
    for (const QString &file : files) {
        for (const QString &line : LoadArchiveLines(file)) {
            double t = 0;
            const qsizetype tab = line.indexOf(u'\t');
            if (!TryParseReal(tab < 0 ? QStringView(line) : QStringView(line).left(tab), &t))
                continue;
            if (t < from || t > to)
                continue;
            ArchiveRecord r;
            if (!TryParseArchiveLine(line, &r))
                continue;
            visit(r);
        }
    }
}

// The seven values of a record for the selected system, in ReportTotals order.
void SystemVector(const ArchiveRecord &r, int system, float out[7])
{
    if (system == kHeatSystem1) {
        const float v[7] = {r.values[0], r.values[2], r.values[3], r.values[6], r.values[7], r.hours[0], r.hours[1]};
        std::copy(v, v + 7, out);
    } else if (system == kHeatSystem2) {
        const float v[7] = {r.values[1], r.values[4], r.values[5], r.values[8], r.values[9], r.hours[2], r.hours[3]};
        std::copy(v, v + 7, out);
    } else {
        const float v[7] = {r.values[10], r.hours[4], r.hours[5], 0, 0, 0, 0};
        std::copy(v, v + 7, out);
    }
}

FlowLimits CountFlowLimits(const ArchiveRecord &r, int system, float gmin, float gmax, FlowLimits acc)
{
    if (system == kColdWater)
        return acc;
    const int a = system == kHeatSystem1 ? r.ns[0] : r.ns[2];
    const int b = system == kHeatSystem1 ? r.ns[1] : r.ns[3];
    const float stop = system == kHeatSystem1 ? r.hours[1] : r.hours[3];
    const float volume = system == kHeatSystem1 ? r.values[6] : r.values[8];
    if ((a | b) & 4) {
        acc.tdt += stop;
    } else {
        if (volume < gmin)
            acc.tmin += 1;
        if (volume > gmax)
            acc.tmax += 1;
    }
    return acc;
}

// The order in which items make cells: 0..11, 15, 16, 12, 13, 14 (cold water 0..5).
QList<int> ItemOrder(const ReportSelection &s)
{
    if (s.heatSystem == kColdWater)
        return {0, 1, 2, 3, 4, 5};
    return {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 15, 16, 12, 13, 14};
}

QString DayMonthHeader(const ReportSelection &s, int item, int cell)
{
    return texts::HeaderCell(s.heatSystem, item, cell);
}

// Sum and count of one averaged column.
struct Mean
{
    float sum = 0;
    float count = 0;
    float Value() const { return sum / (count == 0 ? 1 : count); }
};

// A temperature averaged by the mass that carried it; days with a zero temperature are left
// out as the plain means leave them out.
struct WeightedMean
{
    double weighted = 0;
    double mass = 0;
    Mean plain;

    void Add(float temperature, float m)
    {
        if (temperature == 0)
            return;
        weighted += static_cast<double>(temperature) * m;
        mass += m;
        plain.sum += temperature;
        plain.count += 1;
    }
    // Without any mass (no flow over the period) the plain mean stands in.
    double Value() const { return mass > 0 ? weighted / mass : plain.Value(); }
};

struct PairSums
{
    float plus = 0;
    float minus = 0;
};

void AddPair(QString &row, float d, PairSums &sums, bool keep)
{
    if (d > 0) {
        row += Fixed3(d) + u'\t' + texts::kNoValue + u'\t';
        if (keep)
            sums.plus += d;
    } else if (d < 0) {
        row += texts::kNoValue + u'\t' + Fixed3(-d) + u'\t';
        if (keep)
            sums.minus += -d;
    } else {
        row += texts::kNoValue + u'\t' + texts::kNoValue + u'\t';
    }
}

// Per-row flow-limit hours of the statement: (from, to) of the row's day in, limits out.
using DayLimits = std::function<FlowLimits(double from, double to)>;

int BuildArchiveRows(const ReportSelection &s, RowList &rows, float *operatingHours, float *stopHours,
                     ReportTotals *totals, bool statement, int version, const DayLimits &dayLimits,
                     StatementHours *shown)
{
    const ReportPeriod period = MakeReportPeriod(s);
    const bool cold = s.heatSystem == kColdWater;
    const int sys = s.heatSystem;
    const QString header = BuildHeaderLine(s);
    rows.clear();
    rows.append(header);

    // Field indexes of the selected system.
    const int q = sys == kHeatSystem2 ? 1 : 0;
    const int m1 = sys == kHeatSystem2 ? 4 : 2, m2 = m1 + 1;
    const int v1 = sys == kHeatSystem2 ? 8 : 6, v2 = v1 + 1;
    const int t1 = sys == kHeatSystem2 ? 13 : 11, t2 = t1 + 1;
    const int p1 = sys == kHeatSystem2 ? 17 : 15, p2 = p1 + 1;
    const int work = cold ? 4 : (sys == kHeatSystem2 ? 2 : 0), stop = work + 1;
    const int ns1 = cold ? 4 : (sys == kHeatSystem2 ? 2 : 0);

    float sumQ = 0, sumM1 = 0, sumM2 = 0, sumV1 = 0, sumV2 = 0, sumWork = 0, sumStop = 0;
    double shownWork = 0, shownStop = 0;
    PairSums dm, dv;
    Mean meanT1, meanT2, meanDt, meanP1, meanP2, meanT5, meanP5;
    WeightedMean weightedT1, weightedT2;
    ReportTotals acc;
    int previousDay = -1;
    int previousMonth = -1;
    const QList<int> order = ItemOrder(s);

    const auto repeatHeader = [&](const QDate &date) {
        if (rows.size() > 1) {
            if ((s.kind == kHourlyReport && date.day() != previousDay)
                || (s.kind == kDailyReport && date.month() != previousMonth))
                rows.append(header);
        }
        previousDay = date.day();
        previousMonth = date.month();
    };

    // The statement shows every day of its period: a day without a record is marked and
    // counts as a whole day of stop, so the period's hours cover the whole period.
    const bool everyDay = statement && !cold && s.kind == kDailyReport;
    QDate nextDay = DateFromDayCount(period.start);
    const QDate lastDay = DateFromDayCount(period.end);
    const auto missingDaysBefore = [&](const QDate &until) {
        if (!everyDay)
            return;
        for (; nextDay.isValid() && nextDay < until; nextDay = nextDay.addDays(1)) {
            repeatHeader(nextDay);
            QString row = DateText(nextDay) + u'\t';
            bool marked = false;
            for (int item : order) {
                if (!s.ts2[item])
                    continue;
                const int cells = (item == 3 || item == 6) ? 2 : 1;
                for (int c = 0; c < cells; ++c) {
                    if (item == 12) {
                        row += Fixed2(0);
                    } else if (item == 13) {
                        row += Fixed2(24);
                    } else if (!marked && item != 14) {
                        row += texts::kNoData;
                        marked = true;
                    }
                    row += u'\t';
                }
            }
            rows.append(row);
            sumStop += 24;
            shownStop += 24;
        }
    };

    ForEachRecord(ArchiveFilesBetween(s, s.kind, period.start, period.end), period.start, period.end,
                  [&](const ArchiveRecord &r) {
        const QDate date = DateFromDayCount(r.time);
        missingDaysBefore(date);
        if (everyDay && date >= nextDay)
            nextDay = date.addDays(1);
        repeatHeader(date);

        float vector[7];
        SystemVector(r, sys, vector);

        QString row = statement && !cold ? DateText(date) + u'\t' : DateTimeText(r.time) + u'\t';
        if (cold) {
            sumV1 += r.values[10];
            sumWork += r.hours[work];
            sumStop += r.hours[stop];
            for (int item : order) {
                if (!s.ts3[item])
                    continue;
                switch (item) {
                case 0: row += Fixed3(r.values[10]) + u'\t'; break;
                case 1:
                    row += Fixed2(r.t5) + u'\t';
                    meanT5.sum += r.t5;
                    meanT5.count += r.t5 != 0;
                    break;
                case 2:
                    row += Fixed2(r.p5) + u'\t';
                    meanP5.sum += r.p5;
                    meanP5.count += r.p5 != 0;
                    break;
                case 3: row += Fixed2(r.hours[work]) + u'\t'; break;
                case 4: row += Fixed2(r.hours[stop]) + u'\t'; break;
                case 5: row += QString::number(CountFlags(r.ns[4])) + u'\t'; break;
                }
            }
            row += QString::number(r.ns[4]);
            rows.append(row);
            for (int i = 0; i < 7; ++i)
                acc.values[i] += vector[i];
            return;
        }

        float workHours = r.hours[work];
        float stopHours = r.hours[stop];
        float shownW = workHours, shownS = stopHours;
        if (statement) {
            const FlowLimits limits = version == 1 ? dayLimits(DayCountFromDate(date),
                                                               DayCountFromDate(date) + 86399.0 / 86400.0)
                                                   : FlowLimits{};
            if (workHours + stopHours < 24)
                stopHours = 24 - workHours;
            shownW = workHours - limits.tmax - limits.tmin;
            shownS = stopHours + limits.tmax + limits.tmin;
            shownWork += shownW;
            shownStop += shownS;
        }
        for (int i = 0; i < 7; ++i)
            acc.values[i] += vector[i];
        sumQ += r.values[q];
        sumM1 += r.values[m1];
        sumM2 += r.values[m2];
        sumV1 += r.values[v1];
        sumV2 += r.values[v2];
        sumWork += workHours;
        sumStop += stopHours;
        weightedT1.Add(r.values[t1], r.values[m1]);
        weightedT2.Add(r.values[t2], r.values[m2]);

        for (int item : order) {
            if (!s.ts2[item])
                continue;
            switch (item) {
            case 0: row += Fixed2(r.values[q]) + u'\t'; break;
            case 1: row += Fixed3(r.values[m1]) + u'\t'; break;
            case 2: row += Fixed3(r.values[m2]) + u'\t'; break;
            case 3: AddPair(row, r.values[m1] - r.values[m2], dm, true); break;
            case 4: row += Fixed3(r.values[v1]) + u'\t'; break;
            case 5: row += Fixed3(r.values[v2]) + u'\t'; break;
            case 6: AddPair(row, r.values[v1] - r.values[v2], dv, true); break;
            case 7:
                row += Fixed2(r.values[t1]) + u'\t';
                meanT1.sum += r.values[t1];
                meanT1.count += r.values[t1] != 0;
                break;
            case 8:
                row += Fixed2(r.values[t2]) + u'\t';
                meanT2.sum += r.values[t2];
                meanT2.count += r.values[t2] != 0;
                break;
            case 9: {
                const float d = r.values[t1] - r.values[t2];
                row += Fixed2(d) + u'\t';
                meanDt.sum += d;
                meanDt.count += r.values[t1] != r.values[t2];
                break;
            }
            case 10:
                row += Fixed2(r.values[p1]) + u'\t';
                meanP1.sum += r.values[p1];
                meanP1.count += r.values[p1] != 0;
                break;
            case 11:
                row += Fixed2(r.values[p2]) + u'\t';
                meanP2.sum += r.values[p2];
                meanP2.count += r.values[p2] != 0;
                break;
            case 15:
                row += Fixed2(r.t5) + u'\t';
                meanT5.sum += r.t5;
                meanT5.count += r.t5 != 0;
                break;
            case 16:
                row += Fixed2(r.p5) + u'\t';
                meanP5.sum += r.p5;
                meanP5.count += r.p5 != 0;
                break;
            case 12: row += Fixed2(shownW) + u'\t'; break;
            case 13: row += Fixed2(shownS) + u'\t'; break;
            case 14: row += QString::number(CountFlags(r.ns[ns1]) + CountFlags(r.ns[ns1 + 1])) + u'\t'; break;
            }
        }
        row += QString::number(r.ns[ns1]) + u' ' + QString::number(r.ns[ns1 + 1]);
        rows.append(row);
    });
    if (everyDay)
        missingDaysBefore(lastDay.addDays(1));

    QString total = texts::kTotalRow + u'\t';
    QString mean = texts::kMeanRow + u'\t';
    const QString empty = QStringLiteral("\t");
    if (cold) {
        for (int item : order) {
            if (!s.ts3[item])
                continue;
            switch (item) {
            case 0: total += Fixed3(sumV1) + u'\t'; mean += empty; break;
            case 1: total += empty; mean += Fixed2(meanT5.Value()) + u'\t'; break;
            case 2: total += empty; mean += Fixed2(meanP5.Value()) + u'\t'; break;
            case 3: total += Fixed2(sumWork) + u'\t'; mean += empty; break;
            case 4: total += Fixed2(sumStop) + u'\t'; mean += empty; break;
            case 5: total += empty; mean += empty; break;
            }
        }
    } else {
        for (int item : order) {
            if (!s.ts2[item])
                continue;
            switch (item) {
            case 0: total += Fixed2(sumQ) + u'\t'; mean += empty; break;
            case 1: total += Fixed3(sumM1) + u'\t'; mean += empty; break;
            case 2: total += Fixed3(sumM2) + u'\t'; mean += empty; break;
            case 3: total += Fixed3(dm.plus) + u'\t' + Fixed3(dm.minus) + u'\t'; mean += empty + empty; break;
            case 4: total += Fixed3(sumV1) + u'\t'; mean += empty; break;
            case 5: total += Fixed3(sumV2) + u'\t'; mean += empty; break;
            case 6: total += Fixed3(dv.plus) + u'\t' + Fixed3(dv.minus) + u'\t'; mean += empty + empty; break;
            // The statement's headings call its temperatures weighted by the flow.
            case 7: total += empty; mean += Fixed2(statement ? weightedT1.Value() : meanT1.Value()) + u'\t'; break;
            case 8: total += empty; mean += Fixed2(statement ? weightedT2.Value() : meanT2.Value()) + u'\t'; break;
            case 9:
                total += empty;
                mean += Fixed2(statement ? weightedT1.Value() - weightedT2.Value() : meanDt.Value()) + u'\t';
                break;
            case 10: total += empty; mean += Fixed2(meanP1.Value()) + u'\t'; break;
            case 11: total += empty; mean += Fixed2(meanP2.Value()) + u'\t'; break;
            case 15: total += empty; mean += Fixed2(meanT5.Value()) + u'\t'; break;
            case 16: total += empty; mean += Fixed2(meanP5.Value()) + u'\t'; break;
            case 12: total += Fixed2(statement ? shownWork : sumWork) + u'\t'; mean += empty; break;
            case 13: total += Fixed2(statement ? shownStop : sumStop) + u'\t'; mean += empty; break;
            case 14: total += empty; mean += empty; break;
            }
        }
    }
    rows.append(total);
    rows.append(mean);

    if (operatingHours)
        *operatingHours = sumWork;
    if (stopHours)
        *stopHours = sumStop;
    if (totals)
        *totals = acc;
    if (shown)
        *shown = StatementHours{statement ? shownWork : sumWork, statement ? shownStop : sumStop};

    int columns = 1;
    for (int item = 0; item < s.ItemCount(); ++item)
        columns += s.Checked(item) ? 1 : 0;
    if (!cold)
        columns += (s.ts2[3] ? 1 : 0) + (s.ts2[6] ? 1 : 0);
    return columns;
}

// A period without entries, or a meter without a journal file, still shows the headings and
// says so in a row of its own, rather than leaving an empty table.
int BuildJournalRows(const ReportSelection &s, RowList &rows)
{
    rows.clear();
    rows.append(texts::JournalHeader());
    quint16 serial = 0;
    const QString path = SerialOf(s, &serial) ? DataFilePath(s.dataRoot, DataKind::Journal, serial) : QString();
    const ReportPeriod period = MakeReportPeriod(s);
    for (const QString &line : path.isEmpty() ? QStringList() : LoadLines(path)) {
        const qsizetype tab = line.indexOf(u'\t');
        double t = 0;
        if (!TryParseReal(tab < 0 ? QStringView(line) : QStringView(line).left(tab), &t))
            continue;
        if (t < period.start || t > period.end)
            continue;
        rows.append(DateTimeText(t) + (tab < 0 ? QString() : line.mid(tab)));
    }
    if (rows.size() == 1)
        rows.append(texts::kNoEntries + u'\t');
    return 4;
}

// All hourly records of the report period, read once, in file and line order.
QList<ArchiveRecord> PeriodHourlyRecords(const ReportSelection &s)
{
    const ReportPeriod period = MakeReportPeriod(s);
    QList<ArchiveRecord> records;
    ForEachRecord(ArchiveFilesBetween(s, kHourlyReport, period.start, period.end), -1e300, 1e300,
                  [&](const ArchiveRecord &r) { records.append(r); });
    return records;
}

} // namespace

QStringList ArchiveFilesBetween(const ReportSelection &s, int kind, double from, double to)
{
    QStringList files;
    quint16 serial = 0;
    if (!SerialOf(s, &serial))
        return files;
    const QDate a = DateFromDayCount(from);
    const QDate b = DateFromDayCount(to);
    if (!a.isValid() || !b.isValid())
        return files;
    if (kind == kHourlyReport) {
        for (QDate m(a.year(), a.month(), 1); m <= b; m = m.addMonths(1))
            files.append(DataFilePath(s.dataRoot, DataKind::Hourly, serial, m.year(), m.month()));
    } else if (kind == kDailyReport) {
        for (int y = a.year(); y <= b.year(); ++y)
            files.append(DataFilePath(s.dataRoot, DataKind::Daily, serial, y));
    } else if (kind == kMonthlyReport) {
        files.append(DataFilePath(s.dataRoot, DataKind::Monthly, serial));
    }
    return files;
}

void ApplyStatementSelection(ReportSelection &s)
{
    s.kind = kDailyReport;
    if (s.heatSystem == kColdWater)
        s.heatSystem = kHeatSystem1;
    for (int i = 0; i < kTs2Items; ++i)
        s.ts2[i] = (i <= 3) || (i >= 7 && i <= 13);
}

ReportPeriod MakeReportPeriod(const ReportSelection &s)
{
    ReportPeriod p;
    const qint64 fromMs = DayCountToMs(DayCountFromDateTime(s.from));
    const qint64 toMs = DayCountToMs(DayCountFromDateTime(s.to));
    const auto floorDiv = [](qint64 a, qint64 b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); };
    const qint64 startMs = floorDiv(fromMs, kMsPerDay) * kMsPerDay;
    const qint64 endMs = (floorDiv(toMs + kMsPerDay - 1, kMsPerDay)) * kMsPerDay - 1;
    p.start = static_cast<double>(startMs) / kMsPerDay;
    p.end = static_cast<double>(endMs) / kMsPerDay;
    return p;
}

double NewestArchiveTime(const ReportSelection &s, const QDateTime &now)
{
    if (s.kind == kJournalReport)
        return DayCountFromDateTime(now) - 1;
    quint16 serial = 0;
    if (!SerialOf(s, &serial))
        return 0;
    const DataKind kind = s.kind == kHourlyReport ? DataKind::Hourly
                                                  : (s.kind == kDailyReport ? DataKind::Daily : DataKind::Monthly);
    const QDir folder(MeterFolderPath(s.dataRoot, kind, serial));
    // Newest first by the year and month the names carry (months are not zero-padded).
    static const QRegularExpression hourlyName(QStringLiteral("^(\\d{4})(\\d{1,2})\\.dat$"),
                                               QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression dailyName(QStringLiteral("^(\\d{4})\\.dat$"),
                                              QRegularExpression::CaseInsensitiveOption);
    QList<std::pair<int, QString>> files;
    for (const QString &name : folder.entryList({QStringLiteral("*.dat")}, QDir::Files)) {
        if (kind == DataKind::Hourly) {
            const auto m = hourlyName.match(name);
            const int month = m.hasMatch() ? m.captured(2).toInt() : 0;
            if (month >= 1 && month <= 12)
                files.append({m.captured(1).toInt() * 100 + month, name});
        } else if (kind == DataKind::Daily) {
            const auto m = dailyName.match(name);
            if (m.hasMatch())
                files.append({m.captured(1).toInt(), name});
        } else if (name.compare(QStringLiteral("MA.dat"), Qt::CaseInsensitive) == 0) {
            files.append({0, name});
        }
    }
    std::sort(files.begin(), files.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    // An empty newest file, or one ending in lines that do not convert, does not hide the
    // data before it: the last line that converts counts, in this file or an older one.
    for (const auto &[key, name] : files) {
        const QStringList lines = LoadLines(folder.filePath(name));
        for (qsizetype i = lines.size() - 1; i >= 0; --i) {
            const qsizetype tab = lines[i].indexOf(u'\t');
            double t = 0;
            if (TryParseReal(tab < 0 ? QStringView(lines[i]) : QStringView(lines[i]).left(tab), &t))
                return t;
        }
    }
    return 0;
}

QString CheckPeriod(const ReportSelection &s, const QDateTime &now)
{
    const ReportPeriod p = MakeReportPeriod(s);
    if (p.start >= p.end)
        return texts::kStartAfterEnd;
    const double newest = NewestArchiveTime(s, now);
    if (newest <= 0)
        return texts::kNoArchiveData;
    // A monthly record holds its whole month, so the month's last day may end the period;
    // otherwise the newest month could never be reported with its integrators.
    if (s.kind == kMonthlyReport) {
        const QDate month = DateFromDayCount(newest);
        const double nextMonth = DayCountFromDate(QDate(month.year(), month.month(), 1).addMonths(1));
        if (p.end >= nextMonth)
            return texts::EndTooLate(DateTimeText(nextMonth));
        return {};
    }
    if (p.end > newest + 1)
        return texts::EndTooLate(DateTimeText(newest));
    return {};
}

QString BuildHeaderLine(const ReportSelection &s)
{
    QString line = texts::kDateCell + u'\t';
    for (int item : ItemOrder(s)) {
        if (!s.Checked(item))
            continue;
        line += DayMonthHeader(s, item, 0) + u'\t';
        if (s.heatSystem != kColdWater && (item == 3 || item == 6))
            line += DayMonthHeader(s, item, 1) + u'\t';
    }
    return line;
}

int BuildProtocolRows(const ReportSelection &s, RowList &rows, float *operatingHours, float *stopHours,
                      ReportTotals *totals)
{
    if (s.kind == kJournalReport)
        return BuildJournalRows(s, rows);
    return BuildArchiveRows(s, rows, operatingHours, stopHours, totals, false, 1, {}, nullptr);
}

int BuildStatementRows(const ReportSelection &s, RowList &rows, float *operatingHours, float *stopHours,
                       ReportTotals *totals, float gmin, float gmax, int version, StatementHours *shown)
{
    if (s.kind == kJournalReport)
        return BuildJournalRows(s, rows);
    // The hourly files of the period are read once; each row filters its own day.
    QList<ArchiveRecord> hourly;
    if (version == 1)
        hourly = PeriodHourlyRecords(s);
    const int system = s.heatSystem;
    return BuildArchiveRows(s, rows, operatingHours, stopHours, totals, true, version,
                            [&](double from, double to) {
        FlowLimits limits;
        for (const ArchiveRecord &r : std::as_const(hourly)) {
            if (r.time >= from && r.time <= to)
                limits = CountFlowLimits(r, system, gmin, gmax, limits);
        }
        return limits;
    }, shown);
}

int BuildStatementRowsRereading(const ReportSelection &s, RowList &rows, float *operatingHours, float *stopHours,
                                ReportTotals *totals, float gmin, float gmax, int version, StatementHours *shown)
{
    if (s.kind == kJournalReport)
        return BuildJournalRows(s, rows);
    return BuildArchiveRows(s, rows, operatingHours, stopHours, totals, true, version,
                            [&](double from, double to) { return FlowLimitHours(s, from, to, gmin, gmax); },
                            shown);
}

int CountFlags(int word)
{
    int n = 0;
    for (int bit = 0; bit < 8; ++bit)
        n += (word >> bit) & 1;
    return n;
}

QString FlagNames(int row, int word)
{
    QStringList names;
    for (int bit = 0; bit < 8; ++bit) {
        if ((word >> bit) & 1) {
            const QString name = texts::FaultFlagName(row, bit);
            names.append(name);
        }
    }
    return names.join(u'\n');
}

FlowLimits FlowLimitHours(const ReportSelection &s, double from, double to, float gmin, float gmax)
{
    const ReportPeriod period = MakeReportPeriod(s);
    FlowLimits limits;
    ForEachRecord(ArchiveFilesBetween(s, kHourlyReport, period.start, period.end), from, to,
                  [&](const ArchiveRecord &r) { limits = CountFlowLimits(r, s.heatSystem, gmin, gmax, limits); });
    return limits;
}

void SumDowntimeCounters(const ReportSelection &s, float sums[6])
{
    std::fill(sums, sums + 6, 0.f);
    const ReportPeriod period = MakeReportPeriod(s);
    const int first = s.heatSystem == kHeatSystem2 ? 12 : 6;
    ForEachRecord(ArchiveFilesBetween(s, kHourlyReport, period.start, period.end), period.start, period.end,
                  [&](const ArchiveRecord &r) {
        for (int i = 0; i < 6; ++i)
            sums[i] += r.hours[first + i];
    });
}

DowntimeTerms StatementDowntime(const ReportSelection &s, int version, float gmin, float gmax, double operating,
                                double stop)
{
    DowntimeTerms t;
    if (version == 2) {
        float sums[6] = {};
        SumDowntimeCounters(s, sums);
        t.work = sums[0];
        t.tmin = sums[1];
        t.tmax = sums[2];
        t.tdt = sums[3];
        t.other = static_cast<double>(sums[4]) + sums[5];
        const double uncounted = operating + stop - (t.work + t.tmax + t.tmin + t.tdt + t.other);
        if (uncounted > 0)
            t.other += uncounted;
        return t;
    }
    const ReportPeriod period = MakeReportPeriod(s);
    const FlowLimits f = FlowLimitHours(s, period.start, period.end, gmin, gmax);
    t.work = operating - f.tmin - f.tmax;
    t.tmax = f.tmax;
    t.tmin = f.tmin;
    t.tdt = f.tdt;
    t.other = stop - f.tdt;
    return t;
}

StatementLimits ReadStatementLimits(const QString &dataRoot, const QString &serialText, int du, int measuringClass,
                                    int heatSystem)
{
    StatementLimits limits;
    quint16 serial = 0;
    if (ParseSerial(serialText, &serial)) {
        ProfileFile file(DataFilePath(dataRoot, DataKind::CurrentValues, serial));
        limits.version = static_cast<int>(std::trunc(file.ReadReal(kCurrDataSection, QStringLiteral("Version"), 1)));
        const bool first = heatSystem == kHeatSystem1;
        limits.gmin = static_cast<float>(
            file.ReadReal(kCurrDataSection, first ? QStringLiteral("GMin1") : QStringLiteral("GMin2"), 0));
        limits.gmax = static_cast<float>(
            file.ReadReal(kCurrDataSection, first ? QStringLiteral("GMax1") : QStringLiteral("GMax2"), 0));
    }
    if (limits.gmin == 0)
        limits.gmin = MinFlowForDiameter(du);
    if (limits.gmax == 0)
        limits.gmax = limits.gmin * static_cast<float>(RangeRatio(measuringClass));
    return limits;
}

} // namespace qst
