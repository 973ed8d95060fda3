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
 * Speed: the decoder copies the stretches between "=" and LF in 16-byte
 *   blocks on x86 (SSE2 is part of the 64-bit base set) and byte-wise
 *   elsewhere; the encoder is byte-wise and makes no speed promise.
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

// What the encoder wrote last; it decides the soft break before a hard one
// and whether an "F" may start an escaped "From ".
enum class Last { Nothing, LineFeed, Blank, Other };

bool MustEscape(unsigned char c, std::size_t lineLen) {
    return (c < 32 && c != '\n' && c != '\t') || c == '=' || c >= 127 || (c == '.' && lineLen == 0);
}

// Copies the characters from s[i] up to the next "=" or LF (or the end) to
// *out; returns the position of that character.
inline std::size_t CopyPlain(const unsigned char* s, std::size_t i, std::size_t n,
                             unsigned char*& out) {
#if defined(__SSE2__)
    // Each 16-byte store lands inside the block: after i characters at most
    // 2i bytes are written, and 2i + 16 <= 2n while i + 16 <= n.
    const __m128i eq = _mm_set1_epi8('=');
    const __m128i lf = _mm_set1_epi8('\n');
    while (i + 16 <= n) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
        const unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, eq), _mm_cmpeq_epi8(v, lf))));
        if (mask != 0) {
            const auto k = static_cast<std::size_t>(std::countr_zero(mask));
            out += k;
            return i + k;
        }
        out += 16;
        i += 16;
    }
#endif
    while (i < n && s[i] != '=' && s[i] != '\n')
        *out++ = s[i++];
    return i;
}

}  // namespace

char* CQuotedPrintable::Encode(const char* text) {
    if (text == nullptr)
        return nullptr;
    const std::size_t n = std::strlen(text);
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
            if (MustEscape(c, lineLen)) {
                out += '=';
                out += kHexDigits[c >> 4];
                out += kHexDigits[c & 15];
                lineLen += 3;
                last = Last::Other;
                ++i;
            } else if (c == 'F' && last == Last::LineFeed) {
                // The text ends in a zero byte, so the match stops there.
                static constexpr char kFrom[] = "From";
                std::size_t k = 1;
                while (k < 4 && text[i + k] == kFrom[k])
                    ++k;
                if (k == 4 && text[i + 4] == ' ') {
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
    if (outLen != nullptr)
        *outLen = 0;
    const std::size_t n = text == nullptr ? 0 : std::strlen(text);
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
    while (i < n) {
        i = CopyPlain(s, i, n, out);
        if (i >= n)
            break;
        if (s[i] == '\n') {
            *out++ = '\r';
            *out++ = '\n';
            ++i;
            continue;
        }
        // s[i] is "=".
        if (n - i < 3)
            break;
        const unsigned char a = s[i + 1];
        const unsigned char b = s[i + 2];
        const int ha = kHex.value[a];
        const int hb = kHex.value[b];
        if (ha >= 0 && hb >= 0) {
            *out++ = static_cast<unsigned char>((ha << 4) | hb);
            i += 3;
            continue;
        }
        if (a == '\r' && b == '\n') {
            i += 3;
            continue;
        }
        if (a == '\n') {
            i += 2;
            if (s[i] == '.')
                ++i;
            continue;
        }
        const bool crlfAfter = b == '\r' && i + 3 < n && s[i + 3] == '\n';
        if (ha < 0 || (hb < 0 && b != '\n' && !crlfAfter))
            invalid = true;
        if (b == '\n') {
            i += 2;
            if (i + 1 < n && s[i + 1] == '.')
                ++i;
        } else if (crlfAfter) {
            i += 3;
        } else {
            i += 1;
        }
    }
    const auto written = static_cast<std::size_t>(out - block);
    std::memset(out, 0, size - written);
    if (invalid)
        m_bInvalidInput = true;
    if (outLen != nullptr)
        *outLen = written;
    return block;
}
