// Sample-format conversion between float and 16-, 24- and 32-bit PCM, and
// interleaving between one buffer and per-channel buffers.
//
// scaleExp is a power-of-two exponent: both directions multiply by
// 2^-scaleExp (float to int passes a negative exponent to grow full scale 1.0
// into the integer range, int to float a positive one). Out-of-range samples
// saturate; NaN maps as documented per routine; no status reports either.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/RoundMode.h"

// Public primitives (dispatched).
DspStatus ConvF32ToS16Scaled(const float* src, int16_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp);
DspStatus ConvF32ToS32Scaled(const float* src, int32_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp);
// Packed little-endian 3-byte samples, round to nearest even.
DspStatus ConvF32ToS24Scaled(const float* src, uint8_t* dstBytes, int32_t len, int32_t scaleExp);
DspStatus ConvS16ToF32Scaled(const int16_t* src, float* dst, int32_t len, int32_t scaleExp);
DspStatus ConvS32ToF32Scaled(const int32_t* src, float* dst, int32_t len, int32_t scaleExp);
DspStatus ConvS24ToF32(const uint8_t* srcBytes, float* dst, int32_t len);
DspStatus ConvS32ToF32(const int32_t* src, float* dst, int32_t len);
// Warning DSP_WARN_UNALIGNED when any buffer is off a 16-byte boundary; the
// work is done all the same.
DspStatus VecInterleaveF32(const float* const* channelPtrs, int32_t channels, int32_t len, float* dst);
DspStatus VecDeinterleaveF32(const float* src, int32_t channels, int32_t len, float* const* channelPtrs);

// Baseline builds.
DspStatus ConvF32ToS16ScaledL0(const float* src, int16_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp);
DspStatus ConvF32ToS32ScaledL0(const float* src, int32_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp);
DspStatus ConvF32ToS24ScaledL0(const float* src, uint8_t* dstBytes, int32_t len, int32_t scaleExp);
DspStatus ConvS16ToF32ScaledL0(const int16_t* src, float* dst, int32_t len, int32_t scaleExp);
// Serves levels 0 and 1.
DspStatus ConvS32ToF32ScaledL0L1(const int32_t* src, float* dst, int32_t len, int32_t scaleExp);
DspStatus ConvS24ToF32L0(const uint8_t* srcBytes, float* dst, int32_t len);
DspStatus ConvS32ToF32L0(const int32_t* src, float* dst, int32_t len);
DspStatus VecInterleaveF32L0(const float* const* channelPtrs, int32_t channels, int32_t len, float* dst);
DspStatus VecDeinterleaveF32L0(const float* src, int32_t channels, int32_t len, float* const* channelPtrs);
