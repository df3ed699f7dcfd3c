#include "common/ProfileFile.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "support/TempDataRoot.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include <atomic>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>

using namespace qst;
using qst::test::ReadAll;
using qst::test::TempDataRoot;
using qst::test::WriteAll;

TEST(ProfileFile, GoldenOrderAfterWrites)
{
    TempDataRoot root;
    const QString path = root.file(QStringLiteral("Tree.ini"));
    WriteAll(path, ReadAll(QStringLiteral(QST_TEST_DATA_DIR "/tree_before_writes.ini")));
    ProfileFile ini(path);
    ini.WriteInteger(QStringLiteral("tree"), QStringLiteral("maxcnum"), 2);
    ini.WriteString(QStringLiteral("C1"), QStringLiteral("Name"), QStringLiteral("Котельная №1"));
    ini.WriteString(QStringLiteral("C1"), QStringLiteral("Serial"), QStringLiteral("40000"));
    ini.WriteString(QStringLiteral("G0"), QStringLiteral("CList"), QStringLiteral("1"));
    ini.WriteString(QStringLiteral("TREE"), QStringLiteral("GroupList"), QStringLiteral("1"));
    ini.WriteString(QStringLiteral("C1"), QStringLiteral("Parent"), QStringLiteral("0"));
    ini.WriteString(QStringLiteral("c1"), QStringLiteral("PARENT"), QStringLiteral("0"));
    EXPECT_EQ(ReadAll(path).toStdString(), ReadAll(QStringLiteral(QST_TEST_DATA_DIR "/tree_after_writes.ini")).toStdString());
}

TEST(ProfileFile, MissingFileReadsDefaultsAndFirstWriteCreatesIt)
{
    TempDataRoot root;
    ProfileFile ini(root.file(QStringLiteral("Tree.ini")));
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("VISUAL"), QStringLiteral("Width"), 1024), 1024);
    EXPECT_EQ(ini.ReadString(QStringLiteral("C1"), QStringLiteral("Name"), QStringLiteral("x")), QStringLiteral("x"));
    ini.WriteInteger(QStringLiteral("VISUAL"), QStringLiteral("Width"), 800);
    EXPECT_EQ(ReadAll(ini.path()), QByteArray("[VISUAL]\r\nWidth=800\r\n"));
}

TEST(ProfileFile, ToleratesWhatIsNotAProperIniFile)
{
    TempDataRoot root;
    const QString path = root.file(QStringLiteral("Tree.ini"));
    // BOM, LF-only ends, garbage, a duplicate key, a duplicate section, bytes 0x98 and
    // 0xFF, blanks around keys and values, a key that is not a whole number.
    WriteAll(path,
             "\xEF\xBB\xBF[TREE]\nMaxCNum=3\nmaxcnum=9\n\x98\xFF garbage ]]]\n=novalue\n"
             "[C1]\n  Serial =  40000  \nDU=15a\n[tree]\nMaxCNum=7\n[broken\nName=x");
    ProfileFile ini(path);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("TREE"), QStringLiteral("MaxCNum"), 0), 3);
    EXPECT_EQ(ini.ReadString(QStringLiteral("C1"), QStringLiteral("Serial")), QStringLiteral("40000"));
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("C1"), QStringLiteral("DU"), 15), 15);
    EXPECT_EQ(ini.ReadString(QStringLiteral("C1"), QStringLiteral("DU")), QStringLiteral("15a"));
    // "[broken" has no closing bracket: not a section, so Name=x sits in the ignored
    // second [TREE].
    EXPECT_EQ(ini.ReadString(QStringLiteral("BROKEN"), QStringLiteral("Name"), QStringLiteral("d")), QStringLiteral("d"));
    EXPECT_EQ(ini.ReadString(QStringLiteral("TREE"), QStringLiteral("Name"), QStringLiteral("d")), QStringLiteral("d"));
    const QList<QString> sections = {QStringLiteral("TREE"), QStringLiteral("C1")};
    EXPECT_EQ(ini.ReadSectionNames(), sections);
    ini.Read([&](const ProfileFile::Reader &r) {
        EXPECT_EQ(r.ReadSectionNames(), sections);
        EXPECT_EQ(r.ReadInteger(QStringLiteral("tree"), QStringLiteral("MAXCNUM"), 0), 3);
    });

    // The first of duplicate keys is the one replaced; everything else stays byte for byte.
    ini.WriteInteger(QStringLiteral("TREE"), QStringLiteral("MaxCNum"), 4);
    EXPECT_EQ(ReadAll(path),
              QByteArray("\xEF\xBB\xBF[TREE]\r\nMaxCNum=4\r\nmaxcnum=9\r\n\x98\xFF garbage ]]]\r\n=novalue\r\n"
                         "[C1]\r\n  Serial =  40000  \r\nDU=15a\r\n[tree]\r\nMaxCNum=7\r\n[broken\r\nName=x\r\n"));
}

