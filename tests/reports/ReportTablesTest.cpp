#include "ReportFixture.h"

#include "common/TextFile.h"

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

QStringList Rows(const ReportSelection &s, float *work = nullptr, float *stop = nullptr, ReportTotals *t = nullptr)
{
    RowList rows;
    BuildProtocolRows(s, rows, work, stop, t);
    return rows;
}

} // namespace

TEST(ReportPeriod, WholeDaysFromPickerTimes)
{
    ReportFixture f;
    const ReportSelection s = f.Selection(kHourlyReport, QDate(2010, 3, 1), QDate(2010, 3, 2), {0});
    const ReportPeriod p = MakeReportPeriod(s);
    EXPECT_EQ(DateTimeFromDayCount(p.start), QDateTime(QDate(2010, 3, 1), QTime(0, 0)));
    EXPECT_EQ(DateTimeFromDayCount(p.end), QDateTime(QDate(2010, 3, 2), QTime(23, 59, 59, 999)));

    for (double t = At(2010, 2, 28, 23); t < At(2010, 3, 3, 1.5); t += 1.0 / 24)
        f.Put(kHourlyArchive, {t, 1});
    const QStringList rows = Rows(s);
    // 48 hours + the header + the repeated header + totals and averages.
    ASSERT_EQ(rows.size(), 48 + 4);
    EXPECT_TRUE(rows[1].startsWith(QStringLiteral("01.03.2010\t")));
    EXPECT_TRUE(rows[rows.size() - 3].startsWith(QStringLiteral("02.03.2010 23:00:00\t")));
    EXPECT_EQ(rows[rows.size() - 2], QStringLiteral("Итого\t48,00\t"));

    // A picker at exactly midnight ends the period the day before.
    ReportSelection midnight = s;
    midnight.to = QDateTime(QDate(2010, 3, 2), QTime(0, 0));
    EXPECT_EQ(DateTimeFromDayCount(MakeReportPeriod(midnight).end), QDateTime(QDate(2010, 3, 1), QTime(23, 59, 59, 999)));
}

TEST(CheckPeriod, NewestRecordAndStartDate)
{
    ReportFixture f;
    f.Put(kHourlyArchive, {At(2010, 3, 10, 22)});
    f.Put(kHourlyArchive, {At(2010, 3, 10, 23)});
    const QDateTime now(QDate(2010, 3, 20), QTime(12, 0));
    EXPECT_EQ(CheckPeriod(f.Selection(kHourlyReport, QDate(2010, 3, 1), QDate(2010, 3, 10)), now), QString());
    EXPECT_EQ(CheckPeriod(f.Selection(kHourlyReport, QDate(2010, 3, 1), QDate(2010, 3, 11)), now),
              QStringLiteral("Дата конца отчетного периода должна быть меньше 10.03.2010 23:00:00!"));
    EXPECT_EQ(CheckPeriod(f.Selection(kHourlyReport, QDate(2010, 3, 5), QDate(2010, 3, 4)), now),
              QStringLiteral("Дата начала должна быть меньше даты конца отчетного периода!"));
    EXPECT_EQ(CheckPeriod(f.Selection(kHourlyReport, QDate(2010, 3, 5), QDate(2010, 3, 5)), now), QString())
        << "equal dates give one day";
    EXPECT_EQ(CheckPeriod(f.Selection(kDailyReport, QDate(2010, 3, 1), QDate(2010, 3, 2)), now),
              QStringLiteral("В архиве прибора нет данных для отчета!"))
        << "no daily files";
    // The journal's newest time is now minus one day: a period ending today is refused.
    EXPECT_NE(CheckPeriod(f.Selection(kJournalReport, QDate(2010, 3, 1), QDate(2010, 3, 20)), now), QString());
    EXPECT_EQ(CheckPeriod(f.Selection(kJournalReport, QDate(2010, 3, 1), QDate(2010, 3, 19)), now), QString());

    // A monthly record holds its whole month: the newest month's last day may end the period.
    f.Put(kMonthlyArchive, {At(2010, 1, 1)});
    f.Put(kMonthlyArchive, {At(2010, 2, 1)});
    EXPECT_EQ(CheckPeriod(f.Selection(kMonthlyReport, QDate(2010, 1, 1), QDate(2010, 2, 28)), now), QString());
    EXPECT_EQ(CheckPeriod(f.Selection(kMonthlyReport, QDate(2010, 1, 1), QDate(2010, 3, 1)), now),
              QStringLiteral("Дата конца отчетного периода должна быть меньше 01.03.2010!"));
}

