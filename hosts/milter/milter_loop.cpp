/*
 * milter_loop.cpp - the signal loop, the reload and the stop.
 */
#include "milter_loop.h"

#include <libmilter/mfapi.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "milter_daemon.h"
#include "milter_log.h"

namespace {

// Waits for signals; returns at SIGTERM or SIGINT. `reloading` must
// outlive the reload threads, which are never joined.
void TakeSignals(Filter& filter, const MainOptions& o, const sigset_t& signals,
                 std::atomic<bool>& reloading) {
    for (;;) {
        int sig = 0;
        if (sigwait(&signals, &sig) != 0)
            continue;
        if (sig != SIGHUP)
            return;
        if (reloading.exchange(true)) {
            Log(false, "a reload is already running");
            continue;
        }
        std::thread([&filter, &reloading, &o] {
            ReloadMilter(filter, o);
            reloading = false;
        }).detach();
    }
}

[[noreturn]] void Stop(Filter& filter, const MainOptions& o, const std::string& socket,
                       std::thread& milter, const std::atomic<bool>& milterEnded) {
    Log(false, "stopping");
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

void ReloadMilter(Filter& filter, const MainOptions& o) {
    MilterKeys keys;
    MilterSettings fresh;
    std::vector<std::string> errors;
    if (LoadMilterSettings(o.common.configFile, o.common.overrides, keys, fresh, errors)) {
        filter.config.Reload(fresh, std::move(keys));
        Log(false, "reloaded the milter settings");
    } else {
        for (const std::string& e : errors)
            Log(true, e);
        Log(true, "configuration reload refused, the old settings stay");
    }
    std::string refused;
    if (filter.pool->Reload(refused)) {
        Log(false,
            o.spamListFile.empty() ? "reloaded the rules" : "reloaded the rules and the spam list");
        // New checking processes read the same files: only now can they start.
        filter.pool->RequestRenewal("SIGHUP");
    } else {
        Log(true, "reload refused, the old rules and spam list stay: " + refused);
        Log(true, "the engine is not reloaded either: its checking processes read those files");
    }
}

void RunMilter(Filter& filter, const MainOptions& o, const std::string& socket,
               const sigset_t& signals) {
    // Both live until the exit: this function does not return.
    std::atomic<bool> milterEnded{false};
    std::atomic<bool> reloading{false};
    std::thread milter([&milterEnded] {
        smfi_main();
        milterEnded = true;
        ::kill(::getpid(), SIGTERM);  // wakes the main thread
    });
    TakeSignals(filter, o, signals, reloading);
    Stop(filter, o, socket, milter, milterEnded);
}
