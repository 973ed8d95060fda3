/*
 * milter_log.cpp - the milter's log lines to stderr or syslog.
 */
#include "milter_log.h"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

namespace {

constexpr std::size_t FORWARD_CHUNK = 4096;

std::atomic<bool> g_syslog{false};
std::mutex g_logLock;

// Lines written to stderr go to syslog.
void ForwardStderrToSyslog() {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return;
    ::dup2(pipeFds[1], STDERR_FILENO);
    ::close(pipeFds[1]);
    std::thread([fd = pipeFds[0]] {
        std::string pending;
        char buf[FORWARD_CHUNK];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                return;
            pending.append(buf, static_cast<std::size_t>(n));
            for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                syslog(LOG_NOTICE, "%s", pending.substr(0, nl).c_str());
                pending.erase(0, nl + 1);
            }
        }
    }).detach();
}

}  // namespace

void Log(bool error, const std::string& line) {
    if (g_syslog) {
        syslog(error ? LOG_ERR : LOG_INFO, "%s", line.c_str());
        return;
    }
    std::lock_guard<std::mutex> hold(g_logLock);
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::fprintf(stderr, "%s mailward-milter[%ld]: %s%s\n", stamp, static_cast<long>(::getpid()),
                 error ? "error: " : "", line.c_str());
}

void LogToSyslog() {
    openlog("mailward-milter", LOG_PID, LOG_MAIL);
    g_syslog = true;
    ForwardStderrToSyslog();
}
