/*
 * codec_test_util.h - helpers shared by the codec tests: ownership of the
 * malloc'ed results, reading mails of the shared corpus, random inputs and
 * header values taken from a mail.
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

// Decoded bytes and the decoder's invalid-input flag.
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

// A mail of the shared corpus, byte for byte; empty when it cannot be read.
inline std::string ReadCorpus(const std::string& relative) {
    std::ifstream in(std::string(MAILWARD_CORPUS_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// The value of the first header field `name` (case as written in the mail):
// the text after "name:" up to the end of its line, with continuation lines
// appended after a line feed. Line ends are read as LF, the way a mail is held
// in memory once loaded.
inline std::string HeaderValue(const std::string& mail, const std::string& name) {
    const std::string key = name + ":";
    std::size_t pos = mail.compare(0, key.size(), key) == 0 ? 0 : mail.find("\n" + key);
    if (pos == std::string::npos)
        return {};
    if (pos != 0)
        ++pos;
    std::size_t end = mail.find('\n', pos);
    std::string value = mail.substr(pos + key.size(), end - pos - key.size());
    while (end != std::string::npos && end + 1 < mail.size() &&
           (mail[end + 1] == ' ' || mail[end + 1] == '\t')) {
        const std::size_t next = mail.find('\n', end + 1);
        value += "\n" + mail.substr(end + 1, next - end - 1);
        end = next;
    }
    std::string lf;
    for (std::size_t k = 0; k < value.size(); ++k)
        if (value[k] != '\r' || (k + 1 < value.size() && value[k + 1] != '\n'))
            lf += value[k];
    return lf;
}

// Random bytes from a fixed seed, so that a failure can be replayed.
inline std::string RandomBytes(std::mt19937& rng, std::size_t n) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(byte(rng));
    return s;
}

}  // namespace codec_test

#endif
