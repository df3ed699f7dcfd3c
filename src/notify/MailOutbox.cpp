#include "MailOutbox.h"

#include "MailSender.h"

#include "common/ProfileFile.h"
#include "common/StorageError.h"
#include "common/TextFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <mutex>

namespace qst {

namespace {

// The schedules' and the alarms' services queue and deliver from their own threads, each
// through its own ProfileFile of the index: without one lock a rewrite by one could drop an
// entry the other had just added, and that mail would be lost silently.
std::mutex &IndexMutex()
{
    static std::mutex mutex;
    return mutex;
}

const QString kTo = QStringLiteral("To");
const QString kSubject = QStringLiteral("Subject");
const QString kOrigin = QStringLiteral("Origin");
const QString kCreated = QStringLiteral("Created");
const QString kNextTry = QStringLiteral("NextTry");
const QString kAttempts = QStringLiteral("Attempts");
const QString kLastError = QStringLiteral("LastError");

QString IndexPath(const QString &folder)
{
    return QDir(folder).filePath(QStringLiteral("Outbox.ini"));
}

QString MessagePath(const QString &folder, const QString &id)
{
    return QDir(folder).filePath(id + QStringLiteral(".eml"));
}

QString IsoText(const QDateTime &t)
{
    return t.toString(Qt::ISODate);
}

// An id names a file: only letters, digits and '-'.
bool IsSafeId(const QString &id)
{
    if (id.isEmpty() || id.size() > 80)
        return false;
    return std::all_of(id.begin(), id.end(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-';
    });
}

// An error text kept in the INI must stay one line of Windows-1251.
QString OneLine(QString text)
{
    for (QChar &c : text) {
        if (c.unicode() < 0x20)
            c = u' ';
    }
    return DecodeCp1251(EncodeCp1251(text));
}

// A caller's id (any text) as an entry's name.
QString EntryKey(const QString &id)
{
    return QString::fromLatin1(QCryptographicHash::hash(id.toUtf8(), QCryptographicHash::Sha1).toHex().left(24));
}

} // namespace

MailOutbox::MailOutbox(const QString &dataRoot)
    : m_folder(QDir(dataRoot).filePath(QStringLiteral("MailOutbox")))
{
}

int MailOutbox::BackoffSeconds(int attempts)
{
    if (attempts <= 0)
        return 0;
    return std::min(3600, 60 << std::min(attempts - 1, 6));
}

QString MailOutbox::Enqueue(const MailSettings &settings, const MailMessage &message, const QDateTime &now,
    const QString &origin, const QString &id, QString *error)
{
    const QString key = id.isEmpty()
        ? QString::number(now.toMSecsSinceEpoch()) + u'-' + QString::number(QRandomGenerator::system()->generate(), 16)
        : EntryKey(id);
    const QByteArray mime = BuildMimeMessage(settings, message, now, error);
    if (mime.isEmpty())
        return {};
    if (!IsSafeId(key))
        throw StorageError(QStringLiteral("неверный номер письма"));
    std::lock_guard lock(IndexMutex());
    if (QFile::exists(IndexPath(m_folder)) && ProfileFile(IndexPath(m_folder)).HasSection(key))
        return key;
    if (!QDir().mkpath(m_folder))
        throw StorageError(QStringLiteral("Не удалось создать папку %1").arg(QDir::toNativeSeparators(m_folder)));
    // The message first, then its entry: an entry always has its message.
    SaveFileBytes(MessagePath(m_folder, key), mime);
    ProfileFile index(IndexPath(m_folder));
    index.WriteStrings(key,
        {{kTo, message.to.join(u',')}, {kSubject, OneLine(message.subject)}, {kOrigin, OneLine(origin)},
            {kCreated, IsoText(now)}, {kNextTry, IsoText(now)}, {kAttempts, QStringLiteral("0")},
            {kLastError, QString()}});
    return key;
}

bool MailOutbox::Contains(const QString &id)
{
    if (!QFile::exists(IndexPath(m_folder)))
        return false;
    return ProfileFile(IndexPath(m_folder)).HasSection(EntryKey(id));
}

QList<MailOutboxEntry> MailOutbox::Entries()
{
    QList<MailOutboxEntry> out;
    if (!QFile::exists(IndexPath(m_folder)))
        return out;
    ProfileFile index(IndexPath(m_folder));
    for (const QString &id : index.ReadSectionNames()) {
        if (!IsSafeId(id))
            continue;
        MailOutboxEntry e;
        e.id = id;
        e.to = index.ReadString(id, kTo).split(u',', Qt::SkipEmptyParts);
        e.subject = index.ReadString(id, kSubject);
        e.origin = index.ReadString(id, kOrigin);
        e.created = QDateTime::fromString(index.ReadString(id, kCreated), Qt::ISODate);
        e.nextTry = QDateTime::fromString(index.ReadString(id, kNextTry), Qt::ISODate);
        e.attempts = int(index.ReadInteger(id, kAttempts, 0));
        e.lastError = index.ReadString(id, kLastError);
        out << e;
    }
    std::stable_sort(out.begin(), out.end(),
        [](const MailOutboxEntry &a, const MailOutboxEntry &b) { return a.created < b.created; });
    return out;
}

int MailOutbox::DeliverDue(MailSender &sender, const MailSettings &settings, const QDateTime &now, QStringList *log)
{
    int delivered = 0;
    for (const MailOutboxEntry &e : Entries()) {
        if (e.nextTry.isValid() && e.nextTry > now)
            continue;
        ProfileFile index(IndexPath(m_folder));
        QString error;
        int result = MailSender::Refused;
        bool exists = false;
        QByteArray mime;
        try {
            mime = ReadFileBytes(MessagePath(m_folder, e.id), &exists);
        } catch (const StorageError &x) {
            error = x.message();
        }
        if (exists && !mime.isEmpty()) {
            result = sender.SendBuilt(settings, e.to, mime, &error);
        } else if (error.isEmpty()) {
            error = QStringLiteral("файл письма %1 пропал").arg(MessagePath(m_folder, e.id));
        }
        if (result == MailSender::Accepted) {
            // The entry goes before its message: a crash between leaves a file, never an
            // entry that would send the mail again without it.
            std::lock_guard lock(IndexMutex());
            index.EraseSection(e.id);
            QFile::remove(MessagePath(m_folder, e.id));
            ++delivered;
            if (log)
                *log << QStringLiteral("Почта: письмо \"%1\" принято сервером (%2)").arg(e.subject, e.to.join(u','));
            continue;
        }
        const int attempts = e.attempts + 1;
        std::lock_guard lock(IndexMutex());
        index.WriteStrings(e.id,
            {{kAttempts, QString::number(attempts)}, {kNextTry, IsoText(now.addSecs(BackoffSeconds(attempts)))},
                {kLastError, OneLine(error)}});
        if (log)
            *log << QStringLiteral("Почта: письмо \"%1\" не отправлено (попытка %2): %3")
                        .arg(e.subject)
                        .arg(attempts)
                        .arg(error);
    }
    return delivered;
}

QString MailStatusLine(const QString &dataRoot)
{
    MailOutbox outbox(dataRoot);
    const QList<MailOutboxEntry> entries = outbox.Entries();
    if (entries.isEmpty())
        return {};
    QString last;
    QDateTime when;
    for (const MailOutboxEntry &e : entries) {
        if (!e.lastError.isEmpty() && (last.isEmpty() || e.nextTry >= when)) {
            last = e.lastError;
            when = e.nextTry;
        }
    }
    return QStringLiteral("Почта: %1 писем не отправлено, последняя ошибка: %2")
        .arg(entries.size())
        .arg(last.isEmpty() ? QStringLiteral("нет (ещё не отправлялись)") : last);
}

} // namespace qst
