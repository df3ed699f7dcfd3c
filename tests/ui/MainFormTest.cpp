#include "AppTexts.h"
#include "Dialogs.h"
#include "MainForm.h"
#include "storage/ArchiveView.h"
#include "UiSupport.h"

#include "common/DayCount.h"
#include "common/TextFile.h"
#include "exchange/ExchangeEngine.h"
#include "storage/ArchiveFiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTimeEdit>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
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

    // Selecting a group hides the meter pages.
    Select(form->treeModel().FindGroupNode(3));
    EXPECT_FALSE(form->MainPanel->isVisible());
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
    EXPECT_FALSE(form->MainPanel->isVisible());

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
    EXPECT_EQ(form->CurrTS->Box(QStringLiteral("Q1"))->text(), QStringLiteral("0"));
    EXPECT_EQ(form->CurrTS->Box(QStringLiteral("GMin1"))->text(), QStringLiteral("0,02"));
    EXPECT_EQ(form->CurrTS->Box(QStringLiteral("Scheme2"))->text(), QStringLiteral("ВЫКЛ"));

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
    // "Очистить архив" on a group does nothing; "Редактировать" on the root neither.
    Select(0);
    form->MenuItem2->trigger();
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

TEST(MainFormShell, ErrorOfACommandIsShownAndTheProgramGoesOn)
{
    TempDataRoot root;
    TMainForm form(root.path(), false);
    form.show();
    // Tree.ini becomes a folder: the registry write of "create group" fails.
    QFile::remove(TreeIniPath(root.path()));
    ASSERT_TRUE(QDir(root.path()).mkdir(QStringLiteral("Tree.ini")));
    form.SelectNode(0);
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
    OnModal(QStringLiteral("GroupReportsForm"), [folder](QWidget *w) {
        w->findChild<QLineEdit *>(QStringLiteral("GroupFolderEdit"))->setText(folder);
        static_cast<QDialog *>(w)->accept();
    });
    QString summary;
    OnModal(QStringLiteral("GroupSummary"), [&summary](QWidget *w) {
        summary = static_cast<QMessageBox *>(w)->detailedText();
        static_cast<QMessageBox *>(w)->accept();
    });
    form->GroupReportsClick();
    EXPECT_TRUE(summary.contains(QStringLiteral("Записано документов: 0, отказов: 3"))) << summary.toStdString();
    for (const char *serial : {"отказ: 77 ", "отказ: 4500 ", "отказ: 1200 "})
        EXPECT_TRUE(summary.contains(QString::fromUtf8(serial))) << serial;
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files).isEmpty());
}
