#include "Outbox.h"

#include "common/StorageError.h"
#include "common/TextFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace qst {

namespace {

const QByteArray kHeaderWord = "QSTOUTBOX2 ";
const QByteArray kOldHeaderWord = "QSTOUTBOX ";
// A record is stored in its file before it is queued, and writers on other threads may be
// that much behind one another: the files to resend are those written since the last sound
// entry before the damage, less this.
constexpr qint64 kResyncMarginMs = 10 * 60 * 1000;
constexpr qint64 kReadChunk = 8 * 1024 * 1024;

// CRC-32 (the zlib polynomial), eight bytes a step: the outbox is checked whole at every
// start and each entry again when it is sent.
quint32 Crc32(QByteArrayView bytes)
{
    using Table = std::array<quint32, 256>;
    static const std::array<Table, 8> t = [] {
        std::array<Table, 8> tables{};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            tables[0][i] = c;
        }
        for (quint32 i = 0; i < 256; ++i) {
            for (int k = 1; k < 8; ++k)
                tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
        }
        return tables;
    }();
    quint32 crc = 0xFFFFFFFFu;
    const auto *p = reinterpret_cast<const quint8 *>(bytes.data());
    qsizetype n = bytes.size();
    for (; n >= 8; p += 8, n -= 8) {
        const quint32 lo = crc ^ (quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24);
        const quint32 hi = quint32(p[4]) | quint32(p[5]) << 8 | quint32(p[6]) << 16 | quint32(p[7]) << 24;
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
              t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; n > 0; ++p, --n)
        crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

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

struct Header
{
    int version = 0;     // 2 this format, 1 the previous one, 0 damaged
    quint64 generation = 0;
    qint64 length = 0;   // up to and with its line end; 0: no line end at all
};

Header ParseHeader(QByteArrayView head)
{
    Header h;
    const qsizetype end = head.indexOf('\n');
    if (end < 0)
        return h;
    h.length = end + 1;
    const QByteArrayView line = head.first(end);
    for (const auto &[word, version] : {std::pair{kHeaderWord, 2}, std::pair{kOldHeaderWord, 1}}) {
        if (!line.startsWith(word))
            continue;
        const QByteArrayView digits = line.sliced(word.size());
        bool ok = !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
        const quint64 g = ok ? digits.toULongLong(&ok) : 0;
        if (ok) {
            h.version = version;
            h.generation = g;
        }
        break;
    }
    return h;
}

struct Ack
{
    bool valid = false;
    quint64 generation = 0;
    qint64 offset = 0;
};

Ack ReadAck(const QString &path)
{
    Ack a;
    QByteArray bytes;
    try {
        bytes = ReadFileBytes(path);
    } catch (const StorageError &) {
        return a;
    }
    const QList<QByteArray> parts = bytes.trimmed().split(' ');
    if (parts.size() != 2)
        return a;
    bool ok1 = false, ok2 = false;
    a.generation = parts[0].toULongLong(&ok1);
    a.offset = parts[1].toLongLong(&ok2);
    a.valid = ok1 && ok2;
    return a;
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

QByteArray EntryBody(qint64 appendedMs, const FedRecord &record)
{
    QByteArray body = QByteArray::number(appendedMs);
    body += '\t';
    body += char(record.kind);
    body += '\t';
    body += QByteArray::number(record.serial);
    body += '\t';
    body += Escaped(record.line);
    return body;
}

// "<ms>\t<kind>\t<serial>\t<escaped line>": the whole entry of the previous format.
bool ParseBody(QByteArrayView line, OutboxEntry *entry)
{
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

bool ParseLine(int version, QByteArrayView line, OutboxEntry *entry)
{
    if (version == 1) {
        if (line.endsWith('\n'))
            line.chop(1);
        return ParseBody(line, entry);
    }
    return Outbox::ParseEntryLine(line, entry);
}

// Appends bytes and syncs them; on any fault the file is cut back to its old length.
// Returns the file's new length.
qint64 AppendSynced(const QString &path, const QByteArray &prefixWhenEmpty, const QByteArray &bytes)
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
    return qint64(before) + data.size();
}

void Merge(OutboxRecovery &into, const OutboxRecovery &r)
{
    if (r.damage.isEmpty() && r.migrated == 0)
        return;
    if (!r.damage.isEmpty())
        into.damage = into.damage.isEmpty() ? r.damage : into.damage + QStringLiteral("; ") + r.damage;
    into.migrated += r.migrated;
    into.damagedEntries += r.damagedEntries;
    into.quarantinedBytes += r.quarantinedBytes;
    if (!r.quarantinePath.isEmpty())
        into.quarantinePath = r.quarantinePath;
    if (r.resync) {
        into.resyncSinceMs = into.resync ? qMin(into.resyncSinceMs, r.resyncSinceMs) : r.resyncSinceMs;
        into.resync = true;
    }
}

} // namespace

Outbox::Outbox(const QString &dataRoot)
    : m_folder(FolderPath(dataRoot))
    , m_compactBytes(kOutboxCompactBytes)
{
}

Outbox::Outbox(const QString &dataRoot, const QString &folderName)
    : m_folder(QDir(dataRoot).filePath(folderName))
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
    const QByteArray body = EntryBody(appendedMs, record);
    return QByteArray::number(Crc32(body), 16).rightJustified(8, '0') + '\t' + body + '\n';
}

