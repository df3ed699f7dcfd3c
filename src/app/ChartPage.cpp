#include "ChartPage.h"

#include "AppTexts.h"

#include "common/DayCount.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "reports/ReportTables.h"
#include "storage/ArchiveView.h"

#include <QAreaSeries>
#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDateEdit>
#include <QDateTimeAxis>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMessageBox>
#include <QPainter>
#include <QSvgGenerator>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <limits>

namespace qst {

namespace {

const QColor kColors[] = { QColor(200, 30, 30), QColor(30, 80, 200), QColor(120, 40, 160), QColor(0, 140, 70),
    QColor(20, 170, 170), QColor(200, 120, 0), QColor(140, 110, 40), QColor(220, 40, 140), QColor(90, 90, 90),
    QColor(40, 40, 40), QColor(0, 100, 160), QColor(180, 80, 80), QColor(80, 130, 80) };

QString AxisTitle(ChartAxis axis)
{
    switch (axis) {
    case ChartAxis::Temperature:
        return ui::kChartTemperatureAxis;
    case ChartAxis::Pressure:
        return ui::kChartPressureAxis;
    case ChartAxis::Amount:
        break;
    }
    return ui::kChartAmountAxis;
}

} // namespace

TChartView::TChartView(QChart *chart, QWidget *parent)
    : QChartView(chart, parent)
{
    setRubberBand(QChartView::RectangleRubberBand);
    setRenderHint(QPainter::Antialiasing, false);
}

void TChartView::wheelEvent(QWheelEvent *event)
{
    const double factor = event->angleDelta().y() > 0 ? 1.25 : 0.8;
    const QRectF area = chart()->plotArea();
    const QPointF at = event->position();
    // Zoom around the pointer: scale the plot area about it.
    QRectF zoomed(area.topLeft(), area.size() / factor);
    zoomed.moveCenter(at + (area.center() - at) / factor);
    chart()->zoomIn(zoomed);
    event->accept();
}

ChartPage::ChartPage(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("ChartTS"));
    auto *layout = new QVBoxLayout(this);
    auto *bar = new QHBoxLayout;
    RefreshTB = new QToolButton;
    RefreshTB->setText(ui::kRefresh);
    RefreshTB->setObjectName(QStringLiteral("ChartRefreshTB"));
    bar->addWidget(RefreshTB);
    KindCB = new QComboBox;
    KindCB->setObjectName(QStringLiteral("ChartKindCB"));
    KindCB->addItems({ ui::kChartHourly, ui::kChartDaily, ui::kChartMonthly });
    bar->addWidget(KindCB);
    bar->addWidget(new QLabel(ui::kFrom));
    FromDate = new QDateEdit(QDate::currentDate().addDays(-7));
    bar->addWidget(FromDate);
    bar->addWidget(new QLabel(ui::kTo));
    ToDate = new QDateEdit(QDate::currentDate());
    bar->addWidget(ToDate);
    for (QDateEdit *e : { FromDate, ToDate }) {
        e->setCalendarPopup(true);
        e->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    }
    FromDate->setObjectName(QStringLiteral("ChartFromDate"));
    ToDate->setObjectName(QStringLiteral("ChartToDate"));
    SystemCB = new QComboBox;
    SystemCB->setObjectName(QStringLiteral("ChartSystemCB"));
    SystemCB->addItems({ ui::kHeatSystem1, ui::kHeatSystem2, ui::kColdWater });
    bar->addWidget(SystemCB);
    ResetTB = new QToolButton;
    ResetTB->setText(ui::kChartReset);
    bar->addWidget(ResetTB);
    SaveTB = new QToolButton;
    SaveTB->setText(ui::kChartSave);
    bar->addWidget(SaveTB);
    bar->addStretch();
    layout->addLayout(bar);

