// The report page's start button: the document written, asked about, shown.
#include "AppTexts.h"
#include "Dialogs.h"
#include "MainForm.h"
#include "UiSupport.h"
#include "../reports/DocxReader.h"

#include "common/DayCount.h"
#include "storage/ArchiveFiles.h"
#include "reports/ReportTables.h"
#include "storage/RecordWriters.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace qst;
using qst::test::CopyFixtureTree;
using qst::test::OnModal;
using qst::test::TempDataRoot;

namespace {

class ReportPageTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CopyFixtureTree(root);
        // Hourly records of meter 6 (serial 99) from the 5th to the 7th of March 2021, daily
        // records of the 5th and 6th.
        const StorageTarget target{root.path(), nullptr};
        for (int day = 5; day <= 7; ++day) {
            for (int h = 0; h < 24; ++h) {
                ArchiveValues a;
                a.time = DayCountFromParts(QDate(2021, 3, day), QTime(h, 0));
                a.F[0] = 0.5f;
                a.F[6] = 1;
                a.F[21] = 60;
                SaveArchiveLine(target, 1, 99, true, 0, kHourlyArchive, a);
            }
            ArchiveValues d;
            d.time = DayCountFromDate(QDate(2021, 3, day));
            d.F[0] = 12;
            d.F[21] = 24 * 60;
            SaveArchiveLine(target, 1, 99, true, 0, kDailyArchive, d);
        }
        form = std::make_unique<TMainForm>(root.path(), false);
        form->SetDocumentOpener([this](const QString &file) {
            shown.append(file);
            return true;
        });
        form->show();
        form->MainTree->clearSelection();
        form->SelectNode(form->treeModel().FindMeterNode(6));
        ReportPage *page = form->ReportTS;
        page->SetTypeIndex(kHourlyReport);
        page->FromCB->setDateTime(QDateTime(QDate(2021, 3, 5), QTime(12, 0)));
        page->ToCB->setDateTime(QDateTime(QDate(2021, 3, 6), QTime(12, 0)));
    }

    // Clicks the start button; a message box is expected when `answer` is 0 or 1, and answered.
    QString Start(int answer = -1)
    {
        QString text;
        if (answer >= 0)
            OnModal(QStringLiteral("MsgForm"), [&text, answer](QWidget *w) {
            auto *m = static_cast<TMsgForm *>(w);
            text = m->Memo->toPlainText();
            if (answer == 0)
                m->NoBtn1->click();
            else
                (m->OkBtn->isVisible() ? m->OkBtn : m->YesBtn1)->click();
        });
        form->ReportTS->StartRepBtn->click();
        return text;
    }

    TempDataRoot root;
    std::unique_ptr<TMainForm> form;
    QStringList shown;
};

} // namespace

TEST_F(ReportPageTest, SavesAsDocxAndShowsIt)
{
    EXPECT_TRUE(form->ReportTS->StartRepBtn->isEnabled());
    // A name from the .doc days is saved as .docx.
    const QString name = root.file(QStringLiteral("protocol.doc"));
    form->ReportTS->SaveEdit->setText(name);
    EXPECT_EQ(Start(), QString());
    ASSERT_EQ(shown, QStringList{name + u'x'});
    const test::DocxDocument d = test::ReadDocxFile(name + u'x');
    ASSERT_TRUE(d.valid) << d.error.toStdString();
    EXPECT_EQ(d.blocks.first().text, QStringLiteral("Часовой протокол учёта тепловой энергии воды"));
    EXPECT_EQ(d.Tables()[0]->rows[4].cells[1].Text(), QStringLiteral("Зав. №: 99"));

    // Overwrite refused: nothing saved, the document still shown from a file of its own.
    QFile::resize(name + u'x', 3);
    EXPECT_EQ(Start(0), QStringLiteral("Указанный файл существует. Перезаписать?"));
    EXPECT_EQ(QFileInfo(name + u'x').size(), 3);
    ASSERT_EQ(shown.size(), 2);
    EXPECT_NE(shown[1], name + u'x');
    EXPECT_TRUE(test::ReadDocxFile(shown[1]).valid);
    // Accepted: replaced.
    EXPECT_EQ(Start(1), QStringLiteral("Указанный файл существует. Перезаписать?"));
    EXPECT_TRUE(test::ReadDocxFile(name + u'x').valid);
}

