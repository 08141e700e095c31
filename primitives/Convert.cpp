#include "primitives/Convert.h"

#include <emmintrin.h>

#include <bit>
#include <cstring>
#include <limits>

#include "primitives/Dispatch.h"
#include "primitives/levels/ConvertLevels.h"

namespace {

// The processor's truncating conversions: out of range and NaN give the
// "integer indefinite" 0x80000000, as the instructions define.
inline int32_t TruncateToInt32(double v) { return _mm_cvttsd_si32(_mm_set_sd(v)); }
inline int32_t TruncateToInt32(float v) { return _mm_cvtt_ss2si(_mm_set_ss(v)); }

inline bool IsNaN(double v) { return v != v; }

inline int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

// 2^-s as a float built from its bits; s must keep the exponent field in
// 1..254, or be 127 exactly, which gives the bit pattern 0 and so +0.0.
inline float PowerOfTwoFloat(int32_t s) { return std::bit_cast<float>(0x3F800000u - (static_cast<uint32_t>(s) << 23)); }

// 2^-scaleExp exactly as a double, by repeated halving or doubling; it
// reaches 0 or infinity only at exponents beyond the double range.
double PowerOfTwoDouble(int32_t scaleExp) {
  double factor = 1.0;
  if (scaleExp > 0) {
    for (int64_t i = 0; i < scaleExp && factor != 0.0; ++i) factor *= 0.5;
  } else {
    for (int64_t i = 0; i < -static_cast<int64_t>(scaleExp) && factor <= std::numeric_limits<double>::max(); ++i)
      factor *= 2.0;
  }
  return factor;
}

// v + 0.5 (v - 0.5 when negative) truncated toward zero; when that sum was an
// integer and the truncation is odd, one step back toward zero, so that halves
// go to the even neighbour. v must lie well inside the int32 range.
inline int32_t RoundHalfEven(double v, bool negative) {
  const double shifted = negative ? v - 0.5 : v + 0.5;
  int32_t t = TruncateToInt32(shifted);
  if ((t & 1) != 0 && shifted == static_cast<double>(t)) t += negative ? 1 : -1;
  return t;
}

struct Limits16 {
  static constexpr int32_t kMin = -32768;
  static constexpr int32_t kMax = 32767;
};
struct Limits32 {
  static constexpr int32_t kMin = INT32_MIN;
  static constexpr int32_t kMax = INT32_MAX;
};

int32_t TowardZero(double v, int32_t lo, int32_t hi) {
  if (IsNaN(v)) return 0;
  if (v > hi) return hi;
  if (v < lo) return lo;
  return TruncateToInt32(v);
}

// Halves away from zero in double; a NaN falls through to the processor's
// truncation and gives 0x80000000.
int32_t NearestAway(double v, int32_t lo, int32_t hi) {
  if (v >= hi) return hi;
  if (v <= lo) return lo;
  return TruncateToInt32(v < 0 ? v - 0.5 : v + 0.5);
}

// The unscaled 16-bit path adds its half in single precision, so the float
// just below 0.5 rounds to 1 here.
int32_t NearestAwayUnscaled16(float v) {
  if (v >= 32767.0f) return 32767;
  if (v <= -32768.0f) return -32768;
  return TruncateToInt32(v < 0 ? v - 0.5f : v + 0.5f);
}

// Toward zero on four lanes: x * factor (exact), then the limits of Out, NaN
// to 0. The comparisons and the truncation are those of TowardZero on the
// same exact values. Returns the count done (a multiple of eight).
template <typename Out>
int32_t TowardZeroLanes(const float* src, Out* dst, int32_t len, float factor) {
  const __m128 f = _mm_set1_ps(factor);
  auto lanes = [&](const float* p) {
    const __m128 v = _mm_mul_ps(_mm_loadu_ps(p), f);
    const __m128i ordered = _mm_castps_si128(_mm_cmpord_ps(v, v));
    if constexpr (sizeof(Out) == 2) {
      // MAXPS and MINPS keep the bound for a NaN; the mask clears it after.
      const __m128 clamped = _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
      return _mm_and_si128(_mm_cvttps_epi32(clamped), ordered);
    } else {
      // 2^31 and above (and +infinity) convert to 0x80000000: flipped to
      // 0x7FFFFFFF; below -2^31 it is already INT32_MIN.
      const __m128i over = _mm_castps_si128(_mm_cmpge_ps(v, _mm_set1_ps(2147483648.0f)));
      return _mm_and_si128(_mm_xor_si128(_mm_cvttps_epi32(v), over), ordered);
    }
  };
  int32_t i = 0;
  for (; i + 8 <= len; i += 8) {
    const __m128i a = lanes(src + i), b = lanes(src + i + 4);
    if constexpr (sizeof(Out) == 2) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packs_epi32(a, b));
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), a);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 4), b);
    }
  }
  return i;
}

