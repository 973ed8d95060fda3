/*
 * test_files.h - what every test program needs of the file system, once:
 *
 *   ScratchDir    a fresh folder of its own below the system's temporary
 *                 folder (made atomically: a name another run holds is
 *                 skipped), removed with its contents at the end.
 *                 path() / str() the folder; Path(name) a file in it, joined
 *                 with the platform's separator as the library joins paths;
 *                 Files() the names in it.
 *   ReadFile(p)   the whole file, bytes as they are ("" when unreadable).
 *   WriteFile(p, bytes)  the file made or replaced with exactly `bytes`,
 *                 missing parent folders made; false when it fails.
 */
#ifndef MAILWARD_TESTS_SUPPORT_TEST_FILES_H
#define MAILWARD_TESTS_SUPPORT_TEST_FILES_H

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace testkit {

class ScratchDir {
  public:
    ScratchDir() {
        static std::atomic<unsigned> counter{std::random_device{}()};
        std::error_code ec;
        do {
            m_path = std::filesystem::temp_directory_path() /
                     ("mailward-test-" + std::to_string(counter.fetch_add(1)));
        } while (!std::filesystem::create_directory(m_path, ec) && !ec);
        if (ec)
            throw std::filesystem::filesystem_error("scratch folder", m_path, ec);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::string str() const { return m_path.string(); }
    std::string Path(const std::string& name) const { return (m_path / name).string(); }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_path))
            names.push_back(e.path().filename().string());
        return names;
    }

  private:
    std::filesystem::path m_path;
};

inline std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool WriteFile(const std::filesystem::path& p, const std::string& bytes) {
    std::error_code ec;
    if (p.has_parent_path())
        std::filesystem::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace testkit

#endif
