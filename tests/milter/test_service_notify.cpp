/*
 * test_service_notify.cpp - what the milter tells a service manager: the
 * messages as they arrive on a notification socket of the test's own (as
 * systemd's NOTIFY_SOCKET), the watchdog's pings only while the milter is
 * healthy, and nothing at all outside a service manager.
 */
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "milter/service_notify.h"
#include "support/notify_socket.h"

namespace {

// How long a test waits for a message that must come.
constexpr int ARRIVAL_MS = 5000;

// The test's own service manager, named by NOTIFY_SOCKET while it lives.
class NotifySocket : public testkit::NotifySocket {
  public:
    NotifySocket() { ::setenv("NOTIFY_SOCKET", Path().c_str(), 1); }
    ~NotifySocket() {
        ::unsetenv("NOTIFY_SOCKET");
        ::unsetenv("WATCHDOG_USEC");
        ::unsetenv("WATCHDOG_PID");
    }
    std::string Next(int ms = ARRIVAL_MS) { return testkit::NotifySocket::Next(ms); }
};

TEST(ServiceNotify, ReadyReloadingStoppingWithOneLineStatus) {
    NotifySocket manager;
    ASSERT_TRUE(manager.Bound());
    NotifyReady("listening on unix:/x\r\nwith 2 checking process(es)");
    EXPECT_EQ(manager.Next(), "READY=1\nSTATUS=listening on unix:/x  with 2 checking process(es)");
    NotifyReloading();
    EXPECT_EQ(manager.Next(), "RELOADING=1\nSTATUS=reloading");
    NotifyStopping();
    EXPECT_EQ(manager.Next(), "STOPPING=1\nSTATUS=stopping");
}

TEST(ServiceNotify, WatchdogPingsOnlyWhileHealthy) {
    NotifySocket manager;
    ASSERT_TRUE(manager.Bound());
    {
        Watchdog none;
        EXPECT_FALSE(none.Start([] { return true; })) << "no WatchdogSec: no thread";
        EXPECT_EQ(none.IntervalUsec(), 0u);
    }
    ::setenv("WATCHDOG_USEC", "200000", 1);
    ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
    std::atomic<bool> healthy{true};
    Watchdog watchdog;
    ASSERT_TRUE(watchdog.Start([&healthy] { return healthy.load(); }));
    EXPECT_EQ(watchdog.IntervalUsec(), 200000u);
    EXPECT_EQ(manager.Next(), "WATCHDOG=1");
    EXPECT_EQ(manager.Next(), "WATCHDOG=1");
    healthy = false;
    // A ping already on its way may still arrive; after it, none.
    manager.Next(300);
    EXPECT_EQ(manager.Next(600), "") << "an unhealthy milter is not pinged for";
    healthy = true;
    EXPECT_EQ(manager.Next(), "WATCHDOG=1");
    watchdog.Stop();
    manager.Next(300);
    EXPECT_EQ(manager.Next(600), "") << "a stopped watchdog pings no more";
}

TEST(ServiceNotify, OutsideAServiceManagerNothingIsSent) {
    ::unsetenv("NOTIFY_SOCKET");
    NotifyReady("by hand");  // must neither fail nor block
    ::setenv("WATCHDOG_USEC", "200000", 1);
    ::setenv("WATCHDOG_PID", std::to_string(::getpid() + 1).c_str(), 1);
    Watchdog other;
    EXPECT_FALSE(other.Start([] { return true; })) << "the interval is for another process";
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
}

}  // namespace
