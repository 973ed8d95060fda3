/*
 * child_runner.cpp - spawning, watching and reaping the notices and hooks.
 */
#include "child_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// How often the reaper looks at its children while any runs.
constexpr auto REAP_INTERVAL = std::chrono::milliseconds(20);

class Fd {
  public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    void Close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

  private:
    int m_fd;
};

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (const std::string& s : strings)
        p.push_back(const_cast<char*>(s.c_str()));
    p.push_back(nullptr);
    return p;
}

}  // namespace

ChildRunner::ChildRunner(LogFn log) : m_log(std::move(log)) {}

ChildRunner::~ChildRunner() {
    Drain();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_reaper.joinable())
        m_reaper.join();
}

bool ChildRunner::Start(const ChildJob& job, int limit, std::string& error) {
    if (job.argv.empty() || job.argv[0].empty() || job.argv[0][0] != '/') {
        error = "the program needs an absolute path";
        return false;
    }
    if (job.input.size() > CHILD_INPUT_MAX) {
        error = "input of " + std::to_string(job.input.size()) + " bytes is over " +
                std::to_string(CHILD_INPUT_MAX);
        return false;
    }
    std::unique_lock<std::mutex> hold(m_lock);
    if (static_cast<int>(m_children.size()) >= limit) {
        error = std::to_string(m_children.size()) + " already running (Milter.MaxChildren)";
        return false;
    }
    int pair[2] = {-1, -1};
    if (!job.input.empty() && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    Fd ours(pair[0]), theirs(pair[1]);
    if (ours.Get() >= 0) {
        const int size = static_cast<int>(CHILD_INPUT_MAX * 2);
        ::setsockopt(ours.Get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    if (theirs.Get() >= 0)
        posix_spawn_file_actions_adddup2(&files, theirs.Get(), 0);
    else
        posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    // libmilter's sockets to the MTA are not close-on-exec: a child that
    // kept one would hold the MTA's connection open after the milter's end.
    posix_spawn_file_actions_addclosefrom_np(&files, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    std::vector<char*> argv = Pointers(job.argv), env = Pointers(job.env);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &files, &attr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        error = job.argv[0] + ": " + std::strerror(rc);
        return false;
    }
    theirs.Close();
    if (ours.Get() >= 0) {
        const ssize_t sent =
            ::send(ours.Get(), job.input.data(), job.input.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent != static_cast<ssize_t>(job.input.size()))
            m_log(true, job.label + ": its input could not be handed over whole");
    }
    m_children.push_back(
        {pid, job.label,
         std::chrono::steady_clock::now() + std::chrono::seconds(job.timeoutSeconds),
         job.timeoutSeconds});
    if (!m_reaper.joinable())
        m_reaper = std::thread([this] { Reap(); });
    hold.unlock();
    m_changed.notify_all();
    return true;
}

int ChildRunner::Running() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return static_cast<int>(m_children.size());
}

void ChildRunner::Drain() {
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait(hold, [this] { return m_children.empty(); });
}

void ChildRunner::Reap() {
    std::unique_lock<std::mutex> hold(m_lock);
    while (!m_stop) {
        if (m_children.empty()) {
            m_changed.wait(hold, [this] { return m_stop || !m_children.empty(); });
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        std::vector<std::pair<bool, std::string>> ended;
        for (std::size_t i = 0; i < m_children.size();) {
            Child& c = m_children[i];
            int status = 0;
            const pid_t got = ::waitpid(c.pid, &status, WNOHANG);
            if (got == 0) {
                if (!c.killed && now >= c.deadline) {
                    ::kill(-c.pid, SIGKILL);
                    c.killed = true;
                }
                ++i;
                continue;
            }
            std::string line = c.label + ": ";
            bool bad = true;
            if (got < 0)
                line += std::string("lost: ") + std::strerror(errno);
            else if (c.killed)
                line += "timed out after " + std::to_string(c.timeoutSeconds) + " s, killed";
            else if (WIFEXITED(status)) {
                bad = WEXITSTATUS(status) != 0;
                line += "exit status " + std::to_string(WEXITSTATUS(status));
            } else
                line += "killed by signal " + std::to_string(WTERMSIG(status));
            ended.emplace_back(bad, line);
            m_children.erase(m_children.begin() + static_cast<std::ptrdiff_t>(i));
        }
        if (!ended.empty()) {
            hold.unlock();
            for (const auto& [bad, line] : ended)
                m_log(bad, line);
            m_changed.notify_all();
            hold.lock();
            continue;
        }
        m_changed.wait_for(hold, REAP_INTERVAL, [this] { return m_stop; });
    }
}
