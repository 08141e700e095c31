// The conversion kernels of the processor-level builds, written once; the
// level files name the builds (see LevelCommon.h for why all of this lives in
// an unnamed namespace). kLevel picks the two places where the levels differ:
// the block size of ConvS32ToF32 and the sixteen-element aligned path of the
// 16-bit toward-zero/nearest-even kernel (levels 2 and 3).
#pragma once

#include <xmmintrin.h>

#include "primitives/DspTypes.h"
#include "primitives/RoundMode.h"
#include "primitives/levels/LevelCommon.h"

namespace {
namespace convert_level {

inline float LoadF(const float* p) { return LoadAs<float>(p); }
inline void StoreF(float* p, float v) { StoreAs<float>(p, v); }

constexpr uint32_t kMxcsrRounding = 0x6000;  // bits 13-14: 00 nearest, 11 toward zero
constexpr uint32_t kMxcsrInvalidFlag = 0x0001;
constexpr uint32_t kMxcsrDenormalsAreZero = 0x0040;

inline int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

// 2^-s for s inside the float exponent range, built from its bits; s = 127
// gives the pattern 0, that is +0.0.
inline float PowerOfTwo(int32_t s) { return std::bit_cast<float>(static_cast<uint32_t>(127 - s) << 23); }

// ---------------------------------------------------------------------------
// Integer to float

template <bool kScaled>
inline void S16ToF32(const int16_t* src, float* dst, int64_t n, float factor) {
  auto one = [&]() LEVEL_INLINE {
    float v = static_cast<float>(LoadAs<int16_t>(src));
    if constexpr (kScaled) v = v * factor;
    StoreF(dst, v);
    ++src, ++dst, --n;
  };
  while (n > 0 && !Aligned16(dst)) one();
  const __m128 f = _mm_set1_ps(factor);
  for (; n >= 8; n -= 8, src += 8, dst += 8) {
    // Each 16-bit value into the upper half of a 32-bit lane, then an
    // arithmetic shift brings it down with its sign.
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo =
        _mm_srai_epi32(_mm_unpacklo_epi16(zero, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src))), 16);
    const __m128i hi =
        _mm_srai_epi32(_mm_unpacklo_epi16(zero, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 4))), 16);
    __m128 a = _mm_cvtepi32_ps(lo), b = _mm_cvtepi32_ps(hi);
    if constexpr (kScaled) a = _mm_mul_ps(a, f), b = _mm_mul_ps(b, f);
    _mm_store_ps(dst, a);
    _mm_store_ps(dst + 4, b);
  }
  while (n > 0) one();
}

template <int kLevel>
inline DspStatus S16ToF32Scaled(const int16_t* src, float* dst, int32_t len, int32_t scaleExp) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  if (scaleExp == 0)
    S16ToF32<false>(src, dst, len, 1.0f);
  else
    S16ToF32<true>(src, dst, len, PowerOfTwo(Clamp(scaleExp, -112, 126)));
  return DSP_STATUS_OK;
}

inline DspStatus S32ToF32Scaled(const int32_t* src, float* dst, int32_t len, int32_t scaleExp) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  const bool scaled = scaleExp != 0;
  const float factor = scaled ? PowerOfTwo(Clamp(scaleExp, -96, 126)) : 1.0f;
  // Converted first (ties to even above 2^24), multiplied second.
  auto one = [&](int64_t i) LEVEL_INLINE {
    float v = static_cast<float>(LoadAs<int32_t>(src + i));
    if (scaled) v = v * factor;
    StoreF(dst + i, v);
  };
  const int64_t bytes = 4 * int64_t{len};
  const uintptr_t s = Addr(src), d = Addr(dst);
  const bool apart = d > s ? static_cast<uint64_t>(bytes) < d - s : (s > d && static_cast<uint64_t>(bytes) < s - d);
  const int64_t head = Aligned16(dst) ? 0 : static_cast<int64_t>(16 - (d & 15)) / 4;
  if (len <= 6 || !apart || !Aligned4(dst) || len < head + 8) {
    for (int64_t i = 0; i < len; ++i) one(i);
    return DSP_STATUS_OK;
  }
  const int64_t end = len - (len - head) % 8;
  for (int64_t i = 0; i < head; ++i) one(i);
  const __m128 f = _mm_set1_ps(factor);
  auto run = [&]<bool kAlignedSrc>() LEVEL_INLINE {
    for (int64_t i = head; i < end; i += 8) {
      const __m128i a = kAlignedSrc ? LoadA128(src + i) : LoadU128(src + i);
      const __m128i b = kAlignedSrc ? LoadA128(src + i + 4) : LoadU128(src + i + 4);
      __m128 x = _mm_cvtepi32_ps(a), y = _mm_cvtepi32_ps(b);
      if (scaled) x = _mm_mul_ps(x, f), y = _mm_mul_ps(y, f);
      _mm_store_ps(dst + i, x);
      _mm_store_ps(dst + i + 4, y);
    }
  };
  if (Aligned16(src + head))
    run.template operator()<true>();
  else
    run.template operator()<false>();
  for (int64_t i = end; i < len; ++i) one(i);
  return DSP_STATUS_OK;
}

