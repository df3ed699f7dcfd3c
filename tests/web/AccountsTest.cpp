#include "web/Accounts.h"
#include "common/TextFile.h"
#include "support/TempDataRoot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace qst::web;
using qst::test::ReadAll;
using qst::test::TempDataRoot;
using qst::test::WriteAll;

namespace {

const QString kPassword = QStringLiteral("пароль-секрет");

unsigned FileMode(const QString &path)
{
    struct stat st;
    return ::stat(path.toLocal8Bit().constData(), &st) == 0 ? unsigned(st.st_mode & 07777) : 0u;
}

Account Make(const QString &name, Role role, QList<quint16> meters = {}, QList<int> groups = {})
{
    return Account { name, role, meters, groups };
}

class Accounts : public ::testing::Test
{
protected:
    QString file() const { return AccountStore::FilePath(root.path()); }
    void ExpectPrivate() { EXPECT_EQ(FileMode(file()), 0600u); }

    TempDataRoot root;
    AccountStore store { root.path() };
    QString error;
};

} // namespace

TEST_F(Accounts, PasswordsAreCheckedAndStoredHashedInAPrivateFile)
{
    ::umask(022); // a usual umask would leave a new file readable by all
    ASSERT_TRUE(store.Add(Make(QStringLiteral("admin"), Role::Admin), kPassword, &error)) << error.toStdString();
    ExpectPrivate();
    ASSERT_TRUE(store.Add(Make(QStringLiteral("Иванов"), Role::Consumer, { 40001, 7 }, { 3 }), kPassword, &error))
        << error.toStdString();
    ExpectPrivate();

    const auto ok = store.CheckPassword(QStringLiteral("Иванов"), kPassword);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->role, Role::Consumer);
    EXPECT_EQ(ok->meters, (QList<quint16> { 40001, 7 }));
    EXPECT_EQ(ok->groups, QList<int> { 3 });
    EXPECT_FALSE(store.CheckPassword(QStringLiteral("Иванов"), kPassword + u'x'));
    EXPECT_FALSE(store.CheckPassword(QStringLiteral("Петров"), kPassword));
    EXPECT_FALSE(store.CheckPassword(QStringLiteral("Иванов"), QString()));

    const QByteArray bytes = ReadAll(file());
    EXPECT_FALSE(bytes.contains(kPassword.toUtf8()));
    EXPECT_TRUE(bytes.contains("$argon2id$"));

    // A second store (another process) sees the same accounts.
    AccountStore other(root.path());
    EXPECT_EQ(other.List().size(), 2);
    EXPECT_TRUE(other.CheckPassword(QStringLiteral("admin"), kPassword));

    ASSERT_TRUE(store.SetPassword(QStringLiteral("Иванов"), QStringLiteral("новый пароль"), &error));
    ExpectPrivate();
    EXPECT_FALSE(other.CheckPassword(QStringLiteral("Иванов"), kPassword));
    EXPECT_TRUE(other.CheckPassword(QStringLiteral("Иванов"), QStringLiteral("новый пароль")));

    ASSERT_TRUE(store.Update(Make(QStringLiteral("Иванов"), Role::Viewer), &error));
    ExpectPrivate();
    EXPECT_EQ(other.Find(QStringLiteral("Иванов"))->role, Role::Viewer);

    // Someone loosened the mode by hand: the next rewrite closes it again.
    ::chmod(file().toLocal8Bit().constData(), 0644);
    ASSERT_TRUE(store.Remove(QStringLiteral("Иванов"), &error));
    ExpectPrivate();
    EXPECT_FALSE(other.Find(QStringLiteral("Иванов")));
}

