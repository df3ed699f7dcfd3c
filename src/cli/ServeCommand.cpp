#include "CliCommand.h"
#include "CliSupport.h"

#include "web/WebServer.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace qst::cli {

namespace {

// HOST:PORT, [v6]:PORT or PORT.
bool SplitListen(const QString &text, QString *host, int *port)
{
    const qsizetype colon = text.lastIndexOf(u':');
    QString portText = text;
    *host = QStringLiteral("127.0.0.1");
    if (colon >= 0) {
        *host = text.left(colon);
        portText = text.mid(colon + 1);
        if (host->startsWith(u'[') && host->endsWith(u']'))
            *host = host->mid(1, host->size() - 2);
    }
    bool ok = false;
    *port = portText.toInt(&ok);
    return ok && *port > 0 && *port <= 65535 && !host->isEmpty();
}

} // namespace

int TakeListenOptions(const QStringList &args, WebListen *listen, QStringList *rest)
{
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString &a = args[i];
        auto value = [&](QString *into) {
            if (i + 1 >= args.size())
                return false;
            *into = args[++i];
            return true;
        };
        QString listenText;
        if (a == u"--listen") {
            if (!value(&listenText) || !SplitListen(listenText, &listen->host, &listen->port))
                return UsageError(QStringLiteral("--listen HOST:PORT (for example 127.0.0.1:8080)"));
            listen->wanted = true;
        } else if (a == u"--tls-cert") {
            if (!value(&listen->cert))
                return UsageError(QStringLiteral("--tls-cert FILE"));
        } else if (a == u"--tls-key") {
            if (!value(&listen->key))
                return UsageError(QStringLiteral("--tls-key FILE"));
        } else if (a == u"--insecure-http") {
            listen->insecure = true;
        } else if (a == u"--rate-limit") {
            QString text;
            bool ok = false;
            if (value(&text))
                listen->requestsPerMinute = text.toInt(&ok);
            if (!ok || listen->requestsPerMinute < 0)
                return UsageError(QStringLiteral("--rate-limit REQUESTS_PER_MINUTE (0: none)"));
        } else {
            rest->append(a);
        }
    }
    if (listen->cert.isEmpty() != listen->key.isEmpty())
        return UsageError(QStringLiteral("--tls-cert and --tls-key go together"));
    if (listen->cert.isEmpty() && !listen->insecure && !web::IsLoopbackHost(listen->host))
        return UsageError(QStringLiteral("refusing plain HTTP on %1: give --tls-cert and --tls-key, or "
                                         "--insecure-http behind a reverse proxy")
                              .arg(listen->host));
    return kExitOk;
}

std::unique_ptr<web::WebServer> StartWebServer(const QString &dataRoot, const WebListen &listen, ExchangeEngine *engine)
{
    web::WebOptions options;
    options.dataRoot = dataRoot;
    options.staticRoot = web::DefaultStaticRoot(QCoreApplication::applicationDirPath());
    options.tlsCert = listen.cert;
    options.tlsKey = listen.key;
    options.engine = engine;
    options.requestsPerMinute = listen.requestsPerMinute;
    auto server = std::make_unique<web::WebServer>(options);
    QString error;
    if (!server->Listen(listen.host, listen.port, &error)) {
        PrintLine(stderr, QStringLiteral("portal: ") + error);
        return nullptr;
    }
    PrintLine(stdout,
        QStringLiteral("portal: serving %1 on %2://%3:%4/")
            .arg(dataRoot, server->Secure() ? QStringLiteral("https") : QStringLiteral("http"), listen.host)
            .arg(server->Port()));
    std::fflush(stdout);
    return server;
}

int RunServe(const CliContext &context)
{
    WebListen listen;
    QStringList rest;
    if (const int code = TakeListenOptions(context.args, &listen, &rest); code != kExitOk)
        return code;
    if (!rest.isEmpty())
        return UsageError(QStringLiteral("serve: unknown option %1").arg(rest.first()));
    // Read-only, as the read-only window: no lock on the data root.
    const std::unique_ptr<web::WebServer> server = StartWebServer(context.dataRoot, listen, nullptr);
    if (!server)
        return kExitFailed;
    SignalWatcher terminateWatch;
    QObject::connect(&terminateWatch, &SignalWatcher::Terminate, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    return kExitOk;
}

} // namespace qst::cli
