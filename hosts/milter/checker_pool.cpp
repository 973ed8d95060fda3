/*
 * checker_pool.cpp - starting, feeding, restarting and renewing the
 * checking processes (POSIX).
 */
#include "checker_pool.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "checker_loader.h"
#include "milter_metrics.h"

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

std::string Seconds(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s",
                  std::chrono::duration_cast<std::chrono::duration<double>>(d).count());
    return text;
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

bool CheckerPool::Spawn(Process& p, std::string& error) {
    std::shared_ptr<LoaderLink> loader;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        loader = m_loader;
    }
    pid_t pid = -1;
    int fd = -1;
    const bool forked = loader && loader->Fork(pid, fd, error);
    if (!loader)
        error = "no engine loader";
    std::lock_guard<std::mutex> hold(m_lock);
    if (!forked) {
        p.ended = true;
        return false;
    }
    p.pid = pid;
    p.fd = fd;
    return true;
}

void CheckerPool::Reap(Slot& slot, Process& p, bool killFirst) {
    pid_t pid;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        pid = p.pid;
    }
    if (pid <= 0)
        return;
    if (killFirst)
        ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> hold(m_lock);
    p.pid = -1;
    // A process that a renewal retired ends as it should.
    const bool expected = m_stopping || slot.current.get() != &p;
    if (!expected || status != 0)
        m_log(!expected, "checking process " + std::to_string(slot.index) + " (pid " +
                             std::to_string(pid) + ") " + ExitText(status));
}

void CheckerPool::Serve(Slot& slot, Process& p) {
    char buf[CHECKER_MESSAGE_MAX];
    int fd;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        fd = p.fd;
    }
    while (fd >= 0) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
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
            p.ready = f.size() >= 2 && f[1] == "1";
            if (!p.ready)
                p.startError = "checking process " + std::to_string(slot.index) + ": " +
                               (f.size() >= 3 ? f[2] : "did not start");
            else
                slot.delayMs = RESTART_DELAY_MS;
            if (p.ready && f.size() >= 4 && !f[3].empty())
                p.signatures = std::strtoll(f[3].c_str(), nullptr, 10);
        } else if (f[0] == "L") {
            p.reloadAnswer = f.size() >= 3 ? f[1] + "\t" + f[2] : "0\tbad answer";
        } else {
            std::uint64_t id = 0;
            CheckResult r;
            if (DecodeDone(f, id, r)) {
                if (auto it = p.pending.find(id); it != p.pending.end()) {
                    it->second->result = r;
                    it->second->done = true;
                    p.pending.erase(it);
                }
            }
        }
        m_wake.notify_all();
    }
    {
        std::lock_guard<std::mutex> hold(m_lock);
        p.ready = false;
        p.ended = true;
        if (p.fd >= 0)
            ::close(p.fd);
        p.fd = -1;
        for (auto& [id, pending] : p.pending) {
            pending->result.kind = CheckResult::Kind::Died;
            pending->done = true;
        }
        p.pending.clear();
        if (p.reloadAnswer.empty())
            p.reloadAnswer = "0\tthe checking process ended";
        if (!m_stopping && slot.current.get() == &p && fd >= 0)
            ++m_restarts;
    }
    m_wake.notify_all();
}

void CheckerPool::Keep(Slot& slot, std::shared_ptr<Process> p) {
    BlockStopSignals();
    for (;;) {
        Serve(slot, *p);
        Reap(slot, *p, false);
        {
            std::unique_lock<std::mutex> hold(m_lock);
            if (m_stopping || slot.current != p)
                return;
            const int delay = slot.delayMs;
            m_wake.wait_for(hold, std::chrono::milliseconds(delay),
                            [&] { return m_stopping || slot.current != p; });
            if (m_stopping || slot.current != p)
                return;
            slot.delayMs = std::min(delay * 2, RESTART_DELAY_MAX_MS);
        }
        auto next = std::make_shared<Process>();
        std::string error;
        if (!Spawn(*next, error)) {
            m_log(true,
                  "cannot start checking process " + std::to_string(slot.index) + ": " + error);
            std::shared_ptr<LoaderLink> loader;
            {
                std::lock_guard<std::mutex> hold(m_lock);
                loader = m_loader;
            }
            if (!loader || !loader->Alive())
                RequestRenewal("the engine loader has ended");
        }
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_stopping || slot.current != p) {
                // A renewal took the place meanwhile: this one only ends.
                if (next->fd >= 0)
                    ::shutdown(next->fd, SHUT_WR);
            } else {
                slot.current = next;
            }
            m_processes.push_back(next);
        }
        p = next;
    }
}

