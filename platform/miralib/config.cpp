// config.cpp - the host library's configuration store (miraconf_*).
//
// One process-wide map from key (folded to lower case) to value, guarded by a
// reader/writer lock. Readers always leave with a copy, never with a pointer
// into the map, so a value replaced by a host thread cannot dangle under the
// worker. Defaults are not stored: they are worked out whenever a key without
// a value is read, so that e.g. the system's temporary folder is the one of
// the moment.
//
// miraconf_load parses the whole file before it takes the lock, and applies
// all its values under one exclusive lock: a reader sees either none or all
// of a file, and a file with a bad line changes nothing.
//
// Limits: MIRACONF_MAX_KEY, MIRACONF_MAX_VALUE, MIRACONF_MAX_LINE and
// MIRACONF_MAX_FILE (miralib.h).
#include "miralib/miralib.h"
#include "miralib/miralib_impl.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#ifndef MIRALIB_SOURCE_SHARE_DIR
#define MIRALIB_SOURCE_SHARE_DIR "."
#endif
// Where an installed tree keeps mailward's shared files (templates,
// signatures), relative to the folder of this library; empty when the build
// was not configured for installation.
#ifndef MIRALIB_SHARE_FROM_LIB
#define MIRALIB_SHARE_FROM_LIB ""
#endif

namespace miralib {
namespace {

std::string SystemTempDir() {
    std::error_code ec;
    std::string dir = std::filesystem::temp_directory_path(ec).string();
    if (ec || dir.empty()) {
#if defined(_WIN32)
        return ".";
#else
        return "/tmp";
#endif
    }
    // Windows reports the folder with a trailing separator; mailward adds its
    // own, so it is dropped here (a root such as "/" or "C:\" keeps it).
    while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\') &&
           dir[dir.size() - 2] != ':') {
        dir.pop_back();
    }
    return dir;
}

// The folder this library was loaded from, or "" when the system cannot
// tell.
std::string OwnFolder() {
#if defined(_WIN32)
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&OwnFolder), &self)) {
        return "";
    }
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return "";
    return std::filesystem::path(path).parent_path().string();
#else
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&OwnFolder), &info) == 0 || info.dli_fname == nullptr)
        return "";
    return std::filesystem::path(info.dli_fname).parent_path().string();
#endif
}

// `sub` of the installed share folder when this library belongs to an
// installed tree that has it, else `sub` of the source tree the library was
// built from (a build tree is used where it was built). Both trees lay the
// shipped files out alike.
std::string ShippedFolder(const char* sub) {
    if (MIRALIB_SHARE_FROM_LIB[0] != '\0') {
        const std::string own = OwnFolder();
        if (!own.empty()) {
            std::error_code ec;
            const auto installed =
                (std::filesystem::path(own) / MIRALIB_SHARE_FROM_LIB / sub).lexically_normal();
            if (std::filesystem::is_directory(installed, ec))
                return installed.string();
        }
    }
    return std::string(MIRALIB_SOURCE_SHARE_DIR) + "/" + sub;
}

std::string DefaultTemplateDir() {
    return ShippedFolder("templates");
}

std::string DefaultSignatureDir() {
    return ShippedFolder("signatures");
}

// The service's own folder, never one shared with other users:
// $XDG_STATE_HOME/mailward, else $HOME/.local/state/mailward (POSIX) or
// %LOCALAPPDATA%\mailward (Windows). Without any of them the folder
// "mailward-data" in the current folder. The backup makes it (owner-only)
// when it is missing.
std::string DefaultDataDir() {
    auto env = [](const char* name) {
        const char* v = std::getenv(name);
        return std::string(v != nullptr ? v : "");
    };
    if (std::string state = env("XDG_STATE_HOME"); !state.empty()) {
        return pf::join_path(state, "mailward");
    }
#if defined(_WIN32)
    if (std::string local = env("LOCALAPPDATA"); !local.empty()) {
        return pf::join_path(local, "mailward");
    }
#else
    if (std::string home = env("HOME"); !home.empty()) {
        return pf::join_path(pf::join_path(pf::join_path(home, ".local"), "state"), "mailward");
    }
#endif
    return "mailward-data";
}

