// The level-1 members of the absolute-value sets and the extreme-value
// kernels, which are one code at all three levels.
#include <emmintrin.h>

#include "primitives/unreached/AbsExtremeKernels.h"
#include "primitives/unreached/ElementAccess.h"

namespace {

// (x ^ m) - m with m the sign mask, the subtraction saturating: -32768 gives
// 32767.
inline int16_t AbsS16(int16_t x) {
  const int32_t m = x < 0 ? -1 : 0;
  const int32_t r = (x ^ m) - m;
  return static_cast<int16_t>(r > 32767 ? 32767 : r);
}

// (x ^ m) - (m ^ e) in wrap-around arithmetic, e marking the most negative
// value: it gives 2147483647, every other negative x gives -x.
inline int32_t AbsS32(int32_t x) {
  const uint32_t u = static_cast<uint32_t>(x);
  const uint32_t m = x < 0 ? 0xFFFFFFFFu : 0u;
  const uint32_t e = x == INT32_MIN ? 0xFFFFFFFFu : 0u;
  return static_cast<int32_t>((u ^ m) - (m ^ e));
}

template <bool kMax>
inline double Step(double run, double candidate) {
  return (kMax ? run > candidate : run < candidate) ? run : candidate;
}

struct Pair {
  double lane[2];
};

template <bool kMax>
inline Pair StepPair(Pair run, double c0, double c1) {
  return {{Step<kMax>(run.lane[0], c0), Step<kMax>(run.lane[1], c1)}};
}

template <bool kMax>
inline Pair StepPair(Pair run, Pair other) {
  return StepPair<kMax>(run, other.lane[0], other.lane[1]);
}

template <bool kMax>
double ExtremeF64(const double* src, int64_t len) {
  const double first = LoadAt(src, 0);
  Pair p0{{first, first}};
  int64_t i = (AddressOf(src) & 8) != 0 ? 1 : 0;
  auto at = [src](int64_t k) { return LoadAt(src, k); };
  if (len - i >= 8) {
    Pair p1 = p0, p2 = p0, p3 = p0;
    for (; len - i >= 8; i += 8) {
      p0 = StepPair<kMax>(p0, at(i), at(i + 1));
      p1 = StepPair<kMax>(p1, at(i + 2), at(i + 3));
      p2 = StepPair<kMax>(p2, at(i + 4), at(i + 5));
      p3 = StepPair<kMax>(p3, at(i + 6), at(i + 7));
    }
    p0 = StepPair<kMax>(StepPair<kMax>(p0, p1), StepPair<kMax>(p2, p3));
  }
  if (len - i >= 4) {
    p0 = StepPair<kMax>(p0, at(i), at(i + 1));
    p0 = StepPair<kMax>(p0, at(i + 2), at(i + 3));
    i += 4;
  }
  if (len - i >= 2) {
    p0 = StepPair<kMax>(p0, at(i), at(i + 1));
    i += 2;
  }
  if (len - i == 1) p0.lane[0] = Step<kMax>(p0.lane[0], at(i));
  const bool laneOneWins = kMax ? p0.lane[1] > p0.lane[0] : p0.lane[1] < p0.lane[0];
  return laneOneWins ? p0.lane[1] : p0.lane[0];
}

template <bool kMax>
int16_t ExtremeS16(const int16_t* src, int64_t len) {
  int16_t best = LoadAt(src, 0);
  for (int64_t i = 1; i < len; ++i) {
    const int16_t x = LoadAt(src, i);
    if (kMax ? x > best : x < best) best = x;
  }
  return best;
}

}  // namespace

void VecAbsF64Kernel(const double* src, double* dst, int32_t len) {
  for (int64_t i = 0; i < len; ++i) StoreAt(dst, i, DoubleFromBits(BitsOf(LoadAt(src, i)) & 0x7FFFFFFFFFFFFFFFull));
}

void VecAbsS16L1Kernel(const int16_t* src, int16_t* dst, int32_t len) {
  int64_t i = 0;
  for (; len - i >= 8; i += 8) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128i m = _mm_srai_epi16(x, 15);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_subs_epi16(_mm_xor_si128(x, m), m));
  }
  for (; i < len; ++i) StoreAt(dst, i, AbsS16(LoadAt(src, i)));
}

void VecAbsS32L1Kernel(const int32_t* src, int32_t* dst, int32_t len) {
  int64_t i = 0;
  for (; len - i >= 4; i += 4) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128i m = _mm_srai_epi32(x, 31);
    const __m128i e = _mm_cmpeq_epi32(x, _mm_set1_epi32(INT32_MIN));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_sub_epi32(_mm_xor_si128(x, m), _mm_xor_si128(m, e)));
  }
  for (; i < len; ++i) StoreAt(dst, i, AbsS32(LoadAt(src, i)));
}

void VecMaxF64Kernel(const double* src, int64_t len, double* result) { *result = ExtremeF64<true>(src, len); }
void VecMinF64Kernel(const double* src, int64_t len, double* result) { *result = ExtremeF64<false>(src, len); }
void VecMaxS16Kernel(const int16_t* src, int64_t len, int16_t* result) { *result = ExtremeS16<true>(src, len); }
void VecMinS16Kernel(const int16_t* src, int64_t len, int16_t* result) { *result = ExtremeS16<false>(src, len); }
