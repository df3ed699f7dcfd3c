#include "DumpFixture.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/RecordDecoding.h"
#include "common/StorageError.h"
#include "registry/Registry.h"
#include "common/RegionalFormat.h"
#include "storage/ArchiveFiles.h"
#include "storage/ArchiveImport.h"
#include "storage/JournalDecoder.h"
#include "support/TempDataRoot.h"

#include <QDir>
#include <QFileInfo>

#include <limits>
#include <sys/stat.h>

#include <gtest/gtest.h>

using namespace qst;
using qst::test::DumpBuilder;
using qst::test::FolderContents;
using qst::test::TempDataRoot;
using qst::test::WriteAll;

namespace {

struct Root
{
    TempDataRoot root;
    Registry registry{TreeIniPath(root.path())};
    StorageTarget target{root.path(), &registry};

    QString Dump(const QString &name, const QByteArray &bytes)
    {
        const QString path = root.file(name);
        WriteAll(path, bytes);
        return path;
    }
    int AddMeter(quint16 serial)
    {
        const int n = registry.IssueMeterNumber();
        registry.file().WriteString(MeterSection(n), reg::kSerial, QString::number(serial));
        return n;
    }
    QStringList Lines(DataKind kind, quint16 serial, int year = 0, int month = 0)
    {
        return LoadLines(DataFilePath(root.path(), kind, serial, year, month));
    }
    QStringList DataFiles() { return FolderContents(DataFolderPath(root.path())).keys(); }
};

// The same dump stored record by record through the single writers, as a poll stores.
void ImportOneByOne(const StorageTarget &t, const DumpBuilder &b)
{
    const QByteArray bytes = b.Bytes();
    const auto *raw = reinterpret_cast<const quint8 *>(bytes.constData());
    CurrentValues current;
    const int currentAt = 27 + b.idSize;
    const int paramAt = currentAt + b.CurrentSize();
    if (DecodeCurrentInput(b.version, raw + currentAt, b.CurrentSize(), &current) == kLinkOk &&
        DecodeCurrentHolding(b.version, raw + paramAt, b.ParamSize(), &current) == kLinkOk)
        SaveCurrentValues(t, b.version, b.serial, true, current);
    const int section = t.registry->FindMeterBySerialText(b.serial);
    const bool flag = b.snapshotFlag >= 1 && b.snapshotFlag <= 127;
    const QList<QByteArray> *lists[3] = {&b.hourly, &b.daily, &b.monthly};
    for (int kind = 0; kind < 3; ++kind) {
        for (const QByteArray &r : *lists[kind]) {
            const auto *p = reinterpret_cast<const quint8 *>(r.constData());
            const QDate date(2000 + p[0], p[1], kind == 2 ? 1 : p[2]);
            const int hour = kind == 0 ? p[3] : 0;
            ArchiveValues v;
            TotalsSnapshot s;
            bool filled = false;
            if (!date.isValid() || hour > 23 ||
                DecodeArchiveFields(b.version, kind, p, static_cast<int>(r.size()), &v, &s, &filled) != kLinkOk)
                continue;
            v.time = DayCountFromParts(date, QTime(hour, 0));
            SaveArchiveLine(t, b.version, b.serial, true, section, kind, v);
            if (kind == 1 && b.version == 2 && flag && filled)
                SaveCurrentSnapshot(t, b.serial, true, s, DayCountFromDate(date.addDays(1)));
        }
    }
    for (const QByteArray &e : b.journal) {
        JournalDecodeStruct d;
        if (DecodeJournal(b.version, d, JournalEntryFromBytes(reinterpret_cast<const quint8 *>(e.constData()))))
            SaveJournalLine(t, b.serial, section, d.date, d.dateTime, d.recordText, d.oldValue, d.newValue);
    }
}

// Two months of records in and out of order, repeated times, impossible dates, an erased
// slot and journal entries with a repeat and a blank page.
DumpBuilder Mixed(int version, int flag)
{
    DumpBuilder b;
    b.version = version;
    b.snapshotFlag = flag;
    for (int h = 0; h < 30; ++h)
        b.Hour(2021, 1, 31 - h / 24, (h * 7) % 24, 1.5f + static_cast<float>(h));
    b.Hour(2021, 2, 1, 0, 9.f);
    b.Hour(2021, 2, 1, 0, 10.f); // the later one wins
    b.Hour(2021, 13, 1, 0, 1.f);
    b.Hour(2021, 2, 30, 1, 1.f);
    b.Hour(2021, 2, 2, 24, 1.f);
    b.hourly.append(QByteArray(b.HourlySize(), char(0xFF)));
    b.Day(2020, 12, 31, 3.f);
    b.Day(2021, 1, 1, 4.f);
    b.Day(2020, 12, 30, 5.f);
    b.Day(2021, 0, 5, 5.f);
    b.Month(2020, 12, 6.f);
    b.Month(2021, 1, 7.f);
    b.Event(2021, 1, 5, 10, 0, 0, 3);
    b.Event(2021, 1, 5, 10, 0, 0, 3);
    b.Event(2021, 1, 4, 9, 0, 0, 2);
    b.journal.append(QByteArray(16, char(0xFF)));
    b.Event(2021, 1, 6, 11, 5, 7, 1);
    return b;
}

} // namespace

