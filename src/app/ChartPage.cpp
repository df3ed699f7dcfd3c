#include "ChartPage.h"

#include "AppTexts.h"

#include "common/DayCount.h"
#include "common/RegionalFormat.h"
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
#include <QLocale>
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

const char16_t *ValuePattern(int quantity)
{
    if (quantity == kChartQ)
        return u"0.####";
    return AxisOf(quantity) == ChartAxis::Temperature ? u"0.##" : u"0.###";
}

} // namespace

ChartTimeTicks ChartTimeTicksFor(qint64 firstMs, qint64 lastMs, bool hourly)
{
    constexpr qint64 kHour = 3600000;
    constexpr qint64 kDay = 24 * kHour;
    static const qint64 steps[] = {kHour, 2 * kHour, 3 * kHour, 6 * kHour, 12 * kHour, kDay, 2 * kDay,
                                   7 * kDay, 14 * kDay, 28 * kDay, 56 * kDay, 91 * kDay, 182 * kDay, 364 * kDay};
    constexpr int kMostTicks = 9;
    lastMs = std::max(lastMs, firstMs + 1);
    const qint64 offset = qint64(QDateTime::fromMSecsSinceEpoch(firstMs).offsetFromUtc()) * 1000;
    ChartTimeTicks t;
    for (qint64 step : steps) {
        if (!hourly && step < kDay)
            continue;
        // Whole hours and days of the wall clock the axis shows.
        const qint64 first = firstMs + offset;
        const qint64 last = lastMs + offset;
        const qint64 lo = first - ((first % step) + step) % step;
        const qint64 hi = last + (step - (((last % step) + step) % step)) % step;
        t = {lo - offset, hi - offset, int((hi - lo) / step) + 1, step};
        if (t.count <= kMostTicks)
            break;
    }
    t.count = std::max(t.count, 2);
    return t;
}

std::pair<double, double> ChartValueRange(ChartAxis axis, double low, double high)
{
    double minSpan = 1;
    switch (axis) {
    case ChartAxis::Temperature:
        minSpan = 5;
        break;
    case ChartAxis::Pressure:
        minSpan = 1;
        break;
    case ChartAxis::Amount:
        minSpan = 0.1;
        break;
    }
    double pad = (high - low) * 0.05;
    if (high - low + 2 * pad < minSpan)
        pad = (minSpan - (high - low)) / 2;
    return {low - pad, high + pad};
}

QString ChartHoverText(const QString &name, int quantity, const QList<QPointF> &points, double atMs)
{
    if (points.isEmpty())
        return {};
    const QPointF *nearest = &points.first();
    for (const QPointF &p : points) {
        if (std::abs(p.x() - atMs) < std::abs(nearest->x() - atMs))
            nearest = &p;
    }
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(qint64(nearest->x()));
    return at.toString(QStringLiteral("dd.MM.yyyy H:mm")) + u'\n' + name + QStringLiteral(": ")
        + FormatPattern(nearest->y(), QStringView(ValuePattern(quantity)));
}

TChartView::TChartView(QChart *chart, QWidget *parent)
    : QChartView(chart, parent)
{
    setRubberBand(QChartView::HorizontalRubberBand);
    setRenderHint(QPainter::Antialiasing, false);
}

void TChartView::wheelEvent(QWheelEvent *event)
{
    const double factor = event->angleDelta().y() > 0 ? 1.25 : 0.8;
    const QRectF area = chart()->plotArea();
    const double at = std::clamp(event->position().x(), area.left(), area.right());
    // Zoom around the pointer: scale the plot area's width about it, keep its height.
    QRectF zoomed = area;
    zoomed.setWidth(area.width() / factor);
    zoomed.moveLeft(at - (at - area.left()) / factor);
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
    // A ticked series is drawn at once.
    for (QCheckBox *cb : SeriesCB)
        connect(cb, &QCheckBox::toggled, this, &ChartPage::RefreshRequested);
    series->setColumnStretch(7, 1);
    layout->addLayout(series);

    Chart = new QChart;
    // Decimal commas on the axes, as in the tables.
    Chart->setLocale(QLocale(QLocale::Russian, QLocale::Russia));
    Chart->setLocalizeNumbers(true);
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
            const int quantity = curve.quantity;
            connect(line, &QLineSeries::hovered, this, [line, name, quantity](const QPointF &point, bool state) {
                if (state)
                    QToolTip::showText(QCursor::pos(), ChartHoverText(name, quantity, line->points(), point.x()));
            });
            // One legend entry per curve, however many segments its gaps make.
            if (named)
                Chart->legend()->markers(line).first()->setVisible(false);
            named = true;
        }
    }
    m_valueAxes.clear();
    for (int a = 0; a < 3; ++a) {
        if (!axes[a])
            continue;
        m_valueAxes.insert(axes[a], static_cast<ChartAxis>(a));
        axes[a]->setLabelFormat(QStringLiteral("%.4g"));
        if (low[a] <= high[a]) {
            const auto [from, to] = ChartValueRange(static_cast<ChartAxis>(a), low[a], high[a]);
            axes[a]->setRange(from, to);
        }
    }
    if (first <= last) {
        const ChartTimeTicks ticks = ChartTimeTicksFor(qint64(first), qint64(last), Interval() == ChartInterval::Hour);
        timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(ticks.min), QDateTime::fromMSecsSinceEpoch(ticks.max));
        timeAxis->setTickCount(ticks.count);
    }
    // A zoom narrows the time; the values follow what is left in view.
    connect(timeAxis, &QDateTimeAxis::rangeChanged, this, &ChartPage::FitValueAxes);
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

void ChartPage::FitValueAxes()
{
    const QList<QAbstractAxis *> horizontal = Chart->axes(Qt::Horizontal);
    auto *timeAxis = horizontal.isEmpty() ? nullptr : qobject_cast<QDateTimeAxis *>(horizontal.first());
    if (!timeAxis)
        return;
    const double from = double(timeAxis->min().toMSecsSinceEpoch());
    const double to = double(timeAxis->max().toMSecsSinceEpoch());
    for (auto it = m_valueAxes.cbegin(); it != m_valueAxes.cend(); ++it) {
        double low = std::numeric_limits<double>::max();
        double high = std::numeric_limits<double>::lowest();
        for (QAbstractSeries *series : Chart->series()) {
            auto *line = qobject_cast<QLineSeries *>(series);
            if (!line || !line->attachedAxes().contains(it.key()))
                continue;
            for (const QPointF &p : line->points()) {
                if (p.x() >= from && p.x() <= to) {
                    low = std::min(low, p.y());
                    high = std::max(high, p.y());
                }
            }
        }
        if (low <= high) {
            const auto [min, max] = ChartValueRange(it.value(), low, high);
            static_cast<QValueAxis *>(it.key())->setRange(min, max);
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
