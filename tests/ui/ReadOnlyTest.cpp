// qst-archiver --read-only: views and reports only; nothing in the data root is created,
// changed or locked, even while a writer holds it.
#include "AppTexts.h"
#include "MainForm.h"
#include "UiSupport.h"

#include "common/ProfileFile.h"

#include <QAction>
#include <QCoreApplication>
#include <QDateTime>
#include <QDirIterator>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace qst;
using qst::test::TempDataRoot;

namespace {

// Every file and folder under the root with its bytes and modification time.
QMap<QString, QString> Snapshot(const QString &root)
{
    QMap<QString, QString> out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString stamp = QString::number(info.lastModified().toMSecsSinceEpoch());
        out.insert(path.mid(root.size()),
                   info.isDir() ? QStringLiteral("dir ") + stamp
                                : stamp + u' ' + QString::fromLatin1(qst::test::ReadAll(path).toHex()));
    }
    return out;
}

// What a read-only window must not offer.
QList<bool> WriteCommandStates(const TMainForm &form)
{
    return {form.NewGroupTB->isEnabled(),        form.AddTB->isEnabled(),          form.ReadArcTB->isEnabled(),
            form.DeleteTB->isEnabled(),          form.EditModemTB->isEnabled(),    form.StopTB->isEnabled(),
            form.PortsTB->isEnabled(),           form.MenuItem1->isEnabled(),      form.MenuItem2->isEnabled(),
            form.CurrTS->CurrReadTB->isEnabled(), form.HourTS->ReadTB->isEnabled(), form.DayTS->ReadTB->isEnabled(),
            form.MonthTS->ReadTB->isEnabled(),   form.JournalTS->ReadTB->isEnabled(), form.DatabaseTB->isEnabled()};
}

// Shows every meter page of the selected node, then closes the window as the operator does.
void BrowseAndClose(TMainForm &form)
{
    for (int page = 0; page < form.MainPC->count(); ++page) {
        form.MainPC->setCurrentIndex(page);
        QCoreApplication::processEvents();
    }
    form.RefreshTB->click();
    form.close();
}

} // namespace

TEST(ReadOnlyMode, DataRootWithoutTreeIniStaysEmpty)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    {
        TMainForm form(dir.path(), TMainForm::Access::ReadOnly);
        form.show();
        QCoreApplication::processEvents();
        EXPECT_TRUE(form.IsReadOnly());
        EXPECT_EQ(form.engine(), nullptr);
        EXPECT_FALSE(form.Timer1->isActive());
        EXPECT_FALSE(form.Timer2->isActive());
        EXPECT_FALSE(form.Timer3->isActive());
        EXPECT_TRUE(form.windowTitle().startsWith(ui::kTitlePrefix));
        EXPECT_TRUE(form.windowTitle().endsWith(ui::kReadOnlyTitle));
        EXPECT_EQ(WriteCommandStates(form), QList<bool>(15, false));
        EXPECT_TRUE(form.RefreshTB->isEnabled());
        ASSERT_EQ(form.MainTree->topLevelItemCount(), 1);
        EXPECT_EQ(form.MainTree->topLevelItem(0)->childCount(), 0);
        form.SelectNode(0);
        BrowseAndClose(form);
    }
    EXPECT_TRUE(Snapshot(dir.path()).isEmpty()) << QStringList(Snapshot(dir.path()).keys()).join(u' ').toStdString();
}

// The same window without --read-only writes (DATA, the layout): the check above can fail.
TEST(ReadOnlyMode, WritingWindowOnTheSameEmptyRootDoesWrite)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    {
        TMainForm form(dir.path(), TMainForm::Access::ReadWrite, false);
        form.show();
        QCoreApplication::processEvents();
        EXPECT_EQ(WriteCommandStates(form), QList<bool>(15, true));
        form.close();
    }
    const QMap<QString, QString> files = Snapshot(dir.path());
    EXPECT_TRUE(files.contains(QStringLiteral("/DATA")));
    EXPECT_TRUE(files.contains(QStringLiteral("/Tree.ini")));
}

TEST(ReadOnlyMode, ViewsADataRootThatARunningServiceHolds)
{
    TempDataRoot root;
    qst::test::CopyFixtureTree(root);
    // No scheduled poll may fall into the test; the fixture's meter 1 keeps its DevType=0,
    // which a writing window would rewrite.
    ProfileFile(TreeIniPath(root.path())).WriteString(QStringLiteral("C2"), QStringLiteral("Schedule"), QString());

    QProcess service;
    service.setProcessChannelMode(QProcess::MergedChannels);
    service.start(QStringLiteral(QST_CLI), {QStringLiteral("run"), QStringLiteral("--data-dir"), root.path()});
    QByteArray said;
    for (int i = 0; i < 100 && !said.contains("polling by schedule"); ++i) {
        service.waitForReadyRead(100);
        said += service.readAll();
    }
    ASSERT_TRUE(said.contains("polling by schedule")) << said.toStdString();
    ASSERT_TRUE(QFileInfo::exists(root.file(QStringLiteral(".qst-archiver.lock"))));
    const QMap<QString, QString> before = Snapshot(root.path());

    {
        TMainForm form(root.path(), TMainForm::Access::ReadOnly);
        form.show();
        QCoreApplication::processEvents();
        ASSERT_EQ(form.MainTree->topLevelItemCount(), 1);
        EXPECT_EQ(form.MainTree->topLevelItem(0)->child(0)->text(0), QStringLiteral("130 (Детский сад) ул. Ленина, 5"));
        form.SelectNode(form.treeModel().FindMeterNode(1));
        EXPECT_TRUE(form.MainPanel->isVisible());
        BrowseAndClose(form);
    }

    // The program itself: no refusal because of the lock; it runs until told to close.
    QProcess viewer;
    viewer.setProcessChannelMode(QProcess::MergedChannels);
    viewer.start(QStringLiteral(QST_ARCHIVER), {QStringLiteral("--read-only"), QStringLiteral("--data-dir"), root.path(),
                                                QStringLiteral("-platform"), QStringLiteral("offscreen")});
    ASSERT_TRUE(viewer.waitForStarted());
    EXPECT_FALSE(viewer.waitForFinished(2000)) << viewer.readAll().toStdString();
    viewer.terminate(); // SIGTERM closes the window as its close command does
    ASSERT_TRUE(viewer.waitForFinished(10000));
    EXPECT_EQ(viewer.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(viewer.exitCode(), 0) << viewer.readAll().toStdString();

    const QMap<QString, QString> after = Snapshot(root.path());
    EXPECT_EQ(after.keys(), before.keys());
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        EXPECT_EQ(after.value(it.key()), it.value()) << it.key().toStdString();

    service.terminate();
    EXPECT_TRUE(service.waitForFinished(10000));
    EXPECT_EQ(service.exitCode(), 0);
}
