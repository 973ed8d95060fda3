// vaveriz_api.cpp - the exported engine interface (AV_*), the same for both
// back ends (engine.h).
//
// The loaded engine sits in one slot guarded by a reader/writer lock. A scan
// holds the shared lock only while it copies the shared pointer and then
// scans without a lock; the engine is released by whoever drops the last
// reference. So AV_Exit or a reload never frees an engine under a running
// scan, and never has to wait for a long scan to end. AV_Init,
// AV_ActivateUpdate and AV_Exit are serialised among themselves (one build at
// a time), build the new engine outside the slot's lock and swap it in under
// the exclusive lock. A reload that fails keeps the engine that was there:
// an update gone wrong must not leave the host without virus checks.
//
// The signature folders come from the host configuration (miralib), read at
// each load: SignatureDir (required) and SystemSignatureDir (optional); so do
// the scan limits (EngineMaxScanSize, EngineMaxFileSize in kilobytes,
// EngineMaxFiles, EngineMaxRecursion, EngineMaxScanTime in milliseconds;
// defaults in engine.h). A limit that is not a whole number above 0 keeps
// its default, with an error line.
//
// The back end and its settings are read at each load too: Engine ("local"
// or "clamd"), and for clamd ClamdSocket (comma-separated), ClamdTimeout,
// ClamdConnectTimeout and ClamdStreamMaxLength. The local back end needs
// SignatureDir; clamd loads its own database.
//
// AV_Preload builds an engine into a holder that is never destroyed, so
// that neither the preloading process nor a child forked from it ever frees
// it (its pages are the ones the children share). The first AV_Init of a
// process takes it when the settings it was built from are the ones in
// force; any later AV_Init loads anew, as before.
//
// Per thread: the name of the last finding (kept across later clean scans,
// since the pipeline asks for it after a whole walk over the parts), why the
// last scan failed (AV_GetLastFailure: an engine's ENGINE_RESULT_LIMIT is a
// limit, or encrypted content when the engine set t_encryptedOnly) and the
// last version text; the pointers handed out stay valid until the same
// thread asks again.
//
// Every exported function catches everything: no exception reaches the host.
#include "vaveriz/vaveriz.h"
#include "vaveriz/engine.h"
#include "miralib/miralib.h"
#include "qorcsock/qorcsock.h"
#include "pf/text.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cctype>
#include <filesystem>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

namespace vaveriz {

thread_local bool t_encryptedOnly = false;

namespace {

// The engine slot and its locks are never destroyed: a host's thread may
// still scan or let go of the engine while the process ends (a service
// released from inside its own job ends on its worker), and the exit's
// destructors must not pull the slot away under it.
struct Slot {
    std::shared_mutex lock;
    std::shared_ptr<const Engine> engine;  // guarded by `lock`
    std::mutex loadLock;  // one AV_Init / AV_ActivateUpdate / AV_Exit / AV_Preload at a time
};
Slot& TheSlot() {
    static Slot* slot = new Slot();
    return *slot;
}
std::shared_mutex& g_slotLock = TheSlot().lock;
std::shared_ptr<const Engine>& g_engine = TheSlot().engine;
std::mutex& g_loadLock = TheSlot().loadLock;

thread_local std::string t_lastVirus;
thread_local std::string t_versionText;
thread_local int t_lastFailure = AV_FAILURE_NONE;

constexpr const char* BACK_END_LOCAL = "local";
constexpr const char* BACK_END_CLAMD = "clamd";

// Everything an engine is built from.
struct EngineSettings {
    std::string backEnd;
    std::string ownDir;
    std::string systemDir;
    std::string tempDir;
    EngineLimits limits;
    ClamdSettings clamd;

