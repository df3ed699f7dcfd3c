#include "common/DayCount.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"
#include "storage/RecordWriters.h"
#include "support/TempDataRoot.h"

#include <gtest/gtest.h>

using namespace qst;
using qst::test::ReadAll;
using qst::test::TempDataRoot;

namespace {

double At(int y, int mo, int d, int h = 0, int mi = 0)
{
    return DayCountFromParts(QDate(y, mo, d), QTime(h, mi));
}

// Values chosen so that every text is known by hand: k + 0.5 is exact in single precision.
CurrentValues Reading(double time)
{
    CurrentValues v;
    v.time = time;
    for (int i = 0; i < kFCount; ++i)
        v.F[i] = static_cast<float>(i) + 0.5f;
    for (int i = 0; i < kDCount; ++i)
        v.D[i] = 1000.25 + i;
    for (int i = 0; i < kNSCount; ++i)
        v.NS[i] = static_cast<quint16>(i * 10);
    v.Scheme1 = 2;
    v.Scheme2 = 0;
    v.TCold_Summer = 15.f;
    v.TCold_Winter = 5.f;
    v.GMin1 = 0.1f;
    v.GMin2 = 0.25f;
    v.GMax1 = 30.f;
    v.GMax2 = 40.f;
    return v;
}

struct Fixture
{
    TempDataRoot root;
    Registry registry{TreeIniPath(root.path())};
    StorageTarget target{root.path(), &registry};

    int AddMeter(const QString &serial)
    {
        const int n = registry.IssueMeterNumber();
        registry.file().WriteString(MeterSection(n), reg::kSerial, serial);
        return n;
    }
};

} // namespace

TEST(RecordWriters, HistoryLineAndCurrentValuesFileBytes)
{
    Fixture f;
    const double t = At(2010, 1, 1, 13);
    SaveCurrentValues(f.target, 2, 40000, true, Reading(t));

    const QStringList history = LoadLines(DataFilePath(f.root.path(), DataKind::History, 40000, 2010, 1));
    ASSERT_EQ(history.size(), 1);
    EXPECT_EQ(history[0],
              QStringLiteral("40179,5416666667\t0,5\t1,5\t2,5\t3,5\t4,5\t5,5\t6,5\t7,5\t8,5\t9,5\t"
                             "1000,25\t1001,25\t1002,25\t1003,25\t1004,25\t1005,25\t1006,25\t1007,25\t1008,25\t"
                             "1009,25\t1010,25\t"
                             "10,5\t11,5\t12,5\t13,5\t14,5\t15,5\t16,5\t17,5\t18,5\t19,5\t20,5\t"
                             "0\t10\t20\t30\t40\t"
                             "21,5\t22,5\t23,5\t24,5\t25,5\t26,5\t"
                             "27,5\t28,5\t29,5\t30,5\t31,5\t32,5\t33,5\t34,5\t35,5\t36,5\t37,5\t38,5\t"));
    EXPECT_EQ(SplitFields(history[0]).size(), kHistoryFieldsV2);

    // Key order as written; minutes become hours.
    const QByteArray expected = EncodeCp1251(QStringLiteral(
        "[CURRDATA]\r\nDTFloat=40179,5416666667\r\nDT=01.01.2010 13:00:00\r\nQ1=1000,25\r\nQ2=1001,25\r\n"
        "G1=10,5\r\nG2=11,5\r\nM11=1002,25\r\nM12=1003,25\r\nM21=1004,25\r\nM22=1005,25\r\n"
        "Fm11=12,5\r\nFm12=13,5\r\nFm21=14,5\r\nFm22=15,5\r\n"
        "V11=1006,25\r\nV12=1007,25\r\nV21=1008,25\r\nV22=1009,25\r\nV3=1010,25\r\n"
        "Fv11=16,5\r\nFv12=17,5\r\nFv21=18,5\r\nFv22=19,5\r\nFv3=20,5\r\n"
        "T11=0,5\r\nT12=1,5\r\nT21=2,5\r\nT22=3,5\r\nP11=6,5\r\nP12=7,5\r\nP21=8,5\r\nP22=9,5\r\n"
        "TCold_Summer=15\r\nTCold_Winter=5\r\nScheme1=2\r\nScheme2=0\r\n"
        "Tw1=0,358333333333333\r\nTs1=0,375\r\nTw2=0,391666666666667\r\nTs2=0,408333333333333\r\n"
        "Tw3=0,425\r\nTs3=0,441666666666667\r\n"
        "NS1=НС1: 0 НС2: 10\r\nNS2=НС1: 20 НС2: 30\r\nNS3=НС: 40\r\n"
        "GMin1=0,100000001490116\r\nGMin2=0,25\r\nGMax1=30\r\nGMax2=40\r\nVersion=2\r\n"
        "Tnorm1=0,458333333333333\r\nTmin1=0,475\r\nTmax1=0,491666666666667\r\nTdt1=0,508333333333333\r\n"
        "Tep1=0,525\r\nTf1=0,541666666666667\r\nTnorm2=0,558333333333333\r\nTmin2=0,575\r\n"
        "Tmax2=0,591666666666667\r\nTdt2=0,608333333333333\r\nTep2=0,625\r\nTf2=0,641666666666667\r\n"));
    EXPECT_EQ(ReadAll(DataFilePath(f.root.path(), DataKind::CurrentValues, 40000)), expected);
}

