#include "ReportFixture.h"

#include "common/RegionalFormat.h"
#include "reports/IntegratorReadings.h"

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

// A history reading with the totals of heat system 1.
void PutReading(ReportFixture &f, double time, float q1, float m11 = 0, float tw1Minutes = 0)
{
    CurrentValues v;
    v.time = time;
    v.D[0] = q1;
    v.D[2] = m11;
    v.F[21] = tw1Minutes;
    SaveCurrentValues(f.target, 1, 100, true, v);
}

} // namespace

TEST(Integrators, NearestHistoryLine)
{
    ReportFixture f;
    ReportSelection s = f.Selection(kHourlyReport, QDate(2010, 3, 1), QDate(2010, 3, 2));
    EXPECT_EQ(FindNearestHistoryLine(s, At(2010, 3, 1)), QString());
    PutReading(f, At(2010, 2, 27, 12), 1);
    PutReading(f, At(2010, 3, 2, 12), 2);
    PutReading(f, At(2010, 4, 30, 12), 3);
    EXPECT_TRUE(FindNearestHistoryLine(s, At(2010, 3, 1)).startsWith(FormatReal(At(2010, 2, 27, 12))));
    EXPECT_TRUE(FindNearestHistoryLine(s, At(2010, 3, 1, 12)).startsWith(FormatReal(At(2010, 3, 2, 12))));
    EXPECT_TRUE(FindNearestHistoryLine(s, At(2010, 5, 31)).startsWith(FormatReal(At(2010, 4, 30, 12))))
        << "the month before is looked at";
    EXPECT_EQ(FindNearestHistoryLine(s, At(2010, 7, 1)), QString()) << "more than a month away";
}

TEST(Integrators, HourlyCorrectionOfAReadingBeforeTheBoundary)
{
    ReportFixture f;
    f.Put(kHourlyArchive, {At(2010, 3, 1, 10), 0.2f});
    f.Put(kHourlyArchive, {At(2010, 3, 1, 11), 0.4f});
    ReportSelection s = f.Selection(kHourlyReport, QDate(2010, 3, 1), QDate(2010, 3, 1));
    const IntegratorVector c = BoundaryCorrection(s, kHourlyReport, At(2010, 3, 1, 12), At(2010, 3, 1, 10, 30));
    // 0.2 - 0.6 + (10:30 - 10:59:59) x 24 x 0.2: half the 10:00 hour and the 11:00 hour.
    EXPECT_NEAR(c[0], -0.5, 1e-3);

    // And after the boundary: the reading at 11:30 for a boundary at 10:00 counts the
    // 10:00 hour and half of 11:00.
    const IntegratorVector after = BoundaryCorrection(s, kHourlyReport, At(2010, 3, 1, 10), At(2010, 3, 1, 11, 30));
    EXPECT_NEAR(after[0], 0.2 + 0.2, 1e-3);
}

TEST(Integrators, Rows)
{
    ReportFixture f;
    ReportSelection s = f.Selection(kDailyReport, QDate(2010, 3, 1), QDate(2010, 3, 2), {0});
    const ReportPeriod p = MakeReportPeriod(s);
    ReportTotals totals;
    totals.values[0] = 2.5f;
    totals.values[1] = 10.125f;
    totals.values[5] = 48;
    RowList rows;

    // No history: P = 0, C = the period totals.
    EXPECT_EQ(BuildIntegratorRows(s, rows, p.start, p.end, totals, kDailyReport), 8);
    EXPECT_EQ(rows, (QStringList{QStringLiteral("\tQ,ГКал\tM1,тонн\tM2,тонн\tV1,м^3\tV2,м^3\tВНР,ч\tВОС,ч\t"),
                                 QStringLiteral("Предыдущие показания:\t0\t0\t0\t0\t0\t0\t0\t"),
                                 QStringLiteral("Нарастающий итог:\t2,5\t10,125\t0\t0\t0\t48\t0\t"),
                                 QStringLiteral("Итого:\t2,5\t10,125\t0\t0\t0\t48\t0\t")}));

    // A reading exactly at the start with no record between: P is that reading. It is also
    // the reading nearest to the end, and no record lies between, so C is the same.
    PutReading(f, p.start, 100.25f, 7, 600);
    EXPECT_EQ(BuildIntegratorRows(s, rows, p.start, p.end, totals, kDailyReport), 8);
    EXPECT_EQ(rows[1], QStringLiteral("Предыдущие показания:\t100,25\t7\t0\t0\t0\t10\t0\t"));
    EXPECT_EQ(rows[2], QStringLiteral("Нарастающий итог:\t100,25\t7\t0\t0\t0\t10\t0\t"));
    EXPECT_EQ(rows[3], QStringLiteral("Итого:\t0\t0\t0\t0\t0\t0\t0\t"));

    // A long period: no reading within a month of its end, so C = P + the period totals.
    ReportSelection longPeriod = f.Selection(kDailyReport, QDate(2010, 3, 1), QDate(2010, 6, 30), {0});
    const ReportPeriod lp = MakeReportPeriod(longPeriod);
    BuildIntegratorRows(longPeriod, rows, lp.start, lp.end, totals, kDailyReport);
    EXPECT_EQ(rows[1], QStringLiteral("Предыдущие показания:\t100,25\t7\t0\t0\t0\t10\t0\t"));
    EXPECT_EQ(rows[2], QStringLiteral("Нарастающий итог:\t102,75\t17,125\t0\t0\t0\t58\t0\t"));
    EXPECT_EQ(rows[3], QStringLiteral("Итого:\t2,5\t10,125\t0\t0\t0\t48\t0\t"));
}

