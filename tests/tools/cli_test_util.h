/*
 * cli_test_util.h - helpers of the mailward program's tests: run the built
 * program as an operator would (arguments, environment, stdin; stdout,
 * stderr and exit status captured), scratch folders with copies of the
 * example mails and the shared corpus, and a small strict JSON reader for
 * the --json output.
 *
 * Every run is checked for sanitizer reports on stderr.
 *
 * Every test runs in its own scratch folder below the build tree, with
 * XDG_STATE_HOME pointing into it, so the program's data folder (backups,
 * scan file) never touches the developer's home. Scratch folders are
 * removed when a test passes and kept (path printed) when it fails.
 */
#ifndef MAILWARD_TESTS_TOOLS_CLI_TEST_UTIL_H
#define MAILWARD_TESTS_TOOLS_CLI_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace clitest {

namespace fs = std::filesystem;

inline std::string MailwardBinary() {
    return std::string(MAILWARD_BINARY_DIR) + "/mailward";
}
inline fs::path SourceDir() {
    return fs::path(MAILWARD_SOURCE_DIR);
}
inline fs::path ExampleMails() {
    return SourceDir() / "examples" / "mails";
}

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out << text;
}

inline bool Contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

inline std::string ShellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

struct RunResult {
    int status = -1;  // exit status; 128+N for a signal
    std::string out;
    std::string err;
};

inline std::ostream& operator<<(std::ostream& os, const RunResult& r) {
    return os << "exit " << r.status << "\n--- stdout\n" << r.out << "--- stderr\n" << r.err;
}

// Fails the test when a sanitizer wrote a report: under the ASan/UBSan
// build every run of the program is also a sanitizer run, and a report
// must not pass for an exit status the program itself uses.
inline void ExpectNoSanitizerReport(const RunResult& r) {
    for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                               "runtime error:", "WARNING: ThreadSanitizer"})
        EXPECT_FALSE(Contains(r.err, marker)) << r.err;
}

// ---- JSON ----------------------------------------------------------------

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    double num = 0;
    std::string str;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json& operator[](const std::string& key) const {
        static const Json missing;
        auto it = members.find(key);
        return it != members.end() ? it->second : missing;
    }
    const Json& operator[](std::size_t i) const {
        static const Json missing;
        return i < items.size() ? items[i] : missing;
    }
    bool Has(const std::string& key) const { return members.count(key) != 0; }
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

// A strict reader: the whole text must be one JSON value. Throws
// std::runtime_error with the offset on malformed input.
class JsonReader {
  public:
    static Json Parse(const std::string& text) {
        JsonReader r(text);
        Json v = r.Value();
        r.Space();
        if (r.m_pos != text.size())
            r.Fail("text after the value");
        return v;
    }

  private:
    explicit JsonReader(const std::string& t) : m_text(t) {}
    [[noreturn]] void Fail(const std::string& why) {
        throw std::runtime_error("JSON: " + why + " at offset " + std::to_string(m_pos));
    }
    void Space() {
        while (m_pos < m_text.size() &&
               std::string(" \t\r\n").find(m_text[m_pos]) != std::string::npos)
            ++m_pos;
    }
    bool Take(const char* word) {
        const std::size_t n = std::char_traits<char>::length(word);
        if (m_text.compare(m_pos, n, word) == 0) {
            m_pos += n;
            return true;
        }
        return false;
    }
    Json Value() {
        Space();
        if (m_pos >= m_text.size())
            Fail("end of text");
        Json v;
        const char c = m_text[m_pos];
        if (c == '{') {
            v.kind = Json::Object;
            ++m_pos;
            Space();
            if (Take("}"))
                return v;
            for (;;) {
                Space();
                if (m_pos >= m_text.size() || m_text[m_pos] != '"')
                    Fail("expected a key");
                std::string key = Str();
                Space();
                if (!Take(":"))
                    Fail("expected ':'");
                if (v.members.count(key) != 0)
                    Fail("duplicate key " + key);
                v.members[key] = Value();
                Space();
                if (Take("}"))
                    return v;
                if (!Take(","))
                    Fail("expected ',' or '}'");
            }
        }
        if (c == '[') {
            v.kind = Json::Array;
            ++m_pos;
            Space();
            if (Take("]"))
                return v;
            for (;;) {
                v.items.push_back(Value());
                Space();
                if (Take("]"))
                    return v;
                if (!Take(","))
                    Fail("expected ',' or ']'");
            }
        }
        if (c == '"') {
            v.kind = Json::String;
            v.str = Str();
            return v;
        }
        if (Take("true")) {
            v.kind = Json::Bool;
            v.b = true;
            return v;
        }
        if (Take("false")) {
            v.kind = Json::Bool;
            return v;
        }
        if (Take("null"))
            return v;
        const std::size_t start = m_pos;
        while (m_pos < m_text.size() &&
               std::string("+-.eE0123456789").find(m_text[m_pos]) != std::string::npos)
            ++m_pos;
        if (m_pos == start)
            Fail("unexpected character");
        v.kind = Json::Number;
        v.num = std::stod(m_text.substr(start, m_pos - start));
        return v;
    }
    std::string Str() {
        ++m_pos;  // opening quote
        std::string out;
        while (m_pos < m_text.size()) {
            const unsigned char c = static_cast<unsigned char>(m_text[m_pos++]);
            if (c == '"')
                return out;
            if (c < 0x20)
                Fail("raw control character in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (m_pos >= m_text.size())
                Fail("escape at the end");
            const char e = m_text[m_pos++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    if (m_pos + 4 > m_text.size())
                        Fail("short \\u escape");
                    const unsigned cp = std::stoul(m_text.substr(m_pos, 4), nullptr, 16);
                    m_pos += 4;
                    // The tool writes \u only below U+0100 (control
                    // characters and stray 8-bit bytes): give the byte back.
                    if (cp > 0xFF)
                        Fail("\\u escape above U+00FF");
                    out += static_cast<char>(cp);
                    break;
                }
                default:
                    Fail("unknown escape");
            }
        }
        Fail("unterminated string");
    }
    const std::string& m_text;
    std::size_t m_pos = 0;
};