    bool operator==(const EngineSettings&) const = default;
};

// The engine AV_Preload built and the settings it came from. Made once and
// never destroyed (see the top of this file).
struct Preloaded {
    std::shared_ptr<const Engine> engine;
    EngineSettings settings;
    bool offered = false;  // the first AV_Init of this process has looked at it
};
Preloaded& ThePreloaded() {
    static Preloaded* preloaded = new Preloaded();
    return *preloaded;
}

std::shared_ptr<const Engine> CurrentEngine() {
    std::shared_lock lock(g_slotLock);
    return g_engine;
}

// Puts `engine` into the slot; the old one is dropped after the lock is
// released, so freeing a large engine does not stall starting scans.
void InstallEngine(std::shared_ptr<const Engine> engine) {
    {
        std::unique_lock lock(g_slotLock);
        g_engine.swap(engine);
    }
    engine.reset();
}

std::string ConfigText(const char* key) {
    std::string value;
    if (char* v = miraconf_dup(key)) {
        value = v;
        cbcontext_free(v);
    }
    return value;
}

// The configured value of `key` (a whole number above 0) times `unit`, or
// `fallback` times `unit` when it has none; a bad value is logged.
std::uint64_t ConfigLimit(const char* key, std::uint64_t fallback, std::uint64_t unit) {
    const std::string text = ConfigText(key);
    if (text.empty()) {
        return fallback * unit;
    }
    std::uint64_t value = 0;
    bool ok = text.size() <= 15;  // far above any limit, far below overflow
    for (char c : text) {
        ok = ok && c >= '0' && c <= '9';
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!ok || value == 0) {
        errmsg("vaveriz: %s must be a whole number above 0; %llu is used", key,
               static_cast<unsigned long long>(fallback));
        return fallback * unit;
    }
    return value * unit;
}

// The configured value of `key` as a whole number from 1 to `high`, else
// `fallback` (a bad value is logged).
std::uint64_t ConfigNumber(const char* key, std::uint64_t fallback, std::uint64_t high) {
    const std::uint64_t value = ConfigLimit(key, fallback, 1);
    if (value > high) {
        errmsg("vaveriz: %s must be at most %llu; %llu is used", key,
               static_cast<unsigned long long>(high), static_cast<unsigned long long>(fallback));
        return fallback;
    }
    return value;
}

// The entries of a comma-separated list, blanks around them removed.
std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) {
            comma = text.size();
        }
        std::string entry = text.substr(start, comma - start);
        entry.erase(0, entry.find_first_not_of(" \t"));
        entry.erase(entry.find_last_not_of(" \t") + 1);
        if (!entry.empty()) {
            out.push_back(entry);
        }
        start = comma + 1;
    }
    return out;
}

EngineLimits ConfiguredLimits() {
    EngineLimits limits;
    limits.maxScanSize = ConfigLimit("EngineMaxScanSize", ENGINE_MAX_SCAN_SIZE_KB, 1024);
    limits.maxFileSize = ConfigLimit("EngineMaxFileSize", ENGINE_MAX_FILE_SIZE_KB, 1024);
    limits.maxFiles = ConfigLimit("EngineMaxFiles", ENGINE_MAX_FILES, 1);
    limits.maxRecursion = ConfigLimit("EngineMaxRecursion", ENGINE_MAX_RECURSION, 1);
    limits.maxScanTime = ConfigLimit("EngineMaxScanTime", ENGINE_MAX_SCAN_TIME_MS, 1);
    limits.heuristics = 0;
    const struct {
        const char* key;
        std::uint32_t bit;
    } heuristics[] = {{"HeuristicMacros", HEURISTIC_MACROS},
                      {"HeuristicEncrypted", HEURISTIC_ENCRYPTED},
                      {"HeuristicPhishing", HEURISTIC_PHISHING},
                      {"HeuristicBrokenExecutables", HEURISTIC_BROKEN}};
    for (const auto& h : heuristics) {
        const int fallback = (HEURISTIC_DEFAULTS & h.bit) != 0 ? 1 : 0;
        if (miraconf_get_int(h.key, fallback) != 0)
            limits.heuristics |= h.bit;
    }
    return limits;
}

