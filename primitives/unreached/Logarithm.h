// Natural logarithms: the in-place float primitive, which reports the first
// zero (DSP_WARN_LOG_ZERO) or negative (DSP_WARN_LOG_NEGATIVE) element it
// meets, and the logarithm kernel object behind its processor-level builds.
//
// Zero gives -Inf, a negative element (-0.0 and NaNs with the sign bit
// included) the default NaN 0xFFC00000; every element is written either way.
// The baseline uses the platform's float logarithm; the levels an odd series
// in s = (m - 1) / (m + 1) four lanes at a time, in chunks of 256 elements.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"

DspStatus VecLnF32InPlace(float* srcDst, int32_t len);
DspStatus VecLnF32InPlaceL0(float* srcDst, int32_t len);
DspStatus VecLnF32InPlaceL1(float* srcDst, int32_t len);
DspStatus VecLnF32InPlaceL2(float* srcDst, int32_t len);
DspStatus VecLnF32InPlaceL3(float* srcDst, int32_t len);

// Kernel event codes: the first special element of a call decides.
inline constexpr int64_t LN_EVENT_NONE = 0;
inline constexpr int64_t LN_EVENT_ZERO = 2;
inline constexpr int64_t LN_EVENT_NEGATIVE = 4;

// The scratch area is 16-byte aligned; the in-place float kernel needs 8
// bytes per element, the out-of-place one 4, the integer kernels 8 bytes.
int64_t VecLnF32Kernel(const float* src, float* dst, int64_t n, void* scratch);
int64_t VecLnF32InPlaceKernel(float* srcDst, int64_t n, void* scratch);
// +Inf gives +Inf; a positive NaN stays a NaN.
int64_t VecLnF64Kernel(const double* src, double* dst, int64_t n);
int64_t VecLnF64ToF32Kernel(const double* src, float* dst, int64_t n);

// The float 2^-scaleFactor as the bit pattern 0x3F800000 - (scaleFactor << 23).
void LnScaleFactorToF32(int32_t scaleFactor, int32_t* out);
// round(ln(x) * multiplier); zero and negative elements give the most
// negative result value.
int64_t VecLnS32ScaledKernel(const int32_t* src, int32_t* dst, int64_t n, const float* multiplier, void* scratch);
int64_t VecLnS32ScaledInPlaceKernel(int32_t* srcDst, int64_t n, const float* multiplier, void* scratch);
// round(ln(x) * 2^-scaleFactor) saturated to int16.
int64_t VecLnS32S16ScaledKernel(const int32_t* src, int16_t* dst, int64_t n, int32_t scaleFactor, void* scratch);
int64_t VecLnS16ScaledKernel(const int16_t* src, int16_t* dst, int64_t n, int32_t scaleFactor, void* scratch);
int64_t VecLnS16ScaledInPlaceKernel(int16_t* srcDst, int64_t n, int32_t scaleFactor, void* scratch);

// Rows j = 0..64: R_j = round(262144 / (64 + j)) / 4096 twice, then -ln(R_j)
// split into a high part (a multiple of 2^-43) and the rest.
struct LnF64TableRow {
  double r;
  double rAgain;
  double tHigh;
  double tLow;
};
extern const LnF64TableRow LnF64Table[65];
