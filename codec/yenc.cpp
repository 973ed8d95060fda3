/*
 * yenc.cpp - decoding of yEnc blocks (the "=ybegin ... =yend" form that news
 * readers and some mail readers turn into attachments).
 *
 * YEncDecode(text, len, &outLen)
 *   `text` holds the lines between a block's "=ybegin" line and its "=yend"
 *   line (the part parser takes those two off). Lines end at LF; a CR in
 *   front of it is not data. A line that starts with "=ypart ", "=ybegin "
 *   or "=yend" is a control line of a block in several parts and carries no
 *   data. Every other byte is data: (c - 42) mod 256, and "=" escapes the
 *   byte behind it, (c - 64 - 42) mod 256. An "=" at a line's end escapes
 *   nothing and is dropped. The block holds at most as many bytes as the
 *   text has (at least one); outLen receives the number written. Null
 *   (outLen 0) when memory is short or the text is beyond CODEC_MAX_INPUT.
 * The sizes and checksums of the control lines are not checked: a reader
 * opens what the lines hold, and so the check looks at exactly that.
 */
#include "codec/codec.h"

#include <cstdlib>
#include <cstring>

namespace {

bool StartsWith(const char* p, std::size_t n, const char* prefix) {
    const std::size_t k = std::strlen(prefix);
    return n >= k && std::memcmp(p, prefix, k) == 0;
}

}  // namespace

unsigned char* YEncDecode(const char* text, std::size_t len, std::size_t* outLen) {
    if (outLen != nullptr)
        *outLen = 0;
    const std::size_t n = text == nullptr ? 0 : len;
    if (n > CODEC_MAX_INPUT)
        return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(n == 0 ? 1 : n));
    if (block == nullptr)
        return nullptr;
    std::size_t out = 0;
    std::size_t p = 0;
    while (p < n) {
        const void* lf = std::memchr(text + p, '\n', n - p);
        std::size_t e =
            lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - text) : n;
        const std::size_t next = lf != nullptr ? e + 1 : n;
        if (e > p && text[e - 1] == '\r')
            --e;
        const char* line = text + p;
        const std::size_t k = e - p;
        if (!StartsWith(line, k, "=ypart ") && !StartsWith(line, k, "=ybegin ") &&
            !StartsWith(line, k, "=yend")) {
            for (std::size_t i = 0; i < k; ++i) {
                unsigned c = static_cast<unsigned char>(line[i]);
                if (c == '=') {
                    if (++i == k)
                        break;
                    c = static_cast<unsigned char>(line[i]) - 64u;
                }
                block[out++] = static_cast<unsigned char>(c - 42u);
            }
        }
        p = next;
    }
    if (outLen != nullptr)
        *outLen = out;
    return block;
}