#if defined(_WIN32)
// There is no standard place for ClamAV databases on Windows.
constexpr const char* SYSTEM_SIGNATURE_DIR = nullptr;
#else
constexpr const char* SYSTEM_SIGNATURE_DIR = "/var/lib/clamav";
#endif

enum class Kind { Text, Integer, Size };

// A known key: its default (a fixed text, a text worked out when it is
// read, or neither: the key has no value until one is set) and what the
// reference of the configuration says of it (miraconf_key_info). This table
// is the one place the keys are defined; docs/configuration.md is generated
// from it and a test holds the two together.
struct KnownKey {
    const char* key;   // lower case
    const char* name;  // as documented
    Kind kind;
    const char* fixed;
    std::string (*computed)();
    const char* defaultText;  // the default as the reference tells it
    const char* readBy;       // who reads it, and when it takes effect
    const char* meaning;
    // The values an integer key takes; both 0: any int.
    long long min = 0;
    long long max = 0;
};

// Said of the keys read at each use (a literal, to be joined with others).
#define AT_USE "read at each use: a change applies to the next one"

const KnownKey KNOWN_KEYS[] = {
    {"tempdir", "TempDir", Kind::Text, nullptr, SystemTempDir, "the system's temporary folder",
     "the part scan (each service object keeps a private folder below it, made again when "
     "TempDir changes) and the engine's own scan folders; read at each scan",
     "Folder for temporary files of the scans. A tmpfs makes scans faster if it holds the "
     "largest attachments the engine unpacks."},
    {"datadir", "DataDir", Kind::Text, nullptr, DefaultDataDir,
     "$XDG_STATE_HOME/mailward, else $HOME/.local/state/mailward (Windows: "
     "%LOCALAPPDATA%\\mailward), else mailward-data in the current folder",
     "the backup of each mail, before its check; read at each backup",
     "The service's own folder; backups go to its origmail folder, which must belong to the "
     "service's user and be writable by it alone."},
    {"stamplabel", "StampLabel", Kind::Text, "mailward", nullptr, nullptr,
     "the engine stamp of each checked mail; " AT_USE,
     "The label of the engine stamp: \"X-VaveRiz4Zan: checked by VaveRiz for LABEL; "
     "host=HOST\"."},
    {"stamphost", "StampHost", Kind::Text, nullptr, nullptr, "none: the local host name",
     "the engine stamp of each checked mail; " AT_USE, "The host the engine stamp names."},
    {"subjectmark", "SubjectMark", Kind::Text, "[SPAM]", nullptr, nullptr,
     "the rule stage, when a keyword or header rule marks a mail; " AT_USE,
     "Put before the Subject of a marked mail."},
    {"virusmailmode", "VirusMailMode", Kind::Integer, "0", nullptr, nullptr,
     "the check of a mail found infected; " AT_USE,
     "7: an infected mail gets \"Virus:<name>\" in X-ZANAntiSpam and is not looked up in the "
     "spam list; other values: neither."},
    {"backupmode", "BackupMode", Kind::Integer, "1", nullptr, nullptr,
     "the backup of each mail, before its check; " AT_USE,
     "0: no backup; 1: backups only of mails that changed or met an error; other values: "
     "every mail is backed up and the copies are kept."},
    {"flushmails", "FlushMails", Kind::Integer, "1", nullptr, nullptr,
     "the writing of each rewritten mail; " AT_USE,
     "1: a rewritten mail is flushed to disk before it replaces the old file (a machine crash "
     "never leaves an empty mail); 0 leaves that to the system's write-back.",
     0, 1},
    {"maxmailsize", "MaxMailSize", Kind::Size, MIRACONF_DEFAULT_MAX_MAIL_SIZE_TEXT, nullptr,
     "268435456 (256 MiB)", "the start of each check; " AT_USE,
     "Bytes: a larger mail is refused with ERR_LOAD and left as it is, never cut."},
    {"templatedir", "TemplateDir", Kind::Text, nullptr, DefaultTemplateDir,
     "<installed share folder>/templates, else <source folder>/share/templates",
     "the replacement of an infected mail; " AT_USE,
     "Folder of the information template virremovedinfo.txt."},
    {"signaturedir", "SignatureDir", Kind::Text, nullptr, DefaultSignatureDir,
     "<installed share folder>/signatures, else <source folder>/share/signatures",
     "the engine, when it loads (activation and update)",
     "Folder of the project's own signature database."},
    {"systemsignaturedir", "SystemSignatureDir", Kind::Text, SYSTEM_SIGNATURE_DIR, nullptr,
     "/var/lib/clamav (POSIX), none (Windows)", "the engine, when it loads (activation and update)",
     "Folder of the system's signature databases, loaded beside the project's own where it "
     "exists."},
    {"enginemaxscansize", "EngineMaxScanSize", Kind::Integer, "409600", nullptr, nullptr,
     "the engine, when it loads (activation and update)",
     "Kilobytes the engine scans of one file, with all it unpacks from it. A scan that reaches "
     "this or another engine limit fails (ERR_CHECK): it is never taken as clean.",
     1, INT_MAX},
    {"enginemaxfilesize", "EngineMaxFileSize", Kind::Integer, "102400", nullptr, nullptr,
     "the engine, when it loads (activation and update)",
     "Kilobytes of one scanned or unpacked file.", 1, INT_MAX},
    {"enginemaxfiles", "EngineMaxFiles", Kind::Integer, "10000", nullptr, nullptr,
     "the engine, when it loads (activation and update)", "Files unpacked from one file.", 1,
     INT_MAX},
    {"enginemaxrecursion", "EngineMaxRecursion", Kind::Integer, "17", nullptr, nullptr,
     "the engine, when it loads (activation and update)", "Levels of archives within archives.", 1,
     INT_MAX},
    {"enginemaxscantime", "EngineMaxScanTime", Kind::Integer, "120000", nullptr, nullptr,
     "the engine, when it loads (activation and update)", "Milliseconds of one scan.", 1, INT_MAX},
    {"engine", "Engine", Kind::Text, "local", nullptr, nullptr,
     "the engine, when it loads (activation and update)",
     "The engine's back end: local (libclamav in the process; on Windows the built-in "
     "signature reader) or clamd (every scan is streamed to a clamd named by ClamdSocket, "
     "which loads its own database)."},
    {"clamdsocket", "ClamdSocket", Kind::Text, nullptr, nullptr, "none",
     "the engine, when it loads (activation and update)",
     "With Engine = clamd: one or more clamd sockets, separated by commas, each the path of a "
     "unix socket or HOST:PORT. Scans take them in turn; a scan whose clamd cannot be reached, "
     "breaks off or does not answer goes to the next."},
    {"clamdtimeout", "ClamdTimeout", Kind::Integer, "120", nullptr, nullptr,
     "the engine, when it loads (activation and update)",
     "Seconds clamd has for one scan, from the first byte sent to its answer; a clamd that "
     "takes longer has failed that scan."},
    {"clamdconnecttimeout", "ClamdConnectTimeout", Kind::Integer, "5", nullptr, nullptr,
     "the engine, when it loads (activation and update)", "Seconds to connect to a clamd."},
    {"clamdstreammaxlength", "ClamdStreamMaxLength", Kind::Size, "26214400", nullptr,
     "26214400 (25 MiB)", "the engine, when it loads (activation and update)",
     "Bytes clamd takes in one stream: set it to clamd's StreamMaxLength. Longer data is not "
     "sent and fails its scan at a limit, as does clamd's own size-limit answer. clamd reports "
     "its other limits only with AlertExceedsMax yes in its configuration."},
    {"heuristicmacros", "HeuristicMacros", Kind::Integer, "1", nullptr, nullptr,
     "the engine, when it loads (activation and update)",
     "1: an Office document with macros (VBA or Excel 4.0) is reported like a virus, under "
     "libclamav's name (Heuristics.OLE2.ContainsMacros...), and the mail replaced; 0: macros "
     "pass to the rules.",
     0, 1},
    {"heuristicencrypted", "HeuristicEncrypted", Kind::Integer, "0", nullptr, nullptr,
     "the engine, when it loads (activation and update)",
     "1: an encrypted archive or document is reported like a virus (Heuristics.Encrypted...); "
     "0: it passes to the rules, whose attachment-encrypted kind holds it for review in the "
     "example rule set.",
     0, 1},
    {"heuristicphishing", "HeuristicPhishing", Kind::Integer, "0", nullptr, nullptr,
     "the engine, when it loads (activation and update)",
     "1: links whose text shows another address than they lead to (SSL mismatch, cloaked "
     "addresses) are reported like a virus (Heuristics.Phishing...); 0: only the phishing "
     "signatures of the databases.",
     0, 1},
    {"heuristicbrokenexecutables", "HeuristicBrokenExecutables", Kind::Integer, "0", nullptr,
     nullptr, "the engine, when it loads (activation and update)",
     "1: a malformed executable is reported like a virus (Heuristics.Broken.Executable); 0: "
     "it is scanned as far as it can be.",
     0, 1},
    {"archivemaxmembers", "ArchiveMaxMembers", Kind::Integer, "10000", nullptr, nullptr,
     "the attachment filter, at the start of each mail",
     "Members listed of one archive part, nested archives included; an archive with more is "
     "unreadable (the attachment-unreadable rule kind).",
     1, INT_MAX},
    {"archivemaxdepth", "ArchiveMaxDepth", Kind::Integer, "8", nullptr, nullptr,
     "the attachment filter, at the start of each mail",
     "Levels of archives looked into (the archive part itself is level 1); an archive below "
     "the last level makes its part unreadable.",
     1, INT_MAX},
    {"archivemaxunpacked", "ArchiveMaxUnpacked", Kind::Size, "536870912", nullptr,
     "536870912 (512 MiB)", "the attachment filter, at the start of each mail",
     "Bytes the members of one archive part hold in all, as declared or as read; more makes "
     "the part unreadable before anything is unpacked."},
    {"archivemaxtime", "ArchiveMaxTime", Kind::Integer, "20000", nullptr, nullptr,
     "the attachment filter, at the start of each mail",
     "Milliseconds one archive part may take to list; a longer listing makes the part "
     "unreadable.",
     1, INT_MAX},
};

