// Read commands from the portal inside the polling service: handed to the engine on its
// thread (this test's main thread), tracked per request id.
#include "WebFixture.h"

#include "exchange/ExchangeEngine.h"

#include <QCoreApplication>
#include <QJsonObject>

#include <chrono>
#include <future>

namespace qst::test {
namespace {

// Runs the HTTP call on another thread while this one serves the engine's queued calls.
template <typename F> auto OffMainThread(F job)
{
    auto result = std::async(std::launch::async, job);
    while (result.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        QCoreApplication::processEvents();
    return result.get();
}

struct WebReads : ::testing::Test, WebFixture
{
    WebReads()
        : WebFixture(false)
    {
    }
};

TEST_F(WebReads, ReadsGoToTheEngineAndAreTrackedPerRequest)
{
    Registry registry(TreeIniPath(root.path()));
    // No supervisor tick runs: the requests stay queued where the test can see them.
    ExchangeEngine engine({root.path(), &registry, nullptr, nullptr, {}});
    web::WebOptions o = Options();
    o.engine = &engine;
    Start(o);
    const Browser oper = Login(QStringLiteral("oper"));
    const Browser anna = Login(QStringLiteral("anna"));
    const Browser gleb = Login(QStringLiteral("gleb"));
    const int port = server->Port();
    auto post = [port](const Browser &b, const char *path, const char *body) {
        return OffMainThread([=] {
            httplib::Client c("127.0.0.1", port);
            const auto r = c.Post(path, b.Headers(), body, "application/json");
            return std::make_pair(r ? r->status : -1, r ? r->body : std::string());
        });
    };
    const auto [status, body] = post(oper, "/api/v1/meters/100/read", R"({"what":"now"})");
    ASSERT_EQ(status, 202) << body;
    const QString id = QJsonDocument::fromJson(QByteArray::fromStdString(body))
                           .object()
                           .value(QStringLiteral("request"))
                           .toString();
    ASSERT_FALSE(id.isEmpty());
    EXPECT_EQ(engine.queue().Size(), 1);

    httplib::Client c = Client();
    const std::string path = "/api/v1/requests/" + id.toStdString();
    const QJsonObject state = Json(c.Get(path.c_str(), oper.Headers())).object();
    EXPECT_EQ(state.value(QStringLiteral("serial")).toInt(), 100);
    EXPECT_EQ(state.value(QStringLiteral("what")).toString(), QStringLiteral("now"));
    EXPECT_EQ(state.value(QStringLiteral("state")).toString(), QStringLiteral("queued"));
    EXPECT_EQ(state.value(QStringLiteral("total")).toInt(), 1);
    EXPECT_EQ(state.value(QStringLiteral("done")).toInt(), 0);
    // A consumer of that meter may look at it; the request of B's meter is nobody else's business.
    EXPECT_EQ(c.Get(path.c_str(), anna.Headers())->status, 200);
    EXPECT_EQ(post(anna, "/api/v1/meters/100/read", R"({"what":"now"})").first, 403);
    EXPECT_EQ(post(oper, "/api/v1/meters/100/read", R"({"what":"later"})").first, 400);

    const auto [statusB, bodyB] = post(oper, "/api/v1/meters/200/read", R"({"what":"now"})");
    ASSERT_EQ(statusB, 202);
    const std::string pathB = "/api/v1/requests/"
                              + QJsonDocument::fromJson(QByteArray::fromStdString(bodyB))
                                    .object()
                                    .value(QStringLiteral("request"))
                                    .toString()
                                    .toStdString();
    const auto foreign = c.Get(pathB.c_str(), gleb.Headers());
    EXPECT_EQ(foreign->status, 404);
    EXPECT_EQ(foreign->body, c.Get("/api/v1/requests/0123abcd", gleb.Headers())->body);

    // Once its queue request is gone, the request is done.
    engine.StopMeter(100);
    const QJsonObject after = Json(c.Get(path.c_str(), oper.Headers())).object();
    EXPECT_EQ(after.value(QStringLiteral("state")).toString(), QStringLiteral("done"));
    EXPECT_EQ(after.value(QStringLiteral("done")).toInt(), 1);
    EXPECT_TRUE(ReadAll(root.path() + QStringLiteral("/Audit.log")).contains("oper: read 100 now"));
    server.reset();
}

} // namespace
} // namespace qst::test
