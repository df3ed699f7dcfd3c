#include "link/QtSerialPortLink.h"
#include "common/DataRoot.h"
#include "link/DeviceReaders.h"
#include "support/TempDataRoot.h"

#include "LinkFrames.h"

#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <thread>

using namespace qst;
using namespace qst::test;

namespace {

// The master side of a pseudo-terminal; the product opens the slave as its serial device.
class PtyPair
{
public:
    PtyPair()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0)
            m_slave = QString::fromLocal8Bit(ptsname(m_master));
    }
    ~PtyPair()
    {
        if (m_master >= 0)
            close(m_master);
    }
    bool ok() const { return m_master >= 0 && !m_slave.isEmpty(); }
    const QString &slave() const { return m_slave; }

    void Write(const QByteArray &bytes) { ASSERT_EQ(write(m_master, bytes.constData(), bytes.size()), bytes.size()); }

    // Reads until count bytes came or the time is up.
    QByteArray Read(int count, int timeoutMs = 2000)
    {
        QByteArray got;
        QElapsedTimer timer;
        timer.start();
        while (got.size() < count && timer.elapsed() < timeoutMs) {
            pollfd p { m_master, POLLIN, 0 };
            if (poll(&p, 1, 50) > 0 && (p.revents & POLLIN)) {
                char buf[256];
                const ssize_t n = read(m_master, buf, sizeof buf);
                if (n > 0)
                    got.append(buf, n);
            }
        }
        return got;
    }

private:
    int m_master = -1;
    QString m_slave;
};

// Runs body on a QThread, as an exchange thread would drive the port.
template <typename F> void OnExchangeThread(F body)
{
    QThread *thread = QThread::create(body);
    thread->start();
    thread->wait();
    delete thread;
}

void MapPort(const TempDataRoot &root, int port, const QString &device)
{
    WriteAll(TreeIniPath(root.path()), QStringLiteral("[PORTS]\r\n%1=%2\r\n").arg(port).arg(device).toLocal8Bit());
}

} // namespace

TEST(QtSerialPortLink, DevicePathFromPortsSectionOrDefault)
{
    TempDataRoot root;
    MapPort(root, 3, QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(QtSerialPortLink::DevicePath(root.path(), 3), QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(QtSerialPortLink::DevicePath(root.path(), 7), QStringLiteral("/dev/ttyS6"));
    EXPECT_EQ(QtSerialPortLink::DevicePath(root.path(), 1), QStringLiteral("/dev/ttyS0"));
}

TEST(QtSerialPortLink, OpenFailuresAreNegativeWithAReason)
{
    TempDataRoot root;
    MapPort(root, 5, root.file(QStringLiteral("no-such-tty")));
    OnExchangeThread([&] {
        QtSerialPortLink missing(5, root.path());
        EXPECT_EQ(missing.OpenPort(), kPortNotFound);
        EXPECT_TRUE(missing.errorText().contains(QStringLiteral("no-such-tty"))) << missing.errorText().toStdString();
        // Operations on a port that is not open do nothing.
        quint8 b = 0;
        EXPECT_LE(missing.ReadPort(&b, 1), 0);
        EXPECT_LT(missing.WritePort(&b, 1), 0);

        for (int n : { 0, 65 }) {
            QtSerialPortLink bad(n, root.path());
            EXPECT_EQ(bad.OpenPort(), kPortBadNumber) << n;
            EXPECT_FALSE(bad.errorText().isEmpty());
        }
    });
}

TEST(QtSerialPortLink, PseudoTerminalCarriesBytesBothWays)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    TempDataRoot root;
    MapPort(root, 2, pty.slave());

    OnExchangeThread([&] {
        QtSerialPortLink link(2, root.path());
        ASSERT_GE(link.OpenPort(), 0) << link.errorText().toStdString();
        EXPECT_EQ(link.devicePath(), pty.slave());
        // The exchange thread's opening sequence; a pty ignores the modem lines.
        link.SetLineParams(13, 3);
        link.SetLineParams(12, 3);
        link.SetLineA(0);
        link.SetLineB(1);

        const QByteArray out = Bytes({ 0x01, 0x03, 0x00, 0x08, 0x00, 0x02, 0x45, 0xC9 });
        EXPECT_EQ(link.WritePort(Data(out), static_cast<int>(out.size())), out.size());
        EXPECT_EQ(pty.Read(static_cast<int>(out.size())), out);

        // ReadPort returns at once when nothing waits.
        quint8 b = 0;
        EXPECT_LE(link.ReadPort(&b, 1), 0);

        pty.Write(Bytes({ 0x11, 0x22, 0x33 }));
        QByteArray in;
        QElapsedTimer timer;
        timer.start();
        while (in.size() < 3 && timer.elapsed() < 2000) {
            if (link.ReadPort(&b, 1) > 0)
                in.append(static_cast<char>(b));
            else
                QThread::msleep(5);
        }
        EXPECT_EQ(in, Bytes({ 0x11, 0x22, 0x33 }));

        // Unread input is discarded by FlushPort(0).
        pty.Write(Bytes({ 0x44, 0x55 }));
        QThread::msleep(100);
        link.FlushPort(0);
        EXPECT_LE(link.ReadPort(&b, 1), 0);

        link.SetLineA(0);
        link.SetLineB(0);
        link.ClosePort();
        EXPECT_LE(link.ReadPort(&b, 1), 0);
    });
}

TEST(QtSerialPortLink, TransactionOverPseudoTerminal)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    TempDataRoot root;
    MapPort(root, 4, pty.slave());

    // A calculator that answers the serial-number request with 40000.
    std::thread device([&] {
        const QByteArray request = pty.Read(8);
        if (request == Bytes({ 0x01, 0x03, 0x00, 0x08, 0x00, 0x02, 0x45, 0xC9 }))
            pty.Write(RegisterAnswer(0x01, 0x03, Bytes({ 0x9C, 0x40, 0x00, 0x00 })));
    });
    OnExchangeThread([&] {
        QtSerialPortLink link(4, root.path());
        ASSERT_GE(link.OpenPort(), 0) << link.errorText().toStdString();
        link.SetLineParams(12, 3);
        quint16 serial = 0;
        EXPECT_EQ(ReadSerialNumber(0x01, link, 2000, 0, &serial), kLinkOk);
        EXPECT_EQ(serial, 40000);
        link.ClosePort();
    });
    device.join();
}
