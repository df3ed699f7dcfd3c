#include "web/AuditLog.h"

#include "exchange/LogSink.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

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
    // Never written through a symlink planted in the data root.
    if (QFileInfo(m_path).isSymLink()) {
        std::fprintf(stderr, "audit log: %s is a symlink, not written\n", qPrintable(m_path));
        return;
    }
    QFile file(m_path);
    // One write of the whole line in append mode: a crash leaves at most a cut last line.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(line) != line.size() || !file.flush()) {
        std::fprintf(stderr, "audit log: %s not written: %s\n", qPrintable(m_path), qPrintable(file.errorString()));
        return;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace qst::web
