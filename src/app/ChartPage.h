#pragma once

#include "reports/ChartData.h"

#include <QChartView>
#include <QWidget>

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
    void wheelEvent(QWheelEvent *event) override;
};

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

signals:
    void RefreshRequested();
};

} // namespace qst