// The settings in force; false with an error line when they cannot make
// an engine.
bool ConfiguredSettings(EngineSettings* settings) {
    std::string backEnd = pf::ascii_lower(ConfigText("Engine"));
    settings->backEnd = backEnd.empty() ? BACK_END_LOCAL : backEnd;
    settings->limits = ConfiguredLimits();
    if (settings->backEnd == BACK_END_CLAMD) {
        ClamdSettings& clamd = settings->clamd;
        clamd.sockets = SplitList(ConfigText("ClamdSocket"));
        clamd.timeoutSeconds = static_cast<unsigned>(
            ConfigNumber("ClamdTimeout", CLAMD_TIMEOUT_S, CLAMD_TIMEOUT_MAX_S));
        clamd.connectTimeoutSeconds = static_cast<unsigned>(
            ConfigNumber("ClamdConnectTimeout", CLAMD_CONNECT_TIMEOUT_S, CLAMD_TIMEOUT_MAX_S));
        clamd.streamMaxLength =
            ConfigNumber("ClamdStreamMaxLength", CLAMD_STREAM_MAX_LENGTH, CLAMD_STREAM_MAX_MAX);
        if (clamd.sockets.empty()) {
            errmsg("vaveriz: Engine = clamd needs at least one ClamdSocket");
            return false;
        }
        return true;
    }
    if (settings->backEnd != BACK_END_LOCAL) {
        errmsg("vaveriz: Engine = %s: use %s or %s", settings->backEnd.c_str(), BACK_END_LOCAL,
               BACK_END_CLAMD);
        return false;
    }
    settings->ownDir = ConfigText("SignatureDir");
    settings->systemDir = ConfigText("SystemSignatureDir");
    settings->tempDir = ConfigText("TempDir");
    if (settings->ownDir.empty()) {
        errmsg("vaveriz: no SignatureDir configured");
        return false;
    }
    return true;
}

std::shared_ptr<const Engine> Build(const EngineSettings& settings) {
    std::string error;
    std::shared_ptr<const Engine> engine =
        settings.backEnd == BACK_END_CLAMD
            ? BuildClamdEngine(settings.clamd, settings.limits, &error)
            : BuildEngine(settings.ownDir, settings.systemDir, settings.tempDir, settings.limits,
                          &error);
    if (!engine) {
        errmsg("vaveriz: loading signatures failed: %s", error.c_str());
    }
    return engine;
}

// The preloaded engine when this is the process's first AV_Init and it was
// built from `settings`; null otherwise.
std::shared_ptr<const Engine> TakePreloaded(const EngineSettings& settings) {
    Preloaded& preloaded = ThePreloaded();
    if (preloaded.offered || !preloaded.engine) {
        return nullptr;
    }
    preloaded.offered = true;
    if (!(preloaded.settings == settings)) {
        debugmsg(debug_gethandle("VAVERIZ"),
                 "vaveriz: the preloaded engine was built from other settings; loading anew");
        return nullptr;
    }
    return preloaded.engine;
}

// Builds a new engine from the configuration (or adopts the preloaded one,
// with `mayAdopt`) and installs it. With `onlyWhenLoaded`, nothing happens
// while no engine is loaded (an update must not start an engine the host
// has not activated).
int LoadEngine(bool onlyWhenLoaded, bool mayAdopt) {
    std::lock_guard load(g_loadLock);
    if (onlyWhenLoaded && !CurrentEngine()) {
        errmsg("vaveriz: AV_ActivateUpdate() - engine not initialised");
        return -1;
    }
    EngineSettings settings;
    if (!ConfiguredSettings(&settings)) {
        return -1;
    }
    std::shared_ptr<const Engine> engine = mayAdopt ? TakePreloaded(settings) : nullptr;
    const bool adopted = engine != nullptr;
    if (!engine) {
        engine = Build(settings);
    }
    if (!engine) {
        return -1;
    }
    std::string text = engine->Describe();
    InstallEngine(std::move(engine));
    debugmsg(debug_gethandle("VAVERIZ"), "vaveriz: engine %s (%s)",
             adopted ? "adopted from the preloading process" : "loaded", text.c_str());
    return 0;
}

// The scan result of `result` for the exports, noting why a scan failed:
// a limit, or only encrypted content the engine cannot look into (the
// engine sets t_encryptedOnly then), or any other failure.
int Outcome(int result) {
    if (result == ENGINE_RESULT_LIMIT || result == AV_RESULT_FAILED) {
        t_lastFailure = t_encryptedOnly                 ? AV_FAILURE_ENCRYPTED
                        : result == ENGINE_RESULT_LIMIT ? AV_FAILURE_LIMIT
                                                        : AV_FAILURE_ERROR;
        return AV_RESULT_FAILED;
    }
    t_lastFailure = AV_FAILURE_NONE;
    return result;
}

