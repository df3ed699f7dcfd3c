#include "web/AuditLog.h"

#include "exchange/LogSink.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qst::web {

AuditLog::AuditLog(const QString &dataRoot)
    : m_path(FilePath(dataRoot))
{
}

QString AuditLog::FilePath(const QString &dataRoot)
{
    return dataRoot + QStringLiteral("/Audit.log");
}

void AuditLog::Write(const QString &address, const QString &user, const QString &text)
{
    QString who = user.isEmpty() ? QStringLiteral("-") : user;
    // A name is the user's own text: no line breaks may reach the log.
    who.replace(u'\n', u' ').replace(u'\r', u' ');
    const QByteArray line
        = (FormatLogLine(QDateTime::currentDateTime(), address + u' ' + who + QStringLiteral(": ") + text) + u'\n')
              .toUtf8();
    std::lock_guard lock(m_mutex);
    // O_NOFOLLOW at the open itself: a symlink planted in the data root is refused, with no
    // window between a check and the open. One write of the whole line in append mode: a
    // crash leaves at most a cut last line.
    const int fd = ::open(QFile::encodeName(m_path).constData(),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "audit log: %s not written: %s\n", qPrintable(m_path), std::strerror(errno));
        return;
    }
    ::fchmod(fd, 0600); // who logged in from where: for the service's user only
    const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
    const int writeError = errno;
    ::close(fd);
    if (written != line.size())
        std::fprintf(stderr, "audit log: %s not written: %s\n", qPrintable(m_path),
            written < 0 ? std::strerror(writeError) : "short write");
}

} // namespace qst::web
