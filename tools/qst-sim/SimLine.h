#pragma once

#include <QByteArray>
#include <QString>

namespace qst {

// The calculator's end of the line: a new pseudo-terminal, or a given device. Writes are
// paced at the line speed; a peer that closes and reopens the other end is waited for.
class SimLine
{
public:
    SimLine() = default;
    ~SimLine();
    SimLine(const SimLine &) = delete;
    SimLine &operator=(const SimLine &) = delete;

    bool OpenPty(QString *error);
    bool OpenDevice(const QString &path, int baud, QString *error);
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
    QString m_path;
};

void SimSleepMs(int ms);

} // namespace qst
