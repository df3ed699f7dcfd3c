#pragma once

#include "web/Sessions.h"

#include <QString>

#include <memory>

namespace qst {
class ExchangeEngine;
}

namespace qst::web {

class AccountStore;

struct WebOptions
{
    QString dataRoot;
    QString staticRoot; // the pages' folder (see DefaultStaticRoot)
    QString chartJs = QStringLiteral("/usr/share/javascript/chart.js/chart.min.js");
    QString tlsCert;    // both set: HTTPS
    QString tlsKey;
    // The polling service's engine under qst-cli run --listen; null: read-only, no read commands.
    ExchangeEngine *engine = nullptr;
    WebClock clock;     // empty: the system's monotonic clock
    qint64 sessionIdleMs = 30 * 60 * 1000;
    qint64 sessionAbsoluteMs = 12 * 60 * 60 * 1000;
    size_t bodyLimit = 64 * 1024;
    int requestsPerMinute = 6000; // per address; 0: no limit
    int threads = 8;
};

// The portal: pages and /api/v1 on cpp-httplib's thread pool, beside whatever the calling
// thread does.
class WebServer
{
public:
    explicit WebServer(WebOptions options);
    ~WebServer(); // stops

    // Binds (port 0: a free one) and serves on threads of its own; false with the reason.
    bool Listen(const QString &host, int port, QString *error);
    int Port() const;
    bool Secure() const;
    void Stop();

    SessionStore &sessions();
    AccountStore &accounts();

    struct Impl;

private:
    std::unique_ptr<Impl> m;
};

// QST_WEB_ROOT when set; else share/qst-archiver/web beside the executable's bin folder when it
// exists (installed); else the source tree's static folder this build was made from.
QString DefaultStaticRoot(const QString &executableDir);

bool IsLoopbackHost(const QString &host);

// Where to go after login: a local path starting with one "/" (no "//", no "\", no scheme);
// anything else becomes "/meters".
QString SafeNextPath(const QString &next);

} // namespace qst::web
