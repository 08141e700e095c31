// Dot products: the float primitive, accumulated in single precision in an
// order that differs by build, and the dot-product kernel object beside its
// kernels for other element kinds. Complex products are plain (no
// conjugation); mixed kinds take the real vector first.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/unreached/Complex.h"

// a, b or result null -8; len <= 0 -6 with result untouched.
DspStatus VecDotProductF32(const float* a, const float* b, int32_t len, float* result);
DspStatus VecDotProductF32L0(const float* a, const float* b, int32_t len, float* result);
DspStatus VecDotProductF32L1(const float* a, const float* b, int32_t len, float* result);
DspStatus VecDotProductF32L2(const float* a, const float* b, int32_t len, float* result);
DspStatus VecDotProductF32L3(const float* a, const float* b, int32_t len, float* result);

// Kernels: n >= 1, no checks.
void VecDotProductF32L0Kernel(const float* a, const float* b, int64_t n, float* result);
void VecDotProductF32L1Kernel(const float* a, const float* b, int64_t n, float* result);
void VecDotProductF32L2L3Kernel(const float* a, const float* b, int64_t n, float* result);
void VecDotProductF32ToF64Kernel(const float* a, const float* b, int64_t n, double* result);
void VecDotProductF32C32ToC64Kernel(const float* a, const ComplexF32* b, int64_t n, ComplexF64* result);
void VecDotProductC32ToC64Kernel(const ComplexF32* a, const ComplexF32* b, int64_t n, ComplexF64* result);
void VecDotProductF32C32Kernel(const float* a, const ComplexF32* b, int64_t n, ComplexF32* result);
void VecDotProductC32Kernel(const ComplexF32* a, const ComplexF32* b, int64_t n, ComplexF32* result);
void VecDotProductF64Kernel(const double* a, const double* b, int64_t n, double* result);
void VecDotProductF64C64Kernel(const double* a, const ComplexF64* b, int64_t n, ComplexF64* result);
void VecDotProductC64Kernel(const ComplexF64* a, const ComplexF64* b, int64_t n, ComplexF64* result);
// Double products and sums, times *factor, then rounded to nearest even (the
// call runs under round-to-nearest whatever the caller's mode) and saturated
// to int32; a NaN gives INT32_MIN.
void VecDotProductS32ScaledKernel(const int32_t* a, const int32_t* b, int64_t n, int32_t* result, const double* factor);
void VecDotProductS32SC32ScaledKernel(const int32_t* a, const ComplexS32* b, int64_t n, ComplexS32* result,
                                      const double* factor);
void VecDotProductSC32ScaledKernel(const ComplexS32* a, const ComplexS32* b, int64_t n, ComplexS32* result,
                                   const double* factor);
void VecDotProductS16S32ScaledKernel(const int16_t* a, const int32_t* b, int64_t n, int32_t* result,
                                     const double* factor);
// Exact in 64 bits.
void VecDotProductS16ToS64Kernel(const int16_t* a, const int16_t* b, int64_t n, int64_t* result);
void VecDotProductS16ToS64PlainKernel(const int16_t* a, const int16_t* b, int64_t n, int64_t* result);
void VecDotProductS16SC16ToSC64Kernel(const int16_t* a, const ComplexS16* b, int64_t n, ComplexS64* result);
void VecDotProductSC16ToSC64Kernel(const ComplexS16* a, const ComplexS16* b, int64_t n, ComplexS64* result);
