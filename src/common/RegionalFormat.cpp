#include "RegionalFormat.h"

#include "DayCount.h"
#include "StorageError.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace qst {

namespace {

// The value rounded to 15 significant digits: digits without trailing zeros (at least
// one) and the decimal exponent of the first digit.
struct Decimal15
{
    bool negative = false;
    std::string digits;
    int exponent = 0;
};

Decimal15 ToDecimal15(double value)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", value);
    Decimal15 d;
    const char *p = buf;
    if (*p == '-') {
        d.negative = true;
        ++p;
    }
    for (; *p && *p != 'e'; ++p) {
        if (*p >= '0' && *p <= '9')
            d.digits.push_back(*p);
    }
    if (*p == 'e')
        d.exponent = std::atoi(p + 1);
    while (d.digits.size() > 1 && d.digits.back() == '0')
        d.digits.pop_back();
    return d;
}

QString SpecialText(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NAN");
    return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
}

} // namespace

QString FormatReal(double value)
{
    if (!std::isfinite(value))
        return SpecialText(value);
    if (value == 0)
        return QStringLiteral("0");
    const Decimal15 d = ToDecimal15(value);
    std::string out;
    if (d.negative)
        out.push_back('-');
    const int e = d.exponent;
    const int n = static_cast<int>(d.digits.size());
    if (e >= -5 && e < 15) {
        if (e < 0) {
            out += "0,";
            out.append(static_cast<size_t>(-e - 1), '0');
            out += d.digits;
        } else if (n <= e + 1) {
            out += d.digits;
            out.append(static_cast<size_t>(e + 1 - n), '0');
        } else {
            out.append(d.digits, 0, static_cast<size_t>(e + 1));
            out.push_back(',');
            out.append(d.digits, static_cast<size_t>(e + 1));
        }
    } else {
        out.push_back(d.digits[0]);
        if (n > 1) {
            out.push_back(',');
            out.append(d.digits, 1);
        }
        out.push_back('E');
        if (e < 0)
            out.push_back('-');
        out += std::to_string(std::abs(e));
    }
    return QString::fromLatin1(out);
}

QString FormatInt(qint64 value)
{
    return QString::number(value);
}

QString FormatFixed(double value, int minDecimals, int maxDecimals)
{
    if (!std::isfinite(value))
        return SpecialText(value);
    maxDecimals = std::max(0, maxDecimals);
    minDecimals = std::clamp(minDecimals, 0, maxDecimals);
    std::string intPart = "0";
    std::string frac;
    bool negative = false;
    if (value != 0) {
        const Decimal15 d = ToDecimal15(value);
        negative = d.negative;
        const int point = d.exponent + 1; // digits before the decimal point
        const int n = static_cast<int>(d.digits.size());
        if (point <= 0) {
            frac.assign(static_cast<size_t>(-point), '0');
            frac += d.digits;
        } else if (point >= n) {
            intPart = d.digits + std::string(static_cast<size_t>(point - n), '0');
        } else {
            intPart = d.digits.substr(0, static_cast<size_t>(point));
            frac = d.digits.substr(static_cast<size_t>(point));
        }
    }
    if (static_cast<int>(frac.size()) > maxDecimals) {
        const bool roundUp = frac[static_cast<size_t>(maxDecimals)] >= '5';
        frac.resize(static_cast<size_t>(maxDecimals));
        if (roundUp) {
            std::string all = intPart + frac;
            int i = static_cast<int>(all.size()) - 1;
            for (; i >= 0; --i) {
                if (all[static_cast<size_t>(i)] == '9') {
                    all[static_cast<size_t>(i)] = '0';
                } else {
                    ++all[static_cast<size_t>(i)];
                    break;
                }
            }
            if (i < 0)
                all.insert(all.begin(), '1');
            intPart = all.substr(0, all.size() - frac.size());
            frac = all.substr(all.size() - frac.size());
        }
    }
    while (static_cast<int>(frac.size()) > minDecimals && frac.back() == '0')
        frac.pop_back();
    if (static_cast<int>(frac.size()) < minDecimals)
        frac.append(static_cast<size_t>(minDecimals) - frac.size(), '0');
    const bool allZero = intPart.find_first_not_of('0') == std::string::npos
        && frac.find_first_not_of('0') == std::string::npos;
    std::string out;
    if (negative && !allZero)
        out.push_back('-');
    out += intPart;
    if (!frac.empty()) {
        out.push_back(',');
        out += frac;
    }
    return QString::fromLatin1(out);
}

QString FormatPattern(double value, QStringView pattern)
{
    int minDecimals = 0;
    int maxDecimals = 0;
    const qsizetype dot = pattern.indexOf(u'.');
    if (dot >= 0) {
        for (QChar c : pattern.sliced(dot + 1)) {
            if (c == u'0') {
                ++minDecimals;
                ++maxDecimals;
            } else if (c == u'#') {
                ++maxDecimals;
            }
        }
    }
    return FormatFixed(value, minDecimals, maxDecimals);
}

QString DateText(const QDate &date)
{
    if (!date.isValid())
        return {};
    return QStringLiteral("%1.%2.%3")
        .arg(date.day(), 2, 10, QLatin1Char('0'))
        .arg(date.month(), 2, 10, QLatin1Char('0'))
        .arg(date.year(), 4, 10, QLatin1Char('0'));
}

QString TimeText(const QTime &time)
{
    return QStringLiteral("%1:%2:%3")
        .arg(time.hour())
        .arg(time.minute(), 2, 10, QLatin1Char('0'))
        .arg(time.second(), 2, 10, QLatin1Char('0'));
}

