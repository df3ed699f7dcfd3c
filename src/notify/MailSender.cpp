#include "MailSender.h"

#include "common/StorageError.h"
#include "common/TextFile.h"

#include <QFileInfo>

#include <curl/curl.h>

#include <cstring>
#include <mutex>
#include <sys/stat.h>

namespace qst {

namespace {

struct Upload
{
    const QByteArray *data = nullptr;
    qsizetype offset = 0;
};

size_t ReadPayload(char *buffer, size_t size, size_t count, void *user)
{
    auto *u = static_cast<Upload *>(user);
    const size_t room = size * count;
    const size_t left = size_t(u->data->size() - u->offset);
    const size_t n = std::min(room, left);
    std::memcpy(buffer, u->data->constData() + u->offset, n);
    u->offset += qsizetype(n);
    return n;
}

void GlobalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

QByteArray ServerUrl(const MailSettings &s)
{
    const QByteArray scheme = s.security == QStringLiteral("tls") ? "smtps" : "smtp";
    QByteArray host = s.host.toUtf8();
    if (host.contains(':') && !host.startsWith('['))
        host = '[' + host + ']';
    return scheme + "://" + host + ':' + QByteArray::number(s.port);
}

} // namespace

bool ReadMailPassword(const MailSettings &settings, QString *password, QString *error, QString *warning)
{
    password->clear();
    if (settings.user.isEmpty())
        return true;
    if (settings.passwordFile.isEmpty()) {
        *error = QStringLiteral("для входа на почтовый сервер нужен файл пароля (--password-file)");
        return false;
    }
    struct stat st = {};
    if (::stat(QFile::encodeName(settings.passwordFile).constData(), &st) != 0) {
        *error = QStringLiteral("файл пароля %1 недоступен: %2").arg(settings.passwordFile, SystemErrorText(errno));
        return false;
    }
    if ((st.st_mode & 077) != 0 && warning)
        *warning = QStringLiteral("файл пароля %1 доступен группе или другим (нужен режим 0600)")
                       .arg(settings.passwordFile);
    try {
        QByteArray bytes = ReadFileBytes(settings.passwordFile);
        while (!bytes.isEmpty() && (bytes.endsWith('\n') || bytes.endsWith('\r')))
            bytes.chop(1);
        *password = QString::fromUtf8(bytes);
    } catch (const StorageError &e) {
        *error = e.message();
        return false;
    }
    return true;
}

int MailSender::Send(const MailSettings &settings, const MailMessage &message, QString *error)
{
    const QByteArray mime = BuildMimeMessage(settings, message, QDateTime::currentDateTime(), error);
    if (mime.isEmpty())
        return Refused;
    return SendBuilt(settings, message.to, mime, error);
}

int MailSender::SendBuilt(const MailSettings &settings, const QStringList &recipients, const QByteArray &mime,
    QString *error)
{
    QString ignored;
    QString &why = error ? *error : ignored;
    QString password;
    if (!ReadMailPassword(settings, &password, &why))
        return Refused;
    if (HeaderTextError(settings.host).size() || settings.host.isEmpty() || settings.host.contains(u'/')
        || settings.host.contains(u'@') || settings.port < 1 || settings.port > 65535) {
        why = QStringLiteral("неверный адрес почтового сервера");
        return Refused;
    }
    for (const QString &a : recipients + QStringList{settings.from}) {
        if (const QString e = MailAddressError(a); !e.isEmpty()) {
            why = e;
            return Refused;
        }
    }
    GlobalInit();
    CURL *curl = curl_easy_init();
    if (!curl) {
        why = QStringLiteral("libcurl не запускается");
        return Temporary;
    }
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const QByteArray url = ServerUrl(settings);
    const QByteArray from = '<' + settings.from.toUtf8() + '>';
    curl_slist *rcpt = nullptr;
    for (const QString &to : recipients)
        rcpt = curl_slist_append(rcpt, ('<' + to.toUtf8() + '>').constData());
    Upload upload{&mime, 0};
    const QByteArray user = settings.user.toUtf8();
    const QByteArray pass = password.toUtf8();
    const QByteArray ca = QFile::encodeName(settings.caFile);

    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadPayload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(mime.size()));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, long(qMax(5, settings.timeoutSeconds)));
    if (settings.security == QStringLiteral("starttls"))
        curl_easy_setopt(curl, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, settings.verifyPeer ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, settings.verifyPeer ? 2L : 0L);
    if (!ca.isEmpty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca.constData());
    if (!user.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, pass.constData());
    }
    const CURLcode code = curl_easy_perform(curl);
    long answer = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer);
    curl_slist_free_all(rcpt);
    curl_easy_cleanup(curl);
    if (code == CURLE_OK)
        return Accepted;
    QString text = QString::fromUtf8(errorBuffer);
    if (text.isEmpty())
        text = QString::fromUtf8(curl_easy_strerror(code));
    if (answer > 0)
        text += QStringLiteral(" (ответ сервера %1)").arg(answer);
    why = MaskSecrets(QStringLiteral("почтовый сервер %1:%2: %3").arg(settings.host).arg(settings.port).arg(text),
        {password, QString::fromUtf8(pass)});
    if (code == CURLE_LOGIN_DENIED)
        return Rejected;
    return answer >= 500 && answer < 600 ? Rejected : Temporary;
}

} // namespace qst
