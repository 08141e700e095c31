// The power routine of the processor-level builds, written once; the level
// files name the builds (see LevelCommon.h for why all of this lives in an
// unnamed namespace).
#pragma once

#include <xmmintrin.h>

#include "primitives/DspTypes.h"
#include "primitives/PowerElement.h"
#include "primitives/levels/LevelCommon.h"
#include "primitives/levels/PowerLevels.h"

namespace {
namespace power_level {

const VecPowF32TableSet& T = VecPowF32Tables;

inline __m128d SplatD(double v) { return _mm_set1_pd(v); }
inline __m128d SplatBits(uint64_t bits) { return _mm_castsi128_pd(_mm_set1_epi64x(static_cast<int64_t>(bits))); }

// ln x of two positive normal floats widened to double (lanes of x), by the
// baseline's table method: x = 2^E m, r = m rounded to a multiple of 1/256
// (ties up, through the sticky bits), k = 256 (r - 1), and
// ln x = E ln2 + ln(1 + k/256) + a cubic in u = (m - r) / r.
inline __m128d TableLog(__m128d x) {
  const __m128i bits = _mm_castpd_si128(x);
  // The unbiased exponent as a double: added to the bits of 1.5 * 2^52 as an
  // integer, then 1.5 * 2^52 taken away as a double.
  const __m128i e = _mm_sub_epi64(_mm_srli_epi64(bits, 52), _mm_set1_epi64x(T.exponentBias));
  const __m128d exponent =
      _mm_sub_pd(_mm_castsi128_pd(_mm_add_epi64(e, _mm_castpd_si128(SplatD(T.shifter)))), SplatD(T.shifter));
  const __m128d m = _mm_or_pd(_mm_and_pd(x, SplatBits(T.fractionMask)), SplatD(T.doubleOne));
  const __m128d r = _mm_sub_pd(_mm_add_pd(_mm_or_pd(m, SplatBits(T.stickyBits)), SplatD(T.roundingConstant)),
                               SplatD(T.roundingConstant));
  // Row k from the top nine fraction bits.
  alignas(16) uint64_t top[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(top), _mm_srli_epi64(bits, 43));
  const uint64_t k0 = ((top[0] & 0x1FF) + 1) >> 1, k1 = ((top[1] & 0x1FF) + 1) >> 1;
  const __m128d row0 = _mm_loadu_pd(T.logPairs[k0]), row1 = _mm_loadu_pd(T.logPairs[k1]);
  const __m128d logOfRow = _mm_unpacklo_pd(row0, row1);
  const __m128d reciprocal = _mm_unpackhi_pd(row0, row1);
  const __m128d u = _mm_mul_pd(_mm_sub_pd(m, r), reciprocal);
  const __m128d poly =
      _mm_add_pd(u, _mm_mul_pd(_mm_mul_pd(_mm_add_pd(_mm_mul_pd(SplatD(T.c3), u), SplatD(T.c2)), u), u));
  return _mm_add_pd(poly, _mm_add_pd(_mm_mul_pd(exponent, SplatD(T.ln2)), logOfRow));
}

// The fast path on four elements. Returns the lanes that need the
// per-element routine as a 4-bit mask; *out holds the results otherwise.
inline int FastPow4(__m128 x, __m128 y, __m128* out) {
  const __m128i xb = _mm_castps_si128(x), yb = _mm_castps_si128(y);
  // Not a positive normal base; a NaN exponent.
  const __m128i baseSpecial =
      _mm_cmpgt_epi32(_mm_sub_epi32(xb, _mm_set1_epi32(static_cast<int32_t>(T.normalRangeOffset))),
                      _mm_set1_epi32(static_cast<int32_t>(T.normalRangeBound)));
  const __m128i exponentNaN =
      _mm_cmpgt_epi32(_mm_sub_epi32(_mm_and_si128(yb, _mm_set1_epi32(static_cast<int32_t>(T.floatMagnitudeMask))),
                                    _mm_set1_epi32(T.intOne)),
                      _mm_set1_epi32(static_cast<int32_t>(T.largestFloatBits)));
  // t = y ln x, two lanes a vector.
  const __m128d t01 = _mm_mul_pd(_mm_cvtps_pd(y), TableLog(_mm_cvtps_pd(x)));
  const __m128d t23 = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(y, y)), TableLog(_mm_cvtps_pd(_mm_movehl_ps(x, x))));
  // |t| beyond the limit (or NaN): 2^q would leave the normal float range.
  // The upper words of |t| (lanes 1 and 3 of each vector) against the limit's.
  const __m128i magnitude01 = _mm_castpd_si128(_mm_and_pd(t01, SplatBits(T.doubleMagnitudeMask)));
  const __m128i magnitude23 = _mm_castpd_si128(_mm_and_pd(t23, SplatBits(T.doubleMagnitudeMask)));
  const __m128i upper = _mm_castps_si128(
      _mm_shuffle_ps(_mm_castsi128_ps(magnitude01), _mm_castsi128_ps(magnitude23), _MM_SHUFFLE(3, 1, 3, 1)));
  const uint32_t limitUpper = static_cast<uint32_t>(std::bit_cast<uint64_t>(T.exponentLimit) >> 32);
  const __m128i productSpecial = _mm_cmpgt_epi32(upper, _mm_set1_epi32(static_cast<int32_t>(limitUpper)));
  const int special =
      _mm_movemask_ps(_mm_castsi128_ps(_mm_or_si128(_mm_or_si128(baseSpecial, exponentNaN), productSpecial)));
  if (special != 0) return special;