#undef AT_USE

// Keys with a dot ("Milter.Socket", "HostText.67") belong to the host's own
// families and are kept as given; every other key is one of the table.
bool IsHostKey(const std::string& folded) {
    return folded.find('.') != std::string::npos;
}

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Integer:
            return "integer";
        case Kind::Size:
            return "bytes";
        default:
            return "text";
    }
}

bool DefaultValue(const KnownKey& known, std::string* value) {
    if (known.computed != nullptr) {
        *value = known.computed();
        return true;
    }
    if (known.fixed != nullptr) {
        *value = known.fixed;
        return true;
    }
    return false;
}

bool HasRange(const KnownKey* known) {
    return known != nullptr && (known->min != 0 || known->max != 0);
}

const KnownKey* FindKnown(const std::string& folded) {
    for (const KnownKey& k : KNOWN_KEYS) {
        if (folded == k.key) {
            return &k;
        }
    }
    return nullptr;
}

// A value set or loaded, and where it came from ("FILE:LINE", or the
// origin the host gave with miraconf_set_from).
struct Entry {
    std::string value;
    std::string origin;
};

// One change of a batch: a null value removes the key.
struct Change {
    std::string key;
    const std::string* value;
    std::string origin;
};

class Store {
  public:
    bool Get(const std::string& folded, std::string* value) const {
        {
            std::shared_lock lock(m_lock);
            auto it = m_values.find(folded);
            if (it != m_values.end()) {
                *value = it->second.value;
                return true;
            }
        }
        const KnownKey* known = FindKnown(folded);
        return known != nullptr && DefaultValue(*known, value);
    }
    // True when the key was set or loaded (its default does not count).
    bool IsSet(const std::string& folded) const {
        std::shared_lock lock(m_lock);
        return m_values.count(folded) != 0;
    }
    // False when the key has no value set or loaded.
    bool Origin(const std::string& folded, std::string* origin) const {
        std::shared_lock lock(m_lock);
        auto it = m_values.find(folded);
        if (it == m_values.end())
            return false;
        *origin = it->second.origin;
        return true;
    }
    // Applies a batch of changes at once.
    void Apply(const std::vector<Change>& changes) {
        std::unique_lock lock(m_lock);
        for (const Change& c : changes) {
            if (c.value == nullptr) {
                m_values.erase(c.key);
            } else {
                m_values[c.key] = {*c.value, c.origin};
            }
        }
    }
    void Clear() {
        std::unique_lock lock(m_lock);
        m_values.clear();
    }

