#include "AppTexts.h"
#include "Dialogs.h"
#include "MainForm.h"
#include "storage/ArchiveView.h"
#include "UiSupport.h"

#include "common/DayCount.h"
#include "common/TextFile.h"
#include "exchange/ExchangeEngine.h"
#include "exchange/MeterHealth.h"
#include "exchange/MeterSummary.h"
#include "SummaryPage.h"
#include "registry/MeterRecord.h"
#include "registry/Registry.h"
#include "storage/ArchiveFiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTimeEdit>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimeEdit>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace qst;
using qst::test::CopyFixtureTree;
using qst::test::OnModal;
using qst::test::TempDataRoot;

namespace {

QStringList ChildTexts(QTreeWidgetItem *item)
{
    QStringList out;
    for (int i = 0; i < item->childCount(); ++i)
        out << item->child(i)->text(0);
    return out;
}

// Answers the next message box with `answer` and records its text.
void AnswerMessage(QString *text, int answer = 1)
{
    OnModal(QStringLiteral("MsgForm"), [text, answer](QWidget *w) {
        auto *m = static_cast<TMsgForm *>(w);
        *text = m->Memo->toPlainText();
        if (answer == 0)
            m->NoBtn1->click();
        else
            (m->OkBtn->isVisible() ? m->OkBtn : m->YesBtn1)->click();
    });
}

class MainFormTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CopyFixtureTree(root);
        form = std::make_unique<TMainForm>(root.path(), false);
        form->show();
    }

    QTreeWidgetItem *Root() const { return form->MainTree->topLevelItem(0); }
    void Select(int node)
    {
        form->MainTree->clearSelection();
        form->SelectNode(node);
    }
    QString Ini() const { return DecodeCp1251(qst::test::ReadAll(TreeIniPath(root.path()))); }

    TempDataRoot root;
    std::unique_ptr<TMainForm> form;
};

} // namespace

TEST_F(MainFormTest, StartsWithSortedTreeAndPagesSet)
{
    EXPECT_TRUE(form->windowTitle().startsWith(ui::kTitlePrefix));
    EXPECT_TRUE(form->windowTitle().endsWith(u')'));
    EXPECT_TRUE(QDir(root.file(QStringLiteral("DATA"))).exists());
    EXPECT_FALSE(form->MainPanel->isVisible());
    EXPECT_EQ(form->MainPC->currentIndex(), 5);
    EXPECT_EQ(form->MainPC->tabText(5), QStringLiteral("Отчётность"));
    ASSERT_EQ(form->MainPC->count(), 9);
    EXPECT_EQ(form->MainPC->tabText(7), QStringLiteral("График"));
    EXPECT_EQ(form->MainPC->tabText(8), QStringLiteral("Сводка"));
    EXPECT_FALSE(form->borderPicture().isNull());

    ASSERT_EQ(form->MainTree->topLevelItemCount(), 1);
    EXPECT_EQ(Root()->text(0), QStringLiteral("Все"));
    EXPECT_EQ(ChildTexts(Root()),
              (QStringList{QStringLiteral("130 (Детский сад) ул. Ленина, 5"), QStringLiteral("99 (Склад) "),
                           QStringLiteral("abc (Баня) "), QStringLiteral("Котельная №1"), QStringLiteral("Пустая")}));
    QTreeWidgetItem *boiler = Root()->child(3);
    EXPECT_EQ(ChildTexts(boiler), (QStringList{QStringLiteral("4500 (Магазин) "), QStringLiteral("77 (Жилой дом) "),
                                               QStringLiteral("Школы")}));
    EXPECT_EQ(ChildTexts(boiler->child(2)), QStringList{QStringLiteral("1200 (Школа №7) ")});
    EXPECT_TRUE(boiler->child(2)->isExpanded());
    EXPECT_TRUE(Ini().contains(QStringLiteral("[C1]\r\nParent=0\r\nName=Детский сад\r\nSerial=130\r\nAddress=1\r\nCom=3\r\n"
                                              "DevType=1\r\n")));
    EXPECT_TRUE(form->MainTree->selectedItems().isEmpty());

    // Periods from now; the report's end keeps the time of day, so it is not midnight.
    const QDate today = QDate::currentDate();
    EXPECT_EQ(form->HourTS->FromDate->date(), today.addDays(-7));
    EXPECT_EQ(form->MonthTS->FromDate->date(), today.addDays(-365));
    EXPECT_EQ(form->DayTS->FromDate->date().day(), 1);
    EXPECT_EQ(form->ReportTS->ToCB->date(), today);
    EXPECT_EQ(form->ReportTS->ToCB->time(), form->HourTS->ToTime->time());
    EXPECT_EQ(form->ReportTS->FromCB->date(), today.addDays(-30));
}

TEST_F(MainFormTest, SearchSelectsFirstMeterWithCyrillicInAnyCase)
{
    form->MainPC->setCurrentIndex(0);
    form->SearchEdit->setText(QStringLiteral("  школа "));
    const int node = form->SelectedNode();
    ASSERT_GE(node, 0);
    EXPECT_EQ(form->treeModel().nodes[node].data, 3);
    EXPECT_TRUE(form->MainPanel->isVisible());
    EXPECT_EQ(form->HeaderPanel->text(), QStringLiteral("1200 (Школа №7) "));

    form->SearchEdit->setText(QStringLiteral("котельная")); // a group caption only: selection stays
    EXPECT_EQ(form->SelectedNode(), node);
    form->SearchEdit->setText(QStringLiteral("   "));
    EXPECT_EQ(form->SelectedNode(), node);

    // Selecting a group shows only the summary of its meters.
    Select(form->treeModel().FindGroupNode(1));
    EXPECT_TRUE(form->MainPanel->isVisible());
    EXPECT_EQ(form->MainPC->currentWidget(), form->SummaryTS);
    for (int i = 0; i < form->MainPC->count(); ++i)
        EXPECT_EQ(form->MainPC->isTabVisible(i), form->MainPC->widget(i) == form->SummaryTS) << i;
    QStringList serials;
    for (const MeterSummaryRow &r : form->SummaryTS->model()->rows())
        serials << QString::number(r.serial);
    serials.sort();
    EXPECT_EQ(serials, (QStringList{QStringLiteral("1200"), QStringLiteral("4500"), QStringLiteral("77")}));
    // The root: every meter with a serial. A meter again: all its pages.
    Select(0);
    EXPECT_EQ(form->MainPC->currentWidget(), form->SummaryTS);
    EXPECT_GT(form->SummaryTS->model()->rowCount(), 3);
    Select(node);
    EXPECT_TRUE(form->MainPC->isTabVisible(0));
}

