/*
 * transfer.cpp - decoding and encoding by transfer-encoding name (contract
 * in codec.h): the one place that maps a Content-Transfer-Encoding value to
 * its codec, so that the part tree and the strict reading of a mail can
 * never disagree about which parts are encoded how.
 */
#include <cstdlib>
#include <cstring>

#include "codec/codec.h"
#include "pf/text.h"

namespace {

// `block` holds `capacity` bytes of which the codec wrote `n`: makes sure a
// zero follows them. Null (block released) when it cannot grow.
unsigned char* Terminate(unsigned char* block, std::size_t n, std::size_t capacity) {
    if (block == nullptr)
        return nullptr;
    if (n < capacity) {
        block[n] = 0;
        return block;
    }
    void* grown = std::realloc(block, n + 1);
    if (grown == nullptr) {
        std::free(block);
        return nullptr;
    }
    static_cast<unsigned char*>(grown)[n] = 0;
    return static_cast<unsigned char*>(grown);
}

}  // namespace

TransferCoding TransferCodingByName(std::string_view name) {
    if (pf::equals_nocase(name, "base64"))
        return TransferCoding::Base64;
    if (pf::equals_nocase(name, "quoted-printable"))
        return TransferCoding::QuotedPrintable;
    return TransferCoding::Identity;
}

unsigned char* DecodeTransfer(TransferCoding coding, const char* text, std::size_t len,
                              std::size_t* outLen) {
    std::size_t n = 0;
    unsigned char* block = nullptr;
    std::size_t capacity = 0;
    switch (coding) {
        case TransferCoding::Base64: {
            CBase64 codec;
            n = len;
            block = codec.Decode(text, &n);
            capacity = len + 1;  // Decode's block: len + 1 bytes
            break;
        }
        case TransferCoding::QuotedPrintable: {
            CQuotedPrintable codec;
            block = codec.Decode(text, len, &n);
            capacity = len > 0 ? 2 * len : 1;  // Decode's block: twice the input
            break;
        }
        case TransferCoding::Uuencode:
            block = UUDecode(text, len, &n);
            capacity = len > 0 ? len : 1;  // UUDecode's block: one byte a character
            break;
        case TransferCoding::YEnc:
            block = YEncDecode(text, len, &n);
            capacity = len > 0 ? len : 1;  // YEncDecode's block: one byte a character
            break;
        case TransferCoding::BinHex:
            block = BinHexDecode(text, len, &n, nullptr);
            capacity = n + 1;  // zero-terminated already
            break;
        case TransferCoding::Identity:
            block = reinterpret_cast<unsigned char*>(pf::copy_terminated(text, len));
            n = len;
            capacity = len + 1;
            break;
    }
    block = Terminate(block, n, capacity);
    if (outLen != nullptr)
        *outLen = block != nullptr ? n : 0;
    return block;
}

char* EncodeTransfer(TransferCoding coding, const char* data, std::size_t len) {
    switch (coding) {
        case TransferCoding::Base64:
            return CBase64::Encode(reinterpret_cast<const unsigned char*>(data), len);
        case TransferCoding::QuotedPrintable:
            return CQuotedPrintable::Encode(data, len);
        case TransferCoding::Uuencode:  // blocks are never written anew
        case TransferCoding::YEnc:
        case TransferCoding::BinHex:
        case TransferCoding::Identity:
            break;
    }
    return pf::copy_terminated(data, len);
}