TEST(ProfileFile, EraseSectionRemovesItsKeysOnly)
{
    TempDataRoot root;
    ProfileFile ini(root.file(QStringLiteral("Tree.ini")));
    ini.WriteString(QStringLiteral("C1"), QStringLiteral("Name"), QStringLiteral("a"));
    ini.WriteString(QStringLiteral("C2"), QStringLiteral("Name"), QStringLiteral("b"));
    ini.WriteString(QStringLiteral("C3"), QStringLiteral("Name"), QStringLiteral("c"));
    ini.EraseSection(QStringLiteral("c2"));
    EXPECT_FALSE(ini.HasSection(QStringLiteral("C2")));
    EXPECT_EQ(ReadAll(ini.path()), QByteArray("[C1]\r\nName=a\r\n[C3]\r\nName=c\r\n"));
    ini.WriteString(QStringLiteral("C1"), QStringLiteral("Serial"), QStringLiteral("5"));
    EXPECT_EQ(ReadAll(ini.path()), QByteArray("[C1]\r\nName=a\r\nSerial=5\r\n[C3]\r\nName=c\r\n"));
}

TEST(ProfileFile, DatesAndRealsUseTheRegionalFormat)
{
    TempDataRoot root;
    ProfileFile ini(root.file(QStringLiteral("Tree.ini")));
    const QDateTime at(QDate(2010, 3, 5), QTime(7, 0));
    ini.WriteDateTime(QStringLiteral("C1"), QStringLiteral("LastH"), at);
    ini.WriteDate(QStringLiteral("C1"), QStringLiteral("LastD"), QDate(2010, 3, 4));
    ini.WriteDateTime(QStringLiteral("C1"), QStringLiteral("LastJ"), QDateTime(QDate(2010, 3, 4), QTime(0, 0)));
    ini.WriteReal(QStringLiteral("CURRDATA"), QStringLiteral("DTFloat"), 40179.541666666664);
    EXPECT_EQ(ReadAll(ini.path()), QByteArray("[C1]\r\nLastH=05.03.2010 7:00:00\r\nLastD=04.03.2010\r\n"
                                              "LastJ=04.03.2010\r\n[CURRDATA]\r\nDTFloat=40179,5416666667\r\n"));
    EXPECT_EQ(ini.ReadDateTime(QStringLiteral("C1"), QStringLiteral("LastH"), {}), at);
    EXPECT_EQ(ini.ReadDate(QStringLiteral("C1"), QStringLiteral("LastD"), {}), QDate(2010, 3, 4));
    EXPECT_EQ(ini.ReadDate(QStringLiteral("C1"), QStringLiteral("Nope"), QDate(2000, 1, 1)), QDate(2000, 1, 1));
    EXPECT_DOUBLE_EQ(ini.ReadReal(QStringLiteral("CURRDATA"), QStringLiteral("DTFloat"), 0), 40179.5416666667);
}

TEST(ProfileFile, SeesChangesMadeByAnotherWriter)
{
    TempDataRoot root;
    const QString path = root.file(QStringLiteral("Tree.ini"));
    ProfileFile a(path);
    ProfileFile b(path);
    a.WriteString(QStringLiteral("S"), QStringLiteral("K"), QStringLiteral("1"));
    EXPECT_EQ(b.ReadString(QStringLiteral("S"), QStringLiteral("K")), QStringLiteral("1"));
    b.WriteString(QStringLiteral("S"), QStringLiteral("K"), QStringLiteral("22"));
    EXPECT_EQ(a.ReadString(QStringLiteral("S"), QStringLiteral("K")), QStringLiteral("22"));
    WriteAll(path, "[S]\r\nK=333\r\n");
    EXPECT_EQ(a.ReadString(QStringLiteral("S"), QStringLiteral("K")), QStringLiteral("333"));
}