TEST_F(MainFormTest, AddMeterToTheSelectedMetersGroup)
{
    QString message;
    AnswerMessage(&message);
    form->AddTB->click();
    EXPECT_EQ(message, ui::kChooseGroup);

    Select(form->treeModel().FindMeterNode(3)); // a meter in group 2
    OnModal(QStringLiteral("NewCounterForm"), [](QWidget *w) {
        auto *f = static_cast<TNewCounterForm *>(w);
        f->NameEdit->setText(QStringLiteral(" Гимназия "));
        f->SerialEdit->setText(QStringLiteral("310"));
        f->NetAdrEdit->setText(QStringLiteral("4"));
        f->PortCB->setCurrentIndex(1);
        f->OkBtn->click();
    });
    form->AddTB->click();
    EXPECT_EQ(form->registry().MaxMeterNumber(), 7);
    EXPECT_EQ(form->registry().file().ReadString(GroupSection(2), reg::kCList), QStringLiteral("3,7"));
    EXPECT_EQ(form->registry().file().ReadString(MeterSection(7), reg::kParent), QStringLiteral("2"));
    EXPECT_EQ(form->registry().file().ReadString(MeterSection(7), reg::kCom), QStringLiteral("2"));
    EXPECT_TRUE(Ini().contains(QStringLiteral("[C7]\r\nName=Гимназия\r\nSerial=310\r\n")));
    EXPECT_TRUE(form->MainTree->selectedItems().isEmpty());

    // Cancelled: nothing written.
    Select(0);
    OnModal(QStringLiteral("NewCounterForm"), [](QWidget *w) { static_cast<TNewCounterForm *>(w)->CancelBtn->click(); });
    form->AddTB->click();
    EXPECT_EQ(form->registry().MaxMeterNumber(), 7);
}

TEST_F(MainFormTest, CreateEditAndDeleteGroups)
{
    QString message;
    AnswerMessage(&message);
    form->NewGroupTB->click();
    EXPECT_EQ(message, ui::kChooseRootGroup);

    Select(form->treeModel().FindMeterNode(2)); // meter in group 1: the new group goes under group 1
    OnModal(QStringLiteral("NewFolderForm"), [](QWidget *w) {
        auto *f = static_cast<TNewFolderForm *>(w);
        EXPECT_TRUE(f->MainEdit->text().isEmpty());
        f->MainEdit->setText(QStringLiteral(" Новая "));
        f->OkBtn->click();
    });
    form->NewGroupTB->click();
    EXPECT_EQ(form->registry().file().ReadString(reg::kTree, reg::kGroupList), QStringLiteral("1,2,3,4"));
    EXPECT_EQ(form->registry().file().ReadString(GroupSection(4), reg::kParent), QStringLiteral("1"));
    EXPECT_TRUE(Ini().contains(QStringLiteral("Name= Новая \r\n")));

    // Rename: the dialog shows the name; afterwards the root is selected and the pages hidden.
    Select(form->treeModel().FindMeterNode(2));
    EXPECT_TRUE(form->MainPanel->isVisible());
    Select(form->treeModel().FindGroupNode(3));
    OnModal(QStringLiteral("NewFolderForm"), [](QWidget *w) {
        auto *f = static_cast<TNewFolderForm *>(w);
        EXPECT_EQ(f->MainEdit->text(), QStringLiteral("Пустая"));
        f->MainEdit->setText(QStringLiteral("Пустая группа"));
        f->OkBtn->click();
    });
    form->MenuItem1->trigger();
    EXPECT_EQ(form->registry().file().ReadString(GroupSection(3), reg::kName), QStringLiteral("Пустая группа"));
    EXPECT_EQ(form->SelectedNode(), 0);
    EXPECT_EQ(form->MainPC->currentWidget(), form->SummaryTS);

    // A group with children is refused; an empty one is asked about first.
    Select(form->treeModel().FindGroupNode(1));
    AnswerMessage(&message);
    form->DeleteTB->click();
    EXPECT_EQ(message, ui::kGroupNotEmpty);
    EXPECT_TRUE(form->registry().file().HasSection(GroupSection(1)));

    Select(form->treeModel().FindGroupNode(3));
    AnswerMessage(&message, 0);
    form->DeleteTB->click();
    EXPECT_EQ(message, ui::kConfirmDelete);
    EXPECT_TRUE(form->registry().file().HasSection(GroupSection(3)));
    AnswerMessage(&message, 1);
    form->DeleteTB->click();
    EXPECT_FALSE(form->registry().file().HasSection(GroupSection(3)));
    EXPECT_EQ(form->registry().file().ReadString(reg::kTree, reg::kGroupList), QStringLiteral("1,2,4"));

    form->MainTree->clearSelection();
    AnswerMessage(&message);
    form->DeleteTB->click();
    EXPECT_EQ(message, ui::kChooseForDelete);
}

