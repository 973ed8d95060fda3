// vaveriz_sigscan.cpp - the scanning back end on Windows: the project's own
// signature reader (sigdb.h), since libclamav is not built for Windows here.
//
// BuildEngine loads the *.ndb files of the project's signature folder and,
// when it holds any, of the system folder. It finds the plain body signatures
// of these files in the raw bytes of a file; it does not unpack archives,
// mail or packed programs, so it finds a test program only where its bytes
// stand as they are. The version text is "mailward-sigscan <version>, <n>
// signatures".
#include "engine.h"
#include "sigdb.h"

namespace vaveriz {
namespace {

constexpr const char* SIGSCAN_VERSION = "1.0";

class SigscanEngine : public Engine {
  public:
    explicit SigscanEngine(SigDb db) : m_db(std::move(db)) {}

    int Scan(const char* path, std::string* virus) const override {
        return m_db.ScanFile(path, virus);
    }

    std::string Describe() const override {
        return std::string("mailward-sigscan ") + SIGSCAN_VERSION + ", " +
               std::to_string(m_db.Count()) + " signatures";
    }

  private:
    SigDb m_db;
};

}  // namespace

std::shared_ptr<const Engine> BuildEngine(const std::string& ownDir, const std::string& systemDir,
                                          const std::string& /*tempDir: scans in memory*/,
                                          std::string* error) {
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
    return std::make_shared<SigscanEngine>(std::move(db));
}

std::string DescribeNoEngine() {
    return std::string("mailward-sigscan ") + SIGSCAN_VERSION + ", no signatures loaded";
}

}  // namespace vaveriz
