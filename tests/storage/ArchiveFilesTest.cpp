#include "common/DayCount.h"
#include "common/ProfileFile.h"
#include "common/RegionalFormat.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "storage/ArchiveFiles.h"
#include "storage/MeterWriteLock.h"
#include "support/TempDataRoot.h"

#include <QDir>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <thread>

using namespace qst;
using qst::test::ReadAll;
using qst::test::TempDataRoot;
using qst::test::WriteAll;

namespace {

double At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return DayCountFromParts(QDate(y, mo, d), QTime(h, mi, s));
}

// A whole first-version line (34 fields) with Q1 = q1.
QString Line(double t, double q1)
{
    return LineBuilder().Time(t).Real(q1).line() + QStringLiteral("0\t").repeated(kArchiveFieldsV1 - 2);
}

QString Hourly(const TempDataRoot &root, int y, int m)
{
    return DataFilePath(root.path(), DataKind::Hourly, 40000, y, m);
}

} // namespace

TEST(ArchiveLine, GoldenBytes)
{
    TempDataRoot root;
    const double t = At(2010, 1, 1, 13);
    const QString line =
        LineBuilder().Time(t).Real(static_cast<double>(0.1f)).Real(12.5).Real(0).Int(static_cast<qint8>(200)).line();
    const QString path = Hourly(root, 2010, 1);
    InsertArchiveLine(path, line, t, false);
    EXPECT_TRUE(path.endsWith(QStringLiteral("/DATA/HA40000/20101.dat")));
    EXPECT_EQ(ReadAll(path), ReadAll(QStringLiteral(QST_TEST_DATA_DIR "/archive_line.dat")));
}

TEST(ArchiveLine, ReadIntoRecord)
{
    // A first-version line: 34 fields.
    LineBuilder b;
    b.Time(At(2010, 1, 1, 13));
    for (int k = 1; k <= 19; ++k)
        b.Real(k + 0.5);
    b.Real(6550).Real(1250).Int(-56);
    for (int k = 0; k < 5; ++k)
        b.Int(k * 2);
    for (int k = 0; k < 6; ++k)
        b.Real(60.0 * (k + 1));
    const ArchiveRecord r = ParseArchiveLine(b.line() + QStringLiteral("ignored"));
    EXPECT_NEAR(r.time, 40179.5416666667, 1e-9);
    EXPECT_FLOAT_EQ(r.values[0], 1.5f);
    EXPECT_FLOAT_EQ(r.values[18], 19.5f);
    EXPECT_FLOAT_EQ(r.t5, 65.5f);
    EXPECT_FLOAT_EQ(r.p5, 1.25f);
    EXPECT_FLOAT_EQ(r.status, -56.f);
    EXPECT_EQ(r.ns[4], 8);
    EXPECT_FLOAT_EQ(r.hours[0], 1.f);
    EXPECT_FLOAT_EQ(r.hours[5], 6.f);
    for (int k = 6; k < 18; ++k)
        EXPECT_EQ(r.hours[k], 0.f) << k;

    ArchiveRecord bad;
    EXPECT_FALSE(TryParseArchiveLine(u"40179,5\tx\t", &bad));
    EXPECT_FALSE(TryParseArchiveLine(u"40179,5\t1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11\t12\t13\t14\t15\t16\t17\t18\t19\t20\t21\t1,5\t",
                                     &bad))
        << "the status byte is an integer field";
}