TEST_F(MainFormTest, EditMeterWithoutPortAsksForOneAndDeleteRemovesData)
{
    Select(form->treeModel().FindMeterNode(5)); // "Магазин" has no Com
    QString message;
    OnModal(QStringLiteral("NewCounterForm"), [&message](QWidget *w) {
        auto *f = static_cast<TNewCounterForm *>(w);
        EXPECT_EQ(f->PortCB->currentIndex(), -1);
        EXPECT_EQ(f->NameEdit->text(), QStringLiteral("Магазин"));
        AnswerMessage(&message);
        f->OkBtn->click();
        f->PortCB->setCurrentIndex(8);
        f->PhoneEdit->setText(QStringLiteral(" 123 "));
        f->OkBtn->click();
    });
    form->MenuItem1->trigger();
    EXPECT_EQ(message, ui::kNeedPort);
    EXPECT_EQ(form->registry().file().ReadString(MeterSection(5), reg::kCom), QStringLiteral("9"));
    EXPECT_EQ(form->registry().file().ReadString(MeterSection(5), reg::kPhone), QStringLiteral("123"));
    EXPECT_EQ(form->registry().file().ReadString(MeterSection(5), reg::kParent), QStringLiteral("1"));
    EXPECT_EQ(form->SelectedNode(), 0);

    QDir data(DataFolderPath(root.path()));
    ASSERT_TRUE(data.mkpath(QStringLiteral("HA4500")));
    qst::test::WriteAll(data.filePath(QStringLiteral("4500.dat")), "[CURRDATA]\r\n");
    Select(form->treeModel().FindMeterNode(5));
    AnswerMessage(&message, 1);
    form->DeleteTB->click();
    EXPECT_FALSE(form->registry().file().HasSection(MeterSection(5)));
    EXPECT_EQ(form->registry().file().ReadString(GroupSection(1), reg::kCList), QStringLiteral("2"));
    EXPECT_FALSE(data.exists(QStringLiteral("HA4500")));
    EXPECT_FALSE(data.exists(QStringLiteral("4500.dat")));
    EXPECT_EQ(form->treeModel().FindMeterNode(5), -1);
}

TEST_F(MainFormTest, ReadButtonsQueueCurrentValuesFirst)
{
    form->HourTS->FromDate->setDate(QDate::currentDate().addDays(-2));
    form->HourTS->ToDate->setDate(QDate::currentDate());
    form->HourTS->ReadTB->click(); // no meter selected: nothing
    EXPECT_EQ(form->engine()->queue().Size(), 0);

    Select(form->treeModel().FindMeterNode(6)); // serial 99, port 4
    form->HourTS->ReadTB->click();
    QList<TQueueItem> items = form->engine()->queue().Items();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[0].kind, kRequestCurrent);
    EXPECT_EQ(items[1].kind, kRequestHourly);
    EXPECT_EQ(items[1].serial, 99);
    EXPECT_EQ(items[1].port, 4);

    form->CurrTS->CurrReadTB->click();
    EXPECT_EQ(form->engine()->queue().Size(), 3);
    form->Timer1Tick();
    EXPECT_EQ(form->Memo1->document()->blockCount(), 3);
    EXPECT_TRUE(form->Memo1->toPlainText().contains(QStringLiteral(" С/Н99 Порт4 Mодем0")));

    // A reversed period is refused with a message and queues nothing.
    form->DayTS->FromDate->setDate(QDate::currentDate());
    form->DayTS->ToDate->setDate(QDate::currentDate().addDays(-1));
    QString message;
    AnswerMessage(&message);
    form->DayTS->ReadTB->click();
    EXPECT_EQ(message, QStringLiteral("Дата начала должна быть меньше даты конца периода!"));
    EXPECT_EQ(form->engine()->queue().Size(), 3);

    form->StopTB->trigger();
    EXPECT_EQ(form->engine()->queue().Size(), 0);
}

// A read of a period that reaches past the read-up-to mark asks only for what is missing,
// unless the operator wants it all again ("Перезаписать") or unticks "only missing".
TEST_F(MainFormTest, ReadOfAPeriodStartsAtTheReadUpToMark)
{
    const QDate today = QDate::currentDate();
    const QDateTime hourMark(today.addDays(-1), QTime(12, 0));
    const QDateTime dayMark(today.addDays(-3).startOfDay());
    form->registry().file().WriteDateTime(MeterSection(6), reg::kLastH, hourMark);
    form->registry().file().WriteDateTime(MeterSection(6), reg::kLastD, dayMark);
    Select(form->treeModel().FindMeterNode(6)); // serial 99
    const struct
    {
        ArchivePage *page;
        bool missingOnly, reread;
        QDate from, to;
        QDateTime expectedStart;
    } cases[] = {
        {form->HourTS, true, false, today.addDays(-2), today, hourMark},
        {form->HourTS, false, false, today.addDays(-2), today, today.addDays(-2).startOfDay()},
        {form->HourTS, true, true, today.addDays(-2), today, today.addDays(-2).startOfDay()},
        // The period ends before the mark: an old period is read again as chosen.
        {form->HourTS, true, false, today.addDays(-5), today.addDays(-3), today.addDays(-5).startOfDay()},
        // The period starts after the mark: nothing to move.
        {form->HourTS, true, false, today, today, today.startOfDay()},
        {form->DayTS, true, false, today.addDays(-10), today, dayMark},
        {form->DayTS, false, false, today.addDays(-10), today, today.addDays(-10).startOfDay()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.page->objectName().toStdString() + (c.missingOnly ? " missing" : " all")
                     + (c.reread ? " reread" : "") + " " + c.from.toString(Qt::ISODate).toStdString());
        form->StopTB->trigger();
        ASSERT_EQ(form->engine()->queue().Size(), 0);
        c.page->FromDate->setDate(c.from);
        c.page->ToDate->setDate(c.to);
        if (c.page->FromTime) {
            c.page->FromTime->setTime(QTime(0, 0));
            c.page->ToTime->setTime(QTime(23, 0));
        }
        c.page->MissingCB->setChecked(c.missingOnly);
        c.page->RereadCB->setChecked(c.reread);
        c.page->ReadTB->click();
        const QList<TQueueItem> items = form->engine()->queue().Items();
        ASSERT_EQ(items.size(), 2);
        EXPECT_EQ(DateTimeFromDayCount(items[1].start), c.expectedStart);
    }
    form->StopTB->trigger();
}