TEST(NewestArchiveTime, MonthsAreNotZeroPadded)
{
    ReportFixture f;
    f.Put(kHourlyArchive, {At(2010, 9, 30, 23)});  // 20109.dat
    f.Put(kHourlyArchive, {At(2010, 10, 31, 23)}); // 201010.dat
    f.Put(kHourlyArchive, {At(2011, 9, 1, 5)});    // 20119.dat
    f.Put(kHourlyArchive, {At(2011, 1, 1, 0)});    // 20111.dat
    ReportSelection s = f.Selection(kHourlyReport, QDate(2010, 1, 1), QDate(2010, 1, 2));
    EXPECT_EQ(TimeKey(NewestArchiveTime(s)), TimeKey(At(2011, 9, 1, 5)));

    // A newest file that is empty or ends in a line that does not convert does not hide
    // the data before it.
    const QString path = DataFilePath(f.root.path(), DataKind::Hourly, 100, 2011, 10);
    SaveLines(path, {});
    EXPECT_EQ(TimeKey(NewestArchiveTime(s)), TimeKey(At(2011, 9, 1, 5)));
    SaveLines(path, {LineBuilder().Time(At(2011, 10, 2)).line(), QStringLiteral("garbage\t")});
    EXPECT_EQ(TimeKey(NewestArchiveTime(s)), TimeKey(At(2011, 10, 2)));
}

TEST(ProtocolRows, HourlyOverTwoDaysRepeatsTheHeader)
{
    ReportFixture f;
    f.Put(kHourlyArchive, {At(2010, 3, 1, 22), 1.5});
    f.Put(kHourlyArchive, {At(2010, 3, 1, 23), 2.25});
    f.Put(kHourlyArchive, {At(2010, 3, 2, 0), 3});
    float work = -1, stop = -1;
    ReportTotals totals;
    RowList rows;
    const ReportSelection s = f.Selection(kHourlyReport, QDate(2010, 3, 1), QDate(2010, 3, 2), {0, 12});
    EXPECT_EQ(BuildProtocolRows(s, rows, &work, &stop, &totals), 3);
    EXPECT_EQ(rows, (QStringList{
                        QStringLiteral("Дата\tQ ГКал\tВНР ч\t"),
                        QStringLiteral("01.03.2010 22:00:00\t1,50\t0,00\t0 0"),
                        QStringLiteral("01.03.2010 23:00:00\t2,25\t0,00\t0 0"),
                        QStringLiteral("Дата\tQ ГКал\tВНР ч\t"),
                        QStringLiteral("02.03.2010\t3,00\t0,00\t0 0"),
                        QStringLiteral("Итого\t6,75\t0,00\t"),
                        QStringLiteral("Среднее\t\t\t"),
                    }));
    EXPECT_EQ(totals.values[0], 6.75f);
}

TEST(ProtocolRows, DailyOverTwoMonthsRepeatsTheHeaderAtTheNewMonth)
{
    ReportFixture f;
    for (QDate d(2010, 1, 30); d <= QDate(2010, 2, 2); d = d.addDays(1))
        f.Put(kDailyArchive, {DayCountFromDate(d), 1});
    const QStringList rows = Rows(f.Selection(kDailyReport, QDate(2010, 1, 30), QDate(2010, 2, 2), {0}));
    ASSERT_EQ(rows.size(), 1 + 2 + 1 + 2 + 2);
    EXPECT_EQ(rows[3], QStringLiteral("Дата\tQ ГКал\t"));
    EXPECT_TRUE(rows[4].startsWith(QStringLiteral("01.02.2010\t")));
}

