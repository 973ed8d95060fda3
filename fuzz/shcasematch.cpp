/*
 * shcasematch.cpp - libFuzzer target for the wildcard matcher of the
 * support library, checked against a plain dynamic-programming matcher.
 *
 * The input is cut at its first NUL into pattern and text (no NUL: the
 * input is the pattern and its reverse is the text); both are cut to
 * MAX_SIDE bytes so the reference stays fast. The reference splits the
 * pattern into elements ("*", or one element that takes exactly one byte:
 * "?", a "[...]" set, or a plain byte) and decides which text bytes an
 * element takes by asking shcasematch about that single byte; the table
 * then settles the stars. shcasematch on the whole text must agree (else
 * abort). So the set syntax is trusted to the unit tests, while the star
 * handling - the part that single-backtrack matching could get wrong - is
 * checked against an answer that tries every split.
 */
#include "qorcsock/qorcsock.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const size_t MAX_SIDE = 256;

void Check(bool ok) {
    if (!ok)
        std::abort();
}

// Length of the element starting at p[i], with the set rules of the matcher:
// after "[" an optional "!" or "^", then the first byte is taken even if it
// is "]", then up to the next "]"; no "]" makes "[" a plain byte.
size_t ElementLength(const std::string& p, size_t i) {
    if (p[i] != '[')
        return 1;
    size_t j = i + 1;
    if (j < p.size() && (p[j] == '!' || p[j] == '^'))
        ++j;
    if (j < p.size())
        ++j;  // the first member, "]" included
    while (j < p.size() && p[j] != ']')
        ++j;
    return j < p.size() ? j - i + 1 : 1;
}

bool Reference(const std::string& text, const std::string& pattern) {
    std::vector<std::string> elems;
    for (size_t i = 0; i < pattern.size();) {
        size_t n = pattern[i] == '*' ? 1 : ElementLength(pattern, i);
        elems.push_back(pattern.substr(i, n));
        i += n;
    }
    // ok[j]: the elements so far can take exactly the first j text bytes.
    std::vector<char> ok(text.size() + 1, 0);
    ok[0] = 1;
    for (const std::string& e : elems) {
        std::vector<char> next(text.size() + 1, 0);
        if (e == "*") {
            char any = 0;
            for (size_t j = 0; j <= text.size(); ++j) {
                any = any || ok[j];
                next[j] = any;
            }
        } else {
            for (size_t j = 0; j < text.size(); ++j) {
                next[j + 1] = ok[j] && shcasematch(std::string(1, text[j]).c_str(), e.c_str());
            }
        }
        ok.swap(next);
    }
    return ok[text.size()] != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t nul = input.find('\0');
    std::string pattern = input.substr(0, nul);
    std::string text = nul != std::string::npos ? input.substr(nul + 1)
                                                : std::string(pattern.rbegin(), pattern.rend());
    text = text.substr(0, text.find('\0'));
    pattern.resize(std::min(pattern.size(), MAX_SIDE));
    text.resize(std::min(text.size(), MAX_SIDE));
    bool got = shcasematch(text.c_str(), pattern.c_str()) == 1;
    Check(got == Reference(text, pattern));
    return 0;
}