TEST(RecordWriters, FirstVersionLeavesSecondVersionKeysAndOlderReadingsChangeNoKey)
{
    Fixture f;
    const QString path = DataFilePath(f.root.path(), DataKind::CurrentValues, 7);
    const double t1 = At(2010, 3, 1, 10), t2 = At(2010, 3, 1, 11), t0 = At(2010, 3, 1, 9);
    SaveCurrentValues(f.target, 2, 7, true, Reading(t1));
    CurrentValues v1 = Reading(t2);
    v1.GMax1 = 99.f;
    v1.F[27] = 6000.f;
    v1.D[0] = 5.0;
    SaveCurrentValues(f.target, 1, 7, true, v1);
    ProfileFile file(path);
    EXPECT_EQ(file.ReadString(kCurrDataSection, QStringLiteral("Q1")), QStringLiteral("5"));
    EXPECT_EQ(file.ReadString(kCurrDataSection, QStringLiteral("GMax1")), QStringLiteral("30"));
    EXPECT_EQ(file.ReadString(kCurrDataSection, QStringLiteral("Tnorm1")), QStringLiteral("0,458333333333333"));
    EXPECT_EQ(file.ReadString(kCurrDataSection, QStringLiteral("Version")), QStringLiteral("2"));

    const QByteArray before = ReadAll(path);
    SaveCurrentValues(f.target, 1, 7, true, Reading(t0));
    SaveCurrentValues(f.target, 1, 7, true, Reading(t2));
    EXPECT_EQ(ReadAll(path), before) << "an older or equal reading changes no key";
    const QStringList history = LoadLines(DataFilePath(f.root.path(), DataKind::History, 7, 2010, 3));
    ASSERT_EQ(history.size(), 3) << "but its history line is stored";
    EXPECT_EQ(SplitFields(history[0]).size(), kHistoryFieldsV1);
    EXPECT_EQ(SplitFields(history[1]).size(), kHistoryFieldsV2);
}

TEST(RecordWriters, SnapshotOfThirtyFirstDecemberGoesIntoNextJanuary)
{
    Fixture f;
    TotalsSnapshot s;
    for (int i = 0; i < kDCount; ++i)
        s.D[i] = 100 + i;
    for (int i = 21; i <= 38; ++i)
        s.F[i] = static_cast<float>(i);
    const double recordDay = At(2010, 12, 31);
    SaveCurrentSnapshot(f.target, 5, false, s, recordDay + 1);
    const QStringList lines = LoadLines(DataFilePath(f.root.path(), DataKind::History, 5, 2011, 1));
    ASSERT_EQ(lines.size(), 1);
    const CurrentHistoryRecord r = ParseHistoryLine(lines[0]);
    EXPECT_EQ(DateTimeFromDayCount(r.time), QDateTime(QDate(2011, 1, 1), QTime(0, 0)));
    EXPECT_FLOAT_EQ(r.totals[0], 100.f);
    EXPECT_FLOAT_EQ(r.totals[10], 110.f);
    for (float x : r.tempsPressures)
        EXPECT_EQ(x, 0.f);
    for (float x : r.rates)
        EXPECT_EQ(x, 0.f);
    EXPECT_FLOAT_EQ(r.hours[0], 21.f / 60);
    EXPECT_FLOAT_EQ(r.hours[17], 38.f / 60);
    EXPECT_FALSE(QFileInfo::exists(DataFilePath(f.root.path(), DataKind::CurrentValues, 5)));
}

