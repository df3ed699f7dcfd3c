#include "DataRootLock.h"

#include <QDir>
#include <QLockFile>

namespace qst {

DataRootLock::DataRootLock(const QString &dataRoot)
    : m_dataRoot(dataRoot)
    , m_lock(std::make_unique<QLockFile>(dataRoot + QStringLiteral("/.qst-archiver.lock")))
{
    // A holder that lives as long as the program must never be taken for stale.
    m_lock->setStaleLockTime(0);
}

DataRootLock::~DataRootLock() = default;

bool DataRootLock::TryLock(QString *error)
{
    if (m_lock->isLocked())
        return true;
    if (m_lock->tryLock(0))
        return true;
    if (error) {
        qint64 pid = 0;
        QString host, app;
        const QString where = QDir::toNativeSeparators(m_dataRoot);
        if (m_lock->error() == QLockFile::LockFailedError && m_lock->getLockInfo(&pid, &host, &app))
            *error = QStringLiteral("Каталог данных %1 уже используется другой программой (%2, процесс %3). "
                                    "Завершите её и повторите попытку.")
                         .arg(where, app)
                         .arg(pid);
        else if (m_lock->error() == QLockFile::LockFailedError)
            *error = QStringLiteral("Каталог данных %1 уже используется другой программой.").arg(where);
        else
            *error = QStringLiteral("Не удалось захватить каталог данных %1: нет доступа.").arg(where);
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

} // namespace qst
