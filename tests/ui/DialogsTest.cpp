#include "AppTexts.h"
#include "Dialogs.h"
#include "ExportCommand.h"
#include "reports/TableExport.h"
#include "Pages.h"
#include "UiSupport.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>

#include <gtest/gtest.h>

using namespace qst;
using qst::test::OnModal;

TEST(MsgForm, SplitsLinesSizesWindowAndAligns)
{
    TMsgForm msg;
    const struct {
        const char16_t *text;
        int lines;
        Qt::Alignment align;
    } cases[] = {
        {u"Подтвердите удаление.", 1, Qt::AlignHCenter},
        {u"Первая\nвторая", 2, Qt::AlignLeft},
        {u"Первая\r\nпосле пустой", 3, Qt::AlignLeft}, // CR LF leaves an empty line between
        {u"", 1, Qt::AlignHCenter},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(QString::fromUtf16(c.text).toStdString());
        msg.Prepare(QString::fromUtf16(c.text), 0);
        EXPECT_EQ(msg.Memo->document()->blockCount(), c.lines);
        EXPECT_EQ(msg.Memo->document()->firstBlock().blockFormat().alignment() & Qt::AlignHorizontal_Mask, c.align);
        EXPECT_EQ(msg.height(), 17 * c.lines + 66);
        EXPECT_EQ(msg.width(), 371);
        EXPECT_EQ(msg.Memo->height(), 17 * c.lines);
        EXPECT_EQ(msg.OkBtn->y(), 17 * c.lines + 31);
    }
}

TEST(MsgForm, LongTextsShowWhole)
{
    TMsgForm msg;
    msg.show();
    const QString longLine = QStringLiteral(
        "Нет программы для просмотра документа. Документ сохранён: /home/operator/Отчёты/2026/Котельная №1/"
        "Часовой протокол 130 01.12.2026-09.12.2026.docx");
    QStringList many;
    for (int i = 0; i < 60; ++i)
        many << QStringLiteral("Порт %1: «мусор %1»: не путь к устройству").arg(i + 1);
    for (const QString &text : {longLine, longLine + u'\n' + longLine, many.join(u'\n')}) {
        msg.Prepare(text, 1);
        QCoreApplication::processEvents();
        EXPECT_EQ(msg.Memo->toPlainText(), text);
        const bool fits = msg.Memo->document()->size().height() <= msg.Memo->viewport()->height();
        // What does not fit on the screen scrolls instead.
        const bool scrolls = msg.Memo->verticalScrollBarPolicy() != Qt::ScrollBarAlwaysOff
            && msg.Memo->verticalScrollBar()->maximum() > 0;
        EXPECT_TRUE(fits || scrolls) << text.toStdString();
        EXPECT_LE(msg.height(), 24 * 17 + 66);
        EXPECT_GE(msg.YesBtn1->y(), msg.Memo->geometry().bottom()) << "buttons over the text";
        EXPECT_LE(msg.YesBtn1->geometry().bottom(), msg.height());
    }
    msg.Prepare(longLine, 0);
    EXPECT_GT(msg.height(), 17 + 66) << "one long line wraps and the box grows";
}

