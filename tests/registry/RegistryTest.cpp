#include "common/TextFile.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"
#include "support/TempDataRoot.h"

#include <gtest/gtest.h>

using namespace qst;
using qst::test::ReadAll;
using qst::test::TempDataRoot;

namespace {

// Adds a meter the way the tree command does: number, CList of its group, keys.
int AddMeter(Registry &r, int group, const QString &serial)
{
    const int n = r.IssueMeterNumber();
    r.AppendNumber(GroupSection(group), reg::kCList, n);
    r.file().WriteString(MeterSection(n), reg::kSerial, serial);
    r.file().WriteInteger(MeterSection(n), reg::kParent, group);
    return n;
}

void DeleteMeter(Registry &r, int n)
{
    const int group = static_cast<int>(r.file().ReadInteger(MeterSection(n), reg::kParent, 0));
    r.RemoveNumber(GroupSection(group), reg::kCList, n);
    r.file().EraseSection(MeterSection(n));
}

void DeleteGroup(Registry &r, int g)
{
    r.RemoveNumber(reg::kTree, reg::kGroupList, g);
    r.file().EraseSection(GroupSection(g));
}

} // namespace

TEST(Registry, MeterNumbersAreNeverReused)
{
    TempDataRoot root;
    Registry r(TreeIniPath(root.path()));
    EXPECT_EQ(AddMeter(r, 0, QStringLiteral("11")), 1);
    EXPECT_EQ(AddMeter(r, 0, QStringLiteral("22")), 2);
    EXPECT_EQ(AddMeter(r, 0, QStringLiteral("33")), 3);
    DeleteMeter(r, 2);
    EXPECT_EQ(AddMeter(r, 0, QStringLiteral("44")), 4);
    EXPECT_EQ(r.MaxMeterNumber(), 4);
    EXPECT_FALSE(r.file().HasSection(QStringLiteral("C2")));
    EXPECT_EQ(r.file().ReadString(QStringLiteral("G0"), reg::kCList), QStringLiteral("1,3,4"));
}

TEST(Registry, GroupNumbers)
{
    const struct {
        const char *name;
        int deleted; // 0: none
        int expectedNumber;
        const char *expectedList;
    } cases[] = {
        {"first group in an empty file", -1, 1, "1"},
        {"deleting the last group gives its number back", 3, 3, "1,2,3"},
        {"deleting a middle group does not", 2, 4, "1,3,4"},
    };
    for (const auto &c : cases) {
        TempDataRoot root;
        Registry r(TreeIniPath(root.path()));
        if (c.deleted >= 0) {
            for (int i = 0; i < 3; ++i)
                r.IssueGroupNumber();
            DeleteGroup(r, c.deleted);
        }
        EXPECT_EQ(r.IssueGroupNumber(), c.expectedNumber) << c.name;
        EXPECT_EQ(r.file().ReadString(reg::kTree, reg::kGroupList), QString::fromLatin1(c.expectedList)) << c.name;
    }
}

TEST(Registry, NumberLists)
{
    EXPECT_EQ(AppendToNumberList(QString(), 5), QStringLiteral("5"));
    EXPECT_EQ(AppendToNumberList(QStringLiteral("3,7"), 12), QStringLiteral("3,7,12"));
    EXPECT_EQ(RemoveFromNumberList(QStringLiteral("3,7,12"), 7), QStringLiteral("3,12"));
    EXPECT_EQ(RemoveFromNumberList(QStringLiteral("3,7,3"), 3), QStringLiteral("7"));
    EXPECT_EQ(RemoveFromNumberList(QStringLiteral("3"), 3), QString());
    EXPECT_EQ(RemoveFromNumberList(QString(), 3), QString());
    EXPECT_EQ(ParseNumberList(QStringLiteral("3,x,12,")), (QList<int>{3, 12}));
}

TEST(Registry, FindMeterBySerialInBothForms)
{
    TempDataRoot root;
    Registry r(TreeIniPath(root.path()));
    AddMeter(r, 0, QStringLiteral(" 40000 "));
    AddMeter(r, 0, QStringLiteral("0123"));
    AddMeter(r, 0, QStringLiteral("555"));
    AddMeter(r, 0, QStringLiteral("555"));
    DeleteMeter(r, 1);
    AddMeter(r, 0, QStringLiteral("40000"));
    EXPECT_EQ(r.FindMeterBySerialText(40000), 5) << "deleted sections never match";
    EXPECT_EQ(r.FindMeterBySerialText(555), 3) << "the first match wins";
    EXPECT_EQ(r.FindMeterBySerialText(123), 0) << "text form: 0123 is not 123";
    EXPECT_EQ(r.FindMeterBySerialInt(123), 2) << "integer form: 0123 is 123";
    EXPECT_EQ(r.FindMeterBySerialText(0), 0) << "a missing serial is no serial 0";
    EXPECT_EQ(r.FindMeterBySerialText(7), 0);
}