    auto *series = new QGridLayout;
    for (int q = 0; q < kChartQuantityCount; ++q) {
        SeriesCB[q] = new QCheckBox(ChartQuantityName(q, kHeatSystem1));
        SeriesCB[q]->setObjectName(QStringLiteral("ChartSeries%1").arg(q));
        series->addWidget(SeriesCB[q], q / 7, q % 7);
    }
    SeriesCB[kChartT1]->setChecked(true);
    SeriesCB[kChartT2]->setChecked(true);
    series->setColumnStretch(7, 1);
    layout->addLayout(series);

    Chart = new QChart;
    Chart->legend()->setAlignment(Qt::AlignBottom);
    View = new TChartView(Chart);
    View->setObjectName(QStringLiteral("ChartView"));
    layout->addWidget(View, 1);

    connect(RefreshTB, &QToolButton::clicked, this, &ChartPage::RefreshRequested);
    connect(ResetTB, &QToolButton::clicked, this, &ChartPage::ResetZoom);
    connect(SystemCB, &QComboBox::currentIndexChanged, this, [this](int system) {
        for (int q = 0; q < kChartQuantityCount; ++q)
            SeriesCB[q]->setText(ChartQuantityName(q, system));
    });
    connect(SaveTB, &QToolButton::clicked, this, [this] {
        QString filter;
        const QString chosen =
            QFileDialog::getSaveFileName(this, ui::kChartSave, QString(), ui::kChartImageFilter, &filter);
        if (chosen.isEmpty())
            return;
        const QString path = ChartImagePath(chosen, filter);
        QString error;
        if (!SaveImage(path, &error))
            QMessageBox::warning(this, ui::kChartSave, error);
    });
}

ChartInterval ChartPage::Interval() const
{
    return static_cast<ChartInterval>(KindCB->currentIndex());
}

int ChartPage::HeatSystem() const
{
    return SystemCB->currentIndex();
}

QList<int> ChartPage::Quantities() const
{
    QList<int> list;
    for (int q = 0; q < kChartQuantityCount; ++q) {
        if (SeriesCB[q]->isChecked())
            list.append(q);
    }
    return list;
}

double ChartPage::From() const
{
    return Interval() == ChartInterval::Month ? MonthlyPeriod(FromDate->date(), ToDate->date()).from
                                              : DailyPeriod(FromDate->date(), ToDate->date()).from;
}

double ChartPage::To() const
{
    return Interval() == ChartInterval::Month ? MonthlyPeriod(FromDate->date(), ToDate->date()).to
                                              : DailyPeriod(FromDate->date(), ToDate->date()).to;
}

