#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>

namespace qst {

// The regional format, fixed to the Russian defaults: short date dd.MM.yyyy, long time
// H:mm:ss, decimal comma. Every number and date text of files and views comes from here.

constexpr QChar kDecimalSeparator = u',';

// A real in the general 15-significant-digit format of the files: 0, 12,5,
// 0,100000001490116, 40179,5416666667, 0,00001, 1E-6, 1,5E-7, 1E15.
QString FormatReal(double value);
QString FormatInt(qint64 value);

// Display patterns "0.##", "0.###", "0.00", ...: at least minDecimals and at most
// maxDecimals digits after the comma, rounded half away from zero on the value's
// 15-digit decimal form. FormatPattern(x, "0.###") is the same call by pattern text.
QString FormatFixed(double value, int minDecimals, int maxDecimals);
QString FormatPattern(double value, QStringView pattern);

// "dd.MM.yyyy H:mm:ss", the time left out at exactly midnight.
QString DateTimeText(const QDateTime &dateTime);
QString DateTimeText(double dayCount);
QString DateText(const QDate &date);
QString TimeText(const QTime &time); // H:mm:ss

// Reads what DateText and DateTimeText write (also d.M.yyyy and H:mm); invalid on failure.
QDateTime ParseDateTimeText(QStringView text);
QDate ParseDateText(QStringView text);

// Reads a real written with "." or "," as decimal separator. Throws StorageError for
// anything that is not a number.
double ParseReal(QStringView text);
bool TryParseReal(QStringView text, double *value);

// Plain decimal integer with optional sign, surrounding blanks ignored.
bool TryParseInt(QStringView text, qint64 *value);

} // namespace qst
