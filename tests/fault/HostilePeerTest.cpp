// A hostile peer on the network line: a small proxy on a loopback socket between qst-cli and
// qst-sim that damages the calculator's answers (garbage, wrong CRC, another calculator's
// address, bytes dribbled without end, late answers, connection resets).
#include "FaultHarness.h"
#include "SimHarness.h"

#include "common/DataRoot.h"
#include "common/DayCount.h"
#include "common/TextFile.h"
#include "link/ModbusRtu.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <iterator>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace qst;
using namespace qst::test;

namespace {

enum class Fault {
    Garbage, // every n-th answer replaced by random bytes
    BadCrc, // every n-th answer with its last byte changed
    Foreign, // every answer preceded by another calculator's (address 2, other data)
    Dribble, // after every answer a byte every 50 ms, until the next request
    Late, // every n-th answer 2.3 s late
    Reset, // every n-th answer cut by a connection reset
};

qint64 NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SendAll(int fd, const QByteArray &bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += n;
    }
}

QByteArray Framed(QByteArray body)
{
    const quint16 crc = Crc16(reinterpret_cast<const quint8 *>(body.constData()), int(body.size()));
    body.append(char(crc >> 8));
    body.append(char(crc & 0xFF));
    return body;
}

class HostilePeer
{
public:
    // simAddress: "tcp://127.0.0.1:PORT" of the simulator.
    HostilePeer(const QString &simAddress, Fault fault, int every)
        : m_fault(fault)
        , m_every(every)
        , m_simPort(simAddress.section(u':', -1).toInt())
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (::bind(m_listen, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(m_listen, 4) != 0
            || ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&a), &length) != 0)
            return;
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~HostilePeer()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listen);
    }

    QString address() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(m_port); }
    int answers() const { return m_answers; }