TEST(MsgForm, ButtonsDefaultsAndEscapeByKind)
{
    TMsgForm msg;
    const struct {
        int kind;
        int escapeAnswer; // 99: Escape does not close
        int defaultAnswer;
    } cases[] = {{0, 99, 1}, {1, 0, 1}, {2, -1, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kind);
        msg.Prepare(QStringLiteral("?"), c.kind);
        EXPECT_EQ(!msg.OkBtn->isHidden(), c.kind == 0);
        EXPECT_EQ(!msg.YesBtn1->isHidden() && !msg.NoBtn1->isHidden(), c.kind == 1);
        EXPECT_EQ(!msg.CancelBtn2->isHidden(), c.kind == 2);
        QPushButton *expectedDefault = c.kind == 0 ? msg.OkBtn : c.kind == 1 ? msg.YesBtn1 : msg.YesBtn2;
        EXPECT_TRUE(expectedDefault->isDefault());

        // Escape
        OnModal(QStringLiteral("MsgForm"), [](QWidget *w) {
            QTest::keyClick(w, Qt::Key_Escape);
            if (w->isVisible())
                static_cast<TMsgForm *>(w)->OkBtn->click(); // kind 0: only "OK" closes it
        });
        const int escaped = msg.ShowMessage(QStringLiteral("?"), c.kind);
        EXPECT_EQ(escaped, c.escapeAnswer == 99 ? 1 : c.escapeAnswer);

        // Enter presses the default button
        OnModal(QStringLiteral("MsgForm"), [](QWidget *w) { QTest::keyClick(w, Qt::Key_Return); });
        EXPECT_EQ(msg.ShowMessage(QStringLiteral("?"), c.kind), c.defaultAnswer);
    }
    OnModal(QStringLiteral("MsgForm"), [](QWidget *w) { static_cast<TMsgForm *>(w)->NoBtn2->click(); });
    EXPECT_EQ(msg.ShowMessage(QStringLiteral("?"), 2), 0);
}

namespace {

// Fills the dialog with valid entries.
void FillValid(TNewCounterForm &f)
{
    f.NameEdit->setText(QStringLiteral("Дом"));
    f.SerialEdit->setText(QStringLiteral("77"));
    f.NetAdrEdit->setText(QStringLiteral("1"));
    f.PortCB->setCurrentIndex(0);
    f.MailEdit->clear();
}

} // namespace

TEST(NewCounterForm, OkChecksInOrder)
{
    TMsgForm msg;
    TNewCounterForm form(msg);
    const struct {
        std::function<void(TNewCounterForm &)> spoil;
        QString message;
    } cases[] = {
        {[](TNewCounterForm &f) { f.NameEdit->setText(QStringLiteral("   ")); f.SerialEdit->clear(); },
         ui::kNeedName},
        {[](TNewCounterForm &f) { f.SerialEdit->setText(QStringLiteral("  ")); f.NetAdrEdit->clear(); },
         ui::kNeedSerial},
        {[](TNewCounterForm &f) { f.SerialEdit->setText(QStringLiteral("12a")); f.NetAdrEdit->clear(); },
         ui::kBadSerial},
        {[](TNewCounterForm &f) { f.SerialEdit->setText(QStringLiteral("3000000000")); }, ui::kBadSerial},
        {[](TNewCounterForm &f) { f.NetAdrEdit->setText(QStringLiteral(" ")); f.PortCB->setCurrentIndex(-1); },
         ui::kNeedNetAddress},
        {[](TNewCounterForm &f) { f.NetAdrEdit->setText(QStringLiteral("x")); f.PortCB->setCurrentIndex(-1); },
         ui::kBadNetAddress},
        {[](TNewCounterForm &f) { f.PortCB->setCurrentIndex(-1); }, ui::kNeedPort},
        {[](TNewCounterForm &f) { f.MailEdit->setText(QStringLiteral("a@example.org\r\nBcc: spy@example.org")); },
         QStringLiteral("адрес почты содержит перевод строки или управляющий символ")},
        {[](TNewCounterForm &f) { f.MailEdit->setText(QStringLiteral("Оператор <a@example.org>")); },
         QStringLiteral("неверный адрес почты: Оператор <a@example.org>")},
        {[](TNewCounterForm &f) { f.MailEdit->setText(QStringLiteral("a@example.org, b@example.org")); }, QString()},
        {[](TNewCounterForm &) {}, QString()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message.toStdString());
        FillValid(form);
        c.spoil(form);
        EXPECT_EQ(form.CheckEntries(), c.message);
    }

    // Through the window: the refusal is shown and the dialog stays open until it passes.
    QString shown;
    OnModal(QStringLiteral("NewCounterForm"), [&shown](QWidget *w) {
        auto *f = static_cast<TNewCounterForm *>(w);
        f->NameEdit->setText(QStringLiteral("Дом"));
        f->SerialEdit->setText(QStringLiteral("77"));
        f->NetAdrEdit->setText(QStringLiteral("5"));
        OnModal(QStringLiteral("MsgForm"), [&shown](QWidget *m) {
            shown = static_cast<TMsgForm *>(m)->Memo->toPlainText();
            static_cast<TMsgForm *>(m)->OkBtn->click();
        });
        f->PortCB->setCurrentIndex(-1);
        f->OkBtn->click();
        EXPECT_TRUE(f->isVisible());
        f->PortCB->setCurrentIndex(4);
        f->OkBtn->click();
    });
    EXPECT_EQ(form.ExecuteNew(), QStringLiteral("77"));
    EXPECT_EQ(shown, ui::kNeedPort);
    EXPECT_EQ(form.Record().port, 5);
}

