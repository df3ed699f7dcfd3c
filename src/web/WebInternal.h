#pragma once

// What the server's parts share: the services, a routed call and its answers.

#include "web/Accounts.h"
#include "web/AuditLog.h"
#include "web/ReadRequests.h"
#include "web/Sessions.h"
#include "web/WebServer.h"

#include "exchange/MeterSummary.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QString>
#include <QStringList>

#include <httplib.h>

#include <functional>
#include <memory>
#include <mutex>

namespace qst::web {

struct Caller
{
    bool known = false;
    Account account;
    bool bearer = false;
    Session session; // cookie callers
};

// One meter of the list: its health, where it sits in the tree, its JSON.
struct MeterListEntry
{
    MeterSummaryRow row;
    QStringList groupPath;
    QList<int> groups; // the registry numbers of the groups it is in, nearest first
    QByteArray json;
};

// Every meter in the tree's order, and the whole list as JSON (what viewers and above get).
struct MeterSnapshot
{
    QList<MeterListEntry> entries;
    QByteArray allJson;
};

// The meters' list with health, shared by all callers for a few seconds: computing it scans
// every meter's files, and a health report a few seconds old is as good as a new one. Rights
// are applied to it per request, with the account as it is then.
class SummaryCache
{
public:
    static constexpr qint64 kKeepMs = 10000;
    std::shared_ptr<const MeterSnapshot> Get(const std::function<MeterSnapshot()> &build, const WebClock &clock);

private:
    std::mutex m_mutex;
    qint64 m_madeAt = 0;
    std::shared_ptr<const MeterSnapshot> m_snapshot;
};

struct WebServices
{
    explicit WebServices(const WebOptions &o);
    WebOptions options;
    AccountStore accounts;
    SessionStore sessions;
    LoginThrottle throttle;
    RateLimit rate;
    AuditLog audit;
    ReadRequests reads;
    SummaryCache summary;
    bool secure = false;
};

struct Call
{
    const httplib::Request &req;
    httplib::Response &res;
    WebServices &services;
    Caller caller;
    QStringList args; // the route's captures
    quint16 serial = 0; // meter routes: the checked serial
    QString address;

    QString Param(const char *name) const { return QString::fromStdString(req.get_param_value(name)); }
    bool HasParam(const char *name) const { return req.has_param(name); }
    void Audit(const QString &text) const { services.audit.Write(address, caller.account.name, text); }
};

using Handler = std::function<void(Call &)>;

struct Route
{
    const char *method;
    const char *pattern; // a regular expression of the whole path; its captures are Call::args
    Role minRole = Role::Consumer;
    bool anonymous = false; // no session needed
    bool meter = false; // the first capture is a serial the caller must see
    Handler handler;
};

void SendJson(httplib::Response &res, int status, const QByteArray &json);
void SendJson(httplib::Response &res, int status, std::string &&json);
void SendJson(httplib::Response &res, int status, const QJsonDocument &json);
void SendApiError(httplib::Response &res, int status, const QString &text);
void SendFile(httplib::Response &res, const QByteArray &bytes, const char *contentType, const QString &fileName);

// The meters' list of the last few seconds (built when older).
std::shared_ptr<const MeterSnapshot> CurrentMeters(WebServices &services);
// The one check of a serial for every route: a registered meter the account may see.
bool CallerSeesMeter(WebServices &services, const Account &account, quint16 serial);

// Routes of each area.
QList<Route> MeterRoutes();
QList<Route> UserRoutes();
QList<Route> ReadRoutes();

} // namespace qst::web