// A line cut short would read as a record of zeros: only a whole layout of either version
// is a record, and every field of it must parse.
TEST(ArchiveLine, CutOrDamagedLinesAreNoRecords)
{
    auto line = [](int fields) {
        LineBuilder b;
        b.Time(At(2010, 1, 1, 13));
        for (int k = 1; k < fields; ++k)
            b.Int(k == 1 ? 3 : 0);
        return b.line();
    };
    ArchiveRecord r;
    for (int fields : {1, 2, 23, 33, 35, 40, 45})
        EXPECT_FALSE(TryParseArchiveLine(line(fields), &r)) << fields << " fields";
    for (int fields : {kArchiveFieldsV1, kArchiveFieldsV2, kArchiveFieldsV2 + 3}) {
        ASSERT_TRUE(TryParseArchiveLine(line(fields), &r)) << fields << " fields";
        EXPECT_FLOAT_EQ(r.values[0], 3.f);
    }
    // Text after the last TAB is ignored, so a line cut inside a field lacks that field.
    const QString whole = line(kArchiveFieldsV2);
    EXPECT_FALSE(TryParseArchiveLine(whole.left(whole.size() - 2), &r));
    QString damaged = line(kArchiveFieldsV1);
    damaged.replace(QStringLiteral("\t3\t"), QStringLiteral("\t3#\t"));
    EXPECT_FALSE(TryParseArchiveLine(damaged, &r));
    EXPECT_THROW(ParseArchiveLine(u"40179.5\t3,25\t"), StorageError);
}

// The refill replaces a damaged line without overwrite, and only a damaged one.
TEST(InsertArchiveLine, RepairReplacesOnlyADamagedLine)
{
    TempDataRoot root;
    const QString path = root.path() + QStringLiteral("/HA1/201001.dat");
    QDir().mkpath(root.path() + QStringLiteral("/HA1"));
    auto whole = [](double t, int q) {
        LineBuilder b;
        b.Time(t);
        for (int k = 1; k < kArchiveFieldsV1; ++k)
            b.Int(k == 1 ? q : 0);
        return b.line();
    };
    const double t10 = At(2010, 1, 1, 10), t11 = At(2010, 1, 1, 11);
    const QString cut = whole(t11, 5).left(20);
    SaveLines(path, {whole(t10, 1), cut});
    EXPECT_FALSE(InsertArchiveLine(path, whole(t10, 2), t10, false, true)) << "a sound line stays";
    EXPECT_FALSE(InsertArchiveLine(path, whole(t11, 6), t11, false, false)) << "without repair nothing changes";
    EXPECT_EQ(LoadLines(path), (QStringList{whole(t10, 1), cut}));
    EXPECT_TRUE(InsertArchiveLine(path, whole(t11, 6), t11, false, true));
    EXPECT_EQ(LoadLines(path), (QStringList{whole(t10, 1), whole(t11, 6)}));
}

TEST(LoadArchiveLines, OfLinesSharingATimeTheLaterIsUsed)
{
    TempDataRoot root;
    const QString path = root.path() + QStringLiteral("/DA1/2010.dat");
    QDir().mkpath(root.path() + QStringLiteral("/DA1"));
    const double d1 = At(2010, 1, 1), d2 = At(2010, 1, 2);
    SaveLines(path, {Line(d1, 1), Line(d2, 2), Line(d2, 3), QStringLiteral("x\t"), Line(d1 + 1e-9, 4)});
    int repeated = 0;
    EXPECT_EQ(LoadArchiveLines(path, &repeated), (QStringList{Line(d2, 3), QStringLiteral("x\t"), Line(d1 + 1e-9, 4)}));
    EXPECT_EQ(repeated, 2);
    SaveLines(path, {Line(d1, 1), Line(d2, 2)});
    repeated = 0;
    EXPECT_EQ(LoadArchiveLines(path, &repeated).size(), 2);
    EXPECT_EQ(repeated, 0);
}

