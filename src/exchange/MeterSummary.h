#pragma once

#include "exchange/MeterHealth.h"

#include <QJsonObject>
#include <QList>
#include <QString>

namespace qst {

class Registry;

// One line of the summary of every meter ("Сводка", qst-cli status).
struct MeterSummaryRow
{
    int meter = 0; // registry number
    QString name;
    quint16 serial = 0;
    QString group;
    MeterStatus status;
    double newest[3] = {};      // newest stored hourly, daily, monthly record; 0 = none
    qint64 missingHours31 = 0;  // completed hours of the last 31 days without a line
    bool gapsInRing = false;    // some kind misses records the calculator still holds
    int nsFlags = 0;            // abnormal-situation words of the last day's hourly records, OR-ed
    int nsWords[5] = {};        // the same, word by word (НС1..НС5)
    bool overdue = false;
};

// Only what is stored before a meter's oldest record is never counted missing: that is
// history never collected. Reads the files only; writes nothing.
QList<MeterSummaryRow> BuildMeterSummary(const QString &dataRoot, Registry &registry, MeterHealth &health, double now);

// One summary line as JSON: what qst-cli status --json prints per meter and MQTT's health
// message carries. Times are local ISO 8601, null when never.
QJsonObject MeterSummaryJson(const MeterSummaryRow &row);

// The newest record time in a meter's files of a kind; 0 when none.
double NewestRecordTime(const QString &dataRoot, quint16 serial, GapKind kind);

} // namespace qst