// The JSON objects of JSON-lines output, one per non-empty line.
inline std::vector<Json> JsonLines(const std::string& out) {
    std::vector<Json> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty())
            lines.push_back(JsonReader::Parse(line));
    }
    return lines;
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
        const fs::path to = m_dir / name;
        fs::create_directories(to);
        fs::copy(ExampleMails(), to, fs::copy_options::recursive);
        return to;
    }

    void SetEnv(const std::string& key, const std::string& value) { m_env[key] = value; }

    // Runs the program with `args`; stdin from `input`. A non-empty
    // `command` replaces the program and its arguments (a shell command
    // line run with the same environment).
    RunResult Run(const std::vector<std::string>& args, const std::string& input = "",
                  const std::string& command = "") {
        const fs::path out = m_dir / "run.out", err = m_dir / "run.err", in = m_dir / "run.in";
        WriteFile(in, input);
        std::string cmd = "cd " + ShellQuote(m_dir.string()) + " && env";
        for (const auto& [k, v] : m_env)
            cmd += " " + ShellQuote(k + "=" + v);
        if (!command.empty()) {
            cmd += " sh -c " + ShellQuote(command);
        } else {
            cmd += " " + ShellQuote(MailwardBinary());
            for (const std::string& a : args)
                cmd += " " + ShellQuote(a);
        }
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
        ExpectNoSanitizerReport(r);
        return r;
    }

    // Runs "check --json ARGS" and returns the mail objects by file name
    // (the last path component of "source"); `summary` gets the last line.
    std::map<std::string, Json> CheckJson(const std::vector<std::string>& args, RunResult& run,
                                          Json* summary = nullptr) {
        std::vector<std::string> all = {"check", "--json"};
        all.insert(all.end(), args.begin(), args.end());
        run = Run(all);
        std::map<std::string, Json> mails;
        std::vector<Json> lines;
        try {
            lines = JsonLines(run.out);
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what() << "\n" << run;
            return mails;
        }
        for (const Json& j : lines) {
            if (j["type"].str == "mail")
                mails[fs::path(j["source"].str).filename().string()] = j;
            else if (j["type"].str == "summary" && summary != nullptr)
                *summary = j;
        }
        return mails;
    }

  private:
    fs::path m_dir;
    std::map<std::string, std::string> m_env;
};

// Names of the rules in a JSON rule array.
inline std::vector<std::string> RuleNames(const Json& rules) {
    std::vector<std::string> names;
    for (const Json& r : rules.items)
        names.push_back(r["name"].IsNull() ? "(default)" : r["name"].str);
    return names;
}

// The part object of `mail` named `name`, or a null Json.
inline const Json& PartNamed(const Json& mail, const std::string& name) {
    static const Json missing;
    for (const Json& p : mail["parts"].items) {
        if (p["name"].str == name)
            return p;
    }
    return missing;
}

// Every regular file below `dir`, as paths relative to it.
inline std::vector<std::string> FilesBelow(const fs::path& dir) {
    std::vector<std::string> out;
    if (!fs::exists(dir))
        return out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file())
            out.push_back(fs::relative(e.path(), dir).string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace clitest

#endif
