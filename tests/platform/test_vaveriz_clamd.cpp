/*
 * test_vaveriz_clamd.cpp - the clamd back end (Engine = clamd) against real
 * clamd daemons the tests start (Debian's clamav-daemon; skipped where
 * /usr/sbin/clamd is missing), each in the foreground with a configuration
 * of its own: the project's signature folder as its database, a unix
 * socket in a scratch folder, StreamMaxLength 1M, AlertExceedsMax on.
 * Covered: findings and clean data, in a file and in memory, and a mail
 * clamd unpacks itself; the stream limits (clamd's own answer and
 * ClamdStreamMaxLength before sending); a clamd that is killed while the
 * data streams, one that never answers (stopped), one that is not there;
 * failover to the next socket and scans in turn over two sockets (one of
 * them a stand-in that answers every stream with a fixed text, also an
 * ERROR text, which must not pass for clean).
 */
#if !defined(_WIN32)

#include "miralib/miralib.h"
#include "pf_scratch.h"
#include "qorcsock_capture.h"
#include "vaveriz/vaveriz.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* CLAMD = "/usr/sbin/clamd";
// clamd's StreamMaxLength in the tests' configuration.
constexpr std::size_t CLAMD_STREAM_LIMIT = 1024 * 1024;
constexpr int CLAMD_START_WAIT_MS = 30000;

std::string EicarText() {
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!" +
           "$H+H*";
}

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// One clamd in the foreground, with its socket at `socket`.
class Clamd {
  public:
    Clamd(const pftest::Scratch& scratch, const std::string& name)
        : m_socket(scratch.Path(name + ".sock")), m_config(scratch.Path(name + ".conf")) {
        const std::string tmp = scratch.Path(name + "-tmp");
        std::filesystem::create_directories(tmp);
        pftest::WriteFile(m_config, "Foreground yes\nLocalSocket " + m_socket +
                                        "\nDatabaseDirectory " MAILWARD_SOURCE_DIR
                                        "/share/signatures\nStreamMaxLength 1M\n"
                                        "AlertExceedsMax yes\nTemporaryDirectory " +
                                        tmp + "\nLogFile " + scratch.Path(name + ".log") + "\n");
    }
    ~Clamd() { Stop(); }

    // Starts clamd and waits for its socket; false when it did not come.
    bool Start() {
        std::error_code ec;
        std::filesystem::remove(m_socket, ec);
        m_pid = ::fork();
        if (m_pid == 0) {
            // Its start-up lines go to its log file, not into the test's output.
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, 1);
            ::dup2(quiet, 2);
            ::execl(CLAMD, CLAMD, "-c", m_config.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int waited = 0; waited < CLAMD_START_WAIT_MS; waited += 20) {
            if (Answers())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    void Signal(int sig) const { ::kill(m_pid, sig); }
    void Stop() {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGCONT);
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    const std::string& Socket() const { return m_socket; }

  private:
    bool Answers() const {
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, m_socket.c_str(), sizeof a.sun_path - 1);
        const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                        ::send(s, "zPING", 6, MSG_NOSIGNAL) == 6;
        char answer[16] = {};
        const bool pong =
            ok && ::recv(s, answer, sizeof answer - 1, 0) > 0 && std::string(answer) == "PONG";
        ::close(s);
        return pong;
    }

    std::string m_socket;
    std::string m_config;
    pid_t m_pid = -1;
};

// A stand-in on a unix socket: reads each connection's whole stream and
// answers `answer`; counts the connections.
class StandIn {
  public:
    StandIn(std::string path, std::string answer)
        : m_path(std::move(path)), m_answer(std::move(answer)) {
        m_listen = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, m_path.c_str(), sizeof a.sun_path - 1);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_listen, 8);
        m_thread = std::thread([this] { Serve(); });
    }
    ~StandIn() {
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
        m_thread.join();
    }
    int Connections() const { return m_connections.load(); }

  private:
    void Serve() {
        for (;;) {
            const int c = ::accept(m_listen, nullptr, nullptr);
            if (c < 0)
                return;
            std::string command;
            char ch = 1;
            while (::recv(c, &ch, 1, 0) == 1 && ch != '\0')
                command += ch;
            if (command == "zVERSION") {
                ::send(c, "ClamAV stand-in", 16, MSG_NOSIGNAL);
            } else {
                ++m_connections;
                ReadStream(c);
                ::send(c, m_answer.c_str(), m_answer.size() + 1, MSG_NOSIGNAL);
            }
            ::close(c);
        }
    }
    // The chunks of a stream up to the one of length 0.
    static void ReadStream(int c) {
        for (;;) {
            unsigned char head[4];
            if (::recv(c, head, 4, MSG_WAITALL) != 4)
                return;
            std::size_t length = (std::size_t{head[0]} << 24) | (std::size_t{head[1]} << 16) |
                                 (std::size_t{head[2]} << 8) | head[3];
            if (length == 0)
                return;
            std::vector<char> body(length);
            if (::recv(c, body.data(), length, MSG_WAITALL) != static_cast<ssize_t>(length))
                return;
        }
    }

    std::string m_path;
    std::string m_answer;
    int m_listen = -1;
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};

