// Level builds of the in-place exponential and their kernel (one copy serves
// levels 1 to 3).
#include <emmintrin.h>
#include <xmmintrin.h>

#include "primitives/unreached/ElementAccess.h"
#include "primitives/unreached/Exponential.h"

namespace {

constexpr uint32_t kLowLimitBits = 0xC2AEAC4Au;  // about -87.33650: at and below, 0
constexpr int32_t kHighLimitBits = 0x42AE3333;   // 87.1: above, +Inf
constexpr float kMagic = 12582912.0f;            // 1.5 * 2^23: adding it rounds to an integer
constexpr uint32_t kIeeeExceptionFlags = 0x3Du;  // invalid, divide, overflow, underflow, precision

// e^x = 2^k e^r, r = x - k ln 2 with ln 2 split into a short high part and a
// correction; e^r = P/Q with 1/Q from the estimate and one Newton step. The
// low lanes round k with the negative magic so that its magnitude lands in
// the low bits of t.
inline __m128 ExpLanes(__m128 x, __m128 lowMask) {
  const __m128 c = _mm_or_ps(_mm_and_ps(lowMask, _mm_set1_ps(-kMagic)), _mm_andnot_ps(lowMask, _mm_set1_ps(kMagic)));
  const __m128 t = _mm_add_ps(_mm_mul_ps(x, _mm_set1_ps(FloatFromBits(0x3FB8AA3Bu))), c);
  __m128i k = _mm_srai_epi32(_mm_slli_epi32(_mm_castps_si128(t), 16), 16);
  k = _mm_sub_epi32(_mm_xor_si128(k, _mm_castps_si128(lowMask)), _mm_castps_si128(lowMask));  // negate low lanes
  const __m128 factor = _mm_castsi128_ps(_mm_add_epi32(_mm_slli_epi32(k, 23), _mm_set1_epi32(0x3F800000)));
  const __m128 kf = _mm_sub_ps(t, c);
  const __m128 r = _mm_add_ps(_mm_add_ps(x, _mm_mul_ps(kf, _mm_set1_ps(-0.693359375f))),
                              _mm_mul_ps(kf, _mm_set1_ps(FloatFromBits(0x395E8083u))));
  const __m128 a = _mm_add_ps(_mm_mul_ps(r, r), _mm_set1_ps(10.0f));
  const __m128 A = _mm_mul_ps(_mm_add_ps(a, _mm_set1_ps(50.0f)), r);
  const __m128 B = _mm_mul_ps(a, _mm_set1_ps(12.0f));
  const __m128 P = _mm_add_ps(A, B);
  const __m128 Q = _mm_sub_ps(B, A);
  const __m128 e = _mm_rcp_ps(Q);
  const __m128 refined = _mm_mul_ps(e, _mm_sub_ps(_mm_set1_ps(2.0f), _mm_mul_ps(Q, e)));
  return _mm_mul_ps(_mm_mul_ps(refined, P), factor);
}

inline bool IsQuietNaN(uint32_t bits) { return (bits & 0x7FC00000u) == 0x7FC00000u; }

DspStatus ExpEntry(float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  VecExpF32Kernel(srcDst, srcDst, len);
  return DSP_STATUS_OK;
}

}  // namespace

void VecExpF32Kernel(const float* src, float* dst, int64_t n) {
  for (int64_t i = 0; i < n; i += 4) {
    const int valid = n - i >= 4 ? 4 : static_cast<int>(n - i);
    // A short last group repeats its own elements in the spare lanes.
    static constexpr int kFill[4][4] = {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 1, 0, 1}, {0, 1, 2, 2}};
    alignas(16) float lanes[4];
    for (int j = 0; j < 4; ++j) lanes[j] = LoadAt(src, i + (valid == 4 ? j : kFill[valid][j]));
    const __m128 x = _mm_load_ps(lanes);
    const __m128 low = _mm_cmple_ps(x, _mm_set1_ps(FloatFromBits(kLowLimitBits)));
    const __m128 high = _mm_castsi128_ps(_mm_cmpgt_epi32(_mm_castps_si128(x), _mm_set1_epi32(kHighLimitBits)));
    alignas(16) float result[4];
    _mm_store_ps(result, ExpLanes(x, low));
    const int lowBits = _mm_movemask_ps(low), highBits = _mm_movemask_ps(high);
    for (int j = 0; j < valid; ++j) {
      float value = result[j];
      if (((lowBits | highBits) >> j) & 1) {
        const uint32_t bits = BitsOf(lanes[j]);
        if ((lowBits >> j) & 1) {
          value = FloatFromBits(IsQuietNaN(bits) ? 0xFFC00000u : 0u);
        } else {
          value = FloatFromBits(IsQuietNaN(bits) ? 0x7FC00000u : 0x7F800000u);
        }
      }
      StoreAt(dst, i + j, value);
    }
  }
  const uint32_t csr = _mm_getcsr();
  if ((csr & kIeeeExceptionFlags) != 0) _mm_setcsr(csr & ~kIeeeExceptionFlags);
}

DspStatus VecExpF32InPlaceL1(float* srcDst, int32_t len) { return ExpEntry(srcDst, len); }
DspStatus VecExpF32InPlaceL2(float* srcDst, int32_t len) { return ExpEntry(srcDst, len); }
DspStatus VecExpF32InPlaceL3(float* srcDst, int32_t len) { return ExpEntry(srcDst, len); }
