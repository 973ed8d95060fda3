/*
 * base64.cpp - CBase64: base64 of RFC 2045 with mailward's line rules.
 *
 * CBase64::Encode(data, len)
 *   Four characters per three bytes. After every B64_LINE_CHARS characters of
 *   full groups CR LF is written, also after the group that fills the last
 *   line, so a multiple of 57 bytes ends with CR LF. One or two bytes left over
 *   give a group padded with "==" or "=" that no line break follows. The block
 *   holds n*4/3 + 2*((n*4/3)/76) + 10 bytes, zero-filled past the text.
 *   Null when memory is short or len > CODEC_MAX_INPUT.
 *
 * CBase64::Decode(text, &len)
 *   Reads `len` characters (NUL bytes are characters like any other). The
 *   block holds len + 1 bytes, zero-filled past the decoded bytes; len becomes
 *   their number. A character outside the alphabet is skipped; every skipped
 *   character but CR and LF sets m_bInvalidInput. A "=" read where a group
 *   character is due - at the very start or directly after an alphabet
 *   character - ends decoding; a "=" that follows a skipped character is
 *   skipped (and flagged) like any stray character. A group cut short by the
 *   end gives one byte for two characters, two for three, nothing for one.
 *
 * Speed: the encoder writes two characters per 12 bits from a table of
 *   4096 pairs. The decoder reads groups of four characters through four
 *   32-bit tables that also mark stray characters, on x86 with AVX2 (chosen
 *   at run time) 32 characters per step inside a line; it skips the CR LF
 *   between lines without leaving the fast loop and hands the rest to the
 *   exact byte-wise state machine the moment anything else turns up.
 */
#include "codec/codec.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/simd.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kLineBytes = B64_LINE_CHARS / 4 * 3;  // 57

// Any bit at or above this one in a combined table lookup marks a character
// outside the alphabet; valid entries use the low 24 bits only.
constexpr std::uint32_t kStray = 0x01000000u;

struct DecodeTables {
    std::int8_t value[256];  // 6-bit value, or -1 outside the alphabet
    // at[k][c]: the bits that character c in place k of a group adds to the
    // group's three bytes, byte 0 lowest (so a little-endian store writes
    // them in order).
    std::uint32_t at[4][256];
};

constexpr DecodeTables MakeDecodeTables() {
    DecodeTables t{};
    for (int c = 0; c < 256; ++c) {
        t.value[c] = -1;
        for (auto& a : t.at)
            a[c] = kStray;
    }
    for (int v = 0; v < 64; ++v) {
        const auto c = static_cast<unsigned char>(kAlphabet[v]);
        const auto u = static_cast<std::uint32_t>(v);
        t.value[c] = static_cast<std::int8_t>(v);
        t.at[0][c] = u << 2;
        t.at[1][c] = (u >> 4) | ((u & 0x0F) << 12);
        t.at[2][c] = ((u >> 2) << 8) | ((u & 0x03) << 22);
        t.at[3][c] = u << 16;
    }
    return t;
}

constexpr DecodeTables kDecode = MakeDecodeTables();

// Two base64 characters for every 12-bit value, in output order in memory.
struct PairTable {
    char pair[4096][2];
};

constexpr PairTable MakePairTable() {
    PairTable t{};
    for (int v = 0; v < 4096; ++v) {
        t.pair[v][0] = kAlphabet[v >> 6];
        t.pair[v][1] = kAlphabet[v & 63];
    }
    return t;
}

constexpr PairTable kPairs = MakePairTable();

inline std::uint32_t Load24(const unsigned char* p) {
    return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}

// Writes the four characters of one full group.
inline void EncodeGroup(const unsigned char* in, char* out) {
    const std::uint32_t x = Load24(in);
    std::memcpy(out, kPairs.pair[x >> 12], 2);
    std::memcpy(out + 2, kPairs.pair[x & 0xFFF], 2);
}

// Encodes `groups` full groups; returns the end of the written characters.
inline char* EncodeGroups(const unsigned char* in, std::size_t groups, char* out) {
    for (std::size_t g = 0; g < groups; ++g, in += 3, out += 4)
        EncodeGroup(in, out);
    return out;
}

// Byte-wise decoder: the exact rules, one character at a time.
struct Decoder {
    unsigned char* out;      // next output byte
    std::uint32_t bits = 0;  // collected values of the open group
    int count = 0;           // characters in the open group (0..3)
    bool afterSkip = false;  // the last character read was skipped
    bool invalid = false;    // a stray character other than CR or LF was seen

    // Takes one character; false when it ends decoding.
    bool Step(unsigned char c) {
        const int v = kDecode.value[c];
        if (v >= 0) {
            bits = (bits << 6) | static_cast<std::uint32_t>(v);
            if (++count == 4) {
                out[0] = static_cast<unsigned char>(bits >> 16);
                out[1] = static_cast<unsigned char>(bits >> 8);
                out[2] = static_cast<unsigned char>(bits);
                out += 3;
                bits = 0;
                count = 0;
            }
            afterSkip = false;
            return true;
        }
        if (c == '=' && !afterSkip)
            return false;
        if (c != '\r' && c != '\n')
            invalid = true;
        afterSkip = true;
        return true;
    }

    // Flushes a group cut short by the end of decoding.
    void Finish() {
        if (count == 2) {
            *out++ = static_cast<unsigned char>(bits >> 4);
        } else if (count == 3) {
            *out++ = static_cast<unsigned char>(bits >> 10);
            *out++ = static_cast<unsigned char>(bits >> 2);
        }
        count = 0;
    }
};