class VaverizClamd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(CLAMD, X_OK) != 0)
            GTEST_SKIP() << CLAMD << " is missing (Debian package clamav-daemon)";
        m_clamd = std::make_unique<Clamd>(m_scratch, "clamd-a");
        ASSERT_TRUE(m_clamd->Start()) << "clamd did not start";
        miraconf_reset();
        Use(m_clamd->Socket());
    }
    void TearDown() override {
        AV_Exit();
        miraconf_reset();
    }
    void Use(const std::string& sockets) {
        ASSERT_EQ(0, miraconf_set("Engine", "clamd"));
        ASSERT_EQ(0, miraconf_set("ClamdSocket", sockets.c_str()));
    }
    int Buffer(const std::string& data) { return AV_CheckBuffer(data.data(), data.size(), "data"); }

    pftest::Scratch m_scratch;
    std::unique_ptr<Clamd> m_clamd;
};

TEST_F(VaverizClamd, FindsAndPassesFilesDataAndMails) {
    ASSERT_EQ(0, AV_Init());
    const std::string version = AV_GetEngineVersion(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_TRUE(StartsWith(version, "ClamAV ")) << version;
    EXPECT_NE(version.find(" via clamd"), std::string::npos) << version;

    EXPECT_EQ(AV_RESULT_VIRUS, Buffer(EicarText()));
    EXPECT_TRUE(StartsWith(AV_GetLastVirusName(), "Mailward.Test.EICAR")) << AV_GetLastVirusName();
    EXPECT_EQ(AV_RESULT_CLEAN, Buffer("Hello,\r\nnothing to see here.\r\n"));
    EXPECT_EQ(AV_FAILURE_NONE, AV_GetLastFailure());

    const std::string file = m_scratch.Path("eicar.com");
    ASSERT_TRUE(pftest::WriteFile(file, "head " + EicarText() + " tail"));
    EXPECT_EQ(AV_RESULT_VIRUS, AV_CheckFile(file.c_str()));
    // clamd unpacks the mail itself: the finding is in a base64 attachment.
    const std::string mail = MAILWARD_SOURCE_DIR "/share/examples/mails/02-eicar-attachment.eml";
    EXPECT_EQ(AV_RESULT_VIRUS, AV_CheckFile(mail.c_str()));
    const std::string clean = MAILWARD_SOURCE_DIR "/share/examples/mails/01-clean.eml";
    EXPECT_EQ(AV_RESULT_CLEAN, AV_CheckFile(clean.c_str()));
    EXPECT_EQ(AV_RESULT_FAILED, AV_CheckFile(m_scratch.Path("missing").c_str()));
}

TEST_F(VaverizClamd, DataAboveTheStreamLimitIsALimitNeverClean) {
    // clamd's own StreamMaxLength: it answers "size limit exceeded" and
    // closes while the data still streams.
    ASSERT_EQ(0, miraconf_set("ClamdStreamMaxLength", "10485760"));
    ASSERT_EQ(0, AV_Init());
    LogCapture log;
    const std::string big(2 * CLAMD_STREAM_LIMIT, 'a');
    EXPECT_EQ(AV_RESULT_FAILED, Buffer(big));
    EXPECT_EQ(AV_FAILURE_LIMIT, AV_GetLastFailure());
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "stopped at a limit: clamd's StreamMaxLength"));
    // Data just below the limit is scanned as usual.
    EXPECT_EQ(AV_RESULT_CLEAN, Buffer(std::string(CLAMD_STREAM_LIMIT - 4096, 'a')));

    // ClamdStreamMaxLength below the data: nothing is sent at all.
    ASSERT_EQ(0, miraconf_set("ClamdStreamMaxLength", "1000"));
    ASSERT_EQ(0, AV_Init());
    const std::string over = std::string(1001, 'a') + EicarText();
    EXPECT_EQ(AV_RESULT_FAILED, Buffer(over));
    EXPECT_EQ(AV_FAILURE_LIMIT, AV_GetLastFailure());
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "stopped at a limit: ClamdStreamMaxLength (" +
                                             std::to_string(over.size()) + " bytes)"));
    EXPECT_EQ(AV_RESULT_VIRUS, Buffer(EicarText()));
}

