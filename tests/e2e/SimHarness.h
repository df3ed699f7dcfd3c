#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QProcess>
#include <QStringList>

#include <vector>

namespace qst::test {

// qst-sim as a child process on its own pseudo-terminal.
class SimProcess
{
public:
    explicit SimProcess(const QStringList &args);
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    QString path() const { return m_path; }
    bool started() const { return !m_path.isEmpty(); }

private:
    QProcess m_process;
    QString m_path;
};

// The test's own end of the line, opened with open() and termios.
class RawPort
{
public:
    explicit RawPort(const QString &path, int baud = 19200);
    ~RawPort();
    RawPort(const RawPort &) = delete;
    RawPort &operator=(const RawPort &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    void Write(const QByteArray &bytes);
    // Reads until `count` bytes came or timeoutMs passed.
    QByteArray ReadCount(int count, int timeoutMs = 5000);
    // Reads until `text` is contained or timeoutMs passed.
    QByteArray ReadUntil(const QByteArray &text, int timeoutMs = 5000);
    // Whatever arrives within the time.
    QByteArray ReadFor(int ms);
    QByteArray Transact(const QByteArray &request, int answerLength, int timeoutMs = 5000);

private:
    int m_fd = -1;
};

QByteArray WithCrc(std::initializer_list<int> bytes);
bool CrcOk(const QByteArray &frame);
QByteArray ReadRequest(int address, int function, int first, int count);
QByteArray RecordRequest(int address, int kind, int index);

quint16 BE16(const QByteArray &b, int at);
quint16 LE16(const QByteArray &b, int at);
quint32 LE32(const QByteArray &b, int at);
float LEFloat(const QByteArray &b, int at);

// Slot of a record `back` records before the newest, as the register map defines it.
int ArchiveRecordIndex(int a, int b, int c, int back);
int JournalRecordIndex(int c, int b, int a, int n);

} // namespace qst::test
