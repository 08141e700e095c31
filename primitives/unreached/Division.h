// Element-wise division: the float primitive dst[i] = b[i] / a[i] (divisor
// first) and the division kernel set its processor-level builds draw on.
//
// A zero divisor (either sign) is no error: the element gets a special value
// and the primitive reports DSP_WARN_DIVIDE_BY_ZERO with every element
// written. The baseline divides exactly; the level builds multiply by a
// refined reciprocal estimate (within two units in the last place) except in
// groups that hold a zero divisor, which are divided exactly.
//
// Kernels check nothing (len >= 1, valid pointers). The flag they return is
// 1 when some divisor was zero, else 0.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/unreached/Complex.h"

DspStatus VecDivF32(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecDivF32L0(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecDivF32L1(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecDivF32L2(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecDivF32L3(const float* a, const float* b, float* dst, int32_t len);

// Floating-point kernels: dst[i] = b[i] / a[i].
int32_t VecDivF32Kernel(const float* a, const float* b, float* dst, int32_t len);
// dst[i] = *c / a[i].
int32_t VecConstOverF32Kernel(const float* a, const float* c, float* dst, int32_t len);
int32_t VecDivC32Kernel(const ComplexF32* a, const ComplexF32* b, ComplexF32* dst, int32_t len);
// Quotients of blocks of eight normal divisors are rounded to a multiple of
// four units in the last place; head and tail are correctly rounded.
int32_t VecDivF64Kernel(const double* a, const double* b, double* dst, int32_t len);
int32_t VecDivC64Kernel(const ComplexF64* a, const ComplexF64* b, ComplexF64* dst, int32_t len);

// Scaled-integer kernels: b * 2^-s / a rounded to nearest even and saturated
// to the destination; a zero divisor gives the saturated value by the sign of
// the dividend (0 for a zero dividend) and sets the flag.
int32_t VecDivS32ScaledKernel(const int32_t* a, const int32_t* b, int32_t* dst, int32_t len, int32_t scaleFactor);
int32_t VecDivS16ScaledKernel(const int16_t* a, const int16_t* b, int16_t* dst, int32_t len, int32_t scaleFactor);
// A zero divisor gives 0 + 0i.
int32_t VecDivSC16ScaledKernel(const ComplexS16* a, const ComplexS16* b, ComplexS16* dst, int32_t len,
                               int32_t scaleFactor);
// A zero divisor gives 0 for a zero dividend, else 255.
int32_t VecDivU8ScaledKernel(const uint8_t* a, const uint8_t* b, uint8_t* dst, int32_t len, int32_t scaleFactor);
// Division by one non-zero constant through one precomputed factor.
void VecDivConstS16ScaledKernel(const int16_t* b, int16_t c, int16_t* dst, int32_t len, int32_t scaleFactor);
void VecDivConstSC16ScaledKernel(const ComplexS16* b, ComplexS16 c, ComplexS16* dst, int32_t len, int32_t scaleFactor);
void VecDivConstU8ScaledKernel(const uint8_t* b, uint8_t c, uint8_t* dst, int32_t len, int32_t scaleFactor);
// dst[i] = c / a[i], unscaled; a zero divisor gives 65535.
int32_t VecConstOverU16Kernel(const uint16_t* a, uint16_t c, uint16_t* dst, int32_t len);
// int32 dividends over int16 divisors, int16 results.
int32_t VecDivS32S16ScaledKernel(const int16_t* a, const int32_t* b, int16_t* dst, int32_t len, int32_t scaleFactor);
