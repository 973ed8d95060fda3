/*
 * checker_pool.h - the milter's checking processes: forked from an engine
 * loader (checker_loader.h), each with one end of a socket pair as
 * descriptor 3, and spread over by the number of messages each has open.
 *
 * One thread per process owns its life: it waits for its "H", reads its
 * answers and hands each to the session waiting for it. When the process
 * ends, every message it had is answered "Died" (the session tempfails it;
 * the MTA keeps the mail) and the thread has the loader fork a new process
 * for its place, waiting RESTART_DELAY_MS (doubling up to
 * RESTART_DELAY_MAX_MS while starts keep failing) so that a process that
 * cannot start does not spin. A loader that has ended is replaced by a
 * renewal (below) when a process needs it.
 *
 * A message without an answer within its timeout is answered "TimedOut"
 * and its process is killed: the library checks one mail at a time, so
 * everything queued behind a hanging check would hang too.
 *
 * RENEWAL (a new signature database, or a loader that ended): a new loader
 * is started beside the running one and builds its engine; then a new
 * process is forked from it for every place, and once all of them said "H"
 * they take the places at once: new messages go to them, and each old
 * process, its socket shut for writing, answers the messages it has and
 * ends. Mail flows all the while: nothing is tempfailed. A new loader or
 * process that fails keeps the old ones as they are. Memory: the old and
 * the new engine while both are in use, the new one alone once the old
 * processes have ended (their loader ends as soon as the new one is in
 * place). RequestRenewal has it done on the pool's renewal thread, one at
 * a time (requests during a renewal make one more after it); its outcome
 * is logged and counted (CountEngineLoad, with the signature count the new
 * processes told: milter_metrics.h). Renew does it on the caller's thread.
 *
 * Threads of the pool block SIGHUP, SIGTERM and SIGINT; the milter's main
 * thread takes them.
 */
#ifndef MAILWARD_TOOLS_MILTER_CHECKER_POOL_H
#define MAILWARD_TOOLS_MILTER_CHECKER_POOL_H

#include <sys/types.h>

#include <atomic>
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

class LoaderLink;

constexpr int RESTART_DELAY_MS = 200;
constexpr int RESTART_DELAY_MAX_MS = 10000;
constexpr int START_WAIT_SECONDS = 120;
constexpr int STOP_WAIT_SECONDS = 10;
constexpr int RELOAD_WAIT_SECONDS = 60;
constexpr int CHECKER_FD = 3;

class CheckerPool {
  public:
    using LogFn = std::function<void(bool error, const std::string& line)>;
    // argv of the engine loader (argv[0] first).
    using ArgvFn = std::function<std::vector<std::string>()>;

    CheckerPool(std::string exe, ArgvFn argv, int count, LogFn log);
    ~CheckerPool();
    CheckerPool(const CheckerPool&) = delete;
    CheckerPool& operator=(const CheckerPool&) = delete;

    // Starts the loader and every process and waits until each said "H";
    // false with the first failure (everything is stopped again).
    bool Start(std::string& error);
    // Checks one message; blocks the calling session only.
    CheckResult Check(const CheckRequest& request, int timeoutSeconds);
    // Asks every process to reload its rules. False with the errors of the
    // first process that refused (a process keeps its old rules then).
    bool Reload(std::string& errors);
    // A renewal (see above), logged with `why`.
    void RequestRenewal(const std::string& why);
    bool Renew(std::string& error);
    // Closes the sockets, waits for the processes (killing them after
    // STOP_WAIT_SECONDS) and the loader.
    void Stop();

    int Count() const { return static_cast<int>(m_slots.size()); }
    // Processes that said "H" and have not ended since.
    int Alive() const;
    std::size_t Restarts() const;
    std::size_t Renewals() const;

  private:
    struct Pending {
        bool done = false;
        CheckResult result;
    };
    // One checking process; every member is guarded by m_lock.
    struct Process {
        pid_t pid = -1;
        int fd = -1;
        bool ready = false;
        bool ended = false;  // its socket closed (or it never started)
        std::string startError;
        long long signatures = -1;  // the engine's count, as its "H" told it
        std::map<std::uint64_t, std::shared_ptr<Pending>> pending;
        std::string reloadAnswer;  // "" while none
    };
    struct Slot {
        int index = 0;
        std::shared_ptr<Process> current;
        int delayMs = RESTART_DELAY_MS;
    };

    // Forks a process from the current loader into `p` (false: p->ended).
    bool Spawn(Process& p, std::string& error);
    // Runs `p` and its successors in `slot` for as long as `p` holds it.
    void Keep(Slot& slot, std::shared_ptr<Process> p);
    void Serve(Slot& slot, Process& p);
    void Reap(Slot& slot, Process& p, bool killFirst);
    void StartThread(Slot& slot, std::shared_ptr<Process> p);
    // Waits until each of `fresh` said "H" or ended; false with the reason.
    bool AwaitReady(const std::vector<std::shared_ptr<Process>>& fresh, std::string& error);
    void RenewalLoop();

    const std::string m_exe;
    const ArgvFn m_argv;
    const LogFn m_log;
    std::vector<std::unique_ptr<Slot>> m_slots;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::uint64_t m_nextId = 1;
    std::size_t m_restarts = 0;
    std::size_t m_renewals = 0;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::shared_ptr<LoaderLink> m_loader;             // guarded by m_lock
    std::shared_ptr<LoaderLink> m_newLoader;          // guarded by m_lock: one building its engine
    std::vector<Worker> m_threads;                    // guarded by m_lock
    std::vector<std::weak_ptr<Process>> m_processes;  // guarded by m_lock: all with a thread
    std::mutex m_renewLock;                           // one renewal at a time
    std::string m_renewWhy;                           // guarded by m_lock; "" while none is asked
    std::thread m_renewer;
};

#endif
