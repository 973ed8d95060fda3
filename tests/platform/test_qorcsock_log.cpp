/*
 * test_qorcsock_log.cpp - the support library's logging (debug channels,
 * levels, the host's sink, the channel limit), its output buffers (growth,
 * limit, close) and system helpers (host name, error texts). Channel names
 * carry the test's name because channels live as long as the process.
 */
#include "qorcsock/qorcsock.h"
#include "qorcsock_capture.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    for (int h : {a, -1, int(QORCSOCK_MAX_CHANNELS)})
        EXPECT_EQ(0, debug_enabled(h)) << h;
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
    EXPECT_EQ((std::vector<int>{1, 1, 0, 0}),
              (std::vector<int>{debug_enabled(envA), debug_enabled(envB), debug_enabled(envC),
                                debug_enabled(prefix)}));
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
        EXPECT_EQ(expect[i].channel + "|" + expect[i].text, lines[i].channel + "|" + lines[i].text);
        EXPECT_EQ(expect[i].level, lines[i].level) << i;
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
    const int kThreads = 4, kLines = 500;
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
        int t = -1, i = -1;
        ASSERT_EQ(2, std::sscanf(line.text.c_str(), "thread %d line %d", &t, &i)) << line.text;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(perThread[t], i) << "lines of one thread arrive in order";
        perThread[t] = i + 1;
    }
}

// ---- buffers and system helpers ------------------------------------------

TEST(qorcsockCbuf, CollectsWritesAndGrowsPastManyBlocks) {
    cbuf* buf = cbuf_alloc(0, -1, 8192, 0);
    ASSERT_NE(nullptr, buf);
    cbuf_describe(buf, "mailhdr_get_headersize");
    EXPECT_STREQ("", cbuf_data(buf));
    EXPECT_EQ(8, cbuf_printf(buf, "%s:", "Subject"));
    EXPECT_EQ(7, cbuf_printf(buf, " %s\r\n", "line"));
    EXPECT_EQ(0, cbuf_printf(buf, "%s", ""));
    EXPECT_STREQ("Subject: line\r\n", cbuf_data(buf));
    EXPECT_EQ(15u, cbuf_length(buf));
    // A closed buffer refuses writes but keeps its contents.
    cbuf_close(buf);
    EXPECT_EQ(-1, cbuf_printf(buf, "more"));
    EXPECT_STREQ("Subject: line\r\n", cbuf_data(buf));
    cbuf_free(buf);

    buf = cbuf_alloc(0, -1, 16, 0);
    ASSERT_NE(nullptr, buf);
    std::string expect;
    for (int i = 0; i < 20000; ++i) {
        ASSERT_GT(cbuf_printf(buf, "line %d\r\n", i), 0);
        expect += "line " + std::to_string(i) + "\r\n";
    }
    std::string big(100000, 'q');
    EXPECT_EQ(100000, cbuf_printf(buf, "%s", big.c_str()));
    expect += big;
    EXPECT_EQ(expect.size(), cbuf_length(buf));
    EXPECT_EQ(expect, std::string(cbuf_data(buf), cbuf_length(buf)));
    cbuf_free(buf);
}

TEST(qorcsockCbuf, LimitRefusesAWholeWriteAndLogsTheLabel) {
    LogCapture cap;
    cbuf* buf = cbuf_alloc(0, 10, 4, 0);
    ASSERT_NE(nullptr, buf);
    cbuf_describe(buf, "limited");
    EXPECT_EQ(6, cbuf_printf(buf, "%s", "123456"));
    EXPECT_EQ(-1, cbuf_printf(buf, "%s", "78901"));  // would pass the limit: nothing is kept
    EXPECT_EQ(4, cbuf_printf(buf, "%s", "7890"));    // exactly at the limit
    EXPECT_EQ(-1, cbuf_printf(buf, "%s", "x"));      // one past it
    EXPECT_STREQ("1234567890", cbuf_data(buf));
    EXPECT_EQ(10u, cbuf_length(buf));
    EXPECT_TRUE(cap.Contains(QLOG_ERROR, "limited"));
    cbuf_describe(buf, nullptr);  // dropping the label leaks nothing
    cbuf_free(buf);

    buf = cbuf_alloc(0, 0, 0, 0);  // a zero limit takes only empty writes
    ASSERT_NE(nullptr, buf);
    EXPECT_EQ(0, cbuf_printf(buf, "%s", ""));
    EXPECT_EQ(-1, cbuf_printf(buf, "a"));
    EXPECT_EQ(0u, cbuf_length(buf));
    cbuf_free(buf);

    EXPECT_EQ(nullptr, cbuf_alloc(0, -2, 8192, 0));
    EXPECT_EQ(-1, cbuf_printf(nullptr, "x"));
    EXPECT_STREQ("", cbuf_data(nullptr));
    EXPECT_EQ(0u, cbuf_length(nullptr));
    cbuf_describe(nullptr, "x");
    cbuf_close(nullptr);
    cbuf_free(nullptr);
}

TEST(qorcsockMisc, HostNameIsStablePlainAscii) {
    const char* name = csock_hostname_ascii();
    ASSERT_NE(nullptr, name);
    const std::string text = name;
    EXPECT_GT(text.size(), 0u);
    EXPECT_LE(text.size(), static_cast<size_t>(QORCSOCK_HOSTNAME_MAX));
    EXPECT_EQ(text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                     "0123456789-._"),
              std::string::npos)
        << text;
    EXPECT_EQ(name, csock_hostname_ascii());
}

TEST(qorcsockMisc, ErrorTextsComeFromTheSystemPerThreadWithoutLineEnd) {
#ifdef _WIN32
    std::string text = WINError2str(2);  // ERROR_FILE_NOT_FOUND
#else
    std::string text = WINError2str(ENOENT);
#endif
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(std::string::npos, text.find_first_of("\r\n"));
    std::string unknown = WINError2str(0xFFFFFFF0UL);
    EXPECT_FALSE(unknown.empty());
    EXPECT_NE(text, unknown);

    // The text lives in a buffer of the calling thread.
    const char* mine = WINError2str(1);
    std::string before = mine;
    std::thread([] { WINError2str(2); }).join();
    EXPECT_EQ(before, mine);
}

}  // namespace
