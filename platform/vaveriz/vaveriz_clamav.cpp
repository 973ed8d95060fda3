// vaveriz_clamav.cpp - the scanning back end on Linux: libclamav.
//
// BuildEngine makes a new cl_engine, loads the project's signature folder
// and, when it holds ClamAV databases, the system folder (both with
// CL_DB_STDOPT), and compiles it. A compiled engine is read-only, and
// libclamav allows any number of threads to scan with it at once.
//
// Scans use the options ClamAV's own scanner uses by default: every parser
// on (archives, mail, PE and other executables, OLE2, PDF, HTML, ...) and
// heuristic alerts on, and the heuristics the configuration switches on
// (EngineLimits::heuristics: Office macros, encrypted archives and
// documents, phishing links, broken executables), whose hits come back as
// viruses under libclamav's names ("Heuristics.OLE2.ContainsMacros.XLM",
// "Heuristics.Encrypted.Zip", ...). The limits (EngineLimits: scan size,
// file size, files, recursion, scan time) are set on the engine, and a scan
// that reaches one ends with libclamav's "Heuristics.Limits.Exceeded.<limit>"
// alert (CL_SCAN_HEURISTIC_EXCEEDS_MAX) or a time-out: both give -1 with an
// error line naming the limit (ENGINE_RESULT_LIMIT), since a file scanned
// only in part is not clean.
//
// libclamav does not raise its limits alert for every file it leaves out:
// a zip member larger than MaxFileSize is unpacked only up to that size
// and the rest is never looked at, and a zip64 entry (its sizes in an
// extra field libclamav does not read) is passed over. The engine's
// per-file callbacks tell which embedded files it did not see whole: the
// archive metadata callback gives each member's size as the archive states
// it, the file inspection callback the size of each file unpacked. A member
// stated larger than MaxFileSize, a zip64 size (0xFFFFFFFF), or an unpacked
// file that came within 8 KiB of MaxFileSize (cut there: the stated size
// may lie) makes the scan fail, and so does an encrypted member: the engine
// cannot look into it (with HeuristicEncrypted on, libclamav's own alert
// "Heuristics.Encrypted.<format>" comes first and is a virus result).
// libclamav keeps a cache of the files it found clean, and a cached file is
// never unpacked again, so the callbacks would stay silent the next time:
// the post-scan callback therefore turns each clean layer of such a scan
// into an alert ("Detected.By.Callback"), which is never cached, and that
// alert gives -1 and the error line "vaveriz: scanning <label>
// stopped at a limit: MaxFileSize (...)" or "... did not see all of it:
// <what> (<member>)". Such a scan is a limit too (ENGINE_RESULT_LIMIT: the
// same bytes stop there at every try), and one whose only gap was encrypted
// content sets t_encryptedOnly besides. A virus found in a file scanned
// before that layer ends is reported as the finding it is.
//
// Bytes scanned twice: the service scans the mail file and then each
// decoded part, and libclamav has unpacked most parts already inside the
// file scan; with a large database each scan costs the engine's set-up
// (tens of milliseconds at millions of signatures) whatever its size. The
// file inspection callback therefore takes the SHA-256 of every file a scan
// holds whole (not of normalised text); a file scan that comes back clean
// leaves those digests to its thread, and a buffer scan of bytes with one
// of them, by the same engine, is clean without scanning again. Any other
// file scan, and a new engine, forget them.
//
// Results: CL_VIRUS gives 1, CL_CLEAN 0, anything else -1 with an error
// line; so is a "clean" result after an error message of libclamav during
// the scan. libclamav marks signatures of databases that are not
// its official ones by appending ".UNOFFICIAL" to their names; names are
// passed on as libclamav gives them. Data in memory is scanned the same
// way through a memory map (cl_fmap_open_memory, cl_scanmap_callback).
//
// libclamav's own messages go to the support library's logging: errors to
// errmsg, the rest to the debug channel "VAVERIZ".
#include "vaveriz/engine.h"
#include "qorcsock/qorcsock.h"

