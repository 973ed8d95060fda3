// sigdb.h - the signature database and matcher of the Windows engine
// (vaveriz_sigscan.cpp); portable, and also built on Linux for its tests.
//
// It reads the body signatures of ClamAV .ndb files that it can use: lines
// "Name:TargetType:Offset:HexSignature[:MinFL[:MaxFL]]" whose offset is "*"
// and whose signature is plain hex (no wildcards, alternatives or jumps).
// Other lines are skipped and counted, never an error: a database written for
// libclamav stays usable. Lines starting with '#' and blank lines are
// comments. The target type must be a number but is not looked at: this
// engine knows no file types and searches every file's raw bytes (it does
// not unpack archives, mail or packed programs).
//
//   AddNdb(text, &skipped)   adds the usable lines of one .ndb text
//   LoadFile(path, &error)   the same for a file; false when it cannot be read
//   LoadDir(dir, &error)     every *.ndb file of a folder, in name order;
//                            false when the folder or a file cannot be read
//   Compile()                builds the search index; call after the last
//                            Add/Load, before scanning
//   Count()                  usable signatures
//   ScanBuffer(data, size)   name of the first signature found in the data
//                            (in data order; at one place the first loaded
//                            signature wins), or null
//   ScanFile(path, &name)    1 found (name set), 0 clean, -1 not readable;
//                            the file is read in chunks of SIGDB_SCAN_CHUNK
//
// A compiled database is read-only; any number of threads may scan at once.
#ifndef VAVERIZ_SIGDB_H
#define VAVERIZ_SIGDB_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vaveriz {

// Shorter signatures would match ordinary files by chance.
constexpr std::size_t SIGDB_MIN_SIG_BYTES = 4;
constexpr std::size_t SIGDB_MAX_SIG_BYTES = 4096;
constexpr std::size_t SIGDB_MAX_NAME = 256;
constexpr std::size_t SIGDB_MAX_SIGNATURES = 1000000;
constexpr std::size_t SIGDB_MAX_FILE = 256 * 1024 * 1024;
constexpr std::size_t SIGDB_SCAN_CHUNK = 256 * 1024;

class SigDb {
  public:
    void AddNdb(std::string_view text, std::size_t* skipped = nullptr);
    bool LoadFile(const std::string& path, std::string* error);
    bool LoadDir(const std::string& dir, std::string* error);
    void Compile();
    std::size_t Count() const { return m_sigs.size(); }
    std::size_t Skipped() const { return m_skipped; }
    const std::string* ScanBuffer(const unsigned char* data, std::size_t size) const;
    int ScanFile(const char* path, std::string* name) const;

  private:
    struct Signature {
        std::string name;
        std::string bytes;
    };
    bool AddLine(std::string_view line);
    // Index of the first signature that starts at a position below `limit`
    // and lies wholly inside data[0, size), or -1.
    long FindIn(const unsigned char* data, std::size_t size, std::size_t limit) const;

    std::vector<Signature> m_sigs;
    std::size_t m_skipped = 0;
    std::size_t m_maxLen = 0;
    // Signatures grouped by their first two bytes: m_ids[m_start[k] ..
    // m_start[k + 1]) are those whose first two bytes make the number k.
    std::vector<std::uint32_t> m_start;
    std::vector<std::uint32_t> m_ids;
};

}  // namespace vaveriz

#endif