TEST_F(ReportPageTest, BlankFileNameShowsATemporaryStatement)
{
    form->ReportTS->SaveEdit->setText(QStringLiteral("   "));
    form->ReportTS->MOEKCB->setChecked(true);
    form->ReportTS->FromCB->setDateTime(QDateTime(QDate(2021, 3, 5), QTime(12, 0)));
    form->ReportTS->ToCB->setDateTime(QDateTime(QDate(2021, 3, 5), QTime(12, 0)));
    EXPECT_EQ(Start(), QString());
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(QFileInfo(shown[0]).fileName().startsWith(QStringLiteral("Ведомость 99 05.03.2021")));
    const test::DocxDocument doc = test::ReadDocxFile(shown[0]);
    ASSERT_TRUE(doc.valid);
    EXPECT_TRUE(doc.landscape);
    QFile::remove(shown[0]);
}

TEST_F(ReportPageTest, RefusedPeriodShowsTheMessageAndNothingElse)
{
    form->ReportTS->SaveEdit->setText(root.file(QStringLiteral("late.docx")));
    form->ReportTS->ToCB->setDateTime(QDateTime(QDate(2021, 3, 20), QTime(12, 0)));
    EXPECT_TRUE(Start(1).startsWith(QStringLiteral("Дата конца отчетного периода должна быть меньше ")));
    EXPECT_TRUE(shown.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(root.file(QStringLiteral("late.docx"))));
}

TEST_F(ReportPageTest, UnwritableTargetIsReportedWithTheReason)
{
    const QString target = root.file(QStringLiteral("missing/folder/p.docx"));
    form->ReportTS->SaveEdit->setText(target);
    const QString message = Start(1);
    EXPECT_TRUE(message.startsWith(target)) << message.toStdString();
    EXPECT_TRUE(shown.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(target));
}

TEST_F(ReportPageTest, MeterWithoutRecordsIsRefusedWithoutAZeroDate)
{
    // Meter 2 (serial 77) has never been read.
    form->MainTree->clearSelection();
    form->SelectNode(form->treeModel().FindMeterNode(2));
    form->ReportTS->SaveEdit->setText(root.file(QStringLiteral("none.docx")));
    const QString told = Start(1);
    EXPECT_EQ(told, QStringLiteral("В архиве прибора нет данных для отчета!"));
    EXPECT_FALSE(told.contains(QStringLiteral("1899")));
    EXPECT_TRUE(shown.isEmpty());
}

TEST_F(ReportPageTest, NoViewerShowsTheWholePathAndOpensItsFolder)
{
    form->SetDocumentOpener([](const QString &) { return false; });
    QStringList folders;
    form->MsgForm->SetFolderOpener([&folders](const QString &folder) { folders << folder; });
    const QString name = root.file(QStringLiteral("очень длинное имя файла отчёта о тепловой энергии.docx"));
    form->ReportTS->SaveEdit->setText(name);
    QString text;
    bool pathHeld = false;
    OnModal(QStringLiteral("MsgForm"), [&](QWidget *w) {
        auto *m = static_cast<TMsgForm *>(w);
        text = m->Memo->toPlainText();
        pathHeld = m->Memo->document()->size().height() <= m->Memo->viewport()->height();
        EXPECT_TRUE(m->FolderBtn->isVisible());
        m->FolderBtn->click();
        m->OkBtn->click();
    });
    form->ReportTS->StartRepBtn->click();
    EXPECT_TRUE(text.endsWith(QDir::toNativeSeparators(name))) << text.toStdString();
    EXPECT_TRUE(pathHeld) << "the path is cut off";
    EXPECT_EQ(folders, QStringList{QFileInfo(name).absolutePath()});
    // A plain message has no folder button.
    form->MsgForm->Prepare(QStringLiteral("?"), 0);
    EXPECT_TRUE(form->MsgForm->FolderBtn->isHidden());
}
