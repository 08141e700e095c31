// Status codes and basic types shared by every signal-processing primitive.
//
// Every primitive returns a DspStatus: 0 success, negative an error (nothing
// was written unless the primitive documents a half-done failure), positive a
// warning (the work was done). Lengths and counts are signed 32-bit element
// counts, never bytes.
#pragma once

#include <cstdint>

using DspStatus = int32_t;

inline constexpr DspStatus DSP_STATUS_OK = 0;
inline constexpr DspStatus DSP_STATUS_BAD_LENGTH = -6;
inline constexpr DspStatus DSP_STATUS_NULL_POINTER = -8;
inline constexpr DspStatus DSP_STATUS_NO_MEMORY = -9;
inline constexpr DspStatus DSP_STATUS_DIVIDE_BY_ZERO = -10;
inline constexpr DspStatus DSP_STATUS_BAD_ORDER = -15;
inline constexpr DspStatus DSP_STATUS_BAD_SCALE_FLAG = -16;
inline constexpr DspStatus DSP_STATUS_WRONG_KIND = -17;
inline constexpr DspStatus DSP_STATUS_BAD_FILTER_ORDER = -25;
inline constexpr DspStatus DSP_STATUS_BAD_TAP_COUNT = -26;
inline constexpr DspStatus DSP_STATUS_BAD_PHASE = -28;
inline constexpr DspStatus DSP_STATUS_BAD_FACTOR = -29;
inline constexpr DspStatus DSP_STATUS_BAD_CHANNEL_COUNT = -53;

inline constexpr DspStatus DSP_WARN_UNALIGNED = 2;
inline constexpr DspStatus DSP_WARN_SQRT_NEGATIVE = 3;
inline constexpr DspStatus DSP_WARN_DIVIDE_BY_ZERO = 6;
inline constexpr DspStatus DSP_WARN_LOG_ZERO = 7;
inline constexpr DspStatus DSP_WARN_LOG_NEGATIVE = 8;
inline constexpr DspStatus DSP_WARN_DOMAIN = 19;
inline constexpr DspStatus DSP_WARN_CPU_NOT_RECOGNISED = 20;
inline constexpr DspStatus DSP_WARN_UNKNOWN_CPU_CODE = 21;

// Processor level a build is made for: 0 baseline x86-64 (SSE2), 1 SSE3,
// 2 SSSE3, 3 SSE4.1/SSE4.2.
using CpuLevel = int32_t;
inline constexpr CpuLevel CPU_LEVEL_BASELINE = 0;
inline constexpr CpuLevel CPU_LEVEL_COUNT = 4;
