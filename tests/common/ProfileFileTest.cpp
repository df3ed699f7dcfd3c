#include "common/ProfileFile.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "support/TempDataRoot.h"

#include <gtest/gtest.h>

#include <atomic>
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
             "[C1]\n  Serial =  40000  \nDU=15a\n[TREE]\nMaxCNum=7\n[broken\nName=x");
    ProfileFile ini(path);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("TREE"), QStringLiteral("MaxCNum"), 0), 3);
    EXPECT_EQ(ini.ReadString(QStringLiteral("C1"), QStringLiteral("Serial")), QStringLiteral("40000"));
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("C1"), QStringLiteral("DU"), 15), 15);
    EXPECT_EQ(ini.ReadString(QStringLiteral("C1"), QStringLiteral("DU")), QStringLiteral("15a"));
    // "[broken" has no closing bracket: not a section, so Name=x sits in the ignored
    // second [TREE].
    EXPECT_EQ(ini.ReadString(QStringLiteral("BROKEN"), QStringLiteral("Name"), QStringLiteral("d")), QStringLiteral("d"));
    EXPECT_EQ(ini.ReadString(QStringLiteral("TREE"), QStringLiteral("Name"), QStringLiteral("d")), QStringLiteral("d"));

    // The first of duplicate keys is the one replaced; everything else stays byte for byte.
    ini.WriteInteger(QStringLiteral("TREE"), QStringLiteral("MaxCNum"), 4);
    EXPECT_EQ(ReadAll(path),
              QByteArray("\xEF\xBB\xBF[TREE]\r\nMaxCNum=4\r\nmaxcnum=9\r\n\x98\xFF garbage ]]]\r\n=novalue\r\n"
                         "[C1]\r\n  Serial =  40000  \r\nDU=15a\r\n[TREE]\r\nMaxCNum=7\r\n[broken\r\nName=x\r\n"));
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
