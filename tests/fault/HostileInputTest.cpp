// Hostile command lines, damaged registries, locks left by crashes and damaged dumps.
#include "FaultHarness.h"

#include "common/DataRoot.h"
#include "common/TextFile.h"
#include "support/TempDataRoot.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace qst;
using namespace qst::test;

namespace {

const QString kTree = QStringLiteral("[TREE]\r\nMaxCNum=1\r\n[G0]\r\nCList=1\r\n[C1]\r\nName=a\r\nSerial=10\r\nParent=0\r\n");

} // namespace

TEST(HostileInput, RefusedCommandsWriteNothing)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("pipe.arch"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString longText(30000, u'ж'); // an argument stays under the system's 128 KiB
    const struct
    {
        const char *name;
        QStringList args;
        int exitCode;
        const char *says;
    } cases[] = {
        {"name injects a section", {"meter", "add", "--name", "a\r\n[PORTS]\r\n1=/dev/sda", "--serial", "5", "--address", "1", "--port", "1"}, 2, "перевод строки"},
        {"phone with LF", {"meter", "add", "--name", "a", "--serial", "5", "--address", "1", "--port", "1", "--modem", "--phone", "1\n[C9]"}, 2, "перевод строки"},
        {"emoji in the name", {"meter", "add", "--name", "Кафе \U0001F600", "--serial", "5", "--address", "1", "--port", "1"}, 2, "U+1F600"},
        {"serial beyond int", {"meter", "add", "--name", "a", "--serial", "99999999999", "--address", "1", "--port", "1"}, 2, "Серийный номер"},
        {"group beyond bounds", {"meter", "add", "--name", "a", "--serial", "5", "--address", "1", "--port", "1", "--group", "2147483647"}, 2, "no group"},
        {"port beyond bounds", {"port", "set", "99999999999", "/dev/ttyS0"}, 2, "usage"},
        {"device injects a section", {"port", "set", "1", "/dev/ttyS0\n[C1]"}, 2, "перевод строки"},
        {"empty device", {"port", "set", "1", ""}, 2, "usage"},
        {"a FIFO as a dump", {"import", "--yes", fifo}, 1, "не является обычным файлом"},
        {"a device as a dump", {"import", "--yes", "/dev/zero"}, 1, "не является обычным файлом"},
        {"a folder as a dump", {"import", "--yes", dir.path()}, 1, "не является обычным файлом"},
        {"a text file as a dump", {"import", "--yes", "../../../../../../etc/hostname"}, 1, "ошибка"},
        {"long name with LF", {"meter", "add", "--name", longText + QStringLiteral("\n[C5]"), "--serial", "5", "--address", "1", "--port", "1"}, 2, "перевод строки"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir rootDir;
        const QString root = rootDir.path();
        QFile::remove(TreeIniPath(root));
        WriteAll(TreeIniPath(root), kTree.toLatin1());
        const CliRun run = RunCli(root, c.args, 20000);
        EXPECT_FALSE(run.hung || run.crashed);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains(QString::fromUtf8(c.says))) << run.err.toStdString();
        EXPECT_EQ(ReadFileBytes(TreeIniPath(root)), kTree.toLatin1());
        EXPECT_FALSE(QFile::exists(root + QStringLiteral("/.qst-archiver.lock"))) << "no lock left";
    }
    // A long text without a line break is a text like any other.
    QTemporaryDir rootDir;
    const CliRun run = RunCli(rootDir.path(), {"meter", "add", "--name", longText, "--serial", "5", "--address", "1", "--port", "1"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(TreeProblems(rootDir.path()), QStringList());
}

TEST(HostileInput, EmptyDataDirIsRefused)
{
    QTemporaryDir dir;
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral(QST_CLI), {"--data-dir", "", "port", "set", "1", "/dev/ttyS0"});
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitCode(), 2);
    EXPECT_FALSE(QFile::exists(QFileInfo(QStringLiteral(QST_CLI)).dir().filePath(QStringLiteral("Tree.ini"))));
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
}

TEST(HostileInput, DamagedMaxCNumIsSaidAndListsStayQuick)
{
    for (const char *value : {"2147483647", "99999999", "-1"}) {
        SCOPED_TRACE(value);
        QTemporaryDir dir;
        const QByteArray tree = QByteArray("[TREE]\r\nMaxCNum=") + value + "\r\n[G0]\r\nCList=1\r\n[C1]\r\nName=a\r\nSerial=10\r\nParent=0\r\n";
        WriteAll(TreeIniPath(dir.path()), tree);
        const CliRun add = RunCli(dir.path(), {"meter", "add", "--name", "b", "--serial", "11", "--address", "1", "--port", "1"}, 20000);
        EXPECT_EQ(add.exitCode, 1);
        EXPECT_TRUE(add.err.contains(QStringLiteral("MaxCNum"))) << add.err.toStdString();
        EXPECT_EQ(ReadFileBytes(TreeIniPath(dir.path())), tree);
        const CliRun list = RunCli(dir.path(), {"meter", "list"}, 20000);
        EXPECT_FALSE(list.hung);
        EXPECT_EQ(list.exitCode, 1);
        EXPECT_EQ(list.out.contains(QStringLiteral("\t10\t")), std::string(value) != "-1") << list.out.toStdString();
    }
}

