#include "common/MeterWriteLock.h"
#include "common/TextFile.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"
#include "registry/TreeCommands.h"
#include "support/TempDataRoot.h"

#include <QDir>
#include <QLocale>

#include <gtest/gtest.h>

#include <chrono>
#include <future>

using namespace qst;
using qst::test::TempDataRoot;
using qst::test::WriteAll;

namespace {

// Captions of a node's children, in display order.
QStringList ChildCaptions(const TreeModel &model, int node)
{
    QStringList out;
    for (int c : model.nodes[node].children)
        out << model.nodes[c].caption;
    return out;
}

void WriteTreeIni(const TempDataRoot &root, const QString &text)
{
    WriteAll(TreeIniPath(root.path()), EncodeCp1251(text));
}

} // namespace

TEST(TreeCommands, BuildsNestedSortedTreeAndRewritesDevTypeZero)
{
    TempDataRoot root;
    WriteTreeIni(root, QStringLiteral("[TREE]\r\nMaxCNum=5\r\nGroupList=1,2,3\r\n"
                                      "[G1]\r\nName=Южный\r\nParent=0\r\nCList=2\r\n"
                                      "[G2]\r\nName=Котельная\r\nParent=1\r\nCList=\r\n"
                                      "[G3]\r\nName=Абонент\r\nParent=0\r\n"
                                      "[G0]\r\nCList=1,3,4,5\r\n"
                                      "[C1]\r\nSerial=130\r\nName=Школа\r\nPhysAddress=ул. Мира\r\n"
                                      "[C2]\r\nSerial=7\r\nName=Дом\r\nDevType=2\r\n"
                                      "[C3]\r\nSerial=1200\r\nName=Баня\r\nDevType=0\r\n"
                                      "[C4]\r\nSerial=25\r\nName=Склад\r\n"
                                      "[C5]\r\nSerial=5\r\nName=Цех\r\nDevType=2\r\n"));
    Registry registry(TreeIniPath(root.path()));
    const TreeModel model = BuildTreeModel(registry);

    EXPECT_EQ(model.nodes[0].caption, QStringLiteral("Все"));
    // Groups and meters sorted together by caption; text order puts 1200 before 130.
    EXPECT_EQ(ChildCaptions(model, 0),
              (QStringList{QStringLiteral("1200 (Баня) "), QStringLiteral("130 (Школа) ул. Мира"),
                           QStringLiteral("25 (Склад) "), QStringLiteral("5 (Цех) "), QStringLiteral("Абонент"),
                           QStringLiteral("Южный")}));
    const int south = model.FindGroupNode(1);
    ASSERT_GE(south, 0);
    EXPECT_EQ(ChildCaptions(model, south), (QStringList{QStringLiteral("7 (Дом) "), QStringLiteral("Котельная")}));
    EXPECT_EQ(model.nodes[model.FindGroupNode(2)].parent, south);

    const int bath = model.FindMeterNode(3);
    EXPECT_EQ(model.nodes[bath].icon, 1);
    EXPECT_EQ(model.nodes[model.FindMeterNode(2)].icon, 2);
    // 0 is rewritten as 1; an absent key stays absent.
    EXPECT_EQ(registry.file().ReadString(MeterSection(3), reg::kDevType), QStringLiteral("1"));
    EXPECT_FALSE(registry.file().HasKey(MeterSection(1), reg::kDevType));
}

TEST(TreeCommands, NonsenseInTreeIniStillBuilds)
{
    TempDataRoot root;
    WriteTreeIni(root, QStringLiteral("[TREE]\r\nMaxCNum=3\r\nGroupList=1,x,4\r\n"
                                      "[G1]\r\nName=Orphan\r\nParent=9\r\nCList=1,abc,2\r\n"
                                      "[G4]\r\nName=Self\r\nParent=4\r\n"
                                      "[C1]\r\nSerial=not a number\r\nDU=abc\r\n"
                                      "[C2]\r\nSerial=12\r\nDevType=zz\r\n"));
    Registry registry(TreeIniPath(root.path()));
    const TreeModel model = BuildTreeModel(registry);
    const int orphan = model.FindGroupNode(1);
    ASSERT_GE(orphan, 0);
    EXPECT_EQ(model.nodes[orphan].parent, 0);
    EXPECT_EQ(model.nodes[model.FindGroupNode(4)].parent, 0);
    EXPECT_EQ(model.nodes[orphan].children.size(), 2);
    EXPECT_EQ(model.nodes[model.FindMeterNode(2)].icon, 1);
    EXPECT_EQ(model.FindGroupNode(0), 0);
}

