// libmodbus as the master: an implementation of Modbus RTU that owes nothing to ours.
#include "SimHarness.h"

#include <QDateTime>

#include <gtest/gtest.h>
#include <modbus.h>

#include <cerrno>

using namespace qst::test;

namespace {

struct PeerCase
{
    int version;
    int serial;
    int reportSerial; // -1: the real one
    int holdingCount;
    int inputCount;
    int clockOffsetS;
};

class ModbusMaster
{
public:
    ModbusMaster(const QString &path, int slave)
    {
        m_path = path.toLocal8Bit();
        m_ctx = modbus_new_rtu(m_path.constData(), 19200, 'N', 8, 1);
        if (!m_ctx)
            return;
        modbus_set_slave(m_ctx, slave);
        modbus_set_response_timeout(m_ctx, 5, 0);
        m_connected = modbus_connect(m_ctx) == 0;
    }
    ~ModbusMaster()
    {
        if (m_ctx) {
            modbus_close(m_ctx);
            modbus_free(m_ctx);
        }
    }
    bool connected() const { return m_connected; }
    modbus_t *ctx() const { return m_ctx; }

private:
    QByteArray m_path;
    modbus_t *m_ctx = nullptr;
    bool m_connected = false;
};

class SimPeer : public ::testing::TestWithParam<PeerCase>
{
};

} // namespace

TEST_P(SimPeer, RegistersAndIdentification)
{
    const PeerCase p = GetParam();
    QStringList args { "--calc", QString::number(p.version), "--serial", QString::number(p.serial), "--address", "7",
        "--baud", "19200", "--latency-ms", "0", "--hourly-slots", "100", "--daily-slots", "40", "--monthly-slots", "12",
        "--journal-slots", "64" };
    if (p.reportSerial >= 0)
        args << "--report-serial" << QString::number(p.reportSerial);
    args << "--clock-offset-s" << QString::number(p.clockOffsetS);
    SimProcess sim(args);
    ASSERT_TRUE(sim.started());
    ModbusMaster master(sim.path(), 7);
    ASSERT_TRUE(master.connected());

    // Clock and serial number.
    uint16_t hold[125] = {};
    const QDateTime before = QDateTime::currentDateTime();
    ASSERT_EQ(modbus_read_registers(master.ctx(), 0, 10, hold), 10) << modbus_strerror(errno);
    const QDateTime clock(QDate(2000 + hold[0], hold[1], hold[2]), QTime(hold[3], hold[4], hold[5]));
    ASSERT_TRUE(clock.isValid());
    EXPECT_LE(qAbs(before.addSecs(p.clockOffsetS).secsTo(clock)), 120);
    EXPECT_EQ(hold[8], p.reportSerial >= 0 ? p.reportSerial : p.serial);

    // The whole holding block in one read; one register beyond it is an exception.
    EXPECT_EQ(modbus_read_registers(master.ctx(), 0, p.holdingCount, hold), p.holdingCount);
    EXPECT_EQ(modbus_read_registers(master.ctx(), 0, p.holdingCount + 1, hold), -1);
    EXPECT_EQ(errno, EMBXILADD);

    // Ring parameters: c as configured, b and a inside the ring, full rings (history = capacity).
    uint16_t in[125] = {};
    ASSERT_EQ(modbus_read_input_registers(master.ctx(), 6, 12, in), 12) << modbus_strerror(errno);
    const int capacity[3] = { 100, 40, 12 };
    for (int kind = 0; kind < 3; ++kind) {
        const int c = in[3 * kind];
        const int b = in[3 * kind + 1];
        const int a = in[3 * kind + 2];
        SCOPED_TRACE(kind);
        EXPECT_EQ(c, capacity[kind]);
        EXPECT_LE(b, c);
        EXPECT_LE(a, c);
        EXPECT_EQ(b <= a ? a - b : a - b + c + 1, c); // a full ring holds c records
    }
    EXPECT_EQ(in[9], 64);
    EXPECT_LE(in[11], 64);

    // Current values as the versions read them: one block of 120, or two of 68.
    if (p.version == 1) {
        EXPECT_EQ(modbus_read_input_registers(master.ctx(), 0, 120, in), 120);
        EXPECT_EQ(modbus_read_input_registers(master.ctx(), 0, 121, in), -1);
    } else {
        EXPECT_EQ(modbus_read_input_registers(master.ctx(), 0, 68, in), 68);
        EXPECT_EQ(modbus_read_input_registers(master.ctx(), 68, 68, in), 68);
        EXPECT_EQ(modbus_read_input_registers(master.ctx(), 68, 69, in), -1);
    }

    // Identification: answer byte 9 the version, byte 10 the snapshot flag.
    uint8_t id[256] = {};
    const int n = modbus_report_slave_id(master.ctx(), sizeof id, id);
    ASSERT_GE(n, 8) << modbus_strerror(errno);
    EXPECT_EQ(id[9 - 3], p.version);
    EXPECT_EQ(id[10 - 3], p.version == 2 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, SimPeer,
    ::testing::Values(PeerCase { 1, 777, -1, 93, 120, 0 }, PeerCase { 2, 65535, -1, 103, 136, 0 },
        PeerCase { 2, 40000, 4242, 103, 136, -3 * 86400 - 600 }),
    [](const ::testing::TestParamInfo<PeerCase> &info) {
        return QStringLiteral("V%1Serial%2").arg(info.param.version).arg(info.param.serial).toStdString();
    });

TEST(SimPeerAddress, AnswersOnlyItsOwnAddress)
{
    SimProcess sim({ "--address", "5", "--baud", "19200", "--latency-ms", "0" });
    ASSERT_TRUE(sim.started());
    {
        ModbusMaster other(sim.path(), 6);
        ASSERT_TRUE(other.connected());
        modbus_set_response_timeout(other.ctx(), 1, 0);
        uint16_t regs[2] = {};
        EXPECT_EQ(modbus_read_registers(other.ctx(), 8, 2, regs), -1);
        EXPECT_EQ(errno, ETIMEDOUT);
    }
    // The peer closed the line and opens it again: the simulator is still there.
    ModbusMaster own(sim.path(), 5);
    ASSERT_TRUE(own.connected());
    uint16_t regs[2] = {};
    EXPECT_EQ(modbus_read_registers(own.ctx(), 8, 2, regs), 2) << modbus_strerror(errno);
    EXPECT_EQ(regs[0], 12345);
}
