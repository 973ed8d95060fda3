// engine.h - what the exported AV_* functions (vaveriz_api.cpp) need from a
// scanning back end: libclamav (vaveriz_clamav.cpp) or the project's own
// signature reader (vaveriz_sigscan.cpp).
//
//   EngineLimits
//       the scan limits a built engine applies to every scan: bytes scanned
//       in all (archives and mails unpack), size of one file (the scanned
//       one or one unpacked from it), files unpacked, levels of nesting and
//       milliseconds of one scan. A scan that reaches a limit is a failure
//       (ENGINE_RESULT_LIMIT, with an error line naming the limit), never a
//       clean result:
//       what lies behind the limit was not looked at. Back ends that do not
//       unpack apply the sizes to the file alone.
//   BuildEngine(ownDir, systemDir, tempDir, limits, &error)
//       loads and compiles the signatures of `ownDir` (required) and of
//       `systemDir` (loaded too when it holds databases of the back end; ""
//       means none). Null with a reason when a folder cannot be loaded or no
//       signature was found: an engine without signatures would call every
//       file clean. A back end that writes temporary files (libclamav
//       unpacks archives and mails into a folder per scan) writes them below
//       `tempDir` ("" leaves the back end's own choice).
//   Engine::Scan(path, &virus)
//       AV_RESULT_VIRUS with the signature name in `virus`, AV_RESULT_CLEAN,
//       AV_RESULT_FAILED (the results of vaveriz.h), or ENGINE_RESULT_LIMIT
//       for a scan that stopped at a limit (a failure too, which the
//       exports tell apart: AV_GetLastFailure). Called on many threads at
//       once; an engine is immutable once built.
//   Engine::ScanBuffer(data, size, name, &virus)
//       the same for `size` bytes in memory, scanned with the same options
//       and limits as a file; `name` stands for the data in error lines.
//   Engine::Describe()
//       the version text: the engine, its version and the signature count.
//   DescribeNoEngine()
//       the version text while no engine is loaded.
//   BuildClamdEngine(settings, limits, &error)
//       the back end that has clamd scan (vaveriz_clamd.cpp): null with a
//       reason when no clamd of `settings` answers.
//   HoldsDatabase(dir, extensions)
//       true when the folder has a file whose name ends in one of the
//       (lower-case) extensions; a missing folder holds none.
#ifndef VAVERIZ_ENGINE_H
#define VAVERIZ_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "vaveriz/vaveriz.h"  // the scan results

namespace vaveriz {

// What Engine::Scan and ScanBuffer return for a scan that stopped at a
// limit; the exports pass it on as AV_RESULT_FAILED.
constexpr int ENGINE_RESULT_LIMIT = -2;

// Defaults of the limits (ClamAV's own defaults); the configuration values
// EngineMaxScanSize and EngineMaxFileSize (kilobytes), EngineMaxFiles,
// EngineMaxRecursion and EngineMaxScanTime (milliseconds) replace them.
constexpr std::uint64_t ENGINE_MAX_SCAN_SIZE_KB = 400 * 1024;
constexpr std::uint64_t ENGINE_MAX_FILE_SIZE_KB = 100 * 1024;
constexpr std::uint64_t ENGINE_MAX_FILES = 10000;
constexpr std::uint64_t ENGINE_MAX_RECURSION = 17;
constexpr std::uint64_t ENGINE_MAX_SCAN_TIME_MS = 120000;

// Heuristic alerts besides ClamAV's default ones (EngineLimits::heuristics),
// switched on by the configuration values HeuristicMacros,
// HeuristicEncrypted, HeuristicPhishing and HeuristicBrokenExecutables. A
// hit is a virus result under libclamav's own name.
constexpr std::uint32_t HEURISTIC_MACROS = 0x01;
constexpr std::uint32_t HEURISTIC_ENCRYPTED = 0x02;
constexpr std::uint32_t HEURISTIC_PHISHING = 0x04;
constexpr std::uint32_t HEURISTIC_BROKEN = 0x08;
constexpr std::uint32_t HEURISTIC_DEFAULTS = HEURISTIC_MACROS;

struct EngineLimits {
    std::uint64_t maxScanSize = ENGINE_MAX_SCAN_SIZE_KB * 1024;  // bytes
    std::uint64_t maxFileSize = ENGINE_MAX_FILE_SIZE_KB * 1024;  // bytes
    std::uint64_t maxFiles = ENGINE_MAX_FILES;
    std::uint64_t maxRecursion = ENGINE_MAX_RECURSION;
    std::uint64_t maxScanTime = ENGINE_MAX_SCAN_TIME_MS;  // milliseconds
    std::uint32_t heuristics = HEURISTIC_DEFAULTS;        // HEURISTIC_ bits

    bool operator==(const EngineLimits&) const = default;
};

// Defaults of the clamd back end (configuration keys ClamdTimeout,
// ClamdConnectTimeout in seconds, ClamdStreamMaxLength in bytes).
constexpr unsigned CLAMD_TIMEOUT_S = 120;
constexpr unsigned CLAMD_CONNECT_TIMEOUT_S = 5;
constexpr std::uint64_t CLAMD_STREAM_MAX_LENGTH = 25ULL * 1024 * 1024;
constexpr unsigned CLAMD_TIMEOUT_MAX_S = 3600;
constexpr std::uint64_t CLAMD_STREAM_MAX_MAX = 4ULL * 1024 * 1024 * 1024;
// Seconds a clamd that failed is passed over while another one is left.
constexpr unsigned CLAMD_RETRY_SECONDS = 10;

struct ClamdSettings {
    std::vector<std::string> sockets;  // "/path" (unix) or "host:port"
    unsigned timeoutSeconds = CLAMD_TIMEOUT_S;
    unsigned connectTimeoutSeconds = CLAMD_CONNECT_TIMEOUT_S;
    std::uint64_t streamMaxLength = CLAMD_STREAM_MAX_LENGTH;

    bool operator==(const ClamdSettings&) const = default;
};

class Engine {
  public:
    virtual ~Engine() = default;
    virtual int Scan(const char* path, std::string* virus) const = 0;
    virtual int ScanBuffer(const void* data, std::size_t size, const char* name,
                           std::string* virus) const = 0;
    virtual std::string Describe() const = 0;
};

std::shared_ptr<const Engine> BuildEngine(const std::string& ownDir, const std::string& systemDir,
                                          const std::string& tempDir, const EngineLimits& limits,
                                          std::string* error);
std::string DescribeNoEngine();

std::shared_ptr<const Engine> BuildClamdEngine(const ClamdSettings& settings,
                                               const EngineLimits& limits, std::string* error);

// Set by an engine when the calling thread's scan failed and all it left out
// was encrypted archive content; cleared by the API before each scan.
extern thread_local bool t_encryptedOnly;

bool HoldsDatabase(const std::string& dir, std::initializer_list<const char*> extensions);

}  // namespace vaveriz

#endif