TEST(ProtocolRows, CellsSumsAndAverages)
{
    ReportFixture f;
    const double d1 = At(2010, 3, 1), d2 = At(2010, 3, 2), d3 = At(2010, 3, 3);
    f.Put(kDailyArchive, {d1, 1, 5.5f, 5.2f, 10, 12, 60, 40, 6, 0, 20, 4, 5, 128});
    f.Put(kDailyArchive, {d2, 1, 5.f, 5.f, 12, 10, 0, 45, 0, 0, 24, 0});
    f.Put(kDailyArchive, {d3, 1, 4.f, 4.5f, 11, 11, 70, 70, 0, 0, 24, 0});
    const ReportSelection s =
        f.Selection(kDailyReport, QDate(2010, 3, 1), QDate(2010, 3, 3), {1, 2, 3, 6, 7, 9, 10, 12, 13, 14});
    ASSERT_EQ(BuildHeaderLine(s), QStringLiteral("Дата\tM1 тонн\tM2 тонн\t+(M1-М2) тонн\t-(M1-М2) тонн\t"
                                                 "+(V1-V2) м^3\t-(V1-V2) м^3\tT1 °C\tT1-T2 °C\tP1 кгс/см^2\t"
                                                 "ВНР ч\tВОС ч\tНС\t"));
    float work = 0, stop = 0;
    RowList rows;
    EXPECT_EQ(BuildProtocolRows(s, rows, &work, &stop, nullptr), 13);
    EXPECT_EQ(rows[1], QStringLiteral("01.03.2010\t5,500\t5,200\t0,300\t---\t---\t2,000\t60,00\t20,00\t6,00\t20,00\t"
                                      "4,00\t3\t5 128"));
    EXPECT_EQ(rows[2], QStringLiteral("02.03.2010\t5,000\t5,000\t---\t---\t2,000\t---\t0,00\t-45,00\t0,00\t24,00\t"
                                      "0,00\t0\t0 0"));
    EXPECT_EQ(rows[4], QStringLiteral("Итого\t14,500\t14,700\t0,300\t0,500\t2,000\t2,000\t\t\t\t68,00\t4,00\t\t"));
    // T1: 60, 0, 70 average over the non-zero values; T1-T2 over rows where they differ.
    EXPECT_EQ(rows[5], QStringLiteral("Среднее\t\t\t\t\t\t\t65,00\t-12,50\t6,00\t\t\t\t"));
    EXPECT_EQ(work, 68.f);
    EXPECT_EQ(stop, 4.f);
}

TEST(ProtocolRows, MissingFilesGiveZeroTotalsAndUnreadableLinesAreSkipped)
{
    ReportFixture f;
    const ReportSelection s = f.Selection(kDailyReport, QDate(2010, 3, 1), QDate(2010, 3, 3), {0, 7});
    EXPECT_EQ(Rows(s), (QStringList{QStringLiteral("Дата\tQ ГКал\tT1 °C\t"), QStringLiteral("Итого\t0,00\t\t"),
                                    QStringLiteral("Среднее\t\t0,00\t")}));
    const QString path = DataFilePath(f.root.path(), DataKind::Daily, 100, 2010);
    QDir().mkpath(QFileInfo(path).path());
    // A whole first-version line: 34 fields. A line cut short is damaged, not a record of zeros.
    auto whole = [](const QString &head) { return head + QStringLiteral("0\t").repeated(kArchiveFieldsV1 - 2); };
    SaveLines(path, {whole(QStringLiteral("40238\t1\t")), QStringLiteral("40239\tx\t"), QStringLiteral("bad\t5\t"),
                     QStringLiteral("40239\t7\t"), whole(QStringLiteral("40240\t2\t"))});
    const QStringList rows = Rows(s);
    ASSERT_EQ(rows.size(), 5);
    EXPECT_EQ(rows[3], QStringLiteral("Итого\t3,00\t\t"));

    // Two lines of one day: the later is used, once.
    QStringList lines = LoadLines(path);
    lines.append(whole(QStringLiteral("40240\t5\t")));
    SaveLines(path, lines);
    const QStringList repeated = Rows(s);
    ASSERT_EQ(repeated.size(), 5);
    EXPECT_EQ(repeated[3], QStringLiteral("Итого\t6,00\t\t"));
}

