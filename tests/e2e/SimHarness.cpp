#include "SimHarness.h"

#include <QElapsedTimer>

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace qst::test {

SimProcess::SimProcess(const QStringList &args)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(QST_SIM_PATH), args);
    if (!m_process.waitForStarted(10000))
        return;
    QElapsedTimer timer;
    timer.start();
    while (!m_process.canReadLine() && timer.elapsed() < 20000)
        m_process.waitForReadyRead(500);
    if (m_process.canReadLine())
        m_path = QString::fromLocal8Bit(m_process.readLine()).trimmed();
}

SimProcess::~SimProcess()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

RawPort::RawPort(const QString &path, int baud)
{
    m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_fd < 0)
        return;
    termios t {};
    tcgetattr(m_fd, &t);
    cfmakeraw(&t);
    const speed_t speed = baud == 19200 ? B19200 : B9600;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(m_fd, TCSANOW, &t);
    tcflush(m_fd, TCIOFLUSH);
}

RawPort::~RawPort()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void RawPort::Write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else {
            pollfd p { m_fd, POLLOUT, 0 };
            ::poll(&p, 1, 50);
        }
    }
}

namespace {

template <typename Done> QByteArray ReadWhile(int fd, int timeoutMs, Done done)
{
    QByteArray buffer;
    QElapsedTimer timer;
    timer.start();
    while (!done(buffer) && timer.elapsed() < timeoutMs) {
        pollfd p { fd, POLLIN, 0 };
        if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
            char chunk[512];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0)
                buffer.append(chunk, static_cast<int>(n));
        }
    }
    return buffer;
}

} // namespace

QByteArray RawPort::ReadCount(int count, int timeoutMs)
{
    return ReadWhile(m_fd, timeoutMs, [count](const QByteArray &b) { return b.size() >= count; });
}

QByteArray RawPort::ReadUntil(const QByteArray &text, int timeoutMs)
{
    return ReadWhile(m_fd, timeoutMs, [&text](const QByteArray &b) { return b.contains(text); });
}

QByteArray RawPort::ReadFor(int ms)
{
    return ReadWhile(m_fd, ms, [](const QByteArray &) { return false; });
}

QByteArray RawPort::Transact(const QByteArray &request, int answerLength, int timeoutMs)
{
    Write(request);
    return ReadCount(answerLength, timeoutMs);
}

namespace {

quint16 Crc(const char *data, qsizetype length)
{
    quint16 crc = 0xFFFF;
    for (qsizetype i = 0; i < length; ++i) {
        crc ^= static_cast<quint8>(data[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<quint16>((crc >> 1) ^ 0xA001) : static_cast<quint16>(crc >> 1);
    }
    return crc;
}

} // namespace

QByteArray WithCrc(std::initializer_list<int> bytes)
{
    QByteArray frame;
    for (int b : bytes)
        frame.append(static_cast<char>(b));
    const quint16 crc = Crc(frame.constData(), frame.size());
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

bool CrcOk(const QByteArray &frame)
{
    if (frame.size() < 3)
        return false;
    const quint16 crc = Crc(frame.constData(), frame.size() - 2);
    return static_cast<quint8>(frame[frame.size() - 2]) == (crc & 0xFF)
        && static_cast<quint8>(frame[frame.size() - 1]) == (crc >> 8);
}

QByteArray ReadRequest(int address, int function, int first, int count)
{
    return WithCrc({ address, function, first >> 8, first & 0xFF, count >> 8, count & 0xFF });
}

QByteArray RecordRequest(int address, int kind, int index)
{
    return WithCrc({ address, 0x41, kind, 0x00, index & 0xFF, (index >> 8) & 0xFF, 0x01 });
}

quint16 BE16(const QByteArray &b, int at)
{
    return static_cast<quint16>((static_cast<quint8>(b[at]) << 8) | static_cast<quint8>(b[at + 1]));
}

quint16 LE16(const QByteArray &b, int at)
{
    return static_cast<quint16>(static_cast<quint8>(b[at]) | (static_cast<quint8>(b[at + 1]) << 8));
}

quint32 LE32(const QByteArray &b, int at)
{
    return static_cast<quint32>(LE16(b, at)) | (static_cast<quint32>(LE16(b, at + 2)) << 16);
}

float LEFloat(const QByteArray &b, int at)
{
    const quint32 bits = LE32(b, at);
    float f = 0;
    std::memcpy(&f, &bits, 4);
    return f;
}

int ArchiveRecordIndex(int a, int b, int c, int back)
{
    const int count = b <= a ? a - b : a - b + c + 1;
    const int k = count - back - 1;
    if (k < 0)
        return -1;
    int slot = b + k;
    if (slot > c)
        slot -= c + 1;
    return slot;
}

int JournalRecordIndex(int c, int b, int a, int n)
{
    int slot = 0;
    if (a >= b) {
        slot = a - n - 1;
        if (slot < 0)
            slot += c;
    } else {
        slot = n > a ? a - n + c : a - n;
        if (slot < 0)
            slot += c;
    }
    return n > c ? -1 : slot;
}

} // namespace qst::test
