// The spare conversion kernels, written once for the level files
// (ConvKernelsL1.cpp, ConvKernelsL2.cpp, ConvKernelsL3.cpp). kLevel selects
// the places where the levels differ: the S8 widening (byte shuffles from
// level 2 on) and the streaming threshold of the double-precision widenings.
//
// Each element rule is written once on four lanes; heads and tails run the
// same rule on a vector holding one, two or four elements (the unused lanes
// hold zeros, which raise no flag), so every path gives the same bits.
#pragma once

#include <emmintrin.h>
#include <pmmintrin.h>
#include <tmmintrin.h>
#include <xmmintrin.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "primitives/levels/ConvertKernels.h"
#include "primitives/levels/LevelCommon.h"

namespace {
namespace conv_kernels {

// ---------------------------------------------------------------------------
// Blocks: a head of single elements until the chosen pointer is aligned, a
// main step of 8 (two vectors of four 32-bit lanes), a tail of 4, 2 and 1.
// Elements enter a lane widened to 32 bits (In = 2 or 4 bytes, zero-
// extended) and leave either as 32-bit lanes (Out = 4 bytes) or through the
// rule's own narrowing to 1 or 2 bytes.

template <int kBytes>
inline __m128i LoadLanes(const void* p, int count) {
  if constexpr (kBytes == 4) {
    if (count == 4) return LoadU128(p);
    return count == 2 ? _mm_loadl_epi64(static_cast<const __m128i*>(p)) : _mm_cvtsi32_si128(LoadAs<int32_t>(p));
  } else {
    __m128i raw;
    if (count == 4)
      raw = _mm_loadl_epi64(static_cast<const __m128i*>(p));
    else
      raw = count == 2 ? _mm_cvtsi32_si128(LoadAs<int32_t>(p)) : _mm_cvtsi32_si128(LoadAs<uint16_t>(p));
    return _mm_unpacklo_epi16(raw, _mm_setzero_si128());
  }
}

// Stores the first `count` elements of a packed vector (the elements'
// bytes back to back from byte 0).
inline void StorePacked(void* p, __m128i packed, int bytes) {
  alignas(16) unsigned char staged[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(staged), packed);
  std::memcpy(p, staged, bytes);
}

// rule.Lanes(__m128i in32) -> __m128i: four results; rule.Pack(lo, hi) packs
// eight results back to back (for 4-byte outputs it is not used).
template <int kIn, int kOut, typename Rule>
inline void RunBlocks(const void* srcBytes, void* dstBytes, int64_t n, bool headOnSource, const Rule& rule) {
  auto src = static_cast<const unsigned char*>(srcBytes);
  auto dst = static_cast<unsigned char*>(dstBytes);
  auto block = [&](int count) {
    if constexpr (kOut == 4) {
      if (count == 8) {
        StoreU128(dst, rule.Lanes(LoadLanes<kIn>(src, 4)));
        StoreU128(dst + 16, rule.Lanes(LoadLanes<kIn>(src + 4 * kIn, 4)));
      } else {
        StorePacked(dst, rule.Lanes(LoadLanes<kIn>(src, count)), 4 * count);
      }
    } else {
      const __m128i lo = rule.Lanes(LoadLanes<kIn>(src, count < 8 ? count : 4));
      const __m128i hi = count == 8 ? rule.Lanes(LoadLanes<kIn>(src + 4 * kIn, 4)) : _mm_setzero_si128();
      StorePacked(dst, rule.Pack(lo, hi), kOut * count);
    }
    src += kIn * count;
    dst += kOut * count;
    n -= count;
  };
  while (n > 0 && ((headOnSource ? Addr(src) : Addr(dst)) & 15) != 0) block(1);
  while (n >= 8) block(8);
  for (int count : {4, 2, 1})
    if (n >= count) block(count);
}

inline __m128i PackS16(__m128i lo, __m128i hi) { return _mm_packs_epi32(lo, hi); }

// ---------------------------------------------------------------------------
// Integer widening

inline __m128 S8Lanes(__m128i in32) { return _mm_cvtepi32_ps(_mm_srai_epi32(_mm_slli_epi32(in32, 24), 24)); }

// Sixteen signed bytes to four vectors of 32-bit lanes: level 1 interleaves
// each byte into the top of its lane, levels 2 and 3 replicate it with byte
// shuffles; both then shift arithmetically by 24.
template <int kLevel>
inline void S8Widen16(__m128i bytes, __m128i out[4]) {
  if constexpr (kLevel == 1) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo16 = _mm_unpacklo_epi8(zero, bytes), hi16 = _mm_unpackhi_epi8(zero, bytes);
    out[0] = _mm_srai_epi32(_mm_unpacklo_epi16(zero, lo16), 24);
    out[1] = _mm_srai_epi32(_mm_unpackhi_epi16(zero, lo16), 24);
    out[2] = _mm_srai_epi32(_mm_unpacklo_epi16(zero, hi16), 24);
    out[3] = _mm_srai_epi32(_mm_unpackhi_epi16(zero, hi16), 24);
  } else {
    const __m128i index = _mm_set_epi8(3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0);
    const __m128i four = _mm_set1_epi8(4);
    __m128i at = index;
    for (int k = 0; k < 4; ++k, at = _mm_add_epi8(at, four)) out[k] = _mm_srai_epi32(_mm_shuffle_epi8(bytes, at), 24);
  }
}

// Eight 16-bit values to two vectors of 32-bit lanes: level 1 puts each into
// the upper half of its lane and shifts back, levels 2 and 3 interleave it
// with its sign mask; the unsigned form interleaves with zeros.
template <int kLevel, bool kSigned>
inline void Widen8(__m128i words, __m128i out[2]) {
  const __m128i zero = _mm_setzero_si128();
  if constexpr (!kSigned) {
    out[0] = _mm_unpacklo_epi16(words, zero);
    out[1] = _mm_unpackhi_epi16(words, zero);
  } else if constexpr (kLevel == 1) {
    out[0] = _mm_srai_epi32(_mm_unpacklo_epi16(zero, words), 16);
    out[1] = _mm_srai_epi32(_mm_unpackhi_epi16(zero, words), 16);
  } else {
    const __m128i sign = _mm_cmpgt_epi16(zero, words);
    out[0] = _mm_unpacklo_epi16(words, sign);
    out[1] = _mm_unpackhi_epi16(words, sign);
  }
}

// 8- and 16-bit integers to float: the head converts one element while the
// destination has bit 2 or 3 set (it runs before the count is looked at),
// the main step widens 16 bytes of source (aligned, LDDQU or unaligned
// loads; aligned stores unless the destination is off its 4-byte grid), the
// tail halves 8, 4, 2, 1 with loads of exactly their own bytes.
template <int kLevel, typename S>
inline void WidenToF32(const S* src, float* dst, int64_t n) {
  constexpr int kStep = 16 / sizeof(S);
  auto one = [&] {
    StoreAs<float>(dst, static_cast<float>(LoadAs<S>(src)));
    ++src, ++dst, --n;
  };
  while ((Addr(dst) & 12) != 0) {
    one();
    if (n == 0) return;
  }
  auto widen = [](__m128i raw, __m128 out[]) {
    __m128i lanes[4];
    if constexpr (std::is_same_v<S, int8_t>) {
      S8Widen16<kLevel>(raw, lanes);
    } else if constexpr (std::is_same_v<S, uint8_t>) {
      const __m128i zero = _mm_setzero_si128();
      const __m128i lo16 = _mm_unpacklo_epi8(raw, zero), hi16 = _mm_unpackhi_epi8(raw, zero);
      lanes[0] = _mm_unpacklo_epi16(lo16, zero);
      lanes[1] = _mm_unpackhi_epi16(lo16, zero);
      lanes[2] = _mm_unpacklo_epi16(hi16, zero);
      lanes[3] = _mm_unpackhi_epi16(hi16, zero);
    } else {
      Widen8<kLevel, std::is_same_v<S, int16_t>>(raw, lanes);
    }
    for (int k = 0; k < kStep / 4; ++k) out[k] = _mm_cvtepi32_ps(lanes[k]);
  };
  auto run = [&]<int kLoad, bool kAlignedStore>() {
    for (; n >= kStep; n -= kStep, src += kStep, dst += kStep) {
      __m128 out[4];
      widen(kLoad == 0 ? LoadA128(src) : (kLoad == 1 ? LoadDq128(src) : LoadU128(src)), out);
      for (int k = 0; k < kStep / 4; ++k) {
        if constexpr (kAlignedStore)
          _mm_store_ps(dst + 4 * k, out[k]);
        else
          _mm_storeu_ps(dst + 4 * k, out[k]);
      }
    }
  };
  if (!Aligned16(dst))
    run.template operator()<2, false>();
  else if (Aligned16(src))
    run.template operator()<0, true>();
  else
    run.template operator()<1, true>();
  for (int count = kStep / 2; count >= 2; count /= 2) {
    if (n < count) continue;
    alignas(16) unsigned char raw[16] = {};
    std::memcpy(raw, src, count * sizeof(S));
    __m128 out[4];
    widen(LoadA128(raw), out);
    alignas(16) float staged[16];
    for (int k = 0; k < 4; ++k) _mm_store_ps(staged + 4 * k, out[k]);
    std::memcpy(dst, staged, count * sizeof(float));
    src += count, dst += count, n -= count;
  }
  if (n == 1) one();
}

// S32 to double: one head element for a destination 8 past a 16-byte
// boundary, four per step from two 8-byte loads, then 2 and 1.
inline void S32ToF64(const int32_t* src, double* dst, int64_t n) {
  auto one = [&] {
    StoreAs<double>(dst, static_cast<double>(LoadAs<int32_t>(src)));
    ++src, ++dst, --n;
  };
  if ((Addr(dst) & 15) == 8) {
    one();
    if (n == 0) return;
  }
  auto two = [](const int32_t* p) { return _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))); };
  const bool aligned = Aligned16(dst);
  for (; n >= 4; n -= 4, src += 4, dst += 4) {
    if (aligned) {
      _mm_store_pd(dst, two(src));
      _mm_store_pd(dst + 2, two(src + 2));
    } else {
      _mm_storeu_pd(dst, two(src));
      _mm_storeu_pd(dst + 2, two(src + 2));
    }
  }
  if (n >= 2) {
    _mm_storeu_pd(dst, two(src));
    src += 2, dst += 2, n -= 2;
  }
  if (n == 1) one();
}

