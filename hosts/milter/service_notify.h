/*
 * service_notify.h - the milter's word to its service manager (systemd's
 * notification socket, through libsystemd's sd_notify) and the watchdog.
 *
 * A unit of Type=notify learns from these when the milter is ready (it
 * listens and every checking process said it started), when a reload runs
 * and ends, and when it stops; each call also sets the unit's status line
 * (systemctl status). Outside systemd (no NOTIFY_SOCKET) every call does
 * nothing, so the milter runs the same by hand.
 *
 *   NotifyReady(status)      READY=1 with a status line; again after a reload
 *   NotifyReloading()        RELOADING=1 while a SIGHUP reload runs
 *   NotifyStopping()         STOPPING=1 once the stop begins
 *
 * WATCHDOG: with WatchdogSec= in the unit, Watchdog::Start runs a thread
 * that sends WATCHDOG=1 every half of the watchdog interval, but only while
 * `healthy` says yes. The milter's check takes the locks every session
 * takes (the settings, the checking processes' table), so a milter stuck on
 * one of them, or one without a single checking process for longer than the
 * interval, is restarted by systemd. Without a watchdog interval Start does
 * nothing and returns false. The thread inherits the caller's blocked
 * signals.
 */
#ifndef MAILWARD_HOSTS_MILTER_SERVICE_NOTIFY_H
#define MAILWARD_HOSTS_MILTER_SERVICE_NOTIFY_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

void NotifyReady(const std::string& status);
void NotifyReloading();
void NotifyStopping();

class Watchdog {
  public:
    Watchdog() = default;
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // True when the service manager asked for pings and the thread runs.
    bool Start(std::function<bool()> healthy);
    void Stop();
    // The interval the service manager set, in microseconds (0: none).
    std::uint64_t IntervalUsec() const { return m_usec; }

  private:
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::uint64_t m_usec = 0;
};

#endif