bool Outbox::ParseEntryLine(QByteArrayView line, OutboxEntry *entry)
{
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.size() < 10 || line[8] != '\t')
        return false;
    bool ok = false;
    const quint32 crc = line.first(8).toUInt(&ok, 16);
    const QByteArrayView body = line.sliced(9);
    if (!ok || crc != Crc32(body))
        return false;
    return ParseBody(body, entry);
}

int Outbox::Append(const QList<FedRecord> &records)
{
    if (records.isEmpty())
        return 0;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QByteArray bytes;
    int tooLong = 0;
    for (const FedRecord &r : records) {
        const QByteArray line = EntryLine(now, r);
        if (line.size() > kOutboxMaxEntryBytes)
            ++tooLong;
        else
            bytes += line;
    }
    if (bytes.isEmpty())
        return tooLong;
    std::lock_guard lock(m_mutex);
    EnsureFolderLocked();
    if (!m_checked) {
        // Never append to a file not yet checked: after a damaged tail, or into the old format.
        Merge(m_unreported, RecoverLocked());
        m_checked = true;
    }
    m_synced = AppendSynced(outboxPath(), HeaderLine(FreshGeneration()), bytes);
    return tooLong;
}

OutboxRecovery Outbox::Recover()
{
    std::lock_guard lock(m_mutex);
    OutboxRecovery r = m_unreported;
    m_unreported = OutboxRecovery();
    Merge(r, RecoverLocked());
    m_checked = true;
    return r;
}

OutboxRecovery Outbox::RecoverLocked()
{
    OutboxRecovery rep;
    const QByteArray bytes = ReadFileBytes(outboxPath());
    const qint64 size = bytes.size();
    if (size == 0) {
        m_synced = 0;
        return rep;
    }
    const Header h = ParseHeader(QByteArrayView(bytes).first(qMin<qint64>(size, 64)));
    QStringList what;
    QByteArray quarantine;
    const auto setAside = [&](qint64 from, qint64 to) {
        quarantine += "@" + QByteArray::number(from) + ' ' + QByteArray::number(to - from) + '\n';
        quarantine += QByteArrayView(bytes).sliced(from, to - from);
        quarantine += '\n';
        rep.quarantinedBytes += to - from;
    };
    qint64 entriesStart = h.length;
    int version = h.version;
    qint64 lastGoodMs = 0;
    bool damageSeen = false;
    if (h.version == 0) {
        what << QStringLiteral("damaged header");
        setAside(0, h.length > 0 ? h.length : size);
        if (h.length == 0) {
            // Not even a header line: a file cut this short had entries nobody can name.
            entriesStart = size;
            damageSeen = true;
        }
        version = 2; // what follows a damaged header is read as this format's entries
    }
    qint64 start = entriesStart;
    bool lostAtEnd = false;
    if (h.version != 0) {
        const Ack ack = ReadAck(ackPath());
        if (ack.valid && ack.generation == h.generation) {
            if (ack.offset > size) {
                what << QStringLiteral("acknowledgement beyond the end of the file (%1 of %2 bytes)").arg(ack.offset).arg(size);
                lostAtEnd = true; // the file lost its end: what came after the cut is gone
            } else if (ack.offset < h.length || bytes[ack.offset - 1] != '\n') {
                what << QStringLiteral("acknowledgement inside an entry (offset %1)").arg(ack.offset);
            } else {
                start = ack.offset;
            }
        }
    }
    qint64 damagedHere = 0;
    QByteArray kept;
    for (qint64 at = entriesStart; at < size;) {
        const qsizetype nl = bytes.indexOf('\n', at);
        const qint64 end = nl < 0 ? size : nl + 1;
        OutboxEntry entry;
        const bool good = nl >= 0 && end - at <= kOutboxMaxEntryBytes &&
                          ParseLine(version, QByteArrayView(bytes).sliced(at, end - at), &entry);
        if (!good) {
            setAside(at, end);
            if (at >= start) {
                ++damagedHere;
                if (!damageSeen)
                    rep.resyncSinceMs = lastGoodMs;
                damageSeen = true;
            }
        } else {
            if (!damageSeen)
                lastGoodMs = qMax(lastGoodMs, entry.appendedMs);
            if (at >= start) {
                kept += version == 2 ? bytes.mid(at, end - at) : EntryLine(entry.appendedMs, entry.record);
                if (h.version == 1)
                    ++rep.migrated;
            }
        }
        at = end;
    }
    if (damagedHere > 0)
        what << QStringLiteral("%1 damaged or cut entries").arg(damagedHere);
    if (lostAtEnd && !damageSeen) {
        rep.resyncSinceMs = lastGoodMs;
        damageSeen = true;
    }
    if (h.version == 2 && what.isEmpty()) {
        m_synced = size;
        return rep;
    }
    if (!quarantine.isEmpty()) {
        EnsureFolderLocked();
        const QString path = m_folder + QStringLiteral("/outbox-damaged-") +
                             QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz")) +
                             QStringLiteral(".dat");
        SaveFileBytes(path, quarantine);
        rep.quarantinePath = path;
    }
    ReplaceWithTailLocked(FreshGeneration(), kept);
    rep.damage = what.join(QStringLiteral("; "));
    rep.damagedEntries = damagedHere;
    if (damageSeen) {
        rep.resync = true;
        if (rep.resyncSinceMs <= 0 && h.version != 0 && h.generation <= quint64(QDateTime::currentMSecsSinceEpoch()))
            rep.resyncSinceMs = qint64(h.generation); // the file's creation: before every entry
        rep.resyncSinceMs = rep.resyncSinceMs > kResyncMarginMs ? rep.resyncSinceMs - kResyncMarginMs : 0;
    }
    return rep;
}