// ---------------------------------------------------------------------------
// Half precision

// One double from any address.
inline __m128d LoadOneF64(const double* p) { return _mm_set_sd(LoadAs<double>(p)); }

inline __m128i Set1(uint32_t v) { return _mm_set1_epi32(static_cast<int32_t>(v)); }

// Sign bit 31 of each lane as a 16-bit pack of 0x8000 or 0.
inline __m128i SignTo16(__m128i bits32) { return _mm_and_si128(_mm_srai_epi32(bits32, 16), Set1(0xFFFF8000u)); }

struct HalfToS16Rule {
  bool nearest;
  int32_t scaleExp;
  __m128i Lanes(__m128i h) const {
    const __m128i mag = _mm_and_si128(h, Set1(0x7FFF));
    // NaN becomes +0.
    h = _mm_andnot_si128(_mm_cmpgt_epi32(mag, Set1(0x7C00)), h);
    const __m128i exponentOnes = _mm_cmpeq_epi32(_mm_and_si128(h, Set1(0x7C00)), Set1(0x7C00));
    if (scaleExp > 16) {
      // Every finite half scaled by 2^-17 or less is below one half.
      const __m128i signExtended = _mm_srai_epi32(_mm_slli_epi32(h, 16), 31);
      return _mm_and_si128(_mm_xor_si128(signExtended, Set1(0x7FFF)), exponentOnes);
    }
    __m128i m = _mm_add_epi32(_mm_slli_epi32(_mm_and_si128(h, Set1(0x7FFF)), 13), Set1(0x38000000));
    const __m128i shift = Set1(static_cast<uint32_t>(scaleExp) << 23);
    if (scaleExp >= 2)
      m = _mm_sub_epi32(m, _mm_and_si128(_mm_cmplt_epi32(m, Set1(0x47800000)), shift));
    else
      m = _mm_sub_epi32(m, shift);
    m = _mm_or_si128(m, _mm_slli_epi32(_mm_and_si128(h, Set1(0x8000)), 16));
    const __m128 f = _mm_castsi128_ps(m);
    return nearest ? _mm_cvtps_epi32(f) : _mm_cvttps_epi32(f);
  }
  __m128i Pack(__m128i lo, __m128i hi) const { return PackS16(lo, hi); }
};

