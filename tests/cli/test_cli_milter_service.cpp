/*
 * test_cli_milter_service.cpp - mailward-milter as systemd runs it (a unit
 * of Type=notify): it says READY=1 once it listens, RELOADING=1 and READY=1
 * around a SIGHUP reload (a configuration with a typo refused with its line,
 * the old settings kept), STOPPING=1 on SIGTERM, and ends with status 0.
 * A SIGHUP that reaches any of its threads (libmilter's own signal thread,
 * which would take it as a stop, among them) is one reload, after which
 * the milter still answers on its socket. With Milter.MetricsAddress it
 * serves its metrics (scraped with a plain HTTP GET), and --ping asks it
 * on its socket. The service manager is a datagram socket of the test's
 * own.
 */
#include "cli_test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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

// A loopback port no one listens on now (the kernel's choice).
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// The answer to a plain HTTP GET of `path` on 127.0.0.1:`port` (status
// line, fields and body), or "" when none came within `ms`.
std::string HttpGet(int port, const std::string& path, int ms) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    std::string answer;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string request =
            "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buf[4096];
            pollfd p{fd, POLLIN, 0};
            ssize_t n;
            while (::poll(&p, 1, ms) == 1 && (n = ::read(fd, buf, sizeof buf)) > 0)
                answer.append(buf, static_cast<std::size_t>(n));
        }
    }
    if (fd >= 0)
        ::close(fd);
    return answer;
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

// The endpoint of Milter.MetricsAddress answers a scrape with the milter
// up, ready and its checking processes alive; --ping answers PONG from the
// live socket and fails with the reason on a dead one; an address that is
// not a loopback one stops the start.
TEST_F(CliMilterService, ServesMetricsAndAnswersAPing) {
    const std::string milter = std::string(MAILWARD_BINARY_DIR) + "/mailward-milter";
    if (!fs::exists(milter))
        GTEST_SKIP() << "mailward-milter is not built";
    ASSERT_TRUE(m_notify.Bound());
    const int port = FreePort();
    ASSERT_GT(port, 0);
    const std::string socket = m_sockets.Path("milter.sock");
    Start({"--foreground", "-s", "unix:" + socket, "-p", "2", "-O", "Milter.Engine=off", "-O",
           "Milter.MetricsAddress=127.0.0.1:" + std::to_string(port)});
    ASSERT_EQ(Next(START_MS).rfind("READY=1", 0), 0u) << Log();

    const std::string scrape = HttpGet(port, "/metrics", ANSWER_MS);
    ASSERT_EQ(scrape.rfind("HTTP/1.1 200", 0), 0u) << scrape << "\n--- log\n" << Log();
    ExpectAll(scrape, {"\r\n\r\n# HELP ", "# HELP mailward_milter_ready ",
                       "\nmailward_milter_ready 1\n", "\nmailward_milter_checking_processes 2\n",
                       "\nmailward_milter_messages_in_flight 0\n",
                       "\nmailward_milter_engine_loads_total{result=\"ok\"} 1\n",
                       "# TYPE mailward_milter_check_seconds histogram"});
    // No engine, no count.
    ExpectNone(scrape, {"mailward_milter_engine_signatures "});
    ExpectAll(Log(), {"metrics on http://127.0.0.1:" + std::to_string(port) + "/metrics"});

    const RunResult live = Run({}, "", ShellQuote(milter) + " --ping unix:" + ShellQuote(socket));
    EXPECT_EQ(live.status, 0) << live;
    EXPECT_EQ(live.out.rfind("PONG (unix:" + socket + ", milter protocol 6, ", 0), 0u) << live;
    const std::string dead = m_sockets.Path("nobody.sock");
    const RunResult none = Run({}, "", ShellQuote(milter) + " --ping " + ShellQuote(dead));
    EXPECT_EQ(none.status, 1) << none;
    EXPECT_EQ(none.err, "mailward-milter: ping " + dead + ": no such socket\n") << none;

    ASSERT_EQ(::kill(m_pid, SIGTERM), 0);
    EXPECT_EQ(Wait(ANSWER_MS), 0) << Log();
    // A socket file no one listens on any more: refused.
    const RunResult gone = Run({}, "", ShellQuote(milter) + " --ping unix:" + ShellQuote(socket));
    EXPECT_EQ(gone.status, 1) << gone;

    const RunResult wide =
        Run({}, "",
            ShellQuote(milter) + " --foreground -s unix:" + ShellQuote(socket) +
                " -O Milter.Engine=off -O Milter.MetricsAddress=0.0.0.0:" + std::to_string(port));
    EXPECT_EQ(wide.status, 2) << wide;
    EXPECT_TRUE(Contains(wide.err, "Milter.MetricsAddress = '0.0.0.0:" + std::to_string(port) +
                                       "': '0.0.0.0' is not a loopback address"))
        << wide;
}

}  // namespace
}  // namespace clitest
