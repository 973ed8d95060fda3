/*
 * pf_scratch.h - a scratch directory per test (removed with its contents at
 * the end; paths joined with pf::path_sep() as the library joins them), and
 * whole-file reading and writing in binary mode.
 */
#ifndef MAILWARD_TESTS_PF_SCRATCH_H
#define MAILWARD_TESTS_PF_SCRATCH_H

#include "pf/platform.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

namespace pftest {

class Scratch {
  public:
    Scratch() {
        // create_directory is atomic: a name taken by another run is skipped.
        static std::atomic<unsigned> counter{std::random_device{}()};
        std::error_code ec;
        std::filesystem::path p;
        do {
            p = std::filesystem::temp_directory_path() /
                ("mailward-pf-" + std::to_string(counter.fetch_add(1)));
        } while (!std::filesystem::create_directory(p, ec) && !ec);
        if (ec)
            throw std::filesystem::filesystem_error("scratch dir", p, ec);
        m_dir = p.string();
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::string& Dir() const { return m_dir; }
    std::string Path(const std::string& name) const { return m_dir + pf::path_sep() + name; }

  private:
    std::string m_dir;
};

inline bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace pftest

#endif