struct S16ToHalfRule {
  bool nearest;
  __m128i Lanes(__m128i words) const {
    const __m128i i = _mm_srai_epi32(_mm_slli_epi32(words, 16), 16);
    __m128i b = _mm_castps_si128(_mm_cvtepi32_ps(i));
    // Rounds the 13 fraction bits about to go to nearest, ties to even; a
    // carry may move into the exponent.
    if (nearest) b = _mm_add_epi32(b, _mm_add_epi32(Set1(0x0FFF), _mm_and_si128(_mm_srli_epi32(b, 13), Set1(1))));
    __m128i mag = _mm_and_si128(b, Set1(0x7FFFFFFF));
    mag = _mm_andnot_si128(_mm_cmplt_epi32(mag, Set1(0x38000000)), _mm_sub_epi32(mag, Set1(0x38000000)));
    return _mm_or_si128(_mm_srli_epi32(mag, 13), SignTo16(b));
  }
  __m128i Pack(__m128i lo, __m128i hi) const { return PackS16(lo, hi); }
};

struct HalfToF32Rule {
  __m128i Lanes(__m128i h) const {
    __m128i b = _mm_or_si128(_mm_slli_epi32(_mm_and_si128(h, Set1(0x8000)), 16),
                             _mm_slli_epi32(_mm_and_si128(h, Set1(0x7FFF)), 13));
    const __m128i exponentOnes = _mm_cmpeq_epi32(_mm_and_si128(h, Set1(0x7C00)), Set1(0x7C00));
    // Only infinities and NaNs need the top exponent bits set by hand; the
    // multiplication by 2^112 rebiases everything else exactly (subnormal
    // halves through a single-precision denormal operand).
    if (_mm_movemask_epi8(exponentOnes) != 0) b = _mm_or_si128(b, _mm_and_si128(exponentOnes, Set1(0x7F000000)));
    return _mm_castps_si128(_mm_mul_ps(_mm_castsi128_ps(b), _mm_castsi128_ps(Set1(0x77800000))));
  }
  __m128i Pack(__m128i lo, __m128i) const { return lo; }
};

