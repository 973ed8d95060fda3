/*
 * test_cli_milter_service.cpp - mailward-milter as systemd runs it (a unit
 * of Type=notify): it says READY=1 once it listens, RELOADING=1 and READY=1
 * around a SIGHUP reload (a configuration with a typo refused with its line,
 * the old settings kept), STOPPING=1 on SIGTERM, and ends with status 0.
 * A SIGHUP that reaches any of its threads (libmilter's own signal thread,
 * which would take it as a stop, among them) is one reload, after which
 * the milter still answers on its socket. The service manager is a
 * datagram socket of the test's own.
 */
#include "cli_test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include "support/notify_socket.h"

namespace clitest {
namespace {

// How long the milter may take to start (engine off) and to answer a signal.
constexpr int START_MS = 60000;
constexpr int ANSWER_MS = 20000;

// True when a milter listening on the unix socket `path` answers the
// protocol's option negotiation within `ms`.
bool Negotiates(const std::string& path, int ms) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    bool answered = false;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        // length, 'O', protocol version 6, all actions, all protocol steps
        unsigned char packet[17] = {0, 0, 0, 13,   'O', 0,    0,    0,   6,
                                    0, 0, 1, 0xff, 0,   0x1f, 0xff, 0xff};
        pollfd p{fd, POLLIN, 0};
        char reply[5];
        answered = ::write(fd, packet, sizeof packet) == static_cast<ssize_t>(sizeof packet) &&
                   ::poll(&p, 1, ms) == 1 && ::read(fd, reply, sizeof reply) == 5 &&
                   reply[4] == 'O';
    }
    if (fd >= 0)
        ::close(fd);
    return answered;
}

class CliMilterService : public CliTest {
  protected:
    void TearDown() override {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        CliTest::TearDown();
    }

    // Starts the milter in the foreground, its log in <scratch>/milter.log.
    void Start(const Strings& args) {
        const std::string milter = std::string(MAILWARD_BINARY_DIR) + "/mailward-milter";
        std::vector<std::string> argv = {milter};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::string log = (Dir() / "milter.log").string();
        const std::string notify = "NOTIFY_SOCKET=" + m_notify.Path();
        const std::string state = "XDG_STATE_HOME=" + (Dir() / "state").string();
        m_pid = ::fork();
        ASSERT_GE(m_pid, 0);
        if (m_pid == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::putenv(const_cast<char*>(notify.c_str()));
            ::putenv(const_cast<char*>(state.c_str()));
            std::vector<char*> raw;
            for (std::string& a : argv)
                raw.push_back(a.data());
            raw.push_back(nullptr);
            ::execv(raw[0], raw.data());
            ::_exit(127);
        }
    }

    std::string Next(int ms) { return m_notify.Next(ms); }

    // The milter's exit status, waiting up to `ms`; -1 when it still runs.
    int Wait(int ms) {
        for (int waited = 0; waited < ms; waited += 50) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(50 * 1000);
        }
        return -1;
    }

    std::string Log() { return ReadFile(Dir() / "milter.log"); }

    testkit::NotifySocket m_notify;
    testkit::ScratchDir m_sockets;  // a short folder: socket paths have at most 107 bytes
    pid_t m_pid = -1;
};

TEST_F(CliMilterService, TellsTheServiceManagerReadyReloadingAndStopping) {
    if (!fs::exists(std::string(MAILWARD_BINARY_DIR) + "/mailward-milter"))
        GTEST_SKIP() << "mailward-milter is not built";
    const fs::path conf = Dir() / "milter.conf";
    WriteFile(conf, "Milter.OnVirus = reject\n");
    ASSERT_TRUE(m_notify.Bound());
    const std::string socket = m_sockets.Path("milter.sock");
    Start({"--foreground", "-c", conf.string(), "-s", "unix:" + socket, "-p", "1", "-O",
           "Milter.Engine=off"});
    const std::string ready = Next(START_MS);
    ASSERT_EQ(ready.rfind("READY=1\nSTATUS=listening on unix:" + socket, 0), 0u)
        << ready << "\n--- log\n"
        << Log();
    EXPECT_TRUE(fs::exists(socket)) << "ready means listening";

    // A reload of a file with a typo keeps the old settings and says so.
    WriteFile(conf, "Milter.OnVirus = reject\nMilter.OnVirs = deliver\n");
    ASSERT_EQ(::kill(m_pid, SIGHUP), 0);
    EXPECT_EQ(Next(ANSWER_MS), "RELOADING=1\nSTATUS=reloading");
    EXPECT_EQ(Next(ANSWER_MS), "READY=1\nSTATUS=reloaded; 1 checking process(es)");
    ExpectAll(Log(), {"milter.conf:2: unknown key 'Milter.OnVirs' (did you mean "
                      "'Milter.OnVirus'?)",
                      "configuration reload refused, the old settings stay"});

    // Every thread gets a SIGHUP: the main thread reloads, the others hold
    // theirs blocked, and libmilter's listener does not stop.
    const fs::path tasks = "/proc/" + std::to_string(m_pid) + "/task";
    if (fs::exists(tasks)) {
        for (const fs::directory_entry& task : fs::directory_iterator(tasks))
            ::syscall(SYS_tgkill, m_pid, std::stoi(task.path().filename().string()), SIGHUP);
        EXPECT_EQ(Next(ANSWER_MS), "RELOADING=1\nSTATUS=reloading");
        EXPECT_EQ(Next(ANSWER_MS), "READY=1\nSTATUS=reloaded; 1 checking process(es)");
        EXPECT_TRUE(Negotiates(socket, ANSWER_MS)) << Log();
        EXPECT_EQ(Next(100), "") << "one reload, no stop";
    }

    ASSERT_EQ(::kill(m_pid, SIGTERM), 0);
    EXPECT_EQ(Next(ANSWER_MS), "STOPPING=1\nSTATUS=stopping");
    EXPECT_EQ(Wait(ANSWER_MS), 0) << Log();
    EXPECT_FALSE(fs::exists(socket)) << "the socket is removed at the stop";
}

}  // namespace
}  // namespace clitest
