/*
 * cli_test_util.h - helpers of the mailward program's tests: the built
 * program run as an operator would (arguments, environment, stdin; output
 * and exit status captured and searched for sanitizer reports), scratch
 * folders with copies of the example mails, and a strict reader of the
 * --json output. Each test's scratch folder lies below the build tree (kept
 * when it fails) and holds XDG_STATE_HOME, so no run touches a home folder.
 */
#ifndef MAILWARD_TESTS_TOOLS_CLI_TEST_UTIL_H
#define MAILWARD_TESTS_TOOLS_CLI_TEST_UTIL_H

#include <gtest/gtest.h>

#include "support/test_files.h"

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace clitest {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

inline std::string MailwardBinary() {
    return std::string(MAILWARD_BINARY_DIR) + "/mailward";
}
inline fs::path SourceDir() {
    return fs::path(MAILWARD_SOURCE_DIR);
}
inline fs::path ExampleMails() {
    return SourceDir() / "share" / "examples" / "mails";
}

using testkit::ReadFile;
using testkit::WriteFile;

inline bool Contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// Every one of `parts` is in `text`, or (ExpectNone) none of them.
inline void ExpectAll(const std::string& text, const Strings& parts) {
    for (const std::string& p : parts)
        EXPECT_TRUE(Contains(text, p)) << "missing: " << p << "\n--- in\n" << text;
}
inline void ExpectNone(const std::string& text, const Strings& parts) {
    for (const std::string& p : parts)
        EXPECT_FALSE(Contains(text, p)) << "unexpected: " << p << "\n--- in\n" << text;
}

inline std::string ShellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct RunResult {
    int status = -1;  // exit status; 128+N for a signal
    std::string out, err;
};

inline std::ostream& operator<<(std::ostream& os, const RunResult& r) {
    return os << "exit " << r.status << "\n--- stdout\n" << r.out << "--- stderr\n" << r.err;
}

// ---- JSON ----------------------------------------------------------------

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    double num = 0;
    std::string str;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    static const Json& Missing() {
        static const Json missing;
        return missing;
    }
    const Json& operator[](const std::string& key) const {
        auto it = members.find(key);
        return it != members.end() ? it->second : Missing();
    }
    const Json& operator[](std::size_t i) const { return i < items.size() ? items[i] : Missing(); }
    bool IsNull() const { return kind == Null; }
    long long Int() const { return static_cast<long long>(num); }
    std::size_t Size() const { return kind == Array ? items.size() : members.size(); }
    // The string items of an array.
    std::vector<std::string> Strings() const {
        std::vector<std::string> out;
        for (const Json& j : items)
            out.push_back(j.str);
        return out;
    }
};

// A strict reader: the whole text is one value, keys are unique, strings
// hold no raw control character. The tool writes \u only below U+0100
// (control characters and stray 8-bit bytes): such an escape gives the
// byte back, a higher one is refused. Throws std::runtime_error with the
// offset on malformed input.
class JsonReader {
  public:
    static Json Parse(const std::string& text) {
        JsonReader r{text};
        Json v = r.Value();
        r.Space();
        r.Expect(r.m_pos == text.size(), "text after the value");
        return v;
    }

  private:
    explicit JsonReader(const std::string& t) : m_text(t) {}
    void Expect(bool ok, const std::string& why) {
        if (!ok)
            throw std::runtime_error("JSON: " + why + " at offset " + std::to_string(m_pos));
    }
    bool At(const char* set) const {
        return m_pos < m_text.size() && m_text[m_pos] != 0 && std::strchr(set, m_text[m_pos]);
    }
    void Space() {
        while (At(" \t\r\n"))
            ++m_pos;
    }
    // Takes `word` after any white space.
    bool Take(const std::string& word) {
        Space();
        const bool here = m_text.compare(m_pos, word.size(), word) == 0;
        m_pos += here ? word.size() : 0;
        return here;
    }
    // The comma-separated items of an array or object, up to `close`.
    template <class Item>
    void Items(const char* close, Item item) {
        if (Take(close))
            return;
        do
            item();
        while (Take(","));
        Expect(Take(close), std::string("expected ',' or '") + close + "'");
    }
    Json Value() {
        Json v;
        if (Take("{")) {
            v.kind = Json::Object;
            Items("}", [&] {
                Expect(Take("\""), "expected a key");
                const std::string key = Str();
                Expect(Take(":") && v.members.count(key) == 0, "expected ':' or duplicate " + key);
                v.members[key] = Value();
            });
        } else if (Take("[")) {
            v.kind = Json::Array;
            Items("]", [&] { v.items.push_back(Value()); });
        } else if (Take("\"")) {
            v.kind = Json::String;
            v.str = Str();
        } else if ((v.b = Take("true")) || Take("false")) {
            v.kind = Json::Bool;
        } else if (!Take("null")) {
            const std::size_t start = m_pos;
            while (At("+-.eE0123456789"))
                ++m_pos;
            Expect(m_pos > start, "unexpected character or end of text");
            v.kind = Json::Number;
            v.num = std::stod(m_text.substr(start, m_pos - start));
        }
        return v;
    }
    // The rest of a string whose opening quote was taken.
    std::string Str() {
        static const std::string kFrom = "\"\\/nrtbf", kTo = "\"\\/\n\r\t\b\f";
        std::string out;
        for (;;) {
            Expect(m_pos < m_text.size(), "unterminated string");
            const unsigned char c = static_cast<unsigned char>(m_text[m_pos++]);
            Expect(c >= 0x20, "raw control character in a string");
            if (c == '"')
                return out;
            if (c != '\\') {
                out += static_cast<char>(c);
            } else if (At(kFrom.c_str())) {
                out += kTo[kFrom.find(m_text[m_pos++])];
            } else {
                Expect(At("u") && m_pos + 5 <= m_text.size(), "unknown or short escape");
                const unsigned long cp = std::stoul(m_text.substr(m_pos + 1, 4), nullptr, 16);
                Expect(cp <= 0xFF, "\\u escape above U+00FF");
                out += static_cast<char>(cp);
                m_pos += 5;
            }
        }
    }
    const std::string& m_text;
    std::size_t m_pos = 0;
};