TEST(ArchiveImport, StoresExactlyWhatTheSingleWritersStore)
{
    const struct
    {
        int version;
        int flag;
    } cases[] = {{1, 0}, {2, 0}, {2, 1}, {2, 200}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "version " << c.version << " flag " << c.flag);
        Root batch, single;
        const DumpBuilder b = Mixed(c.version, c.flag);
        for (Root *r : {&batch, &single}) {
            // A meter with marks partly ahead of the dump and files already holding lines.
            r->AddMeter(999);
            const int n = r->AddMeter(b.serial);
            r->registry.file().WriteDateTime(MeterSection(n), reg::kLastH, QDateTime(QDate(2021, 1, 31), QTime(5, 0)));
            DumpBuilder old = b;
            old.hourly = {b.Record(0, 2021, 1, 30, 23, 77.f), b.Record(0, 2021, 1, 31, 1, 78.f)};
            old.daily = {b.Record(1, 2021, 1, 2, 0, 79.f)};
            old.monthly.clear();
            old.journal = {b.journal[2]};
            ImportOneByOne(r->target, old);
        }
        const QString path = batch.Dump(QStringLiteral("a.arch"), b.Bytes());
        const DumpImportResult result = ImportArchiveFile(batch.target, path, b.serial);
        EXPECT_TRUE(result.loaded);
        QFile::remove(path);
        ImportOneByOne(single.target, b);

        const auto got = FolderContents(batch.root.path());
        const auto want = FolderContents(single.root.path());
        EXPECT_EQ(got.keys(), want.keys());
        for (auto it = want.cbegin(); it != want.cend(); ++it)
            EXPECT_EQ(got.value(it.key()), it.value()) << it.key().toStdString();
        // Every valid hour is there once: 30 + 1 + the two older ones, which the dump does not hold.
        int hourly = 0;
        for (int month : {1, 2})
            hourly += static_cast<int>(batch.Lines(DataKind::Hourly, b.serial, 2021, month).size());
        EXPECT_EQ(hourly, 30 + 1 + 1);
    }
}

