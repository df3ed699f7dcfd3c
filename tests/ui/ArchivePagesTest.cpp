#include "ArchiveTableModel.h"
#include "storage/ArchiveView.h"
#include "CurrentValuesData.h"
#include "Pages.h"
#include "UiSupport.h"

#include "common/DayCount.h"
#include "common/MeterWriteLock.h"
#include "common/TextFile.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>

#include <gtest/gtest.h>

#include <chrono>
#include <future>

using namespace qst;
using qst::test::TempDataRoot;

namespace {

double At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return DayCountFromParts(QDate(y, mo, d), QTime(h, mi, s));
}

// A second-layout archive line: Q1 = q, T1 = t1, T2 = t2, NS1 = ns1, operating minutes 90.
QString Line(double time, double q, double t1 = 70.5, double t2 = 40.25, int ns1 = 3)
{
    LineBuilder b;
    b.Time(time);
    for (int f = 1; f <= 19; ++f)
        b.Real(f == 1 ? q : f == 12 ? t1 : f == 13 ? t2 : 0);
    b.Real(512).Real(2500).Int(0);
    for (int f = 23; f <= 27; ++f)
        b.Int(f == 23 ? ns1 : 0);
    for (int f = 28; f <= 45; ++f)
        b.Real(f == 28 ? 90 : 0);
    return b.line();
}

void Write(const QString &path, const QStringList &lines)
{
    QDir().mkpath(QFileInfo(path).path());
    SaveLines(path, lines);
}

// Record times to the millisecond, as the period compares them.
QList<qint64> Times(const QList<ArchiveRecord> &records)
{
    QList<qint64> out;
    for (const ArchiveRecord &r : records)
        out << DayCountToMs(r.time);
    return out;
}

QList<qint64> Ms(std::initializer_list<double> times)
{
    QList<qint64> out;
    for (double t : times)
        out << DayCountToMs(t);
    return out;
}

} // namespace

TEST(ArchiveView, HourlyPeriodAcrossMonthsIncludesBothEnds)
{
    TempDataRoot root;
    const QString jan = DataFilePath(root.path(), DataKind::Hourly, 77, 2021, 1);
    const QString feb = DataFilePath(root.path(), DataKind::Hourly, 77, 2021, 2);
    Write(jan, {Line(At(2021, 1, 30, 9), 1), Line(At(2021, 1, 30, 10), 2), QStringLiteral("garbage\tline\t"),
                Line(At(2021, 1, 31, 23), 3)});
    Write(feb, {Line(At(2021, 2, 2, 9, 59, 59), 4), Line(At(2021, 2, 2, 10), 5)});
    const ArchivePeriod period = HourlyPeriod(QDate(2021, 1, 30), QTime(10, 0), QDate(2021, 2, 2), QTime(9, 59, 59));
    EXPECT_EQ(ArchiveFilesForPeriod(root.path(), 77, ArchivePageKind::Hourly, period), (QStringList{jan, feb}));
    const QList<ArchiveRecord> records = LoadArchiveRecords(root.path(), QStringLiteral("77"), ArchivePageKind::Hourly,
                                                            period);
    EXPECT_EQ(Times(records), Ms({At(2021, 1, 30, 10), At(2021, 1, 31, 23), At(2021, 2, 2, 9, 59, 59)}));

    // A reversed period reads nothing; a serial that is not a number names no file.
    EXPECT_TRUE(LoadArchiveRecords(root.path(), QStringLiteral("77"), ArchivePageKind::Hourly,
                                   HourlyPeriod(QDate(2021, 2, 2), {}, QDate(2021, 1, 30), {}))
                    .isEmpty());
    EXPECT_TRUE(LoadArchiveRecords(root.path(), QStringLiteral("../77"), ArchivePageKind::Hourly, period).isEmpty());
}

