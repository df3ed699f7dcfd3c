// Whether the stored archive adds up: hours to days, days to months, archive to totals.
#include "ReportFixture.h"

#include "common/DeviceValues.h"
#include "common/RegionalFormat.h"
#include "common/TextFile.h"
#include "reports/ArchiveCheck.h"
#include "storage/RecordWriters.h"

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

// March 2010 of meter 100, every hour Q1 0.125, M1 2, V1 1.5, V5 0.25; days and the month
// their exact sums; operating 20 h and stop 4 h a day; totals read at two whole hours and
// once in between.
struct MonthFixture
{
    TempDataRoot root;
    float dayQ[32] = {};
    float hourQ = 0.125f;
    float dayWork = 20;

    ArchiveValues Values(double time, float scale, float work, float stop)
    {
        ArchiveValues a;
        a.time = time;
        a.F[0] = hourQ * scale;
        a.F[2] = 2 * scale;
        a.F[6] = 1.5f * scale;
        a.F[10] = 0.25f * scale;
        a.F[21] = work * 60;
        a.F[22] = stop * 60;
        return a;
    }

    void Write(int wrongDay = 0, int wrongHour = 0, float wrongQ = 0, float totalsQ1End = 90)
    {
        QStringList hours;
        QStringList days;
        for (int d = 1; d <= 31; ++d) {
            for (int h = 0; h < 24; ++h) {
                ArchiveValues a = Values(At(2010, 3, d, h), 1, 1, 0);
                if (d == wrongDay && h == wrongHour)
                    a.F[0] = wrongQ;
                hours << BuildArchiveLine(1, a);
            }
            ArchiveValues day = Values(At(2010, 3, d), 24, dayWork, 4);
            days << BuildArchiveLine(1, day);
        }
        Save(Path(DataKind::Hourly, 3), hours);
        Save(Path(DataKind::Daily, 0), days);
        Save(Path(DataKind::Monthly, 0), { BuildArchiveLine(1, Values(At(2010, 3, 1), 24 * 31, 20 * 31, 4 * 31)) });
        // Totals at 1 March 00:00 and 31 March 00:00: 720 hours of 0.125 Gcal = 90.
        Save(Path(DataKind::History, 3),
            { HistoryLine(At(2010, 3, 1), 1000, 5000), HistoryLine(At(2010, 3, 15, 12, 30), 2000, 0),
                HistoryLine(At(2010, 3, 31), 1000 + totalsQ1End, 5000 + 1440) });
    }

    QString HistoryLine(double time, float q1, float m1)
    {
        LineBuilder b;
        b.Time(time);
        for (int i = 0; i < 10; ++i)
            b.Real(0);
        const float totals[11] = { q1, 0, m1, 0, 0, 0, 1080 * m1 / 1440, 0, 0, 0, 180 * (m1 - 5000) / 1440 };
        for (float t : totals)
            b.Real(t);
        for (int i = 0; i < 11; ++i)
            b.Real(0);
        for (int i = 0; i < 5; ++i)
            b.Int(0);
        for (int i = 0; i < 6; ++i)
            b.Real(0);
        return b.line();
    }

    static void Save(const QString &path, const QStringList &lines)
    {
        EnsureMeterFolder(path);
        SaveLines(path, lines);
    }

    QString Path(DataKind kind, int month) const { return DataFilePath(root.path(), kind, 100, 2010, month); }

    CheckResult Check()
    {
        return CheckArchive(root.path(), QStringLiteral("100"), QDate(2010, 3, 1), QDate(2010, 3, 31));
    }
};

} // namespace

TEST(ArchiveCheck, ACleanMonthAddsUp)
{
    MonthFixture f;
    f.Write();
    const CheckResult r = f.Check();
    EXPECT_TRUE(r.differences.isEmpty()) << CheckSummary(r).toStdString();
    EXPECT_EQ(r.daysChecked, 31);
    EXPECT_EQ(r.monthsChecked, 1);
    EXPECT_TRUE(r.integratorsChecked);
    EXPECT_EQ(r.incompleteDays, 0);
}