// The JSON objects of JSON-lines output, one per non-empty line.
inline std::vector<Json> JsonLines(const std::string& out) {
    std::vector<Json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty())
            lines.push_back(JsonReader::Parse(line));
    }
    return lines;
}

// Names of the rules in a JSON rule array.
inline Strings RuleNames(const Json& rules) {
    Strings names;
    for (const Json& r : rules.items)
        names.push_back(r["name"].IsNull() ? "(default)" : r["name"].str);
    return names;
}

// The part object of `mail` named `name`, or a null Json.
inline const Json& PartNamed(const Json& mail, const std::string& name) {
    for (const Json& p : mail["parts"].items) {
        if (p["name"].str == name)
            return p;
    }
    return Json::Missing();
}

// Every regular file below `dir`, as paths relative to it, sorted.
inline Strings FilesBelow(const fs::path& dir) {
    Strings out;
    if (!fs::exists(dir))
        return out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file())
            out.push_back(fs::relative(e.path(), dir).string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The mails backed up in `origmail`: each backup's name without the
// ".<suffix>" that makes it the check's own, sorted.
inline Strings BackupNames(const fs::path& origmail) {
    Strings out;
    for (const std::string& name : FilesBelow(origmail))
        out.push_back(name.substr(0, name.rfind('.')));
    std::sort(out.begin(), out.end());
    return out;
}

// The one backup of `name` in `origmail` ("" when there is none or several).
inline fs::path BackupOf(const fs::path& origmail, const std::string& name) {
    fs::path found;
    for (const std::string& file : FilesBelow(origmail)) {
        if (file.substr(0, file.rfind('.')) == name) {
            if (!found.empty())
                return "";
            found = origmail / file;
        }
    }
    return found;
}

// ---- scratch folder and runs ---------------------------------------------

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = fs::path(MAILWARD_BINARY_DIR) / "test-tmp" / "tools" /
                (std::string(info->test_suite_name()) + "." + info->name() + "." +
                 std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        m_env["XDG_STATE_HOME"] = (m_dir / "state").string();
        ASSERT_TRUE(fs::exists(MailwardBinary())) << "build the mailward-cli target first";
    }
    void TearDown() override {
        if (HasFailure())
            std::cerr << "scratch folder kept: " << m_dir << "\n";
        else
            fs::remove_all(m_dir);
    }

    const fs::path& Dir() const { return m_dir; }
    // The data folder of the embedded set-up in this scratch folder.
    fs::path DataDir() const { return m_dir / "state" / "mailward"; }

    // Copies the example mails into <scratch>/<name>; returns the folder.
    fs::path CopyExamples(const std::string& name = "mails") {
        fs::create_directories(m_dir / name);
        fs::copy(ExampleMails(), m_dir / name, fs::copy_options::recursive);
        return m_dir / name;
    }

    void SetEnv(const std::string& key, const std::string& value) { m_env[key] = value; }

    // Runs the program with `args`, stdin from `input`; a non-empty
    // `command` is a shell command line run instead, with the same
    // environment. Under the ASan/UBSan build a sanitizer report must not
    // pass for an exit status the program itself uses: every run's stderr
    // is searched for one.
    RunResult Run(const Strings& args, const std::string& input = "",
                  const std::string& command = "") {
        const fs::path out = m_dir / "run.out", err = m_dir / "run.err", in = m_dir / "run.in";
        WriteFile(in, input);
        std::string cmd = "cd " + ShellQuote(m_dir.string()) + " && env";
        for (const auto& [k, v] : m_env)
            cmd += " " + ShellQuote(k + "=" + v);
        if (!command.empty())
            cmd += " sh -c " + ShellQuote(command);
        else
            cmd += " " + ShellQuote(MailwardBinary());
        for (const std::string& a : command.empty() ? args : Strings{})
            cmd += " " + ShellQuote(a);
        cmd += " <" + ShellQuote(in.string()) + " >" + ShellQuote(out.string()) + " 2>" +
               ShellQuote(err.string());
        const int raw = std::system(cmd.c_str());
        RunResult r;
        if (raw != -1 && WIFEXITED(raw))
            r.status = WEXITSTATUS(raw);
        else if (raw != -1 && WIFSIGNALED(raw))
            r.status = 128 + WTERMSIG(raw);
        r.out = ReadFile(out);
        r.err = ReadFile(err);
        ExpectNone(r.err, {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                           "runtime error:", "WARNING: ThreadSanitizer"});
        return r;
    }

    // Runs "check --json ARGS" and returns the mail objects by file name
    // (the last path component of "source"); `summary` gets the last line.
    std::map<std::string, Json> CheckJson(const Strings& args, RunResult& run,
                                          Json* summary = nullptr) {
        Strings all = {"check", "--json"};
        all.insert(all.end(), args.begin(), args.end());
        run = Run(all);
        std::map<std::string, Json> mails;
        try {
            for (const Json& j : JsonLines(run.out)) {
                if (j["type"].str == "mail")
                    mails[fs::path(j["source"].str).filename().string()] = j;
                else if (j["type"].str == "summary" && summary != nullptr)
                    *summary = j;
            }
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what() << "\n" << run;
        }
        return mails;
    }

  private:
    fs::path m_dir;
    std::map<std::string, std::string> m_env;
};

}  // namespace clitest

#endif
