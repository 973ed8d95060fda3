/*
 * checker_pool.cpp - starting, feeding and restarting the checking
 * processes (POSIX).
 */
#include "checker_pool.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// Blocks the signals the main thread takes, for the calling thread.
void BlockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::string ExitText(int status) {
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("was killed by signal ") + std::to_string(WTERMSIG(status));
    return "ended";
}

}  // namespace

CheckerPool::CheckerPool(std::string exe, ArgvFn argv, int count, LogFn log)
    : m_exe(std::move(exe)), m_argv(std::move(argv)), m_log(std::move(log)) {
    for (int i = 0; i < count; ++i) {
        m_slots.push_back(std::make_unique<Slot>());
        m_slots.back()->index = i;
    }
}

CheckerPool::~CheckerPool() {
    Stop();
}

bool CheckerPool::Spawn(Slot& slot, std::string& error) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    const std::vector<std::string> args = m_argv(slot.index);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        ::close(pair[0]);
        ::close(pair[1]);
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        if (pair[1] == CHECKER_FD)
            ::fcntl(CHECKER_FD, F_SETFD, 0);
        else if (::dup2(pair[1], CHECKER_FD) < 0)
            ::_exit(127);
        ::syscall(SYS_close_range, CHECKER_FD + 1, ~0U, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(m_exe.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pair[1]);
    std::lock_guard<std::mutex> hold(m_lock);
    slot.pid = pid;
    slot.fd = pair[0];
    return true;
}

void CheckerPool::Reap(Slot& slot, bool killFirst) {
    pid_t pid;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        pid = slot.pid;
    }
    if (pid <= 0)
        return;
    if (killFirst)
        ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> hold(m_lock);
    slot.pid = -1;
    if (!m_stopping || status != 0)
        m_log(!m_stopping, "checking process " + std::to_string(slot.index) + " (pid " +
                               std::to_string(pid) + ") " + ExitText(status));
}

void CheckerPool::Run(Slot& slot) {
    BlockStopSignals();
    int delayMs = RESTART_DELAY_MS;
    char buf[CHECKER_MESSAGE_MAX];
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(m_lock);
            if (m_stopping)
                return;
        }
        std::string error;
        if (!Spawn(slot, error)) {
            m_log(true,
                  "cannot start checking process " + std::to_string(slot.index) + ": " + error);
        } else {
            for (;;) {
                const ssize_t n = ::recv(slot.fd, buf, sizeof buf, 0);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                const std::vector<std::string> f =
                    SplitFields(std::string_view(buf, static_cast<std::size_t>(n)));
                // A ready process may add a note ("ready; ..."), logged as it is.
                if (f[0] == "H" && f.size() >= 3 && f[1] == "1" && f[2] != "ready")
                    m_log(false, "checking process " + std::to_string(slot.index) + ": " + f[2]);
                std::lock_guard<std::mutex> hold(m_lock);
                if (f[0] == "H") {
                    slot.ready = f.size() >= 2 && f[1] == "1";
                    if (!slot.ready)
                        m_startError = "checking process " + std::to_string(slot.index) + ": " +
                                       (f.size() >= 3 ? f[2] : "did not start");
                    else
                        delayMs = RESTART_DELAY_MS;
                } else if (f[0] == "L") {
                    slot.reloadAnswer = f.size() >= 3 ? f[1] + "\t" + f[2] : "0\tbad answer";
                } else {
                    std::uint64_t id = 0;
                    CheckResult r;
                    if (DecodeDone(f, id, r)) {
                        if (auto it = slot.pending.find(id); it != slot.pending.end()) {
                            it->second->result = r;
                            it->second->done = true;
                            slot.pending.erase(it);
                        }
                    }
                }
                m_wake.notify_all();
            }
            {
                std::lock_guard<std::mutex> hold(m_lock);
                slot.ready = false;
                ::close(slot.fd);
                slot.fd = -1;
                for (auto& [id, p] : slot.pending) {
                    p->result.kind = CheckResult::Kind::Died;
                    p->done = true;
                }
                slot.pending.clear();
                if (slot.reloadAnswer.empty())
                    slot.reloadAnswer = "0\tthe checking process ended";
                ++m_restarts;
            }
            m_wake.notify_all();
            Reap(slot, false);
        }
        std::unique_lock<std::mutex> hold(m_lock);
        if (m_stopping)
            return;
        m_wake.wait_for(hold, std::chrono::milliseconds(delayMs), [&] { return m_stopping; });
        delayMs = std::min(delayMs * 2, RESTART_DELAY_MAX_MS);
    }
}

