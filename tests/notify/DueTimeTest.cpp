// The due-time rule against a plain reference over every day of two years.
#include "notify/Schedules.h"

#include <gtest/gtest.h>

using namespace qst;

namespace {

struct Candidate
{
    QDate from, to;
    QDateTime due;
};

// Every period of the rule that ended in the 100 days before `now`, with its due time
// worked out from the calendar directly.
QList<Candidate> ReferencePeriods(PeriodRule rule, int dayOfMonth, const QTime &time, const QDate &today)
{
    QList<Candidate> out;
    for (QDate d = today.addDays(-100); d <= today; d = d.addDays(1)) {
        if (rule == PeriodRule::PreviousDay) {
            out << Candidate{d, d, QDateTime(d.addDays(1), time)};
        } else if (rule == PeriodRule::PreviousWeek) {
            if (d.dayOfWeek() == Qt::Monday)
                out << Candidate{d, d.addDays(6), QDateTime(d.addDays(7), time)};
        } else if (d.day() == 1) {
            const QDate last(d.year(), d.month(), d.daysInMonth());
            const QDate next = last.addDays(1);
            const int day = std::min(dayOfMonth, next.daysInMonth());
            out << Candidate{d, last, QDateTime(QDate(next.year(), next.month(), day), time)};
        }
    }
    return out;
}

} // namespace

TEST(DueTime, LatestDuePeriodMatchesTheCalendarEveryDay)
{
    const QTime times[] = {QTime(0, 0), QTime(5, 59), QTime(6, 0), QTime(6, 1), QTime(23, 59)};
    const QTime at(6, 0);
    int checked = 0;
    for (PeriodRule rule : {PeriodRule::PreviousDay, PeriodRule::PreviousWeek, PeriodRule::PreviousMonth}) {
        for (int dayOfMonth : {1, 2, 15, 28, 29, 30, 31}) {
            if (rule != PeriodRule::PreviousMonth && dayOfMonth != 1)
                continue;
            for (QDate day(2027, 1, 1); day <= QDate(2028, 12, 31); day = day.addDays(1)) {
                const QList<Candidate> reference = ReferencePeriods(rule, dayOfMonth, at, day);
                for (const QTime &t : times) {
                    const QDateTime now(day, t);
                    Candidate expected;
                    for (const Candidate &c : reference) {
                        if (c.due <= now && (!expected.due.isValid() || c.due > expected.due))
                            expected = c;
                    }
                    const SchedulePeriod got = LatestDuePeriod(rule, dayOfMonth, at, now);
                    ASSERT_EQ(got.from, expected.from) << PeriodRuleName(rule).toStdString() << " day "
                                                       << dayOfMonth << " at "
                                                       << now.toString(Qt::ISODate).toStdString();
                    ASSERT_EQ(got.to, expected.to);
                    ASSERT_EQ(PeriodDueTime(rule, dayOfMonth, at, got), expected.due);
                    // The next period is not due yet, and never due before it has ended.
                    const SchedulePeriod next = NextPeriod(rule, got);
                    ASSERT_GT(PeriodDueTime(rule, dayOfMonth, at, next), now);
                    ASSERT_GT(PeriodDueTime(rule, dayOfMonth, at, next).date(), next.to);
                    ASSERT_EQ(PreviousPeriod(rule, next), got);
                    ++checked;
                }
                // What "schedule run" makes: the newest period ended before today.
                const SchedulePeriod ended = LatestEndedPeriod(rule, QDateTime(day, QTime(0, 0)));
                ASSERT_LT(ended.to, day);
                ASSERT_GE(ended.to, day.addDays(-1).addDays(rule == PeriodRule::PreviousDay ? 0
                                              : rule == PeriodRule::PreviousWeek      ? -6
                                                                                      : -30));
                ASSERT_EQ(NextPeriod(rule, ended).from <= day && NextPeriod(rule, ended).to >= day, true);
            }
        }
    }
    EXPECT_GT(checked, 10000);
}

TEST(DueTime, AtTextParses)
{
    const struct
    {
        const char *text;
        bool ok;
        int day;
        int hour, minute;
    } cases[] = {
        {"1 06:00", true, 1, 6, 0},
        {"31 23:59", true, 31, 23, 59},
        {"5 7:05", true, 5, 7, 5},
        {"06:30", true, 1, 6, 30},
        {"0 06:00", false, 0, 0, 0},
        {"32 06:00", false, 0, 0, 0},
        {"1 24:00", false, 0, 0, 0},
        {"1 06:60", false, 0, 0, 0},
        {"1 06:00 x", false, 0, 0, 0},
        {"", false, 0, 0, 0},
    };
    for (const auto &c : cases) {
        int day = 0;
        QTime time;
        ASSERT_EQ(ParseAtText(QString::fromUtf8(c.text), &day, &time), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(day, c.day) << c.text;
            EXPECT_EQ(time, QTime(c.hour, c.minute)) << c.text;
        }
    }
}

TEST(DueTime, PeriodTexts)
{
    EXPECT_EQ(PeriodText(PeriodRule::PreviousMonth, PeriodHolding(PeriodRule::PreviousMonth, QDate(2026, 11, 17))),
        QStringLiteral("ноябрь 2026"));
    EXPECT_EQ(PeriodText(PeriodRule::PreviousWeek, PeriodHolding(PeriodRule::PreviousWeek, QDate(2026, 12, 3))),
        QStringLiteral("30.11.2026 – 06.12.2026"));
    EXPECT_EQ(PeriodText(PeriodRule::PreviousDay, PeriodHolding(PeriodRule::PreviousDay, QDate(2026, 12, 10))),
        QStringLiteral("10.12.2026"));
}
