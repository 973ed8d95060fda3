/*
 * log.cpp - the logging of the support library: named debug channels and
 * the information, error and internal-error lines, all handed to one sink.
 *
 *   debug_gethandle(name)   handle of a channel (created on first use), or
 *                           -1 for a null name and for a new name once
 *                           QORCSOCK_MAX_CHANNELS channels exist.
 *   debug_enable(name, on)  switches a channel ("*": all channels, and the
 *                           state new channels start in).
 *   debug_enabled(handle)   1 when the channel's debug lines are written.
 *   debugmsg, infomsg, errmsg, bugmsg
 *                           format a line of any length and hand it to the
 *                           sink; a trailing line end is removed.
 *   qorcsock_set_log_sink   sets the sink; null restores the default, which
 *                           writes "[channel] line", "INFO: line",
 *                           "ERROR: line" or "BUG: line" to stderr.
 *
 * Cost of a disabled debug line: debugmsg reads the channel's flag with one
 * relaxed atomic load and returns; nothing is formatted. Channel lookups
 * scan the published channels without a lock (names never change once
 * published); only the creation of a channel takes the registry lock.
 *
 * Start state: a channel starts on while debug_enable("*", 1) is in force
 * (until debug_enable("*", 0)), or when the environment variable
 * QORCSOCK_DEBUG, read at the moment the channel is created, is "*" or a
 * comma-separated list naming it (blanks around names are ignored).
 *
 * Sink calls: the sink may be called from many threads at once. A sink set
 * with qorcsock_set_log_sink receives no call after the next
 * qorcsock_set_log_sink has returned, so its `user` data may be released
 * then. Lines logged from inside the sink go to stderr, and a call of
 * qorcsock_set_log_sink from inside the sink is ignored (it would wait for
 * itself). Channel names live as long as the process.
 */
#include "qorcsock/qorcsock.h"
#include "qorcsock/qorcsock_impl.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>

namespace {

const char* const DEBUG_ENV = "QORCSOCK_DEBUG";

struct Channel {
    std::atomic<const char*> name{nullptr};  // set once, before it is published
    std::atomic<bool> on{false};
};

Channel g_channels[QORCSOCK_MAX_CHANNELS];
std::atomic<int> g_count{0};  // channels published so far
std::mutex g_registry;        // serialises creation and the "*" switch
bool g_all_on = false;        // debug_enable("*", 1) is in force

std::shared_mutex g_sink_lock;  // shared while a sink runs, unique to replace it
qorcsock_log_sink g_sink = nullptr;
void* g_sink_user = nullptr;
thread_local bool t_in_sink = false;

int FindChannel(const char* name) {
    int n = g_count.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i) {
        if (std::strcmp(g_channels[i].name.load(std::memory_order_relaxed), name) == 0) {
            return i;
        }
    }
    return -1;
}

// True when QORCSOCK_DEBUG is "*" or lists `name`. Called with g_registry held.
bool EnvironmentEnables(const char* name) {
    const char* list = std::getenv(DEBUG_ENV);
    if (list == nullptr) {
        return false;
    }
    const char* p = list;
    while (*p != '\0') {
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        const char* start = p;
        while (*p != '\0' && *p != ',') {
            ++p;
        }
        const char* end = p;
        while (end > start && (end[-1] == ' ' || end[-1] == '\t')) {
            --end;
        }
        size_t len = static_cast<size_t>(end - start);
        if ((len == 1 && *start == '*') ||
            (len == std::strlen(name) && std::memcmp(start, name, len) == 0)) {
            return true;
        }
        if (*p == ',') {
            ++p;
        }
    }
    return false;
}

void DefaultSink(const char* channel, int level, const char* line) {
    std::string out;
    switch (level) {
        case QLOG_DEBUG:
            out.append("[").append(channel).append("] ");
            break;
        case QLOG_INFO:
            out.append("INFO: ");
            break;
        case QLOG_ERROR:
            out.append("ERROR: ");
            break;
        default:
            out.append("BUG: ");
            break;
    }
    out.append(line).append("\n");
    // One write per line keeps lines of different threads apart.
    std::fwrite(out.data(), 1, out.size(), stderr);
}

