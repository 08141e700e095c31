// Element-wise vector primitives on 32-bit floats, and the byte kernels
// beneath them.
//
// Each public primitive checks its pointers (-8) and then its length (-6)
// before touching memory. All arithmetic is single precision with one
// rounding per element; NaN, infinities and denormals are no error.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"

// Public primitives (dispatched).
DspStatus VecZeroF32(float* dst, int32_t len);
DspStatus VecSetF32(float val, float* dst, int32_t len);
// Front to back: a destination below an overlapping source is fine, one
// above it is not supported (use VecMoveF32).
DspStatus VecCopyF32(const float* src, float* dst, int32_t len);
// Correct for every overlap.
DspStatus VecMoveF32(const float* src, float* dst, int32_t len);
DspStatus VecAddF32(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecAddF32InPlace(const float* src, float* srcDst, int32_t len);
DspStatus VecAddConstF32InPlace(float val, float* srcDst, int32_t len);
DspStatus VecMulConstF32(const float* src, float val, float* dst, int32_t len);
DspStatus VecMulConstF32InPlace(float val, float* srcDst, int32_t len);
// Multiplies by the single-precision reciprocal of val; val == +-0 is -10.
DspStatus VecDivConstF32InPlace(float val, float* srcDst, int32_t len);
DspStatus VecAbsF32InPlace(float* srcDst, int32_t len);
DspStatus VecMaxF32(const float* src, int32_t len, float* max);
DspStatus VecMinF32(const float* src, int32_t len, float* min);

// Baseline builds, called directly by other level-0 builds.
DspStatus VecZeroF32L0(float* dst, int32_t len);
DspStatus VecSetF32L0(float val, float* dst, int32_t len);
DspStatus VecCopyF32L0(const float* src, float* dst, int32_t len);
DspStatus VecMoveF32L0(const float* src, float* dst, int32_t len);
DspStatus VecAddF32L0(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecAddF32InPlaceL0(const float* src, float* srcDst, int32_t len);
DspStatus VecAddConstF32InPlaceL0(float val, float* srcDst, int32_t len);
DspStatus VecMulConstF32L0(const float* src, float val, float* dst, int32_t len);
DspStatus VecMulConstF32InPlaceL0(float val, float* srcDst, int32_t len);
DspStatus VecDivConstF32InPlaceL0(float val, float* srcDst, int32_t len);
DspStatus VecAbsF32InPlaceL0(float* srcDst, int32_t len);
DspStatus VecMaxF32L0(const float* src, int32_t len, float* max);
DspStatus VecMinF32L0(const float* src, int32_t len, float* min);

// Internal routines (no dispatch table; they run at the caller's level).
DspStatus VecDivConstF32(const float* src, float val, float* dst, int32_t len);
// dst null -8, bytes <= 0 -6, else bytes zero bytes.
DspStatus ZeroBytesChecked(void* dst, int32_t bytes);
// The checks of VecSetF32 on a 32-bit integer vector.
DspStatus VecSetS32(int32_t val, int32_t* dst, int32_t len);

// Byte kernels: no checks. CopyBytes copies strictly from the first byte to
// the last (so a destination below an overlapping source gets the moved data)
// and returns dst.
// Byte counts are 64-bit so that 4 x len of any int32 length fits.
void ZeroBytes(void* dst, int64_t bytes);
void* CopyBytes(const void* src, void* dst, int64_t bytes);
void FillU32(uint32_t pattern, void* dst, int64_t count);