bool IsRegularFile(const char* path) {
#if defined(_WIN32)
    struct _stat64 st;
    return _stat64(path, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
#endif
}

}  // namespace

bool HoldsDatabase(const std::string& dir, std::initializer_list<const char*> extensions) {
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = pf::ascii_lower(it->path().filename().string());
        for (const char* ext : extensions) {
            std::string e(ext);
            if (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace vaveriz

using namespace vaveriz;

extern "C" VAVERIZ_API int AV_Init(void) {
    try {
        return LoadEngine(false, true);
    } catch (...) {
        return -1;
    }
}

extern "C" VAVERIZ_API void AV_Exit(void) {
    try {
        std::lock_guard load(g_loadLock);
        InstallEngine(nullptr);
    } catch (...) {
    }
}

extern "C" VAVERIZ_API int AV_CheckFile(const char* path) {
    t_lastFailure = AV_FAILURE_ERROR;
    t_encryptedOnly = false;
    try {
        if (path == nullptr || *path == '\0') {
            return AV_RESULT_FAILED;
        }
        std::shared_ptr<const Engine> engine = CurrentEngine();
        if (!engine) {
            return AV_RESULT_FAILED;
        }
        // Engines read what they are given: a folder or a device would be
        // "scanned" as empty data and called clean.
        if (!IsRegularFile(path)) {
            return AV_RESULT_FAILED;
        }
        std::string virus;
        int result = Outcome(engine->Scan(path, &virus));
        if (result == AV_RESULT_VIRUS) {
            t_lastVirus = std::move(virus);
        }
        return result;
    } catch (...) {
        t_lastFailure = AV_FAILURE_ERROR;
        return AV_RESULT_FAILED;
    }
}

extern "C" VAVERIZ_API int AV_CheckBuffer(const void* data, size_t size, const char* name) {
    t_lastFailure = AV_FAILURE_ERROR;
    t_encryptedOnly = false;
    try {
        if (data == nullptr && size > 0) {
            return AV_RESULT_FAILED;
        }
        std::shared_ptr<const Engine> engine = CurrentEngine();
        if (!engine) {
            return AV_RESULT_FAILED;
        }
        if (size == 0) {
            t_lastFailure = AV_FAILURE_NONE;
            return AV_RESULT_CLEAN;  // like an empty file: nothing there to find
        }
        std::string virus;
        int result = Outcome(engine->ScanBuffer(
            data, size, name != nullptr && *name != '\0' ? name : "(memory)", &virus));
        if (result == AV_RESULT_VIRUS) {
            t_lastVirus = std::move(virus);
        }
        return result;
    } catch (...) {
        t_lastFailure = AV_FAILURE_ERROR;
        return AV_RESULT_FAILED;
    }
}

extern "C" VAVERIZ_API int AV_GetLastFailure(void) {
    return t_lastFailure;
}

extern "C" VAVERIZ_API int AV_Preload(void) {
    try {
        std::lock_guard load(g_loadLock);
        EngineSettings settings;
        if (!ConfiguredSettings(&settings)) {
            return -1;
        }
        std::shared_ptr<const Engine> engine = Build(settings);
        if (!engine) {
            return -1;
        }
        Preloaded& preloaded = ThePreloaded();
        preloaded.engine = std::move(engine);
        preloaded.settings = std::move(settings);
        preloaded.offered = false;
        debugmsg(debug_gethandle("VAVERIZ"), "vaveriz: engine preloaded (%s)",
                 preloaded.engine->Describe().c_str());
        return 0;
    } catch (...) {
        return -1;
    }
}

extern "C" VAVERIZ_API const char* AV_GetLastVirusName(void) {
    return t_lastVirus.c_str();
}

extern "C" VAVERIZ_API const char* AV_GetEngineVersion(int, int, int, int, int, int, int, int, int,
                                                       int, int) {
    try {
        std::shared_ptr<const Engine> engine = CurrentEngine();
        t_versionText = engine ? engine->Describe() : DescribeNoEngine();
    } catch (...) {
        t_versionText.clear();
    }
    return t_versionText.c_str();
}

extern "C" VAVERIZ_API int AV_ActivateUpdate(int /*update*/) {
    try {
        return LoadEngine(true, false);
    } catch (...) {
        return -1;
    }
}