TEST(RecordWriters, ArchiveLineBytesAndLastReadMarks)
{
    Fixture f;
    f.AddMeter(QStringLiteral("1"));
    const int meter = f.AddMeter(QStringLiteral(" 40000 "));
    ArchiveValues a;
    a.time = At(2010, 1, 1, 13);
    for (int i = 0; i < kFCount; ++i)
        a.F[i] = i == 0 ? 0.1f : static_cast<float>(i);
    a.status = 200;
    a.NS[2] = 128;
    EXPECT_TRUE(SaveArchiveLine(f.target, 1, 40000, false, 0, kHourlyArchive, a));
    const QString hourly = DataFilePath(f.root.path(), DataKind::Hourly, 40000, 2010, 1);
    EXPECT_EQ(ReadAll(hourly),
              QByteArray("40179,5416666667\t0,100000001490116\t1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13\t14\t15\t16\t"
                         "17\t18\t19\t20\t-56\t0\t0\t128\t0\t0\t21\t22\t23\t24\t25\t26\t\r\n"));
    ProfileFile &ini = f.registry.file();
    EXPECT_EQ(ini.ReadString(MeterSection(meter), reg::kLastH), QStringLiteral("01.01.2010 13:00:00"));

    // An earlier record is stored; LastH keeps its later value.
    a.time = At(2010, 1, 1, 11);
    SaveArchiveLine(f.target, 1, 40000, false, 0, kHourlyArchive, a);
    EXPECT_EQ(LoadLines(hourly).size(), 2);
    EXPECT_EQ(ini.ReadString(MeterSection(meter), reg::kLastH), QStringLiteral("01.01.2010 13:00:00"));

    // Daily: the date alone; a re-read with overwrite clear changes neither file nor mark.
    a.time = At(2010, 3, 5);
    SaveArchiveLine(f.target, 2, 40000, false, meter, kDailyArchive, a);
    const QString daily = DataFilePath(f.root.path(), DataKind::Daily, 40000, 2010);
    EXPECT_EQ(SplitFields(LoadLines(daily)[0]).size(), kArchiveFieldsV2);
    EXPECT_EQ(ini.ReadString(MeterSection(meter), reg::kLastD), QStringLiteral("05.03.2010"));
    const QByteArray dailyBefore = ReadAll(daily);
    ArchiveValues changed = a;
    changed.F[0] = 7.f;
    changed.time = At(2010, 3, 5);
    ini.WriteDate(MeterSection(meter), reg::kLastD, QDate(2010, 3, 9));
    // The writer says the line was kept: the exchange thread counts such records for the log.
    EXPECT_FALSE(SaveArchiveLine(f.target, 2, 40000, false, meter, kDailyArchive, changed));
    EXPECT_EQ(ReadAll(daily), dailyBefore);
    EXPECT_TRUE(SaveArchiveLine(f.target, 2, 40000, true, meter, kDailyArchive, a));
    EXPECT_EQ(ini.ReadString(MeterSection(meter), reg::kLastD), QStringLiteral("09.03.2010"));

    a.time = At(2010, 2, 1);
    SaveArchiveLine(f.target, 2, 40000, false, 0, kMonthlyArchive, a);
    EXPECT_EQ(ini.ReadString(MeterSection(meter), reg::kLastM), QStringLiteral("01.02.2010"));
    EXPECT_TRUE(QFileInfo::exists(DataFilePath(f.root.path(), DataKind::Monthly, 40000)));
}

TEST(RecordWriters, MeterWithoutSectionIsStoredWithoutMarks)
{
    Fixture f;
    f.AddMeter(QStringLiteral("1"));
    f.registry.file().EraseSection(MeterSection(1)); // a deleted meter must not come back
    ArchiveValues a;
    a.time = At(2010, 1, 1, 13);
    SaveArchiveLine(f.target, 1, 0, false, 0, kHourlyArchive, a);
    EXPECT_TRUE(QFileInfo::exists(DataFilePath(f.root.path(), DataKind::Hourly, 0, 2010, 1)));
    EXPECT_FALSE(f.registry.file().HasSection(MeterSection(1)));
}