TEST(HistoryAndJournalLines, ReadIntoRecords)
{
    LineBuilder b;
    b.Time(At(2010, 2, 1, 10, 15));
    for (int k = 1; k <= 32; ++k)
        b.Real(k);
    for (int k = 33; k <= 37; ++k)
        b.Int(k);
    for (int k = 38; k <= 43; ++k)
        b.Real(k * 60.0);
    const CurrentHistoryRecord h = ParseHistoryLine(b.line());
    EXPECT_FLOAT_EQ(h.tempsPressures[0], 1.f);
    EXPECT_FLOAT_EQ(h.tempsPressures[9], 10.f);
    EXPECT_FLOAT_EQ(h.totals[0], 11.f);
    EXPECT_FLOAT_EQ(h.totals[10], 21.f);
    EXPECT_FLOAT_EQ(h.rates[10], 32.f);
    EXPECT_EQ(h.ns[0], 33);
    EXPECT_FLOAT_EQ(h.hours[5], 43.f);
    EXPECT_EQ(h.hours[6], 0.f);

    const JARecord j = ParseJournalLine(BuildJournalLine(At(2010, 2, 1, 12), QStringLiteral("Запись"), QString(),
                                                         QStringLiteral("12.5 т")));
    EXPECT_EQ(j.text, QStringLiteral("Запись"));
    EXPECT_TRUE(j.oldValue.isEmpty());
    EXPECT_EQ(j.newValue, QStringLiteral("12.5 т"));
    EXPECT_EQ(ParseJournalLine(u"40179,5\tonly\t").newValue, QString());
}

TEST(InsertArchiveLine, OrderCases)
{
    const double h10 = At(2010, 3, 1, 10), h11 = At(2010, 3, 1, 11), h12 = At(2010, 3, 1, 12);
    const struct {
        const char *name;
        QList<std::pair<double, double>> before; // time, value
        double t;
        double value;
        bool overwrite;
        QList<double> expectedValues; // field 1 of each line, in file order
    } cases[] = {
        {"into a new file", {}, h11, 1, false, {1}},
        {"append after every line", {{h10, 1}, {h11, 2}}, h12, 3, false, {1, 2, 3}},
        {"prepend before every line", {{h11, 2}, {h12, 3}}, h10, 1, false, {1, 2, 3}},
        {"between two lines", {{h10, 1}, {h12, 3}}, h11, 2, false, {1, 2, 3}},
        {"same hour, overwrite clear", {{h10, 1}, {h11, 2}}, h11, 9, false, {1, 2}},
        {"same hour, overwrite set", {{h10, 1}, {h11, 2}, {h12, 3}}, h11, 9, true, {1, 9, 3}},
        {"same second written with another fraction", {{h11, 2}}, h11 + 0.2 / 86400000.0, 9, true, {9}},
    };
    for (const auto &c : cases) {
        TempDataRoot root;
        const QString path = Hourly(root, 2010, 3);
        QStringList lines;
        for (const auto &[t, v] : c.before)
            lines.append(Line(t, v));
        if (!c.before.isEmpty()) {
            QDir().mkpath(QFileInfo(path).path());
            SaveLines(path, lines);
        }
        InsertArchiveLine(path, Line(c.t, c.value), c.t, c.overwrite);
        QList<double> values;
        for (const QString &l : LoadLines(path))
            values.append(ParseArchiveLine(l).values[0]);
        EXPECT_EQ(values, c.expectedValues) << c.name;
    }
}

TEST(InsertArchiveLine, MonthlyFileAcrossAYearBoundary)
{
    TempDataRoot root;
    const QString path = DataFilePath(root.path(), DataKind::Monthly, 40000);
    const double jan = At(2011, 1, 1), dec = At(2010, 12, 1), nov = At(2010, 11, 1);
    InsertArchiveLine(path, Line(jan, 3), jan, false);
    InsertArchiveLine(path, Line(nov, 1), nov, false);
    InsertArchiveLine(path, Line(dec, 2), dec, false);
    EXPECT_EQ(LoadLines(path), (QStringList{Line(nov, 1), Line(dec, 2), Line(jan, 3)}));
}

TEST(InsertArchiveLine, BadTimeFieldFailsBeforeAnythingIsWritten)
{
    TempDataRoot root;
    const QString path = Hourly(root, 2010, 3);
    QDir().mkpath(QFileInfo(path).path());
    const QByteArray before = "40238,4166666667\t1\t\r\nnot-a-time\t2\t\r\n";
    WriteAll(path, before);
    const double t = At(2010, 3, 1, 20);
    EXPECT_THROW(InsertArchiveLine(path, Line(t, 3), t, true), StorageError);
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_THROW(InsertJournalLine(path, Line(t, 3), t), StorageError);
    EXPECT_EQ(ReadAll(path), before);
}

