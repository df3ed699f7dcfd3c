#include "AppTexts.h"
// The chart page draws what the archive holds: one curve per quantity, gaps as breaks,
// fault hours as shaded bands.
#include "ChartPage.h"
#include "UiSupport.h"

#include "common/DayCount.h"
#include "reports/ReportTables.h"

#include <QAreaSeries>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTimeAxis>
#include <QValueAxis>
#include <QWheelEvent>
#include <QLineSeries>

#include <gtest/gtest.h>

using namespace qst;
using qst::test::TempDataRoot;

namespace {

ArchiveRecord Hour(int day, int hour, float t1, float t2, int ns1 = 0)
{
    ArchiveRecord r;
    r.time = DayCountFromParts(QDate(2010, 3, day), QTime(hour, 0));
    r.values[11] = t1;
    r.values[12] = t2;
    r.values[0] = 0.1f * hour;
    r.ns[0] = ns1;
    return r;
}

QList<QLineSeries *> Lines(QChart *chart, const QString &name)
{
    QList<QLineSeries *> out;
    for (QAbstractSeries *s : chart->series()) {
        auto *line = qobject_cast<QLineSeries *>(s);
        if (line && line->name() == name)
            out << line;
    }
    return out;
}

} // namespace

TEST(ChartPage, SeriesGapsAndFaultsAreWhatTheArchiveHolds)
{
    ChartPage page;
    page.resize(900, 500);
    page.SeriesCB[kChartDT]->setChecked(true);
    page.SeriesCB[kChartQ]->setChecked(true);
    // Hours 0..5 and 8..10 of 1 March (6 and 7 missing), then 1:00 of 2 March after a gap;
    // faults at 2:00, 3:00 and 9:00.
    QList<ArchiveRecord> records;
    for (int h : { 0, 1, 2, 3, 4, 5, 8, 9, 10 })
        records << Hour(1, h, 70.f + h, 40.f + h / 2.f, h == 2 || h == 3 || h == 9 ? 4 : 0);
    records << Hour(2, 1, 60, 35);
    page.Show(records);

    const QList<QLineSeries *> t1 = Lines(page.Chart, QStringLiteral("Т1 (°С)"));
    ASSERT_EQ(t1.size(), 3);
    const QList<int> sizes { 6, 3, 1 };
    int r = 0;
    for (int s = 0; s < 3; ++s) {
        ASSERT_EQ(t1[s]->count(), sizes[s]);
        for (const QPointF &p : t1[s]->points()) {
            EXPECT_EQ(qint64(p.x()), DateTimeFromDayCount(records[r].time).toMSecsSinceEpoch());
            EXPECT_FLOAT_EQ(p.y(), records[r].values[11]);
            ++r;
        }
    }
    const QList<QLineSeries *> dt = Lines(page.Chart, QStringLiteral("Т1-Т2 (°С)"));
    ASSERT_EQ(dt.size(), 3);
    EXPECT_FLOAT_EQ(dt[1]->at(0).y(), 78.f - 44.f);
    EXPECT_EQ(Lines(page.Chart, QStringLiteral("Q (ГКал)")).size(), 3);
    EXPECT_TRUE(Lines(page.Chart, QStringLiteral("Т2 (°С)")).size() == 3);
    // Temperatures on the left, heat on a second axis.
    EXPECT_EQ(t1[0]->attachedAxes().size(), 2);
    EXPECT_NE(t1[0]->attachedAxes()[1], Lines(page.Chart, QStringLiteral("Q (ГКал)"))[0]->attachedAxes()[1]);

    QList<QAreaSeries *> bands;
    for (QAbstractSeries *s : page.Chart->series()) {
        if (auto *band = qobject_cast<QAreaSeries *>(s))
            bands << band;
    }
    ASSERT_EQ(bands.size(), 2);
    const auto ms = [](int h) {
        return double(DateTimeFromDayCount(DayCountFromParts(QDate(2010, 3, 1), QTime(h, 0))).toMSecsSinceEpoch());
    };
    EXPECT_EQ(bands[0]->upperSeries()->at(0).x(), ms(2));
    EXPECT_EQ(bands[0]->upperSeries()->at(1).x(), ms(4));
    EXPECT_EQ(bands[1]->upperSeries()->at(0).x(), ms(9));
    EXPECT_EQ(bands[1]->upperSeries()->at(1).x(), ms(10));

    // Heat system 2 takes T3: zeros here, and the names follow.
    page.SystemCB->setCurrentIndex(kHeatSystem2);
    page.Show(records);
    EXPECT_EQ(Lines(page.Chart, QStringLiteral("Т3 (°С)")).size(), 3);
    EXPECT_TRUE(Lines(page.Chart, QStringLiteral("Т1 (°С)")).isEmpty());
    EXPECT_EQ(page.SeriesCB[kChartT1]->text(), QStringLiteral("Т3 (°С)"));
    EXPECT_EQ(page.Chart->axes().size(), 3); // time, temperatures, heat: none left from before

    // Nothing to draw: no curves, no crash.
    page.Show({});
    EXPECT_TRUE(page.Chart->series().isEmpty());
}

