#include "Webhook.h"

#include "MailMessage.h"
#include "NotifySettings.h"

#include "common/StorageError.h"
#include "common/TextFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>

#include <curl/curl.h>

namespace qst {

namespace {

// Queued alarms beyond this are dropped oldest first, each drop logged: a webhook dead for
// weeks must not fill the disk.
constexpr int kMaxQueued = 5000;

size_t Discard(char *, size_t size, size_t count, void *)
{
    return size * count;
}

void InitCurlOnce()
{
    static const bool done = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
    Q_UNUSED(done);
}

} // namespace

QByteArray WebhookSignature(const QByteArray &body, const QByteArray &secret)
{
    return "sha256=" + QMessageAuthenticationCode::hash(body, secret, QCryptographicHash::Sha256).toHex();
}

bool PostWebhook(const QString &url, const QByteArray &secret, const QByteArray &body, QString *error,
                 const QString &caFile)
{
    const QString refused = WebhookUrlError(url);
    if (!refused.isEmpty()) {
        *error = refused;
        return false;
    }
    InitCurlOnce();
    CURL *curl = curl_easy_init();
    if (!curl) {
        *error = QStringLiteral("libcurl could not start");
        return false;
    }
    const QByteArray u = url.toUtf8();
    curl_slist *headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json; charset=utf-8");
    headers = curl_slist_append(headers, "User-Agent: qst-archiver");
    QByteArray signature;
    if (!secret.isEmpty()) {
        signature = "X-QST-Signature: " + WebhookSignature(body, secret);
        headers = curl_slist_append(headers, signature.constData());
    }
    curl_easy_setopt(curl, CURLOPT_URL, u.constData());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    const QByteArray ca = QFile::encodeName(caFile);
    if (!ca.isEmpty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca.constData());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    const CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) {
        *error = QString::fromUtf8(curl_easy_strerror(rc));
        return false;
    }
    if (status < 200 || status > 299) {
        *error = QStringLiteral("HTTP %1").arg(status);
        return false;
    }
    return true;
}

WebhookSender::WebhookSender(QString dataRoot, QString url, QByteArray secret, Log log)
    : m_dataRoot(std::move(dataRoot))
    , m_url(std::move(url))
    , m_secret(std::move(secret))
    , m_log(std::move(log))
{
}

WebhookSender::~WebhookSender()
{
    Stop(0);
}

QString WebhookSender::QueuePath(const QString &dataRoot)
{
    return QDir(dataRoot).filePath(QStringLiteral("Alarms.queue"));
}

void WebhookSender::SetRetryLimitsForTests(int firstMs, int maxMs)
{
    m_firstRetryMs = firstMs;
    m_maxRetryMs = maxMs;
}

QList<WebhookSender::Item> WebhookSender::LoadLocked()
{
    QList<Item> items;
    for (const QByteArray &line : ReadFileBytes(QueuePath(m_dataRoot)).split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.isEmpty() || !o.value(QStringLiteral("body")).isObject())
            continue; // a torn last line of a file saved by another build: nothing to send
        Item item;
        item.body = QJsonDocument(o.value(QStringLiteral("body")).toObject()).toJson(QJsonDocument::Compact);
        item.attempts = o.value(QStringLiteral("attempts")).toInt();
        item.nextMs = qint64(o.value(QStringLiteral("next")).toDouble());
        items.append(item);
    }
    return items;
}

void WebhookSender::SaveLocked(const QList<Item> &items)
{
    QByteArray bytes;
    for (const Item &item : items) {
        QJsonObject o;
        o[QStringLiteral("body")] = QJsonDocument::fromJson(item.body).object();
        o[QStringLiteral("attempts")] = item.attempts;
        o[QStringLiteral("next")] = double(item.nextMs);
        bytes += QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
    }
    SaveFileBytes(QueuePath(m_dataRoot), bytes);
}

void WebhookSender::Enqueue(const QList<AlarmEvent> &events)
{
    if (events.isEmpty())
        return;
    {
        std::lock_guard lock(m_mutex);
        QList<Item> items = LoadLocked();
        for (const AlarmEvent &e : events)
            items.append({QJsonDocument(AlarmEventJson(e)).toJson(QJsonDocument::Compact), 0, 0});
        while (items.size() > kMaxQueued) {
            m_log(QStringLiteral("Очередь уведомлений переполнена: старое уведомление удалено: %1")
                      .arg(QString::fromUtf8(items.first().body)));
            items.removeFirst();
        }
        SaveLocked(items);
    }
    m_wake.notify_all();
}

int WebhookSender::Pending()
{
    std::lock_guard lock(m_mutex);
    return int(LoadLocked().size());
}

void WebhookSender::Start()
{
    if (!m_thread.joinable())
        m_thread = std::thread([this] { Run(); });
}

void WebhookSender::Stop(int drainMs)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_thread.joinable())
            return;
        m_stopping = true;
        m_drainUntilMs = QDateTime::currentMSecsSinceEpoch() + drainMs;
    }
    m_wake.notify_all();
    m_thread.join();
}

void WebhookSender::Run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (m_stopping && now >= m_drainUntilMs)
            return;
        QList<Item> items;
        try {
            items = LoadLocked();
        } catch (const StorageError &) {
        }
        if (items.isEmpty() || items.first().nextMs > now) {
            if (m_stopping)
                return;
            const qint64 wait = items.isEmpty() ? 60000 : std::min<qint64>(items.first().nextMs - now, 60000);
            m_wake.wait_for(lock, std::chrono::milliseconds(std::max<qint64>(wait, 10)));
            continue;
        }
        // Sent in order: the first waits its turn, so a receiver sees raised before cleared.
        const Item item = items.first();
        lock.unlock();
        QString error;
        const bool sent = PostWebhook(m_url, m_secret, item.body, &error, m_caFile);
        lock.lock();
        try {
            items = LoadLocked();
            if (items.isEmpty() || items.first().body != item.body)
                continue;
            if (sent) {
                items.removeFirst();
                if (m_failingLogged)
                    m_log(QStringLiteral("Уведомление доставлено на %1").arg(RedactedWebhookUrl(m_url)));
                m_failingLogged = false;
            } else {
                Item &first = items.first();
                ++first.attempts;
                const qint64 delay = std::min<qint64>(qint64(m_firstRetryMs) << std::min(first.attempts - 1, 20),
                                                      m_maxRetryMs);
                first.nextMs = QDateTime::currentMSecsSinceEpoch() + delay;
                if (!m_failingLogged || first.attempts == 1)
                    m_log(QStringLiteral("Не удалось отправить уведомление на %1: %2; повтор через %3 с")
                              .arg(RedactedWebhookUrl(m_url), MaskSecrets(error, {QString::fromUtf8(m_secret)}))
                              .arg(delay / 1000));
                m_failingLogged = true;
            }
            SaveLocked(items);
        } catch (const StorageError &e) {
            m_log(QStringLiteral("Не удалось записать очередь уведомлений: %1").arg(e.message()));
            m_wake.wait_for(lock, std::chrono::seconds(5));
        }
    }
}

} // namespace qst
