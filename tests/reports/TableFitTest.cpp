// Fitted table fonts: numbers never break inside a cell.
#include "reports/TableFit.h"

#include <gtest/gtest.h>

using namespace qst;

TEST(TableFit, WidthsOfTheSerifFont)
{
    // Digits are half an em, the comma a quarter; the estimate is a little over the font's own.
    EXPECT_NEAR(EstimatedTextWidth(u"1322,927", 8), 8 * 3.75 * 1.05, 1e-9);
    EXPECT_NEAR(WidestWordWidth(u"01.03.2010 12:00:00", 10), EstimatedTextWidth(u"01.03.2010", 10), 1e-9);
    EXPECT_GT(EstimatedTextWidth(u"Ш", 10), EstimatedTextWidth(u"г", 10));
    EXPECT_EQ(WidestWordWidth(u"", 10), 0);
}

TEST(TableFit, LargestFontThatKeepsNumbersWhole)
{
    const struct
    {
        const char *what;
        double width; // every column
        QString widest;
        int fontSize;
        double margin;
        bool fits;
    } cases[] = {
        { "wide columns keep 8 pt and the usual margins", 60, QStringLiteral("1322,927"), 8, 5.4, true },
        { "narrow margins before a smaller font", 40, QStringLiteral("1322,927"), 8, 1.5, true },
        { "then 7 pt", 33, QStringLiteral("1322,927"), 7, 1.5, true },
        { "then 6 pt", 29, QStringLiteral("1322,927"), 6, 1.5, true },
        { "even 6 pt is too wide", 22, QStringLiteral("1322,927"), 6, 1.5, false },
        { "a date and time may wrap at its blank", 55, QStringLiteral("01.03.2010 12:00:00"), 8, 5.4, true },
    };
    for (const auto &c : cases) {
        const TableFit fit = FitTableFont({ c.width, c.width }, { { QStringLiteral("1"), c.widest } }, 8, 6);
        EXPECT_EQ(fit.fontSize, c.fontSize) << c.what;
        EXPECT_EQ(fit.cellMargin, c.margin) << c.what;
        EXPECT_EQ(fit.fits, c.fits) << c.what;
    }
    // A heading word shrinks until it fits, but not below the smallest size.
    EXPECT_EQ(FittingFontSize(u"теплосчетчика", 100, 8, 5), 8);
    EXPECT_EQ(FittingFontSize(u"теплосчетчика", 48, 8, 5), 7);
    EXPECT_EQ(FittingFontSize(u"теплосчетчика", 10, 8, 5), 5);
}
