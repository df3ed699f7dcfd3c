#include "web/Sessions.h"
#include "web/WebServer.h"

#include <gtest/gtest.h>

namespace qst::web {
namespace {

struct FakeClock
{
    qint64 now = 1000000;
    WebClock Get()
    {
        return [this] { return now; };
    }
};

TEST(SessionStore, IdsAreRandom256BitsAndExpireIdleAndAbsolute)
{
    FakeClock clock;
    SessionStore store(clock.Get());
    store.idleMs = 30 * 60 * 1000;
    store.absoluteMs = 12 * 60 * 60 * 1000;
    const Session a = store.Create(QStringLiteral("anna"));
    const Session b = store.Create(QStringLiteral("anna"));
    EXPECT_EQ(a.id.size(), 64);
    EXPECT_EQ(a.csrf.size(), 64);
    EXPECT_NE(a.id, b.id);
    EXPECT_NE(a.id, a.csrf);

    // Kept alive by use every 29 minutes ...
    for (int i = 0; i < 24; ++i) {
        clock.now += 29 * 60 * 1000;
        ASSERT_TRUE(store.Touch(a.id).has_value()) << i;
    }
    // ... until 12 hours after login.
    clock.now += 29 * 60 * 1000;
    EXPECT_FALSE(store.Touch(a.id).has_value());
    // b was idle all that time.
    EXPECT_FALSE(store.Touch(b.id).has_value());

    const Session c = store.Create(QStringLiteral("boris"));
    clock.now += 30 * 60 * 1000 - 1;
    EXPECT_TRUE(store.Touch(c.id).has_value());
    clock.now += 30 * 60 * 1000;
    EXPECT_FALSE(store.Touch(c.id).has_value());
    EXPECT_FALSE(store.Touch(QByteArray()).has_value());
}

TEST(SessionStore, RemoveUserEndsAllItsSessions)
{
    FakeClock clock;
    SessionStore store(clock.Get());
    const Session a = store.Create(QStringLiteral("anna"));
    const Session b = store.Create(QStringLiteral("anna"));
    const Session c = store.Create(QStringLiteral("boris"));
    store.RemoveUser(QStringLiteral("anna"));
    EXPECT_FALSE(store.Touch(a.id));
    EXPECT_FALSE(store.Touch(b.id));
    EXPECT_TRUE(store.Touch(c.id));
}

TEST(LoginThrottle, AccountFromTheTenthFailureInARow)
{
    FakeClock clock;
    LoginThrottle throttle(clock.Get());
    const QString user = QStringLiteral("anna");
    for (int i = 1; i <= 9; ++i) {
        EXPECT_EQ(throttle.RetryAfter(user, QStringLiteral("10.0.0.1")), 0);
        EXPECT_EQ(throttle.Failed(user, QStringLiteral("10.0.0.") + QString::number(i)), 0) << i;
    }
    const int wait = throttle.Failed(user, QStringLiteral("10.0.0.10"));
    EXPECT_GT(wait, 0);
    EXPECT_LE(wait, 60);
    EXPECT_GT(throttle.RetryAfter(user, QStringLiteral("10.0.0.99")), 0);
    // Other accounts are not touched.
    EXPECT_EQ(throttle.RetryAfter(QStringLiteral("boris"), QStringLiteral("10.0.0.99")), 0);
    // Waits grow, never past a minute.
    for (int i = 0; i < 30; ++i) {
        clock.now += 61 * 1000;
        EXPECT_EQ(throttle.RetryAfter(user, QStringLiteral("10.0.0.1")), 0);
        const int next = throttle.Failed(user, QStringLiteral("10.0.0.1"));
        EXPECT_GT(next, 0);
        EXPECT_LE(next, 60);
    }
    throttle.Succeeded(user);
    EXPECT_EQ(throttle.Failed(user, QStringLiteral("10.0.0.2")), 0);
}

TEST(LoginThrottle, AddressFromTheFiftiethFailureWithinFifteenMinutes)
{
    FakeClock clock;
    LoginThrottle throttle(clock.Get());
    const QString address = QStringLiteral("192.0.2.7");
    // Different names each time: no account reaches its own limit.
    for (int i = 1; i <= 49; ++i) {
        EXPECT_EQ(throttle.RetryAfter(QStringLiteral("u%1").arg(i), address), 0) << i;
        EXPECT_EQ(throttle.Failed(QStringLiteral("u%1").arg(i), address), 0) << i;
        clock.now += 10 * 1000;
    }
    const int wait = throttle.Failed(QStringLiteral("u50"), address);
    EXPECT_GT(wait, 0);
    EXPECT_LE(wait, 60);
    EXPECT_GT(throttle.RetryAfter(QStringLiteral("anyone"), address), 0);
    EXPECT_EQ(throttle.RetryAfter(QStringLiteral("anyone"), QStringLiteral("192.0.2.8")), 0);
    // Once the oldest failures leave the window the address may try again.
    clock.now += 15 * 60 * 1000 - 49 * 10 * 1000 + 1;
    EXPECT_EQ(throttle.RetryAfter(QStringLiteral("anyone"), address), 0);

    // 49 failures spread over more than 15 minutes never throttle.
    LoginThrottle slow(clock.Get());
    for (int i = 1; i <= 100; ++i) {
        EXPECT_EQ(slow.Failed(QStringLiteral("v%1").arg(i), address), 0) << i;
        clock.now += 20 * 1000;
    }
}

TEST(SafeNextPath, OnlyLocalPaths)
{
    const struct
    {
        const char *next;
        const char *expected;
    } cases[] = {
        {"/meter/100", "/meter/100"},
        {"/meters?q=1", "/meters?q=1"},
        {"//evil.example/x", "/meters"},
        {"/\\evil.example", "/meters"},
        {"https://evil.example/", "/meters"},
        {"javascript:alert(1)", "/meters"},
        {"meters", "/meters"},
        {"", "/meters"},
        {"/x/../https://evil", "/meters"},
        {"/ x", "/meters"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(SafeNextPath(QString::fromLatin1(c.next)), QString::fromLatin1(c.expected)) << c.next;
}

TEST(IsLoopbackHost, Addresses)
{
    EXPECT_TRUE(IsLoopbackHost(QStringLiteral("127.0.0.1")));
    EXPECT_TRUE(IsLoopbackHost(QStringLiteral("127.1.2.3")));
    EXPECT_TRUE(IsLoopbackHost(QStringLiteral("::1")));
    EXPECT_TRUE(IsLoopbackHost(QStringLiteral("localhost")));
    EXPECT_FALSE(IsLoopbackHost(QStringLiteral("0.0.0.0")));
    EXPECT_FALSE(IsLoopbackHost(QStringLiteral("192.168.1.5")));
    EXPECT_FALSE(IsLoopbackHost(QStringLiteral("example.org")));
}

} // namespace
} // namespace qst::web