TEST(ArchiveCheck, OneWrongHourIsFoundOnItsDayOnly)
{
    // Within the tolerance (0.1 % of 3 Gcal, or one unit of the fourth decimal) is no difference.
    const struct
    {
        float q;
        bool found;
    } cases[] = { { 0.125f, false }, { 0.1275f, false }, { 0.1285f, true }, { 0.625f, true }, { 0, true } };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.q);
        MonthFixture f;
        f.Write(15, 7, c.q);
        const CheckResult r = f.Check();
        if (!c.found) {
            EXPECT_TRUE(r.differences.isEmpty());
            continue;
        }
        // The day's sum differs; the month still adds up from the days; the totals grew by 90
        // while the hours now sum to 90 - 0.125 + q.
        ASSERT_GE(r.differences.size(), 1);
        const CheckDifference &d = r.differences[0];
        EXPECT_EQ(d.scope, CheckScope::HoursInDay);
        EXPECT_EQ(d.time, At(2010, 3, 15));
        EXPECT_EQ(d.quantity, QStringLiteral("Q1"));
        EXPECT_NEAR(d.expected, 3 - 0.125 + c.q, 1e-6);
        EXPECT_NEAR(d.stored, 3, 1e-6);
        for (const CheckDifference &other : r.differences.mid(1))
            EXPECT_EQ(other.scope, CheckScope::Integrators); // 90 +- 0.5 exceeds 0.09 only for large changes
        EXPECT_EQ(r.differences.size(), std::fabs(c.q - 0.125f) > 0.09f ? 2 : 1);
        const ExportTable table = CheckTable(r);
        EXPECT_EQ(CellText(table.rows[0][0], CsvDialect::Russian), QStringLiteral("15.03.2010"));
        EXPECT_EQ(CellText(table.rows[0][4], CsvDialect::Russian), FormatFixed(-(c.q - 0.125f), 0, 4));
    }
}

TEST(ArchiveCheck, OperatingHoursTotalsAndMissingDataAreReported)
{
    MonthFixture f;
    f.dayWork = 19; // 19 + 4 hours a day
    f.Write(0, 0, 0, 80);
    CheckResult r = f.Check();
    int hourPairs = 0;
    int totals = 0;
    for (const CheckDifference &d : r.differences) {
        hourPairs += d.scope == CheckScope::OperatingHours && d.quantity == QStringLiteral("ВНР1+ВНС1");
        if (d.scope == CheckScope::Integrators) {
            ++totals;
            EXPECT_EQ(d.quantity, QStringLiteral("Q1 (итоговые)"));
            EXPECT_NEAR(d.expected, 80, 1e-3);
            EXPECT_NEAR(d.stored, 90, 1e-3);
        }
    }
    EXPECT_EQ(hourPairs, 31);
    EXPECT_EQ(totals, 1);

    // A day with an hour missing is not compared, and neither is the month without all its days.
    MonthFixture g;
    g.Write();
    QStringList hours = LoadLines(g.Path(DataKind::Hourly, 3));
    hours.removeAt(24 * 9 + 3);
    hours.insert(5, QStringLiteral("not a line\t"));
    SaveLines(g.Path(DataKind::Hourly, 3), hours);
    QStringList days = LoadLines(g.Path(DataKind::Daily, 0));
    days.removeAt(20);
    SaveLines(g.Path(DataKind::Daily, 0), days);
    r = g.Check();
    EXPECT_TRUE(r.differences.isEmpty());
    EXPECT_EQ(r.incompleteDays, 1);
    EXPECT_EQ(r.daysChecked, 29);
    EXPECT_EQ(r.incompleteMonths, 1);
    EXPECT_FALSE(r.integratorsChecked); // the missing hour breaks the run between the readings
    EXPECT_EQ(r.skippedLines, 1);

    // No files: clean and empty.
    const CheckResult none = CheckArchive(g.root.path(), QStringLiteral("7"), QDate(2010, 1, 1), QDate(2010, 12, 31));
    EXPECT_TRUE(none.differences.isEmpty());
    EXPECT_EQ(none.daysChecked + none.monthsChecked + none.incompleteDays, 0);
}

// A repeated hour is used once (the later line) and reported; a damaged hour is no record
// (the day is incomplete) and reported. Both are differences.
TEST(ArchiveCheck, RepeatedAndDamagedLinesAreDifferences)
{
    MonthFixture f;
    f.Write();
    const QString path = f.Path(DataKind::Hourly, 3);
    QStringList lines = LoadLines(path);
    lines.insert(10 * 24 + 5, lines[10 * 24 + 5]); // 11 March 05:00 twice
    const CheckResult repeated = [&] {
        SaveLines(path, lines);
        return f.Check();
    }();
    ASSERT_EQ(repeated.differences.size(), 1) << CheckSummary(repeated).toStdString();
    EXPECT_EQ(repeated.differences[0].scope, CheckScope::RepeatedLine);
    EXPECT_EQ(TimeKey(repeated.differences[0].time), TimeKey(At(2010, 3, 11, 5)));
    EXPECT_EQ(repeated.differences[0].stored, 2);
    EXPECT_EQ(repeated.daysChecked, 31) << "the day adds up with one line of that hour";

    lines.removeAt(10 * 24 + 5);
    lines[20 * 24 + 3] = lines[20 * 24 + 3].left(40); // 21 March 03:00 cut short
    SaveLines(path, lines);
    const CheckResult damaged = f.Check();
    ASSERT_EQ(damaged.differences.size(), 1) << CheckSummary(damaged).toStdString();
    EXPECT_EQ(damaged.differences[0].scope, CheckScope::DamagedLine);
    EXPECT_EQ(TimeKey(damaged.differences[0].time), TimeKey(At(2010, 3, 21, 3)));
    EXPECT_EQ(damaged.incompleteDays, 1);
    EXPECT_EQ(CheckTable(damaged).rows.size(), 1);
}
