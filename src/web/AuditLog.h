#pragma once

#include <QString>

#include <mutex>

namespace qst::web {

// The portal's audit log in the data root: logins, downloads, read commands, account
// changes; one line per event, appended whole.
class AuditLog
{
public:
    explicit AuditLog(const QString &dataRoot);
    static QString FilePath(const QString &dataRoot);

    // "[date time] address user: text"; a failed write is reported on standard error only,
    // the request it records goes on.
    void Write(const QString &address, const QString &user, const QString &text);

private:
    QString m_path;
    std::mutex m_mutex;
};

} // namespace qst::web
