#include "TableFit.h"

#include <algorithm>

namespace qst {

namespace {

constexpr double kNarrowCellMargin = 1.5;
// Room the cell border and rounding take beside the margins.
constexpr double kCellSlack = 1.0;

// Advance widths in ems, rounded up, of Times New Roman.
double Advance(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return 0.5;
    switch (c) {
    case u' ':
    case u',':
    case u'.':
    case u':':
    case u';':
    case u'\'':
    case u'i':
    case u'j':
    case u'l':
    case u'!':
    case u'|':
        return 0.28;
    case u'-':
    case u'(':
    case u')':
    case u'[':
    case u']':
    case u'/':
    case u'f':
    case u'r':
    case u't':
    case u'I':
        return 0.34;
    case u'+':
    case u'=':
    case u'<':
    case u'>':
    case u'^':
        return 0.57;
    case u'°':
        return 0.4;
    case u'№':
        return 1.0;
    case u'_':
        return 0.5;
    case u'm':
    case u'w':
        return 0.78;
    case u'M':
    case u'W':
        return 0.95;
    case u'ж':
    case u'ш':
    case u'щ':
    case u'ю':
    case u'ы':
    case u'м':
    case u'ф':
        return 0.78;
    case u'Ж':
    case u'Ш':
    case u'Щ':
    case u'Ю':
    case u'Ы':
    case u'М':
    case u'Ф':
        return 0.95;
    default:
        break;
    }
    if (c >= u'a' && c <= u'z')
        return 0.5;
    if (c >= u'A' && c <= u'Z')
        return 0.73;
    if (c >= 0x0430 && c <= 0x044F) // а..я
        return 0.55;
    if (c >= 0x0410 && c <= 0x042F) // А..Я
        return 0.73;
    return 0.6;
}

} // namespace

double EstimatedTextWidth(QStringView text, double fontSize)
{
    double ems = 0;
    for (QChar c : text)
        ems += Advance(c.unicode());
    return ems * fontSize * 1.04;
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

TableFit FitTableFont(const std::vector<double> &columnWidths, const QList<QStringList> &rows, int largest,
                      int smallest)
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
