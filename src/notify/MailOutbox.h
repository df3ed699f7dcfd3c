#pragma once

#include "notify/MailMessage.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace qst {

class MailSender;

struct MailOutboxEntry
{
    QString id;
    QStringList to;
    QString subject;
    QString origin; // who queued it ("schedule NAME", "alarm", "test")
    QDateTime created;
    QDateTime nextTry;
    int attempts = 0;
    QString lastError;
};

// Mails not yet accepted by the server, kept in the data root so a restart keeps them: each
// built message in MailOutbox/<id>.eml, its recipients, attempts and next try in
// MailOutbox/Outbox.ini. A message leaves only when the server accepted it; a failure is
// retried with back-off (1 min, doubling, at most 1 h), for ever, and shows in the status.
class MailOutbox
{
public:
    explicit MailOutbox(const QString &dataRoot);

    // Builds and keeps the message; returns its entry's name, or empty with the reason in *error
    // (a refused address or header). A mail with an id (any text naming it, e.g. schedule,
    // period and recipient) that is already waiting is not queued twice.
    // Throws StorageError when the files cannot be written.
    QString Enqueue(const MailSettings &settings, const MailMessage &message, const QDateTime &now,
        const QString &origin, const QString &id = {}, QString *error = nullptr);

    bool Contains(const QString &id); // the id given to Enqueue

    // Tries each entry whose time has come, oldest first; returns how many were accepted. Log
    // lines (secrets masked) go to *log.
    int DeliverDue(MailSender &sender, const MailSettings &settings, const QDateTime &now, QStringList *log = nullptr);

    QList<MailOutboxEntry> Entries();

    // Seconds to wait after so many failed attempts.
    static int BackoffSeconds(int attempts);

private:
    QString m_folder;
};

// "Почта: N писем не отправлено, последняя ошибка: …"; empty when nothing waits.
QString MailStatusLine(const QString &dataRoot);

} // namespace qst
