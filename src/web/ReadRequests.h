#pragma once

#include <QList>
#include <QString>

#include <mutex>
#include <optional>
#include <QHash>

namespace qst {
class ExchangeEngine;
}

namespace qst::web {

// One read command started from the portal.
struct ReadRequest
{
    QString id;
    quint16 serial = 0;
    QString what;        // "now" or "gaps"
    QString user;
    QString state;       // queued, running, done, failed, cancelled
    int done = 0;
    int total = 0;
    QString text;
    QList<quint32> queueIds; // the poll queue's requests it made
};

// Read commands handed to the polling service's engine on its own thread; their progress is
// the share of their queue requests served.
class ReadRequests
{
public:
    explicit ReadRequests(ExchangeEngine *engine);
    bool Available() const { return m_engine != nullptr; }
    // Queues the read; the new request, or none when the engine refused.
    std::optional<ReadRequest> Start(quint16 serial, const QString &what, const QString &user);
    std::optional<ReadRequest> Find(const QString &id);

private:
    ExchangeEngine *m_engine;
    std::mutex m_mutex;
    QHash<QString, ReadRequest> m_requests;
};

} // namespace qst::web