TEST(ArchiveView, DailyYearsAndMonthly28thRule)
{
    TempDataRoot root;
    EXPECT_EQ(ArchiveFilesForPeriod(root.path(), 5, ArchivePageKind::Daily,
                                    DailyPeriod(QDate(2020, 1, 1), QDate(2020, 12, 31)))
                  .size(),
              1);
    EXPECT_EQ(ArchiveFilesForPeriod(root.path(), 5, ArchivePageKind::Daily,
                                    DailyPeriod(QDate(2020, 12, 31), QDate(2021, 1, 1)))
                  .size(),
              2);

    Write(DataFilePath(root.path(), DataKind::Monthly, 5),
          {Line(At(2020, 12, 1), 1), Line(At(2021, 2, 1), 2), Line(At(2021, 3, 1), 3), Line(At(2021, 3, 30), 4)});
    const QList<ArchiveRecord> records = LoadArchiveRecords(
        root.path(), QStringLiteral("5"), ArchivePageKind::Monthly, MonthlyPeriod(QDate(2021, 2, 17), QDate(2021, 3, 31)));
    EXPECT_EQ(Times(records), Ms({At(2021, 2, 1), At(2021, 3, 1)}));
}

TEST(ArchiveView, ModelKeepsRawValuesAndFormatsForDisplay)
{
    ArchiveRecord r;
    ASSERT_TRUE(TryParseArchiveLine(Line(At(2021, 1, 30, 10), 1234.56789), &r));
    ArchiveTableModel hourly(ArchiveTable::HeatSystem1, false);
    hourly.SetRecords({r});
    ASSERT_EQ(hourly.columnCount(), 15);
    EXPECT_EQ(hourly.headerData(8, Qt::Horizontal).toString(), QStringLiteral("Т1-Т2 (°С)"));
    EXPECT_EQ(hourly.DisplayText(0, 0), QStringLiteral("30.01.2021 10:00:00"));
    EXPECT_EQ(hourly.DisplayText(0, 1), QStringLiteral("1234,5679"));
    EXPECT_NEAR(hourly.data(hourly.index(0, 1), ArchiveTableModel::RawRole).toDouble(), 1234.56789, 1e-3);
    EXPECT_EQ(hourly.DisplayText(0, 8), QStringLiteral("30,25"));
    EXPECT_EQ(hourly.DisplayText(0, 11), QStringLiteral("1,5")); // 90 minutes
    EXPECT_EQ(hourly.DisplayText(0, 13), QStringLiteral("3"));

    // Midnight shows its time on the pages (documents keep the bare date).
    ArchiveRecord midnight;
    ASSERT_TRUE(TryParseArchiveLine(Line(At(2026, 12, 9, 0), 1), &midnight));
    hourly.SetRecords({midnight});
    EXPECT_EQ(hourly.DisplayText(0, 0), QStringLiteral("09.12.2026 0:00:00"));

    ArchiveTableModel daily(ArchiveTable::ColdWater, true);
    daily.SetRecords({r});
    EXPECT_EQ(daily.columnCount(), 7);
    EXPECT_EQ(daily.DisplayText(0, 0), QStringLiteral("30.01.2021"));
    EXPECT_EQ(daily.DisplayText(0, 2), QStringLiteral("5,12")); // T5 is stored in hundredths
    EXPECT_EQ(daily.DisplayText(0, 3), QStringLiteral("2,5"));
}