TEST_F(MainFormTest, HourlyPageShowsFixtureArchive)
{
    const QString path = DataFilePath(root.path(), DataKind::Hourly, 99, 2021, 3);
    QDir().mkpath(QFileInfo(path).path());
    LineBuilder b;
    b.Time(DayCountFromParts(QDate(2021, 3, 5), QTime(10, 0)));
    for (int f = 1; f <= 19; ++f)
        b.Real(f == 12 ? 70.5 : f == 13 ? 40.25 : 1.5);
    for (int f = 20; f < kArchiveFieldsV1; ++f) // a whole first-version line
        b.Int(0);
    SaveLines(path, {b.line(), QStringLiteral("broken\t")});

    form->HourTS->FromDate->setDate(QDate(2021, 3, 1));
    form->HourTS->FromTime->setTime(QTime(0, 0));
    form->HourTS->ToDate->setDate(QDate(2021, 3, 31));
    form->MainPC->setCurrentIndex(1);
    Select(form->treeModel().FindMeterNode(6));
    ASSERT_EQ(form->HourTS->Models[0]->rowCount(), 1);
    EXPECT_EQ(form->HourTS->Models[0]->DisplayText(0, 8), QStringLiteral("30,25"));
    EXPECT_EQ(form->HourTS->Models[2]->rowCount(), 1);
    form->resize(1200, 800);
    qst::test::Screenshot(form.get(), QStringLiteral("hourly"));

    // A meter without a valid serial shows empty tables.
    Select(form->treeModel().FindMeterNode(4));
    EXPECT_EQ(form->HourTS->Models[0]->rowCount(), 0);
    form->MainPC->setCurrentIndex(0);
    Select(form->treeModel().FindMeterNode(2));
    qst::test::Screenshot(form.get(), QStringLiteral("current"));
    form->MainPC->setCurrentIndex(5);
    qst::test::Screenshot(form.get(), QStringLiteral("report"));
}

TEST(MainFormShell, VisualSavedOnCloseAndRestored)
{
    TempDataRoot root;
    {
        TMainForm form(root.path(), false);
        EXPECT_EQ(form.size(), QSize(1024, 768));
        EXPECT_EQ(form.pos(), QPoint(0, 0));
        form.show();
        form.resize(900, 700);
        form.move(40, 30);
        QApplication::processEvents();
        form.Splitter2->setSizes({250, 600});
        form.close();
    }
    Registry registry(TreeIniPath(root.path()));
    EXPECT_EQ(registry.file().ReadInteger(reg::kVisual, QStringLiteral("Width"), 0), 900);
    EXPECT_EQ(registry.file().ReadInteger(reg::kVisual, QStringLiteral("Height"), 0), 700);
    EXPECT_EQ(registry.file().ReadInteger(reg::kVisual, QStringLiteral("Left"), 0), 40);
    EXPECT_EQ(registry.file().ReadInteger(reg::kVisual, QStringLiteral("SP2"), 0), 250);
    const qint64 sp1 = registry.file().ReadInteger(reg::kVisual, QStringLiteral("SP1"), -1);
    EXPECT_GT(sp1, 0);

    TMainForm again(root.path(), false);
    again.show();
    QApplication::processEvents();
    EXPECT_EQ(again.size(), QSize(900, 700));
    EXPECT_EQ(again.pos(), QPoint(40, 30));
    EXPECT_EQ(again.Splitter2->sizes().value(0), 250);
    EXPECT_EQ(again.Splitter1->sizes().value(0), sp1);
}

TEST(MainFormShell, LogPaneKeeps201LinesPerPortPage)
{
    TempDataRoot root;
    TMainForm form(root.path(), false);
    for (int i = 1; i <= 202; ++i)
        form.log().WriteLog(3, QStringLiteral("строка %1").arg(i));
    form.log().WriteLog(1, QStringLiteral("другой порт"));
    ASSERT_EQ(form.LogPC->count(), 2);
    EXPECT_EQ(form.LogPC->tabText(0), QStringLiteral("Порт: 3"));
    EXPECT_EQ(form.LogPC->tabText(1), QStringLiteral("Порт: 1"));
    QPlainTextEdit *page = form.log().Page(3);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->document()->blockCount(), 201);
    EXPECT_TRUE(page->document()->firstBlock().text().endsWith(QStringLiteral("] строка 2")));
    EXPECT_TRUE(page->document()->firstBlock().text().startsWith(u'['));
    EXPECT_TRUE(page->document()->lastBlock().text().endsWith(QStringLiteral("] строка 202")));
}

TEST_F(MainFormTest, BrokenRegistryEntryShowsDefaults)
{
    qst::test::WriteAll(DataFilePath(root.path(), DataKind::CurrentValues, 0), "[CURRDATA]\r\nQ1=5\r\n");
    form->MainPC->setCurrentIndex(0);
    Select(form->treeModel().FindMeterNode(4)); // Serial "abc", DU "abc": no file is named from them
    EXPECT_TRUE(form->MainPanel->isVisible());
    EXPECT_EQ(form->CurrTS->Box(QStringLiteral("Q1"))->text(), QString());
    EXPECT_EQ(form->CurrTS->Box(QStringLiteral("GMin1"))->text(), QString());
    EXPECT_EQ(form->CurrTS->Box(QStringLiteral("Scheme2"))->text(), QString());
    EXPECT_EQ(form->CurrTS->Box(QStringLiteral("DT"))->text(), QStringLiteral("не считывались"));

    // The read buttons need a serial that is a number.
    form->CurrTS->CurrReadTB->click();
    EXPECT_EQ(form->engine()->queue().Size(), 0);
}

TEST_F(MainFormTest, PortsDialogShowsAndWritesTheMapping)
{
    form->registry().file().WriteString(reg::kPorts, QStringLiteral("2"), QStringLiteral("/dev/ttyUSB0"));
    TPortsForm ports(form->registry());
    ports.Load();
    auto *port2 = qobject_cast<QComboBox *>(ports.PortTable->cellWidget(1, 1));
    auto *port5 = qobject_cast<QComboBox *>(ports.PortTable->cellWidget(4, 1));
    ASSERT_NE(port2, nullptr);
    ASSERT_NE(port5, nullptr);
    EXPECT_EQ(ports.PortTable->rowCount(), 64);
    EXPECT_EQ(port2->currentText(), QStringLiteral("/dev/ttyUSB0"));
    port5->setCurrentText(QStringLiteral("/dev/pts/7"));
    port2->setCurrentText(QString());
    ports.Save();
    EXPECT_EQ(form->registry().file().ReadString(reg::kPorts, QStringLiteral("5")), QStringLiteral("/dev/pts/7"));
    EXPECT_EQ(form->registry().file().ReadString(reg::kPorts, QStringLiteral("2")), QString());
    EXPECT_FALSE(form->registry().file().HasKey(reg::kPorts, QStringLiteral("3")));
}

