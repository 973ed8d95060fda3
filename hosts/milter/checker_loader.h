/*
 * checker_loader.h - one virus engine in memory for all checking processes.
 *
 * The loader is this program run again with --loader-fd: a process that
 * sets up the library's configuration, loads the library and has the engine
 * built (the library's optional AV_Preload) while it has a single thread, so
 * that libclamav reads its databases at full speed. It then forks the
 * checking processes on request; each runs RunChecker and adopts the engine
 * its loader built (the library's first AV_Init takes the preloaded engine),
 * so the compiled signatures are the same pages in every process: libclamav
 * only reads them. The loader never starts a thread, never checks a mail
 * and never frees its engine: it ends with _Exit when the milter closes its
 * socket, and the pages stay with the checking processes that still use
 * them.
 *
 * Each checking process is forked twice (the loader's child forks it and
 * ends at once), so that it becomes a child of the milter, which makes
 * itself the subreaper of its descendants (PR_SET_CHILD_SUBREAPER): the
 * milter waits for its checking processes and kills them by pid as before.
 * The loader answers with the pid only after the middle process ended, when
 * the checking process already belongs to the milter.
 *
 * A new signature database is a new loader: the milter starts one beside
 * the running one, forks a new set of checking processes from it once it
 * has built its engine, and retires the old ones (checker_pool.h).
 *
 * The loader runs at LOADER_NICE, the lowest priority, so that a new
 * engine built while mail flows takes only what the checking processes
 * leave of the cores; each checking process it forks returns to the
 * milter's priority at once. It lowers its priority only where that return
 * is allowed (root, or an RLIMIT_NICE that allows the milter's value: the
 * Debian unit sets LimitNICE=+0); elsewhere it keeps the milter's.
 *
 * Processes are named (PR_SET_NAME) LOADER_PROCESS_NAME and
 * CHECKER_PROCESS_NAME, so that ps and pgrep tell them apart.
 *
 * Messages over the loader's socket (SOCK_SEQPACKET, fields by TAB):
 *   loader -> milter  H ok text           started (ok 1: the engine is built,
 *                                         or no engine is wanted) or failed
 *   milter -> loader  F n                 fork a checking process (request
 *                                         number n); the message carries the
 *                                         process's end of its own socket
 *                                         pair (SCM_RIGHTS)
 *   loader -> milter  F n 1 pid           forked
 *                     F n 0 reason        not forked
 *
 * LoaderLink is the milter's end: Start (fork and exec of the loader, then
 * its "H", within `waitSeconds`), Fork (one checking process; serialised,
 * answered within FORK_WAIT_SECONDS), Stop (closes the socket and waits
 * for the loader, killing it after STOP_WAIT_SECONDS). Functions with
 * `error` return false with the reason in it.
 */
#ifndef MAILWARD_HOSTS_MILTER_CHECKER_LOADER_H
#define MAILWARD_HOSTS_MILTER_CHECKER_LOADER_H

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

#include "checker_process.h"

constexpr int FORK_WAIT_SECONDS = 10;
constexpr int LOADER_NICE = 19;
constexpr const char* LOADER_PROCESS_NAME = "mw-loader";
constexpr const char* CHECKER_PROCESS_NAME = "mw-checker";

// Runs the loader until the milter closes its socket (o.fd); the exit status.
int RunLoader(const CheckerOptions& o, const std::string& exeDir);

// Forks `exe` with `argv` and `fd` as descriptor `childFd` (every other
// descriptor above it closed, no signal blocked) and execs it; the pid, or
// -1 with the reason.
pid_t StartProgram(const std::string& exe, const std::vector<std::string>& argv, int fd,
                   int childFd, std::string& error);

class LoaderLink {
  public:
    LoaderLink() = default;
    ~LoaderLink();
    LoaderLink(const LoaderLink&) = delete;
    LoaderLink& operator=(const LoaderLink&) = delete;

    bool Start(const std::string& exe, const std::vector<std::string>& argv, int waitSeconds,
               std::string& error);
    // A new checking process: its pid and the milter's end of its socket
    // (close-on-exec).
    bool Fork(pid_t& pid, int& fd, std::string& error);
    void Stop();
    pid_t Pid() const;
    // False once the loader is known to have ended.
    bool Alive() const;

  private:
    mutable std::mutex m_lock;
    pid_t m_pid = -1;
    int m_fd = -1;
    unsigned long m_requests = 0;
    bool m_ended = false;
};

#endif
