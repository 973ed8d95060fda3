/*
 * copy_flush.cpp - the floor of a check that flushes what it writes: copies
 * every file below SRC to the same place below DST (made, must not exist)
 * and flushes each copy to disk (pf::sync_file: fdatasync on Linux) before
 * the next, as a filter that never leaves a half-written mail must.
 *
 *   bench_copy_flush SRC DST      exit 0, or 1 with a line on stderr
 *
 * check_bench.sh times it beside "cp -R" (no flush) and the whole check.
 */
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "pf/platform.h"

namespace {

namespace fs = std::filesystem;

// Bytes read and written at a time.
constexpr std::size_t COPY_BLOCK = 256 * 1024;

bool CopyAndFlush(const fs::path& from, const fs::path& to, std::vector<char>& block) {
    std::FILE* in = std::fopen(from.string().c_str(), "rb");
    if (in == nullptr)
        return false;
    std::FILE* out = pf::create_exclusive(to.string().c_str());
    bool ok = out != nullptr;
    while (ok) {
        const std::size_t n = std::fread(block.data(), 1, block.size(), in);
        if (n > 0 && std::fwrite(block.data(), 1, n, out) != n)
            ok = false;
        if (n < block.size()) {
            ok = ok && !std::ferror(in);
            break;
        }
    }
    std::fclose(in);
    if (out != nullptr) {
        ok = pf::sync_file(out) && ok;
        ok = std::fclose(out) == 0 && ok;
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_copy_flush SRC DST\n");
        return 1;
    }
    const fs::path src(argv[1]), dst(argv[2]);
    std::error_code ec;
    if (!fs::create_directory(dst, ec)) {
        std::fprintf(stderr, "bench_copy_flush: cannot make %s\n", argv[2]);
        return 1;
    }
    std::vector<char> block(COPY_BLOCK);
    for (fs::recursive_directory_iterator it(src, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path target = dst / fs::relative(it->path(), src);
        const bool ok = it->is_directory() ? fs::create_directory(target, ec)
                                           : CopyAndFlush(it->path(), target, block);
        if (!ok || ec) {
            std::fprintf(stderr, "bench_copy_flush: cannot copy %s\n", it->path().string().c_str());
            return 1;
        }
    }
    return ec ? 1 : 0;
}
