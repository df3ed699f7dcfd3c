#include "WebFixture.h"

#include <QFile>

#include <unistd.h>

namespace qst::test {
namespace {

struct WebSecurity : ::testing::Test, WebFixture
{
};

std::string LoginBody(const char *user, const char *password)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("user"), QString::fromLatin1(user)},
                                     {QStringLiteral("password"), QString::fromLatin1(password)}})
        .toJson()
        .toStdString();
}

TEST_F(WebSecurity, SessionCookieAndANewIdAtEveryLogin)
{
    httplib::Client c = Client();
    const auto r = c.Post("/api/v1/session", LoginBody("anna", kPassword), "application/json");
    ASSERT_EQ(r->status, 200);
    const std::string cookie = r->get_header_value("Set-Cookie");
    EXPECT_EQ(cookie.rfind("qst_session=", 0), 0u);
    EXPECT_NE(cookie.find("; HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("; SameSite=Strict"), std::string::npos);
    EXPECT_NE(cookie.find("; Path=/"), std::string::npos);
    EXPECT_EQ(cookie.find("Secure"), std::string::npos); // plain HTTP on loopback
    const std::string id = cookie.substr(12, cookie.find(';') - 12);
    EXPECT_EQ(id.size(), 64u);
    // Logging in again with that cookie gives another id and ends the old one.
    const auto again = c.Post("/api/v1/session", {{"Cookie", "qst_session=" + id}}, LoginBody("anna", kPassword),
                              "application/json");
    const std::string cookie2 = again->get_header_value("Set-Cookie");
    EXPECT_NE(cookie2.substr(12, 64), id);
    EXPECT_EQ(c.Get("/api/v1/session", {{"Cookie", "qst_session=" + id}})->status, 401);
    // Unknown name and wrong password: the same answer.
    const auto wrong = c.Post("/api/v1/session", LoginBody("anna", "wrong password"), "application/json");
    const auto unknown = c.Post("/api/v1/session", LoginBody("nobody", "wrong password"), "application/json");
    EXPECT_EQ(wrong->status, 401);
    EXPECT_EQ(wrong->body, unknown->body);
    EXPECT_EQ(Json(wrong).object().value(QStringLiteral("error")).toString(), QStringLiteral("Неверное имя или пароль"));
    EXPECT_EQ(c.Post("/api/v1/session", "{not json", "application/json")->status, 400);
}

TEST_F(WebSecurity, StateChangesNeedTheSessionsCsrfToken)
{
    const Browser oper = Login(QStringLiteral("oper"));
    const Browser other = Login(QStringLiteral("view"));
    httplib::Client c = Client();
    const struct
    {
        const char *name;
        httplib::Headers headers;
        int status;
    } cases[] = {
        {"missing", oper.Headers(false), 403},
        {"wrong", {{"Cookie", oper.cookie}, {"X-CSRF-Token", std::string(64, 'a')}}, 403},
        {"another session's", {{"Cookie", oper.cookie}, {"X-CSRF-Token", other.csrf}}, 403},
        {"empty", {{"Cookie", oper.cookie}, {"X-CSRF-Token", ""}}, 403},
        {"right", oper.Headers(), 409}, // reads refused only because this is not the polling service
        {"bearer, no token needed", {{"Authorization", "Bearer " + operatorToken.toStdString()}}, 409},
        {"bad bearer", {{"Authorization", "Bearer qst_nothing"}, {"Cookie", oper.cookie}}, 401},
    };
    for (const auto &k : cases) {
        const auto r = c.Post("/api/v1/meters/100/read", k.headers, R"({"what":"now"})", "application/json");
        EXPECT_EQ(r->status, k.status) << k.name;
    }
    // Logout too needs it.
    EXPECT_EQ(c.Delete("/api/v1/session", oper.Headers(false))->status, 403);
    EXPECT_EQ(c.Get("/api/v1/session", oper.Headers(false))->status, 200);
    const auto out = c.Delete("/api/v1/session", oper.Headers());
    EXPECT_EQ(out->status, 204);
    EXPECT_NE(out->get_header_value("Set-Cookie").find("Max-Age=0"), std::string::npos);
    EXPECT_EQ(c.Get("/api/v1/session", oper.Headers(false))->status, 401);
}

TEST_F(WebSecurity, SessionsExpireIdleAndAbsolute)
{
    const Browser anna = Login(QStringLiteral("anna"));
    httplib::Client c = Client();
    // Used every 29 minutes it lives on, up to 12 hours.
    for (int i = 0; i < 24; ++i) {
        now += 29 * 60 * 1000;
        ASSERT_EQ(c.Get("/api/v1/meters", anna.Headers())->status, 200) << i;
    }
    now += 29 * 60 * 1000;
    EXPECT_EQ(c.Get("/api/v1/meters", anna.Headers())->status, 401);
    const Browser again = Login(QStringLiteral("anna"));
    now += 30 * 60 * 1000;
    EXPECT_EQ(c.Get("/api/v1/meters", again.Headers())->status, 401);
    // A page sends the browser to the login instead.
    const auto page = c.Get("/meter/100", again.Headers());
    EXPECT_EQ(page->status, 302);
    EXPECT_EQ(page->get_header_value("Location"), "/login?next=/meter/100");
}

TEST_F(WebSecurity, LoginThrottledFromTheTenthFailureEvenForTheRightPassword)
{
    httplib::Client c = Client();
    for (int i = 1; i <= 9; ++i)
        ASSERT_EQ(c.Post("/api/v1/session", LoginBody("anna", "wrong password"), "application/json")->status, 401) << i;
    const auto tenth = c.Post("/api/v1/session", LoginBody("anna", "wrong password"), "application/json");
    EXPECT_EQ(tenth->status, 429);
    const int wait = std::stoi(tenth->get_header_value("Retry-After"));
    EXPECT_GT(wait, 0);
    EXPECT_LE(wait, 60);
    const auto right = c.Post("/api/v1/session", LoginBody("anna", kPassword), "application/json");
    EXPECT_EQ(right->status, 429);
    EXPECT_FALSE(right->get_header_value("Retry-After").empty());
    EXPECT_TRUE(right->get_header_value("Set-Cookie").empty());
    // Other accounts from the same address go on.
    EXPECT_EQ(c.Post("/api/v1/session", LoginBody("view", kPassword), "application/json")->status, 200);
    // After the wait the right password is let in.
    now += 61 * 1000;
    EXPECT_EQ(c.Post("/api/v1/session", LoginBody("anna", kPassword), "application/json")->status, 200);
    const QByteArray audit = ReadAll(root.path() + QStringLiteral("/Audit.log"));
    EXPECT_TRUE(audit.contains("anna: login failed"));
    EXPECT_TRUE(audit.contains("anna: login throttled"));
}

TEST_F(WebSecurity, HeadersOnEveryAnswer)
{
    const Browser anna = Login(QStringLiteral("anna"));
    httplib::Client c = Client();
    for (const char *path : {"/api/v1/meters", "/api/v1/meters/200", "/meters", "/login", "/static/app.js",
                             "/static/nothing.js", "/", "/api/v1/unknown"}) {
        const auto r = c.Get(path, anna.Headers());
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->get_header_value("Content-Security-Policy"),
                  "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                  "frame-ancestors 'none'; base-uri 'none'; form-action 'self'")
            << path;
        EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff") << path;
        EXPECT_EQ(r->get_header_value("Referrer-Policy"), "no-referrer") << path;
        EXPECT_EQ(r->get_header_value("X-Frame-Options"), "DENY") << path;
        EXPECT_EQ(r->get_header_value("Cache-Control"), "no-store") << path;
    }
}

TEST_F(WebSecurity, StaticFilesNeverLeaveTheirFolder)
{
    // A secret beside the folder, and a link inside it pointing out.
    WriteAll(pages.path() + QStringLiteral("/secret.txt"), "top secret");
    ASSERT_EQ(::symlink(QFile::encodeName(pages.path() + QStringLiteral("/secret.txt")).constData(),
                        QFile::encodeName(staticRoot + QStringLiteral("/link.txt")).constData()),
              0);
    QDir().mkpath(staticRoot + QStringLiteral("/sub"));
    httplib::Client c = Client();
    EXPECT_EQ(c.Get("/static/app.js")->status, 200);
    for (const char *path : {"/static/../secret.txt", "/static/%2e%2e/secret.txt", "/static/%2E%2E%2Fsecret.txt",
                             "/static/sub/../../secret.txt", "/static/link.txt", "/static/sub", "/static/sub/",
                             "/static/", "/static/.%2e/secret.txt", "/static/..%5csecret.txt",
                             "/static/%00app.js"}) {
        const auto r = c.Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_NE(r->status, 200) << path;
        EXPECT_EQ(r->body.find("top secret"), std::string::npos) << path;
    }
}

TEST_F(WebSecurity, BodySizeLimit)
{
    const Browser admin = Login(QStringLiteral("admin"));
    httplib::Client c = Client();
    const std::string big(65 * 1024, 'x');
    const auto r = c.Post("/api/v1/users", admin.Headers(), big, "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 413);
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(c.Post("/api/v1/session", big, "application/json")->status, 413);
}

TEST_F(WebSecurity, RedirectsStayOnTheSite)
{
    httplib::Client c = Client();
    const auto page = c.Get("/meters");
    EXPECT_EQ(page->status, 302);
    EXPECT_EQ(page->get_header_value("Location"), "/login?next=/meters");
    // A "next" given at login comes back only as a local path.
    auto next = [&](const char *value) {
        const std::string body = QJsonDocument(QJsonObject{{QStringLiteral("user"), QStringLiteral("anna")},
                                                           {QStringLiteral("password"), QString::fromLatin1(kPassword)},
                                                           {QStringLiteral("next"), QString::fromLatin1(value)}})
                                     .toJson()
                                     .toStdString();
        return Json(c.Post("/api/v1/session", body, "application/json")).object().value(QStringLiteral("next")).toString();
    };
    EXPECT_EQ(next("/meter/100"), QStringLiteral("/meter/100"));
    EXPECT_EQ(next("//evil.example/"), QStringLiteral("/meters"));
    EXPECT_EQ(next("https://evil.example/"), QStringLiteral("/meters"));
    EXPECT_EQ(next("/\\evil.example"), QStringLiteral("/meters"));
}

TEST_F(WebSecurity, ErrorsCarryNoInternals)
{
    const Browser anna = Login(QStringLiteral("anna"));
    httplib::Client c = Client();
    for (const char *path : {"/api/v1/meters/100/records?kind=hourly&from=x&to=y", "/api/v1/meters/100/document",
                             "/api/v1/meters/99999", "/nothing", "/api/v1/meters/100/export?kind=hourly"}) {
        const auto r = c.Get(path, anna.Headers());
        ASSERT_TRUE(r);
        EXPECT_GE(r->status, 400) << path;
        EXPECT_EQ(r->body.find(root.path().toStdString()), std::string::npos) << path;
        EXPECT_EQ(r->body.find("/tmp"), std::string::npos) << path;
    }
}

TEST_F(WebSecurity, RequestRateLimitPerAddress)
{
    server.reset();
    web::WebOptions o = Options();
    o.requestsPerMinute = 20;
    Start(o);
    httplib::Client c = Client();
    int refused = 0;
    for (int i = 0; i < 25; ++i)
        refused += c.Get("/login")->status == 429 ? 1 : 0;
    EXPECT_EQ(refused, 5);
    now += 60 * 1000;
    EXPECT_EQ(c.Get("/login")->status, 200);
}

} // namespace
} // namespace qst::test