TEST(TreeCommands, SearchIsCaseBlindForCyrillicAndSkipsGroups)
{
    TempDataRoot root;
    WriteTreeIni(root, QStringLiteral("[TREE]\r\nMaxCNum=3\r\nGroupList=1\r\n"
                                      "[G1]\r\nName=ШКОЛЬНЫЙ квартал\r\nCList=3\r\n"
                                      "[G0]\r\nCList=1,2\r\n"
                                      "[C1]\r\nSerial=20\r\nName=Детский сад\r\n"
                                      "[C2]\r\nSerial=10\r\nName=Школа №5\r\n"
                                      "[C3]\r\nSerial=30\r\nName=ШКОЛА №7\r\n"));
    Registry registry(TreeIniPath(root.path()));
    const TreeModel model = BuildTreeModel(registry);
    const struct {
        const char16_t *text;
        int meter; // 0: nothing found
    } cases[] = {
        {u"  школ ", 2},   // display order: "10 (Школа №5)" is first under the root
        {u"№7", 3},
        {u"детский", 1},
        {u"   ", 0},
        {u"квартал", 0}, // only a group caption holds it
        {u"нет такого", 0},
    };
    for (const auto &c : cases) {
        const int node = SearchTree(model, QString::fromUtf16(c.text));
        SCOPED_TRACE(QString::fromUtf16(c.text).toStdString());
        if (c.meter == 0) {
            EXPECT_EQ(node, -1);
        } else {
            ASSERT_GE(node, 0);
            EXPECT_EQ(model.nodes[node].data, c.meter);
        }
    }
}

TEST(TreeCommands, CreateRenameAndDeleteGroupKeepNumbering)
{
    TempDataRoot root;
    Registry registry(TreeIniPath(root.path()));
    EXPECT_EQ(CreateGroup(registry, 0, QStringLiteral("  Север ")), 1);
    EXPECT_EQ(CreateGroup(registry, 1, QStringLiteral("Дом")), 2);
    EXPECT_EQ(CreateGroup(registry, 0, QStringLiteral("Юг")), 3);
    // Stored as typed; the profile file trims values only when reading them.
    EXPECT_TRUE(DecodeCp1251(qst::test::ReadAll(TreeIniPath(root.path()))).contains(QStringLiteral("Name=  Север \r\n")));
    EXPECT_EQ(registry.file().ReadString(GroupSection(2), reg::kParent), QStringLiteral("1"));

    TreeModel model = BuildTreeModel(registry);
    EXPECT_TRUE(NodeHasChildren(model, model.FindGroupNode(1)));
    EXPECT_FALSE(NodeHasChildren(model, model.FindGroupNode(2)));

    DeleteGroup(registry, 2);
    EXPECT_FALSE(registry.file().HasSection(GroupSection(2)));
    EXPECT_EQ(registry.file().ReadString(reg::kTree, reg::kGroupList), QStringLiteral("1,3"));
    EXPECT_EQ(CreateGroup(registry, 0, QStringLiteral("Новая")), 4);
    DeleteGroup(registry, 4);
    EXPECT_EQ(CreateGroup(registry, 0, QStringLiteral("Снова")), 4); // the last number comes back

    RenameGroup(registry, 3, QStringLiteral("Восток"));
    model = BuildTreeModel(registry);
    EXPECT_EQ(model.nodes[model.FindGroupNode(3)].caption, QStringLiteral("Восток"));
}

TEST(TreeCommands, DeleteMeterRemovesSectionListEntryAndData)
{
    TempDataRoot root;
    Registry registry(TreeIniPath(root.path()));
    const int group = CreateGroup(registry, 0, QStringLiteral("G"));
    MeterRecord r;
    r.name = QStringLiteral("A");
    r.serial = QStringLiteral("77");
    r.address = QStringLiteral("1");
    r.port = 1;
    const int first = AddMeter(registry, group, r);
    const int second = AddMeter(registry, group, r);
    r.serial = QStringLiteral("78");
    const int other = AddMeter(registry, group, r);

    QDir data(DataFolderPath(root.path()));
    for (const char *folder : {"CV77", "HA77", "DA77", "MA77", "J77", "HA78"}) {
        ASSERT_TRUE(data.mkpath(QString::fromLatin1(folder) + QStringLiteral("/sub")));
        WriteAll(data.filePath(QString::fromLatin1(folder) + QStringLiteral("/x.dat")), "1");
    }
    WriteAll(data.filePath(QStringLiteral("77.dat")), "[CURRDATA]\r\n");
    WriteAll(data.filePath(QStringLiteral("78.dat")), "[CURRDATA]\r\n");

    EXPECT_TRUE(DeleteMeter(registry, root.path(), first));
    EXPECT_FALSE(registry.file().HasSection(MeterSection(first)));
    EXPECT_EQ(registry.file().ReadString(GroupSection(group), reg::kCList),
              QString::number(second) + u',' + QString::number(other));
    for (const char *gone : {"CV77", "HA77", "DA77", "MA77", "J77", "77.dat"})
        EXPECT_FALSE(data.exists(QString::fromLatin1(gone))) << gone;
    EXPECT_TRUE(data.exists(QStringLiteral("HA78")));
    EXPECT_TRUE(data.exists(QStringLiteral("78.dat")));
    EXPECT_EQ(registry.MaxMeterNumber(), 3);
}

