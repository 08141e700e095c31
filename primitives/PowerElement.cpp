// The per-element path of the power routine, which every build of it shares.
#include "primitives/PowerElement.h"

#include <bit>
#include <cstring>

namespace {

#include "primitives/PowerTableLog.inc"

enum class IntegerKind { kNotInteger, kOdd, kEven };

// |y| < 1, infinities and NaN are not integers; from 2^24 on every float is
// an even integer.
IntegerKind ClassifyInteger(float y) {
  const uint32_t a = Bits(y) & 0x7FFFFFFFu;
  if (a < 0x3F800000u || a >= 0x7F800000u) return IntegerKind::kNotInteger;
  if (a >= 0x4B800000u) return IntegerKind::kEven;
  const uint32_t shifted = a << ((a >> 23) - 127);
  if ((shifted & 0x7FFFFFu) != 0) return IntegerKind::kNotInteger;
  return (shifted & 0x800000u) != 0 ? IntegerKind::kOdd : IntegerKind::kEven;
}

// Power of finite non-zero x and y, computed in double precision and
// rounded once to float.
float OrdinaryPow(float x, float y) {
  double h = static_cast<double>(x < 0 ? -x : x);
  double c = 0.0;
  if ((Bits(x) & 0x7FFFFFFFu) < 0x00800000u) {
    h = h * T.e23;
    c = 23.0;
  }
  const double sign = (x < 0 && ClassifyInteger(y) == IntegerKind::kOdd) ? -1.0 : 1.0;
  const double t = static_cast<double>(y) * (TableLog(h) - c);
  double value;
  if (High32(DoubleOf(Bits(t) & T.doubleMagnitudeMask)) > 0x4086232Bu) {
    // Far beyond the float range: a huge finite double that still becomes
    // infinity in the final rounding, or zero.
    const uint64_t hugeBits = (static_cast<uint64_t>(T.infinityBits) << 32) | T.infinityBits;
    value = t > 0 ? DoubleOf(hugeBits) : 0.0;
  } else {
    const double w = t * T.log2eTimes128 + T.shifter;
    const int32_t n = static_cast<int32_t>(static_cast<uint32_t>(Bits(w)));
    const uint32_t j = static_cast<uint32_t>(n) & 127;
    const double r = t - (w - T.shifter) * T.ln2Over128;
    const double poly = ((r * T.e3 + T.e2) * r) * r + r;
    const int64_t exponent = (n >> 7) + T.exponentBias;
    const double v = DoubleOf((static_cast<uint64_t>(exponent) << 52) | T.expFractions[j]);
    value = v + poly * v;
  }
  return static_cast<float>(value * sign);
}

void StoreBits(float* dst, uint32_t bits) { std::memcpy(dst, &bits, 4); }

}  // namespace

void RaiseFpException(int32_t code) {
  volatile double left;
  volatile double right;
  volatile double result;
  if (code == DSP_WARN_DOMAIN) {
    left = 0.0;
    right = 0.0;
    result = left / right;
  } else if (code == 18) {
    left = 1.0;
    right = 0.0;
    result = left / right;
  } else if (code == 12) {
    left = 1.7976931348623157e+308;
    right = left;
    result = left * right;
  } else if (code == 17) {
    left = 0x1.0000000000001p-1022;
    right = left;
    result = left * right;
  }
  (void)result;
}

void VecPowF32SpecialCase(const float* a, const float* b, float* dst, int32_t index, int32_t* status) {
  const float x = a[index];
  const float y = b[index];
  const uint32_t xb = Bits(x);
  const uint32_t yb = Bits(y);
  const uint32_t xMag = xb & 0x7FFFFFFFu;
  const uint32_t yMag = yb & 0x7FFFFFFFu;
  const bool xFinite = xMag < 0x7F800000u;
  const bool yFinite = yMag < 0x7F800000u;
  const bool xNaN = xMag > 0x7F800000u;
  const bool yNaN = yMag > 0x7F800000u;
  const bool xZero = xMag == 0;
  const bool yZero = yMag == 0;
  const bool xNegative = (xb >> 31) != 0;
  const IntegerKind kind = ClassifyInteger(y);
  constexpr uint32_t kOne = 0x3F800000u;
  constexpr uint32_t kInf = 0x7F800000u;
  constexpr uint32_t kNegInf = 0xFF800000u;
  constexpr uint32_t kNegZero = 0x80000000u;

  auto domain = [&](uint32_t bits) {
    StoreBits(dst + index, bits);
    *status = DSP_WARN_DOMAIN;
    RaiseFpException(DSP_WARN_DOMAIN);
  };

  if (yFinite && !yZero && xFinite && !xZero && (!xNegative || kind != IntegerKind::kNotInteger)) {
    dst[index] = OrdinaryPow(x, y);
    return;
  }
  const bool yPositive = (yb >> 31) == 0;  // y is not zero or NaN from here on where it matters
  if (yZero) return StoreBits(dst + index, kOne);
  if (xb == kOne) return StoreBits(dst + index, kOne);
  if (xb == (kOne | 0x80000000u) && !yFinite && !yNaN) return StoreBits(dst + index, kOne);
  if (xNaN) return StoreBits(dst + index, xb);
  if (yNaN) return StoreBits(dst + index, yb);
  if (xZero && yb == kNegInf) return domain(kInf);
  const bool yInfinite = !yFinite;
  if (yInfinite) {
    // |x| == 1 was taken above; zeros count as |x| < 1.
    const bool large = xMag > kOne;
    if (yPositive) return StoreBits(dst + index, large ? kInf : 0u);
    return StoreBits(dst + index, large ? 0u : kInf);
  }
  if (xb == kInf) return StoreBits(dst + index, yPositive ? kInf : 0u);
  if (xb == 0) {
    if (yPositive) return StoreBits(dst + index, 0u);
    return domain(kInf);
  }
  const bool odd = kind == IntegerKind::kOdd;
  if (xb == kNegInf) {
    if (yPositive) return StoreBits(dst + index, odd ? kNegInf : kInf);
    return StoreBits(dst + index, odd ? kNegZero : 0u);
  }
  if (xNegative && !xZero) return domain(T.defaultNaNBits);  // finite negative base, non-integer exponent
  // x == -0
  if (yPositive) return StoreBits(dst + index, odd ? kNegZero : 0u);
  domain(odd ? kNegInf : kInf);
}
