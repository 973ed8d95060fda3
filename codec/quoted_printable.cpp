/*
 * quoted_printable.cpp - CQuotedPrintable: quoted-printable of RFC 2045 with
 * mailward's line and escape rules.
 *
 * CQuotedPrintable::Encode(text)
 *   Reads up to the terminating zero and writes LF line ends. Escaped as "="
 *   and two upper-case hex digits: bytes below 32 other than LF and tab (so CR
 *   too), "=", bytes of 127 and above, and a "." while the output line is
 *   still empty. After a written line feed (hard or soft, not at the very
 *   start) "From " becomes "=46rom ", so that no line of the body can be taken
 *   for an mbox separator. White space before a hard line break is kept by a
 *   soft break in front of the LF. An output line longer than QP_LINE_LIMIT
 *   gets a soft break "=" LF; a text that does not end on a line feed gets one
 *   too. Null for a null text or when memory is short.
 *
 * CQuotedPrintable::Decode(text, &outLen)
 *   The block holds twice the input length (at least one byte), zero-filled
 *   past the output; it has no terminating zero when the output fills it.
 *   LF becomes CR LF; other characters but "=" are copied, CR too. "=" and two
 *   hex digits (either case) give a byte; "=" CR LF and "=" LF are soft breaks,
 *   and a "." right after "=" LF is dropped (a dot-stuffed line). A "=" with
 *   fewer than two characters after it ends the output. Any other "=" is
 *   dropped and the characters after it are kept (a stray "=" in a hand-written
 *   text loses nothing), with these line-end cases: "=" x LF drops "=" and x,
 *   and the LF as well when a "." follows it; "=" x CR LF drops "=", x and the
 *   CR. Such an escape sets m_bInvalidInput when one of its two characters is
 *   neither a hex digit nor the start of a line break.
 *
 * Speed: on x86 (SSE2 is part of the 64-bit base set) the decoder finds the
 *   "=" and LF of 64 characters at once and copies the stretches between them
 *   in 16-byte blocks; the last 80 characters, and all of them elsewhere, go
 *   byte-wise. The encoder is byte-wise and makes no speed promise.
 */
#include "codec/codec.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

struct HexTable {
    std::int8_t value[256];  // 0..15, or -1 for a non-hex character
};

constexpr HexTable MakeHexTable() {
    HexTable t{};
    for (int c = 0; c < 256; ++c) {
        t.value[c] = -1;
        if (c >= '0' && c <= '9')
            t.value[c] = static_cast<std::int8_t>(c - '0');
        if (c >= 'A' && c <= 'F')
            t.value[c] = static_cast<std::int8_t>(c - 'A' + 10);
        if (c >= 'a' && c <= 'f')
            t.value[c] = static_cast<std::int8_t>(c - 'a' + 10);
    }
    return t;
}

constexpr HexTable kHex = MakeHexTable();

// The two digits of an escape looked up at once: high[a] | low[b] is the
// byte, or at least 0x100 when either is not a hex digit.
struct HexPairTable {
    std::uint16_t high[256];
    std::uint16_t low[256];
};

constexpr HexPairTable MakeHexPairTable() {
    HexPairTable t{};
    for (int c = 0; c < 256; ++c) {
        const int v = kHex.value[c];
        t.high[c] = static_cast<std::uint16_t>(v < 0 ? 0x100 : v << 4);
        t.low[c] = static_cast<std::uint16_t>(v < 0 ? 0x100 : v);
    }
    return t;
}

constexpr HexPairTable kHexPair = MakeHexPairTable();

// What the encoder wrote last; it decides the soft break before a hard one
// and whether an "F" may start an escaped "From ".
enum class Last { Nothing, LineFeed, Blank, Other };

bool MustEscape(unsigned char c, std::size_t lineLen) {
    return (c < 32 && c != '\n' && c != '\t') || c == '=' || c >= 127 || (c == '.' && lineLen == 0);
}

#if defined(__SSE2__)
// Window of the block scan: the positions of "=" and LF in 64 characters are
// found at once, so that walking from one to the next costs a shift and a
// count instead of a load whose address waits for the previous search.
constexpr std::size_t kWindow = 64;

inline std::uint64_t SpecialMask(const unsigned char* p) {
    const __m128i eq = _mm_set1_epi8('=');
    const __m128i lf = _mm_set1_epi8('\n');
    std::uint64_t mask = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const auto bits = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, eq), _mm_cmpeq_epi8(v, lf))));
        mask |= static_cast<std::uint64_t>(bits) << (16 * k);
    }
    return mask;
}

// Copies `len` characters in 16-byte blocks (at least one block).
inline void CopyBlocks(const unsigned char* from, unsigned char* to, std::size_t len) {
    std::size_t c = 0;
    do {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + c),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + c)));
        c += 16;
    } while (c < len);
}
#endif

// A "=" at s[i], with at least two characters after it, that does not start
// a hex escape: a soft line break or a broken escape. Returns where decoding
// goes on; sets `invalid` for a broken escape with a character that is
// neither a hex digit nor the start of a line break. Kept out of line: it is
// the rare path next to the escapes and plain runs.
std::size_t SkipOtherEscape(const unsigned char* s, std::size_t i, std::size_t n, bool& invalid) {
    const unsigned char a = s[i + 1];
    const unsigned char b = s[i + 2];
    if (a == '\r' && b == '\n')
        return i + 3;
    if (a == '\n') {
        // "=" LF: a soft break; a "." after it is the dot-stuffing of a
        // transport and goes too.
        return s[i + 2] == '.' ? i + 3 : i + 2;
    }
    const bool crlfAfter = b == '\r' && i + 3 < n && s[i + 3] == '\n';
    if (kHex.value[a] < 0 || (kHex.value[b] < 0 && b != '\n' && !crlfAfter))
        invalid = true;
    if (b == '\n') {
        // "=" x LF: go on with the LF, or with the "." after it.
        return i + 3 < n && s[i + 3] == '.' ? i + 3 : i + 2;
    }
    if (crlfAfter)
        return i + 3;  // "=" x CR LF: go on with the LF
    return i + 1;      // keep the characters after the "="
}