TEST(ProfileFile, FailedSaveKeepsFileAndValue)
{
    TempDataRoot root;
    ProfileFile ini(root.file(QStringLiteral("Tree.ini")));
    ini.WriteString(QStringLiteral("S"), QStringLiteral("K"), QStringLiteral("old"));
    SetSaveFaultForTests([](const QString &) { return true; });
    EXPECT_THROW(ini.WriteString(QStringLiteral("S"), QStringLiteral("K"), QStringLiteral("new")), StorageError);
    SetSaveFaultForTests({});
    EXPECT_EQ(ini.ReadString(QStringLiteral("S"), QStringLiteral("K")), QStringLiteral("old"));
    EXPECT_EQ(ReadAll(ini.path()), QByteArray("[S]\r\nK=old\r\n"));
}

TEST(ProfileFile, ConcurrentReadersSeeOldOrNewValueNeverATornFile)
{
    TempDataRoot root;
    const QString path = root.file(QStringLiteral("Tree.ini"));
    ProfileFile ini(path);
    for (int n = 1; n <= 50; ++n)
        ini.WriteString(QStringLiteral("C%1").arg(n), QStringLiteral("Serial"), QString::number(1000 + n));
    ini.WriteInteger(QStringLiteral("TREE"), QStringLiteral("Counter"), 0);

    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::atomic<int> reads{0};
    auto reader = [&](ProfileFile *file) {
        qint64 last = 0;
        while (!stop) {
            const qint64 v = file->ReadInteger(QStringLiteral("TREE"), QStringLiteral("Counter"), -1);
            // Values only grow; a torn file would read as the default or go backwards.
            if (v < last)
                ++bad;
            last = v;
            if (file->ReadString(QStringLiteral("C25"), QStringLiteral("Serial")) != QStringLiteral("1025"))
                ++bad;
            ++reads;
        }
    };
    ProfileFile otherObject(path); // a second object on the same file: sees it through the disk
    std::thread r1(reader, &ini);
    std::thread r2(reader, &ini);
    std::thread r3(reader, &otherObject);
    for (int i = 1; i <= 200; ++i)
        ini.WriteInteger(QStringLiteral("TREE"), QStringLiteral("Counter"), i);
    stop = true;
    r1.join();
    r2.join();
    r3.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(otherObject.ReadInteger(QStringLiteral("TREE"), QStringLiteral("Counter"), -1), 200);
}

// A Tree.ini that is there but cannot be read is no empty registry: reads fail and writes
// refuse, the file stays as it was.
TEST(ProfileFile, UnreadableFileFailsLoudlyAndIsNeverWritten)
{
    struct Case
    {
        const char *name;
        std::function<bool(const QString &path)> make; // false: cannot be made here
    };
    const Case cases[] = {
        {"a folder in its place", [](const QString &p) { return QDir().mkdir(p); }},
        {"a FIFO in its place", [](const QString &p) { return ::mkfifo(QFile::encodeName(p).constData(), 0600) == 0; }},
        {"no read permission",
         [](const QString &p) {
             WriteAll(p, "[TREE]\r\nMaxCNum=3\r\n");
             // Root reads it all the same; the case then proves nothing and is left out.
             return ::geteuid() != 0 && QFile::setPermissions(p, QFileDevice::WriteOwner);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDataRoot root;
        const QString path = root.file(QStringLiteral("Tree.ini"));
        if (!c.make(path))
            continue;
        ProfileFile ini(path);
        EXPECT_THROW(ini.ReadInteger(QStringLiteral("TREE"), QStringLiteral("MaxCNum"), 0), StorageError);
        EXPECT_THROW(ini.WriteString(QStringLiteral("PORTS"), QStringLiteral("1"), QStringLiteral("/dev/ttyS0")),
                     StorageError);
        EXPECT_THROW(ini.Update([](ProfileFile::Edit &e) { e.WriteInteger(QStringLiteral("TREE"), QStringLiteral("MaxCNum"), 1); }),
                     StorageError);
        const QFileInfo after(path);
        EXPECT_FALSE(after.isFile() && after.size() < 20) << "replaced by a few bytes";
    }
}

TEST(ProfileFile, ChmodAfterAReadIsNoticed)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads a file without read permission";
    TempDataRoot root;
    const QString path = root.file(QStringLiteral("Tree.ini"));
    WriteAll(path, "[TREE]\r\nMaxCNum=3\r\n");
    ProfileFile ini(path);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("TREE"), QStringLiteral("MaxCNum"), 0), 3);
    ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::WriteOwner));
    EXPECT_THROW(ini.WriteString(QStringLiteral("TREE"), QStringLiteral("MaxCNum"), QStringLiteral("4")), StorageError);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EXPECT_EQ(ReadAll(path), QByteArray("[TREE]\r\nMaxCNum=3\r\n"));
}