#include <clamav.h>
#include <openssl/sha.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace vaveriz {
namespace {

// Extensions of the database files libclamav loads from a folder.
const std::initializer_list<const char*> CLAMAV_DATABASE_EXTENSIONS = {
    ".cvd", ".cld", ".cud", ".ndb", ".ndu", ".hdb",  ".hsb", ".hdu", ".hsu",
    ".mdb", ".msb", ".mdu", ".msu", ".ldb", ".ldu",  ".idb", ".cdb", ".cbc",
    ".pdb", ".gdb", ".wdb", ".ftm", ".yar", ".yara", ".crb", ".info"};

// The start of the names libclamav gives a scan that reached a limit.
constexpr const char* LIMIT_ALERT_PREFIX = "Heuristics.Limits.Exceeded.";
// The name libclamav gives a file a callback blocked.
constexpr const char* CALLBACK_ALERT_PREFIX = "Detected.By.Callback";

// The size a zip archive states for an entry whose real sizes stand in its
// zip64 extra field.
constexpr unsigned long ZIP64_SIZE_MARK = 0xFFFFFFFFul;

// libclamav's unzip writes what it inflates in blocks of 8 KiB (BUFSIZ) and
// drops the block that would pass MaxFileSize, so a member it cut ends up
// to this many bytes short of the limit.
constexpr std::uint64_t UNPACK_BLOCK_SLACK = 8192;

// Characters of a member's name that go into an error line.
constexpr std::size_t MEMBER_NAME_CHARS = 200;

// The SHA-256 of a file's bytes.
using Digest = std::array<unsigned char, SHA256_DIGEST_LENGTH>;

struct DigestHash {
    std::size_t operator()(const Digest& d) const {
        std::size_t h = 0;
        std::memcpy(&h, d.data(), sizeof h);  // the bytes of a good hash
        return h;
    }
};

Digest DigestOf(const void* data, std::size_t size) {
    Digest d{};
    SHA256(static_cast<const unsigned char*>(data), size, d.data());
    return d;
}

// Files one scan remembers by their digest at most (the mail itself and
// what it unpacked; past that, parts are scanned again).
constexpr std::size_t SEEN_MAX_FILES = 4096;

// What one scan learns from the engine's per-file callbacks (their context
// pointer): the limit it runs under and the first embedded file it did not
// scan whole, as the text of the error line ("" while there is none).
struct ScanWatch {
    std::uint64_t maxFileSize = 0;
    std::string unscanned;
    bool encryptedOnly = true;  // all that was left out was encrypted
    std::vector<Digest> seen;   // the files the scan had whole in memory

    void Note(const std::string& what, bool encrypted = false) {
        if (unscanned.empty()) {
            unscanned = what;
        }
        encryptedOnly = encryptedOnly && encrypted;
    }
};

// A member's name for an error line: control characters blanked, cut.
std::string MemberName(const char* name) {
    std::string text = name != nullptr && *name != '\0' ? name : "unnamed";
    if (text.size() > MEMBER_NAME_CHARS) {
        text.resize(MEMBER_NAME_CHARS);
    }
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 32 || c == 127) {
            c = ' ';
        }
    }
    return text;
}

// Called for each member of an archive libclamav opens, before it unpacks
// the member: the sizes are those the archive states.
cl_error_t NoteArchiveMember(const char*, unsigned long packedSize, const char* name,
                             unsigned long size, int encrypted, unsigned int, void* context) {
    auto* watch = static_cast<ScanWatch*>(context);
    if (watch == nullptr) {
        return CL_CLEAN;
    }
    if (size == ZIP64_SIZE_MARK || packedSize == ZIP64_SIZE_MARK) {
        watch->Note("did not see all of it: a zip64 entry the engine does not unpack (" +
                    MemberName(name) + ")");
    } else if (watch->maxFileSize > 0 && size > watch->maxFileSize) {
        watch->Note("stopped at a limit: MaxFileSize (" + MemberName(name) + ", " +
                    std::to_string(size) + " bytes inside an archive)");
    } else if (encrypted != 0) {
        watch->Note("did not see all of it: an encrypted archive member (" + MemberName(name) + ")",
                    true);
    }
    return CL_CLEAN;  // scanning goes on: a virus elsewhere is still found
}

// Called after each file (the scanned one and those unpacked from it): a
// layer that was clean while the scan left something out becomes an alert,
// so that libclamav does not cache it as clean.
cl_error_t BlockIncompleteLayer(int, int result, const char*, void* context) {
    const auto* watch = static_cast<const ScanWatch*>(context);
    if (watch != nullptr && result == CL_CLEAN && !watch->unscanned.empty()) {
        return CL_VIRUS;
    }
    return CL_CLEAN;  // the result stands
}

