#include "ArchiveCheck.h"

#include "common/DayCount.h"
#include "storage/ArchiveView.h"

#include <cmath>
#include <map>

namespace qst {

namespace {

constexpr int kAmounts = 11; // Q1, Q2, M1..M4, V1..V5

const char16_t *const kAmountNames[kAmounts]
    = { u"Q1", u"Q2", u"М1", u"М2", u"М3", u"М4", u"V1", u"V2", u"V3", u"V4", u"V5" };

// The last digit the pages show: Q with four decimals, masses and volumes with three.
int AmountDecimals(int amount)
{
    return amount < 2 ? 4 : 3;
}

constexpr int kHourDecimals = 2;

bool Differs(double expected, double stored, int decimals)
{
    const double tolerance = std::max(0.001 * std::fabs(expected), std::pow(10.0, -decimals));
    // A hair of slack so a difference of exactly the tolerance is not flagged by rounding noise.
    return std::fabs(stored - expected) > tolerance * (1 + 1e-9);
}

struct Sums
{
    double values[kAmounts] = {};
    int count = 0;

    void Add(const ArchiveRecord &r)
    {
        for (int i = 0; i < kAmounts; ++i)
            values[i] += r.values[i];
        ++count;
    }
};

qint64 DayOf(double time)
{
    return DateFromDayCount(time).toJulianDay();
}

qint64 MonthOf(const QDate &date)
{
    return qint64(date.year()) * 12 + date.month() - 1;
}

void Compare(CheckResult &result, CheckScope scope, double time, const Sums &expected, const ArchiveRecord &stored,
    const QString &suffix)
{
    for (int i = 0; i < kAmounts; ++i) {
        if (Differs(expected.values[i], stored.values[i], AmountDecimals(i)))
            result.differences.append(
                { scope, time, QString::fromUtf16(kAmountNames[i]) + suffix, expected.values[i], stored.values[i] });
    }
}

bool AtWholeHour(double time)
{
    return DayCountToMs(time) % (3600 * 1000) == 0;
}

} // namespace

CheckResult CheckArchive(const QString &dataRoot, const QString &serial, const QDate &from, const QDate &to)
{
    CheckResult result;
    if (!from.isValid() || !to.isValid() || from > to)
        return result;
    const ArchivePeriod days = DailyPeriod(from, to);
    const QDate monthStart(from.year(), from.month(), 1);
    const QDate monthEnd(to.year(), to.month(), to.daysInMonth());
    const ArchivePeriod months = DailyPeriod(monthStart, monthEnd);

    QList<ArchiveDamage> damage[3];
    const QList<ArchiveRecord> hourly
        = LoadArchiveRecords(dataRoot, serial, ArchivePageKind::Hourly, days, &result.skippedLines, &damage[0]);
    const QList<ArchiveRecord> daily
        = LoadArchiveRecords(dataRoot, serial, ArchivePageKind::Daily, months, &result.skippedLines, &damage[1]);
    const QList<ArchiveRecord> monthly
        = LoadArchiveRecords(dataRoot, serial, ArchivePageKind::Monthly, months, &result.skippedLines, &damage[2]);
    // Damaged and repeated lines are differences of their own: a reader uses one line per
    // time and none of a damaged one, so the files do not hold what they seem to.
    static const char16_t *const kKindNames[3] = { u"часовая", u"суточная", u"месячная" };
    for (int k = 0; k < 3; ++k) {
        std::map<qint64, std::pair<double, int>> repeats; // time key -> time, lines dropped
        for (const ArchiveDamage &d : damage[k]) {
            if (d.repeated) {
                auto &entry = repeats[TimeKey(d.time)];
                entry.first = d.time;
                ++entry.second;
            } else {
                result.differences.append({ CheckScope::DamagedLine, d.time,
                    QStringLiteral("строка повреждена (%1)").arg(QString::fromUtf16(kKindNames[k])), 1, 0 });
            }
        }
        for (const auto &[key, entry] : repeats)
            result.differences.append({ CheckScope::RepeatedLine, entry.first,
                QStringLiteral("строк с одним временем (%1)").arg(QString::fromUtf16(kKindNames[k])), 1,
                double(entry.second + 1) });
    }
    const QList<CurrentHistoryRecord> history = LoadHistoryRecords(dataRoot, serial, days, &result.skippedLines);

    std::map<qint64, Sums> hoursByDay;
    for (const ArchiveRecord &r : hourly)
        hoursByDay[DayOf(r.time)].Add(r);
    std::map<qint64, Sums> daysByMonth;
    for (const ArchiveRecord &r : daily)
        daysByMonth[MonthOf(DateFromDayCount(r.time))].Add(r);

    const qint64 firstDay = from.toJulianDay();
    const qint64 lastDay = to.toJulianDay();
    for (const ArchiveRecord &d : daily) {
        const qint64 day = DayOf(d.time);
        if (day < firstDay || day > lastDay)
            continue;
        static const char16_t *const kHourPairs[3] = { u"ВНР1+ВНС1", u"ВНР2+ВНС2", u"ВНР3+ВНС3" };
        for (int pair = 0; pair < 3; ++pair) {
            const double sum = double(d.hours[2 * pair]) + d.hours[2 * pair + 1];
            // A heat system that is not in use counts neither time.
            if (sum != 0 && Differs(24, sum, kHourDecimals))
                result.differences.append(
                    { CheckScope::OperatingHours, d.time, QString::fromUtf16(kHourPairs[pair]), 24, sum });
        }
        const auto hours = hoursByDay.find(day);
        if (hours == hoursByDay.end() || hours->second.count != 24) {
            ++result.incompleteDays;
            continue;
        }
        ++result.daysChecked;
        Compare(result, CheckScope::HoursInDay, d.time, hours->second, d, QString());
    }

    for (const ArchiveRecord &m : monthly) {
        const QDate month = DateFromDayCount(m.time);
        const auto found = daysByMonth.find(MonthOf(month));
        if (found == daysByMonth.end() || found->second.count != month.daysInMonth()) {
            ++result.incompleteMonths;
            continue;
        }
        ++result.monthsChecked;
        Compare(result, CheckScope::DaysInMonth, m.time, found->second, m, QString());
    }

    // The first and last readings taken at a whole hour bound a run of whole hourly records.
    const CurrentHistoryRecord *first = nullptr;
    const CurrentHistoryRecord *last = nullptr;
    for (const CurrentHistoryRecord &h : history) {
        if (!AtWholeHour(h.time))
            continue;
        if (!first || h.time < first->time)
            first = &h;
        if (!last || h.time > last->time)
            last = &h;
    }
    if (first && last && last->time > first->time) {
        const qint64 fromMs = DayCountToMs(first->time);
        const qint64 toMs = DayCountToMs(last->time);
        Sums archive;
        for (const ArchiveRecord &r : hourly) {
            const qint64 t = DayCountToMs(r.time);
            if (t >= fromMs && t < toMs)
                archive.Add(r);
        }
        if (archive.count == (toMs - fromMs) / (3600 * 1000)) {
            result.integratorsChecked = true;
            ArchiveRecord growth;
            for (int i = 0; i < kAmounts; ++i) {
                const double grown = double(last->totals[i]) - first->totals[i];
                if (Differs(grown, archive.values[i], AmountDecimals(i)))
                    result.differences.append({ CheckScope::Integrators, last->time,
                        QString::fromUtf16(kAmountNames[i]) + QStringLiteral(" (итоговые)"), grown,
                        archive.values[i] });
            }
        }
    }
    return result;
}

ExportTable CheckTable(const CheckResult &result)
{
    ExportTable table;
    table.header = { QStringLiteral("Дата"), QStringLiteral("Величина"), QStringLiteral("Ожидалось"),
        QStringLiteral("Записано"), QStringLiteral("Разница") };
    table.skippedLines = result.skippedLines;
    for (const CheckDifference &d : result.differences) {
        ExportCell date;
        const bool withTime = d.scope == CheckScope::Integrators || d.scope == CheckScope::DamagedLine
            || d.scope == CheckScope::RepeatedLine;
        date.kind = withTime ? CellKind::DateTime : CellKind::Date;
        date.number = d.time;
        ExportCell quantity;
        quantity.text = d.scope == CheckScope::DaysInMonth ? d.quantity + QStringLiteral(" (месяц)") : d.quantity;
        auto number = [](double value) {
            ExportCell cell;
            cell.kind = CellKind::Number;
            cell.number = value;
            cell.maxDecimals = 4;
            return cell;
        };
        table.rows.append({ date, quantity, number(d.expected), number(d.stored), number(d.stored - d.expected) });
    }
    return table;
}

QString CheckSummary(const CheckResult &result)
{
    return QStringLiteral("Проверено суток: %1, месяцев: %2, итоговые: %3; не сравнивались (неполный архив): "
                          "суток %4, месяцев %5; расхождений: %6")
        .arg(result.daysChecked)
        .arg(result.monthsChecked)
        .arg(result.integratorsChecked ? QStringLiteral("да") : QStringLiteral("нет"))
        .arg(result.incompleteDays)
        .arg(result.incompleteMonths)
        .arg(result.differences.size());
}

} // namespace qst
