// Conversion kernels of processor levels 1-3 that no primitive calls:
// integer widening, half precision, scaled 64-to-32-bit integers, scaled
// float-to-integer conversions (truncating or nearest-even, and half away
// from zero), double precision and packed 24-bit samples.
//
// Kernels check nothing and return nothing: pointers valid for len elements,
// ranges not overlapping, any alignment of either pointer. The three level
// builds of a kernel give the same results.
#pragma once

#include <cstdint>

// Integer-to-float widening, no scaling: every value is exact in its
// destination type. Levels 2 and 3 widen S8 with byte shuffles; all levels
// give the same results. len >= 1 (a destination off its 16-byte boundary
// converts one element before the count is looked at).
void ConvS8ToF32L1Kernel(const int8_t* src, float* dst, int32_t len);
void ConvS8ToF32L2Kernel(const int8_t* src, float* dst, int32_t len);
void ConvS8ToF32L3Kernel(const int8_t* src, float* dst, int32_t len);
void ConvU8ToF32L1Kernel(const uint8_t* src, float* dst, int32_t len);
void ConvU8ToF32L2Kernel(const uint8_t* src, float* dst, int32_t len);
void ConvU8ToF32L3Kernel(const uint8_t* src, float* dst, int32_t len);
void ConvS16ToF32L1Kernel(const int16_t* src, float* dst, int32_t len);
void ConvS16ToF32L2Kernel(const int16_t* src, float* dst, int32_t len);
void ConvS16ToF32L3Kernel(const int16_t* src, float* dst, int32_t len);
void ConvU16ToF32L1Kernel(const uint16_t* src, float* dst, int32_t len);
void ConvU16ToF32L2Kernel(const uint16_t* src, float* dst, int32_t len);
void ConvU16ToF32L3Kernel(const uint16_t* src, float* dst, int32_t len);
void ConvS32ToF64L1Kernel(const int32_t* src, double* dst, int32_t len);
void ConvS32ToF64L2Kernel(const int32_t* src, double* dst, int32_t len);
void ConvS32ToF64L3Kernel(const int32_t* src, double* dst, int32_t len);

// Half precision (F16: IEEE 754 binary16 as uint16_t bit patterns).
// roundFlag 0 truncates toward zero, any other value rounds to nearest with
// ties to even; the kernels never touch MXCSR, and the nearest-mode integer
// conversion and the subnormal cases follow the caller's settings (round to
// nearest, no flush-to-zero, no denormals-are-zero for exact results).
//   F16 -> S16: value x 2^-scaleExp, rounded and saturated; NaN gives 0. Exact
//     for scaleExp >= -13.
//   S16 -> F16: the nearest half (roundFlag) or the one of largest magnitude
//     not above |i|.
//   F16 -> F32: exact (signed zeros, subnormals, infinities, quiet NaNs).
//   F32 -> F16: nearest even (magnitudes from 65520 and infinities to
//     infinity, NaN to 0x7FFF with its sign) or truncated (from 65536 to
//     infinity, NaN keeps its top fraction bits, quieted).
void ConvF16ToS16ScaledL1KernelZeroOrEven(const uint16_t* src, int16_t* dst, int32_t len, int32_t roundFlag,
                                          int32_t scaleExp);
void ConvF16ToS16ScaledL2KernelZeroOrEven(const uint16_t* src, int16_t* dst, int32_t len, int32_t roundFlag,
                                          int32_t scaleExp);
void ConvF16ToS16ScaledL3KernelZeroOrEven(const uint16_t* src, int16_t* dst, int32_t len, int32_t roundFlag,
                                          int32_t scaleExp);
void ConvS16ToF16L1KernelZeroOrEven(const int16_t* src, uint16_t* dst, int32_t len, int32_t roundFlag);
void ConvS16ToF16L2KernelZeroOrEven(const int16_t* src, uint16_t* dst, int32_t len, int32_t roundFlag);
void ConvS16ToF16L3KernelZeroOrEven(const int16_t* src, uint16_t* dst, int32_t len, int32_t roundFlag);
void ConvF16ToF32L1Kernel(const uint16_t* src, float* dst, int32_t len);
void ConvF16ToF32L2Kernel(const uint16_t* src, float* dst, int32_t len);
void ConvF16ToF32L3Kernel(const uint16_t* src, float* dst, int32_t len);
void ConvF32ToF16L1KernelZeroOrEven(const float* src, uint16_t* dst, int32_t len, int32_t roundFlag);
void ConvF32ToF16L2KernelZeroOrEven(const float* src, uint16_t* dst, int32_t len, int32_t roundFlag);
void ConvF32ToF16L3KernelZeroOrEven(const float* src, uint16_t* dst, int32_t len, int32_t roundFlag);