inline int32_t Sample24(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 | (p[2] & 0x80 ? 0xFF000000u : 0u));
}

inline void S24ToF32(const uint8_t* src, float* dst, int64_t n) {
  auto one = [&]() LEVEL_INLINE {
    StoreF(dst, static_cast<float>(Sample24(src)));
    src += 3, ++dst, --n;
  };
  // At least one sample first: each block reads the byte before its first
  // sample.
  one();
  while (n > 0 && !Aligned16(dst)) one();
  for (; n >= 8; n -= 8, src += 24, dst += 8) {
    // A 4-byte load starting one byte early puts a sample in the upper 24
    // bits; the arithmetic shift sign-extends it.
    auto lanes = [&](const uint8_t* p) LEVEL_INLINE {
      return _mm_srai_epi32(
          _mm_set_epi32(LoadAs<int32_t>(p + 8), LoadAs<int32_t>(p + 5), LoadAs<int32_t>(p + 2), LoadAs<int32_t>(p - 1)),
          8);
    };
    _mm_store_ps(dst, _mm_cvtepi32_ps(lanes(src)));
    _mm_store_ps(dst + 4, _mm_cvtepi32_ps(lanes(src + 12)));
  }
  while (n > 0) one();
}

template <int kLevel>
inline DspStatus S24ToF32Entry(const uint8_t* srcBytes, float* dst, int32_t len) {
  if (srcBytes == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  S24ToF32(srcBytes, dst, len);
  return DSP_STATUS_OK;
}

template <int kLevel>
inline void S32ToF32(const int32_t* src, float* dst, int64_t n) {
  auto one = [&]() LEVEL_INLINE {
    StoreF(dst, static_cast<float>(LoadAs<int32_t>(src)));
    ++src, ++dst, --n;
  };
  while (n > 0 && (Addr(dst) & 12) != 0) one();
  auto run = [&]<int kKind>() LEVEL_INLINE {
    auto load = [](const int32_t* p) LEVEL_INLINE {
      if constexpr (kKind == 0) return LoadA128(p);
      if constexpr (kKind == 1) return LoadDq128(p);
      if constexpr (kKind == 2) return LoadU128(p);
    };
    auto store = [](float* p, __m128 v) LEVEL_INLINE {
      if constexpr (kKind == 2)
        _mm_storeu_ps(p, v);
      else
        _mm_store_ps(p, v);
    };
    constexpr int64_t kBlock = kLevel == 1 ? 4 : 8;
    for (; n >= kBlock; n -= kBlock, src += kBlock, dst += kBlock) {
      store(dst, _mm_cvtepi32_ps(load(src)));
      if constexpr (kBlock == 8) store(dst + 4, _mm_cvtepi32_ps(load(src + 4)));
    }
  };
  if (!Aligned16(dst))
    run.template operator()<2>();
  else if (!Aligned16(src))
    run.template operator()<1>();
  else
    run.template operator()<0>();
  if (kLevel != 1 && n >= 4) {
    _mm_storeu_ps(dst, _mm_cvtepi32_ps(LoadU128(src)));
    src += 4, dst += 4, n -= 4;
  }
  if (n >= 2) {
    const __m128 v = _mm_cvtepi32_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src)));
    _mm_storel_pi(reinterpret_cast<__m64*>(dst), v);
    src += 2, dst += 2, n -= 2;
  }
  if (n == 1) one();
}

template <int kLevel>
inline DspStatus S32ToF32Entry(const int32_t* src, float* dst, int32_t len) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  S32ToF32<kLevel>(src, dst, len);
  return DSP_STATUS_OK;
}

// ---------------------------------------------------------------------------
// Float to 24-bit

