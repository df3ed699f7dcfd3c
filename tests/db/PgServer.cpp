#include "PgServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QFile>
#include <QProcess>

namespace qst::test {

PgServer &PgServer::Shared()
{
    static PgServer server;
    return server;
}

PgServer::PgServer()
{
    // Unique per test program, so programs run side by side never share a socket.
    m_port = 20000 + int(QCoreApplication::applicationPid() % 20000);
    m_running = Start();
}

PgServer::~PgServer()
{
    if (m_running)
        Stop();
}

bool PgServer::Script(const QStringList &args, QString *output)
{
    QProcess p;
    p.start(QStringLiteral("bash"), QStringList{QStringLiteral(QST_SOURCE_DIR "/scripts/pg-temp.sh")} + args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
        if (m_error.isEmpty())
            m_error = QStringLiteral("pg-temp.sh %1 failed").arg(args.join(u' '));
        return false;
    }
    if (output)
        *output = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    return true;
}

bool PgServer::Start()
{
    m_running = Script({QStringLiteral("start"), m_dir.path(), QString::number(m_port)});
    return m_running;
}

bool PgServer::Stop()
{
    const bool ok = Script({QStringLiteral("stop"), m_dir.path()});
    m_running = !ok;
    return ok;
}

bool PgServer::Kill()
{
    const bool ok = Script({QStringLiteral("kill"), m_dir.path()});
    m_running = !ok;
    return ok;
}

bool PgServer::RequirePassword(const QString &role)
{
    const QString hba = m_dir.path() + QStringLiteral("/data/pg_hba.conf");
    QFile file(hba);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray rest = file.readAll();
    file.close();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write("local all " + role.toLatin1() + " scram-sha-256\n" + rest);
    file.close();
    PgConnection admin;
    QString error;
    return admin.Open(Url(QStringLiteral("postgres")), &error) && admin.Exec("SELECT pg_reload_conf()").ok();
}

QString PgServer::Url(const QString &database) const
{
    return QStringLiteral("host=%1 port=%2 user=qst dbname=%3").arg(m_dir.path()).arg(m_port).arg(database);
}

QString PgServer::CreateDatabase()
{
    const QString name = QStringLiteral("t%1").arg(++m_databases);
    PgConnection admin;
    QString error;
    if (!admin.Open(Url(QStringLiteral("postgres")), &error))
        return {};
    if (!admin.Exec("CREATE DATABASE " + name.toLatin1()).ok())
        return {};
    return Url(name);
}

bool SpinUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(20);
    }
    return true;
}

QStringList QueryRows(PgConnection &c, const QByteArray &sql)
{
    QStringList rows;
    PgResult r = c.Exec(sql);
    if (!r.ok())
        return {QStringLiteral("ERROR: ") + r.error()};
    for (int i = 0; i < r.rows(); ++i) {
        QStringList fields;
        for (int j = 0; j < r.columns(); ++j)
            fields.append(r.isNull(i, j) ? QStringLiteral("<null>") : r.text(i, j));
        rows.append(fields.join(u'\t'));
    }
    return rows;
}

} // namespace qst::test
