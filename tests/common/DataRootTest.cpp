#include "common/DataRoot.h"
#include "common/DataRootLock.h"
#include "support/TempDataRoot.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

using namespace qst;
using qst::test::TempDataRoot;

TEST(DataPaths, EveryKindFromTheSerial)
{
    const QString r = QStringLiteral("/root");
    EXPECT_EQ(DataFilePath(r, DataKind::Hourly, 40000, 2010, 3), QStringLiteral("/root/DATA/HA40000/20103.dat"));
    EXPECT_EQ(DataFilePath(r, DataKind::Hourly, 7, 2010, 12), QStringLiteral("/root/DATA/HA7/201012.dat"));
    EXPECT_EQ(DataFilePath(r, DataKind::History, 7, 2011, 1), QStringLiteral("/root/DATA/CV7/20111.dat"));
    EXPECT_EQ(DataFilePath(r, DataKind::Daily, 7, 2010), QStringLiteral("/root/DATA/DA7/2010.dat"));
    EXPECT_EQ(DataFilePath(r, DataKind::Monthly, 7), QStringLiteral("/root/DATA/MA7/MA.dat"));
    EXPECT_EQ(DataFilePath(r, DataKind::Journal, 65535), QStringLiteral("/root/DATA/J65535/J.dat"));
    EXPECT_EQ(DataFilePath(r, DataKind::CurrentValues, 12), QStringLiteral("/root/DATA/12.dat"));
    EXPECT_EQ(TreeIniPath(r), QStringLiteral("/root/Tree.ini"));
}

TEST(DataPaths, OnlyDecimalSerialsInRangeBecomePaths)
{
    quint16 s = 0;
    EXPECT_TRUE(ParseSerial(u" 40000 ", &s));
    EXPECT_EQ(s, 40000);
    EXPECT_TRUE(ParseSerial(u"0", &s));
    EXPECT_EQ(s, 0);
    for (const char16_t *bad : {u"", u"65536", u"-1", u"+5", u"12a", u"../1", u"1 2", u"0x10", u"١٢"})
        EXPECT_FALSE(ParseSerial(bad, &s)) << QString::fromUtf16(bad).toStdString();
}

TEST(DataRoot, OptionWinsThenExecutableFolder)
{
    TempDataRoot root;
    EXPECT_EQ(ResolveDataRoot(root.path(), QStringLiteral("/nonexistent")), QDir(root.path()).absolutePath());
    EXPECT_EQ(ResolveDataRoot(QString(), root.path()), QDir(root.path()).absolutePath());
    // The packaged programs live in /usr/bin, which root may write: still the per-user folder.
    for (const QString &bin : {QStringLiteral("/usr/bin"), QStringLiteral("/usr/local/bin/"), QStringLiteral("/bin")})
        EXPECT_EQ(ResolveDataRoot(QString(), bin),
                  QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)))
            << bin.toStdString();
}

TEST(DataRootLock, SecondProcessIsRefusedWithAMessage)
{
    TempDataRoot root;
    QProcess holder;
    holder.start(QStringLiteral(QST_LOCK_HOLDER), {root.path()});
    ASSERT_TRUE(holder.waitForStarted(10000));
    ASSERT_TRUE(holder.waitForReadyRead(10000));
    ASSERT_EQ(holder.readLine().trimmed(), QByteArray("locked"));

    DataRootLock mine(root.path());
    QString error;
    EXPECT_FALSE(mine.TryLock(&error));
    EXPECT_TRUE(error.contains(QStringLiteral("уже используется"))) << error.toStdString();

    holder.closeWriteChannel();
    ASSERT_TRUE(holder.waitForFinished(10000));
    EXPECT_TRUE(mine.TryLock(&error)) << error.toStdString();
}

TEST(DataRootLock, LockOfACrashedProcessIsTakenOver)
{
    TempDataRoot root;
    QProcess holder;
    holder.start(QStringLiteral(QST_LOCK_HOLDER), {root.path()});
    ASSERT_TRUE(holder.waitForStarted(10000));
    ASSERT_TRUE(holder.waitForReadyRead(10000));
    const qint64 pid = holder.processId();
    holder.kill();
    ASSERT_TRUE(holder.waitForFinished(10000));

    DataRootLock mine(root.path());
    QString error, notice;
    EXPECT_TRUE(mine.TryLock(&error, &notice)) << error.toStdString();
    EXPECT_TRUE(notice.contains(QStringLiteral("снят"))) << "a takeover is said: " << notice.toStdString();
    EXPECT_TRUE(notice.contains(QString::number(pid))) << notice.toStdString();
}

// A kill between the lock file's creation and its write leaves it empty; a damaged one
// names nobody. With no live holder the next writer takes it over and says so.
TEST(DataRootLock, LockFileNamingNoHolderIsTakenOverWithANotice)
{
    for (const QByteArray &content : {QByteArray(), QByteArray("garbage\n"), QByteArray("\0\0\0", 3)}) {
        TempDataRoot root;
        const QString lockPath = root.file(QStringLiteral(".qst-archiver.lock"));
        QFile f(lockPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        f.close();
        DataRootLock mine(root.path());
        QString error, notice;
        EXPECT_TRUE(mine.TryLock(&error, &notice)) << error.toStdString();
        EXPECT_TRUE(notice.contains(QStringLiteral("снят"))) << notice.toStdString();
        DataRootLock second(root.path());
        EXPECT_FALSE(second.TryLock(&error)) << "the taken-over lock holds";
    }
}

TEST(DataRootLock, LiveHolderIsNeverTakenOver)
{
    TempDataRoot root;
    QProcess holder;
    holder.start(QStringLiteral(QST_LOCK_HOLDER), {root.path()});
    ASSERT_TRUE(holder.waitForStarted(10000));
    ASSERT_TRUE(holder.waitForReadyRead(10000));
    // Even with its name wiped, the holder's flock keeps the lock its own.
    QFile f(root.file(QStringLiteral(".qst-archiver.lock")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.close();
    DataRootLock mine(root.path());
    QString error, notice;
    EXPECT_FALSE(mine.TryLock(&error, &notice));
    EXPECT_TRUE(notice.isEmpty());
    holder.kill();
    holder.waitForFinished(10000);
}

TEST(DataRootLock, StaleTemporaryCopiesOfOurSavesGoOthersStay)
{
    TempDataRoot root;
    QDir(root.path()).mkpath(QStringLiteral("DATA/HA4100"));
    QDir(root.path()).mkpath(QStringLiteral("DATA/notes"));
    const QStringList stale = {"Tree.ini.aB3dE9", "DATA/4100.dat.Zz0000", "DATA/HA4100/20103.dat.q1w2e3",
                               "DATA/HA4100/MA.dat.AAAAAA"};
    const QStringList kept = {"Tree.ini",         "Tree.ini.bak",        "DATA/HA4100/20103.dat",
                              "DATA/notes/1.dat.abcdef", "DATA/HA4100/20103.dat.toolong1", "readme.txt.abcdef"};
    for (const QString &name : stale + kept)
        qst::test::WriteAll(root.file(name), "x");
    DataRootLock lock(root.path());
    QString error;
    ASSERT_TRUE(lock.TryLock(&error));
    for (const QString &name : stale)
        EXPECT_FALSE(QFile::exists(root.file(name))) << name.toStdString();
    for (const QString &name : kept)
        EXPECT_TRUE(QFile::exists(root.file(name))) << name.toStdString();
}