TEST(ChartPage, SavesPngAndSvg)
{
    TempDataRoot root;
    ChartPage page;
    page.resize(800, 400);
    page.Show({ Hour(1, 0, 70, 40), Hour(1, 1, 71, 41) });
    QString error;
    for (const char *name : { "chart.png", "chart.svg" }) {
        const QString path = root.file(QString::fromLatin1(name));
        ASSERT_TRUE(page.SaveImage(path, &error)) << error.toStdString();
        const QByteArray bytes = qst::test::ReadAll(path);
        EXPECT_TRUE(bytes.startsWith("\x89PNG") || bytes.contains("<svg")) << name;
    }
    // A name typed without its extension takes the chosen filter's.
    const QStringList filters = ui::kChartImageFilter.split(QStringLiteral(";;"));
    const struct {
        const char *typed;
        int filter;
        const char *saved;
    } names[] = {{"plain", 0, "plain.png"}, {"plain", 1, "plain.svg"}, {"a.SVG", 0, "a.SVG"},
                 {"a.b", 1, "a.b.svg"}};
    for (const auto &n : names) {
        const QString path = ChartImagePath(root.file(QString::fromLatin1(n.typed)), filters[n.filter]);
        EXPECT_EQ(path, root.file(QString::fromLatin1(n.saved)));
        EXPECT_TRUE(page.SaveImage(path, &error)) << error.toStdString();
    }
    // A failure says why.
    EXPECT_FALSE(page.SaveImage(root.file(QStringLiteral("no/such/chart.png")), &error));
    EXPECT_TRUE(error.startsWith(ui::kChartSaveFailed.arg(QString()))) << error.toStdString();
    EXPECT_GT(error.split(u'\n').size(), 1) << error.toStdString();
}

TEST(ChartPage, TicksOnWholeHoursAndDays)
{
    const auto ms = [](int day, int h, int m) {
        return QDateTime(QDate(2026, 12, day), QTime(h, m)).toMSecsSinceEpoch();
    };
    const struct {
        qint64 first, last;
        bool hourly;
        qint64 min, max, step;
    } cases[] = {
        {ms(1, 10, 12), ms(1, 20, 24), true, ms(1, 10, 0), ms(1, 22, 0), 2 * 3600000},
        {ms(1, 0, 0), ms(8, 0, 0), true, ms(1, 0, 0), ms(8, 0, 0), 24 * 3600000},
        {ms(1, 7, 0), ms(3, 1, 0), false, ms(1, 0, 0), ms(4, 0, 0), 24 * 3600000},
    };
    for (const auto &c : cases) {
        const ChartTimeTicks t = ChartTimeTicksFor(c.first, c.last, c.hourly);
        EXPECT_EQ(t.min, c.min);
        EXPECT_EQ(t.stepMs, c.step);
        EXPECT_EQ(t.max, c.max);
        EXPECT_LE(t.count, 9);
        EXPECT_EQ(t.min + (t.count - 1) * t.stepMs, t.max) << "every tick on a whole step";
        const QTime tick = QDateTime::fromMSecsSinceEpoch(t.min + t.stepMs).time();
        EXPECT_EQ(tick.minute(), 0);
        EXPECT_EQ(tick.second(), 0);
    }
    // The page puts them on its axis.
    ChartPage page;
    page.resize(800, 400);
    QList<ArchiveRecord> records;
    for (int h = 0; h < 24; ++h)
        records << Hour(1, h, 70, 40);
    page.Show(records);
    auto *axis = qobject_cast<QDateTimeAxis *>(page.Chart->axes(Qt::Horizontal).first());
    ASSERT_NE(axis, nullptr);
    EXPECT_EQ(axis->min().time(), QTime(0, 0));
    EXPECT_EQ(axis->min().msecsTo(axis->max()) / (axis->tickCount() - 1) % 3600000, 0);
}

