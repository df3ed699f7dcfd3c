#include "exchange/ModemSetup.h"
#include "link/FakeSerialPort.h"

#include <gtest/gtest.h>

using namespace qst;

namespace {

struct Conversation
{
    FakeLinkClock clock;
    FakeSerialPort port{clock};
    QStringList lines;
    QStringList messages;
    bool result = false;

    // A modem that echoes every command and answers "OK" (or `answer`).
    void Answering(const QByteArray &answer = "\r\nOK\r\n")
    {
        port.SetResponder([answer](const QByteArray &request) { return request + answer; }, 20);
    }

    void Run(int device, int portNumber = 3, std::function<bool(int)> inUse = {})
    {
        ModemSetupCalls calls;
        calls.line = [this](const QString &l) { lines.append(l); };
        calls.message = [this](const QString &m) { messages.append(m); };
        calls.portInUse = std::move(inUse);
        result = RunModemSetup(&port, portNumber, device, clock, calls);
    }

    int Count(const QByteArray &command) const { return static_cast<int>(port.writes().count(command)); }
};

QString S(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

} // namespace

TEST(ModemSetup, ComputerModemGetsThreeCommandsInTheDialogsOrder)
{
    Conversation s;
    s.Answering();
    s.Run(kModemAtComputer);
    EXPECT_TRUE(s.result);
    EXPECT_EQ(s.port.writes(), (QList<QByteArray>{"ATZ\r\n", "AT&F\r\n", "AT+IPR=9600\r\n", "AT&W\r\n"}));
    EXPECT_EQ(s.lines, (QStringList{S("Открыт порт 3"), S("-->ATZ"), S("<--ATZ\r\n\r\nOK\r\n"),
                                    S("Инициализация модема прошла успешно"), S("-->AT&F\r\n"),
                                    S("<--AT&F\r\n\r\nOK\r\n"), S("Восстановлены заводские настройки"),
                                    S("-->AT+IPR=9600\r\n"), S("<--AT+IPR=9600\r\n\r\nOK\r\n"),
                                    S("Скорость соединения установлена"), S("-->AT&W\r\n"), S("<--AT&W\r\n\r\nOK\r\n"),
                                    S("Изменения записаны"), S("Закрыт порт 3")}));
    EXPECT_EQ(s.messages, QStringList{S("Настройка выполнена успешно.")});
    EXPECT_FALSE(s.port.isOpen());

    const QStringList calls = s.port.calls();
    EXPECT_EQ(calls.mid(0, 4), (QStringList{"OpenPort", "SetLineParams(12,3)", "SetLineA(1)", "SetLineB(1)"}));
    // Before every write: input and output discarded, then A 0, B 0, A 1.
    const QStringList beforeWrite = {"FlushPort(0)", "FlushPort(1)", "SetLineA(0)", "SetLineB(0)", "SetLineA(1)"};
    int writes = 0;
    for (int i = 0; i < calls.size(); ++i) {
        if (!calls[i].startsWith(QStringLiteral("WritePort")))
            continue;
        ++writes;
        EXPECT_EQ(calls.mid(i - 5, 5), beforeWrite) << i;
    }
    EXPECT_EQ(writes, 4);
    // After AT+IPR=9600 the port goes to 9600; the end: A 0, B 0, close.
    EXPECT_EQ(calls.mid(calls.size() - 3), (QStringList{"SetLineA(0)", "SetLineB(0)", "ClosePort"}));
    EXPECT_EQ(calls.count(QStringLiteral("SetLineParams(12,3)")), 2);
    // A second's pause before each of the three commands.
    EXPECT_GE(s.clock.Tick(), 3000u);
}

TEST(ModemSetup, CalculatorModemWithNumericAnswersAfterThreeSilences)
{
    Conversation s;
    s.port.AddSilence();
    s.port.AddSilence();
    s.port.AddSilence();
    // Numeric results and no echo: "0" is the good answer.
    s.port.SetResponder([](const QByteArray &) { return QByteArray("0\r"); }, 20);
    s.Run(kModemAtCalculator);
    EXPECT_TRUE(s.result);
    EXPECT_EQ(s.port.writes(),
              (QList<QByteArray>{"ATZ\r\n", "ATZ\r\n", "ATZ\r\n", "ATZ\r\n", "AT&F\r\n", "ATS0=1\r\n", "ATS7=120\r\n",
                                 "AT+IPR=19200\r\n", "ATV0\r\n", "ATE0\r\n", "AT&W\r\n"}));
    EXPECT_EQ(s.lines.mid(0, 9),
              (QStringList{S("Открыт порт 3"), S("-->ATZ"), S("Нет ответа"), S("-->ATZ"), S("Нет ответа"), S("-->ATZ"),
                           S("Нет ответа"), S("-->ATZ"), S("<--0\r")}));
    for (const char *text : {"Автоматическое снятие трубки включено", "Тайм-аут установления соединения установлен",
                             "Скорость соединения установлена", "Формат ответа модема установлен", "Эхо отключено",
                             "Изменения записаны"})
        EXPECT_TRUE(s.lines.contains(S(text))) << text;
    EXPECT_EQ(s.messages, QStringList{S("Настройка выполнена успешно.")});
    // 19200 after the third silence (before the fourth reset), and again after AT+IPR=19200.
    const QStringList calls = s.port.calls();
    int writesBefore19200 = 0;
    for (const QString &c : calls.mid(0, calls.indexOf(QStringLiteral("SetLineParams(13,3)"))))
        writesBefore19200 += c.startsWith(QStringLiteral("WritePort"));
    EXPECT_EQ(writesBefore19200, 3);
    EXPECT_EQ(calls.count(QStringLiteral("SetLineParams(13,3)")), 2);
}

TEST(ModemSetup, WrongAnswersAreTriedFiveTimes)
{
    const QByteArray error = "\r\nERROR\r\n";
    const struct
    {
        const char *name;
        QByteArray command;
        int errors;
        bool ok;
    } cases[] = {
        {"four errors on AT&F", "AT&F\r\n", 4, true},
        {"five errors on AT&F", "AT&F\r\n", 5, false},
        {"four errors on AT&W", "AT&W\r\n", 4, true},
        {"five errors on AT&W", "AT&W\r\n", 5, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Conversation s;
        int errorsLeft = c.errors;
        const QByteArray command = c.command;
        s.port.SetResponder(
            [&errorsLeft, command, error](const QByteArray &request) {
                if (request == command && errorsLeft > 0) {
                    --errorsLeft;
                    return request + error;
                }
                return request + QByteArray("\r\nOK\r\n");
            },
            20);
        s.Run(kModemAtComputer);
        EXPECT_EQ(s.result, c.ok);
        EXPECT_EQ(s.Count(c.command), c.ok ? c.errors + 1 : 5);
        EXPECT_EQ(s.lines.count(S("Получен некорректный ответ")), c.ok ? c.errors : 5);
        EXPECT_EQ(s.messages,
                  QStringList{c.ok ? S("Настройка выполнена успешно.") : S("Возникла ошибка. Повторите попытку.")});
        EXPECT_EQ(s.lines.last(), S("Закрыт порт 3"));
        EXPECT_FALSE(s.port.isOpen());
    }
}

TEST(ModemSetup, SilenceAfterTheResetFailsAtOnce)
{
    Conversation s;
    s.port.AddAnswer("OK\r\n", 20);
    s.Run(kModemAtCalculator);
    EXPECT_FALSE(s.result);
    EXPECT_EQ(s.port.writes(), (QList<QByteArray>{"ATZ\r\n", "AT&F\r\n"}));
    EXPECT_EQ(s.lines.mid(s.lines.size() - 3), (QStringList{S("-->AT&F\r\n"), S("Нет ответа"), S("Закрыт порт 3")}));
    EXPECT_EQ(s.messages, QStringList{S("Возникла ошибка. Повторите попытку.")});
}

TEST(ModemSetup, ResetFailures)
{
    Conversation silent;
    silent.Run(kModemAtComputer);
    EXPECT_FALSE(silent.result);
    EXPECT_EQ(silent.Count("ATZ\r\n"), 6);
    EXPECT_EQ(silent.lines.count(S("Нет ответа")), 6);
    EXPECT_EQ(silent.messages, QStringList{S("Возникла ошибка. Проверьте подключени и повторите попытку.")});
    EXPECT_FALSE(silent.port.isOpen());

    // A wrong answer to the reset ends in the conversation box only.
    Conversation wrong;
    wrong.port.AddAnswer("ATZ\r\r\nERROR\r\n", 20);
    wrong.Run(kModemAtComputer);
    EXPECT_FALSE(wrong.result);
    EXPECT_EQ(wrong.port.writes().size(), 1);
    EXPECT_EQ(wrong.lines, (QStringList{S("Открыт порт 3"), S("-->ATZ"), S("<--ATZ\r\r\nERROR\r\n"),
                                        S("Получен некорректный ответ"), S("Закрыт порт 3")}));
    EXPECT_TRUE(wrong.messages.isEmpty());
    EXPECT_FALSE(wrong.port.isOpen());
}

TEST(ModemSetup, PortProblemsStayInTheConversationBox)
{
    Conversation none;
    none.Run(kModemAtComputer, 0);
    EXPECT_EQ(none.lines, QStringList{S("Не указан порт")});
    EXPECT_TRUE(none.port.calls().isEmpty());

    Conversation failing;
    failing.port.FailOpen(-2, QStringLiteral("no such device"));
    failing.Run(kModemAtComputer, 5);
    EXPECT_EQ(failing.lines, QStringList{S("Невозможно открыть порт. Код ошибки -2")});
    EXPECT_TRUE(failing.messages.isEmpty());

    Conversation busy;
    busy.Answering();
    busy.Run(kModemAtComputer, 7, [](int port) { return port == 7; });
    EXPECT_FALSE(busy.result);
    EXPECT_EQ(busy.lines, QStringList{S("Порт занят опросом приборов: 7")});
    EXPECT_TRUE(busy.port.calls().isEmpty());
}
