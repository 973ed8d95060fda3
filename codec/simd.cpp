/*
 * simd.cpp - choice of the vector codec kernels (see simd.h). This build has
 * none yet: every codec runs its portable table-driven code.
 */
#include "codec/simd.h"

namespace codec_simd {

B64EncodeLineFn B64EncodeLine() {
    return nullptr;
}
B64DecodeCleanFn B64DecodeClean() {
    return nullptr;
}

}  // namespace codec_simd