TEST(ProtocolRows, ColdWater)
{
    ReportFixture f;
    ArchiveValues a;
    a.time = At(2010, 3, 1);
    a.F[10] = 3.5f;  // V5
    a.F[19] = 1250;  // T5 in hundredths
    a.F[25] = 1440;  // ВНР3 minutes
    a.NS[4] = 3;
    SaveArchiveLine(f.target, 1, 100, true, 0, kDailyArchive, a);
    float work = 0, stop = 0;
    ReportTotals t;
    RowList rows;
    const ReportSelection s = f.Selection(kDailyReport, QDate(2010, 3, 1), QDate(2010, 3, 1), {0, 1, 3, 5}, kColdWater);
    EXPECT_EQ(BuildProtocolRows(s, rows, &work, &stop, &t), 5);
    EXPECT_EQ(rows, (QStringList{QStringLiteral("Дата\tV м^3\tT °C\tВНР ч\tНС\t"),
                                 QStringLiteral("01.03.2010\t3,500\t12,50\t24,00\t2\t3"),
                                 QStringLiteral("Итого\t3,500\t\t24,00\t\t"), QStringLiteral("Среднее\t\t12,50\t\t\t")}));
    EXPECT_EQ(work, 24.f);
    EXPECT_EQ(t.values[0], 3.5f);
    EXPECT_EQ(t.values[1], 24.f);
}

TEST(ProtocolRows, Journal)
{
    ReportFixture f;
    const QString header = QStringLiteral("Дата\tЗапись\tСтарое значение\tНовое значение\t");
    const QStringList none{header, QStringLiteral("записей нет\t")};
    RowList rows{QStringLiteral("left over")};
    ReportSelection s = f.Selection(kJournalReport, QDate(2010, 3, 1), QDate(2010, 3, 2));
    EXPECT_EQ(BuildProtocolRows(s, rows, nullptr, nullptr, nullptr), 4);
    EXPECT_EQ(rows, none) << "no journal file: the headings and a row saying so";

    SaveJournalLine(f.target, 100, 0, At(2010, 3, 1), At(2010, 3, 1, 14, 30), QStringLiteral("Q1"),
                    QStringLiteral("1"), QStringLiteral("2"));
    SaveJournalLine(f.target, 100, 0, At(2010, 3, 3), At(2010, 3, 3, 1), QStringLiteral("Q2"), QString(), QString());
    EXPECT_EQ(BuildProtocolRows(s, rows, nullptr, nullptr, nullptr), 4);
    EXPECT_EQ(rows, (QStringList{header, QStringLiteral("01.03.2010 14:30:00\tQ1\t1\t2\t")}));

    BuildProtocolRows(f.Selection(kJournalReport, QDate(2010, 3, 5), QDate(2010, 3, 6)), rows, nullptr, nullptr,
                      nullptr);
    EXPECT_EQ(rows, none) << "no entry in the period";
}

TEST(Flags, CountAndNames)
{
    EXPECT_EQ(CountFlags(5), 2);
    EXPECT_EQ(CountFlags(0x1FF), 8) << "only bits 0 to 7 count";
    EXPECT_EQ(FlagNames(1, 5), QStringLiteral("Неисправность ПТ1\ndt1<dt1мин"));
    EXPECT_EQ(FlagNames(4, 0x80), QStringLiteral("Положит.небал.ТС2"));
    EXPECT_EQ(FlagNames(5, 0x11), QStringLiteral("Сброс питания\nНеисправность ПР5"));
    EXPECT_EQ(FlagNames(2, 0), QString());
}

