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
// Per thread: the name of the last finding (kept across later clean scans,
// since the pipeline asks for it after a whole walk over the parts) and the
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

namespace vaveriz {

thread_local bool t_encryptedOnly = false;

namespace {

std::shared_mutex g_slotLock;
std::shared_ptr<const Engine> g_engine;  // guarded by g_slotLock
std::mutex g_loadLock;                   // one AV_Init / AV_ActivateUpdate / AV_Exit at a time

thread_local std::string t_lastVirus;
thread_local int t_lastFailure = AV_FAILURE_NONE;

// The result of a scan, with why it failed kept for AV_GetLastFailure.
int Noted(int result) {
    t_lastFailure = result != AV_RESULT_FAILED ? AV_FAILURE_NONE
                    : vaveriz::t_encryptedOnly ? AV_FAILURE_ENCRYPTED
                                               : AV_FAILURE_ERROR;
    return result;
}
thread_local std::string t_versionText;

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

// Builds a new engine from the configured folders and installs it. With
// `onlyWhenLoaded`, nothing happens while no engine is loaded (an update
// must not start an engine the host has not activated).
int LoadEngine(bool onlyWhenLoaded) {
    std::lock_guard load(g_loadLock);
    if (onlyWhenLoaded && !CurrentEngine()) {
        errmsg("vaveriz: AV_ActivateUpdate() - engine not initialised");
        return -1;
    }
    std::string ownDir = ConfigText("SignatureDir");
    std::string systemDir = ConfigText("SystemSignatureDir");
    if (ownDir.empty()) {
        errmsg("vaveriz: no SignatureDir configured");
        return -1;
    }
    std::string error;
    std::shared_ptr<const Engine> engine =
        BuildEngine(ownDir, systemDir, ConfigText("TempDir"), ConfiguredLimits(), &error);
    if (!engine) {
        errmsg("vaveriz: loading signatures failed: %s", error.c_str());
        return -1;
    }
    std::string text = engine->Describe();
    InstallEngine(std::move(engine));
    debugmsg(debug_gethandle("VAVERIZ"), "vaveriz: engine loaded (%s)", text.c_str());
    return 0;
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
        return LoadEngine(false);
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

namespace {

int CheckFile(const char* path) {
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
        int result = engine->Scan(path, &virus);
        if (result == AV_RESULT_VIRUS) {
            t_lastVirus = std::move(virus);
        }
        return result;
    } catch (...) {
        return AV_RESULT_FAILED;
    }
}

int CheckBuffer(const void* data, size_t size, const char* name) {
    try {
        if (data == nullptr && size > 0) {
            return AV_RESULT_FAILED;
        }
        std::shared_ptr<const Engine> engine = CurrentEngine();
        if (!engine) {
            return AV_RESULT_FAILED;
        }
        if (size == 0) {
            return AV_RESULT_CLEAN;  // like an empty file: nothing there to find
        }
        std::string virus;
        int result = engine->ScanBuffer(
            data, size, name != nullptr && *name != '\0' ? name : "(memory)", &virus);
        if (result == AV_RESULT_VIRUS) {
            t_lastVirus = std::move(virus);
        }
        return result;
    } catch (...) {
        return AV_RESULT_FAILED;
    }
}

}  // namespace

extern "C" VAVERIZ_API int AV_CheckFile(const char* path) {
    t_encryptedOnly = false;
    return Noted(CheckFile(path));
}

extern "C" VAVERIZ_API int AV_CheckBuffer(const void* data, size_t size, const char* name) {
    t_encryptedOnly = false;
    return Noted(CheckBuffer(data, size, name));
}

extern "C" VAVERIZ_API int AV_GetLastFailure(void) {
    return t_lastFailure;
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
        return LoadEngine(true);
    } catch (...) {
        return -1;
    }
}
