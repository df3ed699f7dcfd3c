// The portal as the command line starts it, and under TLS.
#include "WebFixture.h"

#include <QProcess>
#include <QTcpServer>

#include <csignal>

namespace qst::test {
namespace {

int FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

struct WebServe : ::testing::Test, WebFixture
{
    WebServe()
        : WebFixture(false)
    {
    }
};

TEST_F(WebServe, ServesUntilSigtermAndRefusesPlainHttpBeyondLoopback)
{
    QProcess refused;
    refused.start(QStringLiteral(QST_CLI),
        { QStringLiteral("--data-dir"), root.path(), QStringLiteral("serve"), QStringLiteral("--listen"),
            QStringLiteral("0.0.0.0:8080") });
    ASSERT_TRUE(refused.waitForFinished(10000));
    EXPECT_EQ(refused.exitCode(), 2);
    EXPECT_TRUE(refused.readAllStandardError().contains("--insecure-http"));
    for (const char *limit : { "-1", "many" }) {
        QProcess badLimit;
        badLimit.start(QStringLiteral(QST_CLI),
            { QStringLiteral("--data-dir"), root.path(), QStringLiteral("serve"), QStringLiteral("--rate-limit"),
                QString::fromLatin1(limit) });
        ASSERT_TRUE(badLimit.waitForFinished(10000));
        EXPECT_EQ(badLimit.exitCode(), 2) << limit;
    }

    const int port = FreePort();
    QProcess serve;
    serve.setProcessEnvironment([&] {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("QST_WEB_ROOT"), staticRoot);
        return e;
    }());
    serve.start(QStringLiteral(QST_CLI),
        { QStringLiteral("--data-dir"), root.path(), QStringLiteral("serve"), QStringLiteral("--listen"),
            QStringLiteral("127.0.0.1:%1").arg(port) });
    ASSERT_TRUE(serve.waitForStarted(10000));
    httplib::Client c("127.0.0.1", port);
    for (int i = 0; i < 100 && !c.Get("/login"); ++i)
        serve.waitForFinished(100);
    const httplib::Result page = c.Get("/login");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<title>login</title>"), std::string::npos);
    // Read-only: no lock on the data root is taken.
    EXPECT_FALSE(QFileInfo::exists(root.path() + QStringLiteral("/.qst-archiver.lock")));
    ::kill(pid_t(serve.processId()), SIGTERM);
    ASSERT_TRUE(serve.waitForFinished(10000));
    EXPECT_EQ(serve.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(serve.exitCode(), 0);
}

TEST_F(WebServe, TlsSessionCookieIsSecure)
{
    const QString key = root.file(QStringLiteral("key.pem"));
    const QString cert = root.file(QStringLiteral("cert.pem"));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
        { QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
            QStringLiteral("-nodes"), QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert,
            QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost") });
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        GTEST_SKIP() << "openssl could not make a certificate";
    web::WebOptions o = Options();
    o.tlsCert = cert;
    o.tlsKey = key;
    Start(o);
    httplib::SSLClient c("127.0.0.1", server->Port());
    c.enable_server_certificate_verification(false);
    const auto r = c.Post("/api/v1/session", R"({"user":"anna","password":"correct horse 1"})", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_NE(r->get_header_value("Set-Cookie").find("; Secure"), std::string::npos);
    EXPECT_FALSE(r->get_header_value("Strict-Transport-Security").empty());
    // A key that does not exist is refused at start, with no internals beyond the file names.
    server.reset();
    o.tlsKey = root.file(QStringLiteral("missing.pem"));
    web::WebServer broken(o);
    QString error;
    EXPECT_FALSE(broken.Listen(QStringLiteral("127.0.0.1"), 0, &error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
} // namespace qst::test