TEST(ArchiveView, ClearingHourlyBeforeFifteenthOfMarch)
{
    TempDataRoot root;
    auto hourly = [&](int y, int m) { return DataFilePath(root.path(), DataKind::Hourly, 9, y, m); };
    Write(hourly(1990, 1), {Line(At(1990, 1, 1), 1)});
    Write(hourly(2019, 12), {Line(At(2019, 12, 1), 1)});
    Write(hourly(2020, 1), {Line(At(2020, 1, 1), 1)});
    Write(hourly(2020, 2), {Line(At(2020, 2, 1), 1)});
    Write(hourly(2020, 3), {Line(At(2020, 3, 14, 23), 1), QStringLiteral("bad\t"), Line(At(2020, 3, 15), 2),
                            Line(At(2020, 3, 16), 3)});
    Write(hourly(2020, 4), {Line(At(2020, 4, 1), 1)});
    const QString journal = DataFilePath(root.path(), DataKind::Journal, 9);
    Write(journal, {BuildJournalLine(At(2019, 1, 1), QStringLiteral("a"), QString(), QString())});

    ClearChoice none;
    ClearArchive(root.path(), QStringLiteral("9"), QDateTime(QDate(2020, 3, 15), QTime(0, 0)), none);
    EXPECT_TRUE(QFile::exists(hourly(2020, 1)));

    ClearChoice choice;
    choice.hourly = true;
    ClearArchive(root.path(), QStringLiteral("9"), QDateTime(QDate(2020, 3, 15), QTime(0, 0)), choice);
    for (auto [y, m] : {std::pair{1990, 1}, {2019, 12}, {2020, 1}, {2020, 2}})
        EXPECT_FALSE(QFile::exists(hourly(y, m))) << y << '-' << m;
    EXPECT_TRUE(QFile::exists(hourly(2020, 4)));
    // The unreadable line stays where it was.
    EXPECT_EQ(LoadLines(hourly(2020, 3)),
              (QStringList{QStringLiteral("bad\t"), Line(At(2020, 3, 15), 2), Line(At(2020, 3, 16), 3)}));
    EXPECT_EQ(LoadLines(journal).size(), 1); // not ticked
}

