#include "WebFixture.h"

#include "../cli/CliRun.h"
#include "../reports/DocxReader.h"

#include "common/DataRoot.h"

#include <QHash>
#include <QJsonArray>

namespace qst::test {
namespace {

enum Who { kAdmin, kOperator, kViewer, kConsumerA, kAnonymous, kBearer, kWhoCount };

struct RouteCase
{
    const char *method;
    const char *path;
    const char *body; // JSON for POST/PUT
    int expected[kWhoCount]; // admin, operator, viewer, consumer of A, anonymous, bearer (operator's token)
};

// Every route and every role. B (200) is not the consumer's; 300 is not registered at all.
const RouteCase kRoutes[] = {
    { "GET", "/api/v1/session", nullptr, { 200, 200, 200, 200, 401, 200 } },
    { "GET", "/api/v1/meters", nullptr, { 200, 200, 200, 200, 401, 200 } },
    { "GET", "/api/v1/meters/100", nullptr, { 200, 200, 200, 200, 401, 200 } },
    { "GET", "/api/v1/meters/200", nullptr, { 200, 200, 200, 404, 401, 200 } },
    { "GET", "/api/v1/meters/300", nullptr, { 404, 404, 404, 404, 401, 404 } },
    { "GET", "/api/v1/meters/100/columns?kind=hourly", nullptr, { 200, 200, 200, 200, 401, 200 } },
    { "GET", "/api/v1/meters/200/columns?kind=daily", nullptr, { 200, 200, 200, 404, 401, 200 } },
    { "GET", "/api/v1/meters/100/current", nullptr, { 200, 200, 200, 200, 401, 200 } },
    { "GET", "/api/v1/meters/200/current", nullptr, { 200, 200, 200, 404, 401, 200 } },
    { "GET", "/api/v1/meters/300/current", nullptr, { 404, 404, 404, 404, 401, 404 } },
    { "GET", "/api/v1/meters/100/records?kind=hourly&from=2010-03-01&to=2010-03-01", nullptr,
        { 200, 200, 200, 200, 401, 200 } },
    { "GET", "/api/v1/meters/200/records?kind=hourly&from=2010-03-01&to=2010-03-01", nullptr,
        { 200, 200, 200, 404, 401, 200 } },
    { "GET", "/api/v1/meters/100/records?kind=hourly&from=2010-03-02&to=2010-03-01", nullptr,
        { 400, 400, 400, 400, 401, 400 } },
    { "GET", "/api/v1/meters/100/document?kind=daily&system=1&from=2010-03-01&to=2010-03-02", nullptr,
        { 200, 200, 200, 200, 401, 200 } },
    { "GET", "/api/v1/meters/200/document?kind=hourly&system=1&from=2010-03-01&to=2010-03-01", nullptr,
        { 200, 200, 200, 404, 401, 200 } },
    { "GET", "/api/v1/meters/100/export?kind=hourly&from=2010-03-01&to=2010-03-01&format=csv", nullptr,
        { 200, 200, 200, 200, 401, 200 } },
    { "GET", "/api/v1/meters/200/export?kind=hourly&from=2010-03-01&to=2010-03-01&format=xlsx", nullptr,
        { 200, 200, 200, 404, 401, 200 } },
    // Reads: only under the polling service (409 here); the viewer and A's consumer may not.
    { "POST", "/api/v1/meters/100/read", R"({"what":"now"})", { 409, 409, 403, 403, 401, 409 } },
    { "POST", "/api/v1/meters/200/read", R"({"what":"gaps"})", { 409, 409, 403, 404, 401, 409 } },
    { "GET", "/api/v1/requests/0123456789abcdef", nullptr, { 404, 404, 404, 404, 401, 404 } },
    { "GET", "/api/v1/users", nullptr, { 200, 403, 403, 403, 401, 403 } },
    { "POST", "/api/v1/users", R"({"name":""})", { 400, 403, 403, 403, 401, 403 } },
    { "PUT", "/api/v1/users/nobody", R"({"role":"viewer"})", { 404, 403, 403, 403, 401, 403 } },
    { "DELETE", "/api/v1/users/nobody", nullptr, { 404, 403, 403, 403, 401, 403 } },
    { "GET", "/", nullptr, { 302, 302, 302, 302, 302, 302 } },
    { "GET", "/login", nullptr, { 200, 200, 200, 200, 200, 200 } },
    { "GET", "/meters", nullptr, { 200, 200, 200, 200, 302, 200 } },
    { "GET", "/meter/100", nullptr, { 200, 200, 200, 200, 302, 200 } },
    { "GET", "/meter/200", nullptr, { 200, 200, 200, 404, 302, 200 } },
    { "GET", "/meter/300", nullptr, { 404, 404, 404, 404, 302, 404 } },
    { "GET", "/users", nullptr, { 200, 403, 403, 403, 302, 403 } },
    { "GET", "/static/app.js", nullptr, { 200, 200, 200, 200, 200, 200 } },
    { "GET", "/static/chart.min.js", nullptr, { 200, 200, 200, 200, 200, 200 } },
    { "GET", "/api/v1/nothing", nullptr, { 404, 404, 404, 404, 404, 404 } },
};

httplib::Result Send(
    httplib::Client &c, const char *method, const char *path, const char *body, const httplib::Headers &headers)
{
    const std::string m = method;
    const std::string b = body ? body : "";
    if (m == "GET")
        return c.Get(path, headers);
    if (m == "POST")
        return c.Post(path, headers, b, "application/json");
    if (m == "PUT")
        return c.Put(path, headers, b, "application/json");
    return c.Delete(path, headers, b, "application/json");
}

struct WebRoutes : ::testing::Test, WebFixture
{
};

TEST_F(WebRoutes, EveryRouteByRole)
{
    httplib::Headers headers[kWhoCount];
    const char *users[] = { "admin", "oper", "view", "anna" };
    for (int who = kAdmin; who <= kConsumerA; ++who)
        headers[who] = Login(QString::fromLatin1(users[who])).Headers();
    headers[kBearer] = { { "Authorization", "Bearer " + operatorToken.toStdString() } };
    httplib::Client c = Client();
    for (const RouteCase &route : kRoutes) {
        for (int who = 0; who < kWhoCount; ++who) {
            const httplib::Result r = Send(c, route.method, route.path, route.body, headers[who]);
            ASSERT_TRUE(r) << route.path;
            EXPECT_EQ(r->status, route.expected[who]) << route.method << ' ' << route.path << " as " << who;
            // Nothing of B ever reaches A's consumer, not even in an error text.
            if (who == kConsumerA && r->get_header_value("Content-Type").rfind("application/json", 0) == 0) {
                EXPECT_EQ(r->body.find("Секретный"), std::string::npos) << route.path;
                EXPECT_EQ(r->body.find("200"), std::string::npos) << route.path;
            }
        }
    }
}

TEST_F(WebRoutes, ForeignMeterAnswersExactlyAsAnUnknownOne)
{
    const Browser anna = Login(QStringLiteral("anna"));
    httplib::Client c = Client();
    for (const char *suffix : { "", "/current", "/columns?kind=hourly", "/records?kind=daily&from=2010-03-01&to=2010-03-02",
             "/document?kind=hourly&system=1&from=2010-03-01&to=2010-03-01",
             "/export?kind=daily&from=2010-03-01&to=2010-03-02&format=csv" }) {
        const auto foreign = c.Get((std::string("/api/v1/meters/200") + suffix).c_str(), anna.Headers());
        const auto unknown = c.Get((std::string("/api/v1/meters/300") + suffix).c_str(), anna.Headers());
        ASSERT_TRUE(foreign && unknown);
        EXPECT_EQ(foreign->status, 404);
        EXPECT_EQ(foreign->body, unknown->body) << suffix;
        EXPECT_EQ(foreign->get_header_value("Content-Type"), unknown->get_header_value("Content-Type"));
    }
    const auto page = c.Get("/meter/200", anna.Headers());
    const auto unknownPage = c.Get("/meter/300", anna.Headers());
    EXPECT_EQ(page->body, unknownPage->body);
}

TEST_F(WebRoutes, MeterListsHoldOnlyTheCallersMetersInTreeOrder)
{
    httplib::Client c = Client();
    auto serials = [&](const QString &user) {
        QList<int> list;
        for (const QJsonValue &v : Json(c.Get("/api/v1/meters", Login(user).Headers())).array())
            list.append(v.toObject().value(QStringLiteral("serial")).toInt());
        return list;
    };
    EXPECT_EQ(serials(QStringLiteral("anna")), QList<int> { 100 });
    EXPECT_EQ(serials(QStringLiteral("gleb")), QList<int> { 100 }); // by its group
    // The tree's order: captions sorted, so B ("200 (...)") before the group "Котельная 1" with A.
    EXPECT_EQ(serials(QStringLiteral("view")), (QList<int> { 200, 100 }));

    const QJsonObject a = Json(c.Get("/api/v1/meters/100", Login(QStringLiteral("anna")).Headers())).object();
    EXPECT_EQ(a.value(QStringLiteral("name")).toString(), QStringLiteral("Котельная №3"));
    EXPECT_EQ(a.value(QStringLiteral("group")).toString(), QStringLiteral("Котельная 1"));
    EXPECT_EQ(a.value(QStringLiteral("groupPath")).toArray(), QJsonArray { QStringLiteral("Котельная 1") });
    EXPECT_TRUE(a.value(QStringLiteral("lastAnswer")).isNull());
    EXPECT_FALSE(a.value(QStringLiteral("overdue")).toBool());
}

TEST_F(WebRoutes, RecordsAreThePagesValues)
{
    const Browser view = Login(QStringLiteral("view"));
    httplib::Client c = Client();
    const auto r = c.Get("/api/v1/meters/100/records?kind=hourly&from=2010-03-01&to=2010-03-01", view.Headers());
    ASSERT_EQ(r->status, 200);
    const QJsonArray records = Json(r).array();
    ASSERT_EQ(records.size(), 24);
    const QJsonObject h7 = records[7].toObject();
    EXPECT_EQ(h7.value(QStringLiteral("time")).toString(), QStringLiteral("2010-03-01T07:00:00"));
    EXPECT_DOUBLE_EQ(h7.value(QStringLiteral("q1")).toDouble(), 0.875);
    EXPECT_DOUBLE_EQ(h7.value(QStringLiteral("t1")).toDouble(), 70);
    EXPECT_DOUBLE_EQ(h7.value(QStringLiteral("t2")).toDouble(), 45.5);
    EXPECT_DOUBLE_EQ(h7.value(QStringLiteral("dt12")).toDouble(), 24.5);
    EXPECT_EQ(h7.value(QStringLiteral("ns")).toInt(), 5);
    EXPECT_EQ(records[6].toObject().value(QStringLiteral("ns")).toInt(), 0);
    // Each key the columns name is in every record.
    const QJsonArray columns = Json(c.Get("/api/v1/meters/100/columns?kind=hourly", view.Headers())).array();
    ASSERT_FALSE(columns.isEmpty());
    for (const QJsonValue &col : columns)
        EXPECT_TRUE(h7.contains(col.toObject().value(QStringLiteral("key")).toString()));

    // The "to" day is included; paging gives the total.
    const auto paged = c.Get(
        "/api/v1/meters/100/records?kind=hourly&from=2010-03-01&to=2010-03-02&offset=40&limit=5", view.Headers());
    EXPECT_EQ(paged->get_header_value("X-Total-Count"), "48");
    const QJsonArray page = Json(paged).array();
    ASSERT_EQ(page.size(), 5);
    EXPECT_EQ(page[0].toObject().value(QStringLiteral("time")).toString(), QStringLiteral("2010-03-02T16:00:00"));
    const auto daily = c.Get("/api/v1/meters/100/records?kind=daily&from=2010-03-01&to=2010-03-03", view.Headers());
    EXPECT_EQ(Json(daily).array().size(), 3);
    // Over 400 days of hours is refused.
    EXPECT_EQ(
        c.Get("/api/v1/meters/100/records?kind=hourly&from=2009-01-01&to=2010-03-01", view.Headers())->status, 400);
    EXPECT_EQ(
        c.Get("/api/v1/meters/100/records?kind=weekly&from=2010-03-01&to=2010-03-01", view.Headers())->status, 400);
}

TEST_F(WebRoutes, CurrentValuesAreThePagesRows)
{
    WriteAll(DataFilePath(root.path(), DataKind::CurrentValues, 100),
        "[CURRDATA]\r\nDT=09.12.2026 10:05:00\r\nVersion=1\r\nQ1=1234,56789\r\nT11=65,25\r\nScheme1=1\r\n"
        "NS1=12 13\r\n");
    const Browser anna = Login(QStringLiteral("anna"));
    httplib::Client c = Client();
    const QJsonObject a = Json(c.Get("/api/v1/meters/100/current", anna.Headers())).object();
    EXPECT_EQ(a.value(QStringLiteral("time")).toString(), QStringLiteral("2026-12-09T10:05:00"));
    QHash<QString, QString> values; // "group/name" -> text
    for (const QJsonValue &v : a.value(QStringLiteral("rows")).toArray()) {
        const QJsonObject row = v.toObject();
        values.insert(row.value(QStringLiteral("group")).toString() + u'/' + row.value(QStringLiteral("name")).toString(),
            row.value(QStringLiteral("value")).toString());
    }
    EXPECT_EQ(values.value(QStringLiteral("Тепловая система 1/Q (ГКал)")), QStringLiteral("1234,5679"));
    EXPECT_EQ(values.value(QStringLiteral("Тепловая система 1/Т1 (°С)")), QStringLiteral("65,25"));
    EXPECT_EQ(values.value(QStringLiteral("Тепловая система 1/НС")), QStringLiteral("12 13"));
    EXPECT_EQ(values.value(QStringLiteral("Тепловая система 2/Q (ГКал)")), QStringLiteral("0"));
    EXPECT_TRUE(values.contains(QStringLiteral("ХВС/Vхв (м^3)")));
    // Version 1: the limits the page hides are not listed either.
    EXPECT_TRUE(values.contains(QStringLiteral("Тепловая система 2/GMax (м^3/ч)")));
    EXPECT_FALSE(values.contains(QStringLiteral("Тепловая система 1/Тф (ч)")));

    // Never read: no time, no rows that would pass for a reading.
    const QJsonObject b = Json(c.Get("/api/v1/meters/200/current", Login(QStringLiteral("view")).Headers())).object();
    EXPECT_TRUE(b.value(QStringLiteral("time")).isNull());
    EXPECT_EQ(b.value(QStringLiteral("rows")).toArray(), QJsonArray());
}

TEST_F(WebRoutes, DocumentCellsEqualTheCommandLines)
{
    const Browser anna = Login(QStringLiteral("anna"));
    httplib::Client c = Client();
    const struct
    {
        const char *query;
        QStringList cli;
    } cases[] = {
        { "kind=hourly&system=1&from=2010-03-01&to=2010-03-02&items=0,1,7",
            { QStringLiteral("--kind"), QStringLiteral("hourly"), QStringLiteral("--items"),
                QStringLiteral("0,1,7") } },
        { "kind=daily&system=1&from=2010-03-01&to=2010-03-02", { QStringLiteral("--kind"), QStringLiteral("daily") } },
        { "kind=statement&system=1&from=2010-03-01&to=2010-03-02&landscape=1",
            { QStringLiteral("--statement"), QStringLiteral("--landscape") } },
    };
    for (const auto &k : cases) {
        const auto r = c.Get((std::string("/api/v1/meters/100/document?") + k.query).c_str(), anna.Headers());
        ASSERT_EQ(r->status, 200) << k.query << r->body;
        EXPECT_NE(r->get_header_value("Content-Disposition").find("attachment; filename="), std::string::npos);
        const QString out = Out(QStringLiteral("cli.docx"));
        QStringList args { QStringLiteral("report"), QStringLiteral("--serial"), QStringLiteral("100"),
            QStringLiteral("--system"), QStringLiteral("1"), QStringLiteral("--from"), QStringLiteral("2010-03-01"),
            QStringLiteral("--to"), QStringLiteral("2010-03-02"), QStringLiteral("--out"), out,
            QStringLiteral("--yes") };
        const CliRun run = Cli(root.path(), args + k.cli);
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        const QByteArray web = QByteArray::fromStdString(r->body);
        const QByteArray cli = Bytes(out);
        const QByteArray webXml = ReadZipPart(web, QStringLiteral("word/document.xml"));
        ASSERT_FALSE(webXml.isEmpty()) << k.query;
        EXPECT_EQ(webXml, ReadZipPart(cli, QStringLiteral("word/document.xml"))) << k.query;
    }
}

TEST_F(WebRoutes, ExportIsTheCommandLinesFile)
{
    const Browser anna = Login(QStringLiteral("anna"));
    httplib::Client c = Client();
    const auto r
        = c.Get("/api/v1/meters/100/export?kind=hourly&from=2010-03-01&to=2010-03-02&format=csv", anna.Headers());
    ASSERT_EQ(r->status, 200);
    const QString out = Out(QStringLiteral("cli.csv"));
    const CliRun run = Cli(root.path(),
        { QStringLiteral("export"), QStringLiteral("--serial"), QStringLiteral("100"), QStringLiteral("--kind"),
            QStringLiteral("hourly"), QStringLiteral("--from"), QStringLiteral("2010-03-01"), QStringLiteral("--to"),
            QStringLiteral("2010-03-02"), QStringLiteral("--out"), out });
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(QByteArray::fromStdString(r->body), Bytes(out));
}

TEST_F(WebRoutes, AdminManagesAccounts)
{
    const Browser admin = Login(QStringLiteral("admin"));
    httplib::Client c = Client();
    const auto list = c.Get("/api/v1/users", admin.Headers());
    EXPECT_EQ(list->body.find("argon"), std::string::npos); // never hashes
    EXPECT_EQ(Json(list).array().size(), 5);
    auto post = [&](const char *body) { return c.Post("/api/v1/users", admin.Headers(), body, "application/json"); };
    EXPECT_EQ(post(R"({"name":"vera","role":"consumer","password":"long enough 1","meters":[200]})")->status, 201);
    EXPECT_EQ(post(R"({"name":"vera","role":"consumer","password":"long enough 1"})")->status, 409);
    EXPECT_EQ(post(R"({"name":"x","role":"king","password":"long enough 1"})")->status, 400);
    EXPECT_EQ(post(R"({"name":"y","role":"viewer","password":"short"})")->status, 400);
    const Browser vera = Login(QStringLiteral("vera"), "long enough 1");
    EXPECT_EQ(Json(c.Get("/api/v1/meters", vera.Headers())).array().size(), 1);
    // A changed right counts at once, in the same session.
    EXPECT_EQ(c.Put("/api/v1/users/vera", admin.Headers(), R"({"meters":[100]})", "application/json")->status, 200);
    EXPECT_EQ(c.Get("/api/v1/meters/200", vera.Headers())->status, 404);
    EXPECT_EQ(c.Get("/api/v1/meters/100", vera.Headers())->status, 200);
    EXPECT_EQ(c.Delete("/api/v1/users/vera", admin.Headers())->status, 204);
    EXPECT_EQ(c.Get("/api/v1/meters", vera.Headers())->status, 401);
    // The last admin stays.
    EXPECT_EQ(c.Delete("/api/v1/users/admin", admin.Headers())->status, 409);
    // The changes are in the audit log.
    const QByteArray audit = ReadAll(root.path() + QStringLiteral("/Audit.log"));
    EXPECT_TRUE(audit.contains("account added: vera"));
    EXPECT_TRUE(audit.contains("account removed: vera"));
}

} // namespace
} // namespace qst::test
