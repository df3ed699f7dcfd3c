// Schedules.ini: what is kept, in what bytes, and the done mark.
#include "notify/Schedules.h"

#include "common/TextFile.h"
#include "support/TempDataRoot.h"

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

Schedule Sample()
{
    Schedule s;
    s.name = QStringLiteral("Ведомости");
    s.kind = QStringLiteral("statement");
    s.system = 2;
    s.group = 3;
    s.period = PeriodRule::PreviousMonth;
    s.day = 2;
    s.at = QTime(6, 30);
    s.outDir = QStringLiteral("/srv/ведомости");
    s.mail = {QStringLiteral("a@example.org"), QStringLiteral("b@example.org")};
    s.items = {0, 1, 7};
    s.pdf = true;
    s.subject = QStringLiteral("Ведомость за {period}");
    s.body = QStringLiteral("Добрый день.\nВо вложении ведомость; путь C:\\new");
    s.graceHours = 48;
    s.created = QDateTime(QDate(2026, 11, 20), QTime(10, 0));
    return s;
}

} // namespace

TEST(ScheduleStore, KeepsEveryOptionInWindows1251)
{
    TempDataRoot root;
    ScheduleStore store(root.path());
    const Schedule s = Sample();
    ASSERT_TRUE(ScheduleError(s).isEmpty()) << ScheduleError(s).toStdString();
    store.Save(s);
    Schedule back;
    ASSERT_TRUE(store.Find(QStringLiteral("ведомости"), &back)); // sections compare case-insensitively
    EXPECT_EQ(back.name, s.name);
    EXPECT_EQ(back.kind, s.kind);
    EXPECT_EQ(back.system, 2);
    EXPECT_EQ(back.group, 3);
    EXPECT_EQ(back.period, PeriodRule::PreviousMonth);
    EXPECT_EQ(back.day, 2);
    EXPECT_EQ(back.at, QTime(6, 30));
    EXPECT_EQ(back.outDir, s.outDir);
    EXPECT_EQ(back.mail, s.mail);
    EXPECT_EQ(back.items, s.items);
    EXPECT_TRUE(back.pdf);
    EXPECT_FALSE(back.landscape);
    EXPECT_EQ(back.subject, s.subject);
    EXPECT_EQ(back.body, s.body);
    EXPECT_EQ(back.graceHours, 48);
    EXPECT_EQ(back.created, s.created);
    EXPECT_FALSE(back.lastPeriod.isValid());

    const QByteArray bytes = ReadAll(store.path());
    EXPECT_TRUE(bytes.startsWith(EncodeCp1251(QStringLiteral("[Ведомости]\r\n"))));
    EXPECT_TRUE(bytes.contains("Period=previous-month\r\n"));
    EXPECT_TRUE(bytes.contains("At=2 06:30\r\n"));
    EXPECT_EQ(bytes.count('\n'), bytes.count("\r\n"));
}

TEST(ScheduleStore, DoneMarkNeverMovesBack)
{
    TempDataRoot root;
    ScheduleStore store(root.path());
    store.Save(Sample());
    const SchedulePeriod october{QDate(2026, 10, 1), QDate(2026, 10, 31)};
    const SchedulePeriod november{QDate(2026, 11, 1), QDate(2026, 11, 30)};
    store.MarkDone(QStringLiteral("Ведомости"), november, QStringLiteral("готово"));
    store.MarkDone(QStringLiteral("Ведомости"), october, QStringLiteral("позже"));
    Schedule back;
    ASSERT_TRUE(store.Find(QStringLiteral("Ведомости"), &back));
    EXPECT_EQ(back.lastPeriod, QDate(2026, 11, 1));
    EXPECT_EQ(back.lastResult, QStringLiteral("позже"));
    // A mark for a schedule deleted meanwhile creates nothing.
    store.MarkDone(QStringLiteral("другое"), november, QStringLiteral("x"));
    EXPECT_FALSE(store.Find(QStringLiteral("другое"), &back));
    EXPECT_TRUE(store.Remove(QStringLiteral("Ведомости")));
    EXPECT_FALSE(store.Remove(QStringLiteral("Ведомости")));
    EXPECT_TRUE(store.List().isEmpty());
}

TEST(ScheduleStore, RefusesWhatCannotBeKept)
{
    const struct
    {
        const char *what;
        void (*change)(Schedule &);
    } cases[] = {
        {"empty name", [](Schedule &s) { s.name.clear(); }},
        {"bracket in name", [](Schedule &s) { s.name = QStringLiteral("a]b"); }},
        {"line break in name", [](Schedule &s) { s.name = QStringLiteral("a\nb"); }},
        {"kind", [](Schedule &s) { s.kind = QStringLiteral("weekly"); }},
        {"system", [](Schedule &s) { s.system = 4; }},
        {"day", [](Schedule &s) { s.day = 32; }},
        {"out dir", [](Schedule &s) { s.outDir.clear(); }},
        {"mail", [](Schedule &s) { s.mail = {QStringLiteral("a@example.org\r\nBcc: b@example.org")}; }},
        {"subject line break", [](Schedule &s) { s.subject = QStringLiteral("a\r\nBcc: b@example.org"); }},
        {"not Windows-1251", [](Schedule &s) { s.outDir = QStringLiteral("/srv/語"); }},
    };
    for (const auto &c : cases) {
        Schedule s = Sample();
        c.change(s);
        EXPECT_FALSE(ScheduleError(s).isEmpty()) << c.what;
    }
}