TEST(NewCounterForm, NewDialogKeepsListChoicesButClearsTheRest)
{
    TMsgForm msg;
    TNewCounterForm form(msg);
    EXPECT_EQ(form.ClassCB->currentIndex(), 0);
    EXPECT_EQ(form.PortCB->currentIndex(), -1);
    EXPECT_EQ(form.PortCB->count(), 32);
    EXPECT_EQ(form.DevTypeCB->currentIndex(), 0);
    EXPECT_FALSE(form.ClassCB->isEditable());

    OnModal(QStringLiteral("NewCounterForm"), [](QWidget *w) {
        auto *f = static_cast<TNewCounterForm *>(w);
        f->NameEdit->setText(QStringLiteral("  Дом  "));
        f->SerialEdit->setText(QStringLiteral(" 77 "));
        f->NetAdrEdit->setText(QStringLiteral("1"));
        f->ClassCB->setCurrentIndex(1);
        f->PortCB->setCurrentIndex(6);
        f->DevTypeCB->setCurrentIndex(1);
        f->ModemCB->click();
        EXPECT_TRUE(f->ModemNumEdit->isEnabled());
        f->ModemNumEdit->setText(QStringLiteral("8495"));
        f->HourSpin->setValue(7);
        f->MinSpin->setValue(5);
        f->AddBtn->click();
        f->AddBtn->click(); // the same time twice is allowed
        f->OkBtn->click();
    });
    EXPECT_EQ(form.ExecuteNew(), QStringLiteral(" 77 "));
    MeterRecord r = form.Record();
    EXPECT_EQ(r.schedule, (QStringList{QStringLiteral("07:05"), QStringLiteral("07:05")}));
    EXPECT_EQ(r.port, 7);
    EXPECT_TRUE(r.modem);

    // The second use: edits, tick and schedule emptied; the three lists keep their choice.
    OnModal(QStringLiteral("NewCounterForm"), [](QWidget *w) {
        auto *f = static_cast<TNewCounterForm *>(w);
        EXPECT_TRUE(f->NameEdit->text().isEmpty());
        EXPECT_TRUE(f->ModemNumEdit->text().isEmpty());
        EXPECT_FALSE(f->ModemNumEdit->isEnabled());
        EXPECT_FALSE(f->ModemCB->isChecked());
        EXPECT_EQ(f->SchList->count(), 0);
        EXPECT_EQ(f->HourSpin->value(), 0);
        EXPECT_EQ(f->ClassCB->currentIndex(), 1);
        EXPECT_EQ(f->PortCB->currentIndex(), 6);
        EXPECT_EQ(f->DevTypeCB->currentIndex(), 1);
        f->CancelBtn->click();
    });
    EXPECT_TRUE(form.ExecuteNew().isEmpty());
}

