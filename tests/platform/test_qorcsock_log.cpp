/*
 * test_qorcsock_log.cpp - debug channels, levels, the host's sink and the
 * channel limit of the support library's logging. Lines are read through a
 * LogCapture sink, never from stderr. Channel names carry the test's name
 * because channels live as long as the process.
 */
#include "qorcsock.h"
#include "qorcsock_capture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

void SetDebugEnv(const char* value) {
#ifdef _WIN32
    _putenv_s("QORCSOCK_DEBUG", value != nullptr ? value : "");
#else
    if (value != nullptr) {
        setenv("QORCSOCK_DEBUG", value, 1);
    } else {
        unsetenv("QORCSOCK_DEBUG");
    }
#endif
}

TEST(qorcsockLogChannels, HandlesSwitchesStarAndEnvironment) {
    SetDebugEnv(nullptr);
    int a = debug_gethandle("log.switch.a");
    int b = debug_gethandle("log.switch.b");
    ASSERT_GE(a, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(a, debug_gethandle("log.switch.a"));
    EXPECT_EQ(-1, debug_gethandle(nullptr));
    debug_enable("log.switch.a", 1);
    EXPECT_EQ(1, debug_enabled(a));
    EXPECT_EQ(0, debug_enabled(b));
    debug_enable("log.switch.a", 0);
    EXPECT_EQ(0, debug_enabled(a));
    EXPECT_EQ(0, debug_enabled(-1));
    EXPECT_EQ(0, debug_enabled(QORCSOCK_MAX_CHANNELS));
    // Enabling an unknown name creates it switched on.
    debug_enable("log.early", 1);
    EXPECT_EQ(1, debug_enabled(debug_gethandle("log.early")));
    debug_enable("log.early", 0);

    // '*' switches every channel, also later ones.
    debug_enable("*", 1);
    EXPECT_EQ(1, debug_enabled(b));
    EXPECT_EQ(1, debug_enabled(debug_gethandle("log.star.later")));
    debug_enable("*", 0);
    EXPECT_EQ(0, debug_enabled(b));
    EXPECT_EQ(0, debug_enabled(debug_gethandle("log.star.after")));

    // The environment names channels switched on when they are created.
    SetDebugEnv(" log.env.a ,log.env.b");
    int envA = debug_gethandle("log.env.a");
    int envB = debug_gethandle("log.env.b");
    int envC = debug_gethandle("log.env.c");
    int prefix = debug_gethandle("log.env");
    SetDebugEnv(nullptr);
    EXPECT_EQ(1, debug_enabled(envA));
    EXPECT_EQ(1, debug_enabled(envB));
    EXPECT_EQ(0, debug_enabled(envC));
    EXPECT_EQ(0, debug_enabled(prefix));
}

TEST(qorcsockLogChannels, ChannelLimitGivesMinusOnePastIt) {
    // Run in a child process: using up every channel would break later tests.
    EXPECT_EXIT(
        {
            int last = -1;
            for (int i = 0; i < QORCSOCK_MAX_CHANNELS + 10; ++i) {
                int h = debug_gethandle(("log.limit." + std::to_string(i)).c_str());
                if (h < 0)
                    break;
                last = h;
            }
            bool atLimit = last == QORCSOCK_MAX_CHANNELS - 1;
            bool pastLimit = debug_gethandle("log.limit.past") == -1;
            bool oldStillFound = debug_gethandle("log.limit.0") >= 0;
            std::exit(atLimit && pastLimit && oldStillFound ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(qorcsockLogLines, EachLevelReachesTheSinkWithItsChannel) {
    LogCapture cap;
    int on = debug_gethandle("log.lines.on");
    int off = debug_gethandle("log.lines.off");
    debug_enable("log.lines.on", 1);
    debugmsg(on, "CMimePart::Parse() - part %d of %s", 3, "mail");
    debug_enable("log.lines.on", 0);
    // The pointer is invalid: formatting it would crash, so this passes only
    // when a disabled line is dropped before its arguments are looked at.
    const char* poison = reinterpret_cast<const char*>(static_cast<uintptr_t>(16));
    debugmsg(off, "%s", poison);
    debugmsg(-1, "%s", poison);
    debugmsg(QORCSOCK_MAX_CHANNELS + 5, "%s", poison);
    infomsg("[MAILCHECK] [OK] [SECUREMAIL] [%d]", 7);
    errmsg("CMailWard::OnPop() - %s", "failed");
    bugmsg("mailhdr_parse_fld(%s): unsupported fldtype", "X-A");
    // A trailing line end is removed, inner ones are kept; a very long line
    // arrives whole.
    errmsg("first\nsecond\r\n");
    std::string big(200000, 'x');
    big.back() = 'y';
    errmsg("<%s>", big.c_str());
    std::vector<LoggedLine> lines = cap.Lines();
    const LoggedLine expect[] = {
        {"log.lines.on", QLOG_DEBUG, "CMimePart::Parse() - part 3 of mail"},
        {"", QLOG_INFO, "[MAILCHECK] [OK] [SECUREMAIL] [7]"},
        {"", QLOG_ERROR, "CMailWard::OnPop() - failed"},
        {"", QLOG_BUG, "mailhdr_parse_fld(X-A): unsupported fldtype"},
        {"", QLOG_ERROR, "first\nsecond"},
        {"", QLOG_ERROR, "<" + big + ">"},
    };
    ASSERT_EQ(std::size(expect), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(expect[i].channel, lines[i].channel) << i;
        EXPECT_EQ(expect[i].level, lines[i].level) << i;
        EXPECT_EQ(expect[i].text, lines[i].text) << i;
    }
}

void LoggingSink(const char*, int level, const char* line, void* user) {
    static_cast<std::vector<std::string>*>(user)->push_back(line);
    if (level == QLOG_ERROR) {
        // Logging and replacing the sink from inside the sink must neither
        // recurse nor deadlock.
        infomsg("nested line from the sink");
        qorcsock_set_log_sink(nullptr, nullptr);
    }
}

TEST(qorcsockLogSink, SinkThatLogsOrReplacesItselfIsSafeAndNullRestoresStderr) {
    std::vector<std::string> lines;
    qorcsock_set_log_sink(&LoggingSink, &lines);
    errmsg("outer");
    infomsg("still ours");
    qorcsock_set_log_sink(nullptr, nullptr);
    // The sink is gone: this goes to stderr and must not touch `lines`.
    errmsg("to stderr after the sink was removed");
    EXPECT_EQ((std::vector<std::string>{"outer", "still ours"}), lines);
}

TEST(qorcsockLogSink, ManyThreadsLogWholeLines) {
    LogCapture cap;
    const int kThreads = 4;
    const int kLines = 500;
    int h = debug_gethandle("log.threads");
    debug_enable("log.threads", 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, h] {
            for (int i = 0; i < kLines; ++i)
                debugmsg(h, "thread %d line %d", t, i);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    debug_enable("log.threads", 0);
    std::vector<LoggedLine> lines = cap.Lines();
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
    std::vector<int> perThread(kThreads, 0);
    for (const LoggedLine& line : lines) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(2, std::sscanf(line.text.c_str(), "thread %d line %d", &t, &i)) << line.text;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(perThread[t], i) << "lines of one thread arrive in order";
        perThread[t] = i + 1;
    }
}

}  // namespace
