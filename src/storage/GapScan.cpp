#include "GapScan.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/RegionalFormat.h"
#include "common/TextFile.h"
#include "storage/ArchiveFiles.h"

#include <QDate>
#include <QDir>
#include <QTime>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace qst {

namespace {

constexpr qint64 kMsPerHour = 3600000;
// Day count 0 (30.12.1899) as a Julian day.
constexpr qint64 kJulianOfDayZero = 2415019;

qint64 MonthSlot(const QDate &date)
{
    return qint64(date.year()) * 12 + (date.month() - 1);
}

QDate MonthSlotDate(qint64 slot)
{
    return QDate(int(slot / 12), int(slot % 12) + 1, 1);
}

// The time field of a line: the plain form ("40179,5416666667") is read straight from the
// bytes; anything else goes through ParseReal's rules.
bool ReadTimeField(const char *begin, const char *end, double *value)
{
    char buffer[40];
    const qsizetype length = end - begin;
    bool plain = length > 0 && length < qsizetype(sizeof buffer);
    int separators = 0;
    for (const char *p = begin; plain && p < end; ++p) {
        if (*p == ',' || *p == '.')
            plain = ++separators == 1 && p != begin && p + 1 != end;
        else
            plain = *p >= '0' && *p <= '9';
    }
    if (plain) {
        std::memcpy(buffer, begin, size_t(length));
        for (qsizetype i = 0; i < length; ++i) {
            if (buffer[i] == ',')
                buffer[i] = '.';
        }
        const auto result = std::from_chars(buffer, buffer + length, *value);
        return result.ec == std::errc() && result.ptr == buffer + length;
    }
    return TryParseReal(DecodeCp1251(QByteArrayView(begin, length)), value);
}

// TABs in the bytes, sixteen or eight at a time: scans run over years of files.
qsizetype CountTabs(const char *p, qsizetype n)
{
    constexpr quint64 kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    constexpr quint64 kHigh = 0x8080808080808080ULL;
    constexpr quint64 kTabs = 0x0909090909090909ULL;
    qsizetype count = 0;
    qsizetype i = 0;
#if defined(__SSE2__) || defined(_M_X64)
    const __m128i tabs = _mm_set1_epi8('\t');
    for (; i + 16 <= n; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        count += std::popcount(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, tabs))));
    }
#endif
    for (; i + 8 <= n; i += 8) {
        quint64 word = 0;
        std::memcpy(&word, p + i, 8);
        const quint64 x = word ^ kTabs; // a zero byte where a TAB was
        const quint64 nonzero = (((x & kLow7) + kLow7) | x) & kHigh;
        count += 8 - std::popcount(nonzero);
    }
    for (; i < n; ++i)
        count += p[i] == '\t';
    return count;
}

// Whether every byte can belong to number fields and their lines: digits, + , - . E e, TAB,
// CR, LF, blank. Sixteen at a time where SSE2 is there, over a whole file at once: scans run
// over years of files, nearly all of them clean.
bool NumberBytes(const char *p, qsizetype n)
{
    const auto allowed = [](unsigned char c) {
        return (c >= '+' && c <= '9' && c != '/') || c == 'E' || c == 'e' || c == '\t' || c == '\r' || c == '\n'
               || c == ' ';
    };
    qsizetype i = 0;
#if defined(__SSE2__) || defined(_M_X64)
    const __m128i below = _mm_set1_epi8('+' - 1), above = _mm_set1_epi8('9' + 1), slash = _mm_set1_epi8('/');
    const __m128i upperE = _mm_set1_epi8('E'), lowerE = _mm_set1_epi8('e'), tab = _mm_set1_epi8('\t');
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), blank = _mm_set1_epi8(' ');
    while (i + 16 <= n) {
        // Blocks are tested together: the test leaves the loop only 64 times a kilobyte.
        __m128i all = _mm_set1_epi8(-1);
        for (int k = 0; k < 4 && i + 16 <= n; ++k, i += 16) {
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
            // Signed compares: bytes from 0x80 up are negative and fall outside the range.
            const __m128i range = _mm_andnot_si128(
                _mm_cmpeq_epi8(b, slash), _mm_and_si128(_mm_cmpgt_epi8(b, below), _mm_cmplt_epi8(b, above)));
            const __m128i letters = _mm_or_si128(_mm_cmpeq_epi8(b, upperE), _mm_cmpeq_epi8(b, lowerE));
            const __m128i blanks = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, tab), _mm_cmpeq_epi8(b, cr)),
                                                _mm_or_si128(_mm_cmpeq_epi8(b, lf), _mm_cmpeq_epi8(b, blank)));
            all = _mm_and_si128(all, _mm_or_si128(range, _mm_or_si128(letters, blanks)));
        }
        if (_mm_movemask_epi8(all) != 0xFFFF)
            return false;
    }
