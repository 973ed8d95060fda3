/*
 * codec_test_util.h - helpers shared by the codec tests: ownership of the
 * malloc'ed results, decoded bytes with the invalid-input flag, mails of the
 * test corpus and replayable random bytes.
 */
#ifndef MAILWARD_TESTS_CODEC_TEST_UTIL_H
#define MAILWARD_TESTS_CODEC_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>

namespace codec_test {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using Text = std::unique_ptr<char, FreeDeleter>;
using Bytes = std::unique_ptr<unsigned char, FreeDeleter>;

struct Decoded {
    std::string bytes;
    bool invalid;
    bool operator==(const Decoded&) const = default;
};

inline void PrintTo(const Decoded& d, std::ostream* os) {
    *os << ::testing::PrintToString(d.bytes) << (d.invalid ? " (invalid)" : "");
}

inline std::string AsString(const unsigned char* p, std::size_t n) {
    return std::string(reinterpret_cast<const char*>(p), n);
}

// A mail of the test corpus, byte for byte; empty when it cannot be read.
inline std::string ReadCorpus(const std::string& relative) {
    std::ifstream in(std::string(MAILWARD_CORPUS_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// Random bytes from a fixed seed, so that a failure can be replayed.
inline std::string RandomBytes(std::mt19937& rng, std::size_t n) {
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

}  // namespace codec_test

#endif
