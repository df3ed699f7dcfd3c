#pragma once

#include <QString>

namespace qst {

// Fixed tables shared by the current-values page and the reports.

// Scheme names by code; system 1 has no "off" code at 0. Codes outside 0..19 name nothing.
QString SchemeName(int heatSystem /* 1 or 2 */, int code);

// Minimum flow (m3/h) by nominal pipe diameter in millimetres.
float MinFlowForDiameter(int du);

// 250 for measuring class 0 ("В, В2"), 500 otherwise ("Б").
int RangeRatio(int measuringClass);

// DU of a meter where a number is needed: 15 when absent or not a whole number.
constexpr int kDefaultDU = 15;

} // namespace qst
