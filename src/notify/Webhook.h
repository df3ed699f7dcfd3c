#pragma once

#include "Alarms.h"

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace qst {

// "sha256=<hex HMAC-SHA256 of the body>", the X-QST-Signature header's value.
QByteArray WebhookSignature(const QByteArray &body, const QByteArray &secret);

// One POST of a JSON body. True when the server answered 2xx; otherwise the reason (the
// url's path and query never appear in it: they may hold a token). caFile names authorities
// trusted for https besides the system's.
bool PostWebhook(const QString &url, const QByteArray &secret, const QByteArray &body, QString *error,
                 const QString &caFile = {});

// The alarms on their way to the webhook, kept in Alarms.queue of the data root (one JSON
// object a line: the body, the attempts, when the next is due), so neither a refusing
// server nor a restart loses one. A thread of its own sends them in order, retrying with
// back-off (5 s doubling to 1 h).
class WebhookSender
{
public:
    using Log = std::function<void(const QString &text)>;

    WebhookSender(QString dataRoot, QString url, QByteArray secret, Log log);
    ~WebhookSender(); // Stop(0)

    static QString QueuePath(const QString &dataRoot);

    // Authorities trusted for https besides the system's; before Start.
    void SetCaFile(const QString &file) { m_caFile = file; }
    void Start();
    // Stops after the delivery under way; sends for up to drainMs what is due meanwhile.
    void Stop(int drainMs);
    // Throws StorageError when the queue cannot be written.
    void Enqueue(const QList<AlarmEvent> &events);
    int Pending();

    void SetRetryLimitsForTests(int firstMs, int maxMs);

private:
    struct Item
    {
        QByteArray body;
        int attempts = 0;
        qint64 nextMs = 0;
    };
    QList<Item> LoadLocked();
    void SaveLocked(const QList<Item> &items);
    void Run();

    QString m_dataRoot;
    QString m_url;
    QByteArray m_secret;
    QString m_caFile;
    Log m_log;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    qint64 m_drainUntilMs = 0;
    int m_firstRetryMs = 5000;
    int m_maxRetryMs = 3600000;
    bool m_failingLogged = false;
};

} // namespace qst