TEST(ArchiveImport, RegistersAnUnknownCalculatorOnceAndMovesTheOverallBar)
{
    Root r;
    DumpBuilder a;
    a.Hour(2021, 1, 1, 1, 1.f);
    DumpBuilder other = a;
    other.serial = 55;
    const QStringList paths = {r.Dump(QStringLiteral("1.arch"), a.Bytes()), r.Dump(QStringLiteral("2.arch"), a.Bytes()),
                               r.Dump(QStringLiteral("3.arch"), other.Bytes())};
    QList<quint16> serials;
    for (const QString &p : paths)
        serials.append(ReadDumpSerial(p));
    EXPECT_EQ(serials, (QList<quint16>{4321, 4321, 55}));
    EXPECT_EQ(ImportConfirmationText(serials),
              QStringLiteral("Вы собираетесь загрузить архивы для следующих приборов:\n4321, 4321, 55\nПодтвердите!"));

    QList<int> overall;
    ImportCallbacks callbacks;
    callbacks.overall = [&](int p) { overall.append(p); };
    const ImportRunResult run = ImportArchiveFiles(r.target, paths, serials, callbacks);
    EXPECT_TRUE(run.completed);
    EXPECT_EQ(run.loaded, 3);
    EXPECT_EQ(overall, (QList<int>{0, 33, 66, 99}));

    ProfileFile &ini = r.registry.file();
    EXPECT_EQ(ini.ReadInteger(reg::kTree, reg::kMaxCNum, 0), 2);
    EXPECT_EQ(ini.ReadString(GroupSection(0), reg::kCList), QStringLiteral("1,2"));
    EXPECT_EQ(ini.ReadString(MeterSection(1), reg::kName), QStringLiteral("4321"));
    EXPECT_EQ(ini.ReadString(MeterSection(1), reg::kSerial), QStringLiteral("4321"));
    EXPECT_EQ(ini.ReadInteger(MeterSection(1), reg::kAddress, 0), 1);
    EXPECT_EQ(ini.ReadInteger(MeterSection(1), reg::kCom, 0), 1);
    EXPECT_EQ(ini.ReadInteger(MeterSection(1), reg::kModem, -1), 0);
    EXPECT_EQ(ini.ReadInteger(MeterSection(1), reg::kParent, -1), 0);
    EXPECT_EQ(ini.ReadString(MeterSection(2), reg::kSerial), QStringLiteral("55"));
    // The import found the new sections: their marks moved.
    EXPECT_EQ(ini.ReadDateTime(MeterSection(1), reg::kLastH, {}), QDateTime(QDate(2021, 1, 1), QTime(1, 0)));
    EXPECT_EQ(ini.ReadDateTime(MeterSection(2), reg::kLastH, {}), QDateTime(QDate(2021, 1, 1), QTime(1, 0)));
}

TEST(ArchiveImport, FileWithoutRecordsStillUpdatesTheCurrentValues)
{
    Root r;
    DumpBuilder b;
    const QString path = r.Dump(QStringLiteral("a.arch"), b.Bytes());
    QList<int> stages;
    EXPECT_TRUE(ImportArchiveFile(r.target, path, b.serial, [&](int p) { stages.append(p); }).loaded);
    EXPECT_EQ(stages, (QList<int>{10, 20, 30, 40, 60, 80, 90, 100}));
    ProfileFile current(DataFilePath(r.root.path(), DataKind::CurrentValues, b.serial));
    EXPECT_EQ(current.ReadString(kCurrDataSection, QStringLiteral("DT")),
              DateTimeText(DayCountFromParts(QDate(2021, 3, 15), QTime(12, 30))));
    EXPECT_EQ(current.ReadString(kCurrDataSection, QStringLiteral("T11")), FormatReal(static_cast<double>(65.43f)));
    EXPECT_EQ(r.Lines(DataKind::History, b.serial, 2021, 3).size(), 1);
}

