/*
 * milter_loop.cpp - the signal loop, the reload and the stop.
 */
#include "milter_loop.h"

#include <fcntl.h>
#include <libmilter/mfapi.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "milter_daemon.h"
#include "milter_log.h"
#include "milter_metrics.h"
#include "service_notify.h"

namespace {

// The pipe the signal handler writes each signal's number into.
int g_signalRead = -1;
int g_signalWrite = -1;

// Set once the main thread takes the signals: from then on sigwait parks.
std::atomic<bool> g_signalsTaken{false};

extern "C" void OnSignal(int sig) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(sig);
    // A full pipe drops the signal: a hundred unread ones say enough.
    [[maybe_unused]] const ssize_t n = ::write(g_signalWrite, &number, 1);
    errno = saved;
}

// The next signal the handler saw.
int NextSignal() {
    for (;;) {
        unsigned char number = 0;
        const ssize_t n = ::read(g_signalRead, &number, 1);
        if (n == 1)
            return number;
        if (n < 0 && errno != EINTR)
            return SIGTERM;  // the pipe broke: stop rather than spin
    }
}

// A thread that starts with `signals` blocked: one that blocked them only
// once it ran would take a signal sent to it before that as the main
// thread's (the handler is the process's).
template <typename Fn>
std::thread StartBlocked(const sigset_t& signals, Fn fn) {
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &signals, &old);
    std::thread t(std::move(fn));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return t;
}

// Whether a reload runs, and whether a SIGHUP came in during it.
struct ReloadState {
    std::mutex lock;
    bool running = false;
    bool again = false;
};

// Reads signals; returns at SIGTERM or SIGINT. `state` must outlive the
// reload threads, which are never joined.
void TakeSignals(Filter& filter, const MainOptions& o, const sigset_t& signals,
                 ReloadState& state) {
    for (;;) {
        if (NextSignal() != SIGHUP)
            return;
        {
            std::lock_guard<std::mutex> hold(state.lock);
            if (state.running) {
                if (!state.again)
                    Log(false, "a reload is running; another follows it");
                state.again = true;
                continue;
            }
            state.running = true;
        }
        StartBlocked(signals, [&filter, &state, &o] {
            for (;;) {
                ReloadMilter(filter, o);
                std::lock_guard<std::mutex> hold(state.lock);
                if (!state.again) {
                    state.running = false;
                    return;
                }
                state.again = false;
            }
        }).detach();
    }
}

[[noreturn]] void Stop(Filter& filter, const MainOptions& o, const std::string& socket,
                       std::thread& milter, const std::atomic<bool>& milterEnded) {
    Log(false, "stopping");
    NotifyStopping();
    SetMetricsListening(false);
    filter.stopping = true;
    smfi_stop();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(STOP_DRAIN_SECONDS);
    while (filter.inFlight > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(DRAIN_POLL_MS));
    filter.pool->Stop();
    if (milter.joinable()) {
        if (milterEnded)
            milter.join();
        else
            milter.detach();
    }
    filter.spool.RemoveAll();
    if (const std::string path = UnixSocketPath(socket); !path.empty())
        ::unlink(path.c_str());
    if (!o.pidFile.empty())
        ::unlink(o.pidFile.c_str());
    Log(false, "stopped after " + std::to_string(filter.messages.load()) + " message(s)");
    std::fflush(nullptr);
    std::_Exit(EXIT_CLEAN);
}

}  // namespace

// libmilter's signal thread calls this sigwait in place of the C library's
// (the program's definition comes first in the dynamic linker's lookup).
// Once the main thread takes the signals the thread only waits, with the
// signals still blocked: a signal the kernel queued for it stays queued and
// never becomes a stop. The program itself never calls sigwait.
extern "C" __attribute__((visibility("default"))) int sigwait(const sigset_t* set, int* sig) {
    if (g_signalsTaken.load()) {
        for (;;)
            ::pause();
    }
    const int got = ::sigwaitinfo(set, nullptr);
    if (got < 0)
        return errno;
    *sig = got;
    return 0;
}

void ReloadMilter(Filter& filter, const MainOptions& o) {
    NotifyReloading();
    MilterKeys keys;
    MilterSettings fresh;
    std::vector<std::string> errors;
    const bool settingsTook =
        LoadMilterSettings(o.common.configFile, o.common.overrides, keys, fresh, errors);
    if (settingsTook) {
        filter.config.Reload(fresh, std::move(keys));
        Log(false, "reloaded the milter settings");
    } else {
        for (const std::string& e : errors)
            Log(true, e);
        Log(true, "configuration reload refused, the old settings stay");
    }
    std::string refused;
    const bool rulesTook = filter.pool->Reload(refused);
    CountReload(settingsTook && rulesTook);
    if (rulesTook) {
        Log(false,
            o.spamListFile.empty() ? "reloaded the rules" : "reloaded the rules and the spam list");
        // New checking processes read the same files: only now can they start.
        filter.pool->RequestRenewal("SIGHUP");
    } else {
        Log(true, "reload refused, the old rules and spam list stay: " + refused);
        Log(true, "the engine is not reloaded either: its checking processes read those files");
    }
    NotifyReady("reloaded; " + std::to_string(filter.pool->Alive()) + " checking process(es)");
}

bool CatchSignals(const sigset_t& signals) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    g_signalRead = fds[0];
    g_signalWrite = fds[1];
    // The reading end waits; only the handler's end must never block.
    ::fcntl(g_signalRead, F_SETFL, ::fcntl(g_signalRead, F_GETFL) & ~O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGHUP, SIGTERM, SIGINT}) {
        if (sigismember(&signals, sig) == 1 && ::sigaction(sig, &action, nullptr) != 0)
            return false;
    }
    g_signalsTaken = true;
    return pthread_sigmask(SIG_UNBLOCK, &signals, nullptr) == 0;
}

void RunMilter(Filter& filter, const MainOptions& o, const std::string& socket,
               const sigset_t& signals) {
    // Both live until the exit: this function does not return.
    std::atomic<bool> milterEnded{false};
    ReloadState reloads;
    // libmilter's signal thread starts from this one.
    std::thread milter = StartBlocked(signals, [&milterEnded] {
        smfi_main();
        milterEnded = true;
        ::kill(::getpid(), SIGTERM);  // wakes the main thread
    });
    TakeSignals(filter, o, signals, reloads);
    Stop(filter, o, socket, milter, milterEnded);
}
