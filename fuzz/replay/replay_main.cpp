/*
 * replay_main.cpp - the plain program around a fuzz target: every input
 * given on the command line goes once through LLVMFuzzerTestOneInput, as
 * libFuzzer runs the files it is given, without libFuzzer.
 *
 *   replay_<target> PATH...
 *
 * A PATH that is a folder stands for every regular file below it, in name
 * order. Each input is handed over in a block of exactly its size (so that
 * a read past its end is caught by the sanitizers of the build), and its
 * name is printed before it runs: a target reports a fault by aborting, and
 * the last name printed is the input that made it.
 *
 * Built beside every fuzz target in every ordinary build (gcc, ASan, TSan);
 * CTest replays the target's seeds and its regression inputs through it.
 * Exit status 0 when every input ran, 1 when a path cannot be read, 2 when
 * no input was given or found (a replay of nothing proves nothing).
 */
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// The files a path stands for, or false when it cannot be read.
bool Collect(const fs::path& path, std::vector<fs::path>& files) {
    std::error_code ec;
    if (fs::is_regular_file(path, ec)) {
        files.push_back(path);
        return true;
    }
    if (!fs::is_directory(path, ec))
        return false;
    std::vector<fs::path> found;
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec))
            found.push_back(it->path());
    }
    if (ec)
        return false;
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
    return true;
}

bool ReadAll(const fs::path& file, std::vector<char>& bytes) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (!Collect(argv[i], files)) {
            std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 1;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "replay: no input (usage: %s FILE-OR-FOLDER...)\n", argv[0]);
        return 2;
    }
    std::vector<char> bytes;
    for (const fs::path& file : files) {
        if (!ReadAll(file, bytes)) {
            std::fprintf(stderr, "replay: cannot read %s\n", file.string().c_str());
            return 1;
        }
        std::printf("replay: %s (%zu bytes)\n", file.string().c_str(), bytes.size());
        std::fflush(stdout);
        // A block of exactly the input's size, as libFuzzer hands it over.
        std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), block.get());
        LLVMFuzzerTestOneInput(block.get(), bytes.size());
    }
    std::printf("replay: %zu inputs ran\n", files.size());
    return 0;
}