  private:
    mutable std::shared_mutex m_lock;
    std::map<std::string, Entry> m_values;
};

Store& TheStore() {
    static Store store;
    return store;
}

// Folds a key to lower case; false when it is empty, too long or holds a
// character other than letters, digits, '_', '.' and '-'.
bool FoldKey(std::string_view key, std::string* folded) {
    if (key.empty() || key.size() > MIRACONF_MAX_KEY) {
        return false;
    }
    folded->clear();
    for (char c : key) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '.' || c == '-';
        if (!ok) {
            return false;
        }
        folded->push_back(pf::ascii_lower(c));
    }
    return true;
}

bool ParseInt(std::string_view text, int* out) {
    std::string s(text);
    if (s.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (end == s.c_str() || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX ||
        s[0] == ' ' || s[0] == '\t') {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

// A byte count: whole decimal digits only, within 64 bits.
bool IsSize(std::string_view text) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return text.size() < 20 || text <= "18446744073709551615";
}

// Null when the value may be stored under the (folded) key, else the reason.
const char* CheckValue(const std::string& folded, std::string_view value) {
    if (value.size() > MIRACONF_MAX_VALUE) {
        return "value too long";
    }
    for (unsigned char c : value) {
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            return "control character in value";
        }
    }
    const KnownKey* known = FindKnown(folded);
    if (known == nullptr && !IsHostKey(folded)) {
        return "unknown key";
    }
    int number = 0;
    if (known != nullptr && known->kind == Kind::Integer && !ParseInt(value, &number)) {
        return "value must be a whole number";
    }
    if (HasRange(known) && (number < known->min || number > known->max)) {
        return "value out of range";
    }
    if (known != nullptr && known->kind == Kind::Size && !IsSize(value)) {
        return "value must be a number of bytes";
    }
    return nullptr;
}

// What surrounds keys and values on a line and is not part of them.
constexpr std::string_view BLANKS = " \t";

// A quoted value: "..." with \" and \\ as the only escapes and nothing but
// blanks after the closing quote. Null on success, else the reason.
const char* Unquote(std::string_view text, std::string* value) {
    value->clear();
    for (std::size_t i = 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            return pf::trim(text.substr(i + 1), BLANKS).empty() ? nullptr
                                                                : "text after closing quote";
        }
        if (c == '\\') {
            if (i + 1 >= text.size() || (text[i + 1] != '"' && text[i + 1] != '\\')) {
                return "unknown escape in quoted value (only \\\" and \\\\)";
            }
            c = text[++i];
        }
        value->push_back(c);
    }
    return "missing closing quote";
}

