#include "common/StorageError.h"
#include "common/TextFile.h"
#include "support/TempDataRoot.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

using namespace qst;
using qst::test::ReadAll;
using qst::test::TempDataRoot;
using qst::test::WriteAll;

TEST(TextFile, SavesWindows1251WithCrLfAfterEveryLine)
{
    TempDataRoot root;
    const QString path = root.file(QStringLiteral("a.dat"));
    SaveLines(path, {QStringLiteral("Все\t"), QStringLiteral("№ 5")});
    EXPECT_EQ(ReadAll(path), QByteArray("\xC2\xF1\xE5\t\r\n\xB9 5\r\n"));
    EXPECT_EQ(LoadLines(path), (QStringList{QStringLiteral("Все\t"), QStringLiteral("№ 5")}));
}

TEST(TextFile, LoadAcceptsEveryLineEnd)
{
    TempDataRoot root;
    const QString path = root.file(QStringLiteral("b.dat"));
    WriteAll(path, "a\r\nb\nc\rd");
    EXPECT_EQ(LoadLines(path), (QStringList{"a", "b", "c", "d"}));
    EXPECT_TRUE(LoadLines(root.file(QStringLiteral("missing.dat"))).isEmpty());
}

TEST(TextFile, FailedSaveLeavesTheOldFileIntact)
{
    TempDataRoot root;
    const QString path = root.file(QStringLiteral("c.dat"));
    SaveLines(path, {QStringLiteral("old")});
    SetSaveFaultForTests([&](const QString &p) { return p == path; });
    EXPECT_THROW(SaveLines(path, {QStringLiteral("new"), QStringLiteral("longer")}), StorageError);
    SetSaveFaultForTests({});
    EXPECT_EQ(ReadAll(path), QByteArray("old\r\n"));
    EXPECT_EQ(QDir(root.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"c.dat"}) << "no temporary left";
}

TEST(TextFile, SaveIntoAMissingFolderFails)
{
    TempDataRoot root;
    EXPECT_THROW(SaveLines(root.file(QStringLiteral("nowhere/x.dat")), {QStringLiteral("x")}), StorageError);
}

TEST(TextFile, SpecialFilesAreRefusedNotRead)
{
    TempDataRoot root;
    const QString fifo = root.file(QStringLiteral("fifo.dat"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString folder = root.file(QStringLiteral("folder.dat"));
    ASSERT_TRUE(QDir().mkdir(folder));
    for (const QString &path : {fifo, folder, QStringLiteral("/dev/zero")}) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_THROW(ReadFileBytes(path), StorageError); // returns at once, never blocks
    }
}

TEST(TextFile, FailedSaveNamesTheSystemReason)
{
    TempDataRoot root;
    const QString path = root.file(QStringLiteral("nowhere/x.dat"));
    try {
        SaveLines(path, {QStringLiteral("x")});
        FAIL() << "saved into a missing folder";
    } catch (const StorageError &e) {
        EXPECT_TRUE(e.message().contains(SystemErrorText(ENOENT))) << e.message().toStdString();
    }
    EXPECT_EQ(SystemErrorText(ENOSPC), QString::fromLocal8Bit(std::strerror(ENOSPC)));
}

TEST(TextFile, FirstUnencodableCharacterIsNamed)
{
    EXPECT_EQ(FirstUnencodableChar(QStringLiteral("Школа № 5 «Ёлка» €")), QString());
    EXPECT_EQ(FirstUnencodableChar(QStringLiteral("ok ? \u4E2D")), QStringLiteral("\u4E2D"));
    EXPECT_EQ(FirstUnencodableChar(QStringLiteral("a\U0001F600b")), QStringLiteral("\U0001F600"));
}
