#include "primitives/unreached/Exponential.h"

#include <cmath>

#include "primitives/Dispatch.h"
#include "primitives/unreached/ElementAccess.h"

namespace {

constexpr uint32_t kDefaultNaN = 0xFFC00000u;
// Below this bit pattern (negative) the exponential is below the normal
// range; at and above its positive twin it overflows.
constexpr uint32_t kLowBound = 0xC2AEAC50u;   // -87.3365478515625
constexpr uint32_t kHighBound = 0x42B17218u;  // 88.72283935546875
constexpr double kOverflowLimit = 88.72284;

inline bool IsQuietNaN(uint32_t bits) { return (bits & 0x7FC00000u) == 0x7FC00000u; }

// The platform exponential, with everything above the limit taken as
// overflow before it is asked.
inline float PlatformExp(float x) {
  const double wide = x;
  if (wide > kOverflowLimit) return FloatFromBits(0x7F800000u);
  return static_cast<float>(std::exp(wide));
}

enum class ElementClass { kRegular, kSpecial };

// Zero and subnormal give exactly 1; the ends give 0 and +Inf; quiet NaNs
// give the default NaN. Returns kRegular for the values to evaluate.
inline ElementClass Classify(uint32_t bits, uint32_t* result) {
  const uint32_t magnitude = bits & 0x7FFFFFFFu;
  const bool negative = (bits >> 31) != 0;
  if (magnitude < 0x00800000u) {
    *result = 0x3F800000u;
  } else if (negative && bits >= kLowBound) {
    *result = IsQuietNaN(bits) ? kDefaultNaN : 0u;
  } else if (!negative && bits >= kHighBound) {
    *result = IsQuietNaN(bits) ? kDefaultNaN : 0x7F800000u;
  } else {
    return ElementClass::kRegular;
  }
  return ElementClass::kSpecial;
}

struct Remembered {
  int64_t index;
  float x;
};

// e^x = 2^k e^r with k = round(x log2 e): adding +-2^52 rounds x log2 e to an
// integer whose magnitude lands in the low bits of the sum. e^r is the [3/3]
// Pade approximant P/Q; one division gives all four 1/Q.
void EvaluateGroup(float* v, const Remembered (&group)[4]) {
  double P[4], Q[4];
  uint32_t shift[4];
  for (int j = 0; j < 4; ++j) {
    const double x = group[j].x;
    const bool negative = (BitsOf(group[j].x) >> 31) != 0;
    const double M = negative ? -0x1p52 : 0x1p52;
    const double t = x * 1.4426950408889634 + M;
    const double k = t - M;
    shift[j] = static_cast<uint32_t>(BitsOf(t)) << 23;
    const double r = x - k * 0.6931471805599453;
    const double s = r * r;
    const double A = (s + 60.0) * r;
    const double B = (s + 10.0) * 12.0;
    P[j] = A + B;
    Q[j] = B - A;
  }
  const double q01 = Q[0] * Q[1];
  const double q23 = Q[2] * Q[3];
  const double R = 1.0 / (q01 * q23);
  const double reciprocal[4] = {Q[1] * (q23 * R), Q[0] * (q23 * R), Q[3] * (q01 * R), Q[2] * (q01 * R)};
  for (int j = 0; j < 4; ++j) {
    const float y = static_cast<float>(reciprocal[j]) * static_cast<float>(P[j]);
    const bool negative = (BitsOf(group[j].x) >> 31) != 0;
    StoreAt(v, group[j].index, FloatFromBits(negative ? BitsOf(y) - shift[j] : BitsOf(y) + shift[j]));
  }
}

}  // namespace

DspStatus VecExpF32InPlaceL0(float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  if (len < 4) {
    for (int64_t i = 0; i < len; ++i) StoreAt(srcDst, i, PlatformExp(LoadAt(srcDst, i)));
    return DSP_STATUS_OK;
  }
  // From the last element to the first: special values at once, regular
  // ones four at a time; the one to three left over at the start go through
  // the platform exponential.
  Remembered group[4];
  int count = 0;
  for (int64_t i = len - 1; i >= 0; --i) {
    const float x = LoadAt(srcDst, i);
    uint32_t special;
    if (Classify(BitsOf(x), &special) == ElementClass::kSpecial) {
      StoreAt(srcDst, i, FloatFromBits(special));
      continue;
    }
    group[count++] = {i, x};
    if (count == 4) {
      EvaluateGroup(srcDst, group);
      count = 0;
    }
  }
  for (int j = 0; j < count; ++j) StoreAt(srcDst, group[j].index, PlatformExp(group[j].x));
  return DSP_STATUS_OK;
}

DSP_DISPATCH_TABLE(VecExpF32InPlace, VecExpF32InPlaceL0, VecExpF32InPlaceL1, VecExpF32InPlaceL2, VecExpF32InPlaceL3);
DspStatus VecExpF32InPlace(float* srcDst, int32_t len) { return DspDispatch(VecExpF32InPlaceTable, srcDst, len); }
