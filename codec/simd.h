/*
 * simd.h - run-time choice of vector kernels for the codecs (internal).
 *
 * Each function returns the kernel that suits the running processor, or null
 * when there is none and the caller keeps to its portable code. The kernels
 * follow the exact rules of their portable counterparts; they only take the
 * stretches of input that need no decision.
 *
 * B64EncodeLine(): kernel(in, out) encodes one full line, 57 bytes into 76
 *   characters, and returns out + 76. It reads only the 57 bytes.
 * B64DecodeClean(): kernel(text, i, len, &out) decodes runs of clean groups
 *   from text[i] with no group open, while 32 characters are left; returns the
 *   position of the first character it did not take (i when it took none) and
 *   moves out past the bytes it wrote. It may store up to 8 bytes beyond them,
 *   all inside a block of len + 1 bytes.
 */
#ifndef MAILWARD_CODEC_SIMD_H
#define MAILWARD_CODEC_SIMD_H

#include <cstddef>

namespace codec_simd {

using B64EncodeLineFn = char* (*)(const unsigned char* in, char* out);
using B64DecodeCleanFn = std::size_t (*)(const unsigned char* text, std::size_t i, std::size_t len,
                                         unsigned char** out);

B64EncodeLineFn B64EncodeLine();
B64DecodeCleanFn B64DecodeClean();

}  // namespace codec_simd

#endif