template <typename Out, typename Limits>
void FloatToInt(const float* src, Out* dst, int32_t len, RoundMode roundMode, int32_t scaleExp) {
  const double factor = PowerOfTwoDouble(scaleExp);
  const bool scaled = scaleExp != 0;
  auto value = [&](int32_t i) { return scaled ? static_cast<double>(src[i]) * factor : static_cast<double>(src[i]); };
  constexpr int32_t lo = Limits::kMin;
  constexpr int32_t hi = Limits::kMax;
  // The 32-bit nearest-even range is open at both ends (-2^31 < v < 2^31);
  // the 16-bit one is closed, so 32767.5 and above saturate instead of
  // rounding to 32768.
  constexpr bool wide = sizeof(Out) == 4;
  const double evenLo = wide ? -2147483648.0 : lo;
  const double evenHi = wide ? 2147483648.0 : hi;

  if (roundMode == ROUND_TOWARD_ZERO) {
    int32_t i = 0;
    // Within the single-precision exponent range the scaled sample is exact
    // in single precision too, so four lanes give the double path's results.
    if (scaleExp >= -126 && scaleExp <= 126) i = TowardZeroLanes(src, dst, len, PowerOfTwoFloat(scaleExp));
    for (; i < len; ++i) dst[i] = static_cast<Out>(TowardZero(value(i), lo, hi));
  } else if (roundMode == ROUND_NEAREST_EVEN) {
    for (int32_t i = 0; i < len; ++i) {
      const double v = value(i);
      int32_t r;
      if (IsNaN(v))
        r = 0;
      else if (wide ? (v > evenLo && v < evenHi) : (v >= evenLo && v <= evenHi))
        r = RoundHalfEven(v, v < 0);
      else
        r = v > 0 ? hi : lo;
      dst[i] = static_cast<Out>(r);
    }
  } else if (!wide && !scaled) {
    for (int32_t i = 0; i < len; ++i) dst[i] = static_cast<Out>(NearestAwayUnscaled16(src[i]));
  } else {
    for (int32_t i = 0; i < len; ++i) dst[i] = static_cast<Out>(NearestAway(value(i), lo, hi));
  }
}

inline bool Unaligned16(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15) != 0; }

// Whether count floats at a and at b share no byte: only then may a pair of
// channels move in any order.
inline bool Apart(const float* a, const float* b, int64_t count) {
  const uintptr_t x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
  const uintptr_t bytes = 4 * static_cast<uintptr_t>(count);
  return x + bytes <= y || y + bytes <= x;
}

// Each element is rounded to float first (ties to even), then multiplied by
// 2^-s in single precision; s is clamped so that full scale stays finite.
template <typename In>
DspStatus IntegerToFloatScaled(const In* src, float* dst, int32_t len, int32_t scaleExp, int32_t lowestExp) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  if (scaleExp == 0) {
    for (int32_t i = 0; i < len; ++i) dst[i] = static_cast<float>(src[i]);
    return DSP_STATUS_OK;
  }
  const float factor = PowerOfTwoFloat(Clamp(scaleExp, lowestExp, 126));
  for (int32_t i = 0; i < len; ++i) dst[i] = static_cast<float>(src[i]) * factor;
  return DSP_STATUS_OK;
}