TEST(StatementRows, FlowLimitHoursReduceOperatingTime)
{
    ReportFixture f;
    // The day: 20 h operating, 1 h stop; two hours with V1 below Gmin, one above Gmax,
    // one hour with a dt fault that counts its stop time instead.
    f.Put(kDailyArchive, {At(2010, 3, 1), 1, 5, 5, 0, 0, 0, 0, 0, 0, 20, 1});
    for (int h = 0; h < 24; ++h) {
        float v = 1.f;
        if (h == 3 || h == 4)
            v = 0.01f;
        if (h == 5)
            v = 9.f;
        ReportFixture::Row row{At(2010, 3, 1, h), 0, 0, 0, v};
        if (h == 6) {
            row.v1 = 0.01f;
            row.ns1 = 4;
            row.stopHours = 0.5f;
        }
        f.Put(kHourlyArchive, row);
    }
    ReportSelection s = f.Selection(kHourlyReport /* the statement makes it daily */, QDate(2010, 3, 1), QDate(2010, 3, 1));
    ApplyStatementSelection(s);
    float work = 0, stop = 0;
    ReportTotals totals;
    RowList rows;
    EXPECT_EQ(BuildStatementRows(s, rows, &work, &stop, &totals, 0.02f, 5.f, 2), 13);
    EXPECT_TRUE(rows[1].startsWith(QStringLiteral("01.03.2010\t1,00\t5,000\t5,000\t---\t---\t")));
    EXPECT_TRUE(rows[1].endsWith(QStringLiteral("\t20,00\t4,00\t0 0"))) << "version 2: topped up only";

    EXPECT_EQ(BuildStatementRows(s, rows, &work, &stop, &totals, 0.02f, 5.f, 1), 13);
    // Tmin 2, Tmax 1: operating 20 - 3, stop 4 (topped up to 24) + 3.
    EXPECT_TRUE(rows[1].endsWith(QStringLiteral("\t17,00\t7,00\t0 0"))) << rows[1].toStdString();
    EXPECT_TRUE(rows[2].endsWith(QStringLiteral("\t17,00\t7,00\t"))) << rows[2].toStdString();
    EXPECT_EQ(work, 20.f) << "the outputs keep the unreduced operating hours";
    EXPECT_EQ(stop, 4.f) << "and the topped-up stop hours";
    EXPECT_EQ(totals.values[5], 20.f);
    EXPECT_EQ(totals.values[6], 1.f) << "the totals keep the calculator's own stop hours";

    const FlowLimits day = FlowLimitHours(s, At(2010, 3, 1), At(2010, 3, 1) + 86399.0 / 86400, 0.02f, 5.f);
    EXPECT_EQ(day.tmin, 2.f);
    EXPECT_EQ(day.tmax, 1.f);
    EXPECT_EQ(day.tdt, 0.5f);

    RowList baseline;
    float work2 = 0, stop2 = 0;
    ReportTotals totals2;
    BuildStatementRowsRereading(s, baseline, &work2, &stop2, &totals2, 0.02f, 5.f, 1);
    EXPECT_EQ(baseline, rows);
}

TEST(StatementRows, TheExampleDay)
{
    // Operating 20 h, stop 1 h and two hours below Gmin: 18,00 and 6,00.
    ReportFixture f;
    f.Put(kDailyArchive, {At(2010, 3, 1), 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 1});
    for (int h = 0; h < 24; ++h)
        f.Put(kHourlyArchive, {At(2010, 3, 1, h), 0, 0, 0, h < 2 ? 0.f : 1.f});
    ReportSelection s = f.Selection(kDailyReport, QDate(2010, 3, 1), QDate(2010, 3, 1));
    ApplyStatementSelection(s);
    RowList rows;
    BuildStatementRows(s, rows, nullptr, nullptr, nullptr, 0.02f, 5.f, 1);
    EXPECT_TRUE(rows[1].endsWith(QStringLiteral("\t18,00\t6,00\t0 0"))) << rows[1].toStdString();
}

