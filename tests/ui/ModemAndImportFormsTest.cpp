#include "ArchiveImportCommand.h"
#include "Dialogs.h"
#include "TSetModemForm.h"
#include "UiSupport.h"

#include "common/DataRoot.h"
#include "link/FakeSerialPort.h"
#include "registry/Registry.h"
#include "storage/ArchiveImport.h"

#include <QComboBox>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>

#include <gtest/gtest.h>

using namespace qst;
using qst::test::OnModal;
using qst::test::TempDataRoot;

namespace {

// A modem that echoes and answers OK, on a virtual clock.
struct FakeModem
{
    FakeLinkClock clock;
    int opened = 0;

    TSetModemForm::PortFactory Factory()
    {
        return [this](int) {
            ++opened;
            auto port = std::make_unique<FakeSerialPort>(clock);
            port->SetResponder([](const QByteArray &r) { return r + QByteArray("\r\nOK\r\n"); }, 20);
            return port;
        };
    }
};

// Answers the next message boxes in turn ("OK" where that is the only button, else
// "Да" or "Нет"), keeping their texts.
void AnswerMessages(QStringList *texts, QList<bool> answers)
{
    if (answers.isEmpty())
        return;
    OnModal(QStringLiteral("MsgForm"), [texts, answers](QWidget *w) {
        auto *msg = static_cast<TMsgForm *>(w);
        texts->append(msg->Memo->toPlainText());
        AnswerMessages(texts, answers.mid(1));
        if (msg->OkBtn->isVisible())
            msg->OkBtn->click();
        else
            (answers.first() ? msg->YesBtn1 : msg->NoBtn1)->click();
    });
}

} // namespace

TEST(SetModemForm, ConfiguresAndKeepsTheConversation)
{
    FakeModem modem;
    QStringList messages;
    TSetModemForm form(QString(), {}, [&](const QString &t) { messages.append(t); });
    form.SetPortFactory(modem.Factory());
    form.SetClock(&modem.clock);
    EXPECT_FALSE(form.isModal());
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Настройка модема"));
    ASSERT_EQ(form.PortCB->count(), 64);
    EXPECT_EQ(form.PortCB->currentText(), QStringLiteral("1"));
    EXPECT_TRUE(form.ComputerRB->isChecked());
    EXPECT_EQ(form.RadioGroup1->title(), QStringLiteral("Устройство, для которого настраивается модем"));

    form.show();
    form.PortCB->setCurrentIndex(4);
    form.RzBitBtn1->click();
    const QString memo = form.Memo1->toPlainText();
    EXPECT_TRUE(memo.startsWith(QStringLiteral("Открыт порт 5\n-->ATZ\n<--ATZ\n\nOK\n\nИнициализация модема прошла успешно")))
        << memo.toStdString();
    EXPECT_TRUE(memo.endsWith(QStringLiteral("Изменения записаны\nЗакрыт порт 5"))) << memo.toStdString();
    EXPECT_EQ(messages, QStringList{QStringLiteral("Настройка выполнена успешно.")});

    // "Закрыть" hides the window and the conversation stays for the next showing.
    form.RzBitBtn2->click();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.Memo1->toPlainText(), memo);

    // The calculator's modem gets its own table.
    form.CalculatorRB->setChecked(true);
    form.RzBitBtn1->click();
    EXPECT_TRUE(form.Memo1->toPlainText().contains(QStringLiteral("-->ATS7=120")));
}

TEST(SetModemForm, RefusesAPortAnExchangeThreadHolds)
{
    FakeModem modem;
    QStringList messages;
    TSetModemForm form(QString(), [](int port) { return port == 1; }, [&](const QString &t) { messages.append(t); });
    form.SetPortFactory(modem.Factory());
    form.SetClock(&modem.clock);
    form.RzBitBtn1->click();
    EXPECT_EQ(form.Memo1->toPlainText(), QStringLiteral("Порт занят опросом приборов: 1"));
    EXPECT_TRUE(messages.isEmpty());
}

TEST(ArchiveImportCommand, ConfirmsImportsAndReports)
{
    TempDataRoot root;
    const QString file = root.file(QStringLiteral("a.arch"));
    QProcess sim;
    sim.start(QStringLiteral(QST_SIM_PATH), {"dump", "--serial", "606", "--days", "2", "--journal", "5", file});
    ASSERT_TRUE(sim.waitForFinished(60000));
    ASSERT_EQ(sim.exitCode(), 0);
    Registry registry(TreeIniPath(root.path()));
    TMsgForm msg;
    TPB progress;

    QStringList texts;
    AnswerMessages(&texts, {false});
    EXPECT_FALSE(RunArchiveImportCommand({file}, root.path(), registry, msg, progress));
    EXPECT_EQ(texts, QStringList{QStringLiteral("Вы собираетесь загрузить архивы для следующих приборов:\n606\nПодтвердите!")});
    EXPECT_EQ(registry.MaxMeterNumber(), 0);

    texts.clear();
    AnswerMessages(&texts, {true, true});
    EXPECT_TRUE(RunArchiveImportCommand({file}, root.path(), registry, msg, progress));
    EXPECT_EQ(texts.size(), 2);
    EXPECT_EQ(texts.value(1), QStringLiteral("Загрузка выполнена успешно."));
    EXPECT_EQ(progress.PB1->value(), 100);
    EXPECT_EQ(progress.PB2->value(), 100);
    EXPECT_FALSE(progress.isVisible());
    EXPECT_EQ(registry.FindMeterBySerialText(606), 1);
    EXPECT_EQ(ArchiveFileFilter(), QStringLiteral("Файлы архива (*.arch)"));
}
