#include "TextFile.h"

#include "StorageError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>

#include <QRandomGenerator>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qst {

namespace {

std::mutex g_faultMutex;
std::function<bool(const QString &)> g_saveFault;
std::atomic<bool> g_syncToDisk{true};

bool SaveShouldFail(const QString &path)
{
    std::lock_guard lock(g_faultMutex);
    return g_saveFault && g_saveFault(path);
}

} // namespace

QString DecodeCp1251(QByteArrayView bytes)
{
    thread_local QStringDecoder decoder("windows-1251");
    decoder.resetState();
    return decoder.decode(bytes);
}

QByteArray EncodeCp1251(QStringView text)
{
    thread_local QStringEncoder encoder("windows-1251", QStringConverter::Flag::Stateless);
    encoder.resetState();
    return encoder.encode(text);
}

QString FirstUnencodableChar(QStringView text)
{
    if (DecodeCp1251(EncodeCp1251(text)) == text)
        return {};
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QStringView one = text.sliced(i, n);
        if (DecodeCp1251(EncodeCp1251(one)) != one)
            return one.toString();
        i += n;
    }
    return {};
}

QString SystemErrorText(int error)
{
    return qt_error_string(error);
}

QByteArray ReadFileBytes(const QString &path, bool *exists)
{
#ifdef Q_OS_UNIX
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            throw StorageError(QStringLiteral("Не удалось открыть файл %1: %2")
                                   .arg(QDir::toNativeSeparators(path), SystemErrorText(errno)));
        if (exists)
            *exists = false;
        return {};
    }
    if (exists)
        *exists = true;
    // A FIFO or a device would block or never end; only a regular file is data.
    if (!S_ISREG(st.st_mode))
        throw StorageError(
            QStringLiteral("Не удалось открыть файл %1: это не обычный файл").arg(QDir::toNativeSeparators(path)));
#endif
    QFile file(path);
#ifndef Q_OS_UNIX
    if (!file.exists()) {
        if (exists)
            *exists = false;
        return {};
    }
    if (exists)
        *exists = true;
#endif
    if (!file.open(QIODevice::ReadOnly))
        throw StorageError(QStringLiteral("Не удалось открыть файл %1: %2")
                               .arg(QDir::toNativeSeparators(path), file.errorString()));
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw StorageError(QStringLiteral("Не удалось прочитать файл %1: %2")
                               .arg(QDir::toNativeSeparators(path), file.errorString()));
    return bytes;
}

QStringList SplitLines(const QByteArray &bytes)
{
    const QString text = DecodeCp1251(bytes);
    QStringList lines;
    lines.reserve(text.size() / 64 + 1);
    qsizetype start = 0;
    const qsizetype n = text.size();
    const QChar *data = text.constData();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = data[i];
        if (c == u'\n' || c == u'\r') {
            lines.append(text.sliced(start, i - start));
            if (c == u'\r' && i + 1 < n && data[i + 1] == u'\n')
                ++i;
            start = i + 1;
        }
    }
    if (start < n)
        lines.append(text.sliced(start));
    return lines;
}

QStringList LoadLines(const QString &path)
{
    return SplitLines(ReadFileBytes(path));
}

namespace {

[[noreturn]] void ThrowWriteError(const QString &path, const QString &reason)
{
    throw StorageError(
        QStringLiteral("Не удалось записать файл %1: %2").arg(QDir::toNativeSeparators(path), reason));
}

} // namespace

#ifdef Q_OS_UNIX

namespace {

QByteArray FolderOf(const QByteArray &target)
{
    const qsizetype slash = target.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : target.left(slash);
}

// The temporary copy "<name>.XXXXXX" beside the file, created exclusively (never through a
// link) with the caller's umask; -1 with errno on failure. A name near the file system's
// limit gets a shortened copy name, so every name that can exist can be saved.
int CreateTemporary(const QByteArray &target, QByteArray *temporary)
{
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const qsizetype slash = target.lastIndexOf('/');
    QByteArray base = target;
    const int room = FileNameLimit(QFile::decodeName(FolderOf(target))) - 1 - kTemporarySuffixLength;
    if (target.size() - slash - 1 > room && room > 0) {
        qsizetype end = slash + 1 + room;
        while (end > slash + 1 && (quint8(target[end]) & 0xC0) == 0x80)
            --end; // on a character's first byte
        base = target.left(end);
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray name = base + '.';
        for (int i = 0; i < kTemporarySuffixLength; ++i)
            name += kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters) - 1)];
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            *temporary = name;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

