#include "common/DayCount.h"

#include <gtest/gtest.h>

using namespace qst;

TEST(DayCount, KnownDatesAndBack)
{
    const double t = DayCountFromParts(QDate(2010, 1, 1), QTime(13, 0));
    EXPECT_NEAR(t, 40179.5416666667, 1e-9);
    EXPECT_EQ(DateTimeFromDayCount(t), QDateTime(QDate(2010, 1, 1), QTime(13, 0)));
    EXPECT_EQ(DayCountFromDate(QDate(1899, 12, 30)), 0.0);
    EXPECT_EQ(DayCountFromDate(QDate(1900, 1, 1)), 2.0);
    // Before the epoch the fraction is the time of day of the integer day.
    EXPECT_EQ(DateTimeFromDayCount(-1.25), QDateTime(QDate(1899, 12, 29), QTime(6, 0)));
    EXPECT_EQ(DayCountFromParts(QDate(1899, 12, 29), QTime(6, 0)), -1.25);
}

TEST(DayCount, FifteenDigitTextRoundsToWholeMilliseconds)
{
    // 40543,0833333333 is 31 December 2010 02:00:00, not 01:59:59.
    EXPECT_EQ(DateTimeFromDayCount(40543.0833333333), QDateTime(QDate(2010, 12, 31), QTime(2, 0)));
    EXPECT_EQ(TimeKey(40543.0833333333), 20101231020000LL);
    EXPECT_EQ(TimeKey(40179.5416666667), 20100101130000LL);
}

TEST(DayCount, ImpossibleValuesAreNotDates)
{
    for (double v : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 1e12, -1e12}) {
        EXPECT_FALSE(DateTimeFromDayCount(v).isValid()) << v;
        EXPECT_EQ(TimeKey(v), 0) << v;
    }
}

TEST(DayCount, WholeUnitsBetweenSurviveFloatingPointLoss)
{
    const double a = DayCountFromParts(QDate(2010, 3, 1), QTime(0, 0));
    const double b = a + 3.0 / 24.0 - 1e-9; // 2.99999998 hours
    EXPECT_EQ(WholeHoursBetween(a, b), 3);
    EXPECT_EQ(WholeHoursBetween(a, a + 2.5 / 24.0), 2);
    EXPECT_EQ(WholeDaysBetween(a, a + 2.9999999999), 3);
    EXPECT_EQ(MonthsBetween(QDate(2010, 11, 30), QDate(2011, 2, 1)), 3);
}
