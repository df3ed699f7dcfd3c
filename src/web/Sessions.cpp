#include "web/Sessions.h"

#include <QElapsedTimer>

#include <sodium.h>

#include <algorithm>

namespace qst::web {

WebClock SystemWebClock()
{
    return [] {
        static QElapsedTimer timer = [] {
            QElapsedTimer t;
            t.start();
            return t;
        }();
        // Starts well above 0 so that 0 can mean "never".
        return timer.elapsed() + 1000000;
    };
}

QByteArray RandomHex(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    randombytes_buf(raw.data(), size_t(raw.size()));
    return raw.toHex();
}

SessionStore::SessionStore(WebClock clock)
    : m_clock(std::move(clock))
{
}

Session SessionStore::Create(const QString &user)
{
    Session s;
    s.id = RandomHex(32);
    s.csrf = RandomHex(32);
    s.user = user;
    s.created = s.lastSeen = m_clock();
    std::lock_guard lock(m_mutex);
    PruneLocked(s.created);
    m_sessions.insert(s.id, s);
    return s;
}

std::optional<Session> SessionStore::Touch(const QByteArray &id)
{
    const qint64 now = m_clock();
    std::lock_guard lock(m_mutex);
    auto it = m_sessions.find(id);
    if (it == m_sessions.end())
        return std::nullopt;
    if (now - it->lastSeen >= idleMs || now - it->created >= absoluteMs) {
        m_sessions.erase(it);
        return std::nullopt;
    }
    it->lastSeen = now;
    return *it;
}

void SessionStore::Remove(const QByteArray &id)
{
    std::lock_guard lock(m_mutex);
    m_sessions.remove(id);
}

void SessionStore::RemoveUser(const QString &user)
{
    std::lock_guard lock(m_mutex);
    m_sessions.removeIf([&](const auto &item) { return item.value().user == user; });
}

void SessionStore::PruneLocked(qint64 now)
{
    m_sessions.removeIf([&](const auto &item) {
        return now - item.value().lastSeen >= idleMs || now - item.value().created >= absoluteMs;
    });
}

LoginThrottle::LoginThrottle(WebClock clock)
    : m_clock(std::move(clock))
{
}

namespace {

int Seconds(qint64 ms)
{
    return int(std::clamp<qint64>((ms + 999) / 1000, 1, 60));
}

} // namespace

int LoginThrottle::RetryAfter(const QString &account, const QString &address)
{
    const qint64 now = m_clock();
    std::lock_guard lock(m_mutex);
    const auto it = m_accounts.constFind(account);
    int wait = 0;
    if (it != m_accounts.constEnd() && it->blockedUntil > now)
        wait = Seconds(it->blockedUntil - now);
    auto a = m_addresses.find(address);
    if (a != m_addresses.end()) {
        while (!a->empty() && now - a->front() >= kAddressWindowMs)
            a->pop_front();
        if (int(a->size()) >= kAddressFailures)
            wait = std::max(wait, Seconds(a->front() + kAddressWindowMs - now));
    }
    return wait;
}

int LoginThrottle::Failed(const QString &account, const QString &address)
{
    const qint64 now = m_clock();
    std::lock_guard lock(m_mutex);
    PruneLocked(now);
    AccountState &state = m_accounts[account];
    state.failures += 1;
    state.last = now;
    int wait = 0;
    if (state.failures >= kAccountFailures) {
        // 5 s at the 10th failure, 5 s more for each further one, never over a minute.
        const qint64 ms = std::min<qint64>(60000, 5000LL * (state.failures - kAccountFailures + 1));
        state.blockedUntil = now + ms;
        wait = Seconds(ms);
    }
    std::deque<qint64> &times = m_addresses[address];
    while (!times.empty() && now - times.front() >= kAddressWindowMs)
        times.pop_front();
    times.push_back(now);
    // Only the last kAddressFailures matter.
    while (int(times.size()) > kAddressFailures)
        times.pop_front();
    if (int(times.size()) >= kAddressFailures)
        wait = std::max(wait, Seconds(times.front() + kAddressWindowMs - now));
    return wait;
}

void LoginThrottle::Succeeded(const QString &account)
{
    std::lock_guard lock(m_mutex);
    m_accounts.remove(account);
}

void LoginThrottle::PruneLocked(qint64 now)
{
    // Bounded memory under a flood of made-up names: old states go.
    if (m_accounts.size() < 10000 && m_addresses.size() < 10000)
        return;
    m_accounts.removeIf([&](const auto &item) {
        return now - item.value().last >= kAddressWindowMs && item.value().blockedUntil <= now;
    });
    m_addresses.removeIf(
        [&](const auto &item) { return item.value().empty() || now - item.value().back() >= kAddressWindowMs; });
}

RateLimit::RateLimit(WebClock clock, int perMinute)
    : m_clock(std::move(clock))
    , m_perMinute(perMinute)
{
}

bool RateLimit::Allow(const QString &address)
{
    if (m_perMinute <= 0)
        return true;
    const qint64 now = m_clock();
    std::lock_guard lock(m_mutex);
    if (now - m_windowStart >= 60000) {
        m_windowStart = now;
        m_counts.clear();
    }
    return ++m_counts[address] <= m_perMinute;
}

} // namespace qst::web
