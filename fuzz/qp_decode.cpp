/*
 * qp_decode.cpp - libFuzzer target for CQuotedPrintable::Decode (and Encode).
 *
 * The input, cut at its first NUL byte, is decoded; the output must fit the
 * block of twice the input and the block must be zero past it. The same text
 * is then encoded and decoded again, which must give the text back with CR LF
 * for every LF.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* s = text.c_str();
    const std::size_t n = std::strlen(s);

    CQuotedPrintable qp;
    std::size_t len = 0;
    unsigned char* out = qp.Decode(s, &len);
    if (out == nullptr)
        std::abort();
    const std::size_t block = n == 0 ? 1 : 2 * n;
    if (len > block)
        std::abort();
    for (std::size_t k = len; k < block; ++k)
        if (out[k] != 0)
            std::abort();
    std::free(out);

    char* encoded = CQuotedPrintable::Encode(s);
    if (encoded == nullptr)
        std::abort();
    CQuotedPrintable check;
    unsigned char* back = check.Decode(encoded, &len);
    std::string want;
    for (std::size_t k = 0; k < n; ++k) {
        if (s[k] == '\n')
            want += '\r';
        want += s[k];
    }
    if (back == nullptr || len != want.size() || std::memcmp(back, want.data(), len) != 0 ||
        check.m_bInvalidInput)
        std::abort();
    std::free(back);
    std::free(encoded);
    return 0;
}
