/*
 * decode_header.cpp - libFuzzer target for DecodeHeaderData.
 *
 * The input, cut at its first NUL byte, is decoded as a header value. The
 * result must be a terminated text no longer than twice the value; a value
 * without "=?" must come back as it stands less its leading white space and
 * a final CR and character.
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
    return 0;
}
