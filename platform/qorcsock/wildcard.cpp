/*
 * wildcard.cpp - shell-style wildcard matching without regard to ASCII case.
 *
 *   shcasematch(text, pattern)   1 when the whole text matches, else 0 (also
 *                                for a null argument).
 *   shcaseprefix(text, pattern)  1 when some text that starts with `text`
 *                                matches (the pattern's rest can take what
 *                                follows), else 0: whether a name known only
 *                                up to a point could match.
 *
 * Pattern syntax:
 *   *        any run of bytes, also none
 *   ?        any one byte
 *   [...]    one byte of the set: single bytes and ranges "a-z"; "!" or "^"
 *            first negates the set; "]" first (after a negation mark) and
 *            "-" first or last stand for themselves. A "[" without its "]"
 *            is an ordinary byte.
 *   other    the byte itself; letters A-Z and a-z are equal. Bytes >= 0x80
 *            are compared as they are (no character set is assumed).
 * The backslash has no special meaning (rule patterns hold Windows paths);
 * "[*]", "[?]" and "[[]" match the characters themselves.
 *
 * Cost: the pieces between stars are of fixed length, so when a piece fails
 * only the most recent star needs to take one more byte; earlier stars never
 * have to be revisited. The match is O(text * pattern) at worst and linear
 * for the usual patterns, whatever the number of stars; nothing recurses.
 */
#include "qorcsock/qorcsock.h"
#include "qorcsock/qorcsock_impl.h"

#include <cstddef>

namespace {

typedef const unsigned char* Bytes;

// True when byte `c` is in the set that starts after `[` at `set`; `*end`
// then points just past the closing `]`. False with *end null when the set
// has no closing `]` (the caller treats the `[` as an ordinary byte).
bool InSet(unsigned char c, Bytes set, Bytes* end) {
    Bytes p = set;
    bool negate = false;
    if (*p == '!' || *p == '^') {
        negate = true;
        ++p;
    }
    const unsigned char lc = qs_tolower(c);
    const unsigned char uc =
        (lc >= 'a' && lc <= 'z') ? static_cast<unsigned char>(lc - 'a' + 'A') : c;
    bool found = false;
    bool first = true;
    while (*p != '\0' && (*p != ']' || first)) {
        first = false;
        unsigned char lo = *p;
        unsigned char hi = lo;
        if (p[1] == '-' && p[2] != '\0' && p[2] != ']') {
            hi = p[2];
            p += 3;
        } else {
            ++p;
        }
        if (lo > hi) {
            continue;  // a reversed range is empty, as in the shells
        }
        // Case is ignored by trying both case forms of the text byte
        // against the range as written ("[A-Z]" takes 'q', "[@-Z]" not '[').
        if ((c >= lo && c <= hi) || (lc >= lo && lc <= hi) || (uc >= lo && uc <= hi)) {
            found = true;
        }
    }
    if (*p != ']') {
        *end = nullptr;
        return false;
    }
    *end = p + 1;
    return found != negate;
}

// Matches one pattern element against one text byte; *next is the pattern
// after the element.
bool MatchOne(unsigned char c, Bytes p, Bytes* next) {
    if (*p == '?') {
        *next = p + 1;
        return true;
    }
    if (*p == '[') {
        Bytes end = nullptr;
        bool in = InSet(c, p + 1, &end);
        if (end != nullptr) {
            *next = end;
            return in;
        }
        // No closing bracket: "[" is an ordinary byte.
    }
    *next = p + 1;
    return qs_tolower(c) == qs_tolower(*p);
}

// The matcher of both: `prefix` accepts the text once it is used up,
// whatever of the pattern is left (any rest can be met by what follows).
// One function, so that the byte matcher is inlined into its loop once.
int Match(const char* text, const char* pattern, bool prefix) {
    if (text == nullptr || pattern == nullptr) {
        return 0;
    }
    Bytes t = reinterpret_cast<Bytes>(text);
    Bytes p = reinterpret_cast<Bytes>(pattern);
    Bytes starPattern = nullptr;  // pattern just after the latest star
    Bytes starText = nullptr;     // text position that star will take next
    while (*t != '\0') {
        if (*p == '*') {
            while (*p == '*') {
                ++p;
            }
            if (*p == '\0') {
                return 1;  // a trailing star takes the rest of the text
            }
            starPattern = p;
            starText = t;
            continue;
        }
        Bytes next = nullptr;
        if (*p != '\0' && MatchOne(*t, p, &next)) {
            p = next;
            ++t;
            continue;
        }
        if (starPattern == nullptr) {
            return 0;
        }
        // Let the latest star take one more byte and try again after it.
        p = starPattern;
        t = ++starText;
    }
    if (prefix) {
        return 1;
    }
    while (*p == '*') {
        ++p;
    }
    return *p == '\0' ? 1 : 0;
}

}  // namespace

extern "C" QORCSOCK_API int shcasematch(const char* text, const char* pattern) {
    return Match(text, pattern, false);
}

extern "C" QORCSOCK_API int shcaseprefix(const char* text, const char* pattern) {
    return Match(text, pattern, true);
}