void Emit(const char* channel, int level, std::string& line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    if (t_in_sink) {
        DefaultSink(channel, level, line.c_str());
        return;
    }
    std::shared_lock<std::shared_mutex> hold(g_sink_lock);
    if (g_sink == nullptr) {
        DefaultSink(channel, level, line.c_str());
        return;
    }
    t_in_sink = true;
    try {
        g_sink(channel, level, line.c_str(), g_sink_user);
    } catch (...) {
        // A C++ host's sink that throws must not unwind through our callers.
    }
    t_in_sink = false;
}

void VLog(const char* channel, int level, const char* format, va_list args) {
    try {
        std::string line;
        if (!qs_vformat(line, format, args)) {
            line = "(unformattable log line: ";
            line.append(format != nullptr ? format : "null format").append(")");
        }
        Emit(channel, level, line);
    } catch (...) {
        // Out of memory while logging: the line is lost, the caller goes on.
    }
}

}  // namespace

extern "C" QORCSOCK_API void qorcsock_set_log_sink(qorcsock_log_sink sink, void* user) {
    if (t_in_sink) {
        return;
    }
    try {
        std::unique_lock<std::shared_mutex> hold(g_sink_lock);
        g_sink = sink;
        g_sink_user = user;
    } catch (...) {
    }
}

extern "C" QORCSOCK_API int debug_gethandle(const char* name) {
    if (name == nullptr) {
        return -1;
    }
    int found = FindChannel(name);
    if (found >= 0) {
        return found;
    }
    try {
        std::lock_guard<std::mutex> hold(g_registry);
        found = FindChannel(name);
        if (found >= 0) {
            return found;
        }
        int n = g_count.load(std::memory_order_relaxed);
        if (n >= QORCSOCK_MAX_CHANNELS) {
            return -1;
        }
        char* copy = pf::copy_terminated(name, std::strlen(name));
        if (copy == nullptr) {
            return -1;
        }
        bool on = g_all_on || EnvironmentEnables(name);
        g_channels[n].name.store(copy, std::memory_order_release);
        g_channels[n].on.store(on, std::memory_order_relaxed);
        g_count.store(n + 1, std::memory_order_release);
        return n;
    } catch (...) {
        return -1;
    }
}

extern "C" QORCSOCK_API void debug_enable(const char* name, int on) {
    if (name == nullptr) {
        return;
    }
    if (std::strcmp(name, "*") == 0) {
        try {
            std::lock_guard<std::mutex> hold(g_registry);
            g_all_on = on != 0;
            int n = g_count.load(std::memory_order_relaxed);
            for (int i = 0; i < n; ++i) {
                g_channels[i].on.store(on != 0, std::memory_order_relaxed);
            }
        } catch (...) {
        }
        return;
    }
    int handle = debug_gethandle(name);
    if (handle >= 0) {
        g_channels[handle].on.store(on != 0, std::memory_order_relaxed);
    }
}

extern "C" QORCSOCK_API int debug_enabled(int handle) {
    if (handle < 0 || handle >= g_count.load(std::memory_order_acquire)) {
        return 0;
    }
    return g_channels[handle].on.load(std::memory_order_relaxed) ? 1 : 0;
}

extern "C" QORCSOCK_API void debugmsg(int handle, const char* format, ...) {
    if (handle < 0 || handle >= QORCSOCK_MAX_CHANNELS ||
        !g_channels[handle].on.load(std::memory_order_relaxed)) {
        return;
    }
    const char* name = g_channels[handle].name.load(std::memory_order_acquire);
    if (name == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    VLog(name, QLOG_DEBUG, format, args);
    va_end(args);
}

extern "C" QORCSOCK_API void infomsg(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLog("", QLOG_INFO, format, args);
    va_end(args);
}

extern "C" QORCSOCK_API void errmsg(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLog("", QLOG_ERROR, format, args);
    va_end(args);
}

extern "C" QORCSOCK_API void bugmsg(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLog("", QLOG_BUG, format, args);
    va_end(args);
}
