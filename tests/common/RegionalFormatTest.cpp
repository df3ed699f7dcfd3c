#include "common/RegionalFormat.h"
#include "common/DayCount.h"
#include "common/StorageError.h"

#include <gtest/gtest.h>

using namespace qst;

TEST(FormatReal, FileTexts)
{
    const struct {
        double value;
        const char *text;
    } cases[] = {
        {0.0, "0"},
        {-0.0, "0"},
        {12.5, "12,5"},
        {static_cast<double>(0.1f), "0,100000001490116"},
        {40179.541666666664, "40179,5416666667"},
        {0.00001, "0,00001"},
        {1e-6, "1E-6"},
        {1.5e-7, "1,5E-7"},
        {1e15, "1E15"},
        {123456789012345.0, "123456789012345"},
        {-2.25, "-2,25"},
        {-1e-6, "-1E-6"},
        {1.23456789012345678e20, "1,23456789012346E20"},
        {100.0, "100"},
        {static_cast<double>(-56), "-56"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(FormatReal(c.value).toStdString(), c.text) << c.value;
}

TEST(FormatReal, RoundTripsThroughParseReal)
{
    for (double v : {0.1, 1.0 / 3.0, 40179.541666666664, 1e-9, 7.25e18, -123.456}) {
        const double back = ParseReal(FormatReal(v));
        EXPECT_NEAR(back, v, std::abs(v) * 1e-14) << v;
    }
}

TEST(FormatPattern, DisplayPatterns)
{
    const struct {
        double value;
        const char *pattern;
        const char *text;
    } cases[] = {
        {0.3, "0.000", "0,300"},
        {65.0, "0.00", "65,00"},
        {12.3456, "0.##", "12,35"},
        {12.0, "0.##", "12"},
        {12.5, "0.###", "12,5"},
        {0.125, "0.##", "0,13"},   // half away from zero on the decimal form
        {2.675, "0.##", "2,68"},   // 15-digit decimal form, not the binary tail
        {-0.001, "0.##", "0"},     // no "-0"
        {-1.005, "0.00", "-1,01"},
        {9.999, "0.##", "10"},
        {99.96, "0.0", "100,0"},
        {1234567.891, "0.####", "1234567,891"},
        {0.00004, "0.####", "0"},
        {0.00005, "0.####", "0,0001"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(FormatPattern(c.value, QString::fromLatin1(c.pattern)).toStdString(), c.text)
            << c.value << " " << c.pattern;
    EXPECT_EQ(FormatFixed(1.5, 2, 2), QStringLiteral("1,50"));
}

TEST(ParseReal, AcceptsCommaOrFirstDot)
{
    EXPECT_EQ(ParseReal(u"40179,5"), 40179.5);
    EXPECT_EQ(ParseReal(u"40179.5"), 40179.5);
    EXPECT_EQ(ParseReal(u"  -12,5 "), -12.5);
    EXPECT_EQ(ParseReal(u"1,5E-7"), 1.5e-7);
    EXPECT_EQ(ParseReal(u"1E15"), 1e15);
    EXPECT_EQ(ParseReal(u"+3"), 3.0);
    EXPECT_EQ(ParseReal(u"0,100000001490116"), 0.100000001490116);
}

TEST(ParseReal, RejectsWhatIsNotANumber)
{
    for (const char16_t *text : {u"", u"  ", u"abc", u"1.2.3", u"1,2.3", u"1.2,3", u"1 000", u"inf", u"nan", u"1E",
                                 u"12a", u"--1", u",", u"E5", u"1e999"}) {
        double v = 0;
        EXPECT_FALSE(TryParseReal(text, &v)) << QString::fromUtf16(text).toStdString();
        EXPECT_THROW(ParseReal(text), StorageError);
    }
}

TEST(DateTexts, WriteAndReadBack)
{
    EXPECT_EQ(DateTimeText(QDateTime(QDate(2010, 3, 5), QTime(7, 5, 9))), QStringLiteral("05.03.2010 7:05:09"));
    EXPECT_EQ(DateTimeText(QDateTime(QDate(2010, 3, 5), QTime(0, 0))), QStringLiteral("05.03.2010"));
    EXPECT_EQ(DateTimeText(QDateTime(QDate(2010, 3, 5), QTime(0, 0, 1))), QStringLiteral("05.03.2010 0:00:01"));
    EXPECT_EQ(DateText(QDate(2010, 12, 31)), QStringLiteral("31.12.2010"));
    EXPECT_EQ(DateTimeText(40179.5416666667), QStringLiteral("01.01.2010 13:00:00"));

    EXPECT_EQ(ParseDateTimeText(u"05.03.2010 7:05:09"), QDateTime(QDate(2010, 3, 5), QTime(7, 5, 9)));
    EXPECT_EQ(ParseDateTimeText(u"05.03.2010"), QDateTime(QDate(2010, 3, 5), QTime(0, 0)));
    EXPECT_EQ(ParseDateTimeText(u"5.3.2010 17:05"), QDateTime(QDate(2010, 3, 5), QTime(17, 5)));
    for (const char16_t *bad : {u"", u"31.02.2010", u"05.03.10", u"05.03.2010 25:00:00", u"05.03.2010x", u"garbage"})
        EXPECT_FALSE(ParseDateTimeText(bad).isValid()) << QString::fromUtf16(bad).toStdString();
}

TEST(TryParseInt, WholeNumbersOnly)
{
    qint64 v = 0;
    EXPECT_TRUE(TryParseInt(u" 42 ", &v));
    EXPECT_EQ(v, 42);
    EXPECT_TRUE(TryParseInt(u"-7", &v));
    EXPECT_EQ(v, -7);
    for (const char16_t *bad : {u"", u"4.2", u"0x10", u"12a", u"99999999999999999999", u"-"})
        EXPECT_FALSE(TryParseInt(bad, &v)) << QString::fromUtf16(bad).toStdString();
}
