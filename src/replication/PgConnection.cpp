#include "PgConnection.h"

#include "DatabaseSettings.h"

#include <libpq-fe.h>

#include <vector>

namespace qst {

PgResult::PgResult(pg_result *result)
    : m_result(result)
{
}

PgResult::PgResult(PgResult &&other) noexcept
    : m_result(other.m_result)
{
    other.m_result = nullptr;
}

PgResult &PgResult::operator=(PgResult &&other) noexcept
{
    if (this != &other) {
        PQclear(m_result);
        m_result = other.m_result;
        other.m_result = nullptr;
    }
    return *this;
}

PgResult::~PgResult()
{
    PQclear(m_result);
}

bool PgResult::ok() const
{
    if (!m_result)
        return false;
    const ExecStatusType s = PQresultStatus(m_result);
    return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
}

bool PgResult::copyIn() const
{
    return m_result && PQresultStatus(m_result) == PGRES_COPY_IN;
}

QString PgResult::error() const
{
    if (!m_result)
        return QStringLiteral("no answer from the database");
    QString text = QString::fromUtf8(PQresultErrorMessage(m_result)).trimmed();
    const char *primary = PQresultErrorField(m_result, PG_DIAG_MESSAGE_PRIMARY);
    if (primary) {
        // The first line is enough for a log; details follow when the server gave them.
        text = QString::fromUtf8(primary);
        if (const char *detail = PQresultErrorField(m_result, PG_DIAG_MESSAGE_DETAIL))
            text += QStringLiteral(" (") + QString::fromUtf8(detail) + u')';
    }
    return text;
}

QByteArray PgResult::sqlState() const
{
    const char *state = m_result ? PQresultErrorField(m_result, PG_DIAG_SQLSTATE) : nullptr;
    return state ? QByteArray(state) : QByteArray();
}

int PgResult::rows() const
{
    return m_result ? PQntuples(m_result) : 0;
}

int PgResult::columns() const
{
    return m_result ? PQnfields(m_result) : 0;
}

QString PgResult::text(int row, int column) const
{
    return QString::fromUtf8(PQgetvalue(m_result, row, column));
}

bool PgResult::isNull(int row, int column) const
{
    return PQgetisnull(m_result, row, column) != 0;
}

PgConnection::~PgConnection()
{
    Close();
}

namespace {

void IgnoreNotice(void *, const char *)
{
}

QString ConnectionError(pg_conn *conn)
{
    QString text = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
    text.replace(u'\n', QStringLiteral("; "));
    return text.isEmpty() ? QStringLiteral("the database could not be reached") : text;
}

} // namespace

bool PgConnection::Open(const QString &url, QString *error)
{
    Close();
    // The options as libpq reads them, handed over one by one: the connect limit is ours
    // whatever the url says (0 there would mean waiting for ever).
    QList<ConnectionOption> options;
    QString parseError;
    if (!ParseConnectionOptions(url, &options, &parseError)) {
        *error = QStringLiteral("libpq cannot read the database URL: ") + parseError;
        return false;
    }
    QByteArray timeout = QByteArray::number(kConnectLimitSeconds);
    QByteArray application = "qst-archiver";
    QList<QByteArray> keywords, values;
    for (const ConnectionOption &o : std::as_const(options)) {
        if (o.keyword == "connect_timeout") {
            bool ok = false;
            const int seconds = o.value.trimmed().toInt(&ok);
            if (ok && seconds > 0 && seconds < kConnectLimitSeconds)
                timeout = QByteArray::number(seconds);
        } else if (o.keyword == "application_name") {
            application = o.value;
        } else if (o.keyword != "client_encoding") {
            keywords.append(o.keyword);
            values.append(o.value);
        }
    }
    keywords << "connect_timeout" << "application_name" << "client_encoding";
    values << timeout << application << "UTF8";
    std::vector<const char *> k, v;
    for (qsizetype i = 0; i < keywords.size(); ++i) {
        k.push_back(keywords[i].constData());
        v.push_back(values[i].constData());
    }
    k.push_back(nullptr);
    v.push_back(nullptr);
    m_conn = PQconnectdbParams(k.data(), v.data(), 0);
    if (!m_conn) {
        *error = QStringLiteral("out of memory for the database connection");
        return false;
    }
    if (PQstatus(m_conn) != CONNECTION_OK) {
        *error = ConnectionError(m_conn);
        Close();
        return false;
    }
    PQsetNoticeProcessor(m_conn, IgnoreNotice, nullptr);
    return true;
}

void PgConnection::Close()
{
    if (m_conn)
        PQfinish(m_conn);
    m_conn = nullptr;
    m_marks.clear();
}

bool PgConnection::isOpen() const
{
    return m_conn && PQstatus(m_conn) == CONNECTION_OK;
}

PgResult PgConnection::Exec(const QByteArray &sql)
{
    if (!m_conn)
        return PgResult();
    return PgResult(PQexec(m_conn, sql.constData()));
}

PgResult PgConnection::Exec(const QByteArray &sql, const QList<std::optional<QByteArray>> &params)
{
    if (!m_conn)
        return PgResult();
    std::vector<const char *> values;
    values.reserve(params.size());
    for (const std::optional<QByteArray> &p : params)
        values.push_back(p ? p->constData() : nullptr);
    return PgResult(PQexecParams(m_conn, sql.constData(), int(values.size()), nullptr, values.data(), nullptr,
                                 nullptr, 0));
}

PgResult PgConnection::CopyIn(const QByteArray &copySql, const QByteArray &data)
{
    if (!m_conn)
        return PgResult();
    PgResult start(PQexec(m_conn, copySql.constData()));
    if (!start.copyIn())
        return start;
    // Sent in pieces so libpq's buffer does not double the batch in memory.
    constexpr qsizetype kPiece = 1 << 20;
    bool sent = true;
    for (qsizetype at = 0; at < data.size() && sent; at += kPiece)
        sent = PQputCopyData(m_conn, data.constData() + at, int(qMin(kPiece, data.size() - at))) == 1;
    if (PQputCopyEnd(m_conn, sent ? nullptr : "the data could not be sent") != 1)
        return PgResult();
    // The COPY's own result, then the end of the command; anything after it is drained so
    // the connection is ready for the next statement.
    PgResult result(PQgetResult(m_conn));
    while (pg_result *more = PQgetResult(m_conn))
        PQclear(more);
    return result;
}

bool PgConnection::LinkLost(const PgResult &result) const
{
    if (!m_conn || PQstatus(m_conn) != CONNECTION_OK)
        return true;
    const QByteArray state = result.sqlState();
    // 08: connection exceptions; 57P: the server shutting down or restarting.
    return state.isEmpty() || state.startsWith("08") || state.startsWith("57P");
}

bool RecordRefused(const QByteArray &sqlState)
{
    // 22: data exceptions (a value out of range); 23: constraint violations; 54: limits
    // (a value too large for an index row).
    return sqlState.startsWith("22") || sqlState.startsWith("23") || sqlState.startsWith("54");
}

} // namespace qst
