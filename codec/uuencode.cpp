/*
 * uuencode.cpp - decoding of classic uuencoded lines.
 *
 * UUDecode(text, &outLen)
 *   `text` holds the encoded lines of one block, the "begin" and "end" lines
 *   already removed by the part parser. Lines end at LF. Each line is read
 *   through a buffer of UU_LINE_CHARS characters: the character after the
 *   80th is dropped and the rest of that line is read as the next line, as the
 *   fixed line buffer of the classic decoders did. The first character of a
 *   line gives its byte count, (c - 32) mod 64; a count of 0 (grave accent or
 *   blank) or an empty line ends decoding. The characters after the count are
 *   decoded in groups of four; the last group gives only the bytes the count
 *   still wants, so a CR at the end of a full line is never read.
 *   The block holds as many bytes as the text has characters (at least one);
 *   outLen receives the number written. Null (outLen 0) when memory is short.
 *
 * UUDecodeGroup(group, out, wanted)
 *   Four characters to min(wanted, 3) bytes at `out`; returns the number
 *   written, 0 for null pointers or wanted <= 0.
 *
 * BUGS: a line shorter than its count asks for is read as if blanks filled it
 *   (value 0), the way decoders treat lines whose trailing blanks a mail relay
 *   stripped. Such a short line can ask for more bytes than the block has room
 *   for (a single "_" asks for 63); decoding then stops where the block ends,
 *   so that hostile counts can neither overrun it nor make it grow.
 */
#include "codec/codec.h"

#include <cstdlib>
#include <cstring>

namespace {

inline unsigned UUValue(char c) {
    return (static_cast<unsigned>(static_cast<unsigned char>(c)) - 32u) & 63u;
}

}  // namespace

int UUDecodeGroup(const char* group, unsigned char* out, int wanted) {
    if (group == nullptr || out == nullptr || wanted <= 0)
        return 0;
    const unsigned bits = (UUValue(group[0]) << 18) | (UUValue(group[1]) << 12) |
                          (UUValue(group[2]) << 6) | UUValue(group[3]);
    const int n = wanted < 3 ? wanted : 3;
    for (int k = 0; k < n; ++k)
        out[k] = static_cast<unsigned char>(bits >> (16 - 8 * k));
    return n;
}

unsigned char* UUDecode(const char* text, std::size_t* outLen) {
    return UUDecode(text, text == nullptr ? 0 : std::strlen(text), outLen);
}

unsigned char* UUDecode(const char* text, std::size_t len, std::size_t* outLen) {
    if (outLen != nullptr)
        *outLen = 0;
    const std::size_t n = text == nullptr ? 0 : len;
    if (n > CODEC_MAX_INPUT)
        return nullptr;
    const std::size_t size = n == 0 ? 1 : n;
    auto* block = static_cast<unsigned char*>(std::malloc(size));
    if (block == nullptr)
        return nullptr;
    std::memset(block, 0, size);

    unsigned char* out = block;
    unsigned char* const end = block + size;
    // The count of a line asks for at most 63 bytes, 21 groups; the buffer
    // reaches past the line's 80 characters with blanks so that every group
    // the count asks for can be read from it.
    constexpr std::size_t kGroupSpan = 1 + 21 * 4;
    char line[kGroupSpan > UU_LINE_CHARS + 1 ? kGroupSpan : UU_LINE_CHARS + 1];
    std::size_t p = 0;
    bool full = false;
    while (p < n && !full) {
        std::size_t k = 0;
        while (p < n && text[p] != '\n' && k < UU_LINE_CHARS)
            line[k++] = text[p++];
        if (p < n)
            ++p;  // the LF, or the character after the 80th
        if (k == 0)
            break;
        std::memset(line + k, ' ', sizeof line - k);
        int remaining = static_cast<int>(UUValue(line[0]));
        if (remaining == 0)
            break;
        for (std::size_t g = 1; remaining > 0; g += 4) {
            int wanted = remaining < 3 ? remaining : 3;
            if (end - out < wanted) {
                wanted = static_cast<int>(end - out);
                full = true;
            }
            const int written = UUDecodeGroup(line + g, out, wanted);
            out += written;
            remaining -= 3;
            if (full)
                break;
        }
    }
    if (outLen != nullptr)
        *outLen = static_cast<std::size_t>(out - block);
    return block;
}