TEST(ChartPage, HoverSnapsToARecordAndValuesKeepASpan)
{
    const QList<QPointF> points{{double(QDateTime(QDate(2026, 12, 9), QTime(23, 0)).toMSecsSinceEpoch()), 85.97261},
                                {double(QDateTime(QDate(2026, 12, 10), QTime(0, 0)).toMSecsSinceEpoch()), 86.5}};
    const double at = double(QDateTime(QDate(2026, 12, 9), QTime(23, 20)).toMSecsSinceEpoch());
    EXPECT_EQ(ChartHoverText(QStringLiteral("Т1 (°С)"), kChartT1, points, at),
              QStringLiteral("09.12.2026 23:00\nТ1 (°С): 85,97"));
    EXPECT_EQ(ChartHoverText(QStringLiteral("Т1 (°С)"), kChartT1, points, at + 40 * 60000),
              QStringLiteral("10.12.2026 0:00\nТ1 (°С): 86,5"));

    // A pressure that hardly moves keeps a span of at least one unit; a wide one only its margin.
    const auto [lo, hi] = ChartValueRange(ChartAxis::Pressure, 6.01, 6.03);
    EXPECT_NEAR(hi - lo, 1.0, 1e-9);
    EXPECT_LT(lo, 6.01);
    EXPECT_GT(hi, 6.03);
    const auto [tlo, thi] = ChartValueRange(ChartAxis::Temperature, 40, 90);
    EXPECT_NEAR(tlo, 37.5, 1e-9);
    EXPECT_NEAR(thi, 92.5, 1e-9);
}

TEST(ChartPage, WheelZoomsTimeOnlyAndTickingASeriesRedraws)
{
    ChartPage page;
    page.resize(900, 500);
    page.show();
    int refreshes = 0;
    QObject::connect(&page, &ChartPage::RefreshRequested, [&refreshes] { ++refreshes; });
    page.SeriesCB[kChartP1]->setChecked(true);
    EXPECT_EQ(refreshes, 1);

    QList<ArchiveRecord> records;
    for (int h = 0; h < 24; ++h)
        records << Hour(1, h, 50 + h, 40);
    page.Show(records);
    QCoreApplication::processEvents();
    auto *time = qobject_cast<QDateTimeAxis *>(page.Chart->axes(Qt::Horizontal).first());
    auto *values = qobject_cast<QValueAxis *>(page.Chart->axes(Qt::Vertical).first());
    const qint64 span = time->min().msecsTo(time->max());
    const double topBefore = values->max();
    const QPointF centre = page.Chart->plotArea().center();
    QWheelEvent wheel(centre, page.View->mapToGlobal(centre.toPoint()), {}, {0, 120}, Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(page.View->viewport(), &wheel);
    EXPECT_LT(time->min().msecsTo(time->max()), span);
    // Every curve point still in view lies inside the value axis.
    for (QAbstractSeries *s : page.Chart->series()) {
        auto *line = qobject_cast<QLineSeries *>(s);
        if (!line || !line->attachedAxes().contains(values))
            continue;
        for (const QPointF &p : line->points()) {
            if (p.x() >= time->min().toMSecsSinceEpoch() && p.x() <= time->max().toMSecsSinceEpoch()) {
                EXPECT_GE(p.y(), values->min());
                EXPECT_LE(p.y(), values->max());
            }
        }
    }
    // The values followed: T1's last hours (up to 73) left the view, and the axis came down.
    EXPECT_LT(values->max(), topBefore);
}

TEST(ChartPage, AWeekTicksOnWholeDays)
{
    ChartPage page;
    page.resize(1214, 600);
    page.SeriesCB[kChartDT]->setChecked(true);
    page.SeriesCB[kChartQ]->setChecked(true);
    page.FromDate->setDate(QDate(2010, 2, 1));
    page.ToDate->setDate(QDate(2010, 2, 7));
    QList<ArchiveRecord> records;
    for (int day = 1; day <= 7; ++day) {
        for (int h = 0; h < 24; ++h) {
            if (day == 3 && (h == 10 || h == 11))
                continue; // two hours missing: a break
            ArchiveRecord r;
            r.time = DayCountFromParts(QDate(2010, 2, day), QTime(h, 0));
            r.values[11] = 80.f - (h % 5) * 0.3f;
            r.values[12] = 50.f + (h % 7) * 0.2f;
            r.values[0] = 0.05f + 0.001f * float(h);
            r.ns[0] = h == 3 ? 4 : 0;
            records << r;
        }
    }
    page.show();
    page.Show(records);
    QCoreApplication::processEvents();
    auto *axis = qobject_cast<QDateTimeAxis *>(page.Chart->axes(Qt::Horizontal).first());
    ASSERT_NE(axis, nullptr);
    EXPECT_EQ(axis->min(), QDateTime(QDate(2010, 2, 1), QTime(0, 0)));
    EXPECT_EQ(axis->min().msecsTo(axis->max()) % (qint64(axis->tickCount() - 1) * 24 * 3600000), 0);
    EXPECT_EQ(axis->min().msecsTo(axis->max()) / (axis->tickCount() - 1) % (24 * 3600000), 0);
    qst::test::Screenshot(&page, QStringLiteral("chart-page"));
}