// The 24-bit rounding on four lanes: x (times factor when scaled) to the
// nearest integer, halves to even, limited to [-8388608, 8388607], NaN to 0,
// whatever the rounding mode: truncation, then one step away from zero when
// the dropped part is above one half, or exactly one half with an odd
// truncation. All of it is exact, as the double path's steps are.
inline __m128i Nearest24Lanes(__m128 x, bool scaled, float factor) {
  const __m128 v = scaled ? _mm_mul_ps(x, _mm_set1_ps(factor)) : x;
  const __m128i ordered = _mm_castps_si128(_mm_cmpord_ps(v, v));
  const __m128 high = _mm_cmpge_ps(v, _mm_set1_ps(8388607.0f));
  const __m128 low = _mm_cmple_ps(v, _mm_set1_ps(-8388608.0f));
  // Inside the limits for the rounding; the limits are put back below.
  const __m128 inside = _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(-8388608.0f)), _mm_set1_ps(8388607.0f));
  const __m128i t = _mm_cvttps_epi32(inside);
  const __m128 sign = _mm_castsi128_ps(_mm_set1_epi32(static_cast<int32_t>(0x80000000u)));
  const __m128 dropped = _mm_andnot_ps(sign, _mm_sub_ps(inside, _mm_cvtepi32_ps(t)));
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128i odd = _mm_cmpeq_epi32(_mm_and_si128(t, _mm_set1_epi32(1)), _mm_set1_epi32(1));
  const __m128i away = _mm_or_si128(_mm_castps_si128(_mm_cmpgt_ps(dropped, half)),
                                    _mm_and_si128(_mm_castps_si128(_mm_cmpeq_ps(dropped, half)), odd));
  // +1 above zero, -1 below.
  const __m128i step = _mm_or_si128(_mm_srai_epi32(_mm_castps_si128(inside), 31), _mm_set1_epi32(1));
  __m128i r = _mm_add_epi32(t, _mm_and_si128(away, step));
  r = _mm_or_si128(_mm_andnot_si128(_mm_castps_si128(_mm_or_ps(high, low)), r),
                   _mm_or_si128(_mm_and_si128(_mm_castps_si128(high), _mm_set1_epi32(8388607)),
                                _mm_and_si128(_mm_castps_si128(low), _mm_set1_epi32(-8388608))));
  return _mm_and_si128(r, ordered);
}

}  // namespace

// ---------------------------------------------------------------------------
// Baseline builds

DspStatus ConvF32ToS16ScaledL0(const float* src, int16_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  FloatToInt<int16_t, Limits16>(src, dst, len, roundMode, scaleExp);
  return DSP_STATUS_OK;
}

DspStatus ConvF32ToS32ScaledL0(const float* src, int32_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  FloatToInt<int32_t, Limits32>(src, dst, len, roundMode, scaleExp);
  return DSP_STATUS_OK;
}

DspStatus ConvF32ToS24ScaledL0(const float* src, uint8_t* dstBytes, int32_t len, int32_t scaleExp) {
  if (src == nullptr || dstBytes == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  const float factor = PowerOfTwoFloat(Clamp(scaleExp, -127, 127));
  int32_t i = 0;
  alignas(16) int32_t r[4];
  for (; i + 4 <= len; i += 4) {
    _mm_store_si128(reinterpret_cast<__m128i*>(r), Nearest24Lanes(_mm_loadu_ps(src + i), scaleExp != 0, factor));
    // Four 24-bit samples as three 32-bit words, low byte first.
    const uint32_t w0 = (static_cast<uint32_t>(r[0]) & 0xFFFFFFu) | static_cast<uint32_t>(r[1]) << 24;
    const uint32_t w1 = (static_cast<uint32_t>(r[1]) >> 8 & 0xFFFFu) | static_cast<uint32_t>(r[2]) << 16;
    const uint32_t w2 = (static_cast<uint32_t>(r[2]) >> 16 & 0xFFu) | static_cast<uint32_t>(r[3]) << 8;
    uint8_t* out = dstBytes + 3 * static_cast<int64_t>(i);
    std::memcpy(out, &w0, 4);
    std::memcpy(out + 4, &w1, 4);
    std::memcpy(out + 8, &w2, 4);
  }
  for (; i < len; ++i) {
    const float x = src[i];
    const double v = scaleExp != 0 ? static_cast<double>(x * factor) : static_cast<double>(x);
    int32_t r1;
    if (IsNaN(v))
      r1 = 0;
    else if (v >= 8388607.0)
      r1 = 8388607;
    else if (v <= -8388608.0)
      r1 = -8388608;
    else
      r1 = RoundHalfEven(v, x < 0);
    const uint32_t bits = static_cast<uint32_t>(r1);
    uint8_t* out = dstBytes + 3 * static_cast<int64_t>(i);
    out[0] = static_cast<uint8_t>(bits);
    out[1] = static_cast<uint8_t>(bits >> 8);
    out[2] = static_cast<uint8_t>(bits >> 16);
  }
  return DSP_STATUS_OK;
}

DspStatus ConvS16ToF32ScaledL0(const int16_t* src, float* dst, int32_t len, int32_t scaleExp) {
  return IntegerToFloatScaled(src, dst, len, scaleExp, -112);
}

DspStatus ConvS32ToF32ScaledL0L1(const int32_t* src, float* dst, int32_t len, int32_t scaleExp) {
  return IntegerToFloatScaled(src, dst, len, scaleExp, -96);
}

DspStatus ConvS24ToF32L0(const uint8_t* srcBytes, float* dst, int32_t len) {
  if (srcBytes == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  int32_t i = 0;
  // Four samples from three 32-bit words; the last sample of the buffer is
  // never read past its third byte.
  for (; i + 4 <= len; i += 4) {
    const uint8_t* in = srcBytes + 3 * static_cast<int64_t>(i);
    uint32_t w0, w1, w2;
    std::memcpy(&w0, in, 4);
    std::memcpy(&w1, in + 4, 4);
    std::memcpy(&w2, in + 8, 4);
    // Each sample into the upper 24 bits, then an arithmetic shift brings
    // it down with its sign.
    const __m128i upper = _mm_set_epi32(static_cast<int32_t>(w2 & 0xFFFFFF00u),
                                        static_cast<int32_t>((w2 << 24) | (w1 >> 16 << 8)),
                                        static_cast<int32_t>((w1 << 16) | (w0 >> 24 << 8)), static_cast<int32_t>(w0 << 8));
    _mm_storeu_ps(dst + i, _mm_cvtepi32_ps(_mm_srai_epi32(upper, 8)));
  }
  for (; i < len; ++i) {
    const uint8_t* in = srcBytes + 3 * static_cast<int64_t>(i);
    const int32_t raw = in[0] | (in[1] << 8) | (in[2] << 16);
    dst[i] = static_cast<float>((raw & 0x800000) != 0 ? raw - 0x1000000 : raw);
  }
  return DSP_STATUS_OK;
}

DspStatus ConvS32ToF32L0(const int32_t* src, float* dst, int32_t len) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len < 1) return DSP_STATUS_BAD_LENGTH;
  for (int32_t i = 0; i < len; ++i) dst[i] = static_cast<float>(src[i]);
  return DSP_STATUS_OK;
}