TEST_F(MainFormTest, PortsDialogTakesNetworkAddressesAndTheFastSwitch)
{
    ProfileFile &ini = form->registry().file();
    ini.WriteString(reg::kPorts, QStringLiteral("Fast4"), QStringLiteral("1"));
    TPortsForm ports(form->registry());
    ports.Load();
    auto device = [&](int port) { return qobject_cast<QComboBox *>(ports.PortTable->cellWidget(port - 1, 1)); };
    auto fast = [&](int port) { return qobject_cast<QCheckBox *>(ports.PortTable->cellWidget(port - 1, 2)); };
    ASSERT_NE(fast(4), nullptr);
    EXPECT_TRUE(fast(4)->isChecked());
    EXPECT_FALSE(fast(1)->isChecked());

    device(1)->setCurrentText(QStringLiteral("tcp://127.0.0.1:5020"));
    fast(1)->setChecked(true);
    fast(4)->setChecked(false);
    // A malformed address anywhere: nothing is written, the dialog says which port and why.
    for (const char *bad : {"tcp://127.0.0.1", "tcp://::1:502", "tcp://host:0", "http://host:80"}) {
        device(9)->setCurrentText(QString::fromUtf8(bad));
        EXPECT_FALSE(ports.Save()) << bad;
        EXPECT_FALSE(ports.ProblemLabel->isHidden()) << bad;
        EXPECT_TRUE(ports.ProblemLabel->text().startsWith(QStringLiteral("Порт 9: "))) << bad;
        EXPECT_TRUE(ports.ProblemLabel->text().contains(QString::fromUtf8(bad))) << bad;
        EXPECT_EQ(ports.PortTable->currentRow(), 8) << bad;
        EXPECT_FALSE(ini.HasKey(reg::kPorts, QStringLiteral("1"))) << bad;
        EXPECT_EQ(ini.ReadString(reg::kPorts, QStringLiteral("Fast4")), QStringLiteral("1")) << bad;
    }
    device(9)->setCurrentText(QStringLiteral("tcp://[::1]:4001"));
    EXPECT_TRUE(ports.Save());
    EXPECT_TRUE(ports.ProblemLabel->isHidden());
    EXPECT_EQ(ini.ReadString(reg::kPorts, QStringLiteral("1")), QStringLiteral("tcp://127.0.0.1:5020"));
    EXPECT_EQ(ini.ReadString(reg::kPorts, QStringLiteral("9")), QStringLiteral("tcp://[::1]:4001"));
    EXPECT_EQ(ini.ReadString(reg::kPorts, QStringLiteral("Fast1")), QStringLiteral("1"));
    EXPECT_EQ(ini.ReadString(reg::kPorts, QStringLiteral("Fast4")), QStringLiteral("0"));
    EXPECT_FALSE(ini.HasKey(reg::kPorts, QStringLiteral("Fast9"))) << "a port never switched on keeps no key";
}

TEST_F(MainFormTest, PortsDialogTakesOnlyDevicesAndAsksForOnesNotThere)
{
    ProfileFile &ini = form->registry().file();
    TPortsForm ports(form->registry(), nullptr, form->MsgForm);
    ports.Load();
    auto device = [&](int port) { return qobject_cast<QComboBox *>(ports.PortTable->cellWidget(port - 1, 1)); };
    QString told;
    for (const char *bad : {"мусор 123", "COM3 ", "dev/ttyS0", "/dev/tty S0", "/"}) {
        device(3)->setCurrentText(QString::fromUtf8(bad));
        AnswerMessage(&told);
        EXPECT_FALSE(ports.Save()) << bad;
        EXPECT_TRUE(told.startsWith(QStringLiteral("Порт 3: "))) << bad;
        EXPECT_FALSE(ini.HasKey(reg::kPorts, QStringLiteral("3"))) << bad;
    }
    // Devices that exist go in without a question.
    device(3)->setCurrentText(QStringLiteral("/dev/null"));
    device(4)->setCurrentText(QStringLiteral("tty"));
    EXPECT_TRUE(ports.Save());
    EXPECT_EQ(ini.ReadString(reg::kPorts, QStringLiteral("3")), QStringLiteral("/dev/null"));
    EXPECT_EQ(ini.ReadString(reg::kPorts, QStringLiteral("4")), QStringLiteral("tty"));

    // One not plugged in yet: the operator decides.
    device(5)->setCurrentText(QStringLiteral("/dev/ttyUSB-not-plugged"));
    AnswerMessage(&told, 0);
    EXPECT_FALSE(ports.Save());
    EXPECT_TRUE(told.contains(QStringLiteral("Порт 5: /dev/ttyUSB-not-plugged")));
    EXPECT_FALSE(ini.HasKey(reg::kPorts, QStringLiteral("5")));
    AnswerMessage(&told, 1);
    EXPECT_TRUE(ports.Save());
    EXPECT_EQ(ini.ReadString(reg::kPorts, QStringLiteral("5")), QStringLiteral("/dev/ttyUSB-not-plugged"));
    // Saved once, it is not asked about again.
    EXPECT_TRUE(ports.Save());
}

TEST_F(MainFormTest, PopupMenuEditIsOffOnTheRoot)
{
    const struct {
        int node;
        bool editEnabled;
    } cases[] = {{0, false}, {form->treeModel().FindGroupNode(1), true}, {form->treeModel().FindMeterNode(2), true}};
    for (const auto &c : cases) {
        const QRect rect = form->MainTree->visualItemRect(form->ItemOf(c.node));
        emit form->MainTree->customContextMenuRequested(rect.center());
        EXPECT_EQ(form->SelectedNode(), c.node);
        EXPECT_EQ(form->MenuItem1->isEnabled(), c.editEnabled) << c.node;
        EXPECT_TRUE(form->MenuItem2->isEnabled());
        form->PopupMenu->close();
    }
    // "Редактировать" on the root does nothing.
    Select(0);
    form->MenuItem1->trigger();
    EXPECT_EQ(form->SelectedNode(), 0);
}