TEST(HostileInput, UnreadableTreeIniIsNeverReplaced)
{
    const struct
    {
        const char *name;
        std::function<bool(const QString &)> make;
    } cases[] = {
        {"a folder", [](const QString &p) { return QDir().mkdir(p); }},
        {"a FIFO", [](const QString &p) { return ::mkfifo(QFile::encodeName(p).constData(), 0600) == 0; }},
        {"no read permission",
         [](const QString &p) {
             WriteAll(p, kTree.toLatin1());
             return ::geteuid() != 0 && QFile::setPermissions(p, QFileDevice::WriteOwner);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString tree = TreeIniPath(dir.path());
        if (!c.make(tree))
            continue;
        for (const QStringList &args : {QStringList{"port", "set", "1", "/dev/ttyS0"},
                                        QStringList{"meter", "add", "--name", "b", "--serial", "11", "--address", "1", "--port", "1"},
                                        QStringList{"meter", "list"}}) {
            const CliRun run = RunCli(dir.path(), args, 20000);
            EXPECT_FALSE(run.hung);
            EXPECT_EQ(run.exitCode, 1) << args.join(u' ').toStdString();
            EXPECT_TRUE(run.err.contains(QStringLiteral("Tree.ini"))) << run.err.toStdString();
        }
        const QFileInfo info(tree);
        EXPECT_TRUE(!info.isFile() || info.size() == kTree.size()) << "replaced";
    }
}

TEST(HostileInput, LockWithoutALiveHolderDoesNotBlock)
{
    // A process id beyond any pid_max on this host: a holder that is gone.
    const QByteArray contents[] = {QByteArray(), "4194304\nqst-cli\n" + QSysInfo::machineHostName().toUtf8() + '\n',
                                   QByteArray("not a lock at all")};
    for (const QByteArray &content : contents) {
        SCOPED_TRACE(content.toStdString());
        QTemporaryDir dir;
        WriteAll(dir.filePath(QStringLiteral(".qst-archiver.lock")), content);
        const CliRun run = RunCli(dir.path(), {"port", "set", "1", "/dev/ttyS0"}, 20000);
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        // Taken over, and said so.
        EXPECT_TRUE(run.err.contains(QStringLiteral("снят"))) << run.err.toStdString();
    }
}

// Truncations and bit flips of a real dump (fixed seed): no crash, no hang, every stored
// line whole, the registry consistent, and no meter for a serial the file never named.
TEST(HostileInput, DamagedDumpsNeverCrashOrRegisterAPhantom)
{
    QTemporaryDir dir;
    const QString good = dir.filePath(QStringLiteral("good.arch"));
    ASSERT_TRUE(MakeDump(good, 5400, 3, 20));
    const QByteArray bytes = ReadFileBytes(good);
    std::mt19937 random(78);
    QList<QByteArray> variants = {QByteArray(bytes.size(), '\0'), bytes.left(27), bytes.left(27 + 300),
                                  bytes.left(bytes.size() - 1)};
    for (int i = 0; i < 8; ++i)
        variants.append(bytes.left(int(random() % bytes.size())));
    for (int i = 0; i < 12; ++i) {
        QByteArray flipped = bytes;
        for (int k = 0; k < 4; ++k) {
            const int at = int(random() % flipped.size());
            flipped[at] = char(flipped[at] ^ (1 << (random() % 8)));
        }
        variants.append(flipped);
    }
    const auto le16 = [&](int at) { return quint8(bytes[at]) | (quint8(bytes[at + 1]) << 8); };
    const int serialEnd = 27 + le16(5) + le16(7) + 0x12; // the serial's last byte, plus one
    int crashes = 0, hangs = 0, damaged = 0;
    for (int i = 0; i < variants.size(); ++i) {
        SCOPED_TRACE(i);
        const QString file = dir.filePath(QStringLiteral("v%1.arch").arg(i));
        WriteAll(file, variants[i]);
        const QString root = dir.filePath(QStringLiteral("root%1").arg(i));
        const CliRun run = RunCli(root, {"import", "--yes", file}, 60000);
        crashes += run.crashed;
        hangs += run.hung;
        EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1);
        const QStringList problems = DamagedDataFiles(root) + TreeProblems(root);
        damaged += problems.isEmpty() ? 0 : 1;
        EXPECT_EQ(problems, QStringList());
        // A file cut before its serial names no calculator: nothing is registered.
        if (variants[i].size() < serialEnd || variants[i] == QByteArray(bytes.size(), '\0')) {
            EXPECT_FALSE(QFile::exists(TreeIniPath(root))) << run.out.toStdString();
        }
    }
    EXPECT_EQ(crashes, 0);
    EXPECT_EQ(hangs, 0);
    std::printf("[ fault    ] damaged dumps: %lld runs, %d crashes, %d hangs, %d damaged\n",
                static_cast<long long>(variants.size()), crashes, hangs, damaged);
}

// A link planted at the name a command writes sends nothing anywhere: every writer refuses
// with the reason, the link's target stays as it was (or absent), and the link stays a link.
TEST(HostileInput, PlantedLinksAtOutputNamesAreNeverFollowed)
{
    QTemporaryDir dir;
    const QString dump = dir.filePath(QStringLiteral("d.arch"));
    ASSERT_TRUE(MakeDump(dump, 5300, 4, 10));
    const QString root = dir.filePath(QStringLiteral("root"));
    ASSERT_EQ(RunCli(root, {"import", "--yes", dump}).exitCode, 0);
    const QDate today = QDate::currentDate();
    const QStringList period = {"--kind", "daily", "--system", "1", "--from", today.addDays(-3).toString(Qt::ISODate),
                                "--to", today.addDays(-2).toString(Qt::ISODate)};
    const QStringList meter = QStringList{"--serial", "5300"} + period;
    const QString out = dir.filePath(QStringLiteral("out"));
    const QString docs = dir.filePath(QStringLiteral("docs"));
    ASSERT_TRUE(QDir().mkpath(docs));
    const struct
    {
        const char *name;
        QString link; // planted here
        QStringList args;
    } cases[] = {
        {"export csv", out + "/a.csv", QStringList{"export"} + meter + QStringList{"--out", out + "/a.csv"}},
        {"export xlsx", out + "/a.xlsx", QStringList{"export"} + meter + QStringList{"--format", "xlsx", "--out", out + "/a.xlsx"}},
        {"report-rows", out + "/r.csv", QStringList{"report-rows"} + meter + QStringList{"--out", out + "/r.csv"}},
        {"report", out + "/d.docx", QStringList{"report"} + meter + QStringList{"--yes", "--out", out + "/d.docx"}},
        {"report --pdf", out + "/d.pdf",
         QStringList{"report"} + meter + QStringList{"--yes", "--out", docs + "/d.docx", "--pdf", out + "/d.pdf"}},
        {"report --group", out + "/5300.docx",
         QStringList{"report", "--group", "0", "--out-dir", out, "--name", "{serial}.docx", "--yes"} + period},
        {"report --group without --yes", out + "/5300.docx",
         QStringList{"report", "--group", "0", "--out-dir", out, "--name", "{serial}.docx"} + period},
    };
    int runs = 0, crashes = 0, hangs = 0, followed = 0;
    for (const auto &c : cases) {
        for (const bool dangling : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << (dangling ? ", dangling link" : ", link to a file"));
            QDir(out).removeRecursively();
            ASSERT_TRUE(QDir().mkpath(out));
            const QString victim = dir.filePath(QStringLiteral("victim"));
            QFile::remove(victim);
            if (!dangling)
                WriteAll(victim, "not yours\n");
            ASSERT_TRUE(QFile::link(victim, c.link));
            const CliRun run = RunCli(root, c.args, 180000);
            ++runs;
            crashes += run.crashed;
            hangs += run.hung;
            EXPECT_EQ(run.exitCode, 1) << run.out.toStdString() << run.err.toStdString();
            // Without --yes the group refuses an existing name before any save.
            const bool refusedAsExisting = !c.args.contains(QStringLiteral("--yes")) && !dangling;
            if (!refusedAsExisting) {
                EXPECT_TRUE((run.out + run.err).contains(QStringLiteral("символическая ссылка")))
                    << run.out.toStdString() << run.err.toStdString();
            }
            const bool victimChanged = dangling ? QFile::exists(victim) : ReadFileBytes(victim) != "not yours\n";
            followed += victimChanged;
            EXPECT_FALSE(victimChanged);
            EXPECT_TRUE(QFileInfo(c.link).isSymLink());
            EXPECT_EQ(QDir(out).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 1) << "no temporary left";
        }
    }
    EXPECT_EQ(crashes + hangs, 0);
    std::printf("[ fault    ] planted links: %d runs, %d crashes, %d hangs, %d followed\n", runs, crashes, hangs,
                followed);
}