TEST_F(VaverizClamd, AClamdKilledMidStreamOrSilentFailsTheScan) {
    ASSERT_EQ(0, miraconf_set("ClamdTimeout", "1"));
    ASSERT_EQ(0, miraconf_set("ClamdStreamMaxLength", "67108864"));
    ASSERT_EQ(0, AV_Init());
    LogCapture log;

    // Stopped, clamd takes the connection (its backlog) but never answers.
    m_clamd->Signal(SIGSTOP);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(AV_RESULT_FAILED, Buffer(EicarText()));
    EXPECT_EQ(AV_FAILURE_ERROR, AV_GetLastFailure());
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(900));
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "no clamd answered"));
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "no answer in time"));

    // Killed while 32 MB stream into it: the connection breaks off.
    const std::string big(32 * 1024 * 1024, 'b');
    int result = 0;
    int failure = 0;
    std::thread scan([&] {
        result = Buffer(big);
        failure = AV_GetLastFailure();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    m_clamd->Stop();
    scan.join();
    EXPECT_EQ(AV_RESULT_FAILED, result);
    EXPECT_EQ(AV_FAILURE_ERROR, failure);

    // Gone: neither a scan nor a new engine.
    EXPECT_EQ(AV_RESULT_FAILED, Buffer(EicarText()));
    EXPECT_EQ(-1, AV_Init());
    EXPECT_TRUE(log.Contains(QLOG_ERROR, "no clamd answers"));
}

TEST_F(VaverizClamd, FailsOverAndTakesTheSocketsInTurn) {
    // The first socket has no clamd: every scan goes on to the second.
    Use(m_scratch.Path("nobody.sock") + ", " + m_clamd->Socket());
    ASSERT_EQ(0, AV_Init());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(AV_RESULT_VIRUS, Buffer(EicarText())) << i;

    // In turn: the stand-in calls everything clean, so half the scans of a
    // test virus find it.
    StandIn standIn(m_scratch.Path("standin.sock"), "stream: OK");
    Use(m_clamd->Socket() + "," + m_scratch.Path("standin.sock"));
    ASSERT_EQ(0, AV_Init());
    int found = 0;
    for (int i = 0; i < 6; ++i)
        found += Buffer(EicarText()) == AV_RESULT_VIRUS ? 1 : 0;
    EXPECT_EQ(3, found);
    EXPECT_EQ(3, standIn.Connections());
}

TEST_F(VaverizClamd, AnErrorAnswerIsAFailureNeverClean) {
    for (const char* answer :
         {"stream: Can't allocate memory ERROR", "", "stream: FOUND", "something else entirely"}) {
        SCOPED_TRACE(answer);
        const std::string path = m_scratch.Path("err.sock");
        std::filesystem::remove(path);
        StandIn standIn(path, answer);
        // A new engine starts with the first socket. The answer is final:
        // the scan does not go on to the real clamd.
        Use(path + "," + m_clamd->Socket());
        ASSERT_EQ(0, AV_Init());
        EXPECT_EQ(AV_RESULT_FAILED, Buffer("harmless"));
        EXPECT_EQ(AV_FAILURE_ERROR, AV_GetLastFailure());
        EXPECT_EQ(1, standIn.Connections());
    }
}

}  // namespace

#endif
