#include "SimArchive.h"

#include <algorithm>
#include <cmath>

namespace qst {

namespace {

constexpr double kPi = 3.14159265358979323846;

double Round(double v, double step)
{
    return std::round(v / step) * step;
}

double AsFloat(double v)
{
    return static_cast<double>(static_cast<float>(v));
}

// Water density, kg/m3, close enough over 0..100 °C for volumes that look right.
double Density(double t)
{
    return 1000.0 - 0.0045 * (t - 4.0) * (t - 4.0);
}

qint64 FloorMod(qint64 v, qint64 m)
{
    const qint64 r = v % m;
    return r < 0 ? r + m : r;
}

} // namespace

quint64 SimHash(quint64 seed, int stream, qint64 key)
{
    // splitmix64 over the three inputs
    quint64 z = seed * 0x9E3779B97F4A7C15ULL + static_cast<quint64>(stream) * 0xBF58476D1CE4E5B9ULL
        + static_cast<quint64>(key) * 0x94D049BB133111EBULL + 0x632BE59BD9B4E019ULL;
    for (int round = 0; round < 2; ++round) {
        z += 0x9E3779B97F4A7C15ULL;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
    }
    return z;
}

void SimInterval::Add(const SimInterval &other)
{
    for (int i = 0; i < 21; ++i)
        F[i] += other.F[i];
    for (int i = 0; i < 14; ++i)
        c[i] += other.c[i];
    for (int i = 0; i < 5; ++i)
        NS[i] |= other.NS[i];
    status |= other.status;
    hours += other.hours;
}

SimArchive::SimArchive(const SimConfig &config, const QDateTime &start)
    : m_config(config)
{
    for (int kind = 0; kind < 3; ++kind) {
        const int c = std::max(1, m_config.ringSlots[kind]);
        const int history = m_config.history[kind] < 0 ? c : m_config.history[kind];
        m_origin[kind] = NewestKey(kind, start) - history + 1;
        // Rings start at a seed-given slot so that they wrap sooner or later, as a real one does.
        m_base[kind] = static_cast<int>(SimHash(m_config.seed, 100 + kind, 0) % static_cast<quint64>(c + 1));
    }
    const QDate hourOrigin = QDate::fromJulianDay(m_origin[SimHourly] / 24);
    const QDate monthOrigin = MonthStart(m_origin[SimMonthly]);
    m_totalsOriginDay = std::min({ hourOrigin.toJulianDay(), m_origin[SimDaily], monthOrigin.toJulianDay() });

    const quint64 h = SimHash(m_config.seed, 200, 0);
    m_base0.D[0] = 1500.0 + static_cast<double>(h % 9000) + 0.375;
    m_base0.D[1] = 300.0 + static_cast<double>((h >> 16) % 2000) + 0.125;
    const double m1 = 60000.0 + static_cast<double>((h >> 24) % 200000);
    const double m3 = 15000.0 + static_cast<double>((h >> 40) % 50000);
    m_base0.D[2] = m1;
    m_base0.D[3] = m1 * 0.985;
    m_base0.D[4] = m3;
    m_base0.D[5] = m3 * 0.55;
    m_base0.D[6] = m1 * 1.025;
    m_base0.D[7] = m1 * 0.985 * 1.012;
    m_base0.D[8] = m3 * 1.017;
    m_base0.D[9] = m3 * 0.55 * 1.01;
    m_base0.D[10] = 4000.0 + static_cast<double>((h >> 8) % 20000);
    const double runMinutes = 400000.0 + static_cast<double>((h >> 32) % 200000);
    m_base0.c[0] = runMinutes;
    m_base0.c[1] = 120;
    m_base0.c[3] = 45;
    m_base0.c[5] = 30;
    m_base0.c[6] = runMinutes;
    m_base0.c[8] = 60;
    m_base0.c[12] = runMinutes + 600;
    m_base0.c[13] = 15;
}

qint64 SimArchive::HourKey(const QDateTime &t)
{
    return t.date().toJulianDay() * 24 + t.time().hour();
}

qint64 SimArchive::MonthKey(const QDate &d)
{
    return static_cast<qint64>(d.year()) * 12 + d.month() - 1;
}

QDate SimArchive::MonthStart(qint64 monthKey)
{
    return QDate(static_cast<int>(monthKey / 12), static_cast<int>(monthKey % 12) + 1, 1);
}

qint64 SimArchive::NewestKey(int kind, const QDateTime &now)
{
    switch (kind) {
    case SimHourly:
        return HourKey(now) - 1;
    case SimDaily:
        return now.date().toJulianDay() - 1;
    default:
        return MonthKey(now.date()) - 1;
    }
}

quint64 SimArchive::Hash(int stream, qint64 key) const
{
    return SimHash(m_config.seed, stream, key);
}

double SimArchive::Noise(int stream, qint64 key, int i) const
{
    const quint64 h = SimHash(m_config.seed, stream * 64 + i, key);
    return static_cast<double>(h >> 11) / static_cast<double>(1ULL << 53) * 2.0 - 1.0;
}

double SimArchive::OutdoorTemperature(qint64 hourKey) const
{
    const QDate date = QDate::fromJulianDay(hourKey / 24);
    const int hour = static_cast<int>(hourKey % 24);
    const double season = -2.0 - 14.0 * std::cos(2.0 * kPi * (date.dayOfYear() - 20) / 365.25);
    const double daily = 4.0 * std::cos(2.0 * kPi * (hour - 15) / 24.0);
    // a slow weather wave over a few days on top of the season
    const double weather = 3.0 * std::sin(2.0 * kPi * static_cast<double>(hourKey) / (24.0 * 5.3));
    return season + daily + weather + 1.2 * Noise(1, hourKey, 0);
}

SimInterval SimArchive::Hour(qint64 hourKey) const
{
    SimInterval r;
    r.hours = 1;
    const QDate date = QDate::fromJulianDay(hourKey / 24);
    const int hour = static_cast<int>(hourKey % 24);
    const double tout = OutdoorTemperature(hourKey);
    const double load = std::clamp((18.0 - tout) / 44.0, 0.0, 1.0);

    // Stops and abnormal situations: rare, and every stopped minute is counted against a cause.
    const quint64 f = Hash(2, hourKey);
    int stop1 = 0;
    int stop2 = 0;
    int stop3 = 0;
    if (f % 97 == 0) {
        stop1 = 5 + static_cast<int>((f >> 8) % 36);
        const int cause = static_cast<int>((f >> 16) % 5);
        r.c[1 + cause] = stop1;
        r.NS[0] |= static_cast<quint16>(1u << cause);
    }
    if (f % 131 == 1) {
        stop2 = 3 + static_cast<int>((f >> 20) % 25);
        const int cause = static_cast<int>((f >> 28) % 5);
        r.c[7 + cause] = stop2;
        r.NS[2] |= static_cast<quint16>(1u << cause);
    }
    if (f % 173 == 2) {
        stop3 = 1 + static_cast<int>((f >> 32) % 20);
        r.NS[4] |= 1;
    }
    if ((f >> 40) % 61 == 0)
        r.NS[1] |= static_cast<quint16>(1u << ((f >> 48) % 8)); // registered only, no stop
    r.c[0] = 60 - stop1;
    r.c[6] = 60 - stop2;
    r.c[12] = 60 - stop3;
    r.c[13] = stop3;
    const bool abnormal = r.NS[0] || r.NS[1] || r.NS[2] || r.NS[4];
    r.status = abnormal ? 1 : 0;

    // Heating: supply and return follow the outdoor temperature.
    const double t1 = Round(65.0 + 30.0 * load + 0.3 * Noise(3, hourKey, 0), 0.01);
    const double t2 = Round(40.0 + 20.0 * load + 0.3 * Noise(3, hourKey, 1), 0.01);
    const double run1 = (60 - stop1) / 60.0;
    const double g1 = 16.0 + 4.0 * load + 0.6 * Noise(3, hourKey, 2);
    const double m1 = AsFloat(g1 * run1);
    const double m2 = AsFloat(m1 * (0.985 + 0.004 * Noise(3, hourKey, 3)));
    // Hot water: circulation with morning and evening peaks.
    const double peak = std::exp(-std::pow((hour - 8) / 2.0, 2)) + 1.3 * std::exp(-std::pow((hour - 20) / 2.5, 2));
    const double t3 = Round(61.5 + 0.8 * Noise(3, hourKey, 4), 0.01);
    const double t4 = Round(46.0 + 1.5 * Noise(3, hourKey, 5), 0.01);
    const double run2 = (60 - stop2) / 60.0;
    const double m3 = AsFloat((5.0 + 3.5 * peak + 0.4 * Noise(3, hourKey, 6)) * run2);
    const double m4 = AsFloat(m3 * (0.55 + 0.02 * Noise(3, hourKey, 7)));
    const double v5 = AsFloat((1.2 + 1.8 * peak + 0.2 * Noise(3, hourKey, 8)) * (60 - stop3) / 60.0);

    r.F[0] = AsFloat(m1 * (t1 - t2) / 1000.0);
    r.F[1] = AsFloat(m3 * (t3 - t4) / 1000.0);
    r.F[2] = m1;
    r.F[3] = m2;
    r.F[4] = m3;
    r.F[5] = m4;
    r.F[6] = AsFloat(m1 * 1000.0 / Density(t1));
    r.F[7] = AsFloat(m2 * 1000.0 / Density(t2));
    r.F[8] = AsFloat(m3 * 1000.0 / Density(t3));
    r.F[9] = AsFloat(m4 * 1000.0 / Density(t4));
    r.F[10] = v5;
    r.F[11] = t1;
    r.F[12] = t2;
    r.F[13] = t3;
    r.F[14] = t4;
    r.F[15] = Round(6.2 + 0.05 * Noise(3, hourKey, 9), 0.001);
    r.F[16] = Round(4.1 + 0.05 * Noise(3, hourKey, 10), 0.001);
    r.F[17] = Round(5.6 + 0.05 * Noise(3, hourKey, 11), 0.001);
    r.F[18] = Round(3.9 + 0.05 * Noise(3, hourKey, 12), 0.001);
    const double cold = 9.0 - 5.0 * std::cos(2.0 * kPi * (date.dayOfYear() - 40) / 365.25);
    r.F[19] = std::round(cold * 100.0 + 20.0 * Noise(3, hourKey, 13));
    r.F[20] = std::round(3500.0 + 30.0 * Noise(3, hourKey, 14));
    return r;
}

SimInterval SimArchive::Day(qint64 julianDay)
{
    const auto it = m_days.find(julianDay);
    if (it != m_days.end())
        return it->second;
    SimInterval sum;
    for (int h = 0; h < 24; ++h)
        sum.Add(Hour(julianDay * 24 + h));
    m_days.emplace(julianDay, sum);
    return sum;
}

SimInterval SimArchive::Month(qint64 monthKey)
{
    const QDate first = MonthStart(monthKey);
    SimInterval sum;
    for (qint64 jd = first.toJulianDay(); jd < first.addMonths(1).toJulianDay(); ++jd)
        sum.Add(Day(jd));
    return sum;
}

SimInterval SimArchive::Interval(int kind, qint64 key)
{
    switch (kind) {
    case SimHourly:
        return Hour(key);
    case SimDaily:
        return Day(key);
    default:
        return Month(key);
    }
}

SimTotals SimArchive::TotalsAtDayStart(qint64 julianDay)
{
    if (julianDay <= m_totalsOriginDay)
        return m_base0;
    if (m_cumulative.empty())
        m_cumulative.push_back(m_base0);
    while (static_cast<qint64>(m_cumulative.size()) <= julianDay - m_totalsOriginDay) {
        const qint64 day = m_totalsOriginDay + static_cast<qint64>(m_cumulative.size()) - 1;
        SimTotals next = m_cumulative.back();
        const SimInterval d = Day(day);
        for (int i = 0; i < 11; ++i)
            next.D[i] += d.F[i];
        for (int i = 0; i < 14; ++i)
            next.c[i] += d.c[i];
        m_cumulative.push_back(next);
    }
    return m_cumulative[static_cast<size_t>(julianDay - m_totalsOriginDay)];
}

SimTotals SimArchive::TotalsAtEnd(int kind, qint64 key)
{
    if (kind == SimDaily)
        return TotalsAtDayStart(key + 1);
    if (kind == SimMonthly)
        return TotalsAtDayStart(MonthStart(key + 1).toJulianDay());
    SimTotals t = TotalsAtDayStart(key / 24);
    for (qint64 h = (key / 24) * 24; h <= key; ++h) {
        const SimInterval i = Hour(h);
        for (int k = 0; k < 11; ++k)
            t.D[k] += i.F[k];
        for (int k = 0; k < 14; ++k)
            t.c[k] += i.c[k];
    }
    return t;
}

SimTotals SimArchive::TotalsAt(const QDateTime &now, SimInterval *currentHour)
{
    const qint64 hourKey = HourKey(now);
    SimTotals t = hourKey % 24 == 0 ? TotalsAtDayStart(hourKey / 24) : TotalsAtEnd(SimHourly, hourKey - 1);
    const SimInterval current = Hour(hourKey);
    const double share = (now.time().minute() * 60 + now.time().second()) / 3600.0;
    for (int k = 0; k < 11; ++k)
        t.D[k] += current.F[k] * share;
    for (int k = 0; k < 14; ++k)
        t.c[k] += std::floor(current.c[k] * share);
    if (currentHour)
        *currentHour = current;
    return t;
}

SimRingState SimArchive::Ring(int kind, const QDateTime &now) const
{
    SimRingState r;
    r.c = std::max(1, m_config.ringSlots[kind]);
    const qint64 slotCount = r.c + 1;
    const qint64 written = m_config.emptyArchives ? 0 : std::max<qint64>(0, NewestKey(kind, now) - m_origin[kind] + 1);
    r.count = static_cast<int>(std::min<qint64>(written, r.c));
    r.a = static_cast<int>(FloorMod(m_base[kind] + written, slotCount));
    r.b = static_cast<int>(FloorMod(r.a - r.count, slotCount));
    return r;
}

std::optional<qint64> SimArchive::KeyAtSlot(int kind, int slot, const QDateTime &now) const
{
    const SimRingState ring = Ring(kind, now);
    const qint64 back = FloorMod(static_cast<qint64>(ring.a) - 1 - slot, ring.c + 1);
    if (back >= ring.count)
        return std::nullopt;
    return NewestKey(kind, now) - back;
}

} // namespace qst