  // w = t 128/ln2 + 1.5 * 2^52: n = round(t 128/ln2) in the low word.
  const __m128d w01 = _mm_add_pd(_mm_mul_pd(t01, SplatD(T.log2eTimes128)), SplatD(T.shifter));
  const __m128d w23 = _mm_add_pd(_mm_mul_pd(t23, SplatD(T.log2eTimes128)), SplatD(T.shifter));
  const __m128i n = _mm_castps_si128(_mm_shuffle_ps(_mm_castpd_ps(w01), _mm_castpd_ps(w23), _MM_SHUFFLE(2, 0, 2, 0)));
  const __m128d r01 = _mm_sub_pd(t01, _mm_mul_pd(_mm_sub_pd(w01, SplatD(T.shifter)), SplatD(T.ln2Over128)));
  const __m128d r23 = _mm_sub_pd(t23, _mm_mul_pd(_mm_sub_pd(w23, SplatD(T.shifter)), SplatD(T.ln2Over128)));
  const __m128 reduced = _mm_movelh_ps(_mm_cvtpd_ps(r01), _mm_cvtpd_ps(r23));
  alignas(16) uint32_t j[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(j), _mm_and_si128(n, _mm_set1_epi32(127)));
  const __m128 hi = _mm_castsi128_ps(
      _mm_set_epi32(static_cast<int32_t>(T.expPairs[j[3]][0]), static_cast<int32_t>(T.expPairs[j[2]][0]),
                    static_cast<int32_t>(T.expPairs[j[1]][0]), static_cast<int32_t>(T.expPairs[j[0]][0])));
  const __m128 lo = _mm_castsi128_ps(
      _mm_set_epi32(static_cast<int32_t>(T.expPairs[j[3]][1]), static_cast<int32_t>(T.expPairs[j[2]][1]),
                    static_cast<int32_t>(T.expPairs[j[1]][1]), static_cast<int32_t>(T.expPairs[j[0]][1])));
  const __m128 scale = _mm_castsi128_ps(_mm_and_si128(
      _mm_add_epi32(_mm_slli_epi32(n, 16), _mm_set1_epi32(static_cast<int32_t>(std::bit_cast<uint32_t>(T.one)))),
      _mm_set1_epi32(static_cast<int32_t>(T.exponentMask))));
  const __m128 p = _mm_add_ps(lo, reduced);
  __m128 s = _mm_mul_ps(reduced, reduced);
  s = _mm_mul_ps(s, _mm_set1_ps(T.oneHalf));
  s = _mm_add_ps(s, p);
  s = _mm_mul_ps(s, hi);
  s = _mm_add_ps(s, hi);
  *out = _mm_mul_ps(s, scale);
  return 0;
}

// The caller's MXCSR stays in force only when it already rounds to nearest
// and keeps denormals; otherwise those bits are cleared for the call.
constexpr uint32_t kMxcsrModeBits = 0xE040;  // flush-to-zero, rounding control, denormals-are-zero

inline DspStatus PowF32(const float* a, const float* b, float* dst, int32_t len) {
  if (dst == nullptr || b == nullptr || a == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  const uint32_t saved = _mm_getcsr();
  const bool changed = (saved & kMxcsrModeBits) != 0;
  if (changed) _mm_setcsr(saved & ~kMxcsrModeBits);
  int32_t status = DSP_STATUS_OK;
  const int32_t blockEnd = len & ~7;
  int32_t i = 0;
  for (; i < blockEnd; i += 8) {
    __m128 r0, r1;
    // Nothing of a block is stored before all eight have passed the tests.
    if (FastPow4(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i), &r0) == 0 &&
        FastPow4(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4), &r1) == 0) {
      _mm_storeu_ps(dst + i, r0);
      _mm_storeu_ps(dst + i + 4, r1);
    } else {
      for (int32_t k = i; k < i + 8; ++k) VecPowF32SpecialCase(a, b, dst, k, &status);
    }
  }
  for (; i < len; ++i) {
    // One element in lane 0; the other lanes hold 1^1, an ordinary pair.
    const __m128 one = _mm_set1_ps(1.0f);
    __m128 r;
    if (FastPow4(_mm_move_ss(one, _mm_set_ss(LoadAs<float>(a + i))), _mm_move_ss(one, _mm_set_ss(LoadAs<float>(b + i))),
                 &r) == 0)
      StoreAs<float>(dst + i, _mm_cvtss_f32(r));
    else
      VecPowF32SpecialCase(a, b, dst, i, &status);
  }
  // Loading the saved value also puts the exception flags back as they were.
  if (changed) _mm_setcsr(saved);
  return status;
}

}  // namespace power_level
}  // namespace
