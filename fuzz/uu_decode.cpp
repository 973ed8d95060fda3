/*
 * uu_decode.cpp - libFuzzer target for UUDecode and UUDecodeGroup, and the
 * decoders of the other blocks in text, YEncDecode and BinHexDecode.
 *
 * The input, cut at its first NUL byte, is decoded; the count must stay
 * within the block (as long as the text, at least one byte). The first four
 * bytes, when there are four, also go through UUDecodeGroup with every
 * wanted count. The whole input (zero bytes included) also goes through
 * YEncDecode, whose output is never longer than its input, and
 * BinHexDecode, whose name is the one BinHexName gives and whose output
 * stays within BINHEX_MAX_DATA and is zero-terminated.
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

    std::size_t n2 = 0;
    out = YEncDecode(text.data(), text.size(), &n2);
    if (out == nullptr || n2 > text.size())
        std::abort();
    std::free(out);
    std::string name;
    out = BinHexDecode(text.data(), text.size(), &n2, &name);
    if (out == nullptr || n2 > BINHEX_MAX_DATA || out[n2] != 0 ||
        name != BinHexName(text.data(), text.size()))
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
