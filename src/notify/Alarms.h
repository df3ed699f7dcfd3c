#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <functional>

namespace qst {

class Registry;
struct AlarmSettings;
struct MeterSummaryRow;

// One alarm of a meter (serial above 0) or of the data root (serial 0: "database", "disk").
// Kinds: "overdue", "fault", "ring", "database", "disk".
struct ActiveAlarm
{
    QString kind;
    quint16 serial = 0;
    QDateTime raised;
    QString text;
};

// A change of an alarm, as every channel sends it. Kind "summary" tells how many
// notifications of a meter the rate limit held back.
struct AlarmEvent
{
    QString kind;
    quint16 serial = 0;
    bool raised = true;
    QDateTime time;
    QString text;
    int suppressed = 0; // "summary" only

    QString state() const;
};

// The active alarms as one text for the summary page, one per line; empty when none.
QString ActiveAlarmsText(const QList<ActiveAlarm> &alarms);

// The JSON body every channel sends: "serial" (null for the data root's alarms), "kind",
// "state" ("raised", "cleared", "summary"), "time" (ISO 8601 with the offset), "text".
QJsonObject AlarmEventJson(const AlarmEvent &event);
QString IsoTime(const QDateTime &time);

// What the conditions are now, read from the summary, the database copy's state and the
// disk. Exposed so a test can feed conditions the real sources cannot produce on demand.
// The meters' conditions come from their summary rows (the health rule, the last day's НС
// words, missing records the ring still holds).
QList<ActiveAlarm> EvaluateAlarms(const QString &dataRoot, const QList<MeterSummaryRow> &rows, Registry &registry,
                                  const AlarmSettings &settings, const QDateTime &now);
// Free space of the data root's disk in percent, -1 when unknown. A test may replace it.
void SetDiskFreePercentForTests(std::function<int(const QString &dataRoot)> probe);

// The alarms' state in Alarms.ini of the data root: one section per active alarm and the
// rate limit's counts, so a restart neither raises an active alarm again nor forgets one.
class AlarmMonitor
{
public:
    explicit AlarmMonitor(QString dataRoot);

    static QString FilePath(const QString &dataRoot);
    static QList<ActiveAlarm> Active(const QString &dataRoot);

    // Compares the conditions with the stored state: each new one is raised, each gone one
    // cleared, once; the state is written before the events are returned. The events are
    // those the rate limit lets through (perMeterPerHour per meter and clock hour's window);
    // the held-back ones become one "summary" event when the window has passed.
    QList<AlarmEvent> Update(const QList<ActiveAlarm> &conditions, int perMeterPerHour, const QDateTime &now);

private:
    QString m_dataRoot;
};

} // namespace qst
