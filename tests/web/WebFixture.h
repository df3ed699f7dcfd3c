#pragma once

#include "../cli/ReportCliFixture.h"

#include "registry/Registry.h"
#include "registry/TreeCommands.h"
#include "web/Accounts.h"
#include "web/WebServer.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <httplib.h>

#include <map>
#include <memory>

namespace qst::test {

// Meter A (serial 100, in group "Котельная 1") and meter B (serial 200, at the root), each with
// records of 1-3 March 2010; accounts of every role; the portal on a free loopback port.
struct WebFixture : ReportCliFixture
{
    static constexpr const char *kPassword = "correct horse 1";
    int groupA = 0;
    qint64 now = 5000000;
    std::unique_ptr<web::WebServer> server;
    QString staticRoot;
    QTemporaryDir pages;

    explicit WebFixture(bool start = true)
    {
        Registry registry(TreeIniPath(root.path()));
        // A moves into its group; B is a second meter at the root.
        const int meterA = registry.FindMeterBySerialText(100);
        registry.RemoveNumber(GroupSection(0), reg::kCList, meterA);
        groupA = CreateGroup(registry, 0, QStringLiteral("Котельная 1"));
        registry.AppendNumber(GroupSection(groupA), reg::kCList, meterA);
        const int meterB = registry.IssueMeterNumber();
        registry.AppendNumber(GroupSection(0), reg::kCList, meterB);
        registry.file().WriteString(MeterSection(meterB), reg::kSerial, QStringLiteral("200"));
        registry.file().WriteString(MeterSection(meterB), reg::kName, QStringLiteral("Секретный узел Б"));
        for (int h = 0; h < 24; ++h) {
            ArchiveValues a;
            a.time = At(2010, 3, 1, h);
            a.F[0] = 9.5f;
            SaveArchiveLine(target, 1, 200, true, 0, kHourlyArchive, a);
        }
        web::AccountStore accounts(root.path());
        QString error;
        const QString password = QString::fromLatin1(kPassword);
        using web::Role;
        EXPECT_TRUE(accounts.Add({QStringLiteral("admin"), Role::Admin, {}, {}}, password, &error)) << error.toStdString();
        EXPECT_TRUE(accounts.Add({QStringLiteral("oper"), Role::Operator, {}, {}}, password, &error));
        EXPECT_TRUE(accounts.Add({QStringLiteral("view"), Role::Viewer, {}, {}}, password, &error));
        EXPECT_TRUE(accounts.Add({QStringLiteral("anna"), Role::Consumer, {100}, {}}, password, &error));
        EXPECT_TRUE(accounts.Add({QStringLiteral("gleb"), Role::Consumer, {}, {groupA}}, password, &error));
        operatorToken = accounts.IssueToken(QStringLiteral("oper"), &error);
        EXPECT_FALSE(operatorToken.isEmpty());
        staticRoot = pages.path() + QStringLiteral("/static");
        QDir().mkpath(staticRoot);
        for (const char *page : {"login", "meters", "meter", "users"})
            WriteAll(staticRoot + u'/' + QString::fromLatin1(page) + QStringLiteral(".html"),
                     QByteArray("<!DOCTYPE html><title>") + page + "</title>");
        WriteAll(staticRoot + QStringLiteral("/app.js"), "console.log(1);\n");
        if (start)
            Start();
    }

    web::WebOptions Options()
    {
        web::WebOptions o;
        o.dataRoot = root.path();
        o.staticRoot = staticRoot;
        o.clock = [this] { return now; };
        return o;
    }

    void Start(web::WebOptions o)
    {
        server = std::make_unique<web::WebServer>(o);
        QString error;
        ASSERT_TRUE(server->Listen(QStringLiteral("127.0.0.1"), 0, &error)) << error.toStdString();
    }
    void Start() { Start(Options()); }

    httplib::Client Client() const
    {
        httplib::Client c("127.0.0.1", server->Port());
        c.set_read_timeout(60, 0);
        return c;
    }

    QString operatorToken;

    // A logged-in browser: its cookie and CSRF token.
    struct Browser
    {
        std::string cookie;
        std::string csrf;
        httplib::Headers Headers(bool withCsrf = true) const
        {
            httplib::Headers h{{"Cookie", cookie}};
            if (withCsrf)
                h.emplace("X-CSRF-Token", csrf);
            return h;
        }
    };

    Browser Login(const QString &user, const char *password = kPassword)
    {
        httplib::Client c = Client();
        const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("user"), user},
                                                          {QStringLiteral("password"), QString::fromLatin1(password)}})
                                    .toJson();
        const httplib::Result r = c.Post("/api/v1/session", body.toStdString(), "application/json");
        Browser b;
        if (!r || r->status != 200) {
            ADD_FAILURE() << "login of " << user.toStdString() << " failed: " << (r ? r->status : -1);
            return b;
        }
        const std::string setCookie = r->get_header_value("Set-Cookie");
        b.cookie = setCookie.substr(0, setCookie.find(';'));
        b.csrf = QJsonDocument::fromJson(QByteArray::fromStdString(r->body))
                     .object()
                     .value(QStringLiteral("csrf"))
                     .toString()
                     .toStdString();
        return b;
    }
};

inline QJsonDocument Json(const httplib::Result &r)
{
    return r ? QJsonDocument::fromJson(QByteArray::fromStdString(r->body)) : QJsonDocument();
}

} // namespace qst::test
