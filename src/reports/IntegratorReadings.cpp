#include "IntegratorReadings.h"

#include "ReportTexts.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/RegionalFormat.h"
#include "common/TextFile.h"
#include "storage/ArchiveFiles.h"

#include <cmath>
#include <tuple>

namespace qst {

namespace {

constexpr double kSecond = 1.0 / 86400.0;

IntegratorVector HistoryVector(const CurrentHistoryRecord &h, int system)
{
    switch (system) {
    case kHeatSystem1:
        return {h.totals[0], h.totals[2], h.totals[3], h.totals[6], h.totals[7], h.hours[0], h.hours[1]};
    case kHeatSystem2:
        return {h.totals[1], h.totals[4], h.totals[5], h.totals[8], h.totals[9], h.hours[2], h.hours[3]};
    default:
        return {h.totals[10], h.hours[4], h.hours[5], 0, 0, 0, 0};
    }
}

IntegratorVector ArchiveVector(const ArchiveRecord &r, int system)
{
    switch (system) {
    case kHeatSystem1:
        return {r.values[0], r.values[2], r.values[3], r.values[6], r.values[7], r.hours[0], r.hours[1]};
    case kHeatSystem2:
        return {r.values[1], r.values[4], r.values[5], r.values[8], r.values[9], r.hours[2], r.hours[3]};
    default:
        return {r.values[10], r.hours[4], r.hours[5], 0, 0, 0, 0};
    }
}

int Positions(int system)
{
    return system == kColdWater ? 3 : 7;
}

QString Cell(int system, int position, float value)
{
    // Q and hours "0.##"; masses and volumes "0.###" (cold water: V "0.###", hours "0.##").
    const bool threeDecimals = system == kColdWater ? position == 0 : (position >= 1 && position <= 4);
    return FormatFixed(value, 0, threeDecimals ? 3 : 2) + u'\t';
}

// The bounds of the months whose records (stamped on the first at 00:00) lie in [start, end]:
// the first of the first such month, and the last millisecond of the last one. Without such a
// month both bounds are the same moment, so the result is nothing.
std::pair<double, double> WholeMonths(double start, double end)
{
    const QDate a = DateFromDayCount(start);
    const QDate b = DateFromDayCount(end);
    if (!a.isValid() || !b.isValid())
        return {start, end};
    QDate first(a.year(), a.month(), 1);
    if (DayCountToMs(DayCountFromDate(first)) < DayCountToMs(start))
        first = first.addMonths(1);
    const double from = DayCountFromDate(first);
    const double to = DayCountFromDate(QDate(b.year(), b.month(), 1).addMonths(1)) - 1.0 / kMsPerDay;
    return {from, std::max(from, to)};
}

} // namespace

QString FindNearestHistoryLine(const ReportSelection &s, double x)
{
    quint16 serial = 0;
    const QDate d = DateFromDayCount(x);
    if (!ParseSerial(s.serial, &serial) || !d.isValid())
        return {};
    const QDate month(d.year(), d.month(), 1);
    QString best;
    double bestDistance = 9999999;
    for (const QDate m : {month.addMonths(-1), month, month.addMonths(1)}) {
        for (const QString &line : LoadLines(DataFilePath(s.dataRoot, DataKind::History, serial, m.year(), m.month()))) {
            const qsizetype tab = line.indexOf(u'\t');
            double t = 0;
            if (!TryParseReal(tab < 0 ? QStringView(line) : QStringView(line).left(tab), &t))
                continue;
            const double distance = std::abs(t - x);
            if (distance < bestDistance) {
                bestDistance = distance;
                best = line;
            }
        }
    }
    return best;
}

IntegratorVector BoundaryCorrection(const ReportSelection &s, int kind, double b, double e)
{
    IntegratorVector c{};
    quint16 serial = 0;
    if (!ParseSerial(s.serial, &serial))
        return c;
    const double length = kind == kHourlyReport ? 1.0 / 24.0 : 1.0;
    const double rate = kind == kHourlyReport ? 24.0 : 1.0;
    const double from = b >= e ? e : b;
    const double to = b >= e ? b : e + length;

    IntegratorVector sum{}, first{}, last{};
    double firstEnd = 0, lastEnd = 0;
    bool any = false;
    // Monthly reports are corrected with daily records: their length of one day fits period
    // boundaries, which always fall on whole days.
    for (const QString &file : ArchiveFilesBetween(s, kind == kHourlyReport ? kHourlyReport : kDailyReport, from, to)) {
        for (const QString &line : LoadArchiveLines(file)) {
            ArchiveRecord r;
            if (!TryParseArchiveLine(line, &r))
                continue;
            const double recordEnd = r.time + length - kSecond;
            if (recordEnd < from + 0.5 * kSecond || recordEnd > to)
                continue;
            const IntegratorVector v = ArchiveVector(r, s.heatSystem);
            for (int i = 0; i < 7; ++i)
                sum[i] += v[i];
            if (!any) {
                first = v;
                firstEnd = recordEnd;
                any = true;
            }
            last = v;
            lastEnd = recordEnd;
        }
    }
    if (b >= e) {
        const float share = static_cast<float>((e - firstEnd) * rate);
        for (int i = 0; i < 7; ++i)
            c[i] = first[i] - sum[i] + share * first[i];
    } else {
        const float share = static_cast<float>((e - lastEnd + length) * rate);
        for (int i = 0; i < 7; ++i)
            c[i] = sum[i] - last[i] + share * last[i];
    }
    return c;
}

int BuildIntegratorRows(const ReportSelection &s, RowList &rows, double start, double end, const ReportTotals &totals,
                        int kind)
{
    const int system = s.heatSystem;
    const int n = Positions(system);
    if (kind == kMonthlyReport)
        std::tie(start, end) = WholeMonths(start, end);
    const QString startLine = FindNearestHistoryLine(s, start);
    const QString endLine = FindNearestHistoryLine(s, end);
    CurrentHistoryRecord startRecord, endRecord;
    const bool hasStart = !startLine.isEmpty() && TryParseHistoryLine(startLine, &startRecord);
    const bool hasEnd = !endLine.isEmpty() && TryParseHistoryLine(endLine, &endRecord);

    IntegratorVector previous{}, cumulative{};
    IntegratorVector total{};
    std::copy(totals.values, totals.values + 7, total.begin());
    if (hasStart) {
        const IntegratorVector v = HistoryVector(startRecord, system);
        const IntegratorVector c = BoundaryCorrection(s, kind, start, startRecord.time);
        for (int i = 0; i < 7; ++i)
            previous[i] = v[i] - c[i];
    }
    if (hasEnd) {
        const IntegratorVector v = HistoryVector(endRecord, system);
        const IntegratorVector c = BoundaryCorrection(s, kind, end, endRecord.time);
        for (int i = 0; i < 7; ++i)
            cumulative[i] = v[i] - c[i];
    }
    for (int i = 0; i < 7; ++i) {
        if (hasStart && !hasEnd)
            cumulative[i] = previous[i] + total[i];
        else if (!hasStart && hasEnd)
            previous[i] = cumulative[i] - total[i];
        else if (!hasStart && !hasEnd)
            cumulative[i] = total[i];
    }
    for (int i = 0; i < 7; ++i) {
        previous[i] = std::max(previous[i], 0.f);
        cumulative[i] = std::max(cumulative[i], 0.f);
    }

    rows.clear();
    rows.append(texts::IntegratorHeader(system));
    QString p = texts::kPreviousReadings + u'\t';
    QString c = texts::kCumulativeReadings + u'\t';
    QString r = texts::kReadingsResult + u'\t';
    for (int i = 0; i < n; ++i) {
        p += Cell(system, i, previous[i]);
        c += Cell(system, i, cumulative[i]);
        r += Cell(system, i, cumulative[i] - previous[i]);
    }
    rows.append(p);
    rows.append(c);
    rows.append(r);
    return n + 1;
}

QList<QStringList> BuildStatementReadings(const ReportSelection &s, const ReportTotals &totals,
                                          const StatementHours &hours)
{
    const ReportPeriod period = MakeReportPeriod(s);
    RowList readings;
    BuildIntegratorRows(s, readings, period.start, period.end, totals, s.kind);
    // The numbers are read back from their texts, so the table shows what the lines show.
    double previous[8] = {}, cumulative[8] = {}, result[8] = {};
    for (const QString &line : std::as_const(readings)) {
        const QStringList cells = line.split(u'\t');
        double *target = cells.value(0) == texts::kPreviousReadings     ? previous
                         : cells.value(0) == texts::kCumulativeReadings ? cumulative
                         : cells.value(0) == texts::kReadingsResult     ? result
                                                                        : nullptr;
        if (!target)
            continue;
        for (int k = 1; k < cells.size() && k < 8; ++k)
            TryParseReal(cells[k], &target[k]);
    }
    const auto text = [](double value) { return FormatPattern(value, u"0.##"); };
    return {
        {texts::kIntegratorsTitle, texts::kReadingsPrevious, texts::kReadingsCurrent, texts::kReadingsResultHeading},
        {texts::kReadingsHeat, text(previous[1]), text(cumulative[1]), text(result[1])},
        {texts::kReadingsMass1, text(previous[2]), text(cumulative[2]), text(result[2])},
        {texts::kReadingsMass2, text(previous[3]), text(cumulative[3]), text(result[3])},
        {texts::kReadingsWork, text(previous[6]), text(previous[6] + hours.work), text(hours.work)},
        {texts::kReadingsStop, text(previous[7]), text(previous[7] + hours.stop), text(hours.stop)},
    };
}

} // namespace qst
