/*
 * mime_test_util.h - helpers shared by the tests of the part tree: loading
 * from a string, what a part writes and decodes to, log capture, a fresh
 * folder per test, whole files, and fault injection through the file hooks.
 * The header field table is set up once for the whole program.
 */
#ifndef MAILWARD_TESTS_MIME_TEST_UTIL_H
#define MAILWARD_TESTS_MIME_TEST_UTIL_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mailhdr/mailhdr.h"
#include "support/test_files.h"
#include "mime/mimemessage.h"
#include "mime/mimeoutput.h"
#include "mime/mimepart.h"
#include "platform/qorcsock_capture.h"

namespace mime_test {

struct HeaderTableEnv : ::testing::Environment {
    void SetUp() override { mailhdr_init(); }
};
inline const auto* g_env = ::testing::AddGlobalTestEnvironment(new HeaderTableEnv);

inline int Load(CMimeMessage& msg, const std::string& text, bool bFull = true) {
    return msg.LoadMsgFromBuffer(text.data(), text.size(), bFull);
}

// What WriteTo writes, LF line ends.
inline std::string Written(CMimePart& part) {
    CMimeStringOutput out(false);
    EXPECT_TRUE(part.WriteTo(out));
    return out.Text();
}

// DecodeData as a string of the length it reports.
inline std::string Decoded(CMimePart& part) {
    std::int64_t n = -1;
    char* p = part.DecodeData(n);
    EXPECT_NE(nullptr, p);
    std::string s = p ? std::string(p, static_cast<std::size_t>(n)) : std::string();
    std::free(p);
    return s;
}

inline std::string Data(const CMimePart& part) {
    return part.GetData() ? std::string(part.GetData(), part.GetDataLength())
                          : std::string("<null>");
}

// Collects every log line while it lives, with the part tree's debug lines on.
class MimeLog : public LogCapture {
  public:
    MimeLog() : LogCapture("MAILWARD_Debug") {}
    bool Has(const std::string& text) { return ContainsAnyLevel(text); }
};

using TempDir = testkit::ScratchDir;

using testkit::ReadFile;
using testkit::WriteFile;

inline std::string CRLF(const std::string& lf) {
    std::string s;
    for (char c : lf)
        s += c == '\n' ? "\r\n" : std::string(1, c);
    return s;
}

// Fault injection: writes fail once `nAllowed` bytes have gone out (a disk
// that fills up); the replace and the flush fail when asked to. Counts the
// calls; the hooks are installed while Run runs `fn`.
struct Faults {
    std::size_t nAllowed = static_cast<std::size_t>(-1), nWritten = 0;
    bool bFailReplace = false, bFailSync = false;
    int nReplaceCalls = 0, nSyncCalls = 0;

    template <typename Fn>
    bool Run(Fn fn) {
        MimeFileHooks hooks{&Write, &Replace, this, &Sync};
        MimeSetFileHooks(&hooks);
        const bool bOk = fn();
        MimeSetFileHooks(nullptr);
        return bOk;
    }
    static bool Write(std::size_t n, void* user) {
        auto* f = static_cast<Faults*>(user);
        if (f->nWritten + n > f->nAllowed)
            return false;
        f->nWritten += n;
        return true;
    }
    static bool Replace(const char*, const char*, void* user) {
        auto* f = static_cast<Faults*>(user);
        ++f->nReplaceCalls;
        return !f->bFailReplace;
    }
    static bool Sync(void* user) {
        auto* f = static_cast<Faults*>(user);
        ++f->nSyncCalls;
        return !f->bFailSync;
    }
};

}  // namespace mime_test

#endif