struct Parsed {
    std::vector<std::string> keys;
    std::vector<std::string> values;
    std::vector<int> lines;
};

// The reason a value is refused, with the key and what is allowed.
std::string Refusal(std::string_view key, const std::string& folded, const char* why) {
    if (std::strcmp(why, "unknown key") == 0) {
        return "unknown key '" + std::string(key) + "'";
    }
    if (const KnownKey* known = FindKnown(folded);
        HasRange(known) && std::strcmp(why, "value out of range") == 0) {
        return std::string(key) + ": value out of range (" + std::to_string(known->min) + " to " +
               std::to_string(known->max) + ")";
    }
    return why;
}

// Parses line `number`; blank and comment lines give no entry. Empty on
// success, else the reason.
std::string ParseLine(std::string_view line, int number, Parsed* out) {
    if (line.size() > MIRACONF_MAX_LINE) {
        return "line too long";
    }
    if (line.find('\0') != std::string_view::npos) {
        return "NUL byte in line";
    }
    std::string_view body = pf::trim(line, BLANKS);
    if (body.empty() || body.front() == '#' || body.front() == ';') {
        return "";
    }
    if (body.front() == '[') {
        return "sections are not supported";
    }
    std::size_t eq = body.find('=');
    if (eq == std::string_view::npos) {
        return "expected \"key = value\"";
    }
    std::string key;
    const std::string_view written = pf::trim(body.substr(0, eq), BLANKS);
    if (!FoldKey(written, &key)) {
        return "bad key (letters, digits, '_', '.', '-'; at most 64)";
    }
    std::string_view raw = pf::trim(body.substr(eq + 1), BLANKS);
    std::string value;
    if (!raw.empty() && raw.front() == '"') {
        if (const char* why = Unquote(raw, &value)) {
            return why;
        }
    } else {
        value.assign(raw);
    }
    if (const char* why = CheckValue(key, value)) {
        return Refusal(written, key, why);
    }
    out->keys.push_back(std::move(key));
    out->values.push_back(std::move(value));
    out->lines.push_back(number);
    return "";
}