TEST_F(Accounts, RefusalsLeaveTheFileAsItWas)
{
    ASSERT_TRUE(store.Add(Make(QStringLiteral("boss"), Role::Admin), kPassword, &error));
    const QByteArray before = ReadAll(file());
    struct Case
    {
        const char *what;
        Account account;
        QString password;
    };
    const Case cases[] = {
        { "duplicate name", Make(QStringLiteral("BOSS"), Role::Viewer), kPassword },
        { "short password", Make(QStringLiteral("a"), Role::Viewer), QStringLiteral("1234567") },
        { "consumer without meters", Make(QStringLiteral("c"), Role::Consumer), kPassword },
        { "slash in name", Make(QStringLiteral("a/b"), Role::Viewer), kPassword },
        { "colon in name", Make(QStringLiteral("a:b"), Role::Viewer), kPassword },
        { "control char", Make(QStringLiteral("a\nb"), Role::Viewer), kPassword },
        { "empty name", Make(QString(), Role::Viewer), kPassword },
        { "too long", Make(QString(65, u'x'), Role::Viewer), kPassword },
        { "leading space", Make(QStringLiteral(" a"), Role::Viewer), kPassword },
    };
    for (const Case &c : cases) {
        error.clear();
        EXPECT_FALSE(store.Add(c.account, c.password, &error)) << c.what;
        EXPECT_FALSE(error.isEmpty()) << c.what;
    }
    EXPECT_TRUE(AccountStore::ValidName(QString(64, u'я')));

    // The last admin can be neither removed nor demoted.
    EXPECT_FALSE(store.Remove(QStringLiteral("boss"), &error));
    EXPECT_FALSE(store.Update(Make(QStringLiteral("boss"), Role::Operator), &error));
    EXPECT_FALSE(store.Remove(QStringLiteral("nobody"), &error));
    EXPECT_EQ(ReadAll(file()), before);

    ASSERT_TRUE(store.Add(Make(QStringLiteral("second"), Role::Admin), kPassword, &error));
    EXPECT_TRUE(store.Remove(QStringLiteral("boss"), &error)) << error.toStdString();
    EXPECT_FALSE(store.Remove(QStringLiteral("second"), &error));
}

TEST_F(Accounts, TokensAreStoredHashedAndRevocable)
{
    ASSERT_TRUE(store.Add(Make(QStringLiteral("script"), Role::Operator), kPassword, &error));
    const QString first = store.IssueToken(QStringLiteral("script"), &error);
    const QString second = store.IssueToken(QStringLiteral("script"), &error);
    ExpectPrivate();
    ASSERT_EQ(first.size(), 4 + 43);
    EXPECT_TRUE(first.startsWith(QStringLiteral("qst_")));
    EXPECT_NE(first, second);
    for (QChar c : first.mid(4))
        EXPECT_TRUE(c.isLetterOrNumber() || c == u'-' || c == u'_') << int(c.unicode());

    const QByteArray bytes = ReadAll(file());
    EXPECT_FALSE(bytes.contains(first.toLatin1()));
    EXPECT_FALSE(bytes.contains(first.mid(4).toLatin1()));

    AccountStore other(root.path());
    ASSERT_TRUE(other.CheckToken(first));
    EXPECT_EQ(other.CheckToken(second)->name, QStringLiteral("script"));
    EXPECT_EQ(other.TokenCount(QStringLiteral("script")), 2);
    QString altered = first;
    altered[10] = altered[10] == u'A' ? u'B' : u'A'; // one character off
    EXPECT_FALSE(other.CheckToken(altered));
    EXPECT_FALSE(other.CheckToken(first.mid(4)));
    EXPECT_FALSE(other.CheckToken(QString()));
    EXPECT_TRUE(store.IssueToken(QStringLiteral("nobody"), &error).isEmpty());

    ASSERT_TRUE(store.RevokeTokens(QStringLiteral("script"), &error));
    EXPECT_FALSE(other.CheckToken(first));
    EXPECT_FALSE(other.CheckToken(second));
    // A removed account's tokens go with it.
    const QString third = store.IssueToken(QStringLiteral("script"), &error);
    ASSERT_TRUE(other.CheckToken(third));
    ASSERT_TRUE(store.Remove(QStringLiteral("script"), &error));
    EXPECT_FALSE(other.CheckToken(third));
}

