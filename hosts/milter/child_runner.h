/*
 * child_runner.h - programs the milter starts beside its answers (the
 * administrator's notices through sendmail, the site's hook), bounded and
 * watched, never waited for by the thread that starts them.
 *
 *   Start    starts `job` with posix_spawn: argv[0] an absolute path,
 *            exactly the environment given, stdin the job's input (or
 *            /dev/null), stdout /dev/null, stderr the milter's, no other
 *            descriptor of the milter's (an MTA connection); its own
 *            process group, default signal dispositions and no signal
 *            blocked (the milter's threads block theirs). The input goes
 *            through a socket pair whose buffer holds all of it
 *            (CHILD_INPUT_MAX), so writing it never waits for the child.
 *            False with the reason, and nothing started, when `limit`
 *            children already run, the input is too big, or the spawn
 *            failed. The caller's whole cost is one spawn.
 *   Running  children not yet reaped
 *   Drain    waits until none runs (each ends by itself or at its
 *            timeout); the destructor does the same
 *
 * One reaper thread, started with the first child, waits for each child
 * by its pid (never waitpid(-1): the checking processes are not its to
 * reap), kills the process group of one that outlives its timeout
 * (SIGKILL), and logs each end through `log`: "LABEL: exit status N",
 * "LABEL: killed by signal N", "LABEL: timed out after N s, killed"
 * (an error for any but status 0).
 *
 * THREADS: Start, Running and Drain may be called from any thread.
 */
#ifndef MAILWARD_HOSTS_MILTER_CHILD_RUNNER_H
#define MAILWARD_HOSTS_MILTER_CHILD_RUNNER_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

constexpr std::size_t CHILD_INPUT_MAX = 48 * 1024;

struct ChildJob {
    std::vector<std::string> argv;
    std::vector<std::string> env;  // "NAME=VALUE"
    std::string input;
    std::string label;  // names the child in the log: "notice 4XyZ"
    int timeoutSeconds = 30;
};

class ChildRunner {
  public:
    using LogFn = std::function<void(bool error, const std::string& line)>;
    explicit ChildRunner(LogFn log);
    ~ChildRunner();
    ChildRunner(const ChildRunner&) = delete;
    ChildRunner& operator=(const ChildRunner&) = delete;

    bool Start(const ChildJob& job, int limit, std::string& error);
    int Running() const;
    void Drain();

  private:
    struct Child {
        pid_t pid;
        std::string label;
        std::chrono::steady_clock::time_point deadline;
        int timeoutSeconds;
        bool killed = false;
    };
    void Reap();

    LogFn m_log;
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Child> m_children;
    bool m_stop = false;
    std::thread m_reaper;
};

#endif
