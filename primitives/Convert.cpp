#include "primitives/Convert.h"

#include <emmintrin.h>

#include <algorithm>
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

// The lanes of x that are neither zero nor finite and normal with a biased
// exponent in [lowest, highest], as a mask: integer tests only, so no sample
// raises a floating-point flag here.
inline __m128i ExponentsOutside(__m128 x, int32_t lowest, int32_t highest) {
  const __m128i magnitude = _mm_and_si128(_mm_castps_si128(x), _mm_set1_epi32(0x7FFFFFFF));
  const __m128i outside = _mm_or_si128(_mm_cmplt_epi32(magnitude, _mm_set1_epi32(lowest << 23)),
                                       _mm_cmpgt_epi32(magnitude, _mm_set1_epi32((highest << 23) | 0x7FFFFF)));
  return _mm_andnot_si128(_mm_cmpeq_epi32(magnitude, _mm_setzero_si128()), outside);
}

// Toward zero on four lanes for blocks whose samples, scaled by 2^-s, stay
// finite and normal: x * factor is then exact in single precision as in
// double, and the limits are applied before the truncation, as TowardZero
// does, so that no lane raises a flag the element path would not. Other
// blocks (NaN, infinity, extreme exponents) take the element path. Returns
// the count done (a multiple of eight).
template <typename Out>
int32_t TowardZeroLanes(const float* src, Out* dst, int32_t len, int32_t s, float factor) {
  const __m128 f = _mm_set1_ps(factor);
  const int32_t lowest = std::max(1, 1 + s), highest = std::min(254, 254 + s);
  auto lanes = [&](__m128 x) {
    const __m128 v = _mm_mul_ps(x, f);
    if constexpr (sizeof(Out) == 2) {
      return _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(v, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f)));
    } else {
      // 2^31 and above give INT32_MAX; the truncation sees the largest
      // float below 2^31 at most, and -2^31 at least.
      const __m128i over = _mm_castps_si128(_mm_cmpge_ps(v, _mm_set1_ps(2147483648.0f)));
      const __m128 inside = _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(-2147483648.0f)), _mm_set1_ps(2147483520.0f));
      return _mm_or_si128(_mm_andnot_si128(over, _mm_cvttps_epi32(inside)),
                          _mm_and_si128(over, _mm_set1_epi32(INT32_MAX)));
    }
  };
  int32_t i = 0;
  for (; i + 8 <= len; i += 8) {
    const __m128 x0 = _mm_loadu_ps(src + i), x1 = _mm_loadu_ps(src + i + 4);
    if (_mm_movemask_epi8(_mm_or_si128(ExponentsOutside(x0, lowest, highest), ExponentsOutside(x1, lowest, highest))) !=
        0) {
      const double scale = PowerOfTwoDouble(s);
      for (int32_t k = i; k < i + 8; ++k) {
        const double v = static_cast<double>(src[k]) * scale;
        dst[k] = static_cast<Out>(TowardZero(v, sizeof(Out) == 2 ? -32768 : INT32_MIN, sizeof(Out) == 2 ? 32767 : INT32_MAX));
      }
      continue;
    }
    const __m128i a = lanes(x0), b = lanes(x1);
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
    if (scaleExp >= -126 && scaleExp <= 126) i = TowardZeroLanes(src, dst, len, scaleExp, PowerOfTwoFloat(scaleExp));
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

// The 24-bit rounding on four lanes: x (times factor when scaled) limited to
// [-8388608, 8388607], then to the nearest integer with halves to even (the
// caller runs this with the rounding field at nearest), NaN to 0. Inside the
// limits every step is exact, as the double path's are.
inline __m128i Nearest24Lanes(__m128 x, bool scaled, float factor) {
  const __m128 product = scaled ? _mm_mul_ps(x, _mm_set1_ps(factor)) : x;
  // NaN lanes become 0 before anything that would flag them (the ordered
  // test is a quiet one).
  const __m128 v = _mm_and_ps(product, _mm_cmpord_ps(product, product));
  return _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(v, _mm_set1_ps(-8388608.0f)), _mm_set1_ps(8388607.0f)));
}

// Runs a scope with the rounding field at nearest; the caller's control word
// comes back at its end, with the flags raised meanwhile.
class NearestRoundingScope {
 public:
  NearestRoundingScope() : m_Saved(_mm_getcsr()) {
    if ((m_Saved & kRoundingField) != 0) _mm_setcsr(m_Saved & ~kRoundingField);
  }
  ~NearestRoundingScope() {
    if ((m_Saved & kRoundingField) != 0) _mm_setcsr(m_Saved | (_mm_getcsr() & kFlags));
  }
  NearestRoundingScope(const NearestRoundingScope&) = delete;
  NearestRoundingScope& operator=(const NearestRoundingScope&) = delete;

 private:
  static constexpr uint32_t kRoundingField = 0x6000;
  static constexpr uint32_t kFlags = 0x3F;
  uint32_t m_Saved;
};

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
  if (len >= 4) {
    const NearestRoundingScope nearest;
    // Four samples as twelve bytes of one 16-byte store, low byte first; the
    // four bytes past them are written again by the next four, so the last
    // four of the buffer go as three words.
    const __m128i low24 = _mm_set1_epi32(0xFFFFFF);
    const __m128i evenLanes = _mm_set_epi32(0, -1, 0, -1);
    const __m128i lowHalf = _mm_set_epi32(0, 0, -1, -1);
    for (; i + 8 <= len; i += 4) {
      const __m128i t = _mm_and_si128(Nearest24Lanes(_mm_loadu_ps(src + i), scaleExp != 0, factor), low24);
      // Each 64-bit half: its even lane, then its odd lane 24 bits up.
      const __m128i pairs =
          _mm_or_si128(_mm_and_si128(t, evenLanes), _mm_srli_epi64(_mm_andnot_si128(evenLanes, t), 8));
      // The upper six bytes next to the lower six.
      const __m128i packed =
          _mm_or_si128(_mm_and_si128(pairs, lowHalf), _mm_srli_si128(_mm_andnot_si128(lowHalf, pairs), 2));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dstBytes + 3 * static_cast<int64_t>(i)), packed);
    }
    for (; i + 4 <= len; i += 4) {
      const __m128i lanes = Nearest24Lanes(_mm_loadu_ps(src + i), scaleExp != 0, factor);
      uint32_t r[4];
      r[0] = static_cast<uint32_t>(_mm_cvtsi128_si32(lanes));
      r[1] = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(lanes, 1)));
      r[2] = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(lanes, 2)));
      r[3] = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(lanes, 3)));
      const uint32_t w0 = (r[0] & 0xFFFFFFu) | r[1] << 24;
      const uint32_t w1 = (r[1] >> 8 & 0xFFFFu) | r[2] << 16;
      const uint32_t w2 = (r[2] >> 16 & 0xFFu) | r[3] << 8;
      uint8_t* out = dstBytes + 3 * static_cast<int64_t>(i);
      std::memcpy(out, &w0, 4);
      std::memcpy(out + 4, &w1, 4);
      std::memcpy(out + 8, &w2, 4);
    }
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
