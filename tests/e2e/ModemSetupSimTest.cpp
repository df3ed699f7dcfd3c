// The modem set-up against qst-sim's Hayes modem, through the real serial layer on a pty.
#include "SimHarness.h"

#include "common/DataRoot.h"
#include "exchange/ModemSetup.h"
#include "link/LinkClock.h"
#include "link/QtSerialPortLink.h"
#include "registry/Registry.h"
#include "support/TempDataRoot.h"

#include <gtest/gtest.h>

using namespace qst;
using namespace qst::test;

namespace {

struct Outcome
{
    bool ok = false;
    QStringList lines;
    QStringList messages;
};

Outcome SetUpModem(const QStringList &simArgs, int device)
{
    Outcome out;
    SimProcess sim(QStringList{QStringLiteral("--modem")} + simArgs);
    EXPECT_TRUE(sim.started());
    if (!sim.started())
        return out;
    TempDataRoot root;
    Registry(TreeIniPath(root.path())).file().WriteString(reg::kPorts, QStringLiteral("2"), sim.path());
    QtSerialPortLink port(2, root.path());
    ModemSetupCalls calls;
    calls.line = [&](const QString &l) { out.lines.append(l); };
    calls.message = [&](const QString &m) { out.messages.append(m); };
    out.ok = RunModemSetup(&port, 2, device, SystemLinkClock(), calls);
    return out;
}

int Count(const QStringList &lines, const char *text)
{
    return static_cast<int>(lines.count(QString::fromUtf8(text)));
}

} // namespace

TEST(ModemSetupSim, ComputerModem)
{
    const Outcome o = SetUpModem({}, kModemAtComputer);
    EXPECT_TRUE(o.ok) << o.lines.join(u'|').toStdString();
    EXPECT_EQ(o.messages, QStringList{QStringLiteral("Настройка выполнена успешно.")});
    EXPECT_EQ(o.lines.filter(QStringLiteral("-->")),
              (QStringList{"-->ATZ", "-->AT&F\r\n", "-->AT+IPR=9600\r\n", "-->AT&W\r\n"}));
    EXPECT_EQ(o.lines.last(), QStringLiteral("Закрыт порт 2"));
}

TEST(ModemSetupSim, CalculatorModemAnsweringOnlyAt19200)
{
    const Outcome o = SetUpModem({"--modem-only-19200"}, kModemAtCalculator);
    EXPECT_TRUE(o.ok) << o.lines.join(u'|').toStdString();
    EXPECT_EQ(Count(o.lines, "Нет ответа"), 3);
    EXPECT_EQ(o.lines.filter(QStringLiteral("-->")).size(), 4 + 7);
    // After ATV0 the modem answers with numbers.
    EXPECT_TRUE(o.lines.contains(QStringLiteral("Эхо отключено")));
    EXPECT_EQ(o.messages, QStringList{QStringLiteral("Настройка выполнена успешно.")});
}

TEST(ModemSetupSim, FaultsEndAsTheDialogSays)
{
    {
        SCOPED_TRACE("silent");
        const Outcome o = SetUpModem({"--modem-silent"}, kModemAtComputer);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(Count(o.lines, "Нет ответа"), 6);
        EXPECT_EQ(o.messages, QStringList{QStringLiteral("Возникла ошибка. Проверьте подключени и повторите попытку.")});
        EXPECT_EQ(o.lines.last(), QStringLiteral("Закрыт порт 2"));
    }
    {
        SCOPED_TRACE("ERROR to the reset");
        const Outcome o = SetUpModem({"--modem-error-count", "5"}, kModemAtComputer);
        EXPECT_FALSE(o.ok);
        EXPECT_TRUE(o.messages.isEmpty());
        EXPECT_EQ(o.lines.mid(o.lines.size() - 2),
                  (QStringList{QStringLiteral("Получен некорректный ответ"), QStringLiteral("Закрыт порт 2")}));
    }
    {
        // AT+IPR=9600 moves the port to 9600, where this modem is deaf: AT&W gets no answer.
        SCOPED_TRACE("19200 only, computer");
        const Outcome o = SetUpModem({"--modem-only-19200"}, kModemAtComputer);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.lines.mid(o.lines.size() - 3),
                  (QStringList{"-->AT&W\r\n", QStringLiteral("Нет ответа"), QStringLiteral("Закрыт порт 2")}));
        EXPECT_EQ(o.messages, QStringList{QStringLiteral("Возникла ошибка. Повторите попытку.")});
    }
}
