/*
 * service_notify.cpp - sd_notify messages and the watchdog thread.
 */
#include "service_notify.h"

#include <systemd/sd-daemon.h>

#include <chrono>

namespace {

// The pings come this many times per watchdog interval.
constexpr std::uint64_t PINGS_PER_INTERVAL = 2;
// The thread looks at its stop flag at least this often.
constexpr std::chrono::milliseconds STOP_POLL{100};

void Send(const std::string& message) {
    // 0: the milter does not run under a service manager; nothing to do.
    sd_notify(0, message.c_str());
}

// The status line holds no line end: sd_notify takes one KEY=VALUE a line.
std::string StatusLine(std::string status) {
    for (char& c : status)
        if (c == '\n' || c == '\r')
            c = ' ';
    return "STATUS=" + status;
}

}  // namespace

void NotifyReady(const std::string& status) {
    Send("READY=1\n" + StatusLine(status));
}

void NotifyReloading() {
    Send("RELOADING=1\n" + StatusLine("reloading"));
}

void NotifyStopping() {
    Send("STOPPING=1\n" + StatusLine("stopping"));
}

Watchdog::~Watchdog() {
    Stop();
}

bool Watchdog::Start(std::function<bool()> healthy) {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return false;
    m_usec = usec;
    const auto period = std::chrono::microseconds(usec / PINGS_PER_INTERVAL);
    // The thread inherits the caller's blocked signals: the milter starts
    // it after the main thread blocked those it takes (milter_loop.h).
    m_thread = std::thread([this, period, healthy = std::move(healthy)] {
        auto next = std::chrono::steady_clock::now();
        while (!m_stop) {
            if (std::chrono::steady_clock::now() >= next) {
                if (healthy())
                    Send("WATCHDOG=1");
                next = std::chrono::steady_clock::now() + period;
            }
            std::this_thread::sleep_for(std::min<std::chrono::microseconds>(period, STOP_POLL));
        }
    });
    return true;
}

void Watchdog::Stop() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}