// Called for each file libclamav scans, the unpacked ones at levels above 0:
// one that came within UNPACK_BLOCK_SLACK of MaxFileSize may have been cut
// there by the unpacker (whatever size the archive stated for it).
cl_error_t NoteInspectedFile(int, const char*, const char**, std::size_t, const char* name,
                             std::size_t size, const char* buffer, std::uint32_t level,
                             std::uint32_t attributes, void* context) {
    auto* watch = static_cast<ScanWatch*>(context);
    // Each file's bytes as libclamav holds them (not a normalised text it
    // made of them), so that the same bytes met again in this check need
    // no second scan.
    if (watch != nullptr && buffer != nullptr && size > 0 &&
        (attributes & LAYER_ATTRIBUTES_NORMALIZED) == 0 && watch->seen.size() < SEEN_MAX_FILES) {
        watch->seen.push_back(DigestOf(buffer, size));
    }
    if (watch != nullptr && level > 0 && watch->maxFileSize > 0 &&
        size + UNPACK_BLOCK_SLACK >= watch->maxFileSize) {
        watch->Note("stopped at a limit: MaxFileSize (" + MemberName(name) +
                    ", unpacked only up to the limit)");
    }
    return CL_CLEAN;
}

// Error messages of libclamav on this thread since the thread's last scan
// began. libclamav calls the message callback on the scanning thread, and
// some failures (no folder for the scan, for one) end in CL_CLEAN after an
// error message: such a scan must not pass for a clean file.
thread_local unsigned t_scanErrors = 0;

// The last alert libclamav reported on this thread during the running scan
// (cl_scanfile does not give a name for every alert it ends a scan with).
thread_local std::string t_lastAlert;

void NoteAlert(int, const char* virname, void*) {
    if (virname != nullptr) {
        t_lastAlert = virname;
    }
}

void ForwardClamMessage(enum cl_msg severity, const char* fullmsg, const char* msg, void*) {
    std::string line = msg != nullptr ? msg : (fullmsg != nullptr ? fullmsg : "");
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    if (severity == CL_MSG_ERROR) {
        ++t_scanErrors;
        errmsg("vaveriz: libclamav: %s", line.c_str());
    } else {
        debugmsg(debug_gethandle("VAVERIZ"), "vaveriz: libclamav: %s", line.c_str());
    }
}

// cl_init may run only once per process.
cl_error_t InitLibrary() {
    static std::once_flag once;
    static cl_error_t result = CL_SUCCESS;
    std::call_once(once, [] {
        cl_set_clcb_msg(ForwardClamMessage);
        result = cl_init(CL_INIT_DEFAULT);
    });
    return result;
}

struct MapCloser {
    void operator()(cl_fmap_t* map) const { cl_fmap_close(map); }
};

// ClamAV's default scan: every parser on, heuristic alerts on, and a limit
// reached reported as an alert; the heuristics the configuration adds
// (HEURISTIC_ bits of EngineLimits) on top.
cl_scan_options ScanOptions(std::uint32_t heuristics) {
    cl_scan_options options;
    std::memset(&options, 0, sizeof options);
    options.general = CL_SCAN_GENERAL_HEURISTICS;
    options.parse = ~0u;
    options.heuristic = CL_SCAN_HEURISTIC_EXCEEDS_MAX;
    if ((heuristics & HEURISTIC_MACROS) != 0)
        options.heuristic |= CL_SCAN_HEURISTIC_MACROS;
    if ((heuristics & HEURISTIC_ENCRYPTED) != 0)
        options.heuristic |= CL_SCAN_HEURISTIC_ENCRYPTED_ARCHIVE | CL_SCAN_HEURISTIC_ENCRYPTED_DOC;
    if ((heuristics & HEURISTIC_PHISHING) != 0)
        options.heuristic |=
            CL_SCAN_HEURISTIC_PHISHING_SSL_MISMATCH | CL_SCAN_HEURISTIC_PHISHING_CLOAK;
    if ((heuristics & HEURISTIC_BROKEN) != 0)
        options.heuristic |= CL_SCAN_HEURISTIC_BROKEN;
    return options;
}