// Decodes the "=" or LF at s[i]; returns where decoding goes on, or n when a
// "=" with fewer than two characters after it ends decoding.
inline std::size_t DecodeSpecial(const unsigned char* s, std::size_t i, std::size_t n,
                                 unsigned char*& out, bool& invalid) {
    if (s[i] == '\n') {
        *out++ = '\r';
        *out++ = '\n';
        return i + 1;
    }
    if (n - i < 3)
        return n;
    const unsigned byte = kHexPair.high[s[i + 1]] | kHexPair.low[s[i + 2]];
    if (byte < 0x100) {
        *out++ = static_cast<unsigned char>(byte);
        return i + 3;
    }
    return SkipOtherEscape(s, i, n, invalid);
}

}  // namespace

char* CQuotedPrintable::Encode(const char* text) {
    return text == nullptr ? nullptr : Encode(text, std::strlen(text));
}

char* CQuotedPrintable::Encode(const char* text, std::size_t n) {
    if (text == nullptr)
        return nullptr;
    if (n > CODEC_MAX_INPUT)
        return nullptr;
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    try {
        std::string out;
        out.reserve(n + n / 16 + 8);
        std::size_t lineLen = 0;
        Last last = Last::Nothing;
        std::size_t i = 0;
        while (i < n) {
            const unsigned char c = s[i];
            if (c == '\n') {
                if (last == Last::Blank)
                    out += "=\n";
                out += '\n';
                lineLen = 0;
                last = Last::LineFeed;
                ++i;
                continue;
            }
            // The first dash of "--" is escaped: no encoded text holds a
            // delimiter, however a tolerant reader searches for one.
            if (MustEscape(c, lineLen) || (c == '-' && i + 1 < n && s[i + 1] == '-')) {
                out += '=';
                out += kHexDigits[c >> 4];
                out += kHexDigits[c & 15];
                lineLen += 3;
                last = Last::Other;
                ++i;
            } else if (c == 'F' && last == Last::LineFeed) {
                static constexpr char kFrom[] = "From";
                std::size_t k = 1;
                while (k < 4 && i + k < n && text[i + k] == kFrom[k])
                    ++k;
                if (k == 4 && i + 4 < n && text[i + 4] == ' ') {
                    out += "=46rom";
                    lineLen += 6;
                } else {
                    out.append(text + i, k);
                    lineLen += k;
                }
                last = Last::Other;
                i += k;
            } else {
                out += static_cast<char>(c);
                lineLen += 1;
                last = (c == ' ' || c == '\t') ? Last::Blank : Last::Other;
                ++i;
            }
            if (lineLen > QP_LINE_LIMIT) {
                out += "=\n";
                lineLen = 0;
                last = Last::LineFeed;
            }
        }
        if (lineLen != 0)
            out += "=\n";
        char* result = static_cast<char*>(std::malloc(out.size() + 1));
        if (result != nullptr)
            std::memcpy(result, out.c_str(), out.size() + 1);
        return result;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

unsigned char* CQuotedPrintable::Decode(const char* text, std::size_t* outLen) {
    return Decode(text, text == nullptr ? 0 : std::strlen(text), outLen);
}

unsigned char* CQuotedPrintable::Decode(const char* text, std::size_t len, std::size_t* outLen) {
    if (outLen != nullptr)
        *outLen = 0;
    const std::size_t n = text == nullptr ? 0 : len;
    if (n > CODEC_MAX_INPUT)
        return nullptr;
    const std::size_t size = n == 0 ? 1 : 2 * n;
    auto* block = static_cast<unsigned char*>(std::malloc(size));
    if (block == nullptr)
        return nullptr;

    const auto* s = reinterpret_cast<const unsigned char*>(text);
    unsigned char* out = block;
    bool invalid = false;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Block copies read up to 16 characters past a window and write up to 16
    // bytes past the output so far. Both stay in bounds while a window and 16
    // characters more are left: after i characters at most 2i bytes are
    // written, and 2(i + 64) + 16 <= 2n. An escape found in the window has its
    // two characters in the input.
    while (i + kWindow + 16 <= n) {
        const std::size_t base = i;
        const std::uint64_t mask = SpecialMask(s + base);
        while (i - base < kWindow) {
            const std::uint64_t ahead = mask >> (i - base);
            if (ahead == 0) {
                const std::size_t len = kWindow - (i - base);
                CopyBlocks(s + i, out, len);
                out += len;
                i += len;
                break;
            }
            const auto k = static_cast<std::size_t>(std::countr_zero(ahead));
            CopyBlocks(s + i, out, k);
            out += k;
            i = DecodeSpecial(s, i + k, n, out, invalid);
        }
    }
#endif
    while (i < n) {
        while (i < n && s[i] != '=' && s[i] != '\n')
            *out++ = s[i++];
        if (i < n)
            i = DecodeSpecial(s, i, n, out, invalid);
    }
    const auto written = static_cast<std::size_t>(out - block);
    std::memset(out, 0, size - written);
    if (invalid)
        m_bInvalidInput = true;
    if (outLen != nullptr)
        *outLen = written;
    return block;
}