void CheckerPool::StartThread(Slot& slot, std::shared_ptr<Process> p) {
    std::lock_guard<std::mutex> hold(m_lock);
    // Threads of processes that ended are joined here, so that renewals do
    // not pile them up; they take no lock once done.
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
    std::erase_if(m_processes, [](const std::weak_ptr<Process>& w) { return w.expired(); });
    m_processes.push_back(p);
    auto done = std::make_shared<std::atomic<bool>>(false);
    m_threads.push_back({std::thread([this, &slot, p, done] {
                             Keep(slot, p);
                             done->store(true);
                         }),
                         done});
}

bool CheckerPool::AwaitReady(const std::vector<std::shared_ptr<Process>>& fresh,
                             std::string& error) {
    std::unique_lock<std::mutex> hold(m_lock);
    const bool settled = m_wake.wait_for(hold, std::chrono::seconds(START_WAIT_SECONDS), [&] {
        if (m_stopping)
            return true;
        for (const auto& p : fresh) {
            if (p->ended || !p->startError.empty())
                return true;
        }
        return std::all_of(fresh.begin(), fresh.end(), [](const auto& p) { return p->ready; });
    });
    if (m_stopping) {
        error = "stopping";
        return false;
    }
    for (const auto& p : fresh) {
        if (!p->startError.empty()) {
            error = p->startError;
            return false;
        }
        if (p->ended) {
            error = "a checking process ended while it started";
            return false;
        }
    }
    if (!settled) {
        error = "the checking processes did not start in time";
        return false;
    }
    return true;
}

bool CheckerPool::Renew(std::string& error) {
    std::lock_guard<std::mutex> renewing(m_renewLock);
    const Clock::time_point began = Clock::now();
    auto loader = std::make_shared<LoaderLink>();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_stopping) {
            error = "stopping";
            return false;
        }
        m_newLoader = loader;
    }
    const bool started = loader->Start(m_exe, m_argv(), START_WAIT_SECONDS, error);
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_newLoader.reset();
    }
    if (!started) {
        CountEngineLoad(false, -1);
        return false;
    }
    std::vector<std::shared_ptr<Process>> fresh;
    bool forked = true;
    for (auto& slot : m_slots) {
        auto p = std::make_shared<Process>();
        pid_t pid = -1;
        int fd = -1;
        if (!loader->Fork(pid, fd, error)) {
            forked = false;
            break;
        }
        {
            std::lock_guard<std::mutex> hold(m_lock);
            p->pid = pid;
            p->fd = fd;
        }
        fresh.push_back(p);
        StartThread(*slot, p);
    }
    bool ready = forked && AwaitReady(fresh, error);
    std::shared_ptr<LoaderLink> old;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        ready = ready && !m_stopping;
        // The processes that take no place end: their threads see that.
        for (std::size_t i = 0; i < m_slots.size(); ++i) {
            Slot& slot = *m_slots[i];
            std::shared_ptr<Process> retired = ready ? slot.current : nullptr;
            if (!ready && i < fresh.size())
                retired = fresh[i];
            if (ready) {
                slot.current = fresh[i];
                slot.delayMs = RESTART_DELAY_MS;
            }
            if (retired && retired->fd >= 0)
                ::shutdown(retired->fd, SHUT_WR);
        }
        if (ready) {
            old = m_loader;
            m_loader = loader;
            ++m_renewals;
        }
    }
    m_wake.notify_all();
    if (!ready) {
        loader->Stop();
        CountEngineLoad(false, -1);
        return false;
    }
    long long signatures;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        signatures = fresh.empty() ? -1 : fresh.front()->signatures;
    }
    CountEngineLoad(true, signatures);
    if (old)
        old->Stop();
    m_log(false, "engine loaded and " + std::to_string(m_slots.size()) +
                     " checking process(es) in place after " + Seconds(Clock::now() - began));
    return true;
}

void CheckerPool::RequestRenewal(const std::string& why) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_stopping)
            return;
        m_renewWhy = m_renewWhy.empty() ? why : m_renewWhy + "; " + why;
    }
    m_wake.notify_all();
}

void CheckerPool::RenewalLoop() {
    BlockStopSignals();
    for (;;) {
        std::string why;
        {
            std::unique_lock<std::mutex> hold(m_lock);
            m_wake.wait(hold, [&] { return m_stopping || !m_renewWhy.empty(); });
            if (m_stopping)
                return;
            why.swap(m_renewWhy);
        }
        m_log(false, "loading a new engine (" + why + ")");
        std::string error;
        if (!Renew(error))
            m_log(true, "engine reload refused, the running engine stays: " + error);
    }
}