// The serial lookup keeps an index: it must follow every change, ours or another
// program's, and keep the first of duplicate serials.
TEST(Registry, SerialLookupFollowsChanges)
{
    TempDataRoot root;
    Registry r(TreeIniPath(root.path()));
    AddMeter(r, 0, QStringLiteral("100"));
    AddMeter(r, 0, QStringLiteral("200"));
    EXPECT_EQ(r.FindMeterBySerialInt(200), 2);
    EXPECT_EQ(r.FindMeterBySerialInt(0), 0);

    r.file().WriteString(MeterSection(2), reg::kSerial, QStringLiteral("300"));
    EXPECT_EQ(r.FindMeterBySerialInt(200), 0) << "our own write";
    EXPECT_EQ(r.FindMeterBySerialInt(300), 2);

    Registry other(TreeIniPath(root.path()));
    AddMeter(other, 0, QStringLiteral("100"));
    other.file().WriteString(MeterSection(1), reg::kSerial, QStringLiteral("400"));
    EXPECT_EQ(r.FindMeterBySerialInt(100), 3) << "another writer's change, read from the file";
    EXPECT_EQ(r.FindMeterBySerialInt(400), 1);

    AddMeter(r, 0, QStringLiteral("300"));
    EXPECT_EQ(r.FindMeterBySerialInt(300), 2) << "the first of duplicates";
    DeleteMeter(r, 2);
    EXPECT_EQ(r.FindMeterBySerialInt(300), 4);
    r.file().WriteString(MeterSection(4), reg::kSerial, QString());
    EXPECT_EQ(r.FindMeterBySerialInt(0), 4) << "a missing serial reads as 0, as before";
}

TEST(Registry, DumpMeterKeysAndOrder)
{
    TempDataRoot root;
    Registry r(TreeIniPath(root.path()));
    AddMeter(r, 0, QStringLiteral("1"));
    EXPECT_EQ(r.RegisterDumpMeter(40000), 2);
    EXPECT_EQ(ReadAll(TreeIniPath(root.path())),
              QByteArray("[TREE]\r\nMaxCNum=2\r\n[G0]\r\nCList=1,2\r\n[C1]\r\nSerial=1\r\nParent=0\r\n"
                         "[C2]\r\nName=40000\r\nSerial=40000\r\nAddress=1\r\nCom=1\r\nModem=0\r\nParent=0\r\n"));
    EXPECT_EQ(r.FindMeterBySerialText(40000), 2);
}

TEST(Registry, AddMeterWritesKeysInTheDialogsOrder)
{
    TempDataRoot root;
    Registry r(TreeIniPath(root.path()));
    const int g = r.IssueGroupNumber();
    MeterRecord m;
    m.name = QStringLiteral("  Школа №5 ");
    m.serial = QStringLiteral(" 40000");
    m.address = QStringLiteral("3");
    m.du = QStringLiteral("50");
    m.port = 2;
    m.devType = 2;
    m.modem = true;
    m.modemNumber = QStringLiteral("8 (999) 123-45-67");
    m.schedule = {QStringLiteral("07:05"), QStringLiteral("20:30"), QStringLiteral("07:05")};
    EXPECT_EQ(AddMeter(r, g, m), 1);
    EXPECT_EQ(ReadAll(TreeIniPath(root.path())),
              EncodeCp1251(u"[TREE]\r\nGroupList=1\r\nMaxCNum=1\r\n[G1]\r\nCList=1\r\n[C1]\r\nName=Школа №5\r\n"
                           u"Serial=40000\r\nAddress=3\r\nModemNum=8 (999) 123-45-67\r\nAbonNo=\r\nPerson=\r\n"
                           u"Phone=\r\nClass=0\r\nPhysAddress=\r\nDU=50\r\nCom=2\r\nDevType=2\r\nModem=1\r\n"
                           u"Schedule=07:05|20:30|07:05|\r\nParent=1\r\n"));
    const MeterRecord back = ReadMeterKeys(r, 1);
    EXPECT_EQ(back.name, QStringLiteral("Школа №5"));
    EXPECT_EQ(back.schedule, m.schedule);
    EXPECT_TRUE(back.modem);
    EXPECT_EQ(ParseSchedule(QStringLiteral("08:00|")), QStringList{QStringLiteral("08:00")});
    EXPECT_TRUE(ParseSchedule(QString()).isEmpty());
    EXPECT_EQ(ParseSchedule(QStringLiteral("08:00|junk")), QStringList{QStringLiteral("08:00")});
}
