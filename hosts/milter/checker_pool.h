/*
 * checker_pool.h - the milter's checking processes: started by fork and
 * exec of the milter's own program, each with one end of a socket pair as
 * descriptor 3, and spread over by the number of messages each has open.
 *
 * One thread per process owns its life: it starts the process, waits for
 * its "H", reads its answers and hands each to the session waiting for it.
 * When the process ends, every message it had is answered "Died" (the
 * session tempfails it; the MTA keeps the mail) and the thread starts a new
 * process, waiting RESTART_DELAY_MS (doubling up to RESTART_DELAY_MAX_MS
 * while starts keep failing) so that a process that cannot start does not
 * spin.
 *
 * A message without an answer within its timeout is answered "TimedOut"
 * and its process is killed: the library checks one mail at a time, so
 * everything queued behind a hanging check would hang too.
 *
 * Threads of the pool block SIGHUP, SIGTERM and SIGINT; the milter's main
 * thread takes them.
 */
#ifndef MAILWARD_TOOLS_MILTER_CHECKER_POOL_H
#define MAILWARD_TOOLS_MILTER_CHECKER_POOL_H

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "checker_protocol.h"
#include "milter_policy.h"

constexpr int RESTART_DELAY_MS = 200;
constexpr int RESTART_DELAY_MAX_MS = 10000;
constexpr int START_WAIT_SECONDS = 120;
constexpr int STOP_WAIT_SECONDS = 10;
constexpr int RELOAD_WAIT_SECONDS = 60;
constexpr int CHECKER_FD = 3;

class CheckerPool {
  public:
    using LogFn = std::function<void(bool error, const std::string& line)>;
    // argv of checking process `index` (argv[0] first).
    using ArgvFn = std::function<std::vector<std::string>(int index)>;

    CheckerPool(std::string exe, ArgvFn argv, int count, LogFn log);
    ~CheckerPool();
    CheckerPool(const CheckerPool&) = delete;
    CheckerPool& operator=(const CheckerPool&) = delete;

    // Starts every process and waits until each said "H"; false with the
    // first failure (the processes are stopped again).
    bool Start(std::string& error);
    // Checks one message; blocks the calling session only.
    CheckResult Check(const CheckRequest& request, int timeoutSeconds);
    // Asks every process to reload its rules. False with the errors of the
    // first process that refused (a process keeps its old rules then).
    bool Reload(std::string& errors);
    // Closes the sockets, waits for the processes (killing them after
    // STOP_WAIT_SECONDS).
    void Stop();

    int Count() const { return static_cast<int>(m_slots.size()); }
    // Processes that said "H" and have not ended since.
    int Alive() const;
    std::size_t Restarts() const;

  private:
    struct Pending {
        bool done = false;
        CheckResult result;
    };
    struct Slot {
        int index = 0;
        pid_t pid = -1;
        int fd = -1;
        bool ready = false;
        int startFailures = 0;
        std::map<std::uint64_t, std::shared_ptr<Pending>> pending;
        std::string reloadAnswer;  // "" while none
        std::thread thread;
    };

    void Run(Slot& slot);
    bool Spawn(Slot& slot, std::string& error);
    void Reap(Slot& slot, bool killFirst);

    const std::string m_exe;
    const ArgvFn m_argv;
    const LogFn m_log;
    std::vector<std::unique_ptr<Slot>> m_slots;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::uint64_t m_nextId = 1;
    std::size_t m_restarts = 0;
    std::string m_startError;
};

#endif
