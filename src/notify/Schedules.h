#pragma once

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTime>

namespace qst {

enum class PeriodRule {
    PreviousDay,
    PreviousWeek, // Monday to Sunday
    PreviousMonth,
};

QString PeriodRuleName(PeriodRule rule); // "previous-day", "previous-week", "previous-month"
bool ParsePeriodRule(const QString &text, PeriodRule *rule);

struct SchedulePeriod
{
    QDate from; // first day
    QDate to;   // last day, included
    bool IsValid() const { return from.isValid() && to.isValid(); }
    bool operator==(const SchedulePeriod &o) const = default;
};

// The day, week or month holding `day`.
SchedulePeriod PeriodHolding(PeriodRule rule, const QDate &day);
SchedulePeriod NextPeriod(PeriodRule rule, const SchedulePeriod &period);
SchedulePeriod PreviousPeriod(PeriodRule rule, const SchedulePeriod &period);

// When a period's documents are due: a day's on the next day at `time`; a week's on the
// Monday after it at `time`; a month's in the next month on `dayOfMonth` (the month's last
// day when it is shorter) at `time`.
QDateTime PeriodDueTime(PeriodRule rule, int dayOfMonth, const QTime &time, const SchedulePeriod &period);

// The newest period whose due time is at or before `now`.
SchedulePeriod LatestDuePeriod(PeriodRule rule, int dayOfMonth, const QTime &time, const QDateTime &now);

// The newest period that has ended before `now`'s day (what "schedule run" makes).
SchedulePeriod LatestEndedPeriod(PeriodRule rule, const QDateTime &now);

// "ноябрь 2026", "10.12.2026", "30.11.2026 – 06.12.2026".
QString PeriodText(PeriodRule rule, const SchedulePeriod &period);

// What a schedule makes, for whom, when and where to.
struct Schedule
{
    QString name;
    QString kind = QStringLiteral("statement"); // hourly, daily, monthly, journal or statement
    int system = 1;                             // 1, 2 heat systems, 3 cold water
    int group = 0;
    PeriodRule period = PeriodRule::PreviousMonth;
    int day = 1; // of the month, monthly periods only
    QTime at{6, 0};
    QString outDir;
    QStringList mail;
    QList<int> items;
    bool landscape = false;
    bool pdf = false;
    QString subject; // templates; empty: the defaults
    QString body;
    QString pattern; // file names; empty: the group reports' default
    int graceHours = 24; // how long after the due time incomplete records are waited for

    // State: what was done, kept in the same file.
    QDateTime created;    // periods due before this are not made up
    QDate lastPeriod;     // first day of the newest period done (invalid: none yet)
    QString lastResult;   // one line for list and the dialog
};

// "DAY HH:MM" (or "HH:MM"); false when malformed.
bool ParseAtText(const QString &text, int *day, QTime *time);
QString AtText(const Schedule &schedule);

// Why a schedule cannot be stored as given; empty when it can.
QString ScheduleError(const Schedule &schedule);

// Schedules.ini in the data root (Windows-1251 INI): one section per schedule, named by the
// schedule, holding its options and its state.
class ScheduleStore
{
public:
    explicit ScheduleStore(const QString &dataRoot);

    QString path() const { return m_path; }
    QList<Schedule> List();
    bool Find(const QString &name, Schedule *schedule);
    void Save(const Schedule &schedule); // throws StorageError
    bool Remove(const QString &name);    // false when there was none
    // Marks a period done (never moves the mark back) and keeps the line of the result.
    void MarkDone(const QString &name, const SchedulePeriod &period, const QString &result);
    void SetResult(const QString &name, const QString &result);

private:
    QString m_path;
};

} // namespace qst