bool CheckerPool::Start(std::string& error) {
    m_renewer = std::thread([this] { RenewalLoop(); });
    if (Renew(error))
        return true;
    Stop();
    return false;
}

CheckResult CheckerPool::Check(const CheckRequest& request, int timeoutSeconds) {
    auto pending = std::make_shared<Pending>();
    std::shared_ptr<Process> chosen;
    CheckRequest r = request;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        for (auto& s : m_slots) {
            const std::shared_ptr<Process>& p = s->current;
            if (p && p->ready && (!chosen || p->pending.size() < chosen->pending.size()))
                chosen = p;
        }
        if (!chosen || m_stopping) {
            CheckResult busy;
            busy.kind = CheckResult::Kind::Refused;
            return busy;
        }
        r.id = m_nextId++;
        chosen->pending[r.id] = pending;
        const std::string message = EncodeRequest(r);
        if (::send(chosen->fd, message.data(), message.size(), MSG_NOSIGNAL) < 0) {
            chosen->pending.erase(r.id);
            CheckResult died;
            died.kind = CheckResult::Kind::Died;
            return died;
        }
    }
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_wake.wait_for(hold, std::chrono::seconds(timeoutSeconds), [&] { return pending->done; }))
        return pending->result;
    chosen->pending.erase(r.id);
    if (chosen->pid > 0) {
        m_log(true, "a checking process gave no answer in " + std::to_string(timeoutSeconds) +
                        " s; restarting it");
        ::kill(chosen->pid, SIGKILL);
    }
    CheckResult late;
    late.kind = CheckResult::Kind::TimedOut;
    return late;
}

bool CheckerPool::Reload(std::string& errors) {
    std::unique_lock<std::mutex> hold(m_lock);
    std::vector<std::shared_ptr<Process>> asked;
    for (auto& s : m_slots) {
        const std::shared_ptr<Process>& p = s->current;
        if (!p)
            continue;
        p->reloadAnswer.clear();
        if (p->ready && ::send(p->fd, "L", 1, MSG_NOSIGNAL) == 1)
            asked.push_back(p);
    }
    const bool answered = m_wake.wait_for(hold, std::chrono::seconds(RELOAD_WAIT_SECONDS), [&] {
        for (const auto& p : asked) {
            if (p->reloadAnswer.empty())
                return false;
        }
        return true;
    });
    if (!answered) {
        errors = "no answer to the reload";
        return false;
    }
    for (const auto& p : asked) {
        if (p->reloadAnswer.rfind("1\t", 0) != 0) {
            const std::size_t tab = p->reloadAnswer.find('\t');
            errors = tab == std::string::npos ? p->reloadAnswer : p->reloadAnswer.substr(tab + 1);
            return false;
        }
    }
    return true;
}

void CheckerPool::Stop() {
    std::vector<std::shared_ptr<Process>> live;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_stopping)
            return;
        m_stopping = true;
        // A loader still building its engine is given up at once.
        if (m_newLoader && m_newLoader->Pid() > 0)
            ::kill(m_newLoader->Pid(), SIGKILL);
        for (auto& s : m_slots) {
            if (s->current)
                live.push_back(s->current);
        }
        for (auto& t : m_processes) {
            if (auto p = t.lock())
                live.push_back(p);
        }
        for (auto& p : live) {
            if (p->fd >= 0)
                ::shutdown(p->fd, SHUT_WR);
        }
    }
    m_wake.notify_all();
    if (m_renewer.joinable())
        m_renewer.join();
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(STOP_WAIT_SECONDS);
    // A process ends when it sees the closed socket; one that does not
    // within the deadline is killed, which ends its thread's recv.
    for (auto& p : live) {
        while (Clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> hold(m_lock);
                if (p->fd < 0)
                    break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(RESTART_DELAY_MS / 4));
        }
        std::lock_guard<std::mutex> hold(m_lock);
        if (p->fd >= 0 && p->pid > 0)
            ::kill(p->pid, SIGKILL);
    }
    std::vector<Worker> threads;
    std::shared_ptr<LoaderLink> loader;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        threads.swap(m_threads);
        loader.swap(m_loader);
    }
    for (auto& t : threads) {
        if (t.thread.joinable())
            t.thread.join();
    }
    if (loader)
        loader->Stop();
}

int CheckerPool::Alive() const {
    std::lock_guard<std::mutex> hold(m_lock);
    int alive = 0;
    for (const auto& s : m_slots)
        alive += s->current != nullptr && s->current->ready && !s->current->ended ? 1 : 0;
    return alive;
}

std::size_t CheckerPool::Restarts() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_restarts;
}

std::size_t CheckerPool::Renewals() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_renewals;
}
