/*
 * binhex.cpp - decoding of BinHex 4.0 blocks (the Macintosh form that mail
 * readers such as Apple Mail and Eudora turn into attachments).
 *
 * A block is the text behind the line "(This file must be converted with
 * BinHex 4.0)": from the first ":" to the next ":", characters of a 64-letter
 * alphabet, four to three bytes, white space (CR, LF, blank, tab) between
 * them ignored and any other character passed over. The bytes are run-length
 * coded: 0x90 followed by n repeats the byte in front of it until it stands
 * n times in all (n = 0 is a literal 0x90). The decoded stream is a header
 * (name length, name, version, type, creator, flags, data length, resource
 * length, all numbers big-endian, and a checksum), the data fork, its
 * checksum, the resource fork and its checksum.
 *
 * BinHexDecode(text, len, &outLen, &name)
 *   The data fork, as much of it as the block holds (a block cut short, or
 *   one without its closing ":", gives what it has); `name` (optional) gets
 *   the file name of the header ("" when the header is incomplete). The
 *   block is malloc'ed, zero-terminated behind outLen bytes. Null (outLen 0)
 *   when memory is short or the text is beyond CODEC_MAX_INPUT.
 * BinHexName(text, len)
 *   The name alone, decoding no further than the header.
 * Checksums are not checked: a reader that ignores them opens these bytes.
 *
 * Limits: run-length coding lets four characters stand for up to 255 bytes,
 * so the data fork is cut at BINHEX_MAX_DATA bytes (more than the engine
 * scans of one file by default, so a cut block fails its scan there).
 */
#include "codec/codec.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char ALPHABET[] = "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
constexpr unsigned char RUN_MARK = 0x90;
constexpr unsigned NOT_A_LETTER = 64;

// The alphabet as a table from byte to value (NOT_A_LETTER for the rest).
struct LetterTable {
    unsigned char value[256] = {};
    constexpr LetterTable() {
        for (unsigned char& v : value)
            v = NOT_A_LETTER;
        for (int i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(ALPHABET[i])] = static_cast<unsigned char>(i);
    }
};

// Reads the bytes of a block one at a time: letters to bytes, then the
// runs undone.
class CBinHexReader {
  public:
    CBinHexReader(const char* text, std::size_t len) : m_text(text), m_len(len) {
        const void* colon = text != nullptr ? std::memchr(text, ':', len) : nullptr;
        m_pos = colon != nullptr
                    ? static_cast<std::size_t>(static_cast<const char*>(colon) - text) + 1
                    : len;
    }

    // The next byte of the decoded stream; false at its end.
    bool Next(unsigned char& out) {
        if (m_repeat > 0) {
            --m_repeat;
            out = m_last;
            return true;
        }
        unsigned char b = 0;
        if (!Raw(b))
            return false;
        if (b != RUN_MARK) {
            m_last = b;
            out = b;
            return true;
        }
        unsigned char count = 0;
        if (!Raw(count))
            return false;
        if (count == 0) {
            m_last = RUN_MARK;
            out = RUN_MARK;
            return true;
        }
        if (count == 1)  // the byte once in all: already given
            return Next(out);
        m_repeat = static_cast<unsigned>(count) - 2;
        out = m_last;
        return true;
    }

  private:
    // The next byte of the letters, before the runs are undone.
    bool Raw(unsigned char& out) {
        while (m_bits < 8) {
            if (m_pos >= m_len)
                return false;
            const char c = m_text[m_pos++];
            if (c == ':') {
                m_pos = m_len;  // the closing colon ends the block
                return false;
            }
            const unsigned v = kLetters.value[static_cast<unsigned char>(c)];
            if (v == NOT_A_LETTER)
                continue;
            m_acc = (m_acc << 6) | v;
            m_bits += 6;
        }
        m_bits -= 8;
        out = static_cast<unsigned char>(m_acc >> m_bits);
        m_acc &= (1u << m_bits) - 1u;
        return true;
    }

    static constexpr LetterTable kLetters{};
    const char* m_text;
    std::size_t m_len;
    std::size_t m_pos;
    unsigned m_acc = 0;
    unsigned m_bits = 0;
    unsigned char m_last = 0;
    unsigned m_repeat = 0;
};

bool ReadNumber(CBinHexReader& r, int bytes, std::uint64_t& value) {
    value = 0;
    for (int i = 0; i < bytes; ++i) {
        unsigned char b = 0;
        if (!r.Next(b))
            return false;
        value = (value << 8) | b;
    }
    return true;
}

// The header up to the data length; false when the block ends inside it.
bool ReadHeader(CBinHexReader& r, std::string& name, std::uint64_t& dataLength) {
    unsigned char n = 0;
    if (!r.Next(n))
        return false;
    std::string text;
    for (unsigned i = 0; i < n; ++i) {
        unsigned char c = 0;
        if (!r.Next(c))
            return false;
        text += static_cast<char>(c);
    }
    std::uint64_t skip = 0;
    // version (1), type (4), creator (4), flags (2)
    if (!ReadNumber(r, 1, skip) || !ReadNumber(r, 4, skip) || !ReadNumber(r, 4, skip) ||
        !ReadNumber(r, 2, skip) || !ReadNumber(r, 4, dataLength) || !ReadNumber(r, 4, skip) ||
        !ReadNumber(r, 2, skip))
        return false;
    name = text;
    return true;
}

}  // namespace

std::string BinHexName(const char* text, std::size_t len) {
    CBinHexReader r(text, text != nullptr && len <= CODEC_MAX_INPUT ? len : 0);
    std::string name;
    std::uint64_t dataLength = 0;
    return ReadHeader(r, name, dataLength) ? name : std::string();
}

unsigned char* BinHexDecode(const char* text, std::size_t len, std::size_t* outLen,
                            std::string* name) {
    if (outLen != nullptr)
        *outLen = 0;
    if (name != nullptr)
        name->clear();
    if (text != nullptr && len > CODEC_MAX_INPUT)
        return nullptr;
    CBinHexReader r(text, text != nullptr ? len : 0);
    std::string strName;
    std::uint64_t dataLength = 0;
    if (!ReadHeader(r, strName, dataLength))
        dataLength = 0;
    if (dataLength > BINHEX_MAX_DATA)
        dataLength = BINHEX_MAX_DATA;
    // The block grows with the bytes the text really holds: a stated length
    // is no reason to allocate.
    std::size_t capacity = 64;
    std::size_t n = 0;
    auto* block = static_cast<unsigned char*>(std::malloc(capacity + 1));
    if (block == nullptr)
        return nullptr;
    unsigned char b = 0;
    while (n < dataLength && r.Next(b)) {
        if (n == capacity) {
            capacity *= 2;
            void* grown = std::realloc(block, capacity + 1);
            if (grown == nullptr) {
                std::free(block);
                return nullptr;
            }
            block = static_cast<unsigned char*>(grown);
        }
        block[n++] = b;
    }
    block[n] = 0;
    if (outLen != nullptr)
        *outLen = n;
    if (name != nullptr)
        *name = strName;
    return block;
}
