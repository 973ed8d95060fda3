/*
 * mime_test_util.h - helpers shared by the tests of the part tree.
 *
 *   Load(msg, text, full)  LoadMsgFromBuffer over a string
 *   Written(part)          what WriteTo writes, LF line ends (no CR LF)
 *   Decoded(part)          DecodeData as a string (length as reported)
 *   LogCapture             collects log lines (debug channel switched on)
 *   TempDir                a fresh folder below the build tree, removed after
 *   ReadFile / WriteFile   whole files as bytes
 * The header field table is set up once for the whole program.
 */
#ifndef MAILWARD_TESTS_MIME_TEST_UTIL_H
#define MAILWARD_TESTS_MIME_TEST_UTIL_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "mailhdr/mailhdr.h"
#include "platform/qorcsock_capture.h"
#include "mime/mimemessage.h"
#include "mime/mimeoutput.h"
#include "mime/mimepart.h"

namespace mime_test {

inline int Load(CMimeMessage& msg, const std::string& text, bool bFull = true) {
    return msg.LoadMsgFromBuffer(text.data(), text.size(), bFull);
}

inline std::string Written(CMimePart& part) {
    CMimeStringOutput out(false);
    EXPECT_TRUE(part.WriteTo(out));
    return out.Text();
}

inline std::string Decoded(CMimePart& part) {
    std::int64_t n = -1;
    char* p = part.DecodeData(n);
    EXPECT_NE(nullptr, p);
    std::string s = p ? std::string(p, static_cast<std::size_t>(n)) : std::string();
    std::free(p);
    return s;
}

inline std::string Data(const CMimePart& part) {
    return part.GetData() ? std::string(part.GetData()) : std::string("<null>");
}

// Collects every log line while it lives, with the part tree's debug lines on.
class MimeLog : public LogCapture {
  public:
    MimeLog() : LogCapture("MAILWARD_Debug") {}
    bool Has(const std::string& text) { return ContainsAnyLevel(text); }
};

class TempDir {
  public:
    TempDir() {
        static std::atomic<int> s_counter{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name =
            std::string("mime-") + (info ? info->name() : "x") + "-" + std::to_string(s_counter++);
        m_path = std::filesystem::path(MAILWARD_BINARY_DIR) / "test-tmp" / name;
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    std::string Path(const std::string& file) const { return (m_path / file).string(); }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_path)) {
            names.push_back(e.path().filename().string());
        }
        return names;
    }

  private:
    std::filesystem::path m_path;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string CRLF(const std::string& lf) {
    std::string s;
    for (char c : lf) {
        if (c == '\n') {
            s += '\r';
        }
        s += c;
    }
    return s;
}

}  // namespace mime_test

#endif