TEST_F(MainFormTest, ClearArchiveFromThePopupMenu)
{
    const QString jan = DataFilePath(root.path(), DataKind::Hourly, 99, 2020, 1);
    const QString daily = DataFilePath(root.path(), DataKind::Daily, 99, 2019);
    for (const QString &path : {jan, daily}) {
        QDir().mkpath(QFileInfo(path).path());
        SaveLines(path, {LineBuilder().Time(DayCountFromParts(QDate(2019, 6, 1), QTime(0, 0))).line()});
    }
    Select(form->treeModel().FindMeterNode(6));
    OnModal(QStringLiteral("ClearForm"), [](QWidget *w) {
        auto *f = static_cast<TClearForm *>(w);
        f->JFromDate->setDate(QDate(2020, 3, 15));
        f->RzCheckBox2->setChecked(true);
        f->OkBtn->click();
    });
    form->MenuItem2->trigger();
    EXPECT_FALSE(QFile::exists(jan));
    EXPECT_TRUE(QFile::exists(daily)); // "Суточный архив" not ticked
}

TEST_F(MainFormTest, ClearArchiveOfAGroupClearsEveryMeterInItAfterOneQuestion)
{
    // "Котельная №1": 77 and 4500, and 1200 in its subgroup "Школы"; 99 stays outside.
    QStringList inside;
    for (int serial : {77, 4500, 1200})
        inside << DataFilePath(root.path(), DataKind::Hourly, quint16(serial), 2020, 1);
    const QString outside = DataFilePath(root.path(), DataKind::Hourly, 99, 2020, 1);
    for (const QString &path : inside + QStringList{outside}) {
        QDir().mkpath(QFileInfo(path).path());
        SaveLines(path, {LineBuilder().Time(DayCountFromParts(QDate(2020, 1, 5), QTime(0, 0))).line()});
    }
    auto clearBefore = [] {
        OnModal(QStringLiteral("ClearForm"), [](QWidget *w) {
            auto *f = static_cast<TClearForm *>(w);
            f->JFromDate->setDate(QDate(2020, 3, 15));
            f->RzCheckBox2->setChecked(true);
            f->OkBtn->click();
        });
    };
    Select(form->treeModel().FindGroupNode(1));
    ASSERT_TRUE(form->MenuItem2->isEnabled());

    // "Нет" keeps everything.
    QString question;
    clearBefore();
    AnswerMessage(&question, 0);
    form->MenuItem2->trigger();
    EXPECT_EQ(question, QStringLiteral("Очистить архив всех приборов группы «Котельная №1» (3 шт.)?"));
    for (const QString &path : inside)
        EXPECT_TRUE(QFile::exists(path)) << path.toStdString();

    clearBefore();
    AnswerMessage(&question, 1);
    form->MenuItem2->trigger();
    for (const QString &path : inside)
        EXPECT_FALSE(QFile::exists(path)) << path.toStdString();
    EXPECT_TRUE(QFile::exists(outside));

    // A group without meters says so and asks nothing.
    Select(form->treeModel().FindGroupNode(3));
    QString told;
    AnswerMessage(&told);
    form->MenuItem2->trigger();
    EXPECT_EQ(told, QStringLiteral("В группе нет приборов."));
}

TEST(MainFormShell, FailedManualReadIsRecordedInTheHealth)
{
    TempDataRoot root;
    {
        Registry registry(TreeIniPath(root.path()));
        registry.file().WriteString(reg::kPorts, QStringLiteral("1"), root.file(QStringLiteral("no-such-device")));
        MeterRecord r;
        r.name = QStringLiteral("Молчун");
        r.serial = QStringLiteral("4100");
        r.address = QStringLiteral("1");
        r.port = 1;
        AddMeter(registry, 0, r);
    }
    TMainForm form(root.path(), false);
    form.show();
    form.MainPC->setCurrentIndex(0);
    form.SelectNode(form.treeModel().FindMeterNode(1));
    form.CurrTS->CurrReadTB->click();
    // Status.ini, as the summary and `qst-cli status` read it.
    QElapsedTimer waited;
    waited.start();
    MeterStatus status;
    while (waited.elapsed() < 20000) {
        form.engine()->SuperviseTick();
        status = MeterHealth(root.path()).Read(4100);
        if (status.failedPolls > 0)
            break;
        QTest::qWait(50);
    }
    EXPECT_EQ(status.failedPolls, 1);
    EXPECT_GT(status.lastFailure, 0);
    EXPECT_TRUE(status.failureText.contains(QStringLiteral("no-such-device"))) << status.failureText.toStdString();
    form.engine()->StopMeter(4100);
}

namespace {

// Two meters on ports 1 and 2 whose devices do not exist: their requests wait in the queue.
void TwoMetersOnMissingPorts(const TempDataRoot &root)
{
    Registry registry(TreeIniPath(root.path()));
    for (int port : {1, 2}) {
        registry.file().WriteString(reg::kPorts, QString::number(port), root.file(QStringLiteral("no-device")));
        MeterRecord r;
        r.name = QStringLiteral("Дом %1").arg(port);
        r.serial = QString::number(4100 + port);
        r.address = QStringLiteral("1");
        r.port = port;
        AddMeter(registry, 0, r);
    }
}

} // namespace