TEST(TreeCommands, SortsInRussianWhateverTheProcessLocale)
{
    TempDataRoot root;
    WriteTreeIni(root, QStringLiteral("[TREE]\r\nGroupList=1,2,3,4,5,6,7,8\r\n"
                                      "[G1]\r\nName=Школа\r\n[G2]\r\nName=аптека\r\n"
                                      "[G3]\r\nName=ёлка\r\n[G4]\r\nName=Баня\r\n[G5]\r\nName=Zeta\r\n"
                                      "[G6]\r\nName=alpha\r\n[G7]\r\nName=130\r\n[G8]\r\nName=1200\r\n"));
    Registry registry(TreeIniPath(root.path()));
    for (const QLocale &process : {QLocale::c(), QLocale(QLocale::Russian, QLocale::Russia),
                                   QLocale(QLocale::German, QLocale::Germany)}) {
        QLocale::setDefault(process);
        const TreeModel model = BuildTreeModel(registry);
        QLocale::setDefault(QLocale::system());
        // Digits (as text), Latin, Cyrillic; case-blind.
        EXPECT_EQ(ChildCaptions(model, 0),
                  (QStringList{QStringLiteral("1200"), QStringLiteral("130"), QStringLiteral("alpha"),
                               QStringLiteral("Zeta"), QStringLiteral("аптека"), QStringLiteral("Баня"),
                               QStringLiteral("ёлка"), QStringLiteral("Школа")}))
            << process.name().toStdString();
    }
}

TEST(TreeCommands, DeleteMeterWaitsWhileAPollStoresItsLines)
{
    TempDataRoot root;
    Registry registry(TreeIniPath(root.path()));
    MeterRecord r;
    r.name = QStringLiteral("A");
    r.serial = QStringLiteral("77");
    r.address = QStringLiteral("1");
    r.port = 1;
    const int meter = AddMeter(registry, 0, r);
    QDir data(DataFolderPath(root.path()));
    ASSERT_TRUE(data.mkpath(QStringLiteral("HA77")));

    std::unique_lock poll(MeterWriteMutex(77));
    auto deleting = std::async(std::launch::async, [&] { return DeleteMeter(registry, root.path(), meter); });
    EXPECT_EQ(deleting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "the meter's folders went while a poll wrote into them";
    EXPECT_TRUE(data.exists(QStringLiteral("HA77")));
    poll.unlock();
    EXPECT_TRUE(deleting.get());
    EXPECT_FALSE(data.exists(QStringLiteral("HA77")));
}

TEST(TreeCommands, DeleteMeterWithBrokenSerialTouchesNoData)
{
    TempDataRoot root;
    WriteTreeIni(root, QStringLiteral("[TREE]\r\nMaxCNum=2\r\n[G0]\r\nCList=1,2\r\n"
                                      "[C1]\r\nSerial=abc\r\n[C2]\r\nSerial=0\r\n"));
    QDir data(DataFolderPath(root.path()));
    ASSERT_TRUE(data.mkpath(QStringLiteral("HA0")));
    Registry registry(TreeIniPath(root.path()));
    // "abc" reads as 0 where an integer is wanted; it must not take serial 0's archive.
    EXPECT_TRUE(DeleteMeter(registry, root.path(), 1));
    EXPECT_TRUE(data.exists(QStringLiteral("HA0")));
    EXPECT_EQ(registry.file().ReadString(GroupSection(0), reg::kCList), QStringLiteral("2"));
    EXPECT_TRUE(DeleteMeter(registry, root.path(), 2));
    EXPECT_FALSE(data.exists(QStringLiteral("HA0")));
}
