// Sum and mean of a float vector, and the summation kernel object behind
// their processor-level builds.
//
// The baseline accumulates in double precision in a fixed order. At the
// levels the hint chooses: SUM_HINT_FAST keeps single-precision partial sums
// inside blocks of 32768 elements, any other value accumulates in double
// precision. The level mean divides the sum after rounding it to float.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/unreached/Complex.h"

inline constexpr int32_t SUM_HINT_FAST = 1;

DspStatus VecSumF32(const float* src, int32_t len, float* dst, int32_t hint);
DspStatus VecSumF32L0(const float* src, int32_t len, float* dst, int32_t hint);
DspStatus VecSumF32L1(const float* src, int32_t len, float* dst, int32_t hint);
DspStatus VecSumF32L2(const float* src, int32_t len, float* dst, int32_t hint);
DspStatus VecSumF32L3(const float* src, int32_t len, float* dst, int32_t hint);
DspStatus VecMeanF32(const float* src, int32_t len, float* dst, int32_t hint);
DspStatus VecMeanF32L0(const float* src, int32_t len, float* dst, int32_t hint);
DspStatus VecMeanF32L1(const float* src, int32_t len, float* dst, int32_t hint);
DspStatus VecMeanF32L2(const float* src, int32_t len, float* dst, int32_t hint);
DspStatus VecMeanF32L3(const float* src, int32_t len, float* dst, int32_t hint);

// The level selectors: the chosen kernel's sum rounded to float (as a
// double), and that rounded sum divided by n in double precision.
double VecSumF32ByHint(const float* src, int64_t n, int32_t hint);
float VecMeanF32ByHint(const float* src, int64_t n, int32_t hint);

// Members of the summation kernel object: n >= 1 elements (complex elements
// count once), no checks.
void VecSumF32FastKernel(const float* src, int64_t n, double* sum);
void VecSumF32AccurateKernel(const float* src, int64_t n, double* sum);
void VecSumC32FastKernel(const ComplexF32* src, int64_t n, ComplexF64* sum);
void VecSumC32AccurateKernel(const ComplexF32* src, int64_t n, ComplexF64* sum);
void VecSumF64Kernel(const double* src, int64_t n, double* sum);
void VecSumC64Kernel(const ComplexF64* src, int64_t n, ComplexF64* sum);
// Exact while the sum stays below 2^53 in magnitude.
void VecSumS16Kernel(const int16_t* src, int64_t n, double* sum);
void VecSumSC16Kernel(const ComplexS16* src, int64_t n, ComplexF64* sum);
// sum * 2^-scaleFactor clamped to the int32 range and converted under the
// current rounding mode; a NaN gives INT32_MIN.
int32_t SumF64ToS32Scaled(double sum, int32_t scaleFactor);
void SumC64ToSC32Scaled(ComplexF64 sum, int32_t scaleFactor, ComplexS32* out);
// The block routine of the fast kernels (n <= 32768): two single-precision
// partial sums, of the even and of the odd lanes.
void SumBlockF32(const float* src, int64_t n, float* p0, float* p1);
