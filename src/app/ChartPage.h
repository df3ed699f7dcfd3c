#pragma once

#include "reports/ChartData.h"

#include <QChartView>
#include <QHash>
#include <QWidget>

#include <utility>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QToolButton;

namespace qst {

// The chart itself: the mouse wheel zooms around the pointer, a dragged rectangle zooms in.
class TChartView : public QChartView
{
    Q_OBJECT

public:
    explicit TChartView(QChart *chart, QWidget *parent = nullptr);

protected:
    // Zooms the time axis only, around the pointer; the value axes follow what is shown.
    void wheelEvent(QWheelEvent *event) override;
};

// Time axis ticks on whole hours or days: the axis from `min` to `max` (ms of the local wall
// clock) with `count` ticks, each `stepMs` apart, covering [firstMs, lastMs].
struct ChartTimeTicks
{
    qint64 min = 0;
    qint64 max = 0;
    int count = 2;
    qint64 stepMs = 3600000;
};
ChartTimeTicks ChartTimeTicksFor(qint64 firstMs, qint64 lastMs, bool hourly);

// A value axis range holding [low, high] and at least the quantity's minimum span, so noise
// does not fill the plot.
std::pair<double, double> ChartValueRange(ChartAxis axis, double low, double high);

// The hover tip of a curve: the record nearest to the pointer's time, its time and value as
// the tables write them.
QString ChartHoverText(const QString &name, int quantity, const QList<QPointF> &points, double atMs);

// The file the chart is saved to: a name without ".png" or ".svg" takes the chosen filter's.
QString ChartImagePath(const QString &path, const QString &selectedFilter);

// "График": curves of the selected meter's archive over a period.
class ChartPage : public QWidget
{
    Q_OBJECT

public:
    explicit ChartPage(QWidget *parent = nullptr);

    ChartInterval Interval() const;
    int HeatSystem() const;
    QList<int> Quantities() const;
    // The period as the archive page of the interval takes it.
    double From() const;
    double To() const;

    // Draws the records; the axes fit what is drawn.
    void Show(const QList<ArchiveRecord> &records);
    void ResetZoom();
    // PNG or SVG by the suffix; false with the reason.
    bool SaveImage(const QString &path, QString *error);

    QComboBox *KindCB;
    QDateEdit *FromDate;
    QDateEdit *ToDate;
    QComboBox *SystemCB;
    QCheckBox *SeriesCB[kChartQuantityCount] = {};
    QToolButton *RefreshTB;
    QToolButton *ResetTB;
    QToolButton *SaveTB;
    QChart *Chart;
    TChartView *View;

private:
    // The value axes fitted to the points inside the time axis's range.
    void FitValueAxes();

    QHash<QAbstractAxis *, ChartAxis> m_valueAxes;

signals:
    void RefreshRequested();
};

} // namespace qst
