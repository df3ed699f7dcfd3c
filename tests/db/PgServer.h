#pragma once

#include "replication/PgConnection.h"

#include <QString>
#include <QTemporaryDir>

#include <functional>

namespace qst::test {

// A throw-away PostgreSQL server for one test program (scripts/pg-temp.sh), reached by a
// socket in its own folder. Each test takes a fresh database of it.
class PgServer
{
public:
    static PgServer &Shared(); // started on first use, stopped at exit
    bool running() const { return m_running; }
    const QString &error() const { return m_error; }

    // A new empty database; its libpq URL.
    QString CreateDatabase();
    QString Url(const QString &database) const;

    // Makes the role log in with a password (the server trusts everyone else).
    bool RequirePassword(const QString &role);

    bool Stop();    // fast shutdown
    bool Kill();    // immediate, as a crash
    bool Start();

    ~PgServer();

private:
    PgServer();
    bool Script(const QStringList &args, QString *output = nullptr);

    QTemporaryDir m_dir;
    int m_port = 0;
    int m_databases = 0;
    bool m_running = false;
    QString m_error;
};

// Polls `done` every 20 ms until it holds or ms passed.
bool SpinUntil(const std::function<bool()> &done, int ms);

// Rows of a query as text, NULL as "<null>", fields joined by TAB: for comparing tables.
QStringList QueryRows(PgConnection &connection, const QByteArray &sql);

} // namespace qst::test

// Skips the test when no server could be started (the reason is printed).
#define QST_REQUIRE_PG()                                                                                              \
    do {                                                                                                              \
        if (!::qst::test::PgServer::Shared().running())                                                               \
            GTEST_FAIL() << "no PostgreSQL: " << ::qst::test::PgServer::Shared().error().toStdString();               \
    } while (0)