OutboxBatch Outbox::ReadPending(int maxEntries, const OutboxBatch *after)
{
    // Writers only append whole entries, and only the sending thread or Recover replaces
    // the file: no lock, so a poll never waits for a read. An entry still being written lies
    // beyond the synced length and waits for the next read.
    OutboxBatch batch;
    QFile file(outboxPath());
    if (!file.exists())
        return batch;
    if (!file.open(QIODevice::ReadOnly))
        throw StorageError(QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(outboxPath()), file.errorString()));
    const qint64 synced = m_synced;
    const qint64 size = synced >= 0 ? qMin(synced, file.size()) : file.size();
    if (size == 0)
        return batch;
    const Header h = ParseHeader(file.read(64));
    batch.generation = h.generation;
    if (h.version != 2) {
        batch.damage = h.version == 1 ? QStringLiteral("an outbox of the previous format")
                                      : QStringLiteral("damaged header");
        return batch;
    }
    qint64 start = h.length;
    const Ack ack = after ? Ack() : ReadAck(ackPath());
    if (after) {
        // Only within the file the batch came from, and only after a whole entry.
        char before = 0;
        if (after->generation != h.generation || after->endOffset < h.length || after->endOffset > size ||
            !file.seek(after->endOffset - 1) || !file.getChar(&before) || before != '\n') {
            batch.endOffset = after->endOffset;
            return batch;
        }
        start = after->endOffset;
    } else if (ack.valid && ack.generation == h.generation) {
        char before = 0;
        if (ack.offset > size || ack.offset < h.length || !file.seek(ack.offset - 1) || !file.getChar(&before) ||
            before != '\n') {
            batch.damage = QStringLiteral("acknowledgement outside the entries (offset %1 of %2 bytes)")
                               .arg(ack.offset)
                               .arg(size);
            return batch;
        }
        start = ack.offset;
    }
    batch.endOffset = start;
    if (start >= size || !file.seek(start))
        return batch;
    const QByteArray chunk = file.read(qMin(size - start, kReadChunk));
    const bool chunkToEnd = start + chunk.size() >= size;
    qsizetype at = 0;
    while (batch.entries.size() < maxEntries && at < chunk.size()) {
        const qsizetype nl = chunk.indexOf('\n', at);
        if (nl < 0) {
            const qsizetype rest = chunk.size() - at;
            if (rest > kOutboxMaxEntryBytes)
                batch.damage = QStringLiteral("an entry longer than %1 bytes at offset %2").arg(kOutboxMaxEntryBytes).arg(start + at);
            else if (chunkToEnd) // appends are whole and synced before the length counts
                batch.damage = QStringLiteral("a cut entry at offset %1").arg(start + at);
            break;
        }
        OutboxEntry entry;
        if (nl + 1 - at > kOutboxMaxEntryBytes ||
            !ParseEntryLine(QByteArrayView(chunk).sliced(at, nl + 1 - at), &entry)) {
            batch.damage = QStringLiteral("a damaged entry at offset %1").arg(start + at);
            break;
        }
        batch.entries.append(entry);
        at = nl + 1;
    }
    batch.endOffset = start + at;
    return batch;
}