struct F32ToHalfRule {
  bool nearest;
  __m128i Lanes(__m128i bits) const {
    const __m128 magnitude = _mm_castsi128_ps(_mm_and_si128(bits, Set1(0x7FFFFFFF)));
    // min(65536, a): a NaN a passes as the second operand.
    const __m128 m = _mm_min_ps(_mm_castsi128_ps(Set1(0x47800000)), magnitude);
    const __m128i p = _mm_castps_si128(_mm_mul_ps(m, _mm_castsi128_ps(Set1(0x07800000))));
    __m128i r;
    if (nearest) {
      r = _mm_srli_epi32(_mm_add_epi32(p, _mm_add_epi32(Set1(0x0FFF), _mm_and_si128(_mm_srli_epi32(p, 13), Set1(1)))),
                         13);
      // Signed saturation to 0x7FFF: only NaNs get beyond it.
      const __m128i over = _mm_cmpgt_epi32(r, Set1(0x7FFF));
      r = _mm_or_si128(_mm_andnot_si128(over, r), _mm_and_si128(over, Set1(0x7FFF)));
    } else {
      r = _mm_and_si128(_mm_srli_epi32(p, 13), Set1(0x7FFF));
    }
    return _mm_or_si128(r, SignTo16(bits));
  }
  __m128i Pack(__m128i lo, __m128i hi) const { return PackS16(lo, hi); }
};