TEST(NewCounterForm, FillShowsStoredKeysAndMissingPort)
{
    TMsgForm msg;
    TNewCounterForm form(msg);
    MeterRecord r;
    r.name = QStringLiteral("Баня");
    r.du = QStringLiteral("abc"); // shown unchanged
    r.port = 0;
    r.devType = 2;
    r.modem = true;
    r.schedule = {QStringLiteral("08:00"), QStringLiteral("20:30")};
    form.Fill(r);
    EXPECT_EQ(form.DUEdit->text(), QStringLiteral("abc"));
    EXPECT_EQ(form.PortCB->currentIndex(), -1);
    EXPECT_EQ(form.DevTypeCB->currentIndex(), 1);
    EXPECT_TRUE(form.ModemNumEdit->isEnabled());
    EXPECT_EQ(form.SchList->count(), 2);
    form.SchList->setCurrentRow(0);
    form.DelBtn->click();
    EXPECT_EQ(form.Record().schedule, QStringList{QStringLiteral("20:30")});
    form.SchList->clearSelection();
    form.DelBtn->click(); // nothing selected: nothing removed
    EXPECT_EQ(form.SchList->count(), 1);
}

TEST(ClearForm, TicksPersistDateResetsEachTime)
{
    TClearForm form;
    EXPECT_FALSE(form.RzCheckBox2->isChecked());
    ClearChoice choice;
    QDate cut;
    OnModal(QStringLiteral("ClearForm"), [](QWidget *w) {
        auto *f = static_cast<TClearForm *>(w);
        EXPECT_EQ(f->JFromDate->date(), QDate::currentDate().addDays(-183));
        f->RzCheckBox2->setChecked(true);
        f->JFromDate->setDate(QDate(2020, 3, 15));
        f->OkBtn->click();
    });
    ASSERT_TRUE(form.Execute(&cut, &choice));
    EXPECT_EQ(cut, QDate(2020, 3, 15));
    EXPECT_TRUE(choice.hourly);
    EXPECT_FALSE(choice.journal);
    OnModal(QStringLiteral("ClearForm"), [](QWidget *w) {
        auto *f = static_cast<TClearForm *>(w);
        EXPECT_EQ(f->JFromDate->date(), QDate::currentDate().addDays(-183));
        EXPECT_TRUE(f->RzCheckBox2->isChecked());
        f->CancelBtn->click();
    });
    EXPECT_FALSE(form.Execute(&cut, &choice));
}

TEST(ReportPage, StartingStateThenVisibilityTable)
{
    ReportPage page;
    page.show();
    // The form's own state until TypeRG or TSCB changes: DetailCB shown although the kind is daily.
    EXPECT_EQ(page.TypeIndex(), 1);
    EXPECT_TRUE(page.DetailCB->isVisible());
    EXPECT_TRUE(page.TS2Box->isVisible());
    EXPECT_FALSE(page.TS3Box->isVisible());
    EXPECT_TRUE(page.ShowIntCB->isChecked());
    EXPECT_TRUE(page.BreakCB->isChecked());
    EXPECT_FALSE(page.DetailCB->isChecked());
    EXPECT_EQ(page.TS2CBG->count(), 17);
    EXPECT_EQ(page.TS3CBG->count(), 6);
    EXPECT_EQ(page.BreakCB->text(), QStringLiteral("Разбивать на страницы  (по дням, месяцам)"));

    const struct {
        int system, kind;
        bool ts2, ts3, showInt, detail, brk;
    } rows[] = {
        {0, 0, true, false, true, true, true},    {1, 1, true, false, true, false, true},
        {0, 2, true, false, true, false, true},   {1, 3, false, false, false, false, false},
        {2, 0, false, true, true, true, true},    {2, 1, false, true, true, false, true},
        {2, 2, false, true, true, false, true},   {2, 3, false, false, false, false, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.system * 10 + r.kind);
        page.TSCB->setCurrentIndex(r.system);
        QTest::mouseClick(page.TypeButtons->button(r.kind), Qt::LeftButton);
        EXPECT_EQ(page.TS2Box->isVisible(), r.ts2);
        EXPECT_EQ(page.TS3Box->isVisible(), r.ts3);
        EXPECT_EQ(page.ShowIntCB->isVisible(), r.showInt);
        EXPECT_EQ(page.DetailCB->isVisible(), r.detail);
        EXPECT_EQ(page.BreakCB->isVisible(), r.brk);
    }
}