void Outbox::ReplaceWithTailLocked(quint64 generation, const QByteArray &tail)
{
    EnsureFolderLocked();
    const QByteArray header = HeaderLine(generation);
    SaveFileBytes(outboxPath(), header + tail);
    m_synced = header.size() + tail.size();
    SaveFileBytes(ackPath(), QByteArray::number(generation) + ' ' + QByteArray::number(header.size()) + '\n');
}

bool Outbox::Acknowledge(const OutboxBatch &batch)
{
    QFile file(outboxPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const Header h = ParseHeader(file.read(64));
    if (h.version != 2 || h.generation != batch.generation || batch.endOffset <= h.length)
        return false;
    const Ack ack = ReadAck(ackPath());
    if (ack.valid && ack.generation == h.generation && batch.endOffset <= ack.offset)
        return false;
    const qint64 synced = m_synced;
    const qint64 size = synced >= 0 ? qMin(synced, file.size()) : file.size();
    const bool everything = batch.endOffset >= size;
    const bool compact = !everything && batch.endOffset > m_compactBytes && batch.endOffset > size / 2;
    file.close();
    if (everything || compact) {
        // Replacing the file is the one step appends must wait for: what they added since
        // the size was taken moves into the new file.
        std::lock_guard lock(m_mutex);
        QFile current(outboxPath());
        if (!current.open(QIODevice::ReadOnly))
            throw StorageError(QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(outboxPath()), current.errorString()));
        // Recover may have replaced the file meanwhile: then its entries are all to send.
        if (ParseHeader(current.read(64)).generation != batch.generation)
            return true;
        if (!current.seek(batch.endOffset))
            throw StorageError(QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(outboxPath()), current.errorString()));
        const QByteArray tail = current.readAll();
        current.close();
        ReplaceWithTailLocked(batch.generation + 1, tail);
        return true;
    }
    SaveFileBytes(ackPath(), QByteArray::number(batch.generation) + ' ' + QByteArray::number(batch.endOffset) + '\n');
    return false;
}

void Outbox::Reject(const OutboxEntry &entry, const QString &reason)
{
    QString why = reason;
    why.replace(u'\n', u' ').replace(u'\r', u' ').replace(u'\t', u' ');
    const QByteArray line = QDateTime::currentDateTime().toString(Qt::ISODate).toUtf8() + '\t' + why.toUtf8() + '\t' +
                            EntryBody(entry.appendedMs, entry.record) + '\n';
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
    if (bytes.isEmpty())
        return s;
    const Header h = ParseHeader(QByteArrayView(bytes).first(qMin<qsizetype>(64, bytes.size())));
    QStringList damage;
    qint64 start = h.length;
    int version = h.version;
    if (h.version == 0) {
        damage << QStringLiteral("damaged header");
        version = 2;
        if (h.length == 0)
            start = bytes.size();
    } else {
        const Ack ack = ReadAck(ackPath());
        if (ack.valid && ack.generation == h.generation) {
            if (ack.offset > bytes.size() || ack.offset < h.length || bytes[ack.offset - 1] != '\n')
                damage << QStringLiteral("acknowledgement outside the entries");
            else
                start = ack.offset;
        }
    }
    qint64 damaged = 0;
    for (qint64 at = start; at < bytes.size();) {
        const qsizetype nl = bytes.indexOf('\n', at);
        const qint64 end = nl < 0 ? bytes.size() : nl + 1;
        OutboxEntry entry;
        if (nl >= 0 && end - at <= kOutboxMaxEntryBytes &&
            ParseLine(version, QByteArrayView(bytes).sliced(at, end - at), &entry)) {
            if (s.pending++ == 0)
                s.oldestMs = entry.appendedMs;
        } else {
            ++damaged;
        }
        at = end;
    }
    if (damaged > 0)
        damage << QStringLiteral("%1 damaged or cut entries").arg(damaged);
    s.damage = damage.join(QStringLiteral("; "));
    return s;
}

} // namespace qst