// ---------------------------------------------------------------------------
// 64-bit to 32-bit integers

inline int32_t S64ToS32Away(int64_t x, int32_t shift) {
  const int64_t q = x >> shift;
  const uint64_t r = static_cast<uint64_t>(x) & ((uint64_t{1} << shift) - 1);
  const uint64_t half = uint64_t{1} << (shift - 1);
  const bool up = r > half || (r == half && x >= 0);
  if (q < INT32_MIN || q > INT32_MAX || (q == INT32_MAX && up)) return x >= 0 ? INT32_MAX : INT32_MIN;
  return static_cast<int32_t>(q + (up ? 1 : 0));
}

inline void S64ToS32(const int64_t* src, int32_t* dst, int64_t n, int32_t shift) {
  for (int64_t i = 0; i < n; ++i) StoreAs<int32_t>(dst + i, S64ToS32Away(LoadAs<int64_t>(src + i), shift));
}

// ---------------------------------------------------------------------------
// Scaled float to integers

enum class Narrow { S8, U8, U16 };

// v = x f, the clamp, the rounding (truncate, MXCSR, or half away from
// zero), the conversion to int32 and, in Pack, the saturating narrowing.
template <Narrow kNarrow, bool kAway>
struct FloatToIntRule {
  bool scaled;
  bool nearest;
  __m128 factor;
  __m128i Lanes(__m128i bits) const {
    __m128 v = _mm_castsi128_ps(bits);
    if (scaled) v = _mm_mul_ps(v, factor);
    // MINPS/MAXPS give their second operand for a NaN: the clamp value.
    if constexpr (kNarrow == Narrow::S8) v = _mm_min_ps(v, _mm_set1_ps(127.0f));
    if constexpr (kNarrow == Narrow::U8) v = _mm_min_ps(v, _mm_set1_ps(255.0f));
    if constexpr (kNarrow == Narrow::U16) v = _mm_max_ps(v, _mm_setzero_ps());
    if constexpr (kAway) {
      if constexpr (kNarrow == Narrow::S8) {
        const __m128 sign = _mm_castsi128_ps(Set1(0x80000000u));
        v = _mm_or_ps(_mm_add_ps(_mm_andnot_ps(sign, v), _mm_set1_ps(0.5f)), _mm_and_ps(sign, v));
      } else {
        v = _mm_add_ps(v, _mm_set1_ps(0.5f));
      }
    }
    return (kAway || !nearest) ? _mm_cvttps_epi32(v) : _mm_cvtps_epi32(v);
  }
  __m128i Pack(__m128i lo, __m128i hi) const {
    if constexpr (kNarrow == Narrow::S8) return _mm_packs_epi16(_mm_packs_epi32(lo, hi), _mm_setzero_si128());
    if constexpr (kNarrow == Narrow::U8) return _mm_packus_epi16(_mm_packs_epi32(lo, hi), _mm_setzero_si128());
    const __m128i bias = Set1(0xFFFF8000u);
    return _mm_xor_si128(_mm_packs_epi32(_mm_add_epi32(lo, bias), _mm_add_epi32(hi, bias)), _mm_set1_epi16(-32768));
  }
};

// The frame both families share: the factor in the caller's rounding, the
// nearest-even family's own rounding for the call, the caller's rounding and
// invalid flag back on exit, and (nearest-even family) 0 for every NaN
// element once the invalid flag shows one may have passed.
template <typename Out, Narrow kNarrow, bool kAway>
inline void FloatToInt(const float* src, Out* dst, int64_t n, bool nearest, int32_t scaleExp, bool headOnSource) {
  convert_level::RoundingScope rounding;
  const bool scaled = scaleExp != 0;
  const float factor = scaled ? convert_level::ScaleFactor(scaleExp) : 1.0f;
  if (!kAway && nearest) rounding.Enter(0);
  const FloatToIntRule<kNarrow, kAway> rule{scaled, nearest, _mm_set1_ps(factor)};
  RunBlocks<4, sizeof(Out)>(src, dst, n, headOnSource, rule);
  const uint32_t exitWord = rounding.Restore();
  if (!kAway && kNarrow != Narrow::U16 && (exitWord & convert_level::kMxcsrInvalidFlag) != 0) {
    for (int64_t i = 0; i < n; ++i)
      if ((LoadAs<uint32_t>(src + i) & 0x7FFFFFFFu) > 0x7F800000u) StoreAs<Out>(dst + i, Out{0});
  }
}

