#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <deque>
#include <functional>
#include <mutex>
#include <optional>

namespace qst::web {

// Milliseconds of a monotonic clock; tests put their own in.
using WebClock = std::function<qint64()>;
WebClock SystemWebClock();

// n random bytes as lower-case hex (libsodium's generator).
QByteArray RandomHex(int bytes);

struct Session
{
    QByteArray id;   // 256 random bits, hex
    QByteArray csrf; // 256 random bits, hex
    QString user;
    qint64 created = 0;
    qint64 lastSeen = 0;
};

// The logged-in browsers, in memory only: a restart logs everyone out.
class SessionStore
{
public:
    explicit SessionStore(WebClock clock);

    qint64 idleMs = 30 * 60 * 1000;
    qint64 absoluteMs = 12 * 60 * 60 * 1000;

    Session Create(const QString &user);
    // The live session of that id, its idle time restarted; none when unknown or expired.
    std::optional<Session> Touch(const QByteArray &id);
    void Remove(const QByteArray &id);
    void RemoveUser(const QString &user);

private:
    WebClock m_clock;
    std::mutex m_mutex;
    QHash<QByteArray, Session> m_sessions;
    void PruneLocked(qint64 now);
};

// Failed logins, per account and per address.
class LoginThrottle
{
public:
    explicit LoginThrottle(WebClock clock);

    static constexpr int kAccountFailures = 10;  // from this failure in a row on
    static constexpr int kAddressFailures = 50;  // from this failure within the window on
    static constexpr qint64 kAddressWindowMs = 15 * 60 * 1000;

    // Seconds to wait before the next attempt of this account or address may be checked; 0 to go ahead.
    int RetryAfter(const QString &account, const QString &address);
    // A failure; returns the seconds to wait from now when it throttles, else 0.
    int Failed(const QString &account, const QString &address);
    void Succeeded(const QString &account);

private:
    struct AccountState
    {
        int failures = 0;
        qint64 last = 0;
        qint64 blockedUntil = 0;
    };
    WebClock m_clock;
    std::mutex m_mutex;
    QHash<QString, AccountState> m_accounts;
    QHash<QString, std::deque<qint64>> m_addresses;
    void PruneLocked(qint64 now);
};

// Requests per address per minute, a plain fixed window.
class RateLimit
{
public:
    RateLimit(WebClock clock, int perMinute);
    bool Allow(const QString &address);

private:
    WebClock m_clock;
    int m_perMinute;
    std::mutex m_mutex;
    qint64 m_windowStart = 0;
    QHash<QString, int> m_counts;
};

} // namespace qst::web
