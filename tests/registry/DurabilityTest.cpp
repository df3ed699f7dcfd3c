// Registry changes that must be whole or absent, and numbers that must stay in bounds.
#include "common/DataRoot.h"
#include "common/StorageError.h"
#include "common/TextFile.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"
#include "registry/TreeCommands.h"
#include "support/TempDataRoot.h"

#include <gtest/gtest.h>

using namespace qst;
using qst::test::ReadAll;
using qst::test::TempDataRoot;
using qst::test::WriteAll;

namespace {

MeterRecord Meter(const QString &serial)
{
    MeterRecord m;
    m.name = QStringLiteral("Школа");
    m.serial = serial;
    m.address = QStringLiteral("1");
    m.port = 2;
    return m;
}

// Counts the saves of every registry command.
struct SaveCounter
{
    int saves = 0;
    SaveCounter()
    {
        SetSaveFaultForTests([this](const QString &) {
            ++saves;
            return false;
        });
    }
    ~SaveCounter() { SetSaveFaultForTests({}); }
};

} // namespace

// One registry change, one rewrite: a kill can find the file before or after it, never
// between MaxCNum, CList and the new section.
TEST(RegistryDurability, EveryTreeCommandIsOneRewrite)
{
    TempDataRoot root;
    Registry registry(TreeIniPath(root.path()));
    SaveCounter counter;
    const struct
    {
        const char *name;
        std::function<void()> run;
    } commands[] = {
        {"add meter", [&] { AddMeter(registry, 0, Meter(QStringLiteral("4100"))); }},
        {"create group", [&] { CreateGroup(registry, 0, QStringLiteral("Север")); }},
        {"add meter to group", [&] { AddMeter(registry, 1, Meter(QStringLiteral("4200"))); }},
        {"register dump meter", [&] { registry.RegisterDumpMeter(4300); }},
        {"delete meter", [&] { DeleteMeter(registry, root.path(), 2); }},
        {"delete group", [&] { DeleteGroup(registry, 1); }},
    };
    for (const auto &c : commands) {
        SCOPED_TRACE(c.name);
        const int before = counter.saves;
        c.run();
        EXPECT_EQ(counter.saves - before, 1);
    }
    EXPECT_EQ(registry.file().ReadString(reg::kTree, reg::kMaxCNum), QStringLiteral("3"));
    EXPECT_EQ(registry.file().ReadString(GroupSection(0), reg::kCList), QStringLiteral("1,3"));
    EXPECT_EQ(registry.MeterNumbers(), (QList<int>{1, 3}));
}

TEST(RegistryDurability, FailedAddLeavesNoTrace)
{
    TempDataRoot root;
    Registry registry(TreeIniPath(root.path()));
    AddMeter(registry, 0, Meter(QStringLiteral("4100")));
    const QByteArray before = ReadAll(TreeIniPath(root.path()));
    SetSaveFaultForTests([](const QString &) { return true; });
    EXPECT_THROW(AddMeter(registry, 0, Meter(QStringLiteral("4200"))), StorageError);
    SetSaveFaultForTests({});
    EXPECT_EQ(ReadAll(TreeIniPath(root.path())), before);
    EXPECT_EQ(registry.MaxMeterNumber(), 1);
    EXPECT_EQ(AddMeter(registry, 0, Meter(QStringLiteral("4200"))), 2);
}

// A stored MaxCNum or GroupList element beyond the bounds is damage: no number is issued
// from it and the file is not written; readers stay bounded.
TEST(RegistryDurability, NumbersOutOfBoundsAreDamageNotCounters)
{
    const struct
    {
        const char *tree;
        bool meterRefused, groupRefused;
        int readersMax;
    } cases[] = {
        {"[TREE]\r\nMaxCNum=2147483647\r\n", true, false, kMaxRegistryNumber},
        {"[TREE]\r\nMaxCNum=99999999\r\n", true, false, kMaxRegistryNumber},
        {"[TREE]\r\nMaxCNum=-5\r\n", true, false, 0},
        {"[TREE]\r\nMaxCNum=100000\r\n", true, false, kMaxRegistryNumber},
        {"[TREE]\r\nMaxCNum=99999\r\n", false, false, 99999},
        {"[TREE]\r\nMaxCNum=abc\r\n", false, false, 0},
        {"[TREE]\r\nGroupList=1,2147483647\r\n", false, true, 0},
        {"[TREE]\r\nGroupList=1,-3\r\n", false, true, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tree);
        TempDataRoot root;
        const QString path = TreeIniPath(root.path());
        WriteAll(path, c.tree);
        Registry registry(path);
        EXPECT_EQ(registry.MaxMeterNumber(), c.readersMax);
        if (c.meterRefused) {
            try {
                AddMeter(registry, 0, Meter(QStringLiteral("1")));
                ADD_FAILURE() << "a meter was added";
            } catch (const StorageError &e) {
                EXPECT_TRUE(e.message().contains(QStringLiteral("MaxCNum"))) << e.message().toStdString();
            }
            EXPECT_THROW(registry.RegisterDumpMeter(7), StorageError);
        } else {
            EXPECT_GT(AddMeter(registry, 0, Meter(QStringLiteral("1"))), 0);
        }
        if (c.groupRefused) {
            EXPECT_THROW(CreateGroup(registry, 0, QStringLiteral("g")), StorageError);
        }
        if (c.meterRefused || c.groupRefused) {
            EXPECT_EQ(ReadAll(path).left(int(qstrlen(c.tree))), QByteArray(c.tree)) << "damaged file left as it was";
        }
    }
}

TEST(RegistryDurability, MeterListsCostByWhatExists)
{
    TempDataRoot root;
    const QString path = TreeIniPath(root.path());
    WriteAll(path, "[TREE]\r\nMaxCNum=99999\r\n[C7]\r\nSerial=70\r\n[c99999]\r\nSerial=5\r\n[C07]\r\nSerial=8\r\n"
                   "[C100000]\r\nSerial=9\r\n");
    Registry registry(path);
    EXPECT_EQ(registry.MeterNumbers(), (QList<int>{7, 99999}));
    EXPECT_EQ(registry.FindMeterBySerialText(5), 99999);
    EXPECT_EQ(registry.FindMeterBySerialInt(70), 7);
    EXPECT_EQ(registry.FindMeterBySerialText(8), 0) << "C07 is no meter section";
    EXPECT_EQ(registry.FindMeterBySerialText(9), 0) << "beyond MaxCNum";
    EXPECT_EQ(registry.FindMeterBySerialInt(0), 0) << "a missing section never matches";
}

TEST(RegistryDurability, MeterTextsThatCannotBeStoredAreNamed)
{
    const struct
    {
        QString MeterRecord::*field;
        QString value;
        const char *says;
    } cases[] = {
        {&MeterRecord::name, QStringLiteral("a\r\n[PORTS]"), "Название потребителя"},
        {&MeterRecord::phone, QStringLiteral("1\n2"), "Телефон"},
        {&MeterRecord::modemNumber, QStringLiteral("8\r9"), "Номер модема"},
        {&MeterRecord::physAddress, QStringLiteral("ул. \U0001F3E0"), "\U0001F3E0"},
    };
    for (const auto &c : cases) {
        MeterRecord m = Meter(QStringLiteral("1"));
        m.*c.field = c.value;
        EXPECT_TRUE(MeterRecordTextError(m).contains(QString::fromUtf8(c.says))) << MeterRecordTextError(m).toStdString();
    }
    EXPECT_EQ(MeterRecordTextError(Meter(QStringLiteral("1"))), QString());
}