// Double to int32 on two lanes: min(v, 2^31 - 1) (a NaN takes the bound),
// the rounding, the conversion (below the range: -2^31).
template <bool kAway>
inline __m128i DoubleToIntPair(__m128d v, bool scaled, bool nearest, __m128d factor) {
  if (scaled) v = _mm_mul_pd(v, factor);
  v = _mm_min_pd(v, _mm_set1_pd(2147483647.0));
  if constexpr (kAway) {
    const __m128d sign = _mm_castsi128_pd(_mm_set1_epi64x(static_cast<int64_t>(0x8000000000000000ull)));
    v = _mm_or_pd(_mm_add_pd(_mm_andnot_pd(sign, v), _mm_set1_pd(0.5)), _mm_and_pd(sign, v));
  }
  return (kAway || !nearest) ? _mm_cvttpd_epi32(v) : _mm_cvtpd_epi32(v);
}

template <bool kAway>
inline void DoubleToInt(const double* src, int32_t* dst, int64_t n, bool nearest, int32_t scaleExp) {
  convert_level::RoundingScope rounding;
  const bool scaled = scaleExp != 0;
  const __m128d factor = _mm_set1_pd(scaled ? static_cast<double>(convert_level::ScaleFactor(scaleExp)) : 1.0);
  if (!kAway && nearest) rounding.Enter(0);
  auto convert = [&](const double* s, int32_t* d, int count) {
    const __m128d v = count == 2 ? _mm_loadu_pd(s) : LoadOneF64(s);
    const __m128i r = DoubleToIntPair<kAway>(v, scaled, nearest, factor);
    if (count == 2)
      StoreAs<int64_t>(d, _mm_cvtsi128_si64(r));
    else
      StoreAs<int32_t>(d, _mm_cvtsi128_si32(r));
  };
  const double* s = src;
  int32_t* d = dst;
  int64_t left = n;
  if ((Addr(d) & (kAway ? 4 : 7)) != 0) convert(s++, d++, 1), --left;
  for (; left >= 4; left -= 4, s += 4, d += 4) {
    convert(s, d, 2);
    convert(s + 2, d + 2, 2);
  }
  if (left >= 2) convert(s, d, 2), s += 2, d += 2, left -= 2;
  if (left == 1) convert(s, d, 1);
  const uint32_t exitWord = rounding.Restore();
  if (!kAway && (exitWord & convert_level::kMxcsrInvalidFlag) != 0) {
    for (int64_t i = 0; i < n; ++i) {
      const uint64_t bits = LoadAs<uint64_t>(src + i);
      const uint32_t high = static_cast<uint32_t>(bits >> 32) & 0x7FFFFFFFu, low = static_cast<uint32_t>(bits);
      if (high > 0x7FF00000u || (high == 0x7FF00000u && low != 0)) StoreAs<int32_t>(dst + i, 0);
    }
  }
}

// ---------------------------------------------------------------------------
// Double precision

// Elements whose source and destination bytes together fill 2 MiB (level 1)
// or 4 MiB (levels 2 and 3): above that the widenings stream their stores.
template <int kLevel>
constexpr int64_t StreamThreshold(int64_t bytesPerElement) {
  return (kLevel == 1 ? 2 : 4) * 1048576 / bytesPerElement;
}