// Looks up one group of four characters; the kStray bit is set if any of
// them is outside the alphabet.
inline std::uint32_t LookupGroup(const unsigned char* p) {
    return kDecode.at[0][p[0]] | kDecode.at[1][p[1]] | kDecode.at[2][p[2]] | kDecode.at[3][p[3]];
}

// Stores the three bytes of a looked-up group. On little-endian hosts this is
// one 4-byte store whose fourth byte the next group (or the final zero fill)
// overwrites; the caller guarantees that byte lies inside the block.
inline void StoreGroup(std::uint32_t x, unsigned char* out) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &x, 4);
    } else {
        out[0] = static_cast<unsigned char>(x);
        out[1] = static_cast<unsigned char>(x >> 8);
        out[2] = static_cast<unsigned char>(x >> 16);
    }
}

// Fast loop over clean groups, entered with no group open. Consumes whole
// groups of alphabet characters and the line ends between them; stops before
// the first group that holds anything else (or at the end). Output writes
// stay inside the block: after i characters at most 3i/4 bytes are written,
// and a 4-byte store at that point with i + 4 <= len ends by 3len/4 + 1.
std::size_t DecodeClean(const unsigned char* t, std::size_t i, std::size_t len, Decoder& d) {
    static const codec_simd::B64DecodeCleanFn vector = codec_simd::B64DecodeClean();
    unsigned char* out = d.out;
    while (i + 4 <= len) {
        // The vector kernel takes whole clean blocks inside a line and stops
        // at the block that holds its line end; the tables take the groups
        // up to there.
        if (vector != nullptr) {
            const std::size_t j = vector(t, i, len, &out);
            if (j != i) {
                i = j;
                d.afterSkip = false;
            }
        } else {
            while (i + 16 <= len) {
                const std::uint32_t a = LookupGroup(t + i);
                const std::uint32_t b = LookupGroup(t + i + 4);
                const std::uint32_t c = LookupGroup(t + i + 8);
                const std::uint32_t e = LookupGroup(t + i + 12);
                if (((a | b | c | e) & ~0xFFFFFFu) != 0)
                    break;
                StoreGroup(a, out);
                StoreGroup(b, out + 3);
                StoreGroup(c, out + 6);
                StoreGroup(e, out + 9);
                out += 12;
                i += 16;
                d.afterSkip = false;
            }
        }
        std::uint32_t x;
        while (i + 4 <= len && (x = LookupGroup(t + i)) < kStray) {
            StoreGroup(x, out);
            out += 3;
            i += 4;
            d.afterSkip = false;
        }
        if (i + 4 > len)
            break;
        // Line ends are skipped without a flag; anything else goes to the
        // byte-wise decoder.
        if (t[i] == '\r' && t[i + 1] == '\n') {
            i += 2;
        } else if (t[i] == '\n') {
            i += 1;
        } else {
            break;
        }
        d.afterSkip = true;
    }
    d.out = out;
    return i;
}

}  // namespace

char* CBase64::Encode(const unsigned char* data, std::size_t len) {
    if (len > CODEC_MAX_INPUT || (data == nullptr && len != 0))
        return nullptr;
    const std::size_t chars = len * 4 / 3;
    const std::size_t size = chars + 2 * (chars / B64_LINE_CHARS) + 10;
    char* text = static_cast<char*>(std::malloc(size));
    if (text == nullptr)
        return nullptr;

    char* out = text;
    const unsigned char* in = data;
    const unsigned char* const end = data + len;
    while (static_cast<std::size_t>(end - in) >= kLineBytes) {
        out = EncodeGroups(in, kLineBytes / 3, out);
        *out++ = '\r';
        *out++ = '\n';
        in += kLineBytes;
    }
    const std::size_t rest = static_cast<std::size_t>(end - in);
    out = EncodeGroups(in, rest / 3, out);
    in += rest / 3 * 3;
    if (rest % 3 == 1) {
        const std::uint32_t x = std::uint32_t{in[0]} << 16;
        *out++ = kAlphabet[x >> 18];
        *out++ = kAlphabet[(x >> 12) & 63];
        *out++ = '=';
        *out++ = '=';
    } else if (rest % 3 == 2) {
        const std::uint32_t x = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8);
        *out++ = kAlphabet[x >> 18];
        *out++ = kAlphabet[(x >> 12) & 63];
        *out++ = kAlphabet[(x >> 6) & 63];
        *out++ = '=';
    }
    std::memset(out, 0, size - static_cast<std::size_t>(out - text));
    return text;
}

unsigned char* CBase64::Decode(const char* text, std::size_t* len) {
    if (len == nullptr)
        return nullptr;
    const std::size_t n = text == nullptr ? 0 : *len;
    if (n > CODEC_MAX_INPUT) {
        *len = 0;
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(std::malloc(n + 1));
    if (block == nullptr) {
        *len = 0;
        return nullptr;
    }
    const auto* t = reinterpret_cast<const unsigned char*>(text);
    Decoder d{block};
    std::size_t i = 0;
    while (i < n) {
        if (d.count == 0) {
            i = DecodeClean(t, i, n, d);
            if (i >= n)
                break;
        }
        if (!d.Step(t[i]))
            break;
        ++i;
    }
    d.Finish();
    const auto written = static_cast<std::size_t>(d.out - block);
    std::memset(d.out, 0, n + 1 - written);
    if (d.invalid)
        m_bInvalidInput = true;
    *len = written;
    return block;
}