TEST(StatementRows, EveryDayOfThePeriodHasARow)
{
    // 30 January .. 2 February: no record for 30 and 31 January; 1 February has one.
    // 3 February lies after the newest record but within the period.
    ReportFixture f;
    f.Put(kDailyArchive, {At(2010, 2, 1), 1, 5, 4, 0, 0, 70, 45, 0, 0, 20, 1});
    f.Put(kDailyArchive, {At(2010, 2, 2), 1, 5, 4, 0, 0, 70, 45, 0, 0, 24, 0});
    ReportSelection s = f.Selection(kDailyReport, QDate(2010, 1, 30), QDate(2010, 2, 3));
    ApplyStatementSelection(s);
    float work = 0, stop = 0;
    StatementHours shown;
    RowList rows;
    BuildStatementRows(s, rows, &work, &stop, nullptr, 0.02f, 5.f, 2, &shown);
    const QString missing = QStringLiteral("\tнет данных\t\t\t\t\t\t\t\t\t\t0,00\t24,00\t");
    ASSERT_EQ(rows.size(), 1 + 2 + 1 + 3 + 2) << rows.join(u'|').toStdString();
    EXPECT_EQ(rows[1], QStringLiteral("30.01.2010") + missing);
    EXPECT_EQ(rows[2], QStringLiteral("31.01.2010") + missing);
    EXPECT_TRUE(rows[3].startsWith(QStringLiteral("Дата\t"))) << "the header repeats at the new month";
    EXPECT_TRUE(rows[4].startsWith(QStringLiteral("01.02.2010\t1,00\t"))) << rows[4].toStdString();
    EXPECT_TRUE(rows[5].startsWith(QStringLiteral("02.02.2010\t1,00\t")));
    EXPECT_EQ(rows[6], QStringLiteral("03.02.2010") + missing);
    EXPECT_TRUE(rows[7].endsWith(QStringLiteral("\t44,00\t76,00\t"))) << rows[7].toStdString();
    // Five days: 120 hours, the missing days counted as stop.
    EXPECT_EQ(work, 44.f);
    EXPECT_EQ(stop, 76.f);
    EXPECT_EQ(shown.work, 44);
    EXPECT_EQ(shown.stop, 76);
}

TEST(StatementRows, AverageTemperaturesAreWeightedByMass)
{
    // Day 1: M1 10 t at 70 °C, M2 8 t at 40 °C; day 2: M1 30 t at 50 °C, M2 24 t at 30 °C;
    // day 3 without flow and without temperatures.
    ReportFixture f;
    f.Put(kDailyArchive, {At(2010, 3, 1), 1, 10, 8, 0, 0, 70, 40, 5, 4, 24, 0});
    f.Put(kDailyArchive, {At(2010, 3, 2), 1, 30, 24, 0, 0, 50, 30, 6, 4, 24, 0});
    f.Put(kDailyArchive, {At(2010, 3, 3), 0, 0, 0, 0, 0, 0, 0, 0, 0, 24, 0});
    ReportSelection s = f.Selection(kDailyReport, QDate(2010, 3, 1), QDate(2010, 3, 3));
    ApplyStatementSelection(s);
    RowList rows;
    BuildStatementRows(s, rows, nullptr, nullptr, nullptr, 0.02f, 5.f, 2);
    // t1 (10x70 + 30x50) / 40 = 55, t2 (8x40 + 24x30) / 32 = 32,5, dt their difference;
    // pressures stay plain means.
    EXPECT_EQ(rows.last(), QStringLiteral("Среднее\t\t\t\t\t\t55,00\t32,50\t22,50\t5,50\t4,00\t\t\t"));
    EXPECT_TRUE(rows[1].contains(QStringLiteral("\t70,00\t40,00\t30,00\t"))) << "day rows keep the calculator's values";

    // The protocols keep the plain means.
    const QStringList protocol = Rows(f.Selection(kDailyReport, QDate(2010, 3, 1), QDate(2010, 3, 3), {7, 8, 9}));
    EXPECT_EQ(protocol.last(), QStringLiteral("Среднее\t60,00\t35,00\t25,00\t"));

    // Without any flow the plain mean stands in.
    ReportFixture still;
    still.Put(kDailyArchive, {At(2010, 3, 1), 0, 0, 0, 0, 0, 60, 40, 0, 0, 24, 0});
    still.Put(kDailyArchive, {At(2010, 3, 2), 0, 0, 0, 0, 0, 70, 50, 0, 0, 24, 0});
    ReportSelection t = still.Selection(kDailyReport, QDate(2010, 3, 1), QDate(2010, 3, 2));
    ApplyStatementSelection(t);
    BuildStatementRows(t, rows, nullptr, nullptr, nullptr, 0.02f, 5.f, 2);
    EXPECT_TRUE(rows.last().startsWith(QStringLiteral("Среднее\t\t\t\t\t\t65,00\t45,00\t20,00\t")))
        << rows.last().toStdString();
}