void PutError(char* error, std::size_t size, const std::string& text) {
    if (error != nullptr && size > 0) {
        std::snprintf(error, size, "%s", text.c_str());
    }
}

// Reads and checks the file; applies it too unless `apply` is false.
int Load(const char* path, bool apply, char* error, std::size_t errorSize) {
    if (path == nullptr || *path == '\0') {
        PutError(error, errorSize, "(null): no file name");
        return -1;
    }
    std::string data, why;
    if (!ReadWholeFile(path, MIRACONF_MAX_FILE, &data, &why)) {
        PutError(error, errorSize, std::string(path) + ": " + why);
        return -1;
    }
    std::string_view rest(data);
    if (rest.substr(0, 3) == "\xEF\xBB\xBF") {
        rest.remove_prefix(3);
    }
    Parsed parsed;
    for (int number = 1; !rest.empty(); ++number) {
        std::size_t lf = rest.find('\n');
        std::string_view line = rest.substr(0, lf);
        rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (const std::string reason = ParseLine(line, number, &parsed); !reason.empty()) {
            PutError(error, errorSize,
                     std::string(path) + ":" + std::to_string(number) + ": " + reason);
            return -1;
        }
    }
    std::vector<Change> changes;
    for (std::size_t i = 0; i < parsed.keys.size(); ++i) {
        changes.push_back({parsed.keys[i], &parsed.values[i],
                           std::string(path) + ":" + std::to_string(parsed.lines[i])});
    }
    if (apply) {
        TheStore().Apply(changes);
    }
    PutError(error, errorSize, "");
    return 0;
}

}  // namespace

bool ConfigValue(const char* key, std::string* value) {
    std::string folded;
    if (key == nullptr || !FoldKey(key, &folded)) {
        return false;
    }
    return TheStore().Get(folded, value);
}

bool ReadWholeFile(const char* path, std::size_t max, std::string* data, std::string* error) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        *error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    data->clear();
    char chunk[8192];
    std::size_t n = 0;
    bool tooLarge = false;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (data->size() + n > max) {
            tooLarge = true;
            break;
        }
        data->append(chunk, n);
    }
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (tooLarge) {
        *error = "file larger than " + std::to_string(max) + " bytes";
        return false;
    }
    if (failed) {
        *error = "read error";
        return false;
    }
    return true;
}

}  // namespace miralib

using miralib::ConfigValue;

extern "C" MIRALIB_API int miraconf_set_from(const char* key, const char* value,
                                             const char* origin) {
    try {
        std::string folded;
        if (key == nullptr || !miralib::FoldKey(key, &folded)) {
            return -1;
        }
        std::string copy;
        if (value != nullptr) {
            if (miralib::CheckValue(folded, value) != nullptr) {
                return -1;
            }
            copy = value;
        }
        miralib::TheStore().Apply(
            {{folded, value != nullptr ? &copy : nullptr, origin != nullptr ? origin : "set"}});
        return 0;
    } catch (...) {
        return -1;
    }
}

