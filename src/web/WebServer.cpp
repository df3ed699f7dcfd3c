#include "web/WebServer.h"

#include "web/WebInternal.h"
#include "web/WebTexts.h"

#include "common/DataRoot.h"
#include "common/TextFile.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

#include <sodium.h>

#include <cstdio>
#include <thread>

namespace qst::web {

namespace {

const char kCookieName[] = "qst_session";
const char kHtml[] = "text/html; charset=utf-8";

bool IsApi(const std::string &path)
{
    return path.rfind("/api/", 0) == 0;
}

bool ChangesState(const std::string &method)
{
    return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

QByteArray CookieValue(const httplib::Request &req, const QByteArray &name)
{
    const QByteArray header = QByteArray::fromStdString(req.get_header_value("Cookie"));
    for (QByteArray part : header.split(';')) {
        part = part.trimmed();
        if (part.startsWith(name + '='))
            return part.mid(name.size() + 1);
    }
    return {};
}

bool SameSecret(const QByteArray &a, const QByteArray &b)
{
    return a.size() == b.size() && !a.isEmpty() && sodium_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

QByteArray HtmlEscape(const QString &text)
{
    return text.toHtmlEscaped().toUtf8();
}

void SendPageError(httplib::Response &res, int status, const QString &text)
{
    const QByteArray body = "<!DOCTYPE html>\n<html lang=\"ru\"><head><meta charset=\"utf-8\"><title>"
        + HtmlEscape(text) + "</title></head><body><h1>" + HtmlEscape(text)
        + "</h1><p><a href=\"/meters\">К списку узлов</a></p></body></html>\n";
    res.status = status;
    res.set_content(body.constData(), size_t(body.size()), kHtml);
}

void SendError(const httplib::Request &req, httplib::Response &res, int status, const QString &text)
{
    if (IsApi(req.path))
        SendApiError(res, status, text);
    else
        SendPageError(res, status, status == 404 ? texts::kNotFoundPage : text);
}

const char *ContentTypeOf(const QString &file)
{
    const QString suffix = QFileInfo(file).suffix().toLower();
    if (suffix == u"html")
        return kHtml;
    if (suffix == u"js")
        return "text/javascript; charset=utf-8";
    if (suffix == u"css")
        return "text/css; charset=utf-8";
    if (suffix == u"svg")
        return "image/svg+xml";
    if (suffix == u"png")
        return "image/png";
    if (suffix == u"ico")
        return "image/x-icon";
    if (suffix == u"json")
        return "application/json";
    return "application/octet-stream";
}

// A file of the static folder by its name under it; false when it is not a regular file
// inside the folder once every link is resolved.
bool ReadStaticFile(const QString &root, const QString &relative, QByteArray *bytes)
{
    if (relative.isEmpty() || relative.contains(u'\\') || relative.contains(QChar(0)))
        return false;
    for (const QString &part : relative.split(u'/')) {
        if (part.isEmpty() || part == u"." || part == u".." || part.startsWith(u'.'))
            return false;
    }
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    const QFileInfo info(root + u'/' + relative);
    const QString canonical = info.canonicalFilePath();
    if (canonicalRoot.isEmpty() || canonical.isEmpty() || !canonical.startsWith(canonicalRoot + u'/'))
        return false;
    if (!QFileInfo(canonical).isFile())
        return false;
    bool exists = false;
    try {
        *bytes = ReadFileBytes(canonical, &exists);
    } catch (...) {
        return false;
    }
    return exists;
}

void SendStatic(const WebServices &s, const httplib::Request &req, httplib::Response &res, const QString &relative)
{
    QByteArray bytes;
    if (!ReadStaticFile(s.options.staticRoot, relative, &bytes))
        return SendError(req, res, 404, texts::kNotFound);
    res.status = 200;
    res.set_content(bytes.constData(), size_t(bytes.size()), ContentTypeOf(relative));
}

QString ClientAddress(const httplib::Request &req)
{
    return QString::fromStdString(req.remote_addr);
}

void LogLine(const QString &text)
{
    std::fprintf(stderr, "%s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

} // namespace

void SendJson(httplib::Response &res, int status, const QByteArray &json)
{
    res.status = status;
    res.set_content(json.constData(), size_t(json.size()), "application/json; charset=utf-8");
}

void SendJson(httplib::Response &res, int status, std::string &&json)
{
    res.status = status;
    res.body = std::move(json);
    res.headers.erase("Content-Type");
    res.set_header("Content-Type", "application/json; charset=utf-8");
}

void SendJson(httplib::Response &res, int status, const QJsonDocument &json)
{
    SendJson(res, status, json.toJson(QJsonDocument::Compact));
}

void SendApiError(httplib::Response &res, int status, const QString &text)
{
    SendJson(res, status, QJsonDocument(QJsonObject { { QStringLiteral("error"), text } }));
}

void SendFile(httplib::Response &res, const QByteArray &bytes, const char *contentType, const QString &fileName)
{
    // The name in ASCII for old clients and in UTF-8 for the rest.
    QString ascii;
    for (QChar c : fileName)
        ascii += c.unicode() >= 0x20 && c.unicode() < 0x7f && c != u'"' && c != u'\\' ? c : QChar(u'_');
    const QByteArray disposition
        = "attachment; filename=\"" + ascii.toLatin1() + "\"; filename*=UTF-8''" + QUrl::toPercentEncoding(fileName);
    res.status = 200;
    res.set_header("Content-Disposition", disposition.toStdString());
    res.set_content(bytes.constData(), size_t(bytes.size()), contentType);
}

WebServices::WebServices(const WebOptions &o)
    : options(o)
    , accounts(o.dataRoot)
    , sessions(o.clock)
    , throttle(o.clock)
    , rate(o.clock, o.requestsPerMinute)
    , audit(o.dataRoot)
    , reads(o.engine)
{
    sessions.idleMs = o.sessionIdleMs;
    sessions.absoluteMs = o.sessionAbsoluteMs;
}

namespace {

WebOptions WithClock(WebOptions o)
{
    if (!o.clock)
        o.clock = SystemWebClock();
    return o;
}

} // namespace

struct WebServer::Impl
{
    explicit Impl(WebOptions o)
        : services(WithClock(std::move(o)))
    {
    }

    WebServices services;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int port = 0;
    QList<std::pair<Route, QRegularExpression>> routes;

    void AddRoutes();
    void Dispatch(const httplib::Request &req, httplib::Response &res);
    bool Identify(const httplib::Request &req, Caller *caller);
    void Login(Call &call);
    void SessionInfo(Call &call);
    void Logout(Call &call);
};

void WebServer::Impl::AddRoutes()
{
    QList<Route> list;
    list.append({ "POST", "/api/v1/session", Role::Consumer, true, false, [this](Call &c) { Login(c); } });
    list.append({ "GET", "/api/v1/session", Role::Consumer, false, false, [this](Call &c) { SessionInfo(c); } });
    list.append({ "DELETE", "/api/v1/session", Role::Consumer, false, false, [this](Call &c) { Logout(c); } });
    list += MeterRoutes();
    list += ReadRoutes();
    list += UserRoutes();
    // Pages.
    list.append({ "GET", "/", Role::Consumer, true, false,
        [](Call &c) { c.res.set_redirect(c.caller.known ? "/meters" : "/login"); } });
    list.append({ "GET", "/login", Role::Consumer, true, false,
        [](Call &c) { SendStatic(c.services, c.req, c.res, QStringLiteral("login.html")); } });
    list.append({ "GET", "/meters", Role::Consumer, false, false,
        [](Call &c) { SendStatic(c.services, c.req, c.res, QStringLiteral("meters.html")); } });
    list.append({ "GET", "/meter/([0-9]{1,5})", Role::Consumer, false, true,
        [](Call &c) { SendStatic(c.services, c.req, c.res, QStringLiteral("meter.html")); } });
    list.append({ "GET", "/users", Role::Admin, false, false,
        [](Call &c) { SendStatic(c.services, c.req, c.res, QStringLiteral("users.html")); } });
    list.append({ "GET", "/static/chart\\.min\\.js", Role::Consumer, true, false, [](Call &c) {
                     bool exists = false;
                     QByteArray bytes;
                     try {
                         bytes = ReadFileBytes(c.services.options.chartJs, &exists);
                     } catch (...) {
                         exists = false;
                     }
                     if (!exists)
                         return SendError(c.req, c.res, 404, texts::kNotFound);
                     c.res.set_content(bytes.constData(), size_t(bytes.size()), "text/javascript; charset=utf-8");
                 } });
    list.append({ "GET", "/static/(.+)", Role::Consumer, true, false,
        [](Call &c) { SendStatic(c.services, c.req, c.res, c.args.value(0)); } });
    for (const Route &r : list)
        routes.append({ r, QRegularExpression(QRegularExpression::anchoredPattern(QString::fromLatin1(r.pattern))) });
}

bool WebServer::Impl::Identify(const httplib::Request &req, Caller *caller)
{
    const std::string authorization = req.get_header_value("Authorization");
    if (!authorization.empty()) {
        // A token that does not hold is no caller, whatever cookie comes along.
        if (authorization.rfind("Bearer ", 0) != 0)
            return false;
        const QString token = QString::fromStdString(authorization.substr(7)).trimmed();
        const std::optional<Account> account = services.accounts.CheckToken(token);
        if (!account)
            return false;
        caller->known = true;
        caller->bearer = true;
        caller->account = *account;
        return true;
    }
    const QByteArray id = CookieValue(req, kCookieName);
    if (id.isEmpty())
        return false;
    const std::optional<Session> session = services.sessions.Touch(id);
    if (!session)
        return false;
    // The account as it is now: a changed role or a removed account counts at once.
    const std::optional<Account> account = services.accounts.Find(session->user);
    if (!account) {
        services.sessions.Remove(id);
        return false;
    }
    caller->known = true;
    caller->account = *account;
    caller->session = *session;
    return true;
}

void WebServer::Impl::Dispatch(const httplib::Request &req, httplib::Response &res)
{
    const QString address = ClientAddress(req);
    if (!services.rate.Allow(address)) {
        res.set_header("Retry-After", "60");
        return SendError(req, res, 429, texts::kTooManyRequests);
    }
    const QString path = QString::fromStdString(req.path);
    bool pathKnown = false;
    for (const auto &[route, pattern] : std::as_const(routes)) {
        const QRegularExpressionMatch match = pattern.match(path);
        if (!match.hasMatch())
            continue;
        pathKnown = true;
        if (req.method != route.method && !(req.method == "HEAD" && std::string(route.method) == "GET"))
            continue;
        Call call { req, res, services, {}, match.capturedTexts().mid(1), 0, address };
        Identify(req, &call.caller);
        if (!route.anonymous && !call.caller.known) {
            if (IsApi(req.path))
                return SendApiError(res, 401, texts::kNeedLogin);
            const QByteArray next = QUrl::toPercentEncoding(SafeNextPath(path));
            res.set_redirect("/login?next=" + next.toStdString());
            return;
        }
        // A cookie alone proves nothing a foreign page could not make a browser send.
        if (ChangesState(req.method) && call.caller.known && !call.caller.bearer && !route.anonymous
            && !SameSecret(QByteArray::fromStdString(req.get_header_value("X-CSRF-Token")), call.caller.session.csrf))
            return SendError(req, res, 403, texts::kBadCsrf);
        if (route.meter) {
            quint16 serial = 0;
            // Another's meter is answered exactly as one that does not exist.
            if (!ParseSerial(call.args.value(0), &serial) || !CallerSeesMeter(services, call.caller.account, serial))
                return SendError(req, res, 404, texts::kNotFound);
            call.serial = serial;
        }
        if (call.caller.known && call.caller.account.role < route.minRole)
            return SendError(req, res, 403, texts::kForbidden);
        try {
            route.handler(call);
        } catch (const std::exception &e) {
            LogLine(QStringLiteral("portal: %1 %2 failed: %3")
                        .arg(QString::fromStdString(req.method), path, QString::fromLocal8Bit(e.what())));
            SendError(req, res, 500, texts::kServerError);
        }
        return;
    }
    SendError(req, res, pathKnown ? 405 : 404, pathKnown ? texts::kMethodNotAllowed : texts::kNotFound);
}

void WebServer::Impl::Login(Call &c)
{
    const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(c.req.body)).object();
    const QString user = body.value(QStringLiteral("user")).toString();
    const QString password = body.value(QStringLiteral("password")).toString();
    if (user.isEmpty() || !body.value(QStringLiteral("password")).isString())
        return SendApiError(c.res, 400, texts::kBadRequest);
    auto refuse = [&](int wait) {
        c.res.set_header("Retry-After", std::to_string(wait));
        services.audit.Write(c.address, user, QStringLiteral("login throttled, retry after %1 s").arg(wait));
        LogLine(QStringLiteral("portal: login of \"%1\" from %2 throttled for %3 s").arg(user, c.address).arg(wait));
        SendApiError(c.res, 429, texts::kLoginThrottled);
    };
    if (const int wait = services.throttle.RetryAfter(user, c.address); wait > 0)
        return refuse(wait);
    const std::optional<Account> account = services.accounts.CheckPassword(user, password);
    if (!account) {
        const int wait = services.throttle.Failed(user, c.address);
        services.audit.Write(c.address, user, QStringLiteral("login failed"));
        if (wait > 0)
            return refuse(wait);
        return SendApiError(c.res, 401, texts::kBadLogin);
    }
    services.throttle.Succeeded(user);
    // A new id at every login: an id planted before it is worth nothing after.
    const QByteArray old = CookieValue(c.req, kCookieName);
    if (!old.isEmpty())
        services.sessions.Remove(old);
    const Session session = services.sessions.Create(account->name);
    std::string cookie
        = std::string(kCookieName) + "=" + session.id.toStdString() + "; Path=/; HttpOnly; SameSite=Strict";
    if (services.secure)
        cookie += "; Secure";
    c.res.set_header("Set-Cookie", cookie);
    services.audit.Write(c.address, account->name, QStringLiteral("login"));
    QJsonObject answer { { QStringLiteral("user"), account->name }, { QStringLiteral("role"), RoleName(account->role) },
        { QStringLiteral("csrf"), QString::fromLatin1(session.csrf) } };
    if (body.contains(QStringLiteral("next")))
        answer.insert(QStringLiteral("next"), SafeNextPath(body.value(QStringLiteral("next")).toString()));
    SendJson(c.res, 200, QJsonDocument(answer));
}

void WebServer::Impl::SessionInfo(Call &c)
{
    QJsonObject answer { { QStringLiteral("user"), c.caller.account.name },
        { QStringLiteral("role"), RoleName(c.caller.account.role) } };
    if (!c.caller.bearer)
        answer.insert(QStringLiteral("csrf"), QString::fromLatin1(c.caller.session.csrf));
    SendJson(c.res, 200, QJsonDocument(answer));
}

void WebServer::Impl::Logout(Call &c)
{
    if (!c.caller.bearer)
        services.sessions.Remove(c.caller.session.id);
    std::string cookie = std::string(kCookieName) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0";
    if (services.secure)
        cookie += "; Secure";
    c.res.set_header("Set-Cookie", cookie);
    c.Audit(QStringLiteral("logout"));
    c.res.status = 204;
}

WebServer::WebServer(WebOptions options)
    : m(std::make_unique<Impl>(std::move(options)))
{
    m->AddRoutes();
}

WebServer::~WebServer()
{
    Stop();
}

bool WebServer::Listen(const QString &host, int port, QString *error)
{
    const WebOptions &o = m->services.options;
    if (!o.tlsCert.isEmpty() || !o.tlsKey.isEmpty()) {
        auto tls = std::make_unique<httplib::SSLServer>(
            QFile::encodeName(o.tlsCert).constData(), QFile::encodeName(o.tlsKey).constData());
        if (!tls->is_valid()) {
            *error = QStringLiteral("cannot use the TLS certificate %1 and key %2").arg(o.tlsCert, o.tlsKey);
            return false;
        }
        m->server = std::move(tls);
        m->services.secure = true;
    } else {
        m->server = std::make_unique<httplib::Server>();
    }
    httplib::Server &server = *m->server;
    const int threads = std::max(2, o.threads);
    server.new_task_queue = [threads] { return new httplib::ThreadPool(size_t(threads)); };
    server.set_payload_max_length(o.bodyLimit);
    server.set_tcp_nodelay(true); // no 40 ms stall between a response's header and body
    server.set_read_timeout(10, 0);
    server.set_write_timeout(30, 0);
    httplib::Headers headers {
        { "Content-Security-Policy",
            "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
            "frame-ancestors 'none'; base-uri 'none'; form-action 'self'" },
        { "X-Content-Type-Options", "nosniff" },
        { "Referrer-Policy", "no-referrer" },
        { "X-Frame-Options", "DENY" },
        { "Cache-Control", "no-store" },
    };
    if (m->services.secure)
        headers.emplace("Strict-Transport-Security", "max-age=31536000");
    server.set_default_headers(headers);
    const auto dispatch = [this](const httplib::Request &req, httplib::Response &res) { m->Dispatch(req, res); };
    server.Get(".*", dispatch);
    server.Post(".*", dispatch);
    server.Put(".*", dispatch);
    server.Delete(".*", dispatch);
    server.Patch(".*", dispatch);
    // What the library answers by itself (an oversized body, a bad request line) carries no internals either.
    server.set_error_handler([](const httplib::Request &req, httplib::Response &res) {
        if (!res.body.empty())
            return;
        const QString text = res.status == 413 ? texts::kTooLarge
            : res.status == 404                ? texts::kNotFound
                                               : texts::kBadRequest;
        SendError(req, res, res.status, text);
    });
    server.set_exception_handler([](const httplib::Request &req, httplib::Response &res, std::exception_ptr) {
        SendError(req, res, 500, texts::kServerError);
    });
    const std::string bindHost = host.toStdString();
    if (port == 0) {
        m->port = server.bind_to_any_port(bindHost);
        if (m->port <= 0) {
            *error = QStringLiteral("cannot listen on %1").arg(host);
            return false;
        }
    } else {
        if (!server.bind_to_port(bindHost, port)) {
            *error = QStringLiteral("cannot listen on %1:%2").arg(host).arg(port);
            return false;
        }
        m->port = port;
    }
    m->thread = std::thread([&server] { server.listen_after_bind(); });
    // A stop before the loop runs would be lost and the join would hang: wait for it.
    for (int i = 0; i < 5000 && !server.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

int WebServer::Port() const
{
    return m->port;
}

bool WebServer::Secure() const
{
    return m->services.secure;
}

void WebServer::Stop()
{
    if (m->server)
        m->server->stop();
    if (m->thread.joinable())
        m->thread.join();
}

SessionStore &WebServer::sessions()
{
    return m->services.sessions;
}

AccountStore &WebServer::accounts()
{
    return m->services.accounts;
}

QString DefaultStaticRoot(const QString &executableDir)
{
    const QString fromEnvironment = qEnvironmentVariable("QST_WEB_ROOT");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString installed = QDir(executableDir).absoluteFilePath(QStringLiteral("../share/qst-archiver/web"));
    if (QFileInfo(installed).isDir())
        return QDir::cleanPath(installed);
#ifdef QST_WEB_SOURCE_STATIC
    return QStringLiteral(QST_WEB_SOURCE_STATIC);
#else
    return QDir(executableDir).absoluteFilePath(QStringLiteral("web"));
#endif
}

bool IsLoopbackHost(const QString &host)
{
    if (host == u"localhost")
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

QString SafeNextPath(const QString &next)
{
    static const QRegularExpression local(QStringLiteral("^/(?![/\\\\])[^\\\\\\s]*$"));
    if (!local.match(next).hasMatch() || next.contains(QStringLiteral("://")))
        return QStringLiteral("/meters");
    return next;
}

} // namespace qst::web
