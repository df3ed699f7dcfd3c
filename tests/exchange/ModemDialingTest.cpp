#include "exchange/ModemDialing.h"
#include "link/FakeSerialPort.h"

#include <gtest/gtest.h>

using namespace qst;

namespace {

struct Modem
{
    FakeLinkClock clock;
    FakeSerialPort port{clock};
    QStringList log;
    LogFunction Log()
    {
        return [this](const QString &t) { log.append(t); };
    }
};

} // namespace

TEST(ModemDialing, DialString)
{
    EXPECT_EQ(DialString(QStringLiteral("8 (999) 123-45-67")), QStringLiteral("+79991234567"));
    EXPECT_EQ(DialString(QStringLiteral("8-999-123-45-67")), QStringLiteral("+79991234567"));
    EXPECT_EQ(DialString(QStringLiteral("+7 999 123 45 67")), QStringLiteral("+79991234567"));
    EXPECT_EQ(DialString(QStringLiteral("тел. 123")), QStringLiteral("+723"));
    EXPECT_EQ(DialString(QStringLiteral("нет")), QString());
}

TEST(ModemDialing, ConnectsWhenTheAnswerSaysConnect)
{
    Modem m;
    m.port.AddAnswer("OK\r\n", 30);
    // The echo at once, CONNECT twenty seconds later.
    QByteArray answer = "ATD+79991234567\r\n";
    QList<int> delays(answer.size(), 5);
    const QByteArray connect = "\r\nCONNECT 9600\r\n";
    answer += connect;
    for (int i = 0; i < connect.size(); ++i)
        delays.append(20000 + i);
    m.port.AddTimedAnswer(answer, delays);
    EXPECT_TRUE(DialModem(m.port, m.clock, QStringLiteral("8 (999) 123-45-67"), m.Log()));
    EXPECT_EQ(m.port.writes(), (QList<QByteArray>{"ATZ\r\n", "ATD+79991234567\r\n"}));
    EXPECT_EQ(m.log, (QStringList{QStringLiteral("Инициализация модема выполнена"),
                                  QStringLiteral("Набор номера 8 (999) 123-45-67"),
                                  QStringLiteral("Соединение установлено. Ответ модема: \r\nCONNECT 9600\r\n")}));
    // Every command goes out with line A raised.
    EXPECT_EQ(m.port.calls().mid(0, 5), (QStringList{QStringLiteral("FlushPort(0)"), QStringLiteral("FlushPort(1)"),
                                                     QStringLiteral("SetLineB(1)"), QStringLiteral("SetLineA(1)"),
                                                     QStringLiteral("WritePort(5)")}));
}

TEST(ModemDialing, BusyLineAndSilentModem)
{
    Modem busy;
    busy.port.AddAnswer("OK\r\n");
    busy.port.AddTimedAnswer("ATD+71\r\n\r\nBUSY\r\n", {0, 0, 0, 0, 0, 0, 0, 0, 3000, 3000, 3000, 3000, 3000, 3000, 3000, 3000});
    EXPECT_FALSE(DialModem(busy.port, busy.clock, QStringLiteral("81"), busy.Log()));
    EXPECT_EQ(busy.log.last(), QStringLiteral("Соединение не установлено. Ответ модема: \r\nBUSY\r\n"));
    EXPECT_LT(busy.clock.Tick(), 10000u) << "a busy answer ends the wait at once";

    Modem silent;
    EXPECT_FALSE(DialModem(silent.port, silent.clock, QStringLiteral("81"), silent.Log()));
    EXPECT_EQ(silent.port.writes().size(), 3) << "three resets";
    EXPECT_EQ(silent.log, QStringList{QStringLiteral("Модем не отвечает")});

    Modem noCarrier; // resets, then nothing after the dial command for a minute
    noCarrier.port.AddAnswer("OK\r\n");
    noCarrier.port.AddSilence();
    EXPECT_FALSE(DialModem(noCarrier.port, noCarrier.clock, QStringLiteral("81"), noCarrier.Log()));
    EXPECT_EQ(noCarrier.log.last(), QStringLiteral("Модем не отвечает"));
    EXPECT_GE(noCarrier.clock.Tick(), 59000u);

    Modem bad;
    EXPECT_FALSE(DialModem(bad.port, bad.clock, QStringLiteral("нет номера"), bad.Log()));
    EXPECT_TRUE(bad.port.writes().isEmpty());
}

TEST(ModemDialing, HangUp)
{
    Modem m;
    m.port.AddAnswer("");
    m.port.AddAnswer("OK\r\n");
    HangUpModem(m.port, m.clock, m.Log());
    EXPECT_EQ(m.port.writes(), (QList<QByteArray>{"+++", "ATH0\r\n"}));
    EXPECT_GE(m.clock.Tick(), 3000u);
    EXPECT_EQ(m.log, QStringList{QStringLiteral("Связь с модемом прекращена")});
}