#endif
    for (; i < n; ++i) {
        if (!allowed(static_cast<unsigned char>(p[i])))
            return false;
    }
    return true;
}

// A line counts as stored only when it holds a whole layout of either version: a line cut
// short is a gap, so the refill replaces it. A line with a byte no number holds is given to
// the reader's own parser (rare; fields beyond the layout may hold anything); a field made
// of number characters that still does not parse ("1,2,3") is left to the readers and `check`.
// cleanFile: the whole file holds number bytes only.
bool WholeLine(const char *begin, const char *end, bool cleanFile)
{
    const qsizetype tabs = CountTabs(begin, end - begin);
    if (tabs != kArchiveFieldsV1 && tabs < kArchiveFieldsV2)
        return false;
    if (cleanFile || NumberBytes(begin, end - begin))
        return true;
    ArchiveRecord record;
    return TryParseArchiveLine(DecodeCp1251(QByteArrayView(begin, end - begin)), &record);
}

// Marks the slots of the lines of one file inside [lo, hi] that belong to the file's
// month or year (fileKey: month slot for hourly files, year for daily ones, -1 for any).
void MarkFile(const QString &path, GapKind kind, qint64 lo, qint64 hi, qint64 fileKey, std::vector<char> &present)
{
    const QByteArray bytes = ReadFileBytes(path);
    const char *p = bytes.constData();
    const char *const end = p + bytes.size();
    const bool clean = NumberBytes(p, bytes.size());
    while (p < end) {
        const char *lineEnd = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        if (!lineEnd)
            lineEnd = end;
        const char *tab = static_cast<const char *>(std::memchr(p, '\t', size_t(lineEnd - p)));
        double time = 0;
        qint64 slot = 0;
        if (tab && ReadTimeField(p, tab, &time) && GapSlotOf(kind, time, &slot) && slot >= lo && slot <= hi) {
            bool inFile = true;
            if (kind == GapKind::Hourly)
                inFile = MonthSlot(QDate::fromJulianDay(slot / 24)) == fileKey;
            else if (kind == GapKind::Daily)
                inFile = QDate::fromJulianDay(slot).year() == fileKey;
            if (inFile && WholeLine(p, lineEnd, clean))
                present[size_t(slot - lo)] = 1;
        }
        p = lineEnd + 1;
    }
}

} // namespace

bool GapSlotOf(GapKind kind, double dayCount, qint64 *slot)
{
    if (!(dayCount >= 0) || DateFromDayCount(dayCount).isNull())
        return false;
    const qint64 ms = DayCountToMs(dayCount);
    const qint64 day = ms / kMsPerDay + kJulianOfDayZero;
    const qint64 inDay = ms % kMsPerDay;
    switch (kind) {
    case GapKind::Hourly:
        if (inDay % kMsPerHour != 0)
            return false;
        *slot = day * 24 + inDay / kMsPerHour;
        return true;
    case GapKind::Daily:
        if (inDay != 0)
            return false;
        *slot = day;
        return true;
    case GapKind::Monthly: {
        const QDate date = QDate::fromJulianDay(day);
        if (inDay != 0 || date.day() != 1)
            return false;
        *slot = MonthSlot(date);
        return true;
    }
    }
    return false;
}

double GapSlotTime(GapKind kind, qint64 slot)
{
    switch (kind) {
    case GapKind::Hourly:
        return DayCountFromParts(QDate::fromJulianDay(slot / 24), QTime(int(slot % 24), 0));
    case GapKind::Daily:
        return DayCountFromDate(QDate::fromJulianDay(slot));
    case GapKind::Monthly:
        return DayCountFromDate(MonthSlotDate(slot));
    }
    return 0;
}

qint64 GapSlotFloor(GapKind kind, double dayCount)
{
    const qint64 ms = DayCountToMs(dayCount);
    const qint64 day = (ms >= 0 ? ms / kMsPerDay : (ms - kMsPerDay + 1) / kMsPerDay) + kJulianOfDayZero;
    const qint64 inDay = ms - (day - kJulianOfDayZero) * kMsPerDay;
    switch (kind) {
    case GapKind::Hourly:
        return day * 24 + inDay / kMsPerHour;
    case GapKind::Daily:
        return day;
    case GapKind::Monthly:
        return MonthSlot(QDate::fromJulianDay(day));
    }
    return 0;
}

qint64 GapSlotCeil(GapKind kind, double dayCount)
{
    const qint64 floor = GapSlotFloor(kind, dayCount);
    return DayCountToMs(GapSlotTime(kind, floor)) < DayCountToMs(dayCount) ? floor + 1 : floor;
}

