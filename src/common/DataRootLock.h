#pragma once

#include <QString>

#include <memory>

class QLockFile;

namespace qst {

// One writing process per data root: the application and every writing command of
// qst-cli hold this lock while they run.
class DataRootLock
{
public:
    explicit DataRootLock(const QString &dataRoot);
    ~DataRootLock();

    // Takes the lock; on refusal `error` gets a message for the operator. A lock file with
    // no live holder (a process that is gone, or no holder named at all after a crash) is
    // taken over; `notice` then says so for the log. Once held, stale temporary copies of
    // our saves are removed (RemoveStaleTemporaries).
    bool TryLock(QString *error, QString *notice = nullptr);
    bool IsLocked() const;
    void Unlock();

private:
    QString LockPath() const;

    QString m_dataRoot;
    std::unique_ptr<QLockFile> m_lock;
};

// Removes the temporary copies "<name>.XXXXXX" a save killed before its rename leaves
// (Tree.ini and the files under DATA); only while the data root's lock is held, when no
// save of ours can be running. Returns how many went.
int RemoveStaleTemporaries(const QString &dataRoot);

} // namespace qst