TEST(ReportPage, StatementModeFixesTheSelection)
{
    ReportPage page;
    page.show();
    page.TSCB->setCurrentIndex(2);
    page.TS2CBG->item(5)->setCheckState(Qt::Checked);
    page.MOEKCB->click();
    EXPECT_EQ(page.TSCB->currentIndex(), 0);
    EXPECT_EQ(page.TypeIndex(), 1);
    EXPECT_FALSE(page.BreakCB->isChecked());
    EXPECT_FALSE(page.BreakCB->isVisible());
    EXPECT_FALSE(page.ShowIntCB->isVisible());
    EXPECT_FALSE(page.TSCB->isEnabled());
    EXPECT_FALSE(page.TypeRG->isEnabled());
    EXPECT_TRUE(page.TS2Box->isVisible());
    for (int i = 0; i < 17; ++i) {
        const bool set = i <= 3 || (i >= 7 && i <= 13);
        EXPECT_EQ(page.TS2CBG->item(i)->checkState() == Qt::Checked, set) << i;
    }
    page.MOEKCB->click();
    EXPECT_TRUE(page.TSCB->isEnabled());
    EXPECT_TRUE(page.BreakCB->isVisible());
    EXPECT_FALSE(page.BreakCB->isChecked()); // no check state comes back
}

TEST(QtTranslation, QtsOwnButtonsSpeakRussian)
{
    // Loaded at start by the program, as by this test program's main.
    QDialogButtonBox buttons(QDialogButtonBox::Cancel | QDialogButtonBox::Close);
    EXPECT_EQ(buttons.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Отмена"));
    EXPECT_EQ(buttons.button(QDialogButtonBox::Close)->text(), QStringLiteral("Закрыть"));
    QMessageBox box(QMessageBox::Warning, QStringLiteral("?"), QStringLiteral("?"));
    box.setDetailedText(QStringLiteral("подробности"));
    QStringList texts;
    for (QAbstractButton *b : box.findChildren<QAbstractButton *>())
        texts << b->text();
    EXPECT_TRUE(texts.contains(QStringLiteral("Показать подробности..."))) << texts.join(u'|').toStdString();
}

TEST(ExportCommand, SaysWhereTheTableWent)
{
    qst::test::TempDataRoot root;
    TMsgForm msg;
    ExportTable table;
    table.header = {QStringLiteral("Дата/время"), QStringLiteral("Q")};
    ExportCell date;
    date.text = QStringLiteral("01.12.2026");
    ExportCell value;
    value.kind = CellKind::Number;
    value.number = 1.5;
    value.maxDecimals = 2;
    table.rows = {{date, value}};
    const QString path = root.file(QStringLiteral("таблица.csv"));
    QString shown;
    bool folderButton = false;
    OnModal(QStringLiteral("MsgForm"), [&](QWidget *w) {
        auto *m = static_cast<TMsgForm *>(w);
        shown = m->Memo->toPlainText();
        folderButton = m->FolderBtn->isVisible();
        m->OkBtn->click();
    });
    EXPECT_EQ(WriteExportTable(nullptr, &msg, table, path, ui::kCsvFilter), path);
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_EQ(shown, ui::kExportWritten + u'\n' + QDir::toNativeSeparators(path));
    EXPECT_TRUE(folderButton);

    // A failure says so, with the reason, and returns no path.
    OnModal(QStringLiteral("MsgForm"), [&](QWidget *w) {
        auto *m = static_cast<TMsgForm *>(w);
        shown = m->Memo->toPlainText();
        m->OkBtn->click();
    });
    EXPECT_EQ(WriteExportTable(nullptr, &msg, table, root.file(QStringLiteral("нет/такой.csv")), ui::kCsvFilter),
              QString());
    EXPECT_TRUE(shown.startsWith(ui::kExportFailed + u'\n')) << shown.toStdString();
    EXPECT_GT(shown.split(u'\n').size(), 2) << shown.toStdString();
}