TEST(MainFormShell, PageReloadsWhenItsMetersRequestsAreDone)
{
    TempDataRoot root;
    TwoMetersOnMissingPorts(root);
    TMainForm form(root.path(), false);
    form.show();
    form.MainPC->setCurrentIndex(0);
    form.SelectNode(form.treeModel().FindMeterNode(1));
    form.CurrTS->CurrReadTB->click();
    form.CheckPollsDone();
    // The values arrive while the request is still queued: the page waits for its end.
    qst::test::WriteAll(DataFilePath(root.path(), DataKind::CurrentValues, 4101), "[CURRDATA]\r\nQ1=7\r\n");
    form.CheckPollsDone();
    EXPECT_EQ(form.CurrTS->Box(QStringLiteral("Q1"))->text(), QString());
    // Another meter's poll ending leaves the page alone.
    form.engine()->ReadCurrentValues(4102);
    form.CheckPollsDone();
    form.engine()->StopMeter(4102);
    form.CheckPollsDone();
    EXPECT_EQ(form.CurrTS->Box(QStringLiteral("Q1"))->text(), QString());
    form.engine()->StopMeter(4101);
    form.CheckPollsDone();
    EXPECT_EQ(form.CurrTS->Box(QStringLiteral("Q1"))->text(), QStringLiteral("7"));
}

TEST(MainFormShell, LogPaneFollowsTheReadUntilTheOperatorPicksAPage)
{
    TempDataRoot root;
    TwoMetersOnMissingPorts(root);
    TMainForm form(root.path(), false);
    form.resize(1024, 768);
    form.show();
    // About a fifth of the window until the operator sizes it.
    const int logHeight = form.Splitter1->sizes().value(1);
    EXPECT_GT(logHeight, 768 / 8);
    EXPECT_LT(logHeight, 768 / 3);

    form.log().WriteLog(1, QStringLiteral("раз"));
    form.log().WriteLog(2, QStringLiteral("два"));
    form.LogPC->setCurrentWidget(form.log().Page(2));
    form.SelectNode(form.treeModel().FindMeterNode(1));
    form.CurrTS->CurrReadTB->click();
    EXPECT_EQ(form.LogPC->currentWidget(), form.log().Page(1));
    // A page the poll opens later comes forward when its first line arrives.
    form.MainTree->clearSelection();
    form.SelectNode(form.treeModel().FindMeterNode(2));
    form.log().Page(2)->setParent(nullptr);
    delete form.log().Page(2);
    form.CurrTS->CurrReadTB->click();
    EXPECT_EQ(form.LogPC->currentWidget(), form.log().Page(1));
    form.log().WriteLog(2, QStringLiteral("порт открыт"));
    EXPECT_EQ(form.LogPC->currentWidget(), form.log().Page(2));
    // The operator's own pick holds.
    emit form.LogPC->tabBar()->tabBarClicked(0);
    form.LogPC->setCurrentIndex(0);
    form.log().WriteLog(2, QStringLiteral("ещё"));
    EXPECT_EQ(form.LogPC->currentIndex(), 0);
    form.engine()->StopMeter(4101);
    form.engine()->StopMeter(4102);
}

TEST(MainFormShell, FillGapsShowsProgressThatCanStopIt)
{
    TempDataRoot root;
    TwoMetersOnMissingPorts(root);
    TMainForm form(root.path(), false);
    form.show();
    form.SelectNode(form.treeModel().FindMeterNode(1));
    form.FillGapsItem->trigger();
    auto *progress = form.findChild<QProgressDialog *>(QStringLiteral("FillGapsProgress"));
    ASSERT_NE(progress, nullptr);
    EXPECT_TRUE(progress->isVisible());
    EXPECT_GT(form.engine()->queue().Size(), 0);
    emit progress->canceled();
    EXPECT_EQ(form.engine()->queue().Size(), 0);
    QTRY_VERIFY(form.findChild<QProgressDialog *>(QStringLiteral("FillGapsProgress")) == nullptr);
}

TEST(MainFormShell, ExitAsksWhilePolling)
{
    TempDataRoot root;
    TwoMetersOnMissingPorts(root);
    TMainForm form(root.path(), false);
    form.show();
    EXPECT_EQ(form.CloseTB->text(), QStringLiteral("Выход"));
    form.engine()->ReadCurrentValues(4101);
    QString asked;
    AnswerMessage(&asked, 0);
    form.CloseTB->trigger();
    EXPECT_EQ(asked, QStringLiteral("Идёт опрос приборов. Прервать его и выйти?"));
    EXPECT_TRUE(form.isVisible());
    AnswerMessage(&asked, 1);
    form.CloseTB->trigger();
    EXPECT_FALSE(form.isVisible());
    // Nothing running: no question.
    form.show();
    form.engine()->StopMeter(4101);
    form.CloseTB->trigger();
    EXPECT_FALSE(form.isVisible());
}

TEST(MainFormShell, EveryCommandIsReachableAt1024x768)
{
    TempDataRoot root;
    TwoMetersOnMissingPorts(root);
    TMainForm form(root.path(), false);
    form.resize(1024, 768);
    form.show();
    form.SelectNode(form.treeModel().FindMeterNode(1));
    QCoreApplication::processEvents();
    // Every page through the pages menu beside the tabs.
    ASSERT_TRUE(form.PagesTB->isVisible());
    QMenu *menu = form.PagesTB->menu();
    emit menu->aboutToShow();
    const QList<QAction *> pages = menu->actions();
    ASSERT_EQ(pages.size(), form.MainPC->count());
    for (int i = 0; i < pages.size(); ++i) {
        EXPECT_EQ(pages[i]->text(), form.MainPC->tabText(i));
        pages[i]->trigger();
        EXPECT_EQ(form.MainPC->currentIndex(), i);
    }
    // The archive pages' commands are on screen, not folded away.
    for (ArchivePage *page : {form.HourTS, form.DayTS, form.MonthTS, form.JournalTS}) {
        form.MainPC->setCurrentWidget(page);
        QCoreApplication::processEvents();
        QList<QWidget *> commands{page->RefreshTB, page->ReadTB, page->ExportTB, page->FromDate, page->ToDate};
        if (page->RereadCB)
            commands << page->RereadCB << page->MissingCB;
        for (QWidget *w : commands) {
            EXPECT_TRUE(w->isVisible()) << w->objectName().toStdString();
            const QRect inPage(w->mapTo(page, QPoint(0, 0)), w->size());
            EXPECT_TRUE(page->rect().contains(inPage)) << w->objectName().toStdString();
        }
    }
    qst::test::Screenshot(&form, QStringLiteral("tour-1024-hourly"));
    form.engine()->StopMeter(4101);
}

