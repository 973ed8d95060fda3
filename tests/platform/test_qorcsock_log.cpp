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

TEST(qorcsockLogChannels, SameNameGivesSameHandleOtherNamesOthers) {
    int a = debug_gethandle("log.channels.a");
    int b = debug_gethandle("log.channels.b");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(a, debug_gethandle("log.channels.a"));
    EXPECT_EQ(-1, debug_gethandle(nullptr));
}

TEST(qorcsockLogChannels, ChannelsStartOffAndSwitchOneByOne) {
    SetDebugEnv(nullptr);
    int a = debug_gethandle("log.switch.a");
    int b = debug_gethandle("log.switch.b");
    EXPECT_EQ(0, debug_enabled(a));
    debug_enable("log.switch.a", 1);
    EXPECT_EQ(1, debug_enabled(a));
    EXPECT_EQ(0, debug_enabled(b));
    debug_enable("log.switch.a", 0);
    EXPECT_EQ(0, debug_enabled(a));
    EXPECT_EQ(0, debug_enabled(-1));
    EXPECT_EQ(0, debug_enabled(QORCSOCK_MAX_CHANNELS));
}

TEST(qorcsockLogChannels, EnablingAnUnknownNameCreatesItSwitchedOn) {
    debug_enable("log.early", 1);
    EXPECT_EQ(1, debug_enabled(debug_gethandle("log.early")));
    debug_enable("log.early", 0);
}

TEST(qorcsockLogChannels, StarSwitchesAllChannelsAndLaterOnes) {
    SetDebugEnv(nullptr);
    int before = debug_gethandle("log.star.before");
    debug_enable("*", 1);
    EXPECT_EQ(1, debug_enabled(before));
    EXPECT_EQ(1, debug_enabled(debug_gethandle("log.star.later")));
    debug_enable("*", 0);
    EXPECT_EQ(0, debug_enabled(before));
    EXPECT_EQ(0, debug_enabled(debug_gethandle("log.star.after")));
}

TEST(qorcsockLogChannels, EnvironmentListNamesChannelsThatStartOn) {
    SetDebugEnv(" log.env.a ,log.env.b");
    int a = debug_gethandle("log.env.a");
    int b = debug_gethandle("log.env.b");
    int c = debug_gethandle("log.env.c");
    int prefix = debug_gethandle("log.env");
    SetDebugEnv(nullptr);
    EXPECT_EQ(1, debug_enabled(a));
    EXPECT_EQ(1, debug_enabled(b));
    EXPECT_EQ(0, debug_enabled(c));
    EXPECT_EQ(0, debug_enabled(prefix));
}

TEST(qorcsockLogChannels, ChannelLimitGivesMinusOnePastIt) {
    // Run in a child process: using up every channel would break later tests.
    EXPECT_EXIT(
        {
            int last = -1;
            for (int i = 0; i < QORCSOCK_MAX_CHANNELS + 10; ++i) {
                std::string name = "log.limit." + std::to_string(i);
                int h = debug_gethandle(name.c_str());
                if (h < 0) {
                    break;
                }
                last = h;
            }
            bool atLimit = last == QORCSOCK_MAX_CHANNELS - 1;
            bool pastLimit = debug_gethandle("log.limit.past") == -1;
            bool oldStillFound = debug_gethandle("log.limit.0") >= 0;
            std::exit(atLimit && pastLimit && oldStillFound ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(qorcsockLogLines, DebugLineReachesSinkWithChannelAndLevel) {
    LogCapture cap;
    int h = debug_gethandle("log.lines.on");
    debug_enable("log.lines.on", 1);
    debugmsg(h, "CMimePart::Parse() - part %d of %s", 3, "mail");
    debug_enable("log.lines.on", 0);
    std::vector<LoggedLine> lines = cap.Lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("log.lines.on", lines[0].channel);
    EXPECT_EQ(QLOG_DEBUG, lines[0].level);
    EXPECT_EQ("CMimePart::Parse() - part 3 of mail", lines[0].text);
}

TEST(qorcsockLogLines, DisabledChannelFormatsNothing) {
    LogCapture cap;
    int h = debug_gethandle("log.lines.off");
    // The pointer is invalid: formatting it would crash, so this passes only
    // when a disabled line is dropped before its arguments are looked at.
    const char* poison = reinterpret_cast<const char*>(static_cast<uintptr_t>(16));
    debugmsg(h, "%s", poison);
    debugmsg(-1, "%s", poison);
    debugmsg(QORCSOCK_MAX_CHANNELS + 5, "%s", poison);
    EXPECT_TRUE(cap.Lines().empty());
}

TEST(qorcsockLogLines, InfoErrorAndBugCarryTheirLevelsAndNoChannel) {
    LogCapture cap;
    infomsg("[MAILCHECK] [OK] [SECUREMAIL] [%d]", 7);
    errmsg("CMailWard::OnPop() - %s", "failed");
    bugmsg("mailhdr_parse_fld(%s): unsupported fldtype", "X-A");
    std::vector<LoggedLine> lines = cap.Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(QLOG_INFO, lines[0].level);
    EXPECT_EQ("[MAILCHECK] [OK] [SECUREMAIL] [7]", lines[0].text);
    EXPECT_EQ(QLOG_ERROR, lines[1].level);
    EXPECT_EQ("CMailWard::OnPop() - failed", lines[1].text);
    EXPECT_EQ(QLOG_BUG, lines[2].level);
    EXPECT_EQ("mailhdr_parse_fld(X-A): unsupported fldtype", lines[2].text);
    for (const LoggedLine& line : lines) {
        EXPECT_EQ("", line.channel);
    }
}

TEST(qorcsockLogLines, TrailingLineEndIsRemovedInnerOnesKept) {
    LogCapture cap;
    errmsg("first\nsecond\r\n");
    std::vector<LoggedLine> lines = cap.Lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("first\nsecond", lines[0].text);
}

TEST(qorcsockLogLines, VeryLongLineArrivesWhole) {
    LogCapture cap;
    std::string big(200000, 'x');
    big.back() = 'y';
    errmsg("<%s>", big.c_str());
    std::vector<LoggedLine> lines = cap.Lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("<" + big + ">", lines[0].text);
}

TEST(qorcsockLogSink, NullSinkRestoresDefaultAndOldSinkGetsNoMore) {
    std::vector<LoggedLine> seen;
    {
        LogCapture cap;
        errmsg("to the capture");
        seen = cap.Lines();
    }
    // The capture is gone: these go to stderr and must not touch it.
    errmsg("to stderr after the capture ended");
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("to the capture", seen[0].text);
}

void LoggingSink(const char*, int level, const char* line, void* user) {
    auto* lines = static_cast<std::vector<std::string>*>(user);
    lines->push_back(line);
    if (level == QLOG_ERROR) {
        // Logging and replacing the sink from inside the sink must neither
        // recurse nor deadlock.
        infomsg("nested line from the sink");
        qorcsock_set_log_sink(nullptr, nullptr);
    }
}

TEST(qorcsockLogSink, SinkThatLogsOrReplacesItselfIsSafe) {
    std::vector<std::string> lines;
    qorcsock_set_log_sink(&LoggingSink, &lines);
    errmsg("outer");
    infomsg("still ours");
    qorcsock_set_log_sink(nullptr, nullptr);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("outer", lines[0]);
    EXPECT_EQ("still ours", lines[1]);
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
            for (int i = 0; i < kLines; ++i) {
                debugmsg(h, "thread %d line %d", t, i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
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
