#include "TableFit.h"

#include <algorithm>

namespace qst {

namespace {

constexpr double kNarrowCellMargin = 1.5;
// Room the cell borders and rounding take beside the margins.
constexpr double kCellSlack = 1.5;

// Advance widths of Times New Roman in thousandths of an em.
constexpr short kLatinLower[26] = { 444, 500, 444, 500, 444, 333, 500, 500, 278, 278, 500, 278, 778, 500, 500, 500, 500,
    333, 389, 278, 500, 500, 722, 500, 500, 444 };
constexpr short kLatinUpper[26] = { 722, 667, 667, 722, 611, 556, 722, 722, 333, 389, 722, 611, 889, 722, 722, 556, 722,
    667, 556, 611, 722, 722, 944, 722, 722, 611 };
// а..я and А..Я
constexpr short kCyrillicLower[32] = { 444, 509, 472, 410, 509, 444, 691, 395, 535, 535, 486, 499, 633, 535, 500, 535,
    500, 444, 437, 500, 648, 500, 535, 503, 770, 770, 517, 672, 456, 429, 747, 490 };
constexpr short kCyrillicUpper[32] = { 722, 574, 667, 578, 682, 611, 896, 501, 722, 722, 667, 678, 889, 722, 722, 722,
    556, 667, 611, 715, 790, 722, 722, 669, 1009, 1009, 706, 872, 574, 660, 1028, 667 };

double Advance(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return 0.5;
    if (c >= u'a' && c <= u'z')
        return kLatinLower[c - u'a'] / 1000.0;
    if (c >= u'A' && c <= u'Z')
        return kLatinUpper[c - u'A'] / 1000.0;
    if (c >= 0x0430 && c <= 0x044F)
        return kCyrillicLower[c - 0x0430] / 1000.0;
    if (c >= 0x0410 && c <= 0x042F)
        return kCyrillicUpper[c - 0x0410] / 1000.0;
    switch (c) {
    case u' ':
    case u',':
    case u'.':
        return 0.25;
    case u':':
    case u';':
    case u'/':
    case u'!':
        return 0.278;
    case u'-':
    case u'(':
    case u')':
    case u'[':
    case u']':
        return 0.333;
    case u'+':
    case u'=':
    case u'<':
    case u'>':
        return 0.564;
    case u'^':
        return 0.469;
    case u'°':
        return 0.4;
    case u'№':
        return 1.0;
    case u'_':
        return 0.5;
    case u'%':
        return 0.833;
    case u'ё':
        return 0.444;
    case u'Ё':
        return 0.611;
    default:
        return 0.75;
    }
}

} // namespace

double EstimatedTextWidth(QStringView text, double fontSize)
{
    double ems = 0;
    for (QChar c : text)
        ems += Advance(c.unicode());
    // A little over the font's own figures: what is said to fit must fit in every renderer.
    return ems * fontSize * 1.05;
}

double WidestWordWidth(QStringView text, double fontSize)
{
    double widest = 0;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i <= n; ++i) {
        if (i == n || text.at(i).isSpace()) {
            if (i > start)
                widest = std::max(widest, EstimatedTextWidth(text.mid(start, i - start), fontSize));
            start = i + 1;
        }
    }
    return widest;
}

int FittingFontSize(QStringView text, double width, int largest, int smallest)
{
    for (int size = largest; size > smallest; --size)
        if (WidestWordWidth(text, size) <= width - kCellSlack)
            return size;
    return smallest;
}

TableFit FitTableFont(
    const std::vector<double> &columnWidths, const QList<QStringList> &rows, int largest, int smallest)
{
    // The widest piece of each column at 1 pt; widths grow in proportion to the size.
    std::vector<double> widest(columnWidths.size(), 0.0);
    for (const QStringList &cells : rows)
        for (qsizetype j = 0; j < cells.size() && j < qsizetype(widest.size()); ++j)
            widest[size_t(j)] = std::max(widest[size_t(j)], WidestWordWidth(cells[j], 1.0));
    auto fits = [&](int size, double margin) {
        for (size_t j = 0; j < widest.size(); ++j)
            if (widest[j] * size > columnWidths[j] - 2 * margin - kCellSlack)
                return false;
        return true;
    };
    if (fits(largest, 5.4))
        return TableFit { largest, 5.4, true };
    for (int size = largest; size >= smallest; --size)
        if (fits(size, kNarrowCellMargin))
            return TableFit { size, kNarrowCellMargin, true };
    return TableFit { smallest, kNarrowCellMargin, false };
}

} // namespace qst
