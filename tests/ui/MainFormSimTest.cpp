// The main window polling qst-sim over a real pseudo-terminal, with its own timers.
#include "../e2e/SimHarness.h"
#include "MainForm.h"
#include "UiSupport.h"

#include "exchange/ExchangeEngine.h"
#include "registry/MeterRecord.h"

#include <QDateEdit>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTextBlock>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

template <typename Done>
bool SpinUntil(Done done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace

TEST(MainFormAgainstSim, ReadsCurrentValuesAndClosesDuringAPoll)
{
    SimProcess sim({QStringLiteral("--calc"), QStringLiteral("2"), QStringLiteral("--serial"),
                    QStringLiteral("4100"), QStringLiteral("--baud"), QStringLiteral("19200"),
                    QStringLiteral("--latency-ms"), QStringLiteral("5")});
    ASSERT_TRUE(sim.started());
    TempDataRoot root;
    {
        Registry registry(TreeIniPath(root.path()));
        registry.file().WriteString(reg::kPorts, QStringLiteral("1"), sim.path());
        MeterRecord r;
        r.name = QStringLiteral("Симулятор");
        r.serial = QStringLiteral("4100");
        r.address = QStringLiteral("1");
        r.port = 1;
        AddMeter(registry, 0, r);
    }

    auto form = std::make_unique<TMainForm>(root.path(), true);
    form->show();
    form->MainPC->setCurrentIndex(0);
    form->SelectNode(form->treeModel().FindMeterNode(1));
    form->CurrTS->CurrReadTB->click();
    ASSERT_TRUE(SpinUntil([&] { return QFile::exists(DataFilePath(root.path(), DataKind::CurrentValues, 4100)); },
                          30000));
    ASSERT_TRUE(SpinUntil([&] { return form->engine()->queue().Size() == 0; }, 30000));
    form->CurrTS->CurrRefreshTB->click();
    EXPECT_FALSE(form->CurrTS->Box(QStringLiteral("DT"))->text().isEmpty());
    form->resize(1200, 800);
    Screenshot(form.get(), QStringLiteral("sim-current"));
    ASSERT_EQ(form->LogPC->count(), 1);
    EXPECT_EQ(form->LogPC->tabText(0), QStringLiteral("Порт: 1"));
    EXPECT_GT(form->log().Page(1)->document()->blockCount(), 1);

    // Two days of hourly records, read and shown.
    form->MainPC->setCurrentIndex(1);
    form->HourTS->FromDate->setDate(QDate::currentDate().addDays(-2));
    form->HourTS->ReadTB->click();
    ASSERT_TRUE(SpinUntil([&] { return form->engine()->queue().Size() == 0; }, 60000));
    form->HourTS->RefreshTB->click();
    EXPECT_GE(form->HourTS->Models[0]->rowCount(), 24);
    Screenshot(form.get(), QStringLiteral("sim-hourly"));

    // A long hourly read, then the window goes away in the middle of it: the wait for the
    // exchange thread keeps serving its log callbacks, so this returns.
    form->HourTS->FromDate->setDate(QDate::currentDate().addDays(-300));
    form->HourTS->RereadCB->setChecked(true);
    form->HourTS->ReadTB->click();
    ASSERT_TRUE(SpinUntil([&] { return form->engine()->ThreadCount() == 1 && form->engine()->queue().Size() == 1; },
                          30000));
    const int linesBefore = form->log().Page(1)->document()->blockCount();
    ASSERT_TRUE(SpinUntil([&] { return form->log().Page(1)->document()->blockCount() > linesBefore; }, 30000));
    form->close();
    QElapsedTimer closing;
    closing.start();
    form.reset();
    EXPECT_LT(closing.elapsed(), 30000);
    Registry after(TreeIniPath(root.path()));
    EXPECT_TRUE(after.file().HasSection(reg::kVisual));
}
