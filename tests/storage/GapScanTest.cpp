#include "storage/GapScan.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "storage/ArchiveFiles.h"
#include "support/TempDataRoot.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>

namespace qst {
namespace {

constexpr quint16 kSerial = 4242;

double At(int y, int mo, int d, int h = 0)
{
    return DayCountFromParts(QDate(y, mo, d), QTime(h, 0));
}

// A whole first-version line (34 fields).
QString Line(double time)
{
    LineBuilder b;
    b.Time(time).Real(1.5);
    for (int f = 2; f < kArchiveFieldsV1; ++f)
        b.Int(0);
    return b.line();
}

// Writes the given record times into the kind's files, as the writers would place them.
void Store(const QString &root, GapKind kind, const std::set<qint64> &stored)
{
    std::map<QString, QStringList> files;
    for (qint64 s : stored) {
        const double t = GapSlotTime(kind, s);
        const QDate d = DateFromDayCount(t);
        const DataKind dk = kind == GapKind::Hourly ? DataKind::Hourly
            : kind == GapKind::Daily                ? DataKind::Daily
                                                    : DataKind::Monthly;
        files[DataFilePath(root, dk, kSerial, d.year(), d.month())].append(Line(t));
    }
    for (auto &[path, lines] : files) {
        QDir().mkpath(QFileInfo(path).path());
        SaveLines(path, lines);
    }
}

// The plain reference: every slot in [lo, hi] not stored, grouped into runs.
QList<GapRun> Reference(GapKind kind, qint64 lo, qint64 hi, const std::set<qint64> &stored)
{
    QList<GapRun> runs;
    for (qint64 s = lo; s <= hi; ++s) {
        if (stored.count(s))
            continue;
        if (!runs.isEmpty() && DayCountToMs(runs.last().last) == DayCountToMs(GapSlotTime(kind, s - 1)))
            runs.last() = {runs.last().first, GapSlotTime(kind, s), runs.last().count + 1};
        else
            runs.append({GapSlotTime(kind, s), GapSlotTime(kind, s), 1});
    }
    return runs;
}

void ExpectSameRuns(const QList<GapRun> &got, const QList<GapRun> &want)
{
    ASSERT_EQ(got.size(), want.size());
    for (qsizetype i = 0; i < got.size(); ++i) {
        EXPECT_EQ(TimeKey(got[i].first), TimeKey(want[i].first)) << i;
        EXPECT_EQ(TimeKey(got[i].last), TimeKey(want[i].last)) << i;
        EXPECT_EQ(got[i].count, want[i].count) << i;
    }
}

TEST(GapScanTest, RunsAcrossMonthAndYearBoundaries)
{
    struct Case
    {
        GapKind kind;
        double from, to;
        std::set<double> stored;
        QList<GapRun> want;
    };
    const Case cases[] = {
        // Hourly: the last hours of December and the first of January in two files.
        {GapKind::Hourly, At(2010, 12, 31, 20), At(2011, 1, 1, 3), {At(2010, 12, 31, 20), At(2011, 1, 1, 3)},
            {{At(2010, 12, 31, 21), At(2011, 1, 1, 2), 6}}},
        // Hourly across 28 February of a leap year into March.
        {GapKind::Hourly, At(2012, 2, 29, 22), At(2012, 3, 1, 1), {At(2012, 3, 1, 0)},
            {{At(2012, 2, 29, 22), At(2012, 2, 29, 23), 2}, {At(2012, 3, 1, 1), At(2012, 3, 1, 1), 1}}},
        // Daily over the year end: 30.12 stored, 31.12 and 1.1 missing, 2.1 stored.
        {GapKind::Daily, At(2010, 12, 30), At(2011, 1, 2), {At(2010, 12, 30), At(2011, 1, 2)},
            {{At(2010, 12, 31), At(2011, 1, 1), 2}}},
        // Monthly across the year end in the one monthly file.
        {GapKind::Monthly, At(2010, 11, 1), At(2011, 2, 1), {At(2010, 11, 1), At(2011, 2, 1)},
            {{At(2010, 12, 1), At(2011, 1, 1), 2}}},
        // Bounds off the grid: from rounds up, to rounds down.
        {GapKind::Hourly, At(2011, 5, 1, 10) + 0.01, At(2011, 5, 1, 13) - 0.01, {},
            {{At(2011, 5, 1, 11), At(2011, 5, 1, 12), 2}}},
        {GapKind::Monthly, At(2011, 5, 2), At(2011, 5, 31), {}, {}},
        // Nothing missing.
        {GapKind::Daily, At(2011, 3, 1), At(2011, 3, 1), {At(2011, 3, 1)}, {}},
    };
    for (const Case &c : cases) {
        test::TempDataRoot root;
        std::set<qint64> keys;
        for (double t : c.stored) {
            qint64 s = 0;
            ASSERT_TRUE(GapSlotOf(c.kind, t, &s));
            keys.insert(s);
        }
        Store(root.path(), c.kind, keys);
        SCOPED_TRACE(GapKindName(c.kind).toStdString() + " from " + std::to_string(c.from));
        ExpectSameRuns(FindGaps(root.path(), kSerial, c.kind, c.from, c.to), c.want);
    }
}

TEST(GapScanTest, GeneratedFilesAgreeWithPlainReference)
{
    QRandomGenerator rng(13);
    for (GapKind kind : {GapKind::Hourly, GapKind::Daily, GapKind::Monthly}) {
        for (int round = 0; round < 30; ++round) {
            test::TempDataRoot root;
            const qint64 lo = GapSlotCeil(kind, At(2009, 11, 15) + rng.bounded(400.0));
            const qint64 span = kind == GapKind::Hourly ? 2500 : kind == GapKind::Daily ? 800 : 40;
            const qint64 hi = lo + rng.bounded(int(span));
            std::set<qint64> stored;
            const int density = rng.bounded(1, 10);
            // Some stored slots lie outside the scanned window on purpose.
            for (qint64 s = lo - 30; s <= hi + 30; ++s) {
                if (rng.bounded(10) < density)
                    stored.insert(s);
            }
            Store(root.path(), kind, stored);
            SCOPED_TRACE(GapKindName(kind).toStdString() + " round " + std::to_string(round));
            ExpectSameRuns(FindGaps(root.path(), kSerial, kind, GapSlotTime(kind, lo), GapSlotTime(kind, hi)),
                Reference(kind, lo, hi, stored));
        }
    }
}

TEST(GapScanTest, EveryWallClockDayHasTwentyFourHoursWhateverTheZone)
{
    // The files know no time zone: a clock-change night still expects 24 hourly records.
    const QByteArray oldTz = qgetenv("TZ");
    qputenv("TZ", "Europe/Berlin");
    tzset();
    test::TempDataRoot root;
    std::set<qint64> stored;
    for (double day : {At(2021, 3, 28), At(2021, 10, 31)}) {
        const qint64 first = GapSlotFloor(GapKind::Hourly, day);
        for (qint64 s = first; s < first + 24; ++s)
            stored.insert(s);
    }
    Store(root.path(), GapKind::Hourly, stored);
    EXPECT_TRUE(FindGaps(root.path(), kSerial, GapKind::Hourly, At(2021, 3, 28), At(2021, 3, 28, 23)).isEmpty());
    EXPECT_TRUE(FindGaps(root.path(), kSerial, GapKind::Hourly, At(2021, 10, 31), At(2021, 10, 31, 23)).isEmpty());
    const auto runs = FindGaps(root.path(), kSerial, GapKind::Hourly, At(2021, 3, 27), At(2021, 3, 28, 23));
    ASSERT_EQ(runs.size(), 1);
    EXPECT_EQ(runs[0].count, 24);
    qputenv("TZ", oldTz);
    tzset();
}

TEST(GapScanTest, WhatCountsAsAStoredLine)
{
    test::TempDataRoot root;
    const QString path = DataFilePath(root.path(), DataKind::Hourly, kSerial, 2011, 5);
    QDir().mkpath(QFileInfo(path).path());
    const double h0 = At(2011, 5, 1, 0);
    const QString cut = Line(At(2011, 5, 1, 6));
    QString badField = Line(At(2011, 5, 1, 7));
    badField.replace(QStringLiteral("\t1,5\t"), QStringLiteral("\t1,5x\t"));
    QString numberLike = Line(At(2011, 5, 1, 8));
    numberLike.replace(QStringLiteral("\t1,5\t"), QStringLiteral("\t1,5,5\t"));
    SaveLines(path,
        {
            Line(h0),                                             // 00:00 stored
            Line(At(2011, 5, 1, 1)).replace(u',', u'.'),          // 01:00 with ".": stored
            QStringLiteral("garbage\t1\t"),                       // no time: missing
            LineBuilder().Time(At(2011, 5, 1, 3) + 0.01).line(),  // 03:14: no hourly record time
            Line(At(2011, 6, 1, 4)),                              // a June time in the May file
            QStringLiteral("40664,1666666667"),                   // 04:00 without a TAB: not a line
            Line(At(2011, 5, 1, 5)),                              // 05:00 stored
            cut.left(cut.size() / 2),                             // 06:00 cut short: damaged, missing
            badField,                                             // 07:00 whole, a letter in a field: missing
            numberLike,                                           // 08:00 number characters only: stored
            Line(At(2011, 5, 1, 9)),                              // 09:00 stored
        });
    const QByteArray before = test::ReadAll(path);
    const auto runs = FindGaps(root.path(), kSerial, GapKind::Hourly, h0, At(2011, 5, 1, 9));
    ASSERT_EQ(runs.size(), 2);
    EXPECT_EQ(TimeKey(runs[0].first), TimeKey(At(2011, 5, 1, 2)));
    EXPECT_EQ(TimeKey(runs[0].last), TimeKey(At(2011, 5, 1, 4)));
    EXPECT_EQ(runs[0].count, 3);
    EXPECT_EQ(TimeKey(runs[1].first), TimeKey(At(2011, 5, 1, 6)));
    EXPECT_EQ(runs[1].count, 2);
    EXPECT_EQ(test::ReadAll(path), before); // a scan never writes
    EXPECT_FALSE(QFileInfo::exists(DataFilePath(root.path(), DataKind::Hourly, kSerial, 2011, 6)));
}

TEST(GapScanTest, MissingFilesAreMissingRecordsAndAFolderInTheWayIsAnError)
{
    test::TempDataRoot root;
    const auto runs = FindGaps(root.path(), kSerial, GapKind::Hourly, At(2011, 1, 1), At(2011, 12, 31, 23));
    ASSERT_EQ(runs.size(), 1);
    EXPECT_EQ(runs[0].count, 365 * 24);
    const QString path = DataFilePath(root.path(), DataKind::Daily, kSerial, 2011);
    QDir().mkpath(path); // a folder where the year's file belongs
    EXPECT_THROW(FindGaps(root.path(), kSerial, GapKind::Daily, At(2011, 1, 1), At(2011, 2, 1)), StorageError);
}

} // namespace
} // namespace qst