private:
    int ConnectSim() const
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(quint16(m_simPort));
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    bool Readable(int fd, int ms) const
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }

    void Run()
    {
        while (!m_stop) {
            if (!Readable(m_listen, 100))
                continue;
            const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            const int sim = ConnectSim();
            if (sim >= 0)
                Serve(client, sim);
            ::close(client);
            if (sim >= 0)
                ::close(sim);
        }
    }

    // One connection; returns when either side closes or the peer resets it.
    void Serve(int client, int sim)
    {
        QByteArray answer;
        qint64 lastSimByte = 0;
        char buffer[512];
        while (!m_stop) {
            pollfd p[2] = {{client, POLLIN, 0}, {sim, POLLIN, 0}};
            ::poll(p, 2, 10);
            if (p[0].revents) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0)
                    return;
                SendAll(sim, QByteArray(buffer, n));
            }
            if (p[1].revents) {
                const ssize_t n = ::recv(sim, buffer, sizeof buffer, 0);
                if (n <= 0)
                    return;
                answer.append(buffer, n);
                lastSimByte = NowMs();
            }
            // The simulator paces its bytes at the line's speed: 30 ms of quiet ends an answer.
            if (!answer.isEmpty() && NowMs() - lastSimByte > 30) {
                const bool goOn = Deliver(client, answer);
                answer.clear();
                if (!goOn)
                    return;
            }
        }
    }

    // False when the connection was reset.
    bool Deliver(int client, QByteArray answer)
    {
        const bool hit = ++m_answers % m_every == 0;
        switch (m_fault) {
        case Fault::Garbage:
            if (hit) {
                for (char &c : answer)
                    c = char(m_random());
            }
            break;
        case Fault::BadCrc:
            if (hit)
                answer[answer.size() - 1] = char(answer[answer.size() - 1] ^ 0x21);
            break;
        case Fault::Foreign:
            if (hit && answer.size() > 5) {
                QByteArray other = answer.left(answer.size() - 2);
                other[0] = char(quint8(other[0]) + 1);
                for (qsizetype i = 3; i < other.size(); ++i)
                    other[i] = char(other[i] ^ 0x5A);
                SendAll(client, Framed(other));
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
            }
            break;
        case Fault::Dribble:
            SendAll(client, answer);
            // One byte just inside every silence until the product asks again.
            while (!m_stop && !Readable(client, 50))
                SendAll(client, QByteArray(1, char(0x55)));
            return true;
        case Fault::Late:
            if (hit) {
                for (int i = 0; i < 23 && !m_stop; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            break;
        case Fault::Reset:
            if (hit) {
                SendAll(client, answer.left(answer.size() / 2));
                linger l{1, 0}; // a reset, not an orderly close
                ::setsockopt(client, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                return false;
            }
            break;
        }
        SendAll(client, answer);
        return true;
    }

    Fault m_fault;
    int m_every;
    int m_simPort;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_answers{0};
    std::mt19937 m_random{7};
    std::thread m_thread;
};

QStringList SimArgs(int serial)
{
    return {"--calc", "2", "--serial", QString::number(serial), "--baud", "19200", "--latency-ms", "0", "--seed", "5",
        "--tcp-listen", "127.0.0.1:0"};
}

void AddPeerMeter(const QString &root, int serial, const QString &address)
{
    ASSERT_EQ(RunCli(root, {"meter", "add", "--name", "x", "--serial", QString::number(serial), "--address", "1",
                               "--port", "1"})
                  .exitCode,
        0);
    ASSERT_EQ(RunCli(root, {"port", "set", "1", address}).exitCode, 0);
}

QDateTime CurrentHour()
{
    const QDateTime now = QDateTime::currentDateTime();
    return QDateTime(now.date(), QTime(now.time().hour(), 0));
}

// Three completed hours well before `hour`, so every run reads the same records.
QStringList HourlyPoll(int serial, int timeoutS, const QDateTime &hour = CurrentHour())
{
    return {"poll", "--serial", QString::number(serial), "--hourly", hour.addSecs(-5 * 3600).toString(Qt::ISODate),
        hour.addSecs(-1 * 3600).toString(Qt::ISODate), "--timeout", QString::number(timeoutS)};
}

QStringList HourlyLines(const QString &root, int serial)
{
    QStringList lines;
    const QDate today = QDate::currentDate();
    for (const QDate &month : {today.addMonths(-1), today}) {
        const QString path = DataFilePath(root, DataKind::Hourly, quint16(serial), month.year(), month.month());
        if (QFile::exists(path))
            lines += LoadLines(path);
    }
    return lines;
}

void ExpectSound(const QString &root)
{
    EXPECT_EQ(DamagedDataFiles(root), QStringList());
    EXPECT_EQ(LeftoverTemporaries(root), QStringList());
}

// Away from an hour boundary, so a reference and a faulty run read the same hours.
void AwayFromTheHour()
{
    const QTime t = QTime::currentTime();
    if (t.minute() == 59 && t.second() > 20)
        QThread::sleep(static_cast<unsigned long>(62 - t.second()));
}

} // namespace

// Damaged answers every few exchanges: what the faulty poll could not read is refilled by
// `--fill-gaps` (even in a meter's first poll), and the files end up as a clean poll's.
TEST(HostilePeer, DamagedAnswersLoseNoRecordAfterTheRefill)
{
    AwayFromTheHour();
    SimProcess sim(SimArgs(6100));
    ASSERT_TRUE(sim.started());
    QTemporaryDir dir;
    const QString reference = dir.filePath(QStringLiteral("reference"));
    AddPeerMeter(reference, 6100, sim.path());
    const QDateTime hour = CurrentHour();
    const CliRun clean = RunCli(reference, HourlyPoll(6100, 60, hour), 90000);
    ASSERT_EQ(clean.exitCode, 0) << clean.out.toStdString();
    const QStringList expected = HourlyLines(reference, 6100);
    ASSERT_EQ(expected.size(), 3);

    const struct
    {
        const char *name;
        Fault fault;
        int every;
    } cases[] = {
        {"garbage", Fault::Garbage, 3},
        {"wrong CRC", Fault::BadCrc, 4},
        {"another calculator's address", Fault::Foreign, 1},
        {"connection resets", Fault::Reset, 5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString root = dir.filePath(QString::fromLatin1(c.name));
        {
            HostilePeer peer(sim.path(), c.fault, c.every);
            AddPeerMeter(root, 6100, peer.address());
            const CliRun hostile = RunCli(root, HourlyPoll(6100, 60, hour), 90000);
            EXPECT_FALSE(hostile.crashed);
            EXPECT_FALSE(hostile.hung);
            EXPECT_GT(peer.answers(), 0);
            if (c.fault == Fault::Foreign) {
                EXPECT_EQ(hostile.exitCode, 0) << hostile.out.toStdString();
                EXPECT_TRUE(hostile.out.contains(QStringLiteral("Получен ответ прибора с адресом 2 вместо адреса 1")));
                EXPECT_EQ(HourlyLines(root, 6100), expected) << "a foreign answer is never stored";
            }
            ExpectSound(root);
        }
        // Whatever the faulty poll missed is a gap; the refill over a sound line reads it.
        ASSERT_EQ(RunCli(root, {"port", "set", "1", sim.path()}).exitCode, 0);
        // It reads every hour missing since collection began, the newer ones included.
        const CliRun refill = RunCli(root, {"poll", "--serial", "6100", "--fill-gaps", "--timeout", "60"}, 90000);
        EXPECT_EQ(refill.exitCode, 0) << refill.out.toStdString();
        EXPECT_EQ(HourlyLines(root, 6100).mid(0, expected.size()), expected);
        const CliRun gaps = RunCli(root, {"gaps", "--serial", "6100", "--kind", "hourly", "--from",
                                             hour.addSecs(-5 * 3600).toString(Qt::ISODate)});
        EXPECT_EQ(gaps.out, QString()) << "nothing missing after the refill";
        ExpectSound(root);
    }
    std::printf("[ fault    ] hostile peer: %d faulty polls, each refilled\n", int(std::size(cases)));
}

// A peer that never falls silent cannot stretch a poll past its timeout: every answer has a
// deadline, and the timeout ends the exchange in progress.
TEST(HostilePeer, DribblingPeerEndsByTheTimeout)
{
    SimProcess sim(SimArgs(6200));
    ASSERT_TRUE(sim.started());
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("root"));
    HostilePeer peer(sim.path(), Fault::Dribble, 1);
    AddPeerMeter(root, 6200, peer.address());
    QStringList poll = HourlyPoll(6200, 6);
    poll << "--current" << "--journal" << "20";
    QElapsedTimer timer;
    timer.start();
    // The timeout plus a few seconds; past that the run counts as hung.
    const CliRun run = RunCli(root, poll, (6 + 5) * 1000);
    EXPECT_FALSE(run.hung) << "ran " << timer.elapsed() << " ms";
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.exitCode, 1);
    ExpectSound(root);
    EXPECT_EQ(HourlyLines(root, 6200), QStringList()) << "no cut answer is stored";
    std::printf("[ fault    ] dribbling peer: poll --timeout 6 ended after %lld ms\n", qint64(timer.elapsed()));
}

// Late answers are taken by the second listening.
TEST(HostilePeer, LateAnswersAreCollected)
{
    SimProcess sim(SimArgs(6300));
    ASSERT_TRUE(sim.started());
    QTemporaryDir dir;
    const QString root = dir.filePath(QStringLiteral("root"));
    HostilePeer peer(sim.path(), Fault::Late, 2);
    AddPeerMeter(root, 6300, peer.address());
    const CliRun run = RunCli(root, {"poll", "--serial", "6300", "--current", "--timeout", "60"}, 90000);
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString();
    EXPECT_TRUE(QFile::exists(DataFilePath(root, DataKind::CurrentValues, 6300)));
    ExpectSound(root);
}