void ChartPage::Show(const QList<ArchiveRecord> &records)
{
    const ChartData data = BuildChartData(records, Interval(), HeatSystem(), Quantities());
    Chart->removeAllSeries();
    for (QAbstractAxis *axis : Chart->axes()) {
        Chart->removeAxis(axis);
        delete axis;
    }

    auto *timeAxis = new QDateTimeAxis;
    timeAxis->setFormat(
        Interval() == ChartInterval::Hour ? QStringLiteral("dd.MM.yyyy H:mm") : QStringLiteral("dd.MM.yyyy"));
    timeAxis->setTickCount(6);
    timeAxis->setLabelsAngle(-30);
    Chart->addAxis(timeAxis, Qt::AlignBottom);
    QValueAxis *axes[3] = {};
    double low[3];
    double high[3];
    std::fill(std::begin(low), std::end(low), std::numeric_limits<double>::max());
    std::fill(std::begin(high), std::end(high), std::numeric_limits<double>::lowest());
    double first = std::numeric_limits<double>::max();
    double last = std::numeric_limits<double>::lowest();
    for (const ChartCurve &curve : data.curves) {
        const int a = static_cast<int>(AxisOf(curve.quantity));
        if (!axes[a]) {
            axes[a] = new QValueAxis;
            axes[a]->setTitleText(AxisTitle(AxisOf(curve.quantity)));
            Chart->addAxis(axes[a], a == 0 ? Qt::AlignLeft : Qt::AlignRight);
        }
        const QString name = ChartQuantityName(curve.quantity, HeatSystem());
        const QColor color = kColors[curve.quantity % std::size(kColors)];
        bool named = false;
        for (const QList<QPointF> &segment : curve.segments) {
            auto *line = new QLineSeries;
            line->setName(name);
            line->setColor(color);
            line->replace(segment);
            for (const QPointF &p : segment) {
                low[a] = std::min(low[a], p.y());
                high[a] = std::max(high[a], p.y());
            }
            first = std::min(first, segment.first().x());
            last = std::max(last, segment.last().x());
            Chart->addSeries(line);
            line->attachAxis(timeAxis);
            line->attachAxis(axes[a]);
            connect(line, &QLineSeries::hovered, this, [name](const QPointF &point, bool state) {
                if (!state)
                    return;
                const QDateTime at = QDateTime::fromMSecsSinceEpoch(qint64(point.x()));
                QToolTip::showText(QCursor::pos(),
                    QStringLiteral("%1\n%2: %3")
                        .arg(at.toString(QStringLiteral("dd.MM.yyyy H:mm")), name)
                        .arg(point.y(), 0, 'g', 6));
            });
            // One legend entry per curve, however many segments its gaps make.
            if (named)
                Chart->legend()->markers(line).first()->setVisible(false);
            named = true;
        }
    }
    for (int a = 0; a < 3; ++a) {
        if (axes[a] && low[a] <= high[a]) {
            const double pad = std::max(1e-6, (high[a] - low[a]) * 0.05);
            axes[a]->setRange(low[a] - pad, high[a] + pad);
        }
    }
    if (first <= last) {
        timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(qint64(first)),
            QDateTime::fromMSecsSinceEpoch(qint64(std::max(last, first + 60000))));
    }
    // Hours with abnormal situations: shaded bands the height of the first value axis.
    QValueAxis *bandAxis = axes[0] ? axes[0] : axes[1] ? axes[1] : axes[2];
    if (bandAxis) {
        for (const QPointF &span : data.faultSpans) {
            auto *upper = new QLineSeries;
            auto *lower = new QLineSeries;
            upper->append(span.x(), bandAxis->max());
            upper->append(span.y(), bandAxis->max());
            lower->append(span.x(), bandAxis->min());
            lower->append(span.y(), bandAxis->min());
            auto *band = new QAreaSeries(upper, lower);
            band->setName(ui::kChartFaults);
            band->setColor(QColor(255, 0, 0, 40));
            band->setBorderColor(Qt::transparent);
            Chart->addSeries(band);
            band->attachAxis(timeAxis);
            band->attachAxis(bandAxis);
            if (&span != &data.faultSpans.first())
                Chart->legend()->markers(band).first()->setVisible(false);
        }
    }
}

void ChartPage::ResetZoom()
{
    Chart->zoomReset();
}

QString ChartImagePath(const QString &path, const QString &selectedFilter)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QStringLiteral("png") || suffix == QStringLiteral("svg"))
        return path;
    return path + (selectedFilter.contains(QStringLiteral("*.svg")) ? QStringLiteral(".svg") : QStringLiteral(".png"));
}

bool ChartPage::SaveImage(const QString &path, QString *error)
{
    // Drawn in memory first, then written by the checked save, which knows why a write fails.
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (QFileInfo(path).suffix().compare(QStringLiteral("svg"), Qt::CaseInsensitive) == 0) {
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(View->size());
        svg.setViewBox(View->rect());
        QPainter painter;
        if (!painter.begin(&svg)) {
            *error = ui::kChartSaveFailed.arg(QDir::toNativeSeparators(path));
            return false;
        }
        View->render(&painter);
        painter.end();
    } else if (!View->grab().save(&buffer, "PNG")) {
        *error = ui::kChartSaveFailed.arg(QDir::toNativeSeparators(path));
        return false;
    }
    try {
        SaveFileBytes(path, bytes);
    } catch (const StorageError &e) {
        *error = ui::kChartSaveFailed.arg(QDir::toNativeSeparators(path)) + u'\n' + e.message();
        return false;
    }
    return true;
}

} // namespace qst
