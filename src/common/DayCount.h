#pragma once

#include <QDate>
#include <QDateTime>
#include <QTime>

namespace qst {

// A day count is a local wall-clock date and time held as days since 30 December 1899,
// the fraction being the time of day. Every time in the files is written in this form.
// Conversions go through the date's day number and the time of day, never through an
// epoch and a time zone, so a clock change cannot shift or drop an hour.

constexpr qint64 kMsPerDay = 86400000;

double DayCountFromDate(const QDate &date);
double DayCountFromParts(const QDate &date, const QTime &time);
double DayCountFromDateTime(const QDateTime &dateTime);

// Whole milliseconds since 30.12.1899 00:00, the day count rounded to the millisecond.
// Negative day counts follow the file convention: the integer part is the day, the
// fraction's magnitude is the time of day.
qint64 DayCountToMs(double dayCount);

// The date and time a day count stands for, rounded to whole milliseconds. Returns false
// for a value outside the calendar (NaN, infinity, beyond year 9999).
bool SplitDayCount(double dayCount, QDate *date, QTime *time);
QDate DateFromDayCount(double dayCount);         // invalid QDate when out of range
QDateTime DateTimeFromDayCount(double dayCount); // invalid QDateTime when out of range

// YYYYMMDDhhmmss of the time rounded to milliseconds (milliseconds then dropped);
// 0 for a value outside the calendar. Two times are equal when their keys are.
qint64 TimeKey(double dayCount);

// Whole hours/days between two day counts, without floating-point loss
// (2.9999999 hours is 3): the difference is rounded to the millisecond first.
qint64 WholeHoursBetween(double from, double to);
qint64 WholeDaysBetween(double from, double to);
// Whole calendar months from the month of `from` to the month of `to`.
int MonthsBetween(const QDate &from, const QDate &to);

} // namespace qst