TEST(ArchiveImport, SnapshotFlagCountsOnlyFrom1To127)
{
    const struct
    {
        int version;
        int flag;
        int snapshots;
    } cases[] = {{2, 0, 0}, {2, 1, 2}, {2, 127, 2}, {2, 128, 0}, {2, 255, 0}, {1, 1, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "version " << c.version << " flag " << c.flag);
        Root r;
        DumpBuilder b;
        b.version = c.version;
        b.snapshotFlag = c.flag;
        b.Day(2020, 12, 31, 3.f);
        b.Day(2021, 1, 1, 4.f);
        ASSERT_TRUE(ImportArchiveFile(r.target, r.Dump(QStringLiteral("a.arch"), b.Bytes()), b.serial).loaded);
        // The snapshot of 31 December is dated 1 January and goes into January's history.
        const QStringList january = r.Lines(DataKind::History, b.serial, 2021, 1);
        ASSERT_EQ(january.size(), c.snapshots);
        if (c.snapshots) {
            EXPECT_EQ(LineTime(january[0]), DayCountFromDate(QDate(2021, 1, 1)));
            EXPECT_EQ(LineTime(january[1]), DayCountFromDate(QDate(2021, 1, 2)));
        }
        EXPECT_EQ(r.Lines(DataKind::Daily, b.serial, 2020).size(), 1);
    }
}

TEST(ArchiveImport, SerialMismatchStoresNothingAndTheNextFileLoads)
{
    Root r;
    DumpBuilder a;
    a.Hour(2021, 1, 1, 1, 1.f);
    a.Event(2021, 1, 5, 10, 0, 0, 3);
    DumpBuilder b = a;
    b.serial = 77;
    const QString first = r.Dump(QStringLiteral("a.arch"), a.Bytes());
    const QString second = r.Dump(QStringLiteral("b.arch"), b.Bytes());

    QList<int> stages;
    const DumpImportResult direct = ImportArchiveFile(r.target, first, 999, [&](int p) { stages.append(p); });
    EXPECT_FALSE(direct.loaded);
    EXPECT_EQ(direct.fileSerial, 4321);
    EXPECT_EQ(stages, (QList<int>{10, 20, 30}));
    EXPECT_TRUE(r.DataFiles().isEmpty());

    QStringList messages;
    ImportCallbacks callbacks;
    callbacks.message = [&](const QString &m) { messages.append(m); };
    const ImportRunResult run = ImportArchiveFiles(r.target, {first, second}, {999, 77}, callbacks);
    EXPECT_TRUE(run.completed);
    EXPECT_EQ(run.refused, 1);
    EXPECT_EQ(run.loaded, 1);
    EXPECT_EQ(messages, QStringList{QStringLiteral("Файл ") + first +
                                    QStringLiteral(" не соответствует серийному номеру прибора! Номер прибора в файле 4321")});
    for (const QString &f : r.DataFiles())
        EXPECT_FALSE(f.contains(QStringLiteral("4321"))) << f.toStdString();
    EXPECT_EQ(r.Lines(DataKind::Hourly, 77, 2021, 1).size(), 1);
}

TEST(ArchiveImport, ShortFileKeepsWhatWasReadAndStopsTheRun)
{
    Root r;
    DumpBuilder b;
    for (int h = 0; h < 5; ++h)
        b.Hour(2021, 1, 1, h, 1.f);
    b.Day(2021, 1, 1, 1.f);
    b.Day(2021, 1, 2, 1.f);
    b.Event(2021, 1, 5, 10, 0, 0, 3);
    const int section = r.AddMeter(b.serial);
    QByteArray bytes = b.Bytes();
    bytes.chop(16 + b.LongSize() / 2); // the second daily record is cut, the journal missing
    const QString cut = r.Dump(QStringLiteral("cut.arch"), bytes);
    DumpBuilder next = b;
    next.serial = 88;
    const QString later = r.Dump(QStringLiteral("later.arch"), next.Bytes());

    // The first three blocks are whole: the serial scan still finds the serial.
    EXPECT_EQ(ReadDumpSerial(cut), b.serial);
    const ImportRunResult run = ImportArchiveFiles(r.target, {cut, later}, {b.serial, 88}, {});
    EXPECT_FALSE(run.completed);
    EXPECT_EQ(run.error, QStringLiteral("Файл ") + cut + QStringLiteral(" короче, чем указано в его заголовке."));
    EXPECT_EQ(r.Lines(DataKind::Hourly, b.serial, 2021, 1).size(), 5);
    EXPECT_EQ(r.Lines(DataKind::Daily, b.serial, 2021).size(), 1);
    ProfileFile &ini = r.registry.file();
    EXPECT_EQ(ini.ReadDateTime(MeterSection(section), reg::kLastH, {}), QDateTime(QDate(2021, 1, 1), QTime(4, 0)));
    EXPECT_EQ(ini.ReadDate(MeterSection(section), reg::kLastD, {}), QDate(2021, 1, 1));
    EXPECT_FALSE(QFile::exists(DataFilePath(r.root.path(), DataKind::CurrentValues, 88)));

    // Cut inside the first three blocks: serial 0 in the scan, an error in the import.
    const QString headless = r.Dump(QStringLiteral("headless.arch"), b.Bytes().left(27 + 17 + 100));
    EXPECT_EQ(ReadDumpSerial(headless), 0);
    EXPECT_EQ(ReadDumpSerial(r.Dump(QStringLiteral("tiny.arch"), QByteArray(10, '\0'))), 0);
    EXPECT_THROW(ImportArchiveFile(r.target, headless, 0), StorageError);
}