bool CheckerPool::Start(std::string& error) {
    for (auto& slot : m_slots) {
        Slot* s = slot.get();
        s->thread = std::thread([this, s] { Run(*s); });
    }
    std::unique_lock<std::mutex> hold(m_lock);
    const bool allReady = m_wake.wait_for(hold, std::chrono::seconds(START_WAIT_SECONDS), [&] {
        if (!m_startError.empty())
            return true;
        for (const auto& s : m_slots) {
            if (!s->ready)
                return false;
        }
        return true;
    });
    if (allReady && m_startError.empty())
        return true;
    error = !m_startError.empty() ? m_startError : "the checking processes did not start in time";
    hold.unlock();
    Stop();
    return false;
}

CheckResult CheckerPool::Check(const CheckRequest& request, int timeoutSeconds) {
    auto pending = std::make_shared<Pending>();
    Slot* slot = nullptr;
    CheckRequest r = request;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        for (auto& s : m_slots) {
            if (s->ready && (slot == nullptr || s->pending.size() < slot->pending.size()))
                slot = s.get();
        }
        if (slot == nullptr || m_stopping) {
            CheckResult busy;
            busy.kind = CheckResult::Kind::Refused;
            return busy;
        }
        r.id = m_nextId++;
        slot->pending[r.id] = pending;
        const std::string message = EncodeRequest(r);
        if (::send(slot->fd, message.data(), message.size(), MSG_NOSIGNAL) < 0) {
            slot->pending.erase(r.id);
            CheckResult died;
            died.kind = CheckResult::Kind::Died;
            return died;
        }
    }
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_wake.wait_for(hold, std::chrono::seconds(timeoutSeconds), [&] { return pending->done; }))
        return pending->result;
    slot->pending.erase(r.id);
    if (slot->pid > 0) {
        m_log(true, "checking process " + std::to_string(slot->index) + " gave no answer in " +
                        std::to_string(timeoutSeconds) + " s; restarting it");
        ::kill(slot->pid, SIGKILL);
    }
    CheckResult late;
    late.kind = CheckResult::Kind::TimedOut;
    return late;
}

bool CheckerPool::Reload(std::string& errors) {
    std::unique_lock<std::mutex> hold(m_lock);
    std::vector<Slot*> asked;
    for (auto& s : m_slots) {
        s->reloadAnswer.clear();
        if (s->ready && ::send(s->fd, "L", 1, MSG_NOSIGNAL) == 1)
            asked.push_back(s.get());
    }
    const bool answered = m_wake.wait_for(hold, std::chrono::seconds(RELOAD_WAIT_SECONDS), [&] {
        for (Slot* s : asked) {
            if (s->reloadAnswer.empty())
                return false;
        }
        return true;
    });
    if (!answered) {
        errors = "no answer to the reload";
        return false;
    }
    for (Slot* s : asked) {
        if (s->reloadAnswer.rfind("1\t", 0) != 0) {
            const std::size_t tab = s->reloadAnswer.find('\t');
            errors = tab == std::string::npos ? s->reloadAnswer : s->reloadAnswer.substr(tab + 1);
            return false;
        }
    }
    return true;
}

void CheckerPool::Stop() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_stopping)
            return;
        m_stopping = true;
        for (auto& s : m_slots) {
            if (s->fd >= 0)
                ::shutdown(s->fd, SHUT_WR);
        }
    }
    m_wake.notify_all();
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(STOP_WAIT_SECONDS);
    for (auto& s : m_slots) {
        // The process ends when it sees the closed socket; one that does not
        // within the deadline is killed, which ends the thread's recv.
        while (Clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> hold(m_lock);
                if (s->fd < 0)
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(RESTART_DELAY_MS / 4));
        }
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (s->fd >= 0 && s->pid > 0)
                ::kill(s->pid, SIGKILL);
        }
        if (s->thread.joinable())
            s->thread.join();
    }
}

int CheckerPool::Alive() const {
    std::lock_guard<std::mutex> hold(m_lock);
    int alive = 0;
    for (const auto& s : m_slots)
        alive += s->ready ? 1 : 0;
    return alive;
}

std::size_t CheckerPool::Restarts() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_restarts;
}