// A value never carries a line of its own into the file, and a character Windows-1251 has
// not is refused rather than stored as 0x1A.
TEST(ProfileFile, ValuesThatWouldChangeTheFileAreRefused)
{
    const struct
    {
        QString section, key, value;
        const char *says;
    } cases[] = {
        {"C1", "Name", "x\r\n[PORTS]\r\n1=/dev/sda", "перевод строки"},
        {"C1", "Phone", "1\n[C2]", "перевод строки"},
        {"C1", "Name", "lone\rcr", "перевод строки"},
        {"C1\n[X]", "Name", "x", "перевод строки"},
        {"C1", "Name", QStringLiteral("Кафе \U0001F600"), "U+1F600"},
    };
    TempDataRoot root;
    const QString path = root.file(QStringLiteral("Tree.ini"));
    WriteAll(path, "[C1]\r\nName=old\r\n");
    ProfileFile ini(path);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value.toStdString());
        try {
            ini.WriteString(c.section, c.key, c.value);
            ADD_FAILURE() << "written";
        } catch (const StorageError &e) {
            EXPECT_TRUE(e.message().contains(QString::fromUtf8(c.says))) << e.message().toStdString();
        }
        EXPECT_THROW(ini.WriteStrings(c.section, {{QStringLiteral("Serial"), QStringLiteral("5")}, {c.key, c.value}}),
                     StorageError);
        EXPECT_EQ(ReadAll(path), QByteArray("[C1]\r\nName=old\r\n"));
        EXPECT_EQ(ini.ReadString(QStringLiteral("C1"), QStringLiteral("Serial")), QString()) << "no half-written keys";
    }
}

TEST(ProfileFile, UpdateIsOneRewriteAndAllOrNothing)
{
    TempDataRoot root;
    const QString path = root.file(QStringLiteral("Tree.ini"));
    WriteAll(path, "[TREE]\r\nMaxCNum=1\r\n[G0]\r\nCList=1\r\n[C1]\r\nName=a\r\n");
    ProfileFile ini(path);
    int saves = 0;
    SetSaveFaultForTests([&](const QString &) {
        ++saves;
        return false;
    });
    ini.Update([](ProfileFile::Edit &e) {
        e.WriteInteger(QStringLiteral("TREE"), QStringLiteral("MaxCNum"), e.ReadInteger("TREE", "MaxCNum", 0) + 1);
        e.WriteString(QStringLiteral("G0"), QStringLiteral("CList"), e.ReadString("G0", "CList") + ",2");
        e.WriteString(QStringLiteral("C2"), QStringLiteral("Name"), QStringLiteral("b"));
        EXPECT_EQ(e.ReadString(QStringLiteral("C2"), QStringLiteral("Name")), QStringLiteral("b"));
        e.EraseSection(QStringLiteral("C1"));
    });
    EXPECT_EQ(saves, 1);
    const QByteArray expected("[TREE]\r\nMaxCNum=2\r\n[G0]\r\nCList=1,2\r\n[C2]\r\nName=b\r\n");
    EXPECT_EQ(ReadAll(path), expected);
    EXPECT_THROW(ini.Update([](ProfileFile::Edit &e) {
        e.WriteInteger(QStringLiteral("TREE"), QStringLiteral("MaxCNum"), 9);
        throw StorageError(QStringLiteral("refused"));
    }),
                 StorageError);
    SetSaveFaultForTests({});
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(ReadAll(path), expected);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("TREE"), QStringLiteral("MaxCNum"), 0), 2) << "the cache forgot it too";
}
