#include "common/StorageError.h"
#include "common/TextFile.h"
#include "support/TempDataRoot.h"

#include <QDir>
#include <QFileInfo>

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

// A link at the final name is refused, never followed and never replaced, whatever it points
// at; so is a name that holds something other than a regular file.
TEST(TextFile, SaveNeverFollowsALinkAtTheFinalName)
{
    TempDataRoot root;
    const QString victim = root.file(QStringLiteral("elsewhere/victim"));
    QDir().mkpath(root.file(QStringLiteral("elsewhere")));
    QDir().mkpath(root.file(QStringLiteral("out")));
    const QString folder = root.file(QStringLiteral("out/folder.csv"));
    QDir().mkdir(folder);
    for (const bool dangling : {false, true}) {
        SCOPED_TRACE(dangling ? "dangling link" : "link to a file");
        QFile::remove(victim);
        if (!dangling)
            WriteAll(victim, "kept");
        const QString link = root.file(QStringLiteral("out/report.docx"));
        QFile::remove(link);
        ASSERT_TRUE(QFile::link(victim, link));
        try {
            SaveFileBytes(link, "new");
            FAIL() << "saved through a link";
        } catch (const StorageError &e) {
            EXPECT_TRUE(e.message().contains(QStringLiteral("символическая ссылка"))) << e.message().toStdString();
        }
        EXPECT_TRUE(QFileInfo(link).isSymLink());
        EXPECT_EQ(QFileInfo::exists(victim), !dangling);
        if (!dangling) {
            EXPECT_EQ(ReadAll(victim), QByteArray("kept"));
        }
    }
    EXPECT_THROW(SaveFileBytes(folder, "new"), StorageError);
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_EQ(QDir(root.file(QStringLiteral("out"))).entryList(QDir::Files | QDir::System | QDir::Hidden).size(), 1)
        << "no temporary left";
}

// A name at the file system's limit leaves no room for the temporary's suffix: the save
// still works, through a shorter temporary name.
TEST(TextFile, NameAtTheFileSystemsLimitIsSaved)
{
    TempDataRoot root;
    const int limit = FileNameLimit(root.path());
    ASSERT_GE(limit, 20);
    // Two-byte letters and one ASCII letter when the limit is odd: exactly `limit` bytes.
    const QString name = QString(limit / 2, u'я') + (limit % 2 ? QStringLiteral("a") : QString());
    ASSERT_EQ(name.toUtf8().size(), limit);
    const QString path = root.file(name);
    SaveFileBytes(path, "first");
    SaveFileBytes(path, "second");
    EXPECT_EQ(ReadAll(path), QByteArray("second"));
    EXPECT_EQ(QDir(root.path()).entryList(QDir::Files | QDir::Hidden), QStringList{name});
}

TEST(TextFile, FirstUnencodableCharacterIsNamed)
{
    EXPECT_EQ(FirstUnencodableChar(QStringLiteral("Школа № 5 «Ёлка» €")), QString());
    EXPECT_EQ(FirstUnencodableChar(QStringLiteral("ok ? \u4E2D")), QStringLiteral("\u4E2D"));
    EXPECT_EQ(FirstUnencodableChar(QStringLiteral("a\U0001F600b")), QStringLiteral("\U0001F600"));
}