// F32 or S16 to double: the head aligns the destination; eight elements per
// step from 8- or 4-byte pieces of two, with aligned or streaming stores;
// the tail one at a time.
template <int kLevel, typename S>
inline void WidenToF64(const S* src, double* dst, int64_t n, const double* factor) {
  auto value = [&](const S* p) {
    const double v = static_cast<double>(LoadAs<S>(p));
    return factor != nullptr ? v * *factor : v;
  };
  auto pair = [&](const S* p) {
    __m128d v;
    if constexpr (std::is_same_v<S, float>)
      v = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    else
      v = _mm_cvtepi32_pd(
          _mm_srai_epi32(_mm_unpacklo_epi16(_mm_setzero_si128(), _mm_cvtsi32_si128(LoadAs<int32_t>(p))), 16));
    return factor != nullptr ? _mm_mul_pd(v, _mm_set1_pd(*factor)) : v;
  };
  while (n > 0 && !Aligned16(dst)) {
    StoreAs<double>(dst, value(src));
    ++src, ++dst, --n;
  }
  if (n >= 8) {
    const bool stream = n - 8 > StreamThreshold<kLevel>(sizeof(S) + 8);
    for (; n >= 8; n -= 8, src += 8, dst += 8) {
      for (int k = 0; k < 4; ++k) {
        if (stream)
          _mm_stream_pd(dst + 2 * k, pair(src + 2 * k));
        else
          _mm_store_pd(dst + 2 * k, pair(src + 2 * k));
      }
    }
    if (stream) _mm_sfence();
  }
  for (; n > 0; --n, ++src, ++dst) StoreAs<double>(dst, value(src));
}

// min(x, C) then max(v, -C), C the double nearest 3.402823466e+38, narrowed
// in the caller's rounding.
inline void F64ToF32(const double* src, float* dst, int64_t n) {
  const __m128d hi = _mm_set1_pd(3.402823466e+38), lo = _mm_set1_pd(-3.402823466e+38);
  auto narrow = [&](__m128d v) { return _mm_cvtpd_ps(_mm_max_pd(_mm_min_pd(v, hi), lo)); };
  auto one = [&] {
    StoreAs<float>(dst, _mm_cvtss_f32(narrow(LoadOneF64(src))));
    ++src, ++dst, --n;
  };
  while (n > 0 && !Aligned16(src)) one();
  if (n >= 8) {
    const bool wide = (Addr(dst) & 4) == 0;
    for (; n >= 8; n -= 8, src += 8, dst += 8) {
      for (int k = 0; k < 4; ++k) {
        const __m128 two = narrow(_mm_load_pd(src + 2 * k));
        if (wide) {
          _mm_storel_pi(reinterpret_cast<__m64*>(dst + 2 * k), two);
        } else {
          StoreAs<float>(dst + 2 * k, _mm_cvtss_f32(two));
          StoreAs<float>(dst + 2 * k + 1, _mm_cvtss_f32(_mm_shuffle_ps(two, two, 1)));
        }
      }
    }
  }
  while (n > 0) one();
}

// ---------------------------------------------------------------------------
// Packed 24-bit samples

inline int32_t Load24(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(LoadAs<uint16_t>(p)) |
                              static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(p[2]))) << 16);
}
inline void Store24(uint8_t* p, int32_t v) {
  StoreAs<uint16_t>(p, static_cast<uint16_t>(v));
  p[2] = static_cast<uint8_t>(v >> 16);
}
inline int32_t Saturate24(int64_t v) {
  return static_cast<int32_t>(v < -8388608 ? -8388608 : (v > 8388607 ? 8388607 : v));
}

// The first sample alone (so that every later 4-byte load, which starts one
// byte before its sample, stays inside the source), singles until the
// destination is aligned, eight per step, singles.
inline void S24ToS32(const uint8_t* src, int32_t* dst, int64_t n) {
  auto one = [&] {
    StoreAs<int32_t>(dst, Load24(src));
    src += 3, ++dst, --n;
  };
  one();
  while (n > 0 && !Aligned16(dst)) one();
  for (; n >= 8; n -= 8, src += 24, dst += 8) {
    auto four = [](const uint8_t* p) {
      return _mm_srai_epi32(
          _mm_set_epi32(LoadAs<int32_t>(p + 8), LoadAs<int32_t>(p + 5), LoadAs<int32_t>(p + 2), LoadAs<int32_t>(p - 1)),
          8);
    };
    StoreA128(dst, four(src));
    StoreA128(dst + 4, four(src + 12));
  }
  while (n > 0) one();
}

