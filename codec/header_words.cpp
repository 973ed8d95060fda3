/*
 * header_words.cpp - DecodeHeaderData: RFC 2047 encoded words in a header
 * value, decoded byte-wise.
 *
 * DecodeHeaderData(data)
 *   Returns a new malloc'ed text; null for a null `data` or when memory is
 *   short. The charset of a word is read past and never applied: the decoded
 *   bytes come back in the word's own charset.
 *   - A value whose second-to-last character is CR loses its last two
 *     characters (the CR LF of a header line).
 *   - Leading white space (C-locale isspace) is passed over; a value of white
 *     space alone, or empty, comes back as it stands.
 *   - Text outside encoded words is kept as it stands, the white space and the
 *     line feeds and tabs between words included.
 *   - An encoded word is "=?" charset "?" letter "?" text "?=". Q (either case)
 *     turns "_" into a blank and decodes the text with the quoted-printable
 *     decoder; B (either case) with the base64 decoder. A decoded word ends at
 *     its first zero byte.
 *   - A word with another letter, without the "?" after its letter, or without
 *     its closing "?=" makes the whole value come back undecoded (after the CR
 *     LF cut, leading white space included): half-decoded text would be worse
 *     than the original for every later comparison.
 *   - When a word's decoder runs out of memory, that word is left out.
 *
 * Limits: the output is at most twice the input long (a Q word's LF becomes
 *   CR LF), so it is allocated once and shrunk at the end.
 *
 * DecodeHeaderWords(value, bWideLittleEndian)
 *   The value as mail readers show it (RFC 2047 section 6.2), as UTF-8:
 *   - an encoded word is "=?" charset ["*" language] "?" B or Q "?" text
 *     "?=" with a charset of letters, digits and "-_.:+"; anything else
 *     that starts with "=?" is text, and only that piece: the words around
 *     it are decoded all the same;
 *   - white space between two encoded words is dropped, and the bytes of
 *     adjacent words of the same charset are joined before they are
 *     converted, so that a character (or a name's extension) split across
 *     two words comes out whole;
 *   - the bytes are converted from the word's charset (pf::charset_to_utf8);
 *     bytes of an unknown charset, or that are not text of it, stay as they
 *     are; a bare "utf-16", "ucs-2" or "utf-32" without byte order mark is
 *     read big-endian, or little-endian (as Windows writes it) when
 *     bWideLittleEndian;
 *   - text outside encoded words stands as it is.
 *   Zero bytes are kept. The result is at most a few times the input long.
 */
#include "codec/codec.h"
#include "pf/platform.h"
#include "pf/text.h"

#include <string>

#include <cstdlib>
#include <cstring>

namespace {

// The pieces of the result, appended in order to one block sized in advance.
struct Pieces {
    char* block;
    std::size_t used = 0;

    // Appends a piece; it ends at its first zero byte.
    void Append(const char* piece, std::size_t len) {
        const void* zero = std::memchr(piece, 0, len);
        if (zero != nullptr)
            len = static_cast<std::size_t>(static_cast<const char*>(zero) - piece);
        std::memcpy(block + used, piece, len);
        used += len;
    }
};

// Decodes the text of one encoded word, [text, end), by its letter and adds
// the result as a piece.
void AppendWord(char letter, const char* text, const char* end, Pieces& pieces) {
    const auto len = static_cast<std::size_t>(end - text);
    if (len == 0)
        return;
    if (letter == 'B' || letter == 'b') {
        CBase64 b64;
        std::size_t n = len;
        unsigned char* bytes = b64.Decode(text, &n);
        if (bytes == nullptr)
            return;
        pieces.Append(reinterpret_cast<const char*>(bytes), n);
        std::free(bytes);
        return;
    }
    // The quoted-printable decoder reads a zero-terminated text, so the word's
    // text is copied, with "_" standing for a blank as the Q encoding defines.
    char* q = static_cast<char*>(std::malloc(len + 1));
    if (q == nullptr)
        return;
    for (std::size_t k = 0; k < len; ++k)
        q[k] = text[k] == '_' ? ' ' : text[k];
    q[len] = '\0';
    CQuotedPrintable qp;
    std::size_t n = 0;
    unsigned char* bytes = qp.Decode(q, &n);
    std::free(q);
    if (bytes == nullptr)
        return;
    pieces.Append(reinterpret_cast<const char*>(bytes), n);
    std::free(bytes);
}

}  // namespace

char* DecodeHeaderData(const char* data) {
    if (data == nullptr)
        return nullptr;
    std::size_t n = std::strlen(data);
    if (n > CODEC_MAX_INPUT)
        return nullptr;
    char* copy = static_cast<char*>(std::malloc(n + 1));
    if (copy == nullptr)
        return nullptr;
    std::memcpy(copy, data, n + 1);
    if (n >= 2 && copy[n - 2] == '\r') {
        n -= 2;
        copy[n] = '\0';
    }
    std::size_t p = 0;
    while (p < n && pf::is_c_space(copy[p]))
        ++p;
    if (p == n)
        return copy;

    Pieces pieces{static_cast<char*>(std::malloc(2 * n + 1))};
    if (pieces.block == nullptr) {
        std::free(copy);
        return nullptr;
    }
    while (p < n) {
        const char* rest = copy + p;
        const char* word = std::strstr(rest, "=?");
        if (word == nullptr) {
            pieces.Append(rest, n - p);
            break;
        }
        pieces.Append(rest, static_cast<std::size_t>(word - rest));
        const char* mark = std::strchr(word + 2, '?');
        const char letter = mark == nullptr ? '\0' : mark[1];
        const bool known = letter == 'Q' || letter == 'q' || letter == 'B' || letter == 'b';
        // mark[2] is read only when mark[1] is a letter, so it is at most the
        // terminating zero.
        const char* close = known && mark[2] == '?' ? std::strstr(mark + 3, "?=") : nullptr;
        if (close == nullptr) {
            std::free(pieces.block);
            return copy;
        }
        AppendWord(letter, mark + 3, close, pieces);
        p = static_cast<std::size_t>(close + 2 - copy);
    }
    std::free(copy);
    pieces.block[pieces.used] = '\0';
    // Shrinking cannot fail in a way that loses the text: keep the larger
    // block when realloc refuses.
    char* result = static_cast<char*>(std::realloc(pieces.block, pieces.used + 1));
    return result != nullptr ? result : pieces.block;
}