QString DateTimeText(const QDateTime &dateTime)
{
    if (!dateTime.isValid())
        return {};
    const QTime time = dateTime.time();
    if (time.msecsSinceStartOfDay() == 0)
        return DateText(dateTime.date());
    return DateText(dateTime.date()) + u' ' + TimeText(time);
}

QString DateTimeText(double dayCount)
{
    QDate date;
    QTime time;
    if (!SplitDayCount(dayCount, &date, &time))
        return {};
    return DateTimeText(QDateTime(date, time));
}

namespace {

bool ReadNumber(QStringView text, qsizetype *pos, int minDigits, int maxDigits, int *value)
{
    int digits = 0;
    int v = 0;
    while (*pos < text.size() && text[*pos].isDigit() && text[*pos].unicode() < 128 && digits < maxDigits) {
        v = v * 10 + (text[*pos].unicode() - '0');
        ++*pos;
        ++digits;
    }
    *value = v;
    return digits >= minDigits;
}

bool Expect(QStringView text, qsizetype *pos, QChar c)
{
    if (*pos < text.size() && text[*pos] == c) {
        ++*pos;
        return true;
    }
    return false;
}

} // namespace

QDateTime ParseDateTimeText(QStringView text)
{
    text = text.trimmed();
    qsizetype pos = 0;
    int day, month, year;
    if (!ReadNumber(text, &pos, 1, 2, &day) || !Expect(text, &pos, u'.') || !ReadNumber(text, &pos, 1, 2, &month)
        || !Expect(text, &pos, u'.') || !ReadNumber(text, &pos, 4, 4, &year))
        return {};
    const QDate date(year, month, day);
    if (!date.isValid())
        return {};
    if (pos == text.size())
        return QDateTime(date, QTime(0, 0));
    if (!text[pos].isSpace())
        return {};
    while (pos < text.size() && text[pos].isSpace())
        ++pos;
    int hour, minute, second = 0;
    if (!ReadNumber(text, &pos, 1, 2, &hour) || !Expect(text, &pos, u':') || !ReadNumber(text, &pos, 2, 2, &minute))
        return {};
    if (Expect(text, &pos, u':') && !ReadNumber(text, &pos, 2, 2, &second))
        return {};
    if (pos != text.size())
        return {};
    const QTime time(hour, minute, second);
    if (!time.isValid())
        return {};
    return QDateTime(date, time);
}

QDate ParseDateText(QStringView text)
{
    const QDateTime dt = ParseDateTimeText(text);
    return dt.isValid() ? dt.date() : QDate();
}

namespace {

bool IsBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

} // namespace

bool TryParseReal(QStringView text, double *value)
{
    qsizetype b = 0;
    qsizetype e = text.size();
    while (b < e && IsBlank(text[b]))
        ++b;
    while (e > b && IsBlank(text[e - 1]))
        --e;
    const qsizetype n = e - b;
    if (n == 0 || n > 400)
        return false;
    char stackBuf[64];
    std::string heapBuf;
    char *buf = stackBuf;
    if (n >= static_cast<qsizetype>(sizeof stackBuf)) {
        heapBuf.resize(static_cast<size_t>(n) + 1);
        buf = heapBuf.data();
    }
    // Grammar: [sign] digits [sep digits] [E [sign] digits]; the separator is "," or the
    // first "." (a second separator of either kind is an error).
    qsizetype i = b;
    qsizetype len = 0;
    if (text[i] == u'+') {
        ++i;
    } else if (text[i] == u'-') {
        buf[len++] = '-';
        ++i;
    }
    int mantissaDigits = 0;
    bool separatorSeen = false;
    for (; i < e; ++i) {
        const char16_t c = text[i].unicode();
        if (c >= u'0' && c <= u'9') {
            buf[len++] = static_cast<char>(c);
            ++mantissaDigits;
        } else if ((c == u',' || c == u'.') && !separatorSeen) {
            separatorSeen = true;
            buf[len++] = '.';
        } else {
            break;
        }
    }
    if (mantissaDigits == 0)
        return false;
    if (i < e) {
        const char16_t c = text[i].unicode();
        if (c != u'e' && c != u'E')
            return false;
        buf[len++] = 'e';
        ++i;
        if (i < e && (text[i] == u'+' || text[i] == u'-')) {
            if (text[i] == u'-')
                buf[len++] = '-';
            ++i;
        }
        int expDigits = 0;
        for (; i < e; ++i) {
            const char16_t d = text[i].unicode();
            if (d < u'0' || d > u'9')
                return false;
            buf[len++] = static_cast<char>(d);
            ++expDigits;
        }
        if (expDigits == 0)
            return false;
    }
    double result = 0;
    const auto [ptr, ec] = std::from_chars(buf, buf + len, result);
    if (ec != std::errc() || ptr != buf + len || !std::isfinite(result))
        return false;
    *value = result;
    return true;
}

double ParseReal(QStringView text)
{
    double value = 0;
    if (!TryParseReal(text, &value))
        throw StorageError(QStringLiteral("'%1' не является вещественным числом").arg(text.toString()));
    return value;
}

bool TryParseInt(QStringView text, qint64 *value)
{
    text = text.trimmed();
    if (text.isEmpty() || text.size() > 20)
        return false;
    qsizetype i = 0;
    bool negative = false;
    if (text[0] == u'+' || text[0] == u'-') {
        negative = text[0] == u'-';
        ++i;
    }
    if (i == text.size() || text.size() - i > 19)
        return false;
    quint64 v = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return false;
        v = v * 10 + (c - u'0');
        if (v > quint64(9223372036854775807LL) + (negative ? 1 : 0))
            return false;
    }
    *value = negative ? static_cast<qint64>(0 - v) : static_cast<qint64>(v);
    return true;
}

} // namespace qst
