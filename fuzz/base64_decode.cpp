/*
 * base64_decode.cpp - libFuzzer target for CBase64::Decode (and Encode).
 *
 * The input is read as the encoded text, NUL bytes and all. Checks: the
 * decoded count never exceeds three quarters of the input, the block is zero
 * past the decoded bytes, and encoding the decoded bytes and decoding again
 * gives them back unflagged.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CBase64 b64;
    std::size_t len = size;
    unsigned char* out = b64.Decode(reinterpret_cast<const char*>(data), &len);
    if (out == nullptr)
        std::abort();
    if (len > size * 3 / 4)
        std::abort();
    for (std::size_t k = len; k <= size; ++k)
        if (out[k] != 0)
            std::abort();

    char* again = CBase64::Encode(out, len);
    if (again == nullptr)
        std::abort();
    CBase64 check;
    std::size_t len2 = std::strlen(again);
    unsigned char* back = check.Decode(again, &len2);
    if (back == nullptr || len2 != len || std::memcmp(back, out, len) != 0 || check.m_bInvalidInput)
        std::abort();
    std::free(back);
    std::free(again);
    std::free(out);
    return 0;
}