namespace qst {
namespace {

// The field count decides whether a line is whole; counted eight bytes at a time, checked
// here against a plain count over lines of random bytes (Windows-1251 letters, TABs, NULs).
TEST(GapScanTest, FieldCountOfRandomLinesAgreesWithAPlainCount)
{
    test::TempDataRoot root;
    const QString path = DataFilePath(root.path(), DataKind::Hourly, kSerial, 2011, 5);
    QDir().mkpath(QFileInfo(path).path());
    const double t = At(2011, 5, 1, 0);
    const QByteArray time = EncodeCp1251(LineBuilder().Time(t).line());
    QRandomGenerator rng(8);
    const char alphabet[] = {'\t', '\t', '\t', '0', '5', ',', '-', ' ', 'x', '\0', char(0x89), char(0xC0),
                             char(0x09 | 0x80), '/', '+', '*', ':', '9', 'E', 'e', 'D', '\r'};
    // A plain rule: bytes a number may hold, or else what the reader accepts.
    const auto numberBytes = [](const QByteArray &bytes) {
        return std::all_of(bytes.begin(), bytes.end(), [](char c) {
            return QByteArrayView("0123456789+,-.Ee\t\r ").contains(c);
        });
    };
    for (int i = 0; i < 600; ++i) {
        QByteArray line = time;
        const int length = int(rng.bounded(160));
        for (int k = 0; k < length; ++k)
            line.append(alphabet[rng.bounded(int(sizeof alphabet))]);
        const qsizetype tabs = line.count('\t');
        test::WriteAll(path, line + "\r\n");
        ArchiveRecord record;
        const bool whole = (tabs == kArchiveFieldsV1 || tabs >= kArchiveFieldsV2)
                           && (numberBytes(line) || TryParseArchiveLine(DecodeCp1251(line), &record));
        EXPECT_EQ(FindGaps(root.path(), kSerial, GapKind::Hourly, t, t).isEmpty(), whole) << line.toHex().constData();
    }
}

} // namespace
} // namespace qst