void BeginScan() {
    t_scanErrors = 0;
    t_lastAlert.clear();
}

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The result of a scan of `label` that ended in `rc` with `name`, watched
// by `watch`: AV_RESULT_VIRUS (the name in `virus`), AV_RESULT_CLEAN, or
// ENGINE_RESULT_LIMIT or AV_RESULT_FAILED with an error line.
int Result(cl_error_t rc, const char* name, const char* label, const ScanWatch& watch,
           std::string* virus) {
    if (rc == CL_VIRUS && name == nullptr && !t_lastAlert.empty()) {
        name = t_lastAlert.c_str();
    }
    if (rc == CL_VIRUS && !watch.unscanned.empty() &&
        (name == nullptr || StartsWith(name, CALLBACK_ALERT_PREFIX))) {
        errmsg("vaveriz: scanning %s %s", label, watch.unscanned.c_str());
        t_encryptedOnly = watch.encryptedOnly;
        return ENGINE_RESULT_LIMIT;
    }
    if (rc == CL_VIRUS && name != nullptr && StartsWith(name, LIMIT_ALERT_PREFIX)) {
        errmsg("vaveriz: scanning %s stopped at a limit: %s", label, name);
        return ENGINE_RESULT_LIMIT;
    }
    if (rc == CL_VIRUS && name == nullptr) {
        errmsg("vaveriz: scanning %s stopped by an alert without a name", label);
        return AV_RESULT_FAILED;
    }
    if (rc == CL_ETIMEOUT) {
        errmsg("vaveriz: scanning %s stopped at a limit: MaxScanTime", label);
        return ENGINE_RESULT_LIMIT;
    }
    if (rc == CL_VIRUS) {
        *virus = name;
        return AV_RESULT_VIRUS;
    }
    if (rc == CL_CLEAN && !watch.unscanned.empty()) {
        errmsg("vaveriz: scanning %s %s", label, watch.unscanned.c_str());
        t_encryptedOnly = watch.encryptedOnly;
        return ENGINE_RESULT_LIMIT;
    }
    if (rc == CL_CLEAN && t_scanErrors == 0) {
        return AV_RESULT_CLEAN;
    }
    if (rc == CL_CLEAN) {
        errmsg("vaveriz: scanning %s failed: libclamav reported an error", label);
        return AV_RESULT_FAILED;
    }
    errmsg("vaveriz: scanning %s failed: %s", label, cl_strerror(rc));
    return AV_RESULT_FAILED;
}

// The digests a clean file scan of this thread left, with the engine that
// made it (an engine that replaced it knows other signatures).
struct SeenClean {
    std::uint64_t engine = 0;  // ClamEngine::m_id; 0: none
    std::unordered_set<Digest, DigestHash> digests;
};
thread_local SeenClean t_seenClean;

// Engines are told apart by a number of their own, never by an address a
// later engine may get again.
std::atomic<std::uint64_t> g_lastEngineId{0};

class ClamEngine : public Engine {
  public:
    ClamEngine(cl_engine* engine, unsigned signatures, std::uint32_t heuristics,
               std::uint64_t maxFileSize)
        : m_engine(engine),
          m_signatures(signatures),
          m_heuristics(heuristics),
          m_maxFileSize(maxFileSize) {}
    ~ClamEngine() override { cl_engine_free(m_engine); }
    ClamEngine(const ClamEngine&) = delete;
    ClamEngine& operator=(const ClamEngine&) = delete;

    // A file scan found clean leaves the digests of every file it had whole
    // (the file and all it unpacked) to the thread's next buffer scans.
    int Scan(const char* path, std::string* virus) const override {
        cl_scan_options options = ScanOptions(m_heuristics);
        const char* name = nullptr;
        unsigned long scanned = 0;
        ScanWatch watch;
        watch.maxFileSize = m_maxFileSize;
        BeginScan();
        t_seenClean.engine = 0;
        t_seenClean.digests.clear();
        cl_error_t rc = cl_scanfile_callback(path, &name, &scanned, m_engine, &options, &watch);
        const int result = Result(rc, name, path, watch, virus);
        if (result == AV_RESULT_CLEAN) {
            t_seenClean.engine = m_id;
            t_seenClean.digests.insert(watch.seen.begin(), watch.seen.end());
        }
        return result;
    }

    // The data is mapped, not copied: libclamav reads it in place and
    // writes nothing for the top level (only what it unpacks, below the
    // engine's temporary folder).
    int ScanBuffer(const void* data, std::size_t size, const char* label,
                   std::string* virus) const override {
        std::unique_ptr<cl_fmap_t, MapCloser> map(cl_fmap_open_memory(data, size));
        if (!map) {
            errmsg("vaveriz: scanning %s failed: the data could not be mapped", label);
            return -1;
        }
        // Bytes this engine already scanned whole in the thread's last clean
        // file scan (a part of the mail just scanned) keep that verdict:
        // scanning them again would only cost the engine's set-up once more.
        if (t_seenClean.engine == m_id && !t_seenClean.digests.empty() &&
            t_seenClean.digests.count(DigestOf(data, size)) != 0) {
            debugmsg(debug_gethandle("VAVERIZ"), "vaveriz: %s was scanned whole already: clean",
                     label);
            return AV_RESULT_CLEAN;
        }
        cl_scan_options options = ScanOptions(m_heuristics);
        const char* name = nullptr;
        unsigned long scanned = 0;
        ScanWatch watch;
        watch.maxFileSize = m_maxFileSize;
        BeginScan();
        cl_error_t rc =
            cl_scanmap_callback(map.get(), label, &name, &scanned, m_engine, &options, &watch);
        return Result(rc, name, label, watch, virus);
    }