TEST(ArchiveView, ClearingWaitsWhileAPollStoresTheMetersLines)
{
    TempDataRoot root;
    const QString file = DataFilePath(root.path(), DataKind::Hourly, 9, 2020, 3);
    Write(file, {Line(At(2020, 3, 14), 1), Line(At(2020, 3, 16), 2)});
    ClearChoice choice;
    choice.hourly = true;

    // A poll is in the middle of storing a line of meter 9.
    std::unique_lock poll(MeterWriteMutex(9));
    auto clearing = std::async(std::launch::async, [&] {
        ClearArchive(root.path(), QStringLiteral("9"), QDateTime(QDate(2020, 3, 15), QTime(0, 0)), choice);
    });
    EXPECT_EQ(clearing.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "the clearing went ahead while the poll wrote";
    InsertArchiveLine(file, Line(At(2020, 3, 17), 3), At(2020, 3, 17), false);
    poll.unlock();
    clearing.get();
    EXPECT_EQ(LoadLines(file), (QStringList{Line(At(2020, 3, 16), 2), Line(At(2020, 3, 17), 3)}));
}

TEST(CurrentValues, NeverReadMeterShowsNoValues)
{
    TempDataRoot root;
    Registry registry(TreeIniPath(root.path()));
    registry.file().WriteString(MeterSection(1), reg::kSerial, QStringLiteral("55"));
    registry.file().WriteString(MeterSection(2), reg::kSerial, QStringLiteral("56"));
    qst::test::WriteAll(DataFilePath(root.path(), DataKind::CurrentValues, 56),
                        "[CURRDATA]\r\nDT=09.12.2026 10:00:00\r\nVersion=1\r\nQ1=12,5\r\nScheme1=1\r\n");
    const CurrentValuesView never = LoadCurrentValuesView(root.path(), registry, 1);
    EXPECT_FALSE(never.read);
    EXPECT_EQ(never.Text(QStringLiteral("DT")), QStringLiteral("не считывались"));
    // No zero, no default scheme or limit that would pass for a reading.
    for (const char *key : {"Q1", "T11", "NS2", "Scheme1", "Scheme2", "GMin1", "GMax2"})
        EXPECT_EQ(never.Text(QString::fromLatin1(key)), QString()) << key;
    EXPECT_FALSE(never.allLimitsVisible);

    // The page shown for a read meter first keeps none of its values.
    CurrentValuesPage page;
    page.Show(LoadCurrentValuesView(root.path(), registry, 2));
    EXPECT_EQ(page.Box(QStringLiteral("Q1"))->text(), QStringLiteral("12,5"));
    page.Show(never);
    EXPECT_EQ(page.Box(QStringLiteral("Q1"))->text(), QString());
    EXPECT_EQ(page.Box(QStringLiteral("GMin1"))->text(), QString());
    EXPECT_EQ(page.Box(QStringLiteral("DT"))->text(), QStringLiteral("не считывались"));
}

TEST(CurrentValues, VersionOneLimitsAndVersionTwoFromFile)
{
    TempDataRoot root;
    Registry registry(TreeIniPath(root.path()));
    registry.file().WriteStrings(MeterSection(1), {{reg::kSerial, QStringLiteral("55")},
                                                   {reg::kDU, QStringLiteral("50")},
                                                   {reg::kClass, QStringLiteral("1")}});
    registry.file().WriteStrings(MeterSection(2), {{reg::kSerial, QStringLiteral("56")}});
    qst::test::WriteAll(DataFilePath(root.path(), DataKind::CurrentValues, 55),
                        "[CURRDATA]\r\nVersion=1\r\nGMin1=0\r\nGMin2=0,5\r\nQ1=1234,56789\r\nQ2=10,5000\r\n"
                        "T11=3\r\nScheme1=9\r\nScheme2=25\r\nNS1=12 13\r\n");
    qst::test::WriteAll(DataFilePath(root.path(), DataKind::CurrentValues, 56),
                        "[CURRDATA]\r\nVersion=2\r\nGMin1=0,4\r\nTf2=1,25\r\n");

    const CurrentValuesView v1 = LoadCurrentValuesView(root.path(), registry, 1);
    EXPECT_EQ(v1.Text(QStringLiteral("GMin1")), QStringLiteral("0,3"));
    EXPECT_EQ(v1.Text(QStringLiteral("GMax1")), QStringLiteral("150"));
    EXPECT_EQ(v1.Text(QStringLiteral("GMin2")), QStringLiteral("0,5"));
    EXPECT_EQ(v1.Text(QStringLiteral("GMax2")), QStringLiteral("250"));
    EXPECT_EQ(v1.Text(QStringLiteral("Q1")), QStringLiteral("1234,5679"));
    EXPECT_EQ(v1.Text(QStringLiteral("Q2")), QStringLiteral("10,5"));
    EXPECT_EQ(v1.Text(QStringLiteral("T11")), QStringLiteral("3"));
    EXPECT_EQ(v1.Text(QStringLiteral("Scheme1")), QStringLiteral("ВЫКЛ"));
    EXPECT_EQ(v1.Text(QStringLiteral("Scheme2")), QString());
    EXPECT_EQ(v1.Text(QStringLiteral("NS1")), QStringLiteral("12 13"));

    const CurrentValuesView v2 = LoadCurrentValuesView(root.path(), registry, 2);
    EXPECT_TRUE(v2.allLimitsVisible);
    EXPECT_EQ(v2.Text(QStringLiteral("GMin1")), QStringLiteral("0,4"));
    EXPECT_EQ(v2.Text(QStringLiteral("GMax1")), QStringLiteral("0"));
    EXPECT_EQ(v2.Text(QStringLiteral("Tf2")), QStringLiteral("1,25"));

    // The page: version 2 shows every limit box, version 1 hides twelve boxes, six captions, two titles.
    CurrentValuesPage page;
    page.show();
    page.Show(v2);
    EXPECT_TRUE(page.Box(QStringLiteral("Tnorm1"))->isVisible());
    EXPECT_TRUE(page.m_ts1Title->isVisible());
    page.Show(v1);
    EXPECT_FALSE(page.Box(QStringLiteral("Tnorm1"))->isVisible());
    EXPECT_FALSE(page.Box(QStringLiteral("Tf2"))->isVisible());
    EXPECT_FALSE(page.m_ts2Title->isVisible());
    EXPECT_TRUE(page.Box(QStringLiteral("GMax2"))->isVisible());
    EXPECT_EQ(page.Box(QStringLiteral("GMax1"))->text(), QStringLiteral("150"));
    EXPECT_EQ(page.m_v2Only.size(), 2 + 6 + 12);
}
