#pragma once

#include "storage/ArchiveFiles.h"

#include <QList>
#include <QPointF>
#include <QString>

namespace qst {

enum class ChartInterval {
    Hour,
    Day,
    Month,
};

// The curves one can draw, for the heat system chosen (1: T1, T2, M1 ...; 2: T3, T4, M3 ...);
// the cold-water ones stand apart.
enum ChartQuantity {
    kChartT1,
    kChartT2,
    kChartDT,
    kChartM1,
    kChartM2,
    kChartV1,
    kChartV2,
    kChartQ,
    kChartP1,
    kChartP2,
    kChartV5,
    kChartT5,
    kChartP5,
    kChartQuantityCount,
};

enum class ChartAxis {
    Temperature,
    Pressure,
    Amount, // masses, volumes, heat
};

ChartAxis AxisOf(int quantity);
// "Т1 (°С)", "М3 (тонн)", ... as the archive pages title their columns.
QString ChartQuantityName(int quantity, int heatSystem);

struct ChartCurve
{
    int quantity = 0;
    // x: milliseconds since the epoch of the local wall-clock time; y: the value. A missing
    // interval ends a segment: a gap is a break, never a line across.
    QList<QList<QPointF>> segments;
};

struct ChartData
{
    QList<ChartCurve> curves;
    // Runs of intervals with abnormal-situation bits set (of the heat system's two words, or
    // the cold-water word), as [from, to) in the same milliseconds.
    QList<QPointF> faultSpans;
};

double ChartMs(double dayCount);

// The curves of the chosen quantities over the records (in time order, as the files hold them).
ChartData BuildChartData(
    const QList<ArchiveRecord> &records, ChartInterval interval, int heatSystem, const QList<int> &quantities);

} // namespace qst
