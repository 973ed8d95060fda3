/*
 * codec.h - the one codec layer: base64, quoted-printable, uuencode and
 * RFC 2047 encoded words in header values, and the yEnc and BinHex blocks
 * mail readers decode inside text. Every caller in mailward decodes
 * and encodes through these functions; nothing else re-implements them.
 *
 * Results are new malloc'ed blocks owned by the caller (release with free);
 * inputs are never changed. Decoders never refuse input: they skip or drop
 * what does not fit and set m_bInvalidInput where stated. Every decoder takes
 * arbitrary bytes and stays inside its input and its result block.
 *
 * Departures from the RFCs that hosts rely on:
 *  - base64 lines break after 76 characters (57 bytes) with CR LF, also after
 *    the last full line; a trailing partial group gets no line break. The
 *    decoder skips CR and LF silently and flags every other stray character,
 *    a "=" that follows a skipped character included.
 *  - the quoted-printable encoder writes LF line ends, escapes "From " after a
 *    line feed as "=46rom ", a dot at a line start as "=2E", the first dash of
 *    "--" as "=2D" (so that no encoded text, a notice naming a part
 *    "x --boundary" included, holds a delimiter), breaks lines after
 *    72 characters, and ends a non-empty text with a soft break; the decoder
 *    writes each LF as CR LF and keeps the characters of a broken "=" escape.
 *  - UUDecode reads lines through an 80-character buffer.
 *
 * Limits (named below): B64_LINE_CHARS, QP_LINE_LIMIT, UU_LINE_CHARS,
 * CODEC_MAX_INPUT, BINHEX_MAX_DATA.
 *
 * Errors (the whole codec layer): a null result is the only failure (memory
 * short, or an input beyond CODEC_MAX_INPUT); bad input is never a failure
 * but a flag (m_bInvalidInput). Nothing here throws or logs.
 */
#ifndef MAILWARD_CODEC_H
#define MAILWARD_CODEC_H

#include <cstddef>
#include <string>
#include <string_view>

// Characters of full base64 groups per encoded line (57 input bytes).
constexpr std::size_t B64_LINE_CHARS = 76;
// A quoted-printable output line longer than this gets a soft line break.
constexpr std::size_t QP_LINE_LIMIT = 72;
// Characters of one uuencoded line that the line buffer holds; the next one
// is dropped and the rest of the line is read as a new line.
constexpr std::size_t UU_LINE_CHARS = 80;
// Inputs longer than this are refused (null) by the encoders and decoders,
// so that no size computation can overflow.
constexpr std::size_t CODEC_MAX_INPUT = static_cast<std::size_t>(-1) / 8;
// Bytes of a BinHex data fork that are decoded (run-length coding lets a
// few characters stand for many bytes); the rest is cut.
constexpr std::size_t BINHEX_MAX_DATA = 256u * 1024 * 1024;

class CBase64 {
  public:
    bool m_bInvalidInput = false;  // set by Decode on stray characters

    // Zero-terminated text; null when memory is short or len > CODEC_MAX_INPUT.
    // `data` may be null when `len` is 0.
    static char* Encode(const unsigned char* data, std::size_t len);
    // `len`: in the characters to read, out the bytes decoded. The block holds
    // len + 1 bytes, zero-filled. A null `text` reads as empty. Null for a
    // null `len`; null and *len 0 when memory is short or the length is beyond
    // CODEC_MAX_INPUT.
    unsigned char* Decode(const char* text, std::size_t* len);
};

class CQuotedPrintable {
  public:
    bool m_bInvalidInput = false;  // set by Decode on broken "=" escapes

    // Zero-terminated text; null for a null text or when memory is short.
    static char* Encode(const char* text);
    // The same over `len` bytes of `text`, zero bytes included (escaped).
    static char* Encode(const char* text, std::size_t len);
    // `outLen` (optional) receives the number of bytes written; the block holds
    // twice the input length (at least 1), zero-filled. A null text reads as
    // empty. Null (and *outLen 0) when memory is short.
    unsigned char* Decode(const char* text, std::size_t* outLen = nullptr);
    // The same over `len` characters of `text`, zero bytes included.
    unsigned char* Decode(const char* text, std::size_t len, std::size_t* outLen);
};

// Decodes uuencoded lines (without begin and end lines). The block holds as
// many bytes as `text` has characters (at least 1). Null (and *outLen 0) when
// memory is short; a null text reads as empty. `outLen` receives the number of
// bytes written.
unsigned char* UUDecode(const char* text, std::size_t* outLen);
// The same over `len` characters of `text`, zero bytes included.
unsigned char* UUDecode(const char* text, std::size_t len, std::size_t* outLen);
// Decodes one group of four characters into at most `wanted` (<= 3) bytes at
// `out`; returns the number written (0 for null pointers or wanted <= 0).
int UUDecodeGroup(const char* group, unsigned char* out, int wanted);

// Decodes the lines of a yEnc block (without its =ybegin and =yend lines;
// =ypart lines are passed over). The block holds at most as many bytes as
// `text` has characters (at least 1). Null (and *outLen 0) when memory is
// short.
unsigned char* YEncDecode(const char* text, std::size_t len, std::size_t* outLen);
// Decodes the data fork of a BinHex 4.0 block (the text behind its "(This
// file must be converted with BinHex" line, from its first ":" to the next);
// `name` (optional) receives the file name its header carries. The block is
// zero-terminated behind *outLen bytes. Null when memory is short.
unsigned char* BinHexDecode(const char* text, std::size_t len, std::size_t* outLen,
                            std::string* name);
// The file name of a BinHex block's header ("" when it is cut before it).
std::string BinHexName(const char* text, std::size_t len);

// The transfer encodings the codecs undo, by the value of a
// Content-Transfer-Encoding field (ASCII case ignored): every caller that
// decodes a part's contents by that name goes through these three. 7bit,
// 8bit, binary and every unknown name are Identity (the contents stand as
// they are in the mail). Uuencode, YEnc and BinHex are never named by a
// field: they are the codings of the blocks the parser finds in text (their
// lines without the lines that open and close them).
enum class TransferCoding { Identity, Base64, QuotedPrintable, Uuencode, YEnc, BinHex };
TransferCoding TransferCodingByName(std::string_view name);
// Decodes `len` characters of `text` into a malloc'ed block of *outLen bytes
// followed by a zero byte (so that callers may read it as text); Identity
// copies. Null and *outLen 0 when memory is short.
unsigned char* DecodeTransfer(TransferCoding coding, const char* text, std::size_t len,
                              std::size_t* outLen);
// Encodes `len` bytes into zero-terminated text (Identity copies, zero bytes
// included). Null when memory is short.
char* EncodeTransfer(TransferCoding coding, const char* data, std::size_t len);

// Decodes RFC 2047 encoded words byte-wise (no charset conversion). Null for a
// null input or when memory is short.
char* DecodeHeaderData(const char* data);
// The value with its encoded words decoded as mail readers show it: in
// UTF-8 from each word's charset, adjacent words joined without the white
// space between them, a malformed word left as text (header_words.cpp).
// `bWideLittleEndian` reads a bare "utf-16" without byte order mark as
// little-endian instead of big-endian. May throw std::bad_alloc.
std::string DecodeHeaderWords(std::string_view value, bool bWideLittleEndian = false);

#endif