TEST(StatementDowntime, TermsAddUpToThePeriod)
{
    // Version 2: two days, the second without records; the counters of the first day's
    // 24 hours: 22 h normal, 1 h Tmin, 0,5 h Tmax, 0,5 h power failure.
    ReportFixture f;
    f.Put(kDailyArchive, {At(2010, 3, 1), 1, 0, 0, 0, 0, 0, 0, 0, 0, 22, 0}, 2);
    for (int h = 0; h < 24; ++h) {
        ArchiveValues a;
        a.time = At(2010, 3, 1, h);
        a.F[27] = h < 22 ? 60 : 0;      // Тшт
        a.F[28] = h == 22 ? 60 : 0;     // Тmin
        a.F[29] = h == 23 ? 30 : 0;     // Тmax
        a.F[31] = h == 23 ? 30 : 0;     // Тэп
        SaveArchiveLine(f.target, 2, 100, true, 0, kHourlyArchive, a);
    }
    ReportSelection s = f.Selection(kDailyReport, QDate(2010, 3, 1), QDate(2010, 3, 2));
    ApplyStatementSelection(s);
    float work = 0, stop = 0;
    RowList rows;
    BuildStatementRows(s, rows, &work, &stop, nullptr, 0.02f, 5.f, 2);
    EXPECT_EQ(work + stop, 48.f);
    const DowntimeTerms v2 = StatementDowntime(s, 2, 0.02f, 5.f, work, stop);
    EXPECT_EQ(v2.work, 22);
    EXPECT_EQ(v2.tmax, 0.5);
    EXPECT_EQ(v2.tmin, 1);
    EXPECT_EQ(v2.tdt, 0);
    EXPECT_EQ(v2.other, 0.5 + 24) << "the day without records joins the last term";

    // Version 1: from the flow limits; the last term is the stop hours less Tdt.
    const DowntimeTerms v1 = StatementDowntime(s, 1, 0.02f, 5.f, work, stop);
    EXPECT_EQ(v1.tmin, 24) << "every hour's volume is zero, below Gmin";
    EXPECT_EQ(v1.work + v1.tmax + v1.tmin + v1.tdt + v1.other, 48);
}

TEST(StatementLimits, FromTheFileOrTheDiameterTable)
{
    ReportFixture f;
    StatementLimits l = ReadStatementLimits(f.root.path(), QStringLiteral("100"), 15, 0, kHeatSystem1);
    EXPECT_EQ(l.version, 1);
    EXPECT_FLOAT_EQ(l.gmin, 0.02f);
    EXPECT_FLOAT_EQ(l.gmax, 5.f);
    l = ReadStatementLimits(f.root.path(), QStringLiteral("100"), 50, 1, kHeatSystem1);
    EXPECT_FLOAT_EQ(l.gmin, 0.3f);
    EXPECT_FLOAT_EQ(l.gmax, 150.f);

    CurrentValues v;
    v.time = At(2010, 3, 1);
    v.GMin2 = 0.5f;
    v.GMax2 = 0;
    SaveCurrentValues(f.target, 2, 100, true, v);
    l = ReadStatementLimits(f.root.path(), QStringLiteral("100"), 80, 0, kHeatSystem2);
    EXPECT_EQ(l.version, 2);
    EXPECT_FLOAT_EQ(l.gmin, 0.5f);
    EXPECT_FLOAT_EQ(l.gmax, 125.f);
}

TEST(DowntimeCounters, SecondVersionLinesOnly)
{
    ReportFixture f;
    ArchiveValues a;
    a.time = At(2010, 3, 1, 5);
    for (int i = 27; i <= 38; ++i)
        a.F[i] = 60.f * (i - 26);
    SaveArchiveLine(f.target, 2, 100, true, 0, kHourlyArchive, a);
    a.time = At(2010, 3, 1, 6);
    SaveArchiveLine(f.target, 1, 100, true, 0, kHourlyArchive, a);
    float sums[6];
    ReportSelection s = f.Selection(kHourlyReport, QDate(2010, 3, 1), QDate(2010, 3, 1), {}, kHeatSystem2);
    SumDowntimeCounters(s, sums);
    EXPECT_EQ(sums[0], 7.f);
    EXPECT_EQ(sums[5], 12.f);
}