TEST(ArchiveImport, RefusesBlocksLongerThanTheBuffer)
{
    const struct
    {
        const char *name;
        int field;
    } cases[] = {{"identification", 5}, {"current", 7}, {"parameters", 9}, {"hourly", 11}, {"journal", 23}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Root r;
        DumpBuilder b;
        b.Hour(2021, 1, 1, 1, 1.f);
        QByteArray bytes = b.Bytes();
        DumpBuilder::Le16(bytes, c.field, 1025);
        bytes.append(QByteArray(4096, '\x01'));
        const QString path = r.Dump(QStringLiteral("big.arch"), bytes);
        if (c.field <= 9) {
            EXPECT_EQ(ReadDumpSerial(path), 0);
        }
        try {
            ImportArchiveFile(r.target, path, b.serial);
            ADD_FAILURE() << "accepted";
        } catch (const StorageError &e) {
            EXPECT_TRUE(e.message().contains(QStringLiteral("1025 байт больше 1024"))) << e.what();
        }
        EXPECT_TRUE(r.DataFiles().isEmpty());
    }
}

TEST(ArchiveImport, RecordsShorterThanTheirLayoutAreDropped)
{
    Root r;
    DumpBuilder b;
    b.hourlySize = 50; // too short for an hourly record: each is dropped, the rest loads
    b.journalSize = 8;
    b.Hour(2021, 1, 1, 1, 1.f);
    b.Day(2021, 1, 1, 1.f);
    b.journal.append(QByteArray(8, '\x05'));
    ASSERT_TRUE(ImportArchiveFile(r.target, r.Dump(QStringLiteral("a.arch"), b.Bytes()), b.serial).loaded);
    EXPECT_TRUE(r.Lines(DataKind::Hourly, b.serial, 2021, 1).isEmpty());
    EXPECT_EQ(r.Lines(DataKind::Daily, b.serial, 2021).size(), 1);
    EXPECT_FALSE(QFile::exists(DataFilePath(r.root.path(), DataKind::Journal, b.serial)));
}

TEST(ArchiveImport, SecondImportOfTheSameTimesWins)
{
    Root twice, once;
    DumpBuilder a = Mixed(2, 1);
    DumpBuilder b = Mixed(2, 1);
    for (QList<QByteArray> *list : {&b.hourly, &b.daily, &b.monthly})
        for (QByteArray &r : *list)
            r[4] = static_cast<char>(r[4] + 1); // other values at the same times
    b.clock[4] = 31;                            // a reading a minute later
    ASSERT_TRUE(ImportArchiveFile(twice.target, twice.Dump(QStringLiteral("a.arch"), a.Bytes()), a.serial).loaded);
    ASSERT_TRUE(ImportArchiveFile(twice.target, twice.Dump(QStringLiteral("b.arch"), b.Bytes()), b.serial).loaded);
    ASSERT_TRUE(ImportArchiveFile(once.target, once.Dump(QStringLiteral("b.arch"), b.Bytes()), b.serial).loaded);
    const auto got = FolderContents(DataFolderPath(twice.root.path()));
    const auto want = FolderContents(DataFolderPath(once.root.path()));
    EXPECT_EQ(got.keys(), want.keys());
    for (auto it = want.cbegin(); it != want.cend(); ++it) {
        if (it.key().contains(QStringLiteral("/CV")))
            continue; // the history keeps both readings
        EXPECT_EQ(got.value(it.key()), it.value()) << it.key().toStdString();
    }
    EXPECT_EQ(twice.Lines(DataKind::History, a.serial, 2021, 3).size(), 2);
}

