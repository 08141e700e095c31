// Processor-level builds (levels 1, 2, 3) of the sample-format conversions
// and the interleave pair: the contracts of the baseline builds
// (primitives/Convert.h), on 16-byte vectors after a scalar prologue that
// aligns the destination.
//
// Where the levels part from the baseline by design:
// - ConvF32ToS24Scaled writes -8388608 for a NaN (the baseline writes 0);
// - ConvF32ToS16Scaled and ConvF32ToS32Scaled form 2^-scaleExp in single
//   precision in the caller's rounding mode, so the factor is +infinity for
//   scaleExp <= -128 and 0 from 150 on (the baseline's double factor is
//   neither), and in ROUND_NEAREST_AWAY a NaN gives 32767 (16-bit) or
//   2147483647 / -2147483648 by the NaN's sign (32-bit), and the scaled 16-bit
//   path adds its half in single precision (a scaled 0.49999997 gives 1).
// All other results are the baseline's, bit for bit. The builds that change
// the MXCSR rounding field put the caller's MXCSR back before they return.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/RoundMode.h"

DspStatus ConvS16ToF32ScaledL1(const int16_t* src, float* dst, int32_t len, int32_t scaleExp);
DspStatus ConvS16ToF32ScaledL2(const int16_t* src, float* dst, int32_t len, int32_t scaleExp);
DspStatus ConvS16ToF32ScaledL3(const int16_t* src, float* dst, int32_t len, int32_t scaleExp);
// Level 1 runs the baseline build ConvS32ToF32ScaledL0L1.
DspStatus ConvS32ToF32ScaledL2L3(const int32_t* src, float* dst, int32_t len, int32_t scaleExp);
DspStatus ConvS24ToF32L1(const uint8_t* srcBytes, float* dst, int32_t len);
DspStatus ConvS24ToF32L2(const uint8_t* srcBytes, float* dst, int32_t len);
DspStatus ConvS24ToF32L3(const uint8_t* srcBytes, float* dst, int32_t len);
DspStatus ConvF32ToS24ScaledL1(const float* src, uint8_t* dstBytes, int32_t len, int32_t scaleExp);
DspStatus ConvF32ToS24ScaledL2(const float* src, uint8_t* dstBytes, int32_t len, int32_t scaleExp);
DspStatus ConvF32ToS24ScaledL3(const float* src, uint8_t* dstBytes, int32_t len, int32_t scaleExp);
DspStatus ConvS32ToF32L1(const int32_t* src, float* dst, int32_t len);
DspStatus ConvS32ToF32L2(const int32_t* src, float* dst, int32_t len);
DspStatus ConvS32ToF32L3(const int32_t* src, float* dst, int32_t len);
DspStatus VecInterleaveF32L1(const float* const* channelPtrs, int32_t channels, int32_t len, float* dst);
DspStatus VecInterleaveF32L2(const float* const* channelPtrs, int32_t channels, int32_t len, float* dst);
DspStatus VecInterleaveF32L3(const float* const* channelPtrs, int32_t channels, int32_t len, float* dst);
DspStatus VecDeinterleaveF32L1(const float* src, int32_t channels, int32_t len, float* const* channelPtrs);
DspStatus VecDeinterleaveF32L2(const float* src, int32_t channels, int32_t len, float* const* channelPtrs);
DspStatus VecDeinterleaveF32L3(const float* src, int32_t channels, int32_t len, float* const* channelPtrs);
DspStatus ConvF32ToS16ScaledL1(const float* src, int16_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp);
DspStatus ConvF32ToS16ScaledL2(const float* src, int16_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp);
DspStatus ConvF32ToS16ScaledL3(const float* src, int16_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp);
DspStatus ConvF32ToS32ScaledL1(const float* src, int32_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp);
DspStatus ConvF32ToS32ScaledL2(const float* src, int32_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp);
DspStatus ConvF32ToS32ScaledL3(const float* src, int32_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp);