TEST_F(Accounts, DamagedFileLetsNobodyInAndIsKept)
{
    ASSERT_TRUE(store.Add(Make(QStringLiteral("admin"), Role::Admin), kPassword, &error));
    const QByteArray good = ReadAll(file());
    const qsizetype hashAt = good.indexOf("$argon2id$");
    const QByteArray damaged[] = {
        good.left(hashAt + 20), // cut in the middle of the hash
        good + "\x01\x02garbage\r\n", // junk line
        QByteArray(good).replace("Role=admin", "Role=root"), // unknown role
        good + "[Other]\r\nName=x\r\n", // a section that is no account
    };
    for (const QByteArray &bytes : damaged) {
        WriteAll(file(), bytes);
        AccountStore reader(root.path());
        EXPECT_FALSE(reader.FileError().isEmpty()) << bytes.toStdString();
        EXPECT_FALSE(reader.CheckPassword(QStringLiteral("admin"), kPassword));
        EXPECT_TRUE(reader.List().isEmpty());
        EXPECT_FALSE(reader.Add(Make(QStringLiteral("new"), Role::Admin), kPassword, &error));
        EXPECT_FALSE(reader.SetPassword(QStringLiteral("admin"), kPassword, &error));
        EXPECT_FALSE(reader.Remove(QStringLiteral("admin"), &error));
        EXPECT_EQ(ReadAll(file()), bytes);
    }
    // Repaired by hand, it is read again without a restart.
    WriteAll(file(), good);
    EXPECT_TRUE(store.FileError().isEmpty());
    EXPECT_TRUE(store.CheckPassword(QStringLiteral("admin"), kPassword));
}

TEST_F(Accounts, FailedSaveKeepsTheOldFile)
{
    ASSERT_TRUE(store.Add(Make(QStringLiteral("admin"), Role::Admin), kPassword, &error));
    const QByteArray before = ReadAll(file());
    qst::SetSaveFaultForTests([](const QString &) { return true; });
    EXPECT_FALSE(store.Add(Make(QStringLiteral("x"), Role::Viewer), kPassword, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(store.IssueToken(QStringLiteral("admin"), &error).isEmpty());
    qst::SetSaveFaultForTests({});
    EXPECT_EQ(ReadAll(file()), before);
    EXPECT_EQ(store.List().size(), 1);
    ExpectPrivate();
}

// Request threads check passwords while the CLI rewrites the file: every check of the
// unchanged account succeeds and nothing tears.
TEST_F(Accounts, ConcurrentChecksWhileTheFileIsRewritten)
{
    ASSERT_TRUE(store.Add(Make(QStringLiteral("stable"), Role::Viewer), kPassword, &error));
    ASSERT_TRUE(store.Add(Make(QStringLiteral("admin"), Role::Admin), kPassword, &error));
    std::atomic<bool> stop { false };
    std::atomic<int> checks { 0 };
    std::atomic<int> failures { 0 };
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                if (!store.CheckPassword(QStringLiteral("stable"), kPassword))
                    ++failures;
                ++checks;
            }
        });
    }
    AccountStore writer(root.path()); // as the CLI would, through its own store
    for (int i = 0; i < 6; ++i) {
        const QString name = QStringLiteral("temp%1").arg(i);
        EXPECT_TRUE(writer.Add(Make(name, Role::Viewer), kPassword, &error)) << error.toStdString();
        EXPECT_FALSE(writer.IssueToken(name, &error).isEmpty());
        if (i % 2) {
            EXPECT_TRUE(writer.Remove(name, &error));
        }
    }
    while (checks < 6)
        std::this_thread::yield();
    stop = true;
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(store.List().size(), 2 + 3);
    ExpectPrivate();
}

// "sudo qst-cli user add" must not leave a file the service's user cannot read.
TEST_F(Accounts, RootWritesKeepTheDataRootsOwner)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const uid_t service = 4242;
    ASSERT_EQ(::chown(root.path().toLocal8Bit().constData(), service, service), 0);
    ASSERT_TRUE(store.Add(Make(QStringLiteral("admin"), Role::Admin), kPassword, &error));
    struct stat st;
    ASSERT_EQ(::stat(file().toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_uid, service);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_FALSE(store.IssueToken(QStringLiteral("admin"), &error).isEmpty());
    ASSERT_EQ(::stat(file().toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_uid, service);
}

TEST(AccountRoles, NamesRoundTrip)
{
    for (Role r : { Role::Consumer, Role::Viewer, Role::Operator, Role::Admin }) {
        Role parsed = Role::Consumer;
        ASSERT_TRUE(ParseRole(RoleName(r), &parsed));
        EXPECT_EQ(parsed, r);
    }
    Role untouched = Role::Viewer;
    EXPECT_FALSE(ParseRole(QStringLiteral("Admin"), &untouched));
    EXPECT_FALSE(ParseRole(QStringLiteral("root"), &untouched));
    EXPECT_EQ(untouched, Role::Viewer);
    EXPECT_LT(Role::Consumer, Role::Viewer);
    EXPECT_LT(Role::Operator, Role::Admin);
}
