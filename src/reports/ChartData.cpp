#include "ChartData.h"

#include "common/DayCount.h"
#include "reports/ReportTables.h"
#include "storage/ArchiveView.h"

#include <QDateTime>

namespace qst {

namespace {

// Archive fields of a quantity for heat system 1 and 2; the cold-water ones ignore the system.
struct Source
{
    int field1;
    int field2;
    int minus1;
    int minus2;
    const char16_t *name1;
    const char16_t *name2;
};

const Source kSources[kChartQuantityCount] = {
    { 12, 14, 0, 0, u"Т1 (°С)", u"Т3 (°С)" },
    { 13, 15, 0, 0, u"Т2 (°С)", u"Т4 (°С)" },
    { 12, 14, 13, 15, u"Т1-Т2 (°С)", u"Т3-Т4 (°С)" },
    { 3, 5, 0, 0, u"М1 (тонн)", u"М3 (тонн)" },
    { 4, 6, 0, 0, u"М2 (тонн)", u"М4 (тонн)" },
    { 7, 9, 0, 0, u"V1 (м^3)", u"V3 (м^3)" },
    { 8, 10, 0, 0, u"V2 (м^3)", u"V4 (м^3)" },
    { 1, 2, 0, 0, u"Q (ГКал)", u"Q (ГКал)" },
    { 16, 18, 0, 0, u"Р1 (кгс/см^2)", u"Р3 (кгс/см^2)" },
    { 17, 19, 0, 0, u"Р2 (кгс/см^2)", u"Р4 (кгс/см^2)" },
    { 11, 11, 0, 0, u"V5 (м^3)", u"V5 (м^3)" },
    { 20, 20, 0, 0, u"Т5 (°С)", u"Т5 (°С)" },
    { 21, 21, 0, 0, u"Р5 (кгс/см^2)", u"Р5 (кгс/см^2)" },
};

// Whether b follows a directly (the next hour, day or month), to the second.
bool Follows(double a, double b, ChartInterval interval)
{
    const qint64 ams = DayCountToMs(a);
    const qint64 bms = DayCountToMs(b);
    switch (interval) {
    case ChartInterval::Hour:
        return bms - ams <= 3600 * 1000 + 999;
    case ChartInterval::Day:
        return bms - ams <= 86400 * 1000 + 999;
    case ChartInterval::Month:
        break;
    }
    const QDate da = DateFromDayCount(a);
    const QDate db = DateFromDayCount(b);
    return da.isValid() && db.isValid() && da.year() * 12 + da.month() + 1 >= db.year() * 12 + db.month();
}

double IntervalEnd(double time, ChartInterval interval)
{
    switch (interval) {
    case ChartInterval::Hour:
        return time + 1.0 / 24;
    case ChartInterval::Day:
        return time + 1;
    case ChartInterval::Month:
        break;
    }
    const QDate d = DateFromDayCount(time);
    return d.isValid() ? DayCountFromDate(d.addMonths(1)) : time + 30;
}

} // namespace

ChartAxis AxisOf(int quantity)
{
    switch (quantity) {
    case kChartT1:
    case kChartT2:
    case kChartDT:
    case kChartT5:
        return ChartAxis::Temperature;
    case kChartP1:
    case kChartP2:
    case kChartP5:
        return ChartAxis::Pressure;
    default:
        return ChartAxis::Amount;
    }
}

QString ChartQuantityName(int quantity, int heatSystem)
{
    const Source &s = kSources[quantity];
    return QString::fromUtf16(heatSystem == kHeatSystem2 ? s.name2 : s.name1);
}

double ChartMs(double dayCount)
{
    // The local wall-clock time, as the axis shows it.
    return static_cast<double>(DateTimeFromDayCount(dayCount).toMSecsSinceEpoch());
}

ChartData BuildChartData(
    const QList<ArchiveRecord> &records, ChartInterval interval, int heatSystem, const QList<int> &quantities)
{
    ChartData data;
    QList<double> xs;
    xs.reserve(records.size());
    QList<bool> breakBefore;
    breakBefore.reserve(records.size());
    for (qsizetype i = 0; i < records.size(); ++i) {
        xs.append(ChartMs(records[i].time));
        breakBefore.append(i > 0 && !Follows(records[i - 1].time, records[i].time, interval));
    }
    const bool second = heatSystem == kHeatSystem2;
    for (int q : quantities) {
        if (q < 0 || q >= kChartQuantityCount)
            continue;
        const Source &s = kSources[q];
        const int field = second ? s.field2 : s.field1;
        const int minus = second ? s.minus2 : s.minus1;
        ChartCurve curve;
        curve.quantity = q;
        QList<QPointF> segment;
        segment.reserve(records.size());
        for (qsizetype i = 0; i < records.size(); ++i) {
            if (breakBefore[i] && !segment.isEmpty()) {
                curve.segments.append(segment);
                segment.clear();
            }
            const double value = minus > 0 ? double(static_cast<float>(ArchiveField(records[i], field))
                                     - static_cast<float>(ArchiveField(records[i], minus)))
                                           : ArchiveField(records[i], field);
            segment.append(QPointF(xs[i], value));
        }
        if (!segment.isEmpty())
            curve.segments.append(segment);
        data.curves.append(curve);
    }
    for (qsizetype i = 0; i < records.size(); ++i) {
        const ArchiveRecord &r = records[i];
        const bool fault = heatSystem == kColdWater ? r.ns[4] != 0
            : second                                ? (r.ns[2] | r.ns[3]) != 0
                                                    : (r.ns[0] | r.ns[1]) != 0;
        if (!fault)
            continue;
        const double end = ChartMs(IntervalEnd(r.time, interval));
        if (!data.faultSpans.isEmpty() && data.faultSpans.last().y() >= xs[i])
            data.faultSpans.last().setY(end);
        else
            data.faultSpans.append(QPointF(xs[i], end));
    }
    return data;
}

} // namespace qst
