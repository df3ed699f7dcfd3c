#include "DataRootLock.h"

#include "DataRoot.h"
#include "TextFile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qst {

namespace {

// A lock file whose holder's name cannot be read (a kill between its creation and its
// write, damage) is free when nobody holds its flock: a live QLockFile holder keeps one from
// right after creating the file. Such a file is removed so the lock can be taken.
bool RemoveHolderlessLock(const QString &path)
{
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    bool removed = false;
    struct stat opened, now;
    // The inode check keeps a second process that took the same file over from removing
    // the lock the first one has just made in its place.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &opened) == 0 && ::stat(name.constData(), &now) == 0 &&
        opened.st_ino == now.st_ino && opened.st_dev == now.st_dev)
        removed = ::unlink(name.constData()) == 0;
    ::close(fd);
    return removed;
#else
    // Without flock: a nameless lock older than a minute cannot be one being written.
    const QFileInfo info(path);
    if (info.lastModified().secsTo(QDateTime::currentDateTime()) < 60)
        return false;
    return QFile::remove(path);
#endif
}

// The holder a lock file names has ended: on this host, and no process has its id.
bool HolderIsGone(qint64 pid, const QString &host)
{
    if (!host.isEmpty() && host != QSysInfo::machineHostName())
        return false;
#ifdef Q_OS_UNIX
    if (pid <= 0)
        return false;
    return pid > 0x7fffffff || (::kill(pid_t(pid), 0) != 0 && errno == ESRCH);
#else
    Q_UNUSED(pid);
    return false;
#endif
}

// Why the lock file could not be made: QLockFile tells only "unknown error"; the operator
// needs the system's reason (no space, read-only disk, no permission).
QString LockFailureReason(const QString &path)
{
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return SystemErrorText(errno);
    const QByteArray probe(64, ' ');
    int error = 0;
    if (::write(fd, probe.constData(), size_t(probe.size())) != probe.size() || ::fsync(fd) != 0)
        error = errno ? errno : ENOSPC;
    ::close(fd);
    ::unlink(name.constData());
    if (error)
        return SystemErrorText(error);
#else
    Q_UNUSED(path);
#endif
    return QStringLiteral("нет доступа");
}

} // namespace

DataRootLock::DataRootLock(const QString &dataRoot)
    : m_dataRoot(dataRoot)
    , m_lock(std::make_unique<QLockFile>(LockPath()))
{
    // A holder that lives as long as the program must never be taken for stale by age; a
    // holder that is gone is found by its process id.
    m_lock->setStaleLockTime(0);
}

DataRootLock::~DataRootLock() = default;

QString DataRootLock::LockPath() const
{
    return m_dataRoot + QStringLiteral("/.qst-archiver.lock");
}

bool DataRootLock::TryLock(QString *error, QString *notice)
{
    if (m_lock->isLocked())
        return true;
    const QString where = QDir::toNativeSeparators(m_dataRoot);
    qint64 pid = 0;
    QString host, app;
    // QLockFile takes over the lock of a process that is gone without a word; the operator
    // is told, as after any crash.
    const bool deadHolder = m_lock->getLockInfo(&pid, &host, &app) && HolderIsGone(pid, host);
    bool locked = m_lock->tryLock(0);
    if (locked && deadHolder && notice)
        *notice = QStringLiteral("Файл блокировки каталога данных %1 остался от завершившегося процесса %2 (%3) и "
                                 "снят.")
                      .arg(where)
                      .arg(pid)
                      .arg(app);
    if (!locked && m_lock->error() == QLockFile::LockFailedError && !m_lock->getLockInfo(&pid, &host, &app) &&
        RemoveHolderlessLock(LockPath())) {
        locked = m_lock->tryLock(0);
        if (locked && notice)
            *notice = QStringLiteral("Файл блокировки каталога данных %1 не называл живого владельца (остался после "
                                     "сбоя) и снят.")
                          .arg(where);
    }
    if (locked) {
        RemoveStaleTemporaries(m_dataRoot);
        return true;
    }
    if (error) {
        if (m_lock->error() == QLockFile::LockFailedError && m_lock->getLockInfo(&pid, &host, &app))
            *error = QStringLiteral("Каталог данных %1 уже используется другой программой (%2, процесс %3). "
                                    "Завершите её и повторите попытку.")
                         .arg(where, app)
                         .arg(pid);
        else if (m_lock->error() == QLockFile::LockFailedError)
            *error = QStringLiteral("Каталог данных %1 уже используется другой программой.").arg(where);
        else
            *error = QStringLiteral("Не удалось захватить каталог данных %1: %2.").arg(where, LockFailureReason(LockPath()));
    }
    return false;
}

bool DataRootLock::IsLocked() const
{
    return m_lock->isLocked();
}

void DataRootLock::Unlock()
{
    m_lock->unlock();
}

int RemoveStaleTemporaries(const QString &dataRoot)
{
    // Only names a save of ours makes: Tree.ini and the files under DATA, each with the
    // temporary suffix. Nothing else in the data root is touched.
    static const QRegularExpression rootName(
        QStringLiteral("^Tree\\.ini\\.[A-Za-z0-9]{%1}$").arg(kTemporarySuffixLength));
    static const QRegularExpression dataName(
        QStringLiteral("^(\\d{1,6}|MA|J)\\.dat\\.[A-Za-z0-9]{%1}$").arg(kTemporarySuffixLength));
    static const QRegularExpression meterFolder(QStringLiteral("^(CV|HA|DA|MA|J)\\d{1,5}$"));
    int removed = 0;
    const auto sweep = [&](const QString &folder, const QRegularExpression &pattern) {
        QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System);
        while (it.hasNext()) {
            it.next();
            if (pattern.match(it.fileName()).hasMatch() && QFile::remove(it.filePath()))
                ++removed;
        }
    };
    sweep(dataRoot, rootName);
    const QString data = DataFolderPath(dataRoot);
    sweep(data, dataName);
    QDirIterator folders(data, QDir::Dirs | QDir::NoDotAndDotDot);
    while (folders.hasNext()) {
        folders.next();
        if (meterFolder.match(folders.fileName()).hasMatch())
            sweep(folders.filePath(), dataName);
    }
    return removed;
}

} // namespace qst
