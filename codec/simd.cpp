/*
 * simd.cpp - vector codec kernels and their run-time choice (see simd.h).
 *
 * x86 with GCC or Clang (mingw-w64 included): an AVX2 kernel for clean
 * base64 runs, compiled for AVX2 alone and used only when the processor has
 * it. Elsewhere no kernel is offered and the codecs use their tables.
 *
 * The base64 kernel classifies each character by its two nibbles: one table
 * lookup per nibble gives bit sets whose AND is non-zero exactly for bytes
 * outside the alphabet (so for "=", CR, LF, NUL and every 8-bit byte), and a
 * third lookup by the high nibble gives the offset that turns a character
 * into its 6-bit value ("/" shares its nibble with "+" and is told apart by
 * a compare). The values are then packed four to three bytes with two
 * multiply-adds, a shuffle within each half and a permute across them.
 */
#include "codec/simd.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define MAILWARD_CODEC_AVX2 1
#include <immintrin.h>
#endif

namespace codec_simd {

#if defined(MAILWARD_CODEC_AVX2)
namespace {

__attribute__((target("avx2"))) std::size_t DecodeCleanAvx2(const unsigned char* text,
                                                            std::size_t i, std::size_t len,
                                                            unsigned char** outp) {
    // Bit sets by low and by high nibble; they share a bit only for bytes
    // outside the alphabet.
    const __m256i lutLo =
        _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                         0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                         0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i lutHi =
        _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                         0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                         0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    // Offsets to the 6-bit values: "/" (index 1 after the compare), "+",
    // digits, upper case, lower case.
    const __m256i lutRoll =
        _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                         -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i mask2F = _mm256_set1_epi8(0x2F);
    const __m256i mergePairs = _mm256_set1_epi32(0x01400140);
    const __m256i mergeQuads = _mm256_set1_epi32(0x00011000);
    const __m256i orderBytes =
        _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4,
                         10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i packHalves = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);

    unsigned char* out = *outp;
    while (i + 32 <= len) {
        __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
        const __m256i hiNibbles = _mm256_and_si256(_mm256_srli_epi32(in, 4), mask2F);
        const __m256i loNibbles = _mm256_and_si256(in, mask2F);
        const __m256i lo = _mm256_shuffle_epi8(lutLo, loNibbles);
        const __m256i hi = _mm256_shuffle_epi8(lutHi, hiNibbles);
        if (!_mm256_testz_si256(lo, hi))
            break;
        const __m256i isSlash = _mm256_cmpeq_epi8(in, mask2F);
        const __m256i roll = _mm256_shuffle_epi8(lutRoll, _mm256_add_epi8(isSlash, hiNibbles));
        in = _mm256_add_epi8(in, roll);
        const __m256i pairs = _mm256_maddubs_epi16(in, mergePairs);
        const __m256i quads = _mm256_madd_epi16(pairs, mergeQuads);
        const __m256i bytes =
            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(quads, orderBytes), packHalves);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
        out += 24;
        i += 32;
    }
    *outp = out;
    return i;
}

B64DecodeCleanFn Choose() {
    // The first call may come from a static constructor that runs before the
    // runtime has read the processor's features.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? &DecodeCleanAvx2 : nullptr;
}

}  // namespace

B64DecodeCleanFn B64DecodeClean() {
    static const B64DecodeCleanFn chosen = Choose();
    return chosen;
}
#else
B64DecodeCleanFn B64DecodeClean() {
    return nullptr;
}
#endif

}  // namespace codec_simd
