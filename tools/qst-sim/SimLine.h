#pragma once

#include <QByteArray>
#include <QString>

namespace qst {

// The calculator's end of the line: a new pseudo-terminal, a given device, or a TCP listener
// (a serial server or a GPRS modem in transparent mode). Writes are paced at the line speed;
// a peer that closes and reopens the other end is waited for. Over TCP one client is served
// at a time; a second one is refused (accepted and reset at once), not queued.
class SimLine
{
public:
    SimLine() = default;
    ~SimLine();
    SimLine(const SimLine &) = delete;
    SimLine &operator=(const SimLine &) = delete;

    bool OpenPty(QString *error);
    bool OpenDevice(const QString &path, int baud, QString *error);
    // HOST:PORT with a numeric address (IPv6 in brackets); port 0 takes a free one. Path()
    // is then the address as tcp://host:port.
    bool OpenTcpListen(const QString &hostPort, QString *error);
    bool IsTcp() const { return m_listenFd >= 0; }
    // Counts the clients accepted so far: a new one starts with a clean request buffer.
    int ClientCount() const { return m_clientCount; }
    // Drops the current client with a reset (for the reset fault).
    void ResetClient();
    QString Path() const { return m_path; }

    // Waits up to timeoutMs for input and appends what came; false only on a fatal error.
    bool Read(QByteArray *into, int timeoutMs);
    // Sends at `baud` (10 bits a byte), pausing gapMs after gapAt bytes when gapMs > 0.
    void Send(const QByteArray &bytes, int baud, int gapAt, int gapMs);
    // The speed the peer has set on its end, in bits per second; 0 if unknown.
    int PeerBaud() const;

private:
    void WriteAll(const char *data, int length);

    int m_fd = -1;
    int m_slaveFd = -1; // held open so the master never reports a hang-up between the peer's opens
    int m_listenFd = -1;
    int m_clientCount = 0;
    QString m_path;
};

void SimSleepMs(int ms);
void SimSleepUs(qint64 us);

} // namespace qst
