// Element-wise squares: the float primitive and the square kernel set its
// processor-level builds draw on. Every build gives src[i] * src[i] with one
// single-precision rounding, so all builds agree bit for bit; squaring in
// place is allowed, other overlaps are not.
//
// Kernels check nothing (len >= 1) and leave MXCSR alone. The scaled-integer
// kinds give the exact square times 2^-s, rounded to nearest even and
// saturated to the element range, for every scale factor.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/unreached/Complex.h"

DspStatus VecSqrF32(const float* src, float* dst, int32_t len);
DspStatus VecSqrF32L0(const float* src, float* dst, int32_t len);
DspStatus VecSqrF32L1(const float* src, float* dst, int32_t len);
DspStatus VecSqrF32L2(const float* src, float* dst, int32_t len);
DspStatus VecSqrF32L3(const float* src, float* dst, int32_t len);

void VecSqrF32Kernel(const float* src, float* dst, int32_t len);
void VecSqrF64Kernel(const double* src, double* dst, int32_t len);
// (re re - im im, re im + re im) in the element's precision.
void VecSqrC32Kernel(const ComplexF32* src, ComplexF32* dst, int32_t len);
void VecSqrC64Kernel(const ComplexF64* src, ComplexF64* dst, int32_t len);
void VecSqrU8ScaledKernel(const uint8_t* src, uint8_t* dst, int32_t len, int32_t scaleFactor);
void VecSqrS16ScaledKernel(const int16_t* src, int16_t* dst, int32_t len, int32_t scaleFactor);
void VecSqrU16ScaledKernel(const uint16_t* src, uint16_t* dst, int32_t len, int32_t scaleFactor);
void VecSqrSC16ScaledKernel(const ComplexS16* src, ComplexS16* dst, int32_t len, int32_t scaleFactor);