QList<GapRun> FindGaps(const QString &dataRoot, quint16 serial, GapKind kind, double from, double to)
{
    QList<GapRun> runs;
    if (DateFromDayCount(from).isNull() || DateFromDayCount(to).isNull() || from < 0)
        return runs;
    const qint64 lo = GapSlotCeil(kind, from);
    const qint64 hi = GapSlotFloor(kind, to);
    if (hi < lo)
        return runs;
    std::vector<char> present(size_t(hi - lo + 1), 0);
    switch (kind) {
    case GapKind::Hourly: {
        const qint64 lastMonth = MonthSlot(QDate::fromJulianDay(hi / 24));
        for (qint64 m = MonthSlot(QDate::fromJulianDay(lo / 24)); m <= lastMonth; ++m) {
            const QDate date = MonthSlotDate(m);
            MarkFile(DataFilePath(dataRoot, DataKind::Hourly, serial, date.year(), date.month()), kind, lo, hi, m,
                present);
        }
        break;
    }
    case GapKind::Daily: {
        const int lastYear = QDate::fromJulianDay(hi).year();
        for (int y = QDate::fromJulianDay(lo).year(); y <= lastYear; ++y)
            MarkFile(DataFilePath(dataRoot, DataKind::Daily, serial, y), kind, lo, hi, y, present);
        break;
    }
    case GapKind::Monthly:
        MarkFile(DataFilePath(dataRoot, DataKind::Monthly, serial), kind, lo, hi, -1, present);
        break;
    }
    for (qint64 s = lo; s <= hi; ++s) {
        if (present[size_t(s - lo)])
            continue;
        qint64 e = s;
        while (e + 1 <= hi && !present[size_t(e + 1 - lo)])
            ++e;
        runs.append({GapSlotTime(kind, s), GapSlotTime(kind, e), e - s + 1});
        s = e;
    }
    return runs;
}

double OldestRecordTime(const QString &dataRoot, quint16 serial, GapKind kind)
{
    QStringList files;
    if (kind == GapKind::Monthly) {
        files << DataFilePath(dataRoot, DataKind::Monthly, serial);
    } else {
        // File names sort by the period they hold once read as numbers: year, then month.
        const DataKind dataKind = kind == GapKind::Hourly ? DataKind::Hourly : DataKind::Daily;
        const QDir folder(MeterFolderPath(dataRoot, dataKind, serial));
        QList<std::pair<qint64, QString>> named;
        for (const QString &name : folder.entryList({QStringLiteral("*.dat")}, QDir::Files)) {
            bool ok = false;
            const QString stem = name.chopped(4);
            const qint64 year = stem.left(4).toLongLong(&ok);
            if (!ok || stem.size() < 4)
                continue;
            qint64 month = 0;
            if (kind == GapKind::Hourly && !(stem.size() > 4 && (month = stem.mid(4).toLongLong(&ok), ok)))
                continue;
            named.append({year * 100 + month, folder.filePath(name)});
        }
        std::sort(named.begin(), named.end());
        for (const auto &n : named)
            files << n.second;
    }
    for (const QString &path : files) {
        double oldest = 0;
        for (const QByteArray &line : ReadFileBytes(path).split('\n')) {
            const qsizetype tab = line.indexOf('\t');
            double time = 0;
            qint64 slot = 0;
            if (tab > 0 && ReadTimeField(line.constData(), line.constData() + tab, &time)
                && GapSlotOf(kind, time, &slot) && (oldest == 0 || time < oldest))
                oldest = time;
        }
        if (oldest > 0)
            return oldest;
    }
    return 0;
}

bool ReadLineTimeBytes(QByteArrayView line, double *time)
{
    const qsizetype tab = line.indexOf('\t');
    return tab > 0 && ReadTimeField(line.data(), line.data() + tab, time);
}

qint64 MissingCount(const QList<GapRun> &runs)
{
    qint64 n = 0;
    for (const GapRun &r : runs)
        n += r.count;
    return n;
}

QString GapKindName(GapKind kind)
{
    switch (kind) {
    case GapKind::Hourly:
        return QStringLiteral("hourly");
    case GapKind::Daily:
        return QStringLiteral("daily");
    case GapKind::Monthly:
        return QStringLiteral("monthly");
    }
    return {};
}

bool ParseGapKind(QStringView text, GapKind *kind)
{
    for (GapKind k : {GapKind::Hourly, GapKind::Daily, GapKind::Monthly}) {
        if (text == GapKindName(k)) {
            *kind = k;
            return true;
        }
    }
    return false;
}

} // namespace qst