// 64-bit to 32-bit integers divided by 2^shift (shift 1..32), rounded half
// away from zero and saturated by the sign of the source. len >= 0.
void ConvS64ToS32ScaledL1KernelAway(const int64_t* src, int32_t* dst, int32_t len, int32_t shift);
void ConvS64ToS32ScaledL2KernelAway(const int64_t* src, int32_t* dst, int32_t len, int32_t shift);
void ConvS64ToS32ScaledL3KernelAway(const int64_t* src, int32_t* dst, int32_t len, int32_t shift);

// Float to integers scaled by 2^-scaleExp (scaleExp 0: no multiplication;
// the factor is formed by repeated halving or doubling in the caller's
// rounding, exact for -127..126), truncated (roundFlag 0) or rounded to
// nearest even (otherwise; the kernel selects that rounding for the call),
// saturated to the destination; NaN gives 0. The caller's rounding field, its
// invalid-operation flag and its control bits come back as they were.
// len >= 1.
void ConvF32ToS8ScaledL1KernelZeroOrEven(const float* src, int8_t* dst, int32_t len, int32_t roundFlag,
                                         int32_t scaleExp);
void ConvF32ToS8ScaledL2KernelZeroOrEven(const float* src, int8_t* dst, int32_t len, int32_t roundFlag,
                                         int32_t scaleExp);
void ConvF32ToS8ScaledL3KernelZeroOrEven(const float* src, int8_t* dst, int32_t len, int32_t roundFlag,
                                         int32_t scaleExp);
void ConvF32ToU8ScaledL1KernelZeroOrEven(const float* src, uint8_t* dst, int32_t len, int32_t roundFlag,
                                         int32_t scaleExp);
void ConvF32ToU8ScaledL2KernelZeroOrEven(const float* src, uint8_t* dst, int32_t len, int32_t roundFlag,
                                         int32_t scaleExp);
void ConvF32ToU8ScaledL3KernelZeroOrEven(const float* src, uint8_t* dst, int32_t len, int32_t roundFlag,
                                         int32_t scaleExp);
void ConvF32ToU16ScaledL1KernelZeroOrEven(const float* src, uint16_t* dst, int32_t len, int32_t roundFlag,
                                          int32_t scaleExp);
void ConvF32ToU16ScaledL2KernelZeroOrEven(const float* src, uint16_t* dst, int32_t len, int32_t roundFlag,
                                          int32_t scaleExp);
void ConvF32ToU16ScaledL3KernelZeroOrEven(const float* src, uint16_t* dst, int32_t len, int32_t roundFlag,
                                          int32_t scaleExp);
void ConvF64ToS32ScaledL1KernelZeroOrEven(const double* src, int32_t* dst, int32_t len, int32_t roundFlag,
                                          int32_t scaleExp);
void ConvF64ToS32ScaledL2KernelZeroOrEven(const double* src, int32_t* dst, int32_t len, int32_t roundFlag,
                                          int32_t scaleExp);
void ConvF64ToS32ScaledL3KernelZeroOrEven(const double* src, int32_t* dst, int32_t len, int32_t roundFlag,
                                          int32_t scaleExp);