TEST(InsertArchiveLine, WriterCreatesOnlyTheMeterFolder)
{
    TempDataRoot root;
    const double t = At(2010, 3, 1, 20);
    InsertArchiveLine(Hourly(root, 2010, 3), Line(t, 1), t, false);
    EXPECT_TRUE(QFileInfo::exists(Hourly(root, 2010, 3)));

    QTemporaryDir noData;
    const QString path = DataFilePath(noData.path(), DataKind::Hourly, 5, 2010, 3);
    EXPECT_THROW(InsertArchiveLine(path, Line(t, 1), t, false), StorageError);
    EXPECT_FALSE(QFileInfo::exists(noData.path() + QStringLiteral("/DATA")));
}

TEST(InsertJournalLine, EntriesSharingATime)
{
    TempDataRoot root;
    const QString path = DataFilePath(root.path(), DataKind::Journal, 40000);
    const double t10 = At(2010, 3, 1, 10), t12 = At(2010, 3, 1, 12), t14 = At(2010, 3, 1, 14);
    const QString a = BuildJournalLine(t12, QStringLiteral("Вход"), QString(), QString());
    const QString b = BuildJournalLine(t12, QStringLiteral("Изменение"), QStringLiteral("3"), QStringLiteral("9"));
    const QString c = BuildJournalLine(t12, QStringLiteral("Выход"), QString(), QString());
    const QString early = BuildJournalLine(t10, QStringLiteral("Раньше"), QString(), QString());
    const QString late = BuildJournalLine(t14, QStringLiteral("Позже"), QString(), QString());
    EXPECT_FALSE(InsertJournalLine(path, a, t12));
    EXPECT_FALSE(InsertJournalLine(path, late, t14));
    EXPECT_FALSE(InsertJournalLine(path, b, t12));
    EXPECT_FALSE(InsertJournalLine(path, c, t12)); // directly after the first line of 12:00
    EXPECT_FALSE(InsertJournalLine(path, early, t10));
    EXPECT_TRUE(InsertJournalLine(path, b, t12));
    EXPECT_TRUE(InsertJournalLine(path, late, t14));
    EXPECT_EQ(LoadLines(path), (QStringList{early, a, c, b, late}));
}

TEST(InsertJournalLine, TimeComparedToTheSecondSurvivesTheTextRoundTrip)
{
    TempDataRoot root;
    const QString path = DataFilePath(root.path(), DataKind::Journal, 1);
    // 10:20:30 is not exact in 15 digits; as a real it would not equal its stored text.
    const double t = At(2010, 3, 1, 10, 20, 30);
    ASSERT_NE(ParseReal(FormatReal(t)), t);
    const QString line = BuildJournalLine(t, QStringLiteral("x"), QString(), QString());
    EXPECT_FALSE(InsertJournalLine(path, line, t));
    EXPECT_TRUE(InsertJournalLine(path, line, t));
    EXPECT_EQ(LoadLines(path).size(), 1);
}

