/*
 * fixtures.h - shared helpers of the processor and pipeline tests: mails
 * built in memory, a scratch folder, report records for a loaded tree, and
 * the log sink that collects lines.
 */
#ifndef MAILWARD_TESTS_PROCESSORS_FIXTURES_H
#define MAILWARD_TESTS_PROCESSORS_FIXTURES_H

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mime/mimemessage.h"
#include "platform/qorcsock_capture.h"
#include "qorcsock/qorcsock.h"
#include "support/test_files.h"
#include "report/check_report.h"

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

using testkit::ReadFile;
using testkit::ScratchDir;
using testkit::WriteFile;

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

// A part name (a base64 encoded word, decoded by GetName) that, copied as it is
// into a notice, ends the notice's part, adds a text/html part with a script
// and closes the multipart of LowerBoundaryMail; copied into a log line, it
// writes a line "[MAILCHECK] [FORGED]" of its own.
inline const char* kInjectingName =
    "=?us-ascii?b?YS5leGUKLS14eApDb250ZW50LVR5cGU6IHRleHQvaHRtbAoKPHNjcmlwdD54"
    "PC9zY3JpcHQ+Ci0teHgtLQpbTUFJTENIRUNLXSBbRk9SR0VEXQ==?=";

// MultipartMail with the boundary "xx": names are read lower-cased.
inline std::string LowerBoundaryMail(
    const std::vector<std::pair<std::string, std::string>>& files) {
    std::string m = MultipartMail("hello", files);
    for (std::size_t at = m.find("XX"); at != std::string::npos; at = m.find("XX", at))
        m.replace(at, 2, "xx");
    return m;
}

// The lines of `mail`, written to a file, that start with "--" or "<": the
// delimiters and any markup line, as mail clients find them (at a line's
// start only).
inline std::vector<std::string> DelimiterLinesAfterRewrite(CMimeMessage& mail,
                                                           const fs::path& file) {
    std::vector<std::string> lines;
    if (!mail.SaveMsg(file.string().c_str()))
        return {"(not written)"};
    std::istringstream text(ReadFile(file));
    for (std::string line; std::getline(text, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("--", 0) == 0 || line.rfind("<", 0) == 0)
            lines.push_back(line);
    }
    return lines;
}

// True when a logged text holds a line (behind a CR or LF) that starts with
// what kInjectingName would write there (in any letter case).
inline bool LogHasForgedLine(LogCapture& log) {
    for (const LoggedLine& line : log.Lines()) {
        for (std::size_t at = line.text.find_first_of("\r\n"); at != std::string::npos;
             at = line.text.find_first_of("\r\n", at + 1)) {
            std::string rest = line.text.substr(at + 1);
            for (char& c : rest)  // names come lower-cased
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (rest.rfind("[mailcheck] [forged]", 0) == 0 || rest.rfind("--xx", 0) == 0 ||
                rest.rfind("<script>", 0) == 0)
                return true;
        }
    }
    return false;
}

}  // namespace fixtures

#endif
