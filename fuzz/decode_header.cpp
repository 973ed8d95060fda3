/*
 * decode_header.cpp - libFuzzer target for DecodeHeaderData and
 * DecodeHeaderWords.
 *
 * The input, cut at its first NUL byte, is decoded as a header value. The
 * result must be a terminated text no longer than twice the value; a value
 * without "=?" must come back as it stands less its leading white space and
 * a final CR and character. DecodeHeaderWords (both byte orders for bare
 * UTF-16) must give a value without "=?" back unchanged, and never more
 * than eight bytes per byte of the value (a charset's character takes at
 * most four bytes of UTF-8).
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string value = text.c_str();
    char* out = DecodeHeaderData(value.c_str());
    if (out == nullptr)
        std::abort();
    const std::string got = out;
    std::free(out);
    if (got.size() > 2 * value.size())
        std::abort();
    if (value.find("=?") == std::string::npos) {
        if (value.size() >= 2 && value[value.size() - 2] == '\r')
            value.resize(value.size() - 2);
        const std::size_t first = value.find_first_not_of(" \t\n\v\f\r");
        if (first != std::string::npos)
            value.erase(0, first);
        if (got != value)
            std::abort();
    }
    for (bool bLittle : {false, true}) {
        const std::string words = DecodeHeaderWords(text, bLittle);
        if (words.size() > 8 * text.size())
            std::abort();
        if (text.find("=?") == std::string::npos && words != text)
            std::abort();
    }
    return 0;
}
