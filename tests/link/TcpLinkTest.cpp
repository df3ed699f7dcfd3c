// The network link against a loopback server in the test's own thread (the kernel completes
// a connection before the server accepts it), and the [PORTS] texts it is made from.
#include "link/PortLinks.h"
#include "link/TcpLink.h"

#include "common/DataRoot.h"
#include "common/ProfileFile.h"
#include "link/LinkClock.h"
#include "link/ModbusRtu.h"
#include "support/TempDataRoot.h"

#include "LinkFrames.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>

using namespace qst;
using namespace qst::test;

namespace {

// A port on the loopback address that nothing listens on.
quint16 ClosedPort(const QHostAddress &host)
{
    QTcpServer probe;
    probe.listen(host, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

QString Address(const QTcpServer &server)
{
    return server.serverAddress().protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("tcp://[%1]:%2").arg(server.serverAddress().toString()).arg(server.serverPort())
        : QStringLiteral("tcp://%1:%2").arg(server.serverAddress().toString()).arg(server.serverPort());
}

std::unique_ptr<QTcpSocket> Accept(QTcpServer &server)
{
    server.waitForNewConnection(5000);
    return std::unique_ptr<QTcpSocket>(server.nextPendingConnection());
}

QByteArray ReadFrom(QTcpSocket &peer, int count)
{
    QByteArray in;
    while (in.size() < count && peer.waitForReadyRead(5000))
        in += peer.readAll();
    return in;
}

} // namespace

TEST(PortMapping, TcpAddresses)
{
    const struct
    {
        const char *text;
        const char *host; // nullptr: refused
        int port;
    } cases[] = {
        {"tcp://127.0.0.1:502", "127.0.0.1", 502},
        {"TCP://10.1.2.3:4001", "10.1.2.3", 4001},
        {"tcp://[::1]:5020", "::1", 5020},
        {"tcp://[fe80::1:2]:1", "fe80::1:2", 1},
        {"  tcp://gprs-17.heat.example:65535  ", "gprs-17.heat.example", 65535},
        {"tcp://modem7:9000", "modem7", 9000},
        {"tcp://127.0.0.1", nullptr, 0},
        {"tcp://127.0.0.1:", nullptr, 0},
        {"tcp://:502", nullptr, 0},
        {"tcp://127.0.0.1:0", nullptr, 0},
        {"tcp://127.0.0.1:65536", nullptr, 0},
        {"tcp://127.0.0.1:+502", nullptr, 0},
        {"tcp://127.0.0.1:50x", nullptr, 0},
        {"tcp://300.1.1.1:502", nullptr, 0},
        {"tcp://1.2.3:502", nullptr, 0},
        {"tcp://::1:502", nullptr, 0},
        {"tcp://[::1:502", nullptr, 0},
        {"tcp://[127.0.0.1]:502", nullptr, 0},
        {"tcp://[::1]502", nullptr, 0},
        {"tcp://host_name:502", nullptr, 0},
        {"tcp://-host:502", nullptr, 0},
        {"tcp://user@host:502", nullptr, 0},
        {"tcp://host:502/path", nullptr, 0},
        {"tcp://ho st:502", nullptr, 0},
        {"udp://127.0.0.1:502", nullptr, 0},
        {"tcp:/127.0.0.1:502", nullptr, 0}, // no scheme: a device path, not refused by the address rules
    };
    for (const auto &c : cases) {
        const QString text = QString::fromUtf8(c.text);
        TcpAddress address;
        const QString problem = TcpAddressProblem(text, &address);
        if (c.host) {
            EXPECT_EQ(problem, QString()) << c.text;
            EXPECT_EQ(address.host, QString::fromUtf8(c.host)) << c.text;
            EXPECT_EQ(address.port, c.port) << c.text;
            EXPECT_EQ(PortMappingProblem(text), QString()) << c.text;
        } else {
            EXPECT_FALSE(problem.isEmpty()) << c.text;
            EXPECT_TRUE(problem.contains(text.trimmed())) << "the message names the text: " << c.text;
            EXPECT_EQ(PortMappingProblem(text).isEmpty(), !IsNetworkAddress(text)) << c.text;
        }
    }
    for (const char *device : {"/dev/ttyUSB0", "/dev/pts/7", "COM3"})
        EXPECT_EQ(PortMappingProblem(QString::fromUtf8(device)), QString()) << device;
}

TEST(PortMapping, MakesTheLinkTheMappingNames)
{
    TempDataRoot root;
    ProfileFile tree(TreeIniPath(root.path()));
    tree.WriteString(QStringLiteral("PORTS"), QStringLiteral("1"), QStringLiteral("tcp://127.0.0.1:1502"));
    tree.WriteString(QStringLiteral("PORTS"), QStringLiteral("Fast1"), QStringLiteral("1"));
    tree.WriteString(QStringLiteral("PORTS"), QStringLiteral("2"), QStringLiteral("/dev/ttyUSB3"));
    tree.WriteString(QStringLiteral("PORTS"), QStringLiteral("Fast3"), QStringLiteral("0"));
    const struct
    {
        int port;
        bool tcp;
        bool fast;
    } cases[] = {{1, true, true}, {2, false, false}, {3, false, false}, {4, false, false}};
    for (const auto &c : cases) {
        const std::unique_ptr<SerialPort> link = MakePortLink(c.port, root.path());
        EXPECT_EQ(dynamic_cast<TcpLink *>(link.get()) != nullptr, c.tcp) << c.port;
        EXPECT_EQ(link->FastFraming(), c.fast) << c.port;
    }
}

TEST(TcpLink, RefusedAndMalformedOpensCarryTheReason)
{
    const struct
    {
        QString address;
        int code;
        const char *reason;
    } cases[] = {
        {QStringLiteral("tcp://127.0.0.1:%1").arg(ClosedPort(QHostAddress::LocalHost)), kPortOpenFailed, "refused"},
        {QStringLiteral("tcp://[::1]:%1").arg(ClosedPort(QHostAddress::LocalHostIPv6)), kPortOpenFailed, "refused"},
        {QStringLiteral("tcp://127.0.0.1"), kPortBadAddress, "tcp://127.0.0.1"},
    };
    for (const auto &c : cases) {
        TcpLink link(1, c.address);
        EXPECT_EQ(link.OpenPort(), c.code) << c.address.toStdString();
        EXPECT_TRUE(link.errorText().contains(QString::fromUtf8(c.reason), Qt::CaseInsensitive))
            << link.errorText().toStdString();
        quint8 byte = 0;
        EXPECT_LT(link.ReadPort(&byte, 1), 0);
        EXPECT_LT(link.WritePort(&byte, 1), 0) << "a link never opened does not connect on its own";
    }
}

TEST(TcpLink, CarriesATransactionAndReconnectsAfterADrop)
{
    for (const QHostAddress &host : {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)}) {
        QTcpServer server;
        ASSERT_TRUE(server.listen(host, 0));
        TcpLink link(3, Address(server));
        QStringList reports;
        link.SetReopenReport([&](int code, const QString &reason) { reports << QStringLiteral("%1 %2").arg(code).arg(reason); });
        ASSERT_EQ(link.OpenPort(), 0) << link.errorText().toStdString();
        EXPECT_EQ(link.SetLineParams(kSpeed9600, kFormat8N1), 0);
        EXPECT_EQ(link.BaudRate(), 9600);
        EXPECT_EQ(link.SetLineA(1), 0);
        std::unique_ptr<QTcpSocket> peer = Accept(server);
        ASSERT_TRUE(peer);

        const QByteArray request = WithCrc(Bytes({0x01, 0x03, 0x00, 0x08, 0x00, 0x02}));
        const QByteArray answer = WithCrc(Bytes({0x01, 0x03, 0x04, 0x30, 0x39, 0x00, 0x00}));
        link.FlushPort(0);
        link.FlushPort(1);
        ASSERT_EQ(link.WritePort(Data(request), static_cast<int>(request.size())), request.size());
        EXPECT_EQ(ReadFrom(*peer, static_cast<int>(request.size())), request);
        peer->write(answer);
        peer->waitForBytesWritten(5000);
        quint8 in[256] = {};
        EXPECT_EQ(ReceiveAnswer(in, 256, link, 2000), answer.size());
        EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(in), static_cast<int>(answer.size())), answer);
        EXPECT_TRUE(reports.isEmpty());