    std::string Describe() const override {
        std::string text = std::string("ClamAV ") + cl_retver();
        int err = 0;
        long long dbVersion = cl_engine_get_num(m_engine, CL_ENGINE_DB_VERSION, &err);
        if (err == CL_SUCCESS && dbVersion > 0) {
            text += ", database " + std::to_string(dbVersion);
        }
        return text + ", " + std::to_string(m_signatures) + " signatures";
    }

  private:
    cl_engine* m_engine;
    unsigned m_signatures;
    std::uint32_t m_heuristics;
    std::uint64_t m_maxFileSize;  // the engine's MaxFileSize, for the callbacks
    const std::uint64_t m_id = ++g_lastEngineId;
};

struct EngineDeleter {
    void operator()(cl_engine* e) const {
        if (e != nullptr) {
            cl_engine_free(e);
        }
    }
};

bool LoadFolder(cl_engine* engine, const std::string& dir, unsigned* signatures,
                std::string* error) {
    cl_error_t rc = cl_load(dir.c_str(), engine, signatures, CL_DB_STDOPT);
    if (rc != CL_SUCCESS) {
        *error = dir + ": " + cl_strerror(rc);
        return false;
    }
    return true;
}

}  // namespace

std::shared_ptr<const Engine> BuildEngine(const std::string& ownDir, const std::string& systemDir,
                                          const std::string& tempDir, const EngineLimits& limits,
                                          std::string* error) {
    cl_error_t rc = InitLibrary();
    if (rc != CL_SUCCESS) {
        *error = std::string("libclamav initialisation: ") + cl_strerror(rc);
        return nullptr;
    }
    std::unique_ptr<cl_engine, EngineDeleter> engine(cl_engine_new());
    if (!engine) {
        *error = "cl_engine_new failed";
        return nullptr;
    }
    // The folders libclamav makes for every scan (and the parts it unpacks
    // there, attachments of hostile mails among them) go where the host
    // keeps its temporary files, not to the system's /tmp.
    if (!tempDir.empty()) {
        rc = cl_engine_set_str(engine.get(), CL_ENGINE_TMPDIR, tempDir.c_str());
        if (rc != CL_SUCCESS) {
            *error = "temporary folder " + tempDir + ": " + cl_strerror(rc);
            return nullptr;
        }
    }
    const struct {
        cl_engine_field field;
        std::uint64_t value;
        const char* name;
    } limitFields[] = {
        {CL_ENGINE_MAX_SCANSIZE, limits.maxScanSize, "MaxScanSize"},
        {CL_ENGINE_MAX_FILESIZE, limits.maxFileSize, "MaxFileSize"},
        {CL_ENGINE_MAX_FILES, limits.maxFiles, "MaxFiles"},
        {CL_ENGINE_MAX_RECURSION, limits.maxRecursion, "MaxRecursion"},
        {CL_ENGINE_MAX_SCANTIME, limits.maxScanTime, "MaxScanTime"},
    };
    for (const auto& limit : limitFields) {
        rc = cl_engine_set_num(engine.get(), limit.field, static_cast<long long>(limit.value));
        if (rc != CL_SUCCESS) {
            *error = std::string("limit ") + limit.name + ": " + cl_strerror(rc);
            return nullptr;
        }
    }
    cl_engine_set_clcb_virus_found(engine.get(), NoteAlert);
    cl_engine_set_clcb_meta(engine.get(), NoteArchiveMember);
    cl_engine_set_clcb_file_inspection(engine.get(), NoteInspectedFile);
    cl_engine_set_clcb_post_scan(engine.get(), BlockIncompleteLayer);
    unsigned signatures = 0;
    if (!LoadFolder(engine.get(), ownDir, &signatures, error)) {
        return nullptr;
    }
    if (!systemDir.empty() && HoldsDatabase(systemDir, CLAMAV_DATABASE_EXTENSIONS) &&
        !LoadFolder(engine.get(), systemDir, &signatures, error)) {
        return nullptr;
    }
    if (signatures == 0) {
        *error = "no signatures in " + ownDir;
        return nullptr;
    }
    rc = cl_engine_compile(engine.get());
    if (rc != CL_SUCCESS) {
        *error = std::string("compiling the signatures: ") + cl_strerror(rc);
        return nullptr;
    }
    auto built = std::make_shared<ClamEngine>(engine.get(), signatures, limits.heuristics,
                                              limits.maxFileSize);
    engine.release();  // now owned by `built`
    return built;
}

std::string DescribeNoEngine() {
    return std::string("ClamAV ") + cl_retver() + ", no signatures loaded";
}

}  // namespace vaveriz