extern "C" MIRALIB_API int miraconf_set(const char* key, const char* value) {
    return miraconf_set_from(key, value, "set");
}

extern "C" MIRALIB_API int miraconf_origin(const char* key, char* buf, size_t size) {
    try {
        if (buf != nullptr && size > 0) {
            buf[0] = '\0';
        }
        std::string folded, origin;
        if (key == nullptr || !miralib::FoldKey(key, &folded) ||
            !miralib::TheStore().Origin(folded, &origin)) {
            return 0;
        }
        if (buf != nullptr && size > 0) {
            std::snprintf(buf, size, "%s", origin.c_str());
        }
        return 1;
    } catch (...) {
        return 0;
    }
}

extern "C" MIRALIB_API int miraconf_key_range(const char* key, long long* min, long long* max) {
    std::string folded;
    if (key == nullptr || !miralib::FoldKey(key, &folded)) {
        return 0;
    }
    const miralib::KnownKey* known = miralib::FindKnown(folded);
    if (!miralib::HasRange(known)) {
        return 0;
    }
    if (min != nullptr) {
        *min = known->min;
    }
    if (max != nullptr) {
        *max = known->max;
    }
    return 1;
}

extern "C" MIRALIB_API int miraconf_check_file(const char* path, char* error, size_t errorSize) {
    try {
        return miralib::Load(path, false, error, errorSize);
    } catch (...) {
        miralib::PutError(error, errorSize, "out of memory");
        return -1;
    }
}

extern "C" MIRALIB_API int miraconf_get(const char* key, char* buf, size_t size) {
    try {
        if (buf != nullptr && size > 0) {
            buf[0] = '\0';
        }
        std::string value;
        if (!ConfigValue(key, &value)) {
            return 0;
        }
        if (buf == nullptr || size == 0) {
            return 1;
        }
        if (value.size() >= size) {
            return -1;
        }
        std::memcpy(buf, value.c_str(), value.size() + 1);
        return 1;
    } catch (...) {
        return 0;
    }
}

extern "C" MIRALIB_API int miraconf_key_info(size_t index, miraconf_keyinfo* info) {
    if (info == nullptr || index >= std::size(miralib::KNOWN_KEYS)) {
        return 0;
    }
    const miralib::KnownKey& k = miralib::KNOWN_KEYS[index];
    info->name = k.name;
    info->kind = miralib::KindName(k.kind);
    info->default_text = k.defaultText != nullptr ? k.defaultText
                         : k.fixed != nullptr     ? k.fixed
                                                  : "none";
    info->read_by = k.readBy;
    info->meaning = k.meaning;
    return 1;
}

extern "C" MIRALIB_API int miraconf_is_set(const char* key) {
    try {
        std::string folded;
        if (key == nullptr || !miralib::FoldKey(key, &folded)) {
            return 0;
        }
        return miralib::TheStore().IsSet(folded) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

extern "C" MIRALIB_API char* miraconf_dup(const char* key) {
    try {
        std::string value;
        if (!ConfigValue(key, &value)) {
            return nullptr;
        }
        char* copy = static_cast<char*>(std::malloc(value.size() + 1));
        if (copy != nullptr) {
            std::memcpy(copy, value.c_str(), value.size() + 1);
        }
        return copy;
    } catch (...) {
        return nullptr;
    }
}

extern "C" MIRALIB_API int miraconf_get_int(const char* key, int fallback) {
    try {
        std::string value;
        int number = 0;
        if (ConfigValue(key, &value) && miralib::ParseInt(value, &number)) {
            return number;
        }
        return fallback;
    } catch (...) {
        return fallback;
    }
}

extern "C" MIRALIB_API int miraconf_load(const char* path, char* error, size_t errorSize) {
    try {
        return miralib::Load(path, true, error, errorSize);
    } catch (...) {
        miralib::PutError(error, errorSize, "out of memory");
        return -1;
    }
}

extern "C" MIRALIB_API void miraconf_reset(void) {
    try {
        miralib::TheStore().Clear();
    } catch (...) {
    }
}