        // The peer goes; the next request connects again and reaches the new peer.
        peer->abort();
        peer.reset();
        quint8 byte = 0;
        for (int i = 0; i < 50 && link.Connected(); ++i) {
            link.WaitForInput(20, SystemLinkClock());
            link.ReadPort(&byte, 1);
        }
        EXPECT_FALSE(link.Connected());
        ASSERT_EQ(link.WritePort(Data(request), static_cast<int>(request.size())), request.size());
        EXPECT_EQ(reports, QStringList{QStringLiteral("0 ")});
        std::unique_ptr<QTcpSocket> again = Accept(server);
        ASSERT_TRUE(again);
        EXPECT_EQ(ReadFrom(*again, static_cast<int>(request.size())), request);
        again->write(answer);
        again->waitForBytesWritten(5000);
        EXPECT_EQ(ReceiveAnswer(in, 256, link, 2000), answer.size());

        // With nobody listening any more, the reconnection fails and says why; the request's
        // listening then finds nothing, as with a calculator that does not answer.
        again->abort();
        server.close();
        for (int i = 0; i < 50 && link.Connected(); ++i) {
            link.WaitForInput(20, SystemLinkClock());
            link.ReadPort(&byte, 1);
        }
        quint8 dest[4] = {};
        EXPECT_EQ(ReadHoldingRegisters(1, 8, 4, link, 100, dest, 0), kLinkNoAnswer);
        ASSERT_EQ(reports.size(), 2);
        EXPECT_TRUE(reports[1].startsWith(QString::number(kPortOpenFailed) + u' ')) << reports[1].toStdString();
        EXPECT_TRUE(reports[1].contains(QStringLiteral("refused"), Qt::CaseInsensitive)) << reports[1].toStdString();
    }
}
