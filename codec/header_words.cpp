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
 */
#include "codec/codec.h"
#include "pf/text.h"

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
