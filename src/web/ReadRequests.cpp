#include "web/ReadRequests.h"

#include "web/Sessions.h"
#include "web/WebInternal.h"
#include "web/WebTexts.h"

#include "exchange/ExchangeEngine.h"

#include <QJsonObject>
#include <QMetaObject>
#include <QSet>

namespace qst::web {

ReadRequests::ReadRequests(ExchangeEngine *engine)
    : m_engine(engine)
{
}

std::optional<ReadRequest> ReadRequests::Start(quint16 serial, const QString &what, const QString &user)
{
    if (!m_engine)
        return std::nullopt;
    ReadRequest request;
    request.id = QString::fromLatin1(RandomHex(16));
    request.serial = serial;
    request.what = what;
    request.user = user;
    // The engine lives on the service's main thread: the command runs there, this thread waits.
    ExchangeEngine *engine = m_engine;
    QList<quint32> added;
    QMetaObject::invokeMethod(
        engine,
        [engine, serial, what, &added] {
            QSet<quint32> before;
            for (const TQueueItem &item : engine->queue().Items())
                before.insert(item.id);
            if (what == u"gaps")
                engine->FillGaps(serial, 0);
            else
                engine->ReadCurrentValues(serial);
            for (const TQueueItem &item : engine->queue().Items()) {
                if (!before.contains(item.id))
                    added.append(item.id);
            }
        },
        Qt::BlockingQueuedConnection);
    request.queueIds = added;
    request.total = int(added.size());
    request.state = added.isEmpty() ? QStringLiteral("done") : QStringLiteral("queued");
    std::lock_guard lock(m_mutex);
    if (m_requests.size() > 1000)
        m_requests.removeIf([](const auto &item) { return item.value().state == u"done"; });
    m_requests.insert(request.id, request);
    return request;
}

std::optional<ReadRequest> ReadRequests::Find(const QString &id)
{
    std::lock_guard lock(m_mutex);
    auto it = m_requests.find(id);
    if (it == m_requests.end())
        return std::nullopt;
    ReadRequest &r = *it;
    if (m_engine && r.state != u"done") {
        // Queue ids come round again: one counts only while it still names this meter.
        int left = 0;
        for (const TQueueItem &item : m_engine->queue().Items())
            left += item.serial == r.serial && r.queueIds.contains(item.id) ? 1 : 0;
        r.done = r.total - left;
        r.state = left == 0 ? QStringLiteral("done") : left < r.total ? QStringLiteral("running") : QStringLiteral("queued");
    }
    return r;
}

namespace {

QJsonObject RequestJson(const ReadRequest &r)
{
    return QJsonObject{{QStringLiteral("request"), r.id},     {QStringLiteral("serial"), int(r.serial)},
                       {QStringLiteral("what"), r.what},       {QStringLiteral("state"), r.state},
                       {QStringLiteral("done"), r.done},       {QStringLiteral("total"), r.total},
                       {QStringLiteral("text"), r.text}};
}

void StartRead(Call &c)
{
    const QString what = QJsonDocument::fromJson(QByteArray::fromStdString(c.req.body))
                             .object()
                             .value(QStringLiteral("what"))
                             .toString();
    if (what != u"now" && what != u"gaps")
        return SendApiError(c.res, 400, texts::kBadRequest);
    if (!c.services.reads.Available())
        return SendApiError(c.res, 409, texts::kReadsOnlyInService);
    const std::optional<ReadRequest> request = c.services.reads.Start(c.serial, what, c.caller.account.name);
    if (!request)
        return SendApiError(c.res, 409, texts::kReadsOnlyInService);
    c.Audit(QStringLiteral("read %1 %2 (request %3)").arg(c.serial).arg(what, request->id));
    SendJson(c.res, 202, QJsonDocument(QJsonObject{{QStringLiteral("request"), request->id}}));
}

void RequestState(Call &c)
{
    const std::optional<ReadRequest> request = c.services.reads.Find(c.args.value(0));
    // A request on a meter the caller cannot see is as unknown as one never made.
    if (!request || !CallerSeesMeter(c.services.options.dataRoot, c.caller.account, request->serial))
        return SendApiError(c.res, 404, texts::kNotFound);
    SendJson(c.res, 200, QJsonDocument(RequestJson(*request)));
}

} // namespace

QList<Route> ReadRoutes()
{
    return {
        {"POST", "/api/v1/meters/([0-9]{1,5})/read", Role::Operator, false, true, StartRead},
        {"GET", "/api/v1/requests/([0-9a-f]{1,64})", Role::Consumer, false, false, RequestState},
    };
}

} // namespace qst::web
