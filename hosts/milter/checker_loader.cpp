/*
 * checker_loader.cpp - the loader process and the milter's link to it
 * (POSIX).
 */
#include "checker_loader.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "checker_pool.h"
#include "checker_protocol.h"
#include "milter_policy.h"

namespace {

void SendText(int fd, const std::string& message) {
    while (::send(fd, message.data(), message.size(), MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

// One message and the descriptor it carries (-1 when none); the length,
// 0 at the end of the connection, -1 on an error.
ssize_t ReceiveWithDescriptor(int fd, char* buf, std::size_t size, int& passed) {
    passed = -1;
    iovec io{buf, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    while ((n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            std::memcpy(&passed, CMSG_DATA(c), sizeof passed);
        }
    }
    return n;
}

bool SendWithDescriptor(int fd, const std::string& message, int passed) {
    iovec io{const_cast<char*>(message.data()), message.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &passed, sizeof passed);
    ssize_t n;
    while ((n = ::sendmsg(fd, &msg, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(message.size());
}

void NameProcess(const char* name) {
    ::prctl(PR_SET_NAME, name, 0, 0, 0);
}

// The loader's priority while it builds its engine, and the one its
// checking processes return to ("normal": the milter's); `lowered` when
// the loader runs at LOADER_NICE.
struct LoaderPriority {
    int normal = 0;
    bool lowered = false;
};
LoaderPriority g_priority;

// Lowers the loader's priority to LOADER_NICE when the checking processes
// it forks may raise theirs back to the milter's: as root, or when
// RLIMIT_NICE allows that value (a systemd unit's LimitNICE=); otherwise
// the loader keeps the milter's priority.
void LowerPriority() {
    errno = 0;
    const int normal = ::getpriority(PRIO_PROCESS, 0);
    if (errno != 0 || normal >= LOADER_NICE)
        return;
    rlimit limit{};
    const bool mayReturn =
        ::geteuid() == 0 ||
        (::getrlimit(RLIMIT_NICE, &limit) == 0 &&
         (limit.rlim_cur == RLIM_INFINITY || static_cast<rlim_t>(20 - normal) <= limit.rlim_cur));
    if (mayReturn && ::setpriority(PRIO_PROCESS, 0, LOADER_NICE) == 0)
        g_priority = {normal, true};
}

// The checking process forked from the loader: its socket becomes
// CHECKER_FD and it runs as if started on its own. Never returns.
[[noreturn]] void BecomeChecker(const CheckerOptions& o, const std::string& exeDir, int socket) {
    NameProcess(CHECKER_PROCESS_NAME);
    if (g_priority.lowered && ::setpriority(PRIO_PROCESS, 0, g_priority.normal) != 0)
        std::fprintf(stderr, "%s: cannot return to priority %d: %s\n", CHECKER_PROCESS_NAME,
                     g_priority.normal, std::strerror(errno));
    ::close(o.fd);  // the loader's socket
    if (socket != CHECKER_FD) {
        ::dup2(socket, CHECKER_FD);
        ::close(socket);
    }
    ::fcntl(CHECKER_FD, F_SETFD, 0);
    CheckerOptions own = o;
    own.fd = CHECKER_FD;
    const int status = RunChecker(own, exeDir);
    std::fflush(nullptr);
    std::_Exit(status);
}

// Forks a checking process with `socket` and answers request `request`.
void ForkChecker(const CheckerOptions& o, const std::string& exeDir, const std::string& request,
                 int socket) {
    int pidPipe[2];
    if (::pipe2(pidPipe, O_CLOEXEC) != 0) {
        SendText(o.fd, "F\t" + request + "\t0\tpipe: " + FieldText(std::strerror(errno)));
        return;
    }
    const pid_t middle = ::fork();
    if (middle == 0) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(pidPipe[0]);
            ::close(pidPipe[1]);
            BecomeChecker(o, exeDir, socket);
        }
        const ssize_t written = ::write(pidPipe[1], &pid, sizeof pid);
        std::_Exit(written == sizeof pid ? 0 : 1);
    }
    ::close(pidPipe[1]);
    if (middle < 0) {
        ::close(pidPipe[0]);
        SendText(o.fd, "F\t" + request + "\t0\tfork: " + FieldText(std::strerror(errno)));
        return;
    }
    pid_t pid = -1;
    ssize_t got;
    while ((got = ::read(pidPipe[0], &pid, sizeof pid)) < 0 && errno == EINTR) {
    }
    ::close(pidPipe[0]);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    // The middle process has ended: the checking process is the milter's now.
    if (got == sizeof pid && pid > 0)
        SendText(o.fd, "F\t" + request + "\t1\t" + std::to_string(pid));
    else
        SendText(o.fd, "F\t" + request + "\t0\tthe second fork failed");
}

// The configuration, the library and the engine; "" when all is ready,
// else the reason. A library without AV_Preload leaves the engine to each
// checking process (`note` says so).
std::string PrepareEngine(HostSession& session, const CheckerOptions& o, std::string& note) {
    session.InstallLog(o.common.verbosity);
    if (!session.Configure(o.common) || !session.LoadLibrary(o.common))
        return "set-up failed (see the lines above)";
    MilterSettings settings;
    std::vector<std::string> errors;
    if (!ReadMilterSettings(ConfigValue, settings, errors))
        return errors.front();
    note = "ready";
    if (!settings.engine)
        return "";
    if (session.Api().AV_Preload == nullptr) {
        note = "ready; the library cannot preload its engine: each checking process loads its own";
        return "";
    }
    if (session.Api().AV_Preload() != 0)
        return "the virus engine did not load (see the lines above)";
    return "";
}

}  // namespace

int RunLoader(const CheckerOptions& o, const std::string& exeDir) {
    NameProcess(LOADER_PROCESS_NAME);
    LowerPriority();
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    // Never destroyed: the process ends with _Exit, and its children carry
    // on with what it set up.
    auto* session = new HostSession(exeDir);
    std::string note;
    if (const std::string failure = PrepareEngine(*session, o, note); !failure.empty()) {
        SendText(o.fd, "H\t0\t" + FieldText(failure));
        std::fflush(nullptr);
        std::_Exit(EXIT_ERRORS);
    }
    SendText(o.fd, "H\t1\t" + FieldText(note));
    char buf[CHECKER_MESSAGE_MAX];
    for (;;) {
        int socket = -1;
        const ssize_t n = ReceiveWithDescriptor(o.fd, buf, sizeof buf, socket);
        if (n <= 0) {
            if (socket >= 0)
                ::close(socket);
            break;
        }
        const std::vector<std::string> f =
            SplitFields(std::string_view(buf, static_cast<std::size_t>(n)));
        if (f[0] == "F" && f.size() >= 2 && socket >= 0)
            ForkChecker(o, exeDir, f[1], socket);
        else if (f[0] == "F" && f.size() >= 2)
            SendText(o.fd, "F\t" + f[1] + "\t0\tno socket came with the request");
        if (socket >= 0)
            ::close(socket);
    }
    // The engine is not freed: freeing would write to pages the checking
    // processes still share.
    std::fflush(nullptr);
    std::_Exit(EXIT_CLEAN);
}

pid_t StartProgram(const std::string& exe, const std::vector<std::string>& args, int fd,
                   int childFd, std::string& error) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return -1;
    }
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        if (fd == childFd)
            ::fcntl(childFd, F_SETFD, 0);
        else if (::dup2(fd, childFd) < 0)
            ::_exit(127);
        ::syscall(SYS_close_range, childFd + 1, ~0U, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

LoaderLink::~LoaderLink() {
    Stop();
}

bool LoaderLink::Start(const std::string& exe, const std::vector<std::string>& argv,
                       int waitSeconds, std::string& error) {
    // The checking processes the loader forks twice come to this process.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    const pid_t pid = StartProgram(exe, argv, pair[1], CHECKER_FD, error);
    ::close(pair[1]);
    if (pid < 0) {
        ::close(pair[0]);
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_pid = pid;
        m_fd = pair[0];
    }
    pollfd p{pair[0], POLLIN, 0};
    int ready;
    while ((ready = ::poll(&p, 1, waitSeconds * 1000)) < 0 && errno == EINTR) {
    }
    char buf[CHECKER_MESSAGE_MAX];
    const ssize_t n = ready > 0 ? ::recv(pair[0], buf, sizeof buf, 0) : -1;
    if (n <= 0) {
        error = ready == 0 ? "the engine loader did not start in time"
                           : "the engine loader ended while it started";
        Stop();
        return false;
    }
    const std::vector<std::string> f =
        SplitFields(std::string_view(buf, static_cast<std::size_t>(n)));
    if (f[0] != "H" || f.size() < 3 || f[1] != "1") {
        error = "engine loader: " + (f.size() >= 3 ? f[2] : std::string("did not start"));
        Stop();
        return false;
    }
    return true;
}

bool LoaderLink::Fork(pid_t& pid, int& fd, std::string& error) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_fd < 0) {
        error = "no engine loader";
        return false;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    // Requests are numbered: an answer that came too late for its own
    // request is passed over.
    const std::string request = std::to_string(++m_requests);
    const bool sent = SendWithDescriptor(m_fd, "F\t" + request, pair[1]);
    ::close(pair[1]);
    if (!sent) {
        ::close(pair[0]);
        m_ended = true;
        error = "the engine loader has ended";
        return false;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(FORK_WAIT_SECONDS);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{m_fd, POLLIN, 0};
        int ready = 0;
        while (left > 0 && (ready = ::poll(&p, 1, static_cast<int>(left))) < 0 && errno == EINTR) {
        }
        char buf[CHECKER_MESSAGE_MAX];
        const ssize_t n = ready > 0 ? ::recv(m_fd, buf, sizeof buf, 0) : -1;
        if (n <= 0) {
            ::close(pair[0]);
            m_ended = m_ended || n == 0;
            error = n == 0 ? "the engine loader has ended" : "no answer from the engine loader";
            return false;
        }
        const std::vector<std::string> f =
            SplitFields(std::string_view(buf, static_cast<std::size_t>(n)));
        if (f[0] != "F" || f.size() < 4 || f[1] != request)
            continue;
        if (f[2] != "1") {
            ::close(pair[0]);
            error = "engine loader: " + f[3];
            return false;
        }
        pid = static_cast<pid_t>(std::strtol(f[3].c_str(), nullptr, 10));
        fd = pair[0];
        return true;
    }
}

void LoaderLink::Stop() {
    pid_t pid;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        pid = m_pid;
        m_pid = -1;
    }
    if (pid <= 0)
        return;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(STOP_WAIT_SECONDS);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(RESTART_DELAY_MS / 4));
    }
}

bool LoaderLink::Alive() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_fd >= 0 && !m_ended;
}

pid_t LoaderLink::Pid() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_pid;
}
