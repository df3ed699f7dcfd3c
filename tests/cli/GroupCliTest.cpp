// qst-cli group add / list / del: groups made and removed without the window.
#include "CliRun.h"
#include "support/TempDataRoot.h"

#include "common/DataRoot.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace qst;
using qst::test::Cli;
using qst::test::TempDataRoot;

namespace {

QStringList Lines(const QString &out)
{
    return out.split(u'\n', Qt::SkipEmptyParts);
}

QString AddMeterIn(const QString &root, const QString &group, const QString &serial)
{
    return Cli(root,
        { QStringLiteral("meter"), QStringLiteral("add"), QStringLiteral("--name"), QStringLiteral("Дом ") + serial,
            QStringLiteral("--serial"), serial, QStringLiteral("--address"), QStringLiteral("1"),
            QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--group"), group })
        .out.trimmed();
}

} // namespace

TEST(GroupCli, AddListAndUseForMeters)
{
    TempDataRoot root;
    const auto add = [&](const QStringList &args) {
        return Cli(root.path(), QStringList { QStringLiteral("group"), QStringLiteral("add") } + args);
    };
    const qst::test::CliRun first = add({ QStringLiteral("Котельная №1") });
    ASSERT_EQ(first.exitCode, 0) << first.err.toStdString();
    EXPECT_EQ(first.out.trimmed(), QStringLiteral("1"));
    const qst::test::CliRun sub = add({ QStringLiteral("Школы"), QStringLiteral("--parent"), QStringLiteral("1") });
    ASSERT_EQ(sub.exitCode, 0) << sub.err.toStdString();
    EXPECT_EQ(sub.out.trimmed(), QStringLiteral("2"));

    const struct
    {
        QStringList args;
        int exit;
    } refused[] = {
        { { QStringLiteral("   ") }, 2 },
        { {}, 2 },
        { { QStringLiteral("X"), QStringLiteral("--parent"), QStringLiteral("9") }, 2 },
        { { QStringLiteral("X"), QStringLiteral("--parent") }, 2 },
        { { QStringLiteral("две\nстроки") }, 2 },
    };
    for (const auto &r : refused) {
        const qst::test::CliRun run = add(r.args);
        EXPECT_EQ(run.exitCode, r.exit) << r.args.join(u'|').toStdString();
        EXPECT_TRUE(run.out.isEmpty()) << r.args.join(u'|').toStdString();
    }

    const qst::test::CliRun list = Cli(root.path(), { QStringLiteral("group"), QStringLiteral("list") });
    ASSERT_EQ(list.exitCode, 0);
    EXPECT_EQ(Lines(list.out),
        (QStringList {
            QStringLiteral("#\tname\tparent"), QStringLiteral("1\tКотельная №1\t0"), QStringLiteral("2\tШколы\t1") }));
    // A meter goes into the new group.
    EXPECT_EQ(AddMeterIn(root.path(), QStringLiteral("2"), QStringLiteral("1200")), QStringLiteral("1"));
    Registry registry(TreeIniPath(root.path()));
    EXPECT_EQ(registry.file().ReadString(GroupSection(2), reg::kCList), QStringLiteral("1"));
}

TEST(GroupCli, DeleteEmptyOnlyOrWithItsMetersListed)
{
    TempDataRoot root;
    ASSERT_EQ(Cli(root.path(), { QStringLiteral("group"), QStringLiteral("add"), QStringLiteral("A") }).out.trimmed(),
        QStringLiteral("1"));
    ASSERT_EQ(Cli(root.path(),
                  { QStringLiteral("group"), QStringLiteral("add"), QStringLiteral("B"), QStringLiteral("--parent"),
                      QStringLiteral("1") })
                  .out.trimmed(),
        QStringLiteral("2"));
    ASSERT_EQ(AddMeterIn(root.path(), QStringLiteral("2"), QStringLiteral("77")), QStringLiteral("1"));
    const QString hourly = DataFilePath(root.path(), DataKind::Hourly, 77, 2020, 1);
    QDir().mkpath(QFileInfo(hourly).path());
    QFile f(hourly);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    const auto del = [&](const QStringList &args) {
        return Cli(root.path(), QStringList { QStringLiteral("group"), QStringLiteral("del") } + args);
    };

    // The root, a group that does not exist, a group holding a group: refused, nothing changed.
    EXPECT_EQ(del({ QStringLiteral("0") }).exitCode, 2);
    EXPECT_EQ(del({ QStringLiteral("5") }).exitCode, 2);
    const qst::test::CliRun holdsGroup = del({ QStringLiteral("1"), QStringLiteral("--with-meters") });
    EXPECT_EQ(holdsGroup.exitCode, 1);
    EXPECT_TRUE(holdsGroup.err.contains(QStringLiteral("2 B"))) << holdsGroup.err.toStdString();
    // A group holding a meter: refused with the meter named, unless --with-meters.
    const qst::test::CliRun holdsMeter = del({ QStringLiteral("2") });
    EXPECT_EQ(holdsMeter.exitCode, 1);
    EXPECT_TRUE(holdsMeter.err.contains(QStringLiteral("77 (Дом 77)"))) << holdsMeter.err.toStdString();
    EXPECT_TRUE(QFile::exists(hourly));
    EXPECT_EQ(Lines(Cli(root.path(), { QStringLiteral("group"), QStringLiteral("list") }).out).size(), 3);

    const qst::test::CliRun withMeters = del({ QStringLiteral("2"), QStringLiteral("--with-meters") });
    EXPECT_EQ(withMeters.exitCode, 0) << withMeters.err.toStdString();
    EXPECT_TRUE(withMeters.out.contains(QStringLiteral("77 (Дом 77)")));
    EXPECT_FALSE(QFile::exists(hourly));
    EXPECT_EQ(del({ QStringLiteral("1") }).exitCode, 0);
    EXPECT_EQ(Lines(Cli(root.path(), { QStringLiteral("group"), QStringLiteral("list") }).out),
        QStringList { QStringLiteral("#\tname\tparent") });
    EXPECT_EQ(Lines(Cli(root.path(), { QStringLiteral("meter"), QStringLiteral("list") }).out).size(), 1);
}
