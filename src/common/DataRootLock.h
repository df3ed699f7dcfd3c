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

    // Takes the lock; on refusal `error` gets a message for the operator.
    bool TryLock(QString *error);
    bool IsLocked() const;
    void Unlock();

private:
    QString m_dataRoot;
    std::unique_ptr<QLockFile> m_lock;
};

} // namespace qst