// Runs with the rounding field at nearest for the call: the conversion
// instruction rounds by it. The caller's word comes back on return.
class NearestRounding {
 public:
  NearestRounding() : m_Saved(_mm_getcsr()) {
    if ((m_Saved & kMxcsrRounding) != 0) _mm_setcsr(m_Saved & ~kMxcsrRounding);
  }
  ~NearestRounding() {
    if ((m_Saved & kMxcsrRounding) != 0) _mm_setcsr(m_Saved);
  }
  NearestRounding(const NearestRounding&) = delete;
  NearestRounding& operator=(const NearestRounding&) = delete;

 private:
  uint32_t m_Saved;
};

template <bool kScaled>
inline void F32ToS24(const float* src, uint8_t* dst, int64_t n, int32_t scaleExp) {
  const float factor = kScaled ? PowerOfTwo(Clamp(scaleExp, -127, 127)) : 1.0f;
  NearestRounding nearest;
  const __m128 f = _mm_set1_ps(factor);
  const __m128 lo = _mm_set1_ps(-8388608.0f);
  const __m128 hi = _mm_set1_ps(8388607.0f);
  // max(v, lo) takes lo for a NaN v (the second operand wins), so a NaN
  // saturates low.
  auto convert = [&](__m128 v) LEVEL_INLINE {
    if constexpr (kScaled) v = _mm_mul_ps(v, f);
    return _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(v, lo), hi));
  };
  auto one = [&]() LEVEL_INLINE {
    const uint32_t r = static_cast<uint32_t>(_mm_cvtsi128_si32(convert(_mm_set_ss(LoadF(src)))));
    StoreAs<uint16_t>(dst, static_cast<uint16_t>(r));
    dst[2] = static_cast<uint8_t>(r >> 16);
    ++src, dst += 3, --n;
  };
  while (n > 0 && !Aligned16(src)) one();
  // A ninth element keeps the fourth byte of the last 4-byte store inside
  // the destination; the next sample rewrites it.
  for (; n >= 9; n -= 8, src += 8, dst += 24) {
    alignas(16) int32_t r[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(r), convert(_mm_load_ps(src)));
    _mm_store_si128(reinterpret_cast<__m128i*>(r + 4), convert(_mm_load_ps(src + 4)));
    for (int k = 0; k < 8; ++k) StoreAs<int32_t>(dst + 3 * k, r[k]);
  }
  while (n > 0) one();
}

