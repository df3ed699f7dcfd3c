#pragma once

#include <QStringList>
#include <QStringView>

#include <vector>

namespace qst {

// How wide a text prints in the documents' serif font (Times New Roman or its metric twin),
// in points: a slightly generous estimate from per-letter advances, so what is said to fit does.
double EstimatedTextWidth(QStringView text, double fontSize);

// The width of the widest piece of `text` that may not be broken (the text between blanks
// and line ends), in points.
double WidestWordWidth(QStringView text, double fontSize);

// The font and cell margins a data table is written with so that no number breaks inside:
// the largest size from `largest` down to `smallest` at which the widest piece of every
// column fits, first with the usual cell margins, then with narrow ones.
struct TableFit
{
    int fontSize = 8;
    double cellMargin = 5.4; // left and right, points
    bool fits = true; // false: even the smallest size breaks some number
};
TableFit FitTableFont(
    const std::vector<double> &columnWidths, const QList<QStringList> &rows, int largest, int smallest);

// The largest size from `largest` down to `smallest` at which every word of `text` fits
// `width` (a cell's width less its margins); `smallest` when none does.
int FittingFontSize(QStringView text, double width, int largest, int smallest);

} // namespace qst