TEST(Integrators, ACorrectionLargerThanTheReadingGivesZero)
{
    ReportFixture f;
    ReportSelection s = f.Selection(kDailyReport, QDate(2010, 3, 2), QDate(2010, 3, 2), {0});
    const ReportPeriod p = MakeReportPeriod(s);
    // Reading on 4 March, after the end; the records of 2..4 March exceed it.
    f.Put(kDailyArchive, {At(2010, 3, 2), 5});
    f.Put(kDailyArchive, {At(2010, 3, 3), 5});
    f.Put(kDailyArchive, {At(2010, 3, 4), 5});
    PutReading(f, At(2010, 3, 4, 12), 3);
    ReportTotals totals;
    totals.values[0] = 5;
    RowList rows;
    BuildIntegratorRows(s, rows, p.start, p.end, totals, kDailyReport);
    EXPECT_EQ(rows[1], QStringLiteral("Предыдущие показания:\t0\t0\t0\t0\t0\t0\t0\t"));
    EXPECT_EQ(rows[2], QStringLiteral("Нарастающий итог:\t0\t0\t0\t0\t0\t0\t0\t"));
    EXPECT_EQ(rows[3], QStringLiteral("Итого:\t0\t0\t0\t0\t0\t0\t0\t"));
}

TEST(Integrators, ColdWaterHasThreePositions)
{
    ReportFixture f;
    ReportSelection s = f.Selection(kMonthlyReport, QDate(2010, 3, 1), QDate(2010, 3, 31), {0}, kColdWater);
    const ReportPeriod p = MakeReportPeriod(s);
    ReportTotals totals;
    totals.values[0] = 1.2345f;
    RowList rows;
    EXPECT_EQ(BuildIntegratorRows(s, rows, p.start, p.end, totals, kMonthlyReport), 4);
    EXPECT_EQ(rows[0], QStringLiteral("\tV,м^3\tВНР,ч\tВОС,ч\t"));
    EXPECT_EQ(rows[2], QStringLiteral("Нарастающий итог:\t1,235\t0\t0\t"));
}

TEST(Integrators, MonthlyReadingsAtTheBoundsOfTheTablesMonths)
{
    // Monthly records of January to March (Q 10, 20, 40) and readings that agree with them at
    // the first of January, February and April, and on 2 March (the reading nearest the end of
    // a period ending on 1 March).
    ReportFixture f;
    f.Put(kMonthlyArchive, {At(2010, 1, 1), 10});
    f.Put(kMonthlyArchive, {At(2010, 2, 1), 20});
    f.Put(kMonthlyArchive, {At(2010, 3, 1), 40});
    PutReading(f, At(2010, 1, 1), 100);
    PutReading(f, At(2010, 2, 1), 110);
    PutReading(f, At(2010, 3, 2), 131);
    PutReading(f, At(2010, 4, 1), 170);
    // The table sums whole months whatever day of the newest month ends the period; so do the
    // readings. A start after the first of a month leaves that month out of both.
    const struct
    {
        QDate from, to;
        const char *table, *result;
    } cases[] = {
        {QDate(2010, 1, 1), QDate(2010, 3, 1), "Итого\t70,00\t", "Итого:\t70\t"},
        {QDate(2010, 1, 1), QDate(2010, 3, 31), "Итого\t70,00\t", "Итого:\t70\t"},
        {QDate(2010, 1, 2), QDate(2010, 3, 15), "Итого\t60,00\t", "Итого:\t60\t"},
        {QDate(2010, 1, 2), QDate(2010, 1, 20), "Итого\t0,00\t", "Итого:\t0\t"},
    };
    for (const auto &c : cases) {
        const ReportSelection s = f.Selection(kMonthlyReport, c.from, c.to, {0});
        RowList rows;
        ReportTotals totals;
        BuildProtocolRows(s, rows, nullptr, nullptr, &totals);
        EXPECT_EQ(rows[rows.size() - 2], QString::fromUtf8(c.table)) << c.to.toString().toStdString();
        const ReportPeriod p = MakeReportPeriod(s);
        BuildIntegratorRows(s, rows, p.start, p.end, totals, kMonthlyReport);
        EXPECT_TRUE(rows[3].startsWith(QString::fromUtf8(c.result))) << rows[3].toStdString();
    }
}
