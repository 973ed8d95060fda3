/*
 * config_load.cpp - fuzz target for the configuration file reader of the
 * host library (miraconf_load).
 *
 * First a file the format allows is made of the input (its bytes as a
 * plain value and as a quoted one, CR LF or LF line ends, a byte order mark
 * or none): it must load, and each value must read as written. Then the
 * input itself is written as a configuration file into a scratch folder and
 * loaded over a store that holds two values of its own (StampLabel and
 * BackupMode). These must hold (else abort):
 *   - a refused file (-1) names the file in its error text and changes
 *     nothing: every known key keeps its value and whether it was set;
 *   - an accepted file (0) leaves an empty error text, and every known key
 *     a line without quotes named last has that line's value (blanks
 *     around it dropped, after a byte order mark and CR LF line ends are
 *     taken off); what the file set, miraconf_set accepts too;
 *   - the known values written back as a file, each quoted with \" and \\,
 *     load again to the same values.
 * The scratch folder is made once per process below the system's temporary
 * folder and removed at the process's exit.
 */
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "miralib/miralib.h"
#include "pf/text.h"

namespace {

namespace fs = std::filesystem;

void Check(bool ok) {
    if (!ok)
        std::abort();
}

struct Value {
    bool set = false;
    int has = 0;  // miraconf_get's result
    std::string text;
    bool operator==(const Value& o) const { return set == o.set && has == o.has && text == o.text; }
};

// Every known key (lower case) with its value and whether it was set.
std::map<std::string, Value> Snapshot() {
    std::map<std::string, Value> out;
    miraconf_keyinfo k{};
    static char buf[MIRACONF_MAX_VALUE + 1];
    for (std::size_t i = 0; miraconf_key_info(i, &k) == 1; ++i) {
        Value v;
        v.set = miraconf_is_set(k.name) == 1;
        v.has = miraconf_get(k.name, buf, sizeof buf);
        v.text = buf;
        out[pf::ascii_lower(k.name)] = v;
    }
    return out;
}

const fs::path& ScratchRoot() {
    static const fs::path root = [] {
        fs::path made =
            fs::temp_directory_path() / ("mailward-fuzz-config-" + std::to_string(getpid()));
        fs::create_directories(made);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(ScratchRoot(), ec);
        });
        return made;
    }();
    return root;
}

int Load(const fs::path& path, std::string_view text, std::string& error) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    char buf[1024];
    const int rc = miraconf_load(path.string().c_str(), buf, sizeof buf);
    error = buf;
    return rc;
}

// What each known key must read after the file loads: the value of the last
// line naming it, or nothing when that line quotes its value (left to the
// write-back check) or no line names it.
std::map<std::string, std::optional<std::string>> Expected(
    std::string_view text, const std::map<std::string, Value>& known) {
    std::map<std::string, std::optional<std::string>> out;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string key = pf::ascii_lower(pf::trim(line.substr(0, eq), " \t"));
        if (known.count(key) == 0)
            continue;
        const std::string_view value = pf::trim(line.substr(eq + 1), " \t");
        if (!value.empty() && value.front() == '"')
            out[key].reset();
        else
            out[key] = std::string(value);
    }
    return out;
}

std::string Get(const char* key) {
    static char buf[MIRACONF_MAX_VALUE + 1];
    return miraconf_get(key, buf, sizeof buf) == 1 ? std::string(buf) : std::string("<none>");
}

// A file the format allows, made of the input: its bytes (control bytes
// made 'x') as a plain value without outer blanks or quotes and as a quoted
// value with its outer blanks, with the line ends and byte order mark the
// input's size chooses. It must load and read as written.
void CheckWellFormed(std::string_view input) {
    std::string quoted;
    for (unsigned char c : input.substr(0, MIRACONF_MAX_VALUE))
        quoted += (c < 0x20 && c != '\t') || c == 0x7f ? 'x' : static_cast<char>(c);
    std::string_view plain = quoted;
    while (!plain.empty() &&
           (plain.front() == '"' || plain.front() == ' ' || plain.front() == '\t'))
        plain.remove_prefix(1);
    plain = pf::trim(plain, " \t");
    const char* eol = input.size() % 2 == 1 ? "\r\n" : "\n";
    std::string file = input.size() % 4 >= 2 ? "\xEF\xBB\xBF" : "";
    file += "# made of the input\n  StampLabel\t=  " + std::string(plain) + "  " + eol;
    file += "host.fuzz-key=" + std::string(plain) + eol + "subjectmark = \"";
    for (char c : quoted) {
        if (c == '"' || c == '\\')
            file += '\\';
        file += c;
    }
    file += std::string("\"  ") + eol;
    miraconf_reset();
    std::string error;
    Check(Load(ScratchRoot() / "made.conf", file, error) == 0);
    Check(Get("StampLabel") == plain && Get("HOST.fuzz-key") == plain);
    Check(Get("SubjectMark") == quoted);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckWellFormed(text);
    miraconf_reset();
    Check(miraconf_set("StampLabel", "before") == 0 && miraconf_set("BackupMode", "2") == 0);
    const std::map<std::string, Value> before = Snapshot();

    const fs::path file = ScratchRoot() / "input.conf";
    std::string error;
    const int rc = Load(file, text, error);
    Check(rc == 0 || rc == -1);
    const std::map<std::string, Value> after = Snapshot();
    if (rc == -1) {
        Check(error.rfind(file.string() + ":", 0) == 0);
        Check(after == before);
        return 0;
    }
    Check(error.empty());
    for (const auto& [key, want] : Expected(text, before)) {
        if (want)
            Check(after.at(key).set && after.at(key).text == *want);
    }

    std::string written;
    for (const auto& [key, v] : after) {
        if (!v.set)
            continue;
        Check(miraconf_set(key.c_str(), v.text.c_str()) == 0);
        written += key + " = \"";
        for (char c : v.text) {
            if (c == '"' || c == '\\')
                written += '\\';
            written += c;
        }
        written += "\"\n";
    }
    miraconf_reset();
    Check(Load(ScratchRoot() / "written.conf", written, error) == 0);
    for (const auto& [key, v] : Snapshot()) {
        if (after.at(key).set)
            Check(v == after.at(key));
    }
    return 0;
}
