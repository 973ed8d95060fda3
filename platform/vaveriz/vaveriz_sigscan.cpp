// vaveriz_sigscan.cpp - the scanning back end on Windows: the project's own
// signature reader (sigdb.h), since libclamav is not built for Windows here.
//
// BuildEngine loads the *.ndb files of the project's signature folder and,
// when it holds any, of the system folder. It finds the plain body signatures
// of these files in the raw bytes of a file; it does not unpack archives,
// mail or packed programs, so it finds a test program only where its bytes
// stand as they are. The version text is "mailward-sigscan <version>, <n>
// signatures". Of the limits it applies the two sizes to the file (it
// unpacks nothing, so files and recursion do not arise): a bigger file is a
// limit reached (ENGINE_RESULT_LIMIT) with an error line naming it. Data in
// memory is searched in place, with the same limits.
#include "vaveriz/engine.h"
#include "qorcsock/qorcsock.h"
#include "vaveriz/sigdb.h"

#include <filesystem>
#include <system_error>

namespace vaveriz {
namespace {

constexpr const char* SIGSCAN_VERSION = "1.0";

class SigscanEngine : public Engine {
  public:
    SigscanEngine(SigDb db, const EngineLimits& limits) : m_db(std::move(db)), m_limits(limits) {}

    int Scan(const char* path, std::string* virus) const override {
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(path, ec);
        if (ec) {
            return AV_RESULT_FAILED;
        }
        if (!WithinLimits(size, path)) {
            return ENGINE_RESULT_LIMIT;
        }
        return m_db.ScanFile(path, virus);
    }

    int ScanBuffer(const void* data, std::size_t size, const char* name,
                   std::string* virus) const override {
        if (!WithinLimits(size, name)) {
            return ENGINE_RESULT_LIMIT;
        }
        const std::string* found = m_db.ScanBuffer(static_cast<const unsigned char*>(data), size);
        if (found == nullptr) {
            return AV_RESULT_CLEAN;
        }
        *virus = *found;
        return AV_RESULT_VIRUS;
    }

    std::string Describe() const override {
        return std::string("mailward-sigscan ") + SIGSCAN_VERSION + ", " +
               std::to_string(m_db.Count()) + " signatures";
    }

  private:
    // False, with an error line naming the limit, for data larger than one.
    bool WithinLimits(std::uintmax_t size, const char* name) const {
        if (size > m_limits.maxFileSize || size > m_limits.maxScanSize) {
            errmsg("vaveriz: scanning %s stopped at a limit: %s", name,
                   size > m_limits.maxFileSize ? "MaxFileSize" : "MaxScanSize");
            return false;
        }
        return true;
    }

    SigDb m_db;
    EngineLimits m_limits;
};

}  // namespace

std::shared_ptr<const Engine> BuildEngine(const std::string& ownDir, const std::string& systemDir,
                                          const std::string& /*tempDir: scans in memory*/,
                                          const EngineLimits& limits, std::string* error) {
    SigDb db;
    if (!db.LoadDir(ownDir, error)) {
        return nullptr;
    }
    if (!systemDir.empty() && HoldsDatabase(systemDir, {".ndb"}) && !db.LoadDir(systemDir, error)) {
        return nullptr;
    }
    if (db.Count() == 0) {
        *error = "no usable signatures in " + ownDir;
        return nullptr;
    }
    db.Compile();
    return std::make_shared<SigscanEngine>(std::move(db), limits);
}

std::string DescribeNoEngine() {
    return std::string("mailward-sigscan ") + SIGSCAN_VERSION + ", no signatures loaded";
}

}  // namespace vaveriz
