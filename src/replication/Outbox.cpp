#include "Outbox.h"

#include "common/StorageError.h"
#include "common/TextFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace qst {

namespace {

const QByteArray kHeaderWord = "QSTOUTBOX ";

// A new file's generation: from the clock, so an acknowledgement left from a file that is
// gone never matches it.
quint64 FreshGeneration()
{
    return quint64(QDateTime::currentMSecsSinceEpoch());
}

QByteArray HeaderLine(quint64 generation)
{
    return kHeaderWord + QByteArray::number(generation) + '\n';
}

QByteArray Escaped(const QString &text)
{
    QByteArray out = text.toUtf8();
    if (out.contains('\\') || out.contains('\n') || out.contains('\r')) {
        out.replace("\\", "\\\\");
        out.replace("\n", "\\n");
        out.replace("\r", "\\r");
    }
    return out;
}

QString Unescaped(QByteArrayView bytes)
{
    if (!bytes.contains('\\'))
        return QString::fromUtf8(bytes);
    QByteArray out;
    out.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\\' && i + 1 < bytes.size()) {
            const char n = bytes[++i];
            out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else {
            out += bytes[i];
        }
    }
    return QString::fromUtf8(out);
}

[[noreturn]] void ThrowSystem(const QString &what, const QString &path, int error)
{
    throw StorageError(QStringLiteral("%1 %2: %3").arg(what, QDir::toNativeSeparators(path), SystemErrorText(error)));
}

bool KnownKind(char c)
{
    return c == 'C' || c == 'H' || c == 'D' || c == 'M' || c == 'J';
}

// Appends bytes and syncs them; on any fault the file is cut back to its old length.
void AppendSynced(const QString &path, const QByteArray &prefixWhenEmpty, const QByteArray &bytes)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        ThrowSystem(QStringLiteral("Cannot open"), path, errno);
    const off_t before = ::lseek(fd, 0, SEEK_END);
    QByteArray data = before == 0 ? prefixWhenEmpty + bytes : bytes;
    const char *p = data.constData();
    qsizetype left = data.size();
    int error = 0;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        p += n;
        left -= n;
    }
    if (error == 0 && ::fdatasync(fd) != 0)
        error = errno;
    if (error != 0) {
        if (before >= 0 && ::ftruncate(fd, before) == 0)
            ::fdatasync(fd);
        ::close(fd);
        ThrowSystem(QStringLiteral("Cannot write"), path, error);
    }
    if (::close(fd) != 0)
        ThrowSystem(QStringLiteral("Cannot write"), path, errno);
}

} // namespace

Outbox::Outbox(const QString &dataRoot)
    : m_folder(FolderPath(dataRoot))
    , m_compactBytes(kOutboxCompactBytes)
{
}

QString Outbox::FolderPath(const QString &dataRoot)
{
    return QDir(dataRoot).filePath(QStringLiteral("DB"));
}

QString Outbox::outboxPath() const
{
    return m_folder + QStringLiteral("/outbox.dat");
}

QString Outbox::ackPath() const
{
    return m_folder + QStringLiteral("/outbox.ack");
}

QString Outbox::rejectsPath() const
{
    return m_folder + QStringLiteral("/rejects.dat");
}

void Outbox::EnsureFolderLocked()
{
    if (!QDir().mkpath(m_folder))
        throw StorageError(QStringLiteral("Cannot create the folder %1").arg(QDir::toNativeSeparators(m_folder)));
}

QByteArray Outbox::EntryLine(qint64 appendedMs, const FedRecord &record)
{
    QByteArray line = QByteArray::number(appendedMs);
    line += '\t';
    line += char(record.kind);
    line += '\t';
    line += QByteArray::number(record.serial);
    line += '\t';
    line += Escaped(record.line);
    line += '\n';
    return line;
}

bool Outbox::ParseEntryLine(QByteArrayView line, OutboxEntry *entry)
{
    if (line.endsWith('\n'))
        line.chop(1);
    const qsizetype t1 = line.indexOf('\t');
    if (t1 <= 0)
        return false;
    const qsizetype t2 = line.indexOf('\t', t1 + 1);
    if (t2 != t1 + 2 || !KnownKind(line[t1 + 1]))
        return false;
    const qsizetype t3 = line.indexOf('\t', t2 + 1);
    if (t3 < 0)
        return false;
    bool ok = false;
    entry->appendedMs = line.first(t1).toLongLong(&ok);
    if (!ok)
        return false;
    const uint serial = line.sliced(t2 + 1, t3 - t2 - 1).toUInt(&ok);
    if (!ok || serial > 65535)
        return false;
    entry->record.kind = FedKind(line[t1 + 1]);
    entry->record.serial = quint16(serial);
    entry->record.line = Unescaped(line.sliced(t3 + 1));
    return true;
}

void Outbox::Append(const QList<FedRecord> &records)
{
    if (records.isEmpty())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QByteArray bytes;
    for (const FedRecord &r : records)
        bytes += EntryLine(now, r);
    std::lock_guard lock(m_mutex);
    EnsureFolderLocked();
    AppendSynced(outboxPath(), HeaderLine(FreshGeneration()), bytes);
}

qint64 Outbox::RepairTail()
{
    std::lock_guard lock(m_mutex);
    const QByteArray bytes = ReadFileBytes(outboxPath());
    if (bytes.isEmpty() || bytes.endsWith('\n'))
        return 0;
    const qsizetype keep = bytes.lastIndexOf('\n') + 1;
    if (keep == 0) {
        // Not even the header survived: start afresh.
        ReplaceWithTailLocked(FreshGeneration(), {});
        return bytes.size();
    }
    QFile file(outboxPath());
    if (!file.open(QIODevice::ReadWrite) || !file.resize(keep))
        throw StorageError(QStringLiteral("Cannot repair %1: %2").arg(QDir::toNativeSeparators(outboxPath()), file.errorString()));
    file.close();
    return bytes.size() - keep;
}

