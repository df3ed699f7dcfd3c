#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

struct pg_conn;
struct pg_result;

namespace qst {

constexpr int kConnectLimitSeconds = 5;

// The outcome of one statement: rows of text, or an error with its SQLSTATE.
class PgResult
{
public:
    PgResult() = default;
    explicit PgResult(pg_result *result);
    PgResult(PgResult &&other) noexcept;
    PgResult &operator=(PgResult &&other) noexcept;
    PgResult(const PgResult &) = delete;
    PgResult &operator=(const PgResult &) = delete;
    ~PgResult();

    bool ok() const;
    bool copyIn() const; // the server waits for COPY data
    QString error() const;
    QByteArray sqlState() const;
    int rows() const;
    int columns() const;
    QString text(int row, int column) const;
    bool isNull(int row, int column) const;

private:
    pg_result *m_result = nullptr;
};

// One libpq connection, used by one thread. Every statement with values is parameterised.
class PgConnection
{
public:
    PgConnection() = default;
    ~PgConnection();
    PgConnection(const PgConnection &) = delete;
    PgConnection &operator=(const PgConnection &) = delete;
    PgConnection(PgConnection &&other) noexcept
        : m_conn(other.m_conn)
        , m_marks(std::move(other.m_marks))
    {
        other.m_conn = nullptr;
        other.m_marks.clear();
    }

    // url: a connection string or URI, read by libpq; connecting takes at most
    // kConnectLimitSeconds (a shorter connect_timeout in the url holds).
    bool Open(const QString &url, QString *error);
    void Close();
    bool isOpen() const;

    PgResult Exec(const QByteArray &sql);
    PgResult Exec(const QByteArray &sql, const QList<std::optional<QByteArray>> &params);
    // COPY ... FROM STDIN with `data` (already in the statement's format): the result of the
    // COPY, whether the server refused the statement, a row of the data or the link.
    PgResult CopyIn(const QByteArray &copySql, const QByteArray &data);

    // Per-session marks (temporary tables made once per connection); a new connection has none.
    bool HasSessionMark(const QByteArray &mark) const { return m_marks.contains(mark); }
    void SetSessionMark(const QByteArray &mark) { m_marks.append(mark); }

    // Whether a failed statement means the link is gone (retry later), not a refused value.
    bool LinkLost(const PgResult &result) const;

private:
    pg_conn *m_conn = nullptr;
    QList<QByteArray> m_marks;
};

// Whether a refusal belongs to the record (bad value, constraint) rather than the moment.
bool RecordRefused(const QByteArray &sqlState);

} // namespace qst
