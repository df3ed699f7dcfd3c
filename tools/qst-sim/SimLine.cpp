#include "SimLine.h"

#include <QElapsedTimer>

#include <algorithm>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace qst {

namespace {

speed_t SpeedCode(int baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B9600;
    }
}

bool MakeRaw(int fd, int baud)
{
    termios t {};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (baud > 0) {
        cfsetispeed(&t, SpeedCode(baud));
        cfsetospeed(&t, SpeedCode(baud));
    }
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

QString Reason(const char *what)
{
    return QStringLiteral("%1: %2").arg(QString::fromLatin1(what), QString::fromLocal8Bit(std::strerror(errno)));
}

void CloseWithReset(int fd)
{
    linger l { 1, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

} // namespace

void SimSleepMs(int ms)
{
    if (ms > 0)
        SimSleepUs(static_cast<qint64>(ms) * 1000);
}

void SimSleepUs(qint64 us)
{
    if (us <= 0)
        return;
    timespec ts { static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000L };
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) { }
}

SimLine::~SimLine()
{
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    if (m_slaveFd >= 0)
        ::close(m_slaveFd);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool SimLine::OpenPty(QString *error)
{
    m_fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_fd < 0 || grantpt(m_fd) != 0 || unlockpt(m_fd) != 0) {
        *error = Reason("posix_openpt");
        return false;
    }
    const char *name = ptsname(m_fd);
    if (!name) {
        *error = Reason("ptsname");
        return false;
    }
    m_path = QString::fromLocal8Bit(name);
    m_slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    // Raw on the slave side: no echo of what the peer writes, no line-end translation.
    if (m_slaveFd < 0 || !MakeRaw(m_slaveFd, 9600)) {
        *error = Reason("slave side");
        return false;
    }
    return true;
}

bool SimLine::OpenDevice(const QString &path, int baud, QString *error)
{
    m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_fd < 0 || !MakeRaw(m_fd, baud)) {
        *error = Reason(path.toLocal8Bit().constData());
        return false;
    }
    m_path = path;
    return true;
}

bool SimLine::OpenTcpListen(const QString &hostPort, QString *error)
{
    const qsizetype colon = hostPort.lastIndexOf(u':');
    QString host = hostPort.left(colon);
    bool portOk = false;
    const int port = hostPort.mid(colon + 1).toInt(&portOk);
    if (colon < 0 || !portOk || port < 0 || port > 65535) {
        *error = QStringLiteral("--tcp-listen: %1 is not HOST:PORT").arg(hostPort);
        return false;
    }
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    sockaddr_storage address {};
    socklen_t length = 0;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
    if (inet_pton(AF_INET, host.toLatin1().constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<quint16>(port));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, host.toLatin1().constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<quint16>(port));
        length = sizeof *v6;
    } else {
        *error = QStringLiteral("--tcp-listen: %1 is no numeric IPv4 or IPv6 address").arg(host);
        return false;
    }
    m_listenFd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (m_listenFd < 0 || ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || ::bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(m_listenFd, 4) != 0
        || ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        *error = Reason("--tcp-listen");
        return false;
    }
    const int bound = ntohs(address.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    m_path = address.ss_family == AF_INET ? QStringLiteral("tcp://%1:%2").arg(host).arg(bound)
                                          : QStringLiteral("tcp://[%1]:%2").arg(host).arg(bound);
    return true;
}

void SimLine::ResetClient()
{
    if (m_listenFd < 0 || m_fd < 0)
        return;
    CloseWithReset(m_fd);
    m_fd = -1;
}

bool SimLine::Read(QByteArray *into, int timeoutMs)
{
    if (m_listenFd >= 0) {
        pollfd p[2] = { { m_listenFd, POLLIN, 0 }, { m_fd, POLLIN, 0 } };
        const int ready = ::poll(p, m_fd >= 0 ? 2 : 1, timeoutMs);
        if (ready < 0)
            return errno == EINTR;
        if (p[0].revents & POLLIN) {
            const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (client >= 0 && m_fd >= 0) {
                CloseWithReset(client); // one client at a time
            } else if (client >= 0) {
                const int on = 1;
                ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                m_fd = client;
                ++m_clientCount;
            }
        }
        if (m_fd >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buffer[512];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n > 0) {
                into->append(buffer, static_cast<int>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                ::close(m_fd); // the client has gone: wait for the next one
                m_fd = -1;
            }
        }
        return true;
    }

    pollfd p { m_fd, POLLIN, 0 };
    const int ready = ::poll(&p, 1, timeoutMs);
    if (ready < 0)
        return errno == EINTR;
    if (ready == 0)
        return true;
    if (p.revents & POLLIN) {
        char buffer[512];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0) {
            into->append(buffer, static_cast<int>(n));
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
    }
    // The peer has closed its end (EIO, hang-up): wait for it to come back.
    SimSleepMs(50);
    return true;
}

void SimLine::WriteAll(const char *data, int length)
{
    int done = 0;
    QElapsedTimer timer;
    timer.start();
    while (done < length && timer.elapsed() < 2000) {
        const ssize_t n = ::write(m_fd, data + done, static_cast<size_t>(length - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p { m_fd, POLLOUT, 0 };
            ::poll(&p, 1, 20);
            continue;
        }
        return; // nobody on the other end: the answer is lost, as on a cut line
    }
}

void SimLine::Send(const QByteArray &bytes, int baud, int gapAt, int gapMs)
{
    const double msPerByte = 10000.0 / (baud > 0 ? baud : 9600);
    // Bytes go out in slices of about 5 ms so the peer sees a steady stream.
    const int slice = std::max(1, static_cast<int>(5.0 / msPerByte));
    QElapsedTimer timer;
    timer.start();
    double due = 0;
    int sent = 0;
    const int total = static_cast<int>(bytes.size());
    while (sent < total) {
        int n = std::min(slice, total - sent);
        if (gapMs > 0 && gapAt > sent && gapAt < sent + n)
            n = gapAt - sent;
        WriteAll(bytes.constData() + sent, n);
        sent += n;
        due += n * msPerByte;
        const qint64 wait = static_cast<qint64>(due) - timer.elapsed();
        if (wait > 0)
            SimSleepMs(static_cast<int>(wait));
        if (gapMs > 0 && sent == gapAt && sent < total) {
            SimSleepMs(gapMs);
            due += gapMs;
        }
    }
}

int SimLine::PeerBaud() const
{
    if (m_listenFd >= 0)
        return 0;
    termios t {};
    // On a pty master the settings read are those of the slave, that is the peer's.
    if (tcgetattr(m_fd, &t) != 0)
        return 0;
    switch (cfgetospeed(&t)) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    default:
        return 0;
    }
}

} // namespace qst
