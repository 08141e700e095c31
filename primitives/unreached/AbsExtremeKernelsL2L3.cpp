// The level-2/3 members of the integer absolute-value sets, on the SSSE3
// absolute value.
#include <tmmintrin.h>

#include "primitives/unreached/AbsExtremeKernels.h"
#include "primitives/unreached/ElementAccess.h"

namespace {

// Raised to at least -32767 first, so that the absolute value fits.
inline __m128i AbsS16Lanes(__m128i x) { return _mm_abs_epi16(_mm_max_epi16(x, _mm_set1_epi16(-32767))); }

// The absolute value leaves only the most negative value negative; inverting
// it bitwise gives the largest positive one.
inline __m128i AbsS32Lanes(__m128i x) {
  const __m128i a = _mm_abs_epi32(x);
  return _mm_xor_si128(a, _mm_srai_epi32(a, 31));
}

}  // namespace

void VecAbsS16L2L3Kernel(const int16_t* src, int16_t* dst, int32_t len) {
  int64_t i = 0;
  for (; len - i >= 8; i += 8)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                     AbsS16Lanes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i))));
  for (; i < len; ++i)
    StoreAt(dst, i, static_cast<int16_t>(_mm_cvtsi128_si32(AbsS16Lanes(_mm_set1_epi16(LoadAt(src, i))))));
}

void VecAbsS32L2L3Kernel(const int32_t* src, int32_t* dst, int32_t len) {
  int64_t i = 0;
  for (; len - i >= 4; i += 4)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                     AbsS32Lanes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i))));
  for (; i < len; ++i) StoreAt(dst, i, _mm_cvtsi128_si32(AbsS32Lanes(_mm_set1_epi32(LoadAt(src, i)))));
}