// Four results written with 4-byte stores 3 bytes apart: each store's extra
// byte is rewritten by the next sample, and the last one's by the sample
// that still follows (the main step runs only while five remain).
inline void Store24x4(uint8_t* dst, __m128i v) {
  alignas(16) int32_t r[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(r), v);
  for (int k = 0; k < 4; ++k) StoreAs<int32_t>(dst + 3 * k, r[k]);
}

inline __m128i Clamp24(__m128i v) {
  const __m128i hi = _mm_set1_epi32(8388607), lo = _mm_set1_epi32(-8388608);
  const __m128i over = _mm_cmpgt_epi32(v, hi), under = _mm_cmplt_epi32(v, lo);
  v = _mm_or_si128(_mm_andnot_si128(over, v), _mm_and_si128(over, hi));
  return _mm_or_si128(_mm_andnot_si128(under, v), _mm_and_si128(under, lo));
}

inline void S32ToS24(const int32_t* src, uint8_t* dst, int64_t n) {
  auto one = [&] {
    Store24(dst, Saturate24(LoadAs<int32_t>(src)));
    ++src, dst += 3, --n;
  };
  while (n > 0 && !Aligned16(src)) one();
  for (; n >= 5; n -= 4, src += 4, dst += 12) Store24x4(dst, Clamp24(LoadA128(src)));
  while (n > 0) one();
}

// x / 2^s rounded half to even: X + (2^(s-1) - 1) + (bit s of X), shifted by
// s in 64 bits.
inline int32_t RightShiftEven(int32_t x, int32_t s, int64_t c) {
  const int64_t wide = x;
  const int64_t p = (wide >> s) & 1;
  return static_cast<int32_t>((wide + c + p) >> s);
}

inline void S32ToS24Right(const int32_t* src, uint8_t* dst, int64_t n, int32_t s) {
  const int64_t c = static_cast<int32_t>((uint32_t{1} << (s - 1)) - 1u);
  auto value = [&](const int32_t* p) { return Saturate24(RightShiftEven(LoadAs<int32_t>(p), s, c)); };
  for (; n >= 5; n -= 4, src += 4, dst += 12)
    Store24x4(dst, _mm_set_epi32(value(src + 3), value(src + 2), value(src + 1), value(src)));
  for (; n > 0; --n, ++src, dst += 3) Store24(dst, value(src));
}

inline void S32ToS24Left(const int32_t* src, uint8_t* dst, int64_t n, int32_t s) {
  auto one = [&] {
    Store24(dst, Saturate24(static_cast<int64_t>(LoadAs<int32_t>(src)) * (int64_t{1} << s)));
    ++src, dst += 3, --n;
  };
  if (s > 23) {
    while (n > 0) one();
    return;
  }
  // The range whose products with 2^s still fit 24 bits.
  const __m128i hi = _mm_set1_epi32(static_cast<int32_t>(8388607u >> s)), lo = _mm_set1_epi32(-8388608 >> s);
  const __m128i count = _mm_cvtsi32_si128(s);
  while (n > 0 && !Aligned16(src)) one();
  for (; n >= 5; n -= 4, src += 4, dst += 12) {
    const __m128i x = LoadA128(src);
    const __m128i over = _mm_cmpgt_epi32(x, hi), under = _mm_cmplt_epi32(x, lo);
    __m128i r = _mm_sll_epi32(_mm_andnot_si128(_mm_or_si128(over, under), x), count);
    r = _mm_or_si128(r, _mm_and_si128(over, _mm_set1_epi32(8388607)));
    r = _mm_or_si128(r, _mm_and_si128(under, _mm_set1_epi32(-8388608)));
    Store24x4(dst, r);
  }
  while (n > 0) one();
}

}  // namespace conv_kernels
}  // namespace
