/*
 * codec.h - the one codec layer: base64, quoted-printable, uuencode and
 * RFC 2047 encoded words in header values. Every caller in mailward decodes
 * and encodes through these functions; nothing else re-implements them.
 *
 * Results are new malloc'ed blocks owned by the caller (release with free);
 * inputs are never changed. Decoders never refuse input: they skip or drop
 * what does not fit and set m_bInvalidInput where stated.
 *
 * Departures from the RFCs that hosts rely on:
 *  - base64 lines break after 76 characters (57 bytes) with CR LF, also after
 *    the last full line; a trailing partial group gets no line break.
 *  - the quoted-printable encoder writes LF line ends, escapes "From " after a
 *    line feed as "=46rom ", a dot at a line start as "=2E", breaks lines after
 *    72 characters, and ends a non-empty text with a soft break; the decoder
 *    writes each LF as CR LF and keeps the characters of a broken "=" escape.
 *  - UUDecode reads lines through an 80-character buffer.
 */
#ifndef MAILWARD_CODEC_H
#define MAILWARD_CODEC_H

#include <cstddef>

class CBase64 {
public:
    bool m_bInvalidInput = false;

    // Zero-terminated text; null when memory is short.
    static char* Encode(const unsigned char* data, std::size_t len);
    // `len`: in the characters to read, out the bytes decoded. The block holds
    // len + 1 bytes, zero-filled. Null when memory is short.
    unsigned char* Decode(const char* text, std::size_t* len);
};

class CQuotedPrintable {
public:
    bool m_bInvalidInput = false;

    static char* Encode(const char* text);
    // `outLen` (optional) receives the number of bytes written; the block holds
    // twice the input length (at least 1), zero-filled.
    unsigned char* Decode(const char* text, std::size_t* outLen = nullptr);
};

// Decodes uuencoded lines (without begin and end lines). Null when memory is
// short; `outLen` receives the number of bytes written.
unsigned char* UUDecode(const char* text, std::size_t* outLen);
// Decodes one group of four characters into at most `wanted` (<= 3) bytes at
// `out`; returns the number written.
int UUDecodeGroup(const char* group, unsigned char* out, int wanted);

// Decodes RFC 2047 encoded words byte-wise (no charset conversion). Null for a
// null input or when memory is short.
char* DecodeHeaderData(const char* data);

#endif