namespace {

// A charset name of an encoded word: letters, digits and "-_.:+", an
// RFC 2231 language behind "*" allowed (and dropped).
bool IsWordCharset(std::string_view s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == ':' ||
                        c == '+' || c == '*';
        if (!ok) {
            return false;
        }
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One encoded word at the start of `v`: its length, charset and bytes; 0
// when `v` does not start with a well-formed word.
std::size_t ParseWord(std::string_view v, std::string& charset, std::string& bytes) {
    if (v.size() < 8 || v[0] != '=' || v[1] != '?') {
        return 0;
    }
    const std::size_t q1 = v.find('?', 2);
    if (q1 == std::string_view::npos || q1 + 2 >= v.size() || v[q1 + 2] != '?') {
        return 0;
    }
    const char letter = v[q1 + 1];
    if (letter != 'B' && letter != 'b' && letter != 'Q' && letter != 'q') {
        return 0;
    }
    const std::size_t close = v.find("?=", q1 + 3);
    if (close == std::string_view::npos) {
        return 0;
    }
    const std::string_view cs = v.substr(2, q1 - 2);
    if (!IsWordCharset(cs)) {
        return 0;
    }
    const std::string_view text = v.substr(q1 + 3, close - q1 - 3);
    charset.assign(cs.substr(0, cs.find('*')));
    bytes.clear();
    if (letter == 'B' || letter == 'b') {
        CBase64 b64;
        std::string copy(text);
        std::size_t n = copy.size();
        unsigned char* out = b64.Decode(copy.c_str(), &n);
        if (out == nullptr) {
            return 0;
        }
        bytes.assign(reinterpret_cast<const char*>(out), n);
        std::free(out);
    } else {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            int hi = -1;
            int lo = -1;
            if (c == '=' && i + 2 < text.size() && (hi = HexValue(text[i + 1])) >= 0 &&
                (lo = HexValue(text[i + 2])) >= 0) {
                bytes += static_cast<char>(hi * 16 + lo);
                i += 2;
            } else {
                bytes += c == '_' ? ' ' : c;
            }
        }
    }
    return close + 2;
}

// The bytes of a run of words of one charset, as UTF-8 when they convert.
void AppendConverted(const std::string& charset, const std::string& bytes, bool bWideLittleEndian,
                     std::string& out) {
    std::string name = pf::ascii_lower(charset);
    const bool bMark = bytes.size() >= 2 && ((static_cast<unsigned char>(bytes[0]) == 0xFE &&
                                              static_cast<unsigned char>(bytes[1]) == 0xFF) ||
                                             (static_cast<unsigned char>(bytes[0]) == 0xFF &&
                                              static_cast<unsigned char>(bytes[1]) == 0xFE));
    if (bWideLittleEndian && !bMark && (name == "utf-16" || name == "ucs-2" || name == "utf-32")) {
        name = name == "utf-32" ? "utf-32le" : "utf-16le";
    }
    std::string text;
    if (pf::charset_to_utf8(name, bytes, text)) {
        out += text;
    } else {
        out += bytes;
    }
}

}  // namespace

std::string DecodeHeaderWords(std::string_view value, bool bWideLittleEndian) {
    std::string out;
    std::string runCharset, runBytes;  // adjacent words of one charset, not yet converted
    bool bInRun = false;
    std::string charset, bytes;
    std::size_t i = 0;
    std::size_t textStart = 0;  // text since the last word
    auto flush = [&] {
        if (bInRun) {
            AppendConverted(runCharset, runBytes, bWideLittleEndian, out);
            bInRun = false;
        }
    };
    while (i < value.size()) {
        const std::size_t at = value.find("=?", i);
        if (at == std::string_view::npos) {
            break;
        }
        const std::size_t len = ParseWord(value.substr(at), charset, bytes);
        if (len == 0) {
            i = at + 2;  // text, and only this piece of it
            continue;
        }
        const std::string_view between = value.substr(textStart, at - textStart);
        const bool bBlank = between.find_first_not_of(" \t\r\n") == std::string_view::npos;
        if (bInRun && bBlank && pf::equals_nocase(charset, runCharset)) {
            runBytes += bytes;  // joined before they are converted
        } else {
            if (!(bInRun && bBlank)) {
                flush();
                out += between;
            } else {
                flush();  // adjacent, another charset: the white space goes
            }
            runCharset = charset;
            runBytes = bytes;
            bInRun = true;
        }
        i = at + len;
        textStart = i;
    }
    flush();
    out += value.substr(textStart);
    return out;
}