Outbox::Position Outbox::ReadPosition(const QByteArray &head, qint64 *headerLength)
{
    Position pos;
    *headerLength = 0;
    const qsizetype end = head.indexOf('\n');
    if (end < 0 || !head.startsWith(kHeaderWord))
        return pos;
    *headerLength = end + 1;
    pos.generation = head.sliced(kHeaderWord.size(), end - kHeaderWord.size()).toULongLong();
    pos.offset = *headerLength;
    const QList<QByteArray> ack = ReadFileBytes(ackPath()).trimmed().split(' ');
    if (ack.size() == 2 && ack[0].toULongLong() == pos.generation) {
        const qint64 offset = ack[1].toLongLong();
        if (offset >= *headerLength)
            pos.offset = offset;
    }
    return pos;
}

OutboxBatch Outbox::ReadPending(int maxEntries)
{
    // Writers only append whole entries, and only the sending thread replaces the file:
    // no lock, so a poll never waits for a read. An entry still being written has no line
    // end yet and waits for the next read.
    OutboxBatch batch;
    QFile file(outboxPath());
    if (!file.exists())
        return batch;
    if (!file.open(QIODevice::ReadOnly))
        throw StorageError(QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(outboxPath()), file.errorString()));
    qint64 headerLength = 0;
    const Position pos = ReadPosition(file.read(64), &headerLength);
    batch.generation = pos.generation;
    batch.endOffset = pos.offset;
    if (headerLength == 0 || pos.offset >= file.size())
        return batch;
    file.seek(pos.offset);
    // Entries are short; a chunk of 8 MB holds thousands of them.
    const QByteArray chunk = file.read(8 * 1024 * 1024);
    qsizetype at = 0;
    while (batch.entries.size() < maxEntries) {
        const qsizetype nl = chunk.indexOf('\n', at);
        if (nl < 0)
            break;
        OutboxEntry entry;
        if (ParseEntryLine(QByteArrayView(chunk).sliced(at, nl - at), &entry))
            batch.entries.append(entry);
        at = nl + 1;
    }
    batch.endOffset = pos.offset + at;
    return batch;
}

void Outbox::ReplaceWithTailLocked(quint64 generation, const QByteArray &tail)
{
    EnsureFolderLocked();
    SaveFileBytes(outboxPath(), HeaderLine(generation) + tail);
    SaveFileBytes(ackPath(), QByteArray::number(generation) + ' ' + QByteArray::number(HeaderLine(generation).size()) + '\n');
}

void Outbox::Acknowledge(const OutboxBatch &batch)
{
    QFile file(outboxPath());
    if (!file.open(QIODevice::ReadOnly))
        return;
    qint64 headerLength = 0;
    const Position pos = ReadPosition(file.read(64), &headerLength);
    if (headerLength == 0 || pos.generation != batch.generation || batch.endOffset <= pos.offset)
        return;
    const qint64 size = file.size();
    const bool everything = batch.endOffset >= size;
    const bool compact = !everything && batch.endOffset > m_compactBytes && batch.endOffset > size / 2;
    file.close();
    if (everything || compact) {
        // Replacing the file is the one step appends must wait for: what they added since
        // the size was taken moves into the new file.
        std::lock_guard lock(m_mutex);
        QFile current(outboxPath());
        if (!current.open(QIODevice::ReadOnly) || !current.seek(batch.endOffset))
            throw StorageError(QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(outboxPath()), current.errorString()));
        const QByteArray tail = current.readAll();
        current.close();
        ReplaceWithTailLocked(batch.generation + 1, tail);
        return;
    }
    SaveFileBytes(ackPath(), QByteArray::number(batch.generation) + ' ' + QByteArray::number(batch.endOffset) + '\n');
}

void Outbox::Reject(const OutboxEntry &entry, const QString &reason)
{
    QString why = reason;
    why.replace(u'\n', u' ').replace(u'\r', u' ').replace(u'\t', u' ');
    const QByteArray line = QDateTime::currentDateTime().toString(Qt::ISODate).toUtf8() + '\t' + why.toUtf8() + '\t' +
                            EntryLine(entry.appendedMs, entry.record);
    std::lock_guard lock(m_mutex);
    EnsureFolderLocked();
    AppendSynced(rejectsPath(), {}, line);
}

OutboxSummary Outbox::Summary()
{
    OutboxSummary s;
    std::lock_guard lock(m_mutex);
    const QByteArray rejects = ReadFileBytes(rejectsPath());
    s.rejected = rejects.count('\n');
    const QByteArray bytes = ReadFileBytes(outboxPath());
    s.bytes = bytes.size();
    qint64 headerLength = 0;
    const Position pos = ReadPosition(bytes.first(qMin<qsizetype>(64, bytes.size())), &headerLength);
    if (headerLength == 0 || pos.offset >= bytes.size())
        return s;
    const QByteArrayView pending = QByteArrayView(bytes).sliced(pos.offset);
    s.pending = pending.count('\n');
    const qsizetype first = pending.indexOf('\n');
    OutboxEntry entry;
    if (first > 0 && ParseEntryLine(pending.first(first), &entry))
        s.oldestMs = entry.appendedMs;
    return s;
}

} // namespace qst