TEST(BatchInsert, SameBytesAsOneByOne)
{
    // Shuffled hours of March with repeats, some later ones with new values.
    QList<TimedLine> lines;
    QRandomGenerator rng(7);
    for (int i = 0; i < 400; ++i) {
        const double t = At(2010, 3, 1) + rng.bounded(744) / 24.0;
        lines.append({Line(t, i), t});
    }
    for (bool overwrite : {false, true}) {
        TempDataRoot a, b;
        const QString pa = Hourly(a, 2010, 3), pb = Hourly(b, 2010, 3);
        const double seed = At(2010, 3, 15, 6);
        InsertArchiveLine(pa, Line(seed, -1), seed, false);
        InsertArchiveLine(pb, Line(seed, -1), seed, false);
        for (const TimedLine &l : lines)
            InsertArchiveLine(pa, l.line, l.time, overwrite);
        InsertArchiveLines(pb, lines, overwrite);
        EXPECT_EQ(ReadAll(pa), ReadAll(pb)) << "overwrite " << overwrite;
    }

    QList<TimedLine> journal;
    for (int i = 0; i < 300; ++i) {
        const double t = At(2010, 3, 1) + rng.bounded(50) / 24.0;
        journal.append({BuildJournalLine(t, QString::number(rng.bounded(5)), QString(), QString()), t});
    }
    TempDataRoot a, b;
    const QString ja = DataFilePath(a.path(), DataKind::Journal, 1), jb = DataFilePath(b.path(), DataKind::Journal, 1);
    QList<bool> one;
    for (const TimedLine &l : journal)
        one.append(InsertJournalLine(ja, l.line, l.time));
    EXPECT_EQ(InsertJournalLines(jb, journal), one);
    EXPECT_EQ(ReadAll(ja), ReadAll(jb));
}

TEST(BatchInsert, ConversionErrorKeepsWhatOneByOneWouldHaveStored)
{
    TempDataRoot root;
    const QString path = Hourly(root, 2010, 3);
    const double t1 = At(2010, 3, 1, 1), t2 = At(2010, 3, 1, 2), t3 = At(2010, 3, 1, 3);
    QList<TimedLine> lines{{Line(t2, 2), t2}, {QStringLiteral("bad\t"), t3}, {Line(t1, 1), t1}};
    // "bad" is appended after 02:00 without being parsed; the insert of 01:00 then scans
    // past 02:00 and stops before reaching it.
    InsertArchiveLines(path, lines, false);
    EXPECT_EQ(LoadLines(path), (QStringList{Line(t1, 1), Line(t2, 2), QStringLiteral("bad\t")}));
    const double t4 = At(2010, 3, 1, 4);
    EXPECT_THROW(InsertArchiveLines(path, {{Line(t4, 4), t4}}, false), StorageError);
    EXPECT_EQ(LoadLines(path).size(), 3);
}

TEST(CurrentValuesFile, OnlyANewerReadingRewritesTheKeys)
{
    TempDataRoot root;
    ProfileFile file(DataFilePath(root.path(), DataKind::CurrentValues, 40000));
    const double t1 = At(2010, 3, 1, 10), t0 = At(2010, 3, 1, 9);
    EXPECT_TRUE(WriteCurrentValuesIfNewer(file, t1, {{QStringLiteral("DTFloat"), FormatReal(t1)},
                                                     {QStringLiteral("Q1"), QStringLiteral("5")}}));
    EXPECT_FALSE(WriteCurrentValuesIfNewer(file, t0, {{QStringLiteral("DTFloat"), FormatReal(t0)},
                                                      {QStringLiteral("Q1"), QStringLiteral("4")}}));
    EXPECT_FALSE(WriteCurrentValuesIfNewer(file, t1, {{QStringLiteral("Q1"), QStringLiteral("6")}}));
    EXPECT_EQ(ReadAll(file.path()), QByteArray("[CURRDATA]\r\nDTFloat=40238,4166666667\r\nQ1=5\r\n"));
}

TEST(MeterWriteLock, SerializesWritersOfOneMeter)
{
    TempDataRoot root;
    const QString path = DataFilePath(root.path(), DataKind::Journal, 9);
    auto writer = [&](int base) {
        for (int i = 0; i < 40; ++i) {
            const double t = At(2010, 3, 1) + (base + i) / 1440.0;
            MeterWriteLock lock(9);
            InsertJournalLine(path, BuildJournalLine(t, QString::number(base + i), QString(), QString()), t);
        }
    };
    std::thread a(writer, 0), b(writer, 1000);
    a.join();
    b.join();
    EXPECT_EQ(LoadLines(path).size(), 80) << "no write lost to an interleaved rewrite";
}