DspStatus VecInterleaveF32L0(const float* const* channelPtrs, int32_t channels, int32_t len, float* dst) {
  if (channelPtrs == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (channels < 1) return DSP_STATUS_BAD_CHANNEL_COUNT;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  bool unaligned = Unaligned16(dst);
  for (int32_t c = 0; c < channels; ++c) {
    if (channelPtrs[c] == nullptr) return DSP_STATUS_NULL_POINTER;
    unaligned = unaligned || Unaligned16(channelPtrs[c]);
  }
  if (channels == 2 && Apart(dst, channelPtrs[0], 2 * int64_t{len}) && Apart(dst, channelPtrs[1], 2 * int64_t{len})) {
    // The stereo pair, four frames a pass.
    const float* left = channelPtrs[0];
    const float* right = channelPtrs[1];
    int64_t i = 0;
    for (; i + 4 <= len; i += 4) {
      const __m128 l = _mm_loadu_ps(left + i), r = _mm_loadu_ps(right + i);
      _mm_storeu_ps(dst + 2 * i, _mm_unpacklo_ps(l, r));
      _mm_storeu_ps(dst + 2 * i + 4, _mm_unpackhi_ps(l, r));
    }
    for (; i < len; ++i) {
      dst[2 * i] = left[i];
      dst[2 * i + 1] = right[i];
    }
    return unaligned ? DSP_WARN_UNALIGNED : DSP_STATUS_OK;
  }
  for (int32_t c = 0; c < channels; ++c) {
    const float* in = channelPtrs[c];
    for (int64_t i = 0; i < len; ++i) dst[i * channels + c] = in[i];
  }
  return unaligned ? DSP_WARN_UNALIGNED : DSP_STATUS_OK;
}

DspStatus VecDeinterleaveF32L0(const float* src, int32_t channels, int32_t len, float* const* channelPtrs) {
  if (channelPtrs == nullptr || src == nullptr) return DSP_STATUS_NULL_POINTER;
  if (channels < 1) return DSP_STATUS_BAD_CHANNEL_COUNT;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  bool unaligned = Unaligned16(src);
  for (int32_t c = 0; c < channels; ++c) {
    if (channelPtrs[c] == nullptr) return DSP_STATUS_NULL_POINTER;
    unaligned = unaligned || Unaligned16(channelPtrs[c]);
  }
  if (channels == 2 && Apart(src, channelPtrs[0], 2 * int64_t{len}) && Apart(src, channelPtrs[1], 2 * int64_t{len}) &&
      Apart(channelPtrs[0], channelPtrs[1], len)) {
    float* left = channelPtrs[0];
    float* right = channelPtrs[1];
    int64_t i = 0;
    for (; i + 4 <= len; i += 4) {
      const __m128 a = _mm_loadu_ps(src + 2 * i), b = _mm_loadu_ps(src + 2 * i + 4);
      _mm_storeu_ps(left + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
      _mm_storeu_ps(right + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    }
    for (; i < len; ++i) {
      left[i] = src[2 * i];
      right[i] = src[2 * i + 1];
    }
    return unaligned ? DSP_WARN_UNALIGNED : DSP_STATUS_OK;
  }
  for (int32_t c = 0; c < channels; ++c) {
    float* out = channelPtrs[c];
    for (int64_t i = 0; i < len; ++i) out[i] = src[i * channels + c];
  }
  return unaligned ? DSP_WARN_UNALIGNED : DSP_STATUS_OK;
}

// ---------------------------------------------------------------------------
// Dispatch

DSP_DISPATCH_TABLE(ConvF32ToS16Scaled, ConvF32ToS16ScaledL0, ConvF32ToS16ScaledL1, ConvF32ToS16ScaledL2,
                   ConvF32ToS16ScaledL3);
DSP_DISPATCH_TABLE(ConvF32ToS32Scaled, ConvF32ToS32ScaledL0, ConvF32ToS32ScaledL1, ConvF32ToS32ScaledL2,
                   ConvF32ToS32ScaledL3);
DSP_DISPATCH_TABLE(ConvF32ToS24Scaled, ConvF32ToS24ScaledL0, ConvF32ToS24ScaledL1, ConvF32ToS24ScaledL2,
                   ConvF32ToS24ScaledL3);
DSP_DISPATCH_TABLE(ConvS16ToF32Scaled, ConvS16ToF32ScaledL0, ConvS16ToF32ScaledL1, ConvS16ToF32ScaledL2,
                   ConvS16ToF32ScaledL3);
DSP_DISPATCH_TABLE(ConvS32ToF32Scaled, ConvS32ToF32ScaledL0L1, ConvS32ToF32ScaledL0L1, ConvS32ToF32ScaledL2L3,
                   ConvS32ToF32ScaledL2L3);
DSP_DISPATCH_TABLE(ConvS24ToF32, ConvS24ToF32L0, ConvS24ToF32L1, ConvS24ToF32L2, ConvS24ToF32L3);
DSP_DISPATCH_TABLE(ConvS32ToF32, ConvS32ToF32L0, ConvS32ToF32L1, ConvS32ToF32L2, ConvS32ToF32L3);
DSP_DISPATCH_TABLE(VecInterleaveF32, VecInterleaveF32L0, VecInterleaveF32L1, VecInterleaveF32L2, VecInterleaveF32L3);
DSP_DISPATCH_TABLE(VecDeinterleaveF32, VecDeinterleaveF32L0, VecDeinterleaveF32L1, VecDeinterleaveF32L2,
                   VecDeinterleaveF32L3);

DspStatus ConvF32ToS16Scaled(const float* src, int16_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp) {
  return DspDispatch(ConvF32ToS16ScaledTable, src, dst, len, roundMode, scaleExp);
}
DspStatus ConvF32ToS32Scaled(const float* src, int32_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp) {
  return DspDispatch(ConvF32ToS32ScaledTable, src, dst, len, roundMode, scaleExp);
}
DspStatus ConvF32ToS24Scaled(const float* src, uint8_t* dstBytes, int32_t len, int32_t scaleExp) {
  return DspDispatch(ConvF32ToS24ScaledTable, src, dstBytes, len, scaleExp);
}
DspStatus ConvS16ToF32Scaled(const int16_t* src, float* dst, int32_t len, int32_t scaleExp) {
  return DspDispatch(ConvS16ToF32ScaledTable, src, dst, len, scaleExp);
}
DspStatus ConvS32ToF32Scaled(const int32_t* src, float* dst, int32_t len, int32_t scaleExp) {
  return DspDispatch(ConvS32ToF32ScaledTable, src, dst, len, scaleExp);
}
DspStatus ConvS24ToF32(const uint8_t* srcBytes, float* dst, int32_t len) {
  return DspDispatch(ConvS24ToF32Table, srcBytes, dst, len);
}
DspStatus ConvS32ToF32(const int32_t* src, float* dst, int32_t len) {
  return DspDispatch(ConvS32ToF32Table, src, dst, len);
}
DspStatus VecInterleaveF32(const float* const* channelPtrs, int32_t channels, int32_t len, float* dst) {
  return DspDispatch(VecInterleaveF32Table, channelPtrs, channels, len, dst);
}
DspStatus VecDeinterleaveF32(const float* src, int32_t channels, int32_t len, float* const* channelPtrs) {
  return DspDispatch(VecDeinterleaveF32Table, src, channels, len, channelPtrs);
}
