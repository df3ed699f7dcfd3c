// qst-cli user ...: portal accounts made from scripts, with the password on standard input.
#include "CliRun.h"
#include "support/TempDataRoot.h"

#include "web/Accounts.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <sys/stat.h>

using qst::test::Cli;
using qst::test::CliRun;
using qst::test::ReadAll;
using qst::test::TempDataRoot;
using namespace qst::web;

namespace {

// qst-cli with `input` on its standard input (a pipe, not a terminal).
CliRun CliWithInput(const QString &root, const QStringList &args, const QByteArray &input)
{
    QProcess p;
    p.start(QStringLiteral(QST_CLI), QStringList { QStringLiteral("--data-dir"), root } + args);
    p.waitForStarted();
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(30000);
    return { p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError()) };
}

QStringList UserAdd(const QString &name, const QString &role)
{
    return { QStringLiteral("user"), QStringLiteral("add"), name, QStringLiteral("--role"), role };
}

} // namespace

TEST(UserCli, AddReadsThePasswordFromStdinAndListShowsNoHashes)
{
    TempDataRoot root;
    ASSERT_EQ(
        Cli(root.path(), { QStringLiteral("group"), QStringLiteral("add"), QStringLiteral("Котельные") }).exitCode, 0);
    ASSERT_EQ(Cli(root.path(),
                  { QStringLiteral("meter"), QStringLiteral("add"), QStringLiteral("--name"), QStringLiteral("Дом"),
                      QStringLiteral("--serial"), QStringLiteral("40001"), QStringLiteral("--address"),
                      QStringLiteral("1"), QStringLiteral("--port"), QStringLiteral("1") })
                  .exitCode,
        0);

    const QByteArray password = "Секрет-2026";
    CliRun r = CliWithInput(root.path(), UserAdd(QStringLiteral("admin"), QStringLiteral("admin")), password + "\r\n");
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    r = CliWithInput(root.path(),
        UserAdd(QStringLiteral("ivan"), QStringLiteral("consumer"))
            << QStringLiteral("--meters") << QStringLiteral("40001") << QStringLiteral("--group")
            << QStringLiteral("Котельные"),
        password + "\n");
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();

    AccountStore store(root.path());
    EXPECT_TRUE(store.CheckPassword(QStringLiteral("admin"), QString::fromUtf8(password))); // no CR kept
    const auto ivan = store.CheckPassword(QStringLiteral("ivan"), QString::fromUtf8(password));
    ASSERT_TRUE(ivan);
    EXPECT_EQ(ivan->meters, QList<quint16> { 40001 });
    EXPECT_EQ(ivan->groups, QList<int> { 1 });
    struct stat st;
    ASSERT_EQ(::stat(AccountStore::FilePath(root.path()).toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    const CliRun token = Cli(root.path(), { QStringLiteral("user"), QStringLiteral("token"), QStringLiteral("ivan") });
    ASSERT_EQ(token.exitCode, 0);
    EXPECT_TRUE(store.CheckToken(token.out.trimmed()));

    const CliRun list = Cli(root.path(), { QStringLiteral("user"), QStringLiteral("list") });
    ASSERT_EQ(list.exitCode, 0);
    EXPECT_EQ(list.out,
        QStringLiteral("name\trole\tmeters\tgroups\ttokens\n"
                       "admin\tadmin\t\t\t0\n"
                       "ivan\tconsumer\t40001\t1\t1\n"));
    EXPECT_FALSE(list.out.contains(QStringLiteral("argon2")));
    EXPECT_FALSE(list.out.contains(token.out.trimmed()));
    EXPECT_FALSE(ReadAll(AccountStore::FilePath(root.path())).contains(token.out.trimmed().toLatin1()));
}

TEST(UserCli, RefusalsAndTheirExitCodes)
{
    TempDataRoot root;
    const QByteArray password = "long enough\n";
    ASSERT_EQ(
        CliWithInput(root.path(), UserAdd(QStringLiteral("boss"), QStringLiteral("admin")), password).exitCode, 0);
    const QByteArray before = ReadAll(AccountStore::FilePath(root.path()));
    struct Case
    {
        const char *what;
        QStringList args;
        QByteArray input;
        int exitCode;
    };
    const Case cases[] = {
        { "unknown role", UserAdd(QStringLiteral("a"), QStringLiteral("root")), password, 2 },
        { "consumer without meters", UserAdd(QStringLiteral("a"), QStringLiteral("consumer")), password, 2 },
        { "unknown serial",
            UserAdd(QStringLiteral("a"), QStringLiteral("consumer"))
                << QStringLiteral("--meters") << QStringLiteral("123"),
            password, 1 },
        { "unknown group",
            UserAdd(QStringLiteral("a"), QStringLiteral("consumer"))
                << QStringLiteral("--group") << QStringLiteral("Нет такой"),
            password, 1 },
        { "meters for a viewer",
            UserAdd(QStringLiteral("a"), QStringLiteral("viewer")) << QStringLiteral("--meters") << QStringLiteral("1"),
            password, 2 },
        { "name taken", UserAdd(QStringLiteral("BOSS"), QStringLiteral("viewer")), password, 1 },
        { "short password", UserAdd(QStringLiteral("a"), QStringLiteral("viewer")), "1234567\n", 1 },
        { "no password", UserAdd(QStringLiteral("a"), QStringLiteral("viewer")), "", 1 },
        { "bad name", UserAdd(QStringLiteral("a/b"), QStringLiteral("viewer")), password, 2 },
        { "no name",
            { QStringLiteral("user"), QStringLiteral("add"), QStringLiteral("--role"), QStringLiteral("viewer") },
            password, 2 },
        { "last admin", { QStringLiteral("user"), QStringLiteral("del"), QStringLiteral("boss") }, {}, 1 },
        { "unknown account", { QStringLiteral("user"), QStringLiteral("passwd"), QStringLiteral("x") }, password, 1 },
        { "token of nobody", { QStringLiteral("user"), QStringLiteral("token"), QStringLiteral("x") }, {}, 1 },
    };
    for (const Case &c : cases) {
        const CliRun r = CliWithInput(root.path(), c.args, c.input);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.what << ": " << r.err.toStdString();
        EXPECT_FALSE(r.err.trimmed().isEmpty()) << c.what;
    }
    EXPECT_EQ(ReadAll(AccountStore::FilePath(root.path())), before);

    // passwd, then del once another admin exists.
    EXPECT_EQ(CliWithInput(root.path(), { QStringLiteral("user"), QStringLiteral("passwd"), QStringLiteral("boss") },
                  "another password\n")
                  .exitCode,
        0);
    EXPECT_TRUE(AccountStore(root.path()).CheckPassword(QStringLiteral("boss"), QStringLiteral("another password")));
    ASSERT_EQ(
        CliWithInput(root.path(), UserAdd(QStringLiteral("deputy"), QStringLiteral("admin")), password).exitCode, 0);
    EXPECT_EQ(Cli(root.path(), { QStringLiteral("user"), QStringLiteral("del"), QStringLiteral("boss") }).exitCode, 0);
    EXPECT_FALSE(AccountStore(root.path()).Find(QStringLiteral("boss")));
}