template <int kLevel>
inline DspStatus F32ToS24Scaled(const float* src, uint8_t* dstBytes, int32_t len, int32_t scaleExp) {
  if (src == nullptr || dstBytes == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  if (scaleExp == 0)
    F32ToS24<false>(src, dstBytes, len, 0);
  else
    F32ToS24<true>(src, dstBytes, len, scaleExp);
  return DSP_STATUS_OK;
}

// ---------------------------------------------------------------------------
// Interleave pair

inline void CopyWord(const float* from, float* to) { StoreAs<uint32_t>(to, LoadAs<uint32_t>(from)); }

inline void Interleave2(const float* left, const float* right, float* dst, int64_t n) {
  int64_t i = 0;
  if (n >= 8) {
    auto run = [&]<bool kAligned>() LEVEL_INLINE {
      for (; i + 8 <= n; i += 8) {
        const __m128 l0 = kAligned ? _mm_load_ps(left + i) : _mm_loadu_ps(left + i);
        const __m128 l1 = kAligned ? _mm_load_ps(left + i + 4) : _mm_loadu_ps(left + i + 4);
        const __m128 r0 = kAligned ? _mm_load_ps(right + i) : _mm_loadu_ps(right + i);
        const __m128 r1 = kAligned ? _mm_load_ps(right + i + 4) : _mm_loadu_ps(right + i + 4);
        float* out = dst + 2 * i;
        if constexpr (kAligned) {
          _mm_store_ps(out, _mm_unpacklo_ps(l0, r0));
          _mm_store_ps(out + 4, _mm_unpackhi_ps(l0, r0));
          _mm_store_ps(out + 8, _mm_unpacklo_ps(l1, r1));
          _mm_store_ps(out + 12, _mm_unpackhi_ps(l1, r1));
        } else {
          _mm_storeu_ps(out, _mm_unpacklo_ps(l0, r0));
          _mm_storeu_ps(out + 4, _mm_unpackhi_ps(l0, r0));
          _mm_storeu_ps(out + 8, _mm_unpacklo_ps(l1, r1));
          _mm_storeu_ps(out + 12, _mm_unpackhi_ps(l1, r1));
        }
      }
    };
    if (Aligned16(left) && Aligned16(right) && Aligned16(dst))
      run.template operator()<true>();
    else
      run.template operator()<false>();
  }
  for (; i < n; ++i) {
    CopyWord(left + i, dst + 2 * i);
    CopyWord(right + i, dst + 2 * i + 1);
  }
}

inline void Deinterleave2(const float* src, float* left, float* right, int64_t n) {
  int64_t i = 0;
  if (n >= 4) {
    auto run = [&]<bool kAligned>() LEVEL_INLINE {
      for (; i + 4 <= n; i += 4) {
        const float* in = src + 2 * i;
        // (L0 R0 L1 R1) and (L2 R2 L3 R3), each reordered to (L L R R).
        __m128 a = kAligned ? _mm_load_ps(in) : _mm_loadu_ps(in);
        __m128 b = kAligned ? _mm_load_ps(in + 4) : _mm_loadu_ps(in + 4);
        a = _mm_shuffle_ps(a, a, _MM_SHUFFLE(3, 1, 2, 0));
        b = _mm_shuffle_ps(b, b, _MM_SHUFFLE(3, 1, 2, 0));
        if constexpr (kAligned) {
          _mm_store_ps(left + i, _mm_movelh_ps(a, b));
          _mm_store_ps(right + i, _mm_movehl_ps(b, a));
        } else {
          _mm_storeu_ps(left + i, _mm_movelh_ps(a, b));
          _mm_storeu_ps(right + i, _mm_movehl_ps(b, a));
        }
      }
    };
    if (Aligned16(src) && Aligned16(left) && Aligned16(right))
      run.template operator()<true>();
    else
      run.template operator()<false>();
  }
  for (; i < n; ++i) {
    CopyWord(src + 2 * i, left + i);
    CopyWord(src + 2 * i + 1, right + i);
  }
}

template <int kLevel>
inline DspStatus Interleave(const float* const* channelPtrs, int32_t channels, int32_t len, float* dst) {
  if (channelPtrs == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (channels < 1) return DSP_STATUS_BAD_CHANNEL_COUNT;
  if (len < 1) return DSP_STATUS_BAD_LENGTH;
  bool unaligned = !Aligned16(dst);
  for (int32_t c = 0; c < channels; ++c) {
    if (channelPtrs[c] == nullptr) return DSP_STATUS_NULL_POINTER;
    unaligned = unaligned || !Aligned16(channelPtrs[c]);
  }
  if (channels == 2) {
    Interleave2(channelPtrs[0], channelPtrs[1], dst, len);
  } else {
    for (int64_t i = 0; i < len; ++i)
      for (int32_t c = 0; c < channels; ++c) CopyWord(channelPtrs[c] + i, dst + i * channels + c);
  }
  return unaligned ? DSP_WARN_UNALIGNED : DSP_STATUS_OK;
}

template <int kLevel>
inline DspStatus Deinterleave(const float* src, int32_t channels, int32_t len, float* const* channelPtrs) {
  if (channelPtrs == nullptr || src == nullptr) return DSP_STATUS_NULL_POINTER;
  if (channels < 1) return DSP_STATUS_BAD_CHANNEL_COUNT;
  if (len < 1) return DSP_STATUS_BAD_LENGTH;
  bool unaligned = !Aligned16(src);
  for (int32_t c = 0; c < channels; ++c) {
    if (channelPtrs[c] == nullptr) return DSP_STATUS_NULL_POINTER;
    unaligned = unaligned || !Aligned16(channelPtrs[c]);
  }
  if (channels == 2) {
    Deinterleave2(src, channelPtrs[0], channelPtrs[1], len);
  } else {
    for (int32_t c = 0; c < channels; ++c)
      for (int64_t i = 0; i < len; ++i) CopyWord(src + i * channels + c, channelPtrs[c] + i);
  }
  return unaligned ? DSP_WARN_UNALIGNED : DSP_STATUS_OK;
}

// ---------------------------------------------------------------------------
// Float to 16- and 32-bit integers with a rounding mode

// 2^-s by repeated halving or doubling in single precision, in the caller's
// rounding mode. The value stops changing once it reaches 0, infinity or a
// bound of the mode, so the loop ends there with the same result.
inline float ScaleFactor(int32_t s) {
  // Inside the normal range every step is exact: the loop would end on the
  // power of two itself.
  if (s >= -126 && s <= 126) return PowerOfTwo(s);
  float v = 1.0f;
  const float step = s > 0 ? 0.5f : 2.0f;
  const int64_t count = s > 0 ? int64_t{s} : -int64_t{s};
  for (int64_t i = 0; i < count; ++i) {
    const float next = v * step;
    if (next == v) break;
    v = next;
  }
  return v;
}

// The MXCSR handling every kernel shares: the caller's word W0 is read on
// entry; Enter may then set a rounding field for the call; on exit the word
// is reloaded when the rounding field or the invalid flag differ from W0, so
// the caller gets both back, with its control bits (denormals-are-zero
// included) whole.
class RoundingScope {
 public:
  RoundingScope() : m_Entry(_mm_getcsr()) {}
  // field: the rounding field to run with; denormal operands count while it
  // is in force.
  void Enter(uint32_t field) {
    if ((m_Entry & kMxcsrRounding) != field)
      _mm_setcsr(((m_Entry & ~kMxcsrRounding) | field) & ~kMxcsrDenormalsAreZero);
  }
  // Restores and returns the word found at exit.
  uint32_t Restore() {
    const uint32_t exit = _mm_getcsr();
    if (((exit ^ m_Entry) & (kMxcsrRounding | kMxcsrInvalidFlag)) != 0) _mm_setcsr(m_Entry);
    return exit;
  }

 private:
  uint32_t m_Entry;
};

// The element transform on four lanes, up to the 32-bit integers.
template <bool kWide, bool kAway>
struct RoundTransform {
  bool scaled;
  bool nearest;  // toward-zero/nearest-even kernel: round by MXCSR (else truncate)
  __m128 factor;

  __m128i operator()(__m128 x) const {
    __m128 v = scaled ? _mm_mul_ps(x, factor) : x;
    // MINPS returns its second operand for a NaN sample: the clamp.
    if constexpr (!kWide) v = _mm_min_ps(v, _mm_set1_ps(32767.0f));
    if constexpr (kAway) {
      const __m128 sign = _mm_castsi128_ps(_mm_set1_epi32(static_cast<int32_t>(0x80000000u)));
      v = _mm_or_ps(_mm_add_ps(_mm_andnot_ps(sign, v), _mm_set1_ps(0.5f)), _mm_and_ps(sign, v));
    }
    __m128i r = (kAway || !nearest) ? _mm_cvttps_epi32(v) : _mm_cvtps_epi32(v);
    if constexpr (kWide) {
      // From 2^31 on (and +infinity, and a NaN with the sign clear) the
      // conversion's 0x80000000 turns into 0x7FFFFFFF.
      const __m128i over = _mm_cmpgt_epi32(_mm_castps_si128(v), _mm_set1_epi32(0x4effffff));
      r = _mm_xor_si128(r, over);
    }
    return r;
  }
};

// Output stores of n = 1, 2, 4 or 8 results.
template <typename Out>
inline void StoreResults(Out* dst, __m128i lo, __m128i hi, int n, bool aligned) {
  if constexpr (sizeof(Out) == 2) {
    const __m128i packed = _mm_packs_epi32(lo, hi);
    if (n == 8) {
      if (aligned)
        StoreA128(dst, packed);
      else
        StoreU128(dst, packed);
    } else if (n == 4) {
      StoreAs<uint64_t>(dst, static_cast<uint64_t>(_mm_cvtsi128_si64(packed)));
    } else if (n == 2) {
      StoreAs<uint32_t>(dst, static_cast<uint32_t>(_mm_cvtsi128_si32(packed)));
    } else {
      StoreAs<uint16_t>(dst, static_cast<uint16_t>(_mm_cvtsi128_si32(packed)));
    }
  } else {
    if (n == 8) {
      if (aligned) {
        StoreA128(dst, lo);
        StoreA128(dst + 4, hi);
      } else {
        StoreU128(dst, lo);
        StoreU128(dst + 4, hi);
      }
    } else if (n == 4) {
      StoreU128(dst, lo);
    } else if (n == 2) {
      StoreAs<uint64_t>(dst, static_cast<uint64_t>(_mm_cvtsi128_si64(lo)));
    } else {
      StoreAs<int32_t>(dst, _mm_cvtsi128_si32(lo));
    }
  }
}

// One kernel: the head to the aligned pointer's boundary, the body of eight
// (sixteen on the level-2/3 16-bit aligned path), the tail of 4, 2 and 1.
template <int kLevel, typename Out, bool kAway>
inline void RoundKernel(const float* src, Out* dst, int64_t n, bool nearest, int32_t scaleExp) {
  constexpr bool kWide = sizeof(Out) == 4;
  RoundingScope rounding;
  // The factor comes first, in the caller's rounding mode.
  const bool scaled = scaleExp != 0;
  const float factor = scaled ? ScaleFactor(scaleExp) : 1.0f;
  // The 32-bit away kernel truncates its half-added sums; the nearest-even
  // kernel rounds by the field; the others keep the caller's.
  if (kAway && kWide) rounding.Enter(kMxcsrRounding);
  if (!kAway && nearest) rounding.Enter(0);
  const RoundTransform<kWide, kAway> transform{scaled, nearest, _mm_set1_ps(factor)};
  const float* s = src;
  Out* d = dst;
  int64_t left = n;

  // The head aligns the destination, or the source for the 16-bit away
  // kernel; only the address bits at and above the element size count.
  const bool headOnSource = kAway && !kWide;
  const uintptr_t headMask = headOnSource ? 12 : (kWide ? 12 : 14);
  while (left > 0 && ((headOnSource ? Addr(s) : Addr(d)) & headMask) != 0) {
    StoreResults(d, transform(_mm_set_ss(LoadF(s))), _mm_setzero_si128(), 1, false);
    ++s, ++d, --left;
  }

  auto body = [&]<bool kAlignedDst, int kLoad>() LEVEL_INLINE {
    auto load = [](const float* p) LEVEL_INLINE {
      if constexpr (kLoad == 0) return _mm_load_ps(p);
      if constexpr (kLoad == 1) return _mm_loadu_ps(p);
      if constexpr (kLoad == 2) return _mm_castsi128_ps(LoadDq128(p));
    };
    constexpr bool kSixteen = kLevel >= 2 && !kWide && !kAway && kAlignedDst && kLoad == 0;
    if constexpr (kSixteen) {
      for (; left >= 16; left -= 16, s += 16, d += 16) {
        _mm_prefetch(reinterpret_cast<const char*>(s) + 128, _MM_HINT_T0);
        const __m128i a = transform(load(s)), b = transform(load(s + 4));
        const __m128i c = transform(load(s + 8)), e = transform(load(s + 12));
        StoreResults(d, a, b, 8, true);
        StoreResults(d + 8, c, e, 8, true);
      }
    }
    for (; left >= 8; left -= 8, s += 8, d += 8) {
      if constexpr (kLevel >= 2 && !kWide && !kAway && !kSixteen)
        _mm_prefetch(reinterpret_cast<const char*>(s) + 64, _MM_HINT_T0);
      StoreResults(d, transform(load(s)), transform(load(s + 4)), 8, kAlignedDst);
    }
  };
  if (left >= 8) {
    if (!Aligned16(d))
      body.template operator()<false, 1>();
    else if (Aligned16(s))
      body.template operator()<true, 0>();
    else if ((Addr(s) & 7) == 0 || kAway)
      body.template operator()<true, 1>();
    else
      body.template operator()<true, 2>();
  }
  if (left >= 4) {
    StoreResults(d, transform(_mm_loadu_ps(s)), _mm_setzero_si128(), 4, false);
    s += 4, d += 4, left -= 4;
  }
  if (left >= 2) {
    const __m128 two = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s)));
    StoreResults(d, transform(two), _mm_setzero_si128(), 2, false);
    s += 2, d += 2, left -= 2;
  }
  if (left == 1) StoreResults(d, transform(_mm_set_ss(LoadF(s))), _mm_setzero_si128(), 1, false);

  const uint32_t exitWord = rounding.Restore();
  // A NaN sample met the invalid flag on its way (the clamp or the
  // conversion raised it, or it was already set): those elements become 0.
  if (!kAway && (exitWord & kMxcsrInvalidFlag) != 0) {
    for (int64_t i = 0; i < n; ++i)
      if ((LoadAs<uint32_t>(src + i) & 0x7FFFFFFFu) > 0x7F800000u) StoreAs<Out>(dst + i, Out{0});
  }
}

template <int kLevel, typename Out>
inline DspStatus F32ToIntScaled(const float* src, Out* dst, int32_t len, RoundMode roundMode, int32_t scaleExp) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  if (roundMode == ROUND_NEAREST_EVEN)
    RoundKernel<kLevel, Out, false>(src, dst, len, true, scaleExp);
  else if (roundMode == ROUND_TOWARD_ZERO)
    RoundKernel<kLevel, Out, false>(src, dst, len, false, scaleExp);
  else
    RoundKernel<kLevel, Out, true>(src, dst, len, false, scaleExp);
  return DSP_STATUS_OK;
}

}  // namespace convert_level
}  // namespace