TEST(ArchiveImport, OtherVersionsAreReadButNotStored)
{
    Root r;
    DumpBuilder b;
    b.version = 3;
    b.Hour(2021, 1, 1, 1, 1.f);
    b.Event(2021, 1, 5, 10, 0, 0, 3);
    const QString path = r.Dump(QStringLiteral("a.arch"), b.Bytes());
    EXPECT_TRUE(ImportArchiveFile(r.target, path, b.serial).loaded);
    EXPECT_TRUE(r.DataFiles().isEmpty());
    QByteArray cut = b.Bytes();
    cut.chop(1);
    EXPECT_THROW(ImportArchiveFile(r.target, r.Dump(QStringLiteral("cut.arch"), cut), b.serial), StorageError);
}

TEST(ArchiveImport, MissingFileIsAnError)
{
    Root r;
    EXPECT_THROW(ReadDumpSerial(r.root.file(QStringLiteral("none.arch"))), StorageError);
}

TEST(ArchiveImport, ValuesTheFilesCannotHoldDropTheirRecord)
{
    Root r;
    DumpBuilder b;
    b.Hour(2021, 1, 1, 1, std::numeric_limits<float>::quiet_NaN());
    b.Hour(2021, 1, 1, 2, std::numeric_limits<float>::infinity());
    b.Hour(2021, 1, 1, 3, 1.f);
    b.Day(2021, 1, 1, std::numeric_limits<float>::infinity()); // its snapshot total too
    ASSERT_TRUE(ImportArchiveFile(r.target, r.Dump(QStringLiteral("a.arch"), b.Bytes()), b.serial).loaded);
    const QStringList hourly = r.Lines(DataKind::Hourly, b.serial, 2021, 1);
    ASSERT_EQ(hourly.size(), 1);
    EXPECT_EQ(LineTime(hourly[0]), DayCountFromParts(QDate(2021, 1, 1), QTime(3, 0)));
    EXPECT_TRUE(r.Lines(DataKind::Daily, b.serial, 2021).isEmpty());
    EXPECT_TRUE(r.Lines(DataKind::History, b.serial, 2021, 1).isEmpty());
}

// Inputs the fuzzer found faults with: each loads or fails cleanly, and every line it
// stored reads back.
TEST(ArchiveImport, FuzzRegressionInputs)
{
    const QDir dir(QStringLiteral(QST_TEST_DATA_DIR "/dump-regressions"));
    const QStringList names = dir.entryList(QDir::Files);
    EXPECT_FALSE(names.isEmpty());
    for (const QString &name : names) {
        SCOPED_TRACE(name.toStdString());
        Root r;
        const QString path = dir.filePath(name);
        try {
            ImportArchiveFile(r.target, path, ReadDumpSerial(path));
        } catch (const StorageError &) {
        }
        const QString data = DataFolderPath(r.root.path());
        for (const QString &file : r.DataFiles()) {
            const QString folder = QFileInfo(data + file).dir().dirName();
            if (folder == QStringLiteral("DATA"))
                continue;
            for (const QString &line : LoadLines(data + file)) {
                ArchiveRecord a;
                CurrentHistoryRecord h;
                JARecord j;
                const bool ok = folder.startsWith(u'C')   ? TryParseHistoryLine(line, &h)
                                : folder.startsWith(u'J') ? TryParseJournalLine(line, &j)
                                                          : TryParseArchiveLine(line, &a);
                EXPECT_TRUE(ok) << file.toStdString() << ": " << line.toStdString();
            }
        }
    }
}

