// Element-wise float arithmetic on two vectors: difference, product,
// multiply-accumulate, product in place, and the element-wise minimum and
// maximum merged into the second vector.
//
// Every build computes each element with the same single IEEE operation, so
// the builds agree bit for bit for vectors that are identical or disjoint
// (multiply-accumulate also for overlapping ones). Pointers are checked first
// (-8), then the length (-6); nothing is written on an error and no warning
// exists.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"

// dst[i] = b[i] - a[i]: the second operand minus the first.
DspStatus VecSubF32(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecSubF32L0(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecSubF32L1(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecSubF32L2L3(const float* a, const float* b, float* dst, int32_t len);
void VecSubF32L1Kernel(const float* a, const float* b, float* dst, int32_t len);
void VecSubF32L2L3Kernel(const float* a, const float* b, float* dst, int32_t len);

// dst[i] = a[i] * b[i].
DspStatus VecMulF32(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecMulF32L0(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecMulF32L1(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecMulF32L2L3(const float* a, const float* b, float* dst, int32_t len);
void VecMulF32L1Kernel(const float* a, const float* b, float* dst, int32_t len);
void VecMulF32L2L3Kernel(const float* a, const float* b, float* dst, int32_t len);

// srcDst[i] = a[i] * b[i] + srcDst[i], two roundings (no fused multiply-add).
// Overlapping vectors are processed front to back, each element reading what
// its predecessors stored.
DspStatus VecMulAddF32(const float* a, const float* b, float* srcDst, int32_t len);
DspStatus VecMulAddF32L0(const float* a, const float* b, float* srcDst, int32_t len);

// srcDst[i] = src[i] * srcDst[i].
DspStatus VecMulF32InPlace(const float* src, float* srcDst, int32_t len);
DspStatus VecMulF32InPlaceL0(const float* src, float* srcDst, int32_t len);
DspStatus VecMulF32InPlaceL1(const float* src, float* srcDst, int32_t len);
DspStatus VecMulF32InPlaceL2L3(const float* src, float* srcDst, int32_t len);
void VecMulF32InPlaceL1Kernel(const float* src, float* srcDst, int32_t len);
void VecMulF32InPlaceL2L3Kernel(const float* src, float* srcDst, int32_t len);

// srcDst[i] takes src[i] only when src[i] is strictly smaller (larger): a NaN
// on either side, or equal values (+0.0 against -0.0 too), keep srcDst[i].
DspStatus VecElementMinF32InPlace(const float* src, float* srcDst, int32_t len);
DspStatus VecElementMinF32InPlaceL0(const float* src, float* srcDst, int32_t len);
DspStatus VecElementMinF32InPlaceL1(const float* src, float* srcDst, int32_t len);
DspStatus VecElementMinF32InPlaceL2(const float* src, float* srcDst, int32_t len);
DspStatus VecElementMinF32InPlaceL3(const float* src, float* srcDst, int32_t len);
void VecElementMinF32InPlaceKernel(const float* src, float* srcDst, int32_t len);
DspStatus VecElementMaxF32InPlace(const float* src, float* srcDst, int32_t len);
DspStatus VecElementMaxF32InPlaceL0(const float* src, float* srcDst, int32_t len);
DspStatus VecElementMaxF32InPlaceL1(const float* src, float* srcDst, int32_t len);
DspStatus VecElementMaxF32InPlaceL2(const float* src, float* srcDst, int32_t len);
DspStatus VecElementMaxF32InPlaceL3(const float* src, float* srcDst, int32_t len);
void VecElementMaxF32InPlaceKernel(const float* src, float* srcDst, int32_t len);