TEST(MainFormShell, ErrorOfACommandIsShownAndTheProgramGoesOn)
{
    TempDataRoot root;
    TMainForm form(root.path(), false);
    form.show();
    form.SelectNode(0);
    // Tree.ini becomes a folder: the registry write of "create group" fails.
    QFile::remove(TreeIniPath(root.path()));
    ASSERT_TRUE(QDir(root.path()).mkdir(QStringLiteral("Tree.ini")));
    OnModal(QStringLiteral("NewFolderForm"), [](QWidget *w) {
        auto *f = static_cast<TNewFolderForm *>(w);
        f->MainEdit->setText(QStringLiteral("Группа"));
        f->OkBtn->click();
    });
    QString shown;
    OnModal(QStringLiteral("ErrorBox"), [&shown](QWidget *w) {
        shown = static_cast<QMessageBox *>(w)->text();
        static_cast<QMessageBox *>(w)->accept();
    });
    QTest::mouseClick(form.NewGroupTB, Qt::LeftButton);
    EXPECT_FALSE(shown.isEmpty());
    EXPECT_TRUE(form.isVisible());
}

TEST_F(MainFormTest, ClickingTheSelectedMeterReadsItsFilesAgain)
{
    form->MainPC->setCurrentIndex(0);
    const QString current = DataFilePath(root.path(), DataKind::CurrentValues, 99);
    qst::test::WriteAll(current, "[CURRDATA]\r\nQ1=5\r\n");
    const int node = form->treeModel().FindMeterNode(6);
    const QPoint at = form->MainTree->visualItemRect(form->ItemOf(node)).center();
    QTest::mouseClick(form->MainTree->viewport(), Qt::LeftButton, {}, at);
    ASSERT_EQ(form->SelectedNode(), node);
    EXPECT_EQ(form->CurrTS->Box(QStringLiteral("Q1"))->text(), QStringLiteral("5"));

    // A poll stored new values meanwhile; a click on the same meter shows them.
    qst::test::WriteAll(current, "[CURRDATA]\r\nQ1=7\r\n");
    QTest::mouseClick(form->MainTree->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(form->CurrTS->Box(QStringLiteral("Q1"))->text(), QStringLiteral("7"));
}

// "Проверить архив" on a meter: the period asked, the differences shown.
TEST_F(MainFormTest, CheckArchiveShowsTheDifferences)
{
    // A daily record of meter 77 whose operating and stop hours make 23, not 24.
    LineBuilder b;
    b.Time(DayCountFromDate(QDate(2010, 3, 1)));
    for (int f = 1; f <= 21; ++f)
        b.Real(0);
    b.Int(0);
    for (int f = 23; f <= 27; ++f)
        b.Int(0);
    b.Real(20 * 60).Real(3 * 60);
    for (int f = 30; f <= 33; ++f)
        b.Real(0);
    const QString path = DataFilePath(root.path(), DataKind::Daily, 77, 2010);
    EnsureMeterFolder(path);
    SaveLines(path, {b.line()});

    Select(form->treeModel().FindMeterNode(2));
    OnModal(QStringLiteral("CheckPeriodForm"), [](QWidget *w) {
        const QList<QDateEdit *> dates = w->findChildren<QDateEdit *>();
        ASSERT_EQ(dates.size(), 2);
        dates[0]->setDate(QDate(2010, 3, 1));
        dates[1]->setDate(QDate(2010, 3, 31));
        static_cast<QDialog *>(w)->accept();
    });
    QString shown;
    OnModal(QStringLiteral("CheckForm"), [&shown](QWidget *w) {
        shown = w->findChild<QPlainTextEdit *>(QStringLiteral("CheckMemo"))->toPlainText();
        static_cast<QDialog *>(w)->reject();
    });
    form->CheckArchiveClick();
    EXPECT_TRUE(shown.contains(QStringLiteral("01.03.2010\tВНР1+ВНС1\t24\t23\t-1"))) << shown.toStdString();
}

// "Отчёты группы…" on a group: one document per meter of the group and its subgroup; here
// none has data, so each is refused with the reason and nothing is written.
TEST_F(MainFormTest, GroupReportsSummariseEveryMeter)
{
    Select(form->treeModel().FindGroupNode(1));
    const QString folder = root.file(QStringLiteral("docs"));
    const int pageKind = form->ReportTS->TypeIndex();
    const int pageColumns = form->ReportTS->TS2CBG->count();
    int shownKind = -1;
    int shownColumns = -1;
    OnModal(QStringLiteral("GroupReportsForm"), [&, folder](QWidget *w) {
        // The page's choices, shown since the page itself is hidden for a group.
        shownKind = w->findChild<QComboBox *>(QStringLiteral("GroupKindCB"))->currentIndex();
        shownColumns = w->findChild<QListWidget *>(QStringLiteral("GroupColumnsLV"))->count();
        EXPECT_NE(w->findChild<QComboBox *>(QStringLiteral("GroupOrientationCB")), nullptr);
        EXPECT_EQ(w->findChild<QDateTimeEdit *>(QStringLiteral("GroupToEdit"))->dateTime(),
                  form->ReportTS->ToCB->dateTime());
        w->findChild<QLineEdit *>(QStringLiteral("GroupFolderEdit"))->setText(folder);
        static_cast<QDialog *>(w)->accept();
    });
    QString summary;
    OnModal(QStringLiteral("GroupSummary"), [&summary](QWidget *w) {
        summary = static_cast<QMessageBox *>(w)->detailedText();
        static_cast<QMessageBox *>(w)->accept();
    });
    form->GroupReportsClick();
    EXPECT_EQ(shownKind, pageKind);
    EXPECT_EQ(shownColumns, pageColumns);
    EXPECT_TRUE(summary.contains(QStringLiteral("Записано документов: 0, отказов: 3"))) << summary.toStdString();
    for (const char *serial : {"отказ: 77 ", "отказ: 4500 ", "отказ: 1200 "})
        EXPECT_TRUE(summary.contains(QString::fromUtf8(serial))) << serial;
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files).isEmpty());
}
