// Square roots: the in-place float primitive and the square-root kernel unit
// its processor-level builds draw on.
//
// The public primitive writes every element even when some are negative:
// those become the default NaN 0xFFC00000 and the call reports
// DSP_WARN_SQRT_NEGATIVE. -0.0 and NaN are not negative.
//
// The float and double kernels return non-zero when an element compared below
// zero. They run with denormals-are-zero off and put the caller's MXCSR back
// except for the precision flag; they expect all exceptions masked. The
// complex kernels leave MXCSR alone. Kernels check nothing: len >= 1, src and
// dst identical or disjoint.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/unreached/Complex.h"

DspStatus VecSqrtF32InPlace(float* srcDst, int32_t len);
DspStatus VecSqrtF32InPlaceL0(float* srcDst, int32_t len);
DspStatus VecSqrtF32InPlaceL1(float* srcDst, int32_t len);
DspStatus VecSqrtF32InPlaceL2(float* srcDst, int32_t len);
DspStatus VecSqrtF32InPlaceL3(float* srcDst, int32_t len);

// Blocks of 16 positive normal floats take one Newton step from the
// reciprocal-square-root estimate (a few units in the last place); any block
// holding another kind of value, and the head and tail, get correctly rounded
// roots.
int32_t VecSqrtF32L1L2Kernel(const float* src, float* dst, int32_t len);
int32_t VecSqrtF32L3Kernel(const float* src, float* dst, int32_t len);
// Blocks of four positive normal doubles take a fourth-order refinement of
// the float estimate; everything else is correctly rounded.
int32_t VecSqrtF64Kernel(const double* src, double* dst, int32_t len);
// Principal roots, single precision from estimates (valid for 2^-62 <= |z| <
// 2^65), double precision correctly rounded parts (|z| < 2^513).
void VecSqrtC32Kernel(const ComplexF32* src, ComplexF32* dst, int32_t len);
void VecSqrtC64Kernel(const ComplexF64* src, ComplexF64* dst, int32_t len);

// Integer roots: result = sat(rne(sqrt(x) * 2^-s)), negative elements give 0
// and set the returned flag where the kind has one. Complex kinds give the
// principal root, each part rounded to nearest even and saturated.
int32_t VecSqrtS16ScaledKernel(const int16_t* src, int16_t* dst, int32_t len, int32_t scaleFactor);
void VecSqrtU16ScaledKernel(const uint16_t* src, uint16_t* dst, int32_t len, int32_t scaleFactor);
int32_t VecSqrtS32S16ScaledKernel(const int32_t* src, int16_t* dst, int32_t len, int32_t scaleFactor);
int32_t VecSqrtS64S16ScaledKernel(const int64_t* src, int16_t* dst, int32_t len, int32_t scaleFactor);
// Returns 1 when an element was negative, else 0.
int32_t VecSqrtS64ScaledKernel(const int64_t* src, int64_t* dst, int32_t len, int32_t scaleFactor);
void VecSqrtSC16Kernel(const ComplexS16* src, ComplexS16* dst, int32_t len);
void VecSqrtSC16ScaledKernel(const ComplexS16* src, ComplexS16* dst, int32_t len, int32_t scaleFactor);
void VecSqrtSC16ScaledStableKernel(const ComplexS16* src, ComplexS16* dst, int32_t len, int32_t scaleFactor);
// dst[i] = table[src[i]] for a caller-built 256-entry table.
void VecLookupU8Kernel(const uint8_t* src, uint8_t* dst, int32_t len, const uint8_t* table);