bool WriteAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(std::min<qsizetype>(size, 1 << 30)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

} // namespace

// Every step is checked: the bytes reach the disk (fsync) before the copy replaces the
// file, and the folder's entry after. On any failure the copy goes and the file stays.
void SaveFileBytes(const QString &path, const QByteArray &bytes)
{
    const QByteArray target = QFile::encodeName(path);
    // The final name is never followed: a planted link would send the bytes elsewhere, and
    // a folder or a device is nothing a save may replace.
    struct stat st;
    const bool existed = ::lstat(target.constData(), &st) == 0;
    if (existed && S_ISLNK(st.st_mode))
        ThrowWriteError(path, QStringLiteral("это символическая ссылка"));
    if (existed && !S_ISREG(st.st_mode))
        ThrowWriteError(path, QStringLiteral("это не обычный файл"));
    QByteArray temporary;
    const int fd = CreateTemporary(target, &temporary);
    if (fd < 0)
        ThrowWriteError(path, SystemErrorText(errno));
    const auto fail = [&](int error, bool open) {
        if (open)
            ::close(fd);
        ::unlink(temporary.constData());
        ThrowWriteError(path, SystemErrorText(error));
    };
    if (existed)
        ::fchmod(fd, st.st_mode & 07777); // the file keeps its permissions, as QSaveFile does
    if (!WriteAll(fd, bytes.constData(), bytes.size()))
        fail(errno, true);
    if (g_syncToDisk && ::fsync(fd) != 0)
        fail(errno, true);
    if (::close(fd) != 0)
        fail(errno, false);
    if (SaveShouldFail(path)) {
        ::unlink(temporary.constData());
        ThrowWriteError(path, QStringLiteral("сбой записи"));
    }
    if (::rename(temporary.constData(), target.constData()) != 0)
        fail(errno, false);
    const QByteArray folder = FolderOf(target);
    const int dir = g_syncToDisk ? ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (dir >= 0) {
        const int synced = ::fsync(dir);
        const int error = errno;
        ::close(dir);
        // The new file is in place; a folder that cannot be synced is reported all the same.
        if (synced != 0 && error != EINVAL && error != EROFS)
            ThrowWriteError(path, SystemErrorText(error));
    }
}

int FileNameLimit(const QString &folder)
{
    const long limit = ::pathconf(QFile::encodeName(folder.isEmpty() ? QStringLiteral(".") : folder).constData(),
                                  _PC_NAME_MAX);
    return limit > 0 && limit < 4096 ? int(limit) : 255;
}

#else

int FileNameLimit(const QString &)
{
    return 255;
}

void SaveFileBytes(const QString &path, const QByteArray &bytes)
{
    if (QFileInfo(path).isSymLink())
        ThrowWriteError(path, QStringLiteral("это символическая ссылка"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        ThrowWriteError(path, file.errorString());
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        ThrowWriteError(path, reason);
    }
    if (SaveShouldFail(path)) {
        file.cancelWriting();
        ThrowWriteError(path, QStringLiteral("сбой записи"));
    }
    if (!file.commit())
        ThrowWriteError(path, file.errorString());
}

#endif

void SaveLines(const QString &path, const QStringList &lines)
{
    qsizetype size = 0;
    for (const QString &line : lines)
        size += line.size() + 2;
    QString text;
    text.reserve(size);
    for (const QString &line : lines) {
        text += line;
        text += QLatin1String("\r\n");
    }
    SaveFileBytes(path, EncodeCp1251(text));
}

void SetSyncToDiskForBenchmarks(bool enabled)
{
    g_syncToDisk = enabled;
}

void SetSaveFaultForTests(std::function<bool(const QString &path)> fault)
{
    std::lock_guard lock(g_faultMutex);
    g_saveFault = std::move(fault);
}

} // namespace qst