// A dump too short or too damaged to name its calculator is listed as serial 0; loading it
// must not register a meter for that phantom.
TEST(ArchiveImport, DumpWithoutASerialRegistersNoMeter)
{
    DumpBuilder b;
    b.Hour(2021, 1, 1, 0, 1.f);
    const QByteArray whole = b.Bytes();
    const struct
    {
        const char *name;
        QByteArray bytes;
    } cases[] = {
        {"all zeros", QByteArray(4096, '\0')},
        {"header only", whole.left(27)},
        {"cut in the parameter block", whole.left(27 + 17 + b.CurrentSize() + 10)},
        {"empty", QByteArray()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Root r;
        const QString path = r.Dump(QStringLiteral("bad.arch"), c.bytes);
        EXPECT_EQ(ReadDumpSerial(path), 0);
        const ImportRunResult run = ImportArchiveFiles(r.target, {path}, {0}, {});
        EXPECT_FALSE(run.completed);
        EXPECT_FALSE(run.error.isEmpty());
        EXPECT_FALSE(QFile::exists(TreeIniPath(r.root.path()))) << "no meter registered";
        EXPECT_TRUE(r.DataFiles().isEmpty());
    }
}

// Records whose file cannot be written are dropped as before, but counted and said: the
// run is no success.
TEST(ArchiveImport, RecordsThatCannotBeStoredAreCountedAndSaid)
{
    Root r;
    DumpBuilder b;
    for (int h = 0; h < 5; ++h)
        b.Hour(2021, 1, 1, h, 1.f);
    for (int h = 0; h < 3; ++h)
        b.Hour(2021, 2, 1, h, 1.f);
    b.Day(2021, 1, 1, 1.f);
    const QString path = r.Dump(QStringLiteral("d.arch"), b.Bytes());
    const QString january = DataFilePath(r.root.path(), DataKind::Hourly, b.serial, 2021, 1);
    SetSaveFaultForTests([&](const QString &p) { return p == january; });
    const ImportRunResult run = ImportArchiveFiles(r.target, {path}, {b.serial}, {});
    SetSaveFaultForTests({});
    ASSERT_TRUE(run.completed) << run.error.toStdString();
    EXPECT_EQ(run.loaded, 1);
    EXPECT_EQ(run.notStored, 5);
    EXPECT_TRUE(run.firstReason.contains(QStringLiteral("Не удалось записать файл"))) << run.firstReason.toStdString();
    const QString text = ImportResultText(run);
    EXPECT_TRUE(text.contains(QStringLiteral("5"))) << text.toStdString();
    EXPECT_TRUE(text.contains(run.firstReason));
    EXPECT_NE(text, importtexts::kDone);
    EXPECT_FALSE(QFile::exists(january));
    EXPECT_EQ(r.Lines(DataKind::Hourly, b.serial, 2021, 2).size(), 3) << "the other files still load";
    EXPECT_EQ(r.Lines(DataKind::Daily, b.serial, 2021).size(), 1);

    ImportRunResult clean;
    clean.completed = true;
    EXPECT_EQ(ImportResultText(clean), importtexts::kDone);
}

TEST(ArchiveImport, SpecialFilesAreRefusedNotRead)
{
    Root r;
    const QString fifo = r.root.file(QStringLiteral("pipe.arch"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString &path : {fifo, QStringLiteral("/dev/zero"), r.root.path()}) {
        SCOPED_TRACE(path.toStdString());
        try {
            ReadDumpSerial(path);
            ADD_FAILURE() << "read";
        } catch (const StorageError &e) {
            EXPECT_TRUE(e.message().contains(QStringLiteral("не является обычным файлом"))) << e.message().toStdString();
        }
    }
}
