#pragma once

namespace qst::web {

// Room a number may take at `at`.
constexpr int kJsonNumberRoom = 64;

// A value as the page shows it, as a JSON number, written at `at`: `decimals` digits after the
// point with the trailing zeros dropped (-1: an integer), "null" for what is not finite or
// beyond any meter's range. Returns the end. The same text as std::to_chars with the fixed
// format, which rounds the exact binary value; a year of records holds some 300,000 values,
// so the common case takes an integer path four times faster.
char *WriteJsonNumber(char *at, double value, int decimals);

} // namespace qst::web
