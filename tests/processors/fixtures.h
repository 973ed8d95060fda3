/*
 * fixtures.h - shared helpers of the processor and pipeline tests: mails
 * built in memory, a scratch folder, report records for a loaded tree, and
 * the log sink that collects lines.
 */
#ifndef MAILWARD_TESTS_PROCESSORS_FIXTURES_H
#define MAILWARD_TESTS_PROCESSORS_FIXTURES_H

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mime/mimemessage.h"
#include "platform/qorcsock_capture.h"
#include "qorcsock.h"
#include "service/check_report.h"

namespace fixtures {

namespace fs = std::filesystem;

inline const char* kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
// The EICAR string, base64-encoded.
inline const char* kEicarBase64 =
    "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FSLVNUQU5EQVJELUFOVElWSVJVUy1URVNU\r\n"
    "LUZJTEUhJEgrSCo=\r\n";

// A multipart mail: a text body and one attachment per (name, base64 body).
inline std::string MultipartMail(const std::string& text,
                                 const std::vector<std::pair<std::string, std::string>>& files,
                                 const std::string& subject = "test") {
    std::string m =
        "From: sender@example.com\r\nTo: rcpt@example.org\r\nSubject: " + subject +
        "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n"
        "--XX\r\nContent-Type: text/plain\r\n\r\n" +
        text + "\r\n";
    for (const auto& [name, body] : files)
        m += "--XX\r\nContent-Type: application/octet-stream; name=\"" + name +
             "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; "
             "filename=\"" +
             name + "\"\r\n\r\n" + body + "\r\n";
    return m + "--XX--\r\n";
}

// A fresh folder below the system's temporary folder, removed at the end.
class ScratchDir {
  public:
    ScratchDir() {
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

  private:
    static inline int serial_ = 0;
    fs::path path_ = fs::temp_directory_path() / ("mailward-test-" + std::to_string(::getpid()) +
                                                  "-" + std::to_string(++serial_));
};

inline void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

inline std::string ReadFile(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}

// One report record per part, depth first, as the service makes them.
inline void AddRecords(CCheckReport& report, CMimePart* part) {
    const std::string name = part->GetName().empty() ? part->GetContentType() : part->GetName();
    report.AddPart(part, name.c_str());
    for (int i = 0; i < part->GetPartCount(); ++i)
        AddRecords(report, part->GetPart(static_cast<unsigned>(i)));
}

// The record of the n-th part, depth first (0 is the mail itself).
inline PartReport* Record(CCheckReport& report, int n) {
    PartReport* r = report.parts;
    while (r != nullptr && n-- > 0)
        r = r->next;
    return r;
}

inline std::string DecodedText(CMimePart* part) {
    std::int64_t len = 0;
    char* data = part->DecodeData(len);
    std::string s = data != nullptr ? std::string(data) : std::string();
    std::free(data);
    return s;
}

}  // namespace fixtures

#endif