// The same conversions rounded half away from zero: one half added to the
// magnitude in the element's precision under the caller's rounding, then
// truncation. NaN takes the clamp of its pair (S8 127, U8 255, U16 0, S32
// 2147483647). Same MXCSR guarantee. len >= 1.
void ConvF32ToS8ScaledL1KernelAway(const float* src, int8_t* dst, int32_t len, int32_t scaleExp);
void ConvF32ToS8ScaledL2KernelAway(const float* src, int8_t* dst, int32_t len, int32_t scaleExp);
void ConvF32ToS8ScaledL3KernelAway(const float* src, int8_t* dst, int32_t len, int32_t scaleExp);
void ConvF32ToU8ScaledL1KernelAway(const float* src, uint8_t* dst, int32_t len, int32_t scaleExp);
void ConvF32ToU8ScaledL2KernelAway(const float* src, uint8_t* dst, int32_t len, int32_t scaleExp);
void ConvF32ToU8ScaledL3KernelAway(const float* src, uint8_t* dst, int32_t len, int32_t scaleExp);
void ConvF32ToU16ScaledL1KernelAway(const float* src, uint16_t* dst, int32_t len, int32_t scaleExp);
void ConvF32ToU16ScaledL2KernelAway(const float* src, uint16_t* dst, int32_t len, int32_t scaleExp);
void ConvF32ToU16ScaledL3KernelAway(const float* src, uint16_t* dst, int32_t len, int32_t scaleExp);
void ConvF64ToS32ScaledL1KernelAway(const double* src, int32_t* dst, int32_t len, int32_t scaleExp);
void ConvF64ToS32ScaledL2KernelAway(const double* src, int32_t* dst, int32_t len, int32_t scaleExp);
void ConvF64ToS32ScaledL3KernelAway(const double* src, int32_t* dst, int32_t len, int32_t scaleExp);

// Double precision. F32 -> F64 and S16 -> F64 are exact (the scaled form
// then multiplies by *factor); large arrays are written with streaming
// stores. F64 -> F32 clamps to +-3.402823466e+38 first, so no result is
// infinite under round to nearest and NaN gives FLT_MAX. len >= 1.
void ConvF32ToF64L1Kernel(const float* src, double* dst, int32_t len);
void ConvF32ToF64L2Kernel(const float* src, double* dst, int32_t len);
void ConvF32ToF64L3Kernel(const float* src, double* dst, int32_t len);
void ConvF64ToF32L1Kernel(const double* src, float* dst, int32_t len);
void ConvF64ToF32L2Kernel(const double* src, float* dst, int32_t len);
void ConvF64ToF32L3Kernel(const double* src, float* dst, int32_t len);
void ConvS16ToF64ScaledL1KernelScaled(const int16_t* src, double* dst, int32_t len, const double* factor);
void ConvS16ToF64ScaledL2KernelScaled(const int16_t* src, double* dst, int32_t len, const double* factor);
void ConvS16ToF64ScaledL3KernelScaled(const int16_t* src, double* dst, int32_t len, const double* factor);
void ConvS16ToF64ScaledL1KernelUnscaled(const int16_t* src, double* dst, int32_t len);
void ConvS16ToF64ScaledL2KernelUnscaled(const int16_t* src, double* dst, int32_t len);
void ConvS16ToF64ScaledL3KernelUnscaled(const int16_t* src, double* dst, int32_t len);

// Packed 24-bit samples (3 bytes, little-endian, two's complement, back to
// back) and 32-bit integers: sign extension; saturation only; division by
// 2^shift (1..32) rounded half to even, then saturation; multiplication by
// 2^shift (0..31) with saturation. Nothing outside the len samples of either
// buffer is read or written. len >= 1.
void ConvS24ToS32L1Kernel(const uint8_t* src, int32_t* dst, int32_t len);
void ConvS24ToS32L2Kernel(const uint8_t* src, int32_t* dst, int32_t len);
void ConvS24ToS32L3Kernel(const uint8_t* src, int32_t* dst, int32_t len);
void ConvS32ToS24ScaledL1KernelUnscaled(const int32_t* src, uint8_t* dst, int32_t len);
void ConvS32ToS24ScaledL2KernelUnscaled(const int32_t* src, uint8_t* dst, int32_t len);
void ConvS32ToS24ScaledL3KernelUnscaled(const int32_t* src, uint8_t* dst, int32_t len);
void ConvS32ToS24ScaledL1KernelRightShift(const int32_t* src, uint8_t* dst, int32_t len, int32_t shift);
void ConvS32ToS24ScaledL2KernelRightShift(const int32_t* src, uint8_t* dst, int32_t len, int32_t shift);
void ConvS32ToS24ScaledL3KernelRightShift(const int32_t* src, uint8_t* dst, int32_t len, int32_t shift);
void ConvS32ToS24ScaledL1KernelLeftShift(const int32_t* src, uint8_t* dst, int32_t len, int32_t shift);
void ConvS32ToS24ScaledL2KernelLeftShift(const int32_t* src, uint8_t* dst, int32_t len, int32_t shift);
void ConvS32ToS24ScaledL3KernelLeftShift(const int32_t* src, uint8_t* dst, int32_t len, int32_t shift);
