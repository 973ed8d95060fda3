/*
 * simd.h - run-time choice of vector kernels for the codecs (internal).
 *
 * Each function returns the kernel that suits the running processor, or null
 * when there is none and the caller keeps to its portable code. A kernel
 * follows the exact rules of its portable counterpart; it only takes the
 * stretches of input that need no decision.
 *
 * B64DecodeClean(): kernel(text, i, len, &out) decodes blocks of 32 alphabet
 *   characters from text[i], with no group open, while a whole block is left
 *   and clean; returns the position of the first character it did not take
 *   (i when it took none) and moves out 24 bytes past each block. It stores 8
 *   bytes beyond the decoded ones, which stay inside a block of len + 1 bytes
 *   as long as out was at most 3i/4 bytes into it.
 */
#ifndef MAILWARD_CODEC_SIMD_H
#define MAILWARD_CODEC_SIMD_H

#include <cstddef>

namespace codec_simd {

using B64DecodeCleanFn = std::size_t (*)(const unsigned char* text, std::size_t i, std::size_t len,
                                         unsigned char** out);

B64DecodeCleanFn B64DecodeClean();

}  // namespace codec_simd

#endif
