// qst-sim behind its Hayes modem, driven as the exchange engine drives a modem.
#include "SimHarness.h"

#include <gtest/gtest.h>

using namespace qst::test;

namespace {

const QByteArray kSerialRequest = ReadRequest(1, 3, 8, 2);

} // namespace

TEST(SimModem, DialExchangeHangUp)
{
    SimProcess sim({ "--modem", "--connect-delay-ms", "300", "--busy", "8 (111) 222-33-44", "--serial", "4321",
        "--latency-ms", "0" });
    ASSERT_TRUE(sim.started());
    RawPort port(sim.path(), 9600);
    ASSERT_TRUE(port.isOpen());

    // No connection yet: Modbus does not reach the calculator.
    port.Write(kSerialRequest);
    EXPECT_TRUE(port.ReadFor(600).isEmpty());

    port.Write("ATZ\r\n");
    const QByteArray reset = port.ReadUntil("OK\r\n");
    EXPECT_TRUE(reset.startsWith("ATZ\r")) << reset.toStdString(); // echo is on
    EXPECT_TRUE(reset.contains("\r\nOK\r\n")) << reset.toStdString();

    port.Write("ATD+71112223344\r\n");
    const QByteArray busy = port.ReadUntil("BUSY\r\n");
    EXPECT_TRUE(busy.contains("\r\nBUSY\r\n")) << busy.toStdString();

    port.Write("ATD+79991234567\r\n");
    const QByteArray echo = port.ReadUntil("4567\r", 2000);
    EXPECT_TRUE(echo.startsWith("ATD+79991234567\r")) << echo.toStdString();
    EXPECT_FALSE(echo.contains("CONNECT")); // the result comes later, as its own answer
    const QByteArray connect = port.ReadUntil("CONNECT 9600\r\n");
    EXPECT_TRUE(connect.contains("CONNECT 9600")) << connect.toStdString();

    const QByteArray answer = port.Transact(kSerialRequest, 9);
    ASSERT_EQ(answer.size(), 9);
    EXPECT_TRUE(CrcOk(answer));
    EXPECT_EQ(BE16(answer, 3), 4321);

    port.Write("+++");
    EXPECT_TRUE(port.ReadUntil("OK\r\n").contains("OK"));
    port.Write("ATH0\r\n");
    EXPECT_TRUE(port.ReadUntil("OK\r\n").contains("ATH0\r\r\nOK\r\n"));

    port.Write(kSerialRequest);
    EXPECT_TRUE(port.ReadFor(600).isEmpty());

    // Echo off and numeric results.
    port.Write("ATE0V0\r\n");
    EXPECT_EQ(port.ReadUntil("\r0\r"), QByteArray("ATE0V0\r0\r")); // echoed while echo was on
    port.Write("ATS0=1\r\n");
    EXPECT_EQ(port.ReadCount(2), QByteArray("0\r"));
    // ATZ loads the profile AT&W stored; AT&F the factory one.
    port.Write("AT&W\r\n");
    EXPECT_EQ(port.ReadCount(2), QByteArray("0\r"));
    port.Write("ATZ\r\n");
    EXPECT_EQ(port.ReadCount(2), QByteArray("0\r"));
    port.Write("AT&F\r\n");
    EXPECT_EQ(port.ReadUntil("OK\r\n"), QByteArray("\r\nOK\r\n")); // echo was still off for this line
}

TEST(SimModem, FaultOptions)
{
    {
        SimProcess sim({ "--modem", "--modem-error-count", "2" });
        ASSERT_TRUE(sim.started());
        RawPort port(sim.path(), 9600);
        for (int i = 0; i < 2; ++i) {
            port.Write("ATZ\r\n");
            EXPECT_TRUE(port.ReadUntil("ERROR\r\n").contains("\r\nERROR\r\n")) << i;
        }
        port.Write("ATZ\r\n");
        EXPECT_TRUE(port.ReadUntil("OK\r\n").contains("\r\nOK\r\n"));
    }
    {
        SimProcess sim({ "--modem", "--modem-only-19200" });
        ASSERT_TRUE(sim.started());
        {
            RawPort slow(sim.path(), 9600);
            slow.Write("ATZ\r\n");
            EXPECT_TRUE(slow.ReadFor(600).isEmpty());
        }
        RawPort fast(sim.path(), 19200);
        fast.Write("ATZ\r\n");
        EXPECT_TRUE(fast.ReadUntil("OK\r\n").contains("OK"));
    }
    {
        SimProcess sim({ "--modem", "--modem-silent" });
        ASSERT_TRUE(sim.started());
        RawPort port(sim.path(), 9600);
        port.Write("ATZ\r\n");
        EXPECT_TRUE(port.ReadFor(600).isEmpty());
    }
}
