// Processor-level builds (levels 1, 2, 3) of the element-wise float
// arithmetic and extremes, and the kernels beneath them that other level
// builds call directly.
//
// Every level gives the bits of the baseline build: each element is the one
// IEEE operation of its primitive, whatever path (scalar head, blocks of
// eight, tail) computes it. The levels differ from the baseline in layout
// only: a scalar head up to a 16-byte boundary of the destination, two
// four-float vectors per pass, streaming stores or prefetch for large
// vectors. The extremes are the exception: their lane reduction keeps the
// later element on ties and NaN, where the baseline keeps the earlier.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"

// Public primitives: the contracts of the baseline builds (primitives/Vector.h).
DspStatus VecAddF32InPlaceL1(const float* src, float* srcDst, int32_t len);
DspStatus VecAddF32InPlaceL2L3(const float* src, float* srcDst, int32_t len);
DspStatus VecAddF32L1(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecAddF32L2L3(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecAddConstF32InPlaceL1(float val, float* srcDst, int32_t len);
DspStatus VecAddConstF32InPlaceL2L3(float val, float* srcDst, int32_t len);
DspStatus VecMulConstF32InPlaceL1(float val, float* srcDst, int32_t len);
DspStatus VecMulConstF32InPlaceL2(float val, float* srcDst, int32_t len);
DspStatus VecMulConstF32InPlaceL3(float val, float* srcDst, int32_t len);
DspStatus VecMulConstF32L1(const float* src, float val, float* dst, int32_t len);
DspStatus VecMulConstF32L2(const float* src, float val, float* dst, int32_t len);
DspStatus VecMulConstF32L3(const float* src, float val, float* dst, int32_t len);
DspStatus VecDivConstF32InPlaceL1(float val, float* srcDst, int32_t len);
DspStatus VecDivConstF32InPlaceL2(float val, float* srcDst, int32_t len);
DspStatus VecDivConstF32InPlaceL3(float val, float* srcDst, int32_t len);
// Internal (no dispatch table), as the baseline's VecDivConstF32.
DspStatus VecDivConstF32L1(const float* src, float val, float* dst, int32_t len);
DspStatus VecDivConstF32L2(const float* src, float val, float* dst, int32_t len);
DspStatus VecDivConstF32L3(const float* src, float val, float* dst, int32_t len);
DspStatus VecAbsF32InPlaceL1(float* srcDst, int32_t len);
DspStatus VecAbsF32InPlaceL2(float* srcDst, int32_t len);
DspStatus VecAbsF32InPlaceL3(float* srcDst, int32_t len);
DspStatus VecMaxF32L1(const float* src, int32_t len, float* max);
DspStatus VecMaxF32L2(const float* src, int32_t len, float* max);
DspStatus VecMaxF32L3(const float* src, int32_t len, float* max);
DspStatus VecMinF32L1(const float* src, int32_t len, float* min);
DspStatus VecMinF32L2(const float* src, int32_t len, float* min);
DspStatus VecMinF32L3(const float* src, int32_t len, float* min);

// Kernels: no checks, counts of at least 1.
void VecAddF32InPlaceL1Kernel(const float* src, float* srcDst, int64_t count);
void VecAddF32InPlaceL2L3Kernel(const float* src, float* srcDst, int64_t count);
void VecAddF32L1Kernel(const float* a, const float* b, float* dst, int64_t count);
void VecAddF32L2L3Kernel(const float* a, const float* b, float* dst, int64_t count);
void VecAddConstF32InPlaceLoop(float val, float* srcDst, int64_t count);
void VecAddConstF32InPlaceLoopL2L3(float val, float* srcDst, int64_t count);
void VecMulConstF32InPlaceL1Kernel(float val, float* srcDst, int64_t count);
void VecMulConstF32InPlaceL2L3Kernel(float val, float* srcDst, int64_t count);
void VecMulConstF32Loop(const float* src, float val, float* dst, int64_t count);
void VecMulConstF32LoopL2L3(const float* src, float val, float* dst, int64_t count);
// dst[i] = src[i] with bit 31 cleared (the builds pass src == dst).
void VecAbsF32InPlaceL1Kernel(const float* src, float* dst, int32_t count);
void VecAbsF32InPlaceL2Kernel(const float* src, float* dst, int32_t count);
void VecAbsF32InPlaceL3Kernel(const float* src, float* dst, int32_t count);
// The lane reduction: step(acc, x) is x unless acc is strictly beyond it, so
// on equal values (+0.0 against -0.0 included) and on NaN the later element
// wins within its lane.
void VecMaxF32L1Kernel(const float* src, int64_t count, float* max);
void VecMaxF32L2Kernel(const float* src, int64_t count, float* max);
void VecMaxF32L3Kernel(const float* src, int64_t count, float* max);
void VecMinF32L1Kernel(const float* src, int64_t count, float* min);
void VecMinF32L2Kernel(const float* src, int64_t count, float* min);
void VecMinF32L3Kernel(const float* src, int64_t count, float* min);

// Large-vector thresholds of the kernels.
inline constexpr int64_t VEC_ADD_STREAM_ABOVE_BLOCKS = 10922;        // blocks of 8 after the head
inline constexpr int64_t VEC_MUL_CONST_STREAM_ABOVE_BLOCKS = 16384;  // aligned source
inline constexpr int64_t VEC_IN_PLACE_PREFETCH_ABOVE = 262144;       // elements in blocks