TEST(RecordWriters, JournalLineAndLastJ)
{
    Fixture f;
    const int meter = f.AddMeter(QStringLiteral("12"));
    const double date = At(2010, 3, 25);
    const double dateTime = At(2010, 3, 25, 14, 30);
    EXPECT_FALSE(SaveJournalLine(f.target, 12, 0, date, dateTime, QStringLiteral("G1"), QStringLiteral("12.5 т"),
                                 QStringLiteral("13 т")));
    EXPECT_TRUE(SaveJournalLine(f.target, 12, 0, date, dateTime, QStringLiteral("G1"), QStringLiteral("12.5 т"),
                                QStringLiteral("13 т")));
    const QString journal = DataFilePath(f.root.path(), DataKind::Journal, 12);
    EXPECT_EQ(ReadAll(journal), EncodeCp1251(u"40262,6041666667\tG1\t12.5 т\t13 т\t\r\n"));
    EXPECT_EQ(f.registry.file().ReadString(MeterSection(meter), reg::kLastJ), QStringLiteral("25.03.2010 14:30:00"));

    // An entry with an impossible time is stored at time zero and moves no mark.
    EXPECT_FALSE(SaveJournalLine(f.target, 12, meter, 0, 0, QStringLiteral("Текущее время"), QString(), QString()));
    EXPECT_EQ(LoadLines(journal).first(), QStringLiteral("0\tТекущее время\t\t\t"));
    EXPECT_EQ(f.registry.file().ReadString(MeterSection(meter), reg::kLastJ), QStringLiteral("25.03.2010 14:30:00"));
}

TEST(RecordWriters, ValuesThatAreNotNumbersAreRefused)
{
    Fixture f;
    ArchiveValues a;
    a.time = At(2010, 1, 1, 13);
    a.F[3] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_THROW(SaveArchiveLine(f.target, 1, 5, false, 0, kHourlyArchive, a), StorageError);
    CurrentValues v = Reading(At(2010, 1, 1, 13));
    v.D[2] = std::numeric_limits<double>::infinity();
    EXPECT_THROW(SaveCurrentValues(f.target, 2, 5, true, v), StorageError);
    TotalsSnapshot s;
    s.F[30] = -std::numeric_limits<float>::infinity();
    EXPECT_THROW(SaveCurrentSnapshot(f.target, 5, false, s, At(2010, 1, 2)), StorageError);
    EXPECT_FALSE(QFileInfo::exists(DataFilePath(f.root.path(), DataKind::Hourly, 5, 2010, 1)));
    EXPECT_FALSE(QFileInfo::exists(DataFilePath(f.root.path(), DataKind::CurrentValues, 5)));
    EXPECT_FALSE(QFileInfo::exists(DataFilePath(f.root.path(), DataKind::History, 5, 2010, 1)));
}

TEST(RecordWriters, MarksNeverMovePastTheClockAndADay)
{
    // Whatever the writer is given (a poll, a dump), a record of an interval that has not
    // ended is stored but moves no mark: such a mark would make every scheduled period empty.
    Fixture f;
    const int meter = f.AddMeter(QStringLiteral("40000"));
    f.target.now = QDateTime(QDate(2026, 12, 10), QTime(14, 37));
    const struct {
        const char *name;
        int kind;
        double time;
        QString key;
        QString mark;
    } cases[] = {
        {"hourly 2220", kHourlyArchive, At(2220, 12, 10, 5), reg::kLastH, QString()},
        {"daily 2220", kDailyArchive, At(2220, 12, 10), reg::kLastD, QString()},
        {"monthly next year", kMonthlyArchive, At(2027, 12, 1), reg::kLastM, QString()},
        {"hourly a day ahead", kHourlyArchive, At(2026, 12, 11, 14, 37), reg::kLastH,
         QStringLiteral("11.12.2026 14:37:00")},
        {"hourly just past the day", kHourlyArchive, At(2026, 12, 11, 14, 38), reg::kLastH,
         QStringLiteral("11.12.2026 14:37:00")},
    };
    for (const auto &c : cases) {
        ArchiveValues a;
        a.time = c.time;
        SaveArchiveLine(f.target, 1, 40000, false, 0, c.kind, a);
        EXPECT_TRUE(QFileInfo::exists(ArchiveFilePath(f.root.path(), 40000, c.kind, c.time))) << c.name;
        EXPECT_EQ(f.registry.file().ReadString(MeterSection(meter), c.key), c.mark) << c.name;
    }
    EXPECT_FALSE(SaveJournalLine(f.target, 40000, 0, At(2220, 1, 1), At(2220, 1, 1, 3), QStringLiteral("G1"),
                                 QString(), QString()));
    EXPECT_EQ(f.registry.file().ReadString(MeterSection(meter), reg::kLastJ), QString());
}
