#pragma once

#include "SimConfig.h"

#include <QDateTime>

#include <optional>
#include <unordered_map>
#include <vector>

namespace qst {

// One archive interval (an hour, or a day or month summed from its hours). Amounts are sums,
// the measured values F[11..20] are sums over `hours` until Average() divides them.
struct SimInterval
{
    double F[21] = {}; // Q1, Q2, M1..M4, V1..V5, T1..T4, P1..P4, T5 (hundredths), P5 (thousandths)
    double c[14] = {}; // minutes: Tnorm1, Tmin1..Tf1, Tnorm2, Tmin2..Tf2, Tw3, Ts3
    quint16 NS[5] = {};
    quint8 status = 0;
    int hours = 0;

    void Add(const SimInterval &other);
    double Average(int i) const { return hours > 0 ? F[i] / hours : 0; }
};

// Integrators: D[0..10] as the calculator's totals, c[] the cumulated time counters (minutes).
struct SimTotals
{
    double D[11] = {};
    double c[14] = {};
};

struct SimRingState
{
    int c = 0;
    int b = 0;
    int a = 0;
    int count = 0;
};

// The three archive rings and the integrators. The data are a pure function of the seed and
// the interval, so a record read twice is the same and hours add up to days and months;
// which records a ring holds follows the clock.
class SimArchive
{
public:
    SimArchive(const SimConfig &config, const QDateTime &start);

    // Interval keys: hour = julian day * 24 + hour, day = julian day, month = year * 12 + month - 1.
    static qint64 HourKey(const QDateTime &t);
    static qint64 MonthKey(const QDate &d);
    static QDate MonthStart(qint64 monthKey);
    static qint64 NewestKey(int kind, const QDateTime &now);

    SimInterval Hour(qint64 hourKey) const;
    SimInterval Day(qint64 julianDay);
    SimInterval Month(qint64 monthKey);
    SimInterval Interval(int kind, qint64 key);

    SimTotals TotalsAtDayStart(qint64 julianDay);
    // Totals at the end of a daily or monthly interval.
    SimTotals TotalsAtEnd(int kind, qint64 key);
    // Totals, the hour in progress and its elapsed share, at the given moment.
    SimTotals TotalsAt(const QDateTime &now, SimInterval *currentHour);

    SimRingState Ring(int kind, const QDateTime &now) const;
    // Key of the record in the slot, nothing for an empty slot.
    std::optional<qint64> KeyAtSlot(int kind, int slot, const QDateTime &now) const;

    // Outdoor temperature of an hour, shared with the current values.
    double OutdoorTemperature(qint64 hourKey) const;

private:
    double Noise(int stream, qint64 key, int i) const;
    quint64 Hash(int stream, qint64 key) const;

    SimConfig m_config;
    qint64 m_origin[3] = {};
    int m_base[3] = {};
    qint64 m_totalsOriginDay = 0;
    SimTotals m_base0;
    std::unordered_map<qint64, SimInterval> m_days;
    std::vector<SimTotals> m_cumulative; // at the start of m_totalsOriginDay + index
};

quint64 SimHash(quint64 seed, int stream, qint64 key);

} // namespace qst
