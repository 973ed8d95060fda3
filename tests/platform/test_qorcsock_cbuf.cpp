/*
 * test_qorcsock_cbuf.cpp - output buffers (growth, limit, close) and the
 * small system helpers of the support library (host name, error texts,
 * time).
 */
#include "qorcsock.h"
#include "qorcsock_capture.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

namespace {

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
    size_t len = std::strlen(name);
    EXPECT_GT(len, 0u);
    EXPECT_LE(len, static_cast<size_t>(QORCSOCK_HOSTNAME_MAX));
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        EXPECT_TRUE(std::isalnum(c) || c == '-' || c == '.' || c == '_') << name;
    }
    EXPECT_EQ(name, csock_hostname_ascii());
}

TEST(qorcsockMisc, ErrorTextsComeFromTheSystemPerThreadWithoutLineEnd) {
#ifdef _WIN32
    unsigned long notFound = 2;  // ERROR_FILE_NOT_FOUND
#else
    unsigned long notFound = ENOENT;
#endif
    std::string text = WINError2str(notFound);
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

TEST(qorcsockMisc, TimeIsNowAndStoredThroughThePointer) {
    time_t stored = 0, before = std::time(nullptr);
    time_t got = __time(&stored);
    EXPECT_EQ(got, stored);
    EXPECT_GE(got, before);
    EXPECT_LE(got, std::time(nullptr));
}

}  // namespace
