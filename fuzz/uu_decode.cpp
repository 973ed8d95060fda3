/*
 * uu_decode.cpp - libFuzzer target for UUDecode and UUDecodeGroup.
 *
 * The input, cut at its first NUL byte, is decoded; the count must stay
 * within the block (as long as the text, at least one byte). The first four
 * bytes, when there are four, also go through UUDecodeGroup with every
 * wanted count.
 */
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t n = std::strlen(text.c_str());
    std::size_t len = 0;
    unsigned char* out = UUDecode(text.c_str(), &len);
    if (out == nullptr || len > (n == 0 ? 1 : n))
        std::abort();
    std::free(out);

    if (size >= 4) {
        for (int wanted = -1; wanted <= 4; ++wanted) {
            unsigned char group[3];
            const int got = UUDecodeGroup(text.data(), group, wanted);
            if (got != (wanted < 0 ? 0 : wanted > 3 ? 3 : wanted))
                std::abort();
        }
    }
    return 0;
}
