// Several calculators on one simulated line, as on RS-485: raw frames over the pty.
#include "SimHarness.h"

#include <QProcess>

#include <gtest/gtest.h>

using namespace qst::test;

namespace {

// Serial (register 8) and address (register 10) as the calculator at `address` reports them.
QByteArray ReadSerialAndAddress(RawPort &port, int address)
{
    return port.Transact(ReadRequest(address, 3, 8, 3), 11, 2000);
}

} // namespace

TEST(SimBus, EachCalculatorAnswersOnlyItsOwnAddress)
{
    SimProcess sim({ "--bus", "50001@1,50002@2:1,50003@3", "--baud", "19200", "--latency-ms", "0" });
    ASSERT_TRUE(sim.started());
    RawPort port(sim.path());
    ASSERT_TRUE(port.isOpen());

    const struct
    {
        int address;
        int serial;
        int version;
    } members[] = { { 1, 50001, 2 }, { 2, 50002, 1 }, { 3, 50003, 2 } };
    for (const auto &m : members) {
        SCOPED_TRACE(m.address);
        const QByteArray answer = ReadSerialAndAddress(port, m.address);
        ASSERT_EQ(answer.size(), 11);
        EXPECT_TRUE(CrcOk(answer));
        EXPECT_EQ(static_cast<quint8>(answer[0]), m.address) << "the answer carries its sender's address";
        EXPECT_EQ(BE16(answer, 3), m.serial);
        EXPECT_EQ(BE16(answer, 7), m.address);
        // Identification: version at answer byte 9; the device type's text differs in length.
        const QByteArray id = port.Transact(WithCrc({ m.address, 0x11 }), m.version == 2 ? 22 : 20, 2000);
        ASSERT_GE(id.size(), 10);
        EXPECT_EQ(id[9], m.version);
        EXPECT_TRUE(port.ReadFor(100).isEmpty()) << "one answer, from one calculator";
    }

    // An address nobody has, and the broadcast address: no answer at all, and the line is
    // still served afterwards.
    for (int address : { 4, 247, 0 }) {
        SCOPED_TRACE(address);
        port.Write(ReadRequest(address, 3, 8, 3));
        EXPECT_TRUE(port.ReadFor(400).isEmpty());
        EXPECT_EQ(BE16(ReadSerialAndAddress(port, 3), 3), 50003);
    }
}

TEST(SimBus, FaultOptionsCountEachCalculatorsOwnRequests)
{
    SimProcess sim({ "--bus", "61001@10,61002@20", "--drop-every", "2", "--baud", "19200", "--latency-ms", "0" });
    ASSERT_TRUE(sim.started());
    RawPort port(sim.path());
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(ReadSerialAndAddress(port, 10).size(), 11);
    EXPECT_EQ(ReadSerialAndAddress(port, 20).size(), 11) << "the first request to 20, though the line's second";
    port.Write(ReadRequest(10, 3, 8, 3));
    EXPECT_TRUE(port.ReadFor(400).isEmpty()) << "the second request to 10 is dropped";
    port.Write(ReadRequest(20, 3, 8, 3));
    EXPECT_TRUE(port.ReadFor(400).isEmpty()) << "the second request to 20 is dropped";
}

TEST(SimBus, MalformedListsAreRefused)
{
    const struct
    {
        const char *name;
        QStringList args;
        const char *message;
    } cases[] = {
        { "duplicate address", { "--bus", "50001@1,50002@2,50003@2" }, "\"50003@2\": address 2 is already taken" },
        { "duplicate serial", { "--bus", "50001@1,50001@2" }, "\"50001@2\": serial 50001 is already on this line" },
        { "address 0", { "--bus", "50001@0" }, "\"50001@0\": address \"0\" is not a number in 1..247" },
        { "address 248", { "--bus", "50001@1,50002@248" }, "\"50002@248\": address \"248\" is not a number in 1..247" },
        { "address missing", { "--bus", "50001@" }, "address \"\" is not a number in 1..247" },
        { "serial not a number", { "--bus", "5000x@1" }, "\"5000x@1\": serial \"5000x\" is not a number in 0..65535" },
        { "serial too big", { "--bus", "65536@1" }, "serial \"65536\" is not a number in 0..65535" },
        { "serial negative", { "--bus", "-1@1" }, "serial \"-1\" is not a number in 0..65535" },
        { "version 3", { "--bus", "50001@1:3" }, "\"50001@1:3\": version \"3\" is not 1 or 2" },
        { "version empty", { "--bus", "50001@1:" }, "version \"\" is not 1 or 2" },
        { "no address", { "--bus", "50001" }, "\"50001\": not SERIAL@ADDRESS[:VERSION]" },
        { "empty entry", { "--bus", "50001@1,,50002@2" }, "\"\": not SERIAL@ADDRESS[:VERSION]" },
        { "empty list", { "--bus", "" }, "not SERIAL@ADDRESS[:VERSION]" },
        { "with --serial", { "--bus", "50001@1", "--serial", "5" }, "--bus excludes --serial and --address" },
        { "with --address", { "--bus", "50001@1", "--address", "5" }, "--bus excludes --serial and --address" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QProcess p;
        p.start(QStringLiteral(QST_SIM_PATH), c.args);
        ASSERT_TRUE(p.waitForFinished(10000)) << "a refused list opens no line and serves nothing";
        EXPECT_EQ(p.exitCode(), 2);
        EXPECT_TRUE(p.readAllStandardOutput().isEmpty());
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        EXPECT_TRUE(err.startsWith(QStringLiteral("qst-sim: "))) << err.toStdString();
        EXPECT_TRUE(err.contains(QString::fromUtf8(c.message))) << err.toStdString();
        EXPECT_EQ(err.count(u'\n'), 1) << err.toStdString();
    }
}
