#include "primitives/Power.h"

#include <xmmintrin.h>

#include <bit>
#include <cstring>

#include "primitives/Dispatch.h"
#include "primitives/levels/PowerLevels.h"

namespace {

const VecPowF32TableSet& T = VecPowF32Tables;

inline uint32_t Bits(float f) { return std::bit_cast<uint32_t>(f); }
inline uint64_t Bits(double d) { return std::bit_cast<uint64_t>(d); }
inline float FloatOf(uint32_t u) { return std::bit_cast<float>(u); }
inline double DoubleOf(uint64_t u) { return std::bit_cast<double>(u); }
inline uint32_t High32(double d) { return static_cast<uint32_t>(Bits(d) >> 32); }

// Natural logarithm of a positive normal double h whose leading fraction
// bits select the table row: h = 2^E m, m in [1, 2); r is m rounded to a
// multiple of 1/256 (ties up, through the sticky bits), k = 256 (r - 1), and
// ln h = E ln2 + ln(1 + k/256) + ln(m / r) with the last term a cubic in
// u = (m - r) / r.
inline double TableLog(double h) {
  const uint64_t bits = Bits(h);
  const double e = static_cast<double>(static_cast<int64_t>((bits >> 52) & 0x7FF) - T.exponentBias);
  const double m = DoubleOf((bits & T.fractionMask) | Bits(T.doubleOne));
  const uint32_t top9 = static_cast<uint32_t>(bits >> 43) & 0x1FF;
  const uint32_t k = (top9 + 1) >> 1;
  const double r = (DoubleOf(Bits(m) | T.stickyBits) + T.roundingConstant) - T.roundingConstant;
  const double u = (m - r) * T.logPairs[k][1];
  return (u + ((T.c3 * u + T.c2) * u) * u) + (e * T.ln2 + T.logPairs[k][0]);
}

// Fast-path tests on the bits, as the vector form makes them.
inline bool BaseIsSpecial(float x) {
  // Not a positive normal float: zero, denormal, negative, infinite or NaN.
  return static_cast<int32_t>(Bits(x) - T.normalRangeOffset) > static_cast<int32_t>(T.normalRangeBound);
}
inline bool ExponentIsNaN(float y) {
  return static_cast<int32_t>((Bits(y) & T.floatMagnitudeMask) - 1) > static_cast<int32_t>(T.largestFloatBits);
}
inline bool ProductOutOfFastRange(double t) {
  // |t| beyond the limit, or NaN: 2^q would leave the normal float range.
  return High32(DoubleOf(Bits(t) & T.doubleMagnitudeMask)) > High32(T.exponentLimit);
}

// The fast path for one element. Returns false when the element needs the
// per-element routine; *out is the result otherwise.
inline bool FastPow(float x, float y, float* out) {
  if (BaseIsSpecial(x) || ExponentIsNaN(y)) return false;
  const double t = static_cast<double>(y) * TableLog(static_cast<double>(x));
  if (ProductOutOfFastRange(t)) return false;
  const double w = t * T.log2eTimes128 + T.shifter;
  const uint32_t n = static_cast<uint32_t>(Bits(w));
  const uint32_t j = n & 127;
  const float reduced = static_cast<float>(t - (w - T.shifter) * T.ln2Over128);
  const float hi = FloatOf(T.expPairs[j][0]);
  const float lo = FloatOf(T.expPairs[j][1]);
  const float scale = FloatOf(((n << 16) + Bits(T.one)) & T.exponentMask);
  const float p = lo + reduced;
  float s = reduced * reduced;
  s = s * T.oneHalf;
  s = s + p;
  s = s * hi;
  s = s + hi;
  *out = s * scale;
  return true;
}

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

// The caller's MXCSR stays in force only when it already rounds to nearest
// and keeps denormals; otherwise those bits are cleared for the call.
constexpr uint32_t kMxcsrModeBits = 0xE040;  // flush-to-zero, rounding control, denormals-are-zero

[[gnu::noinline]] DspStatus PowerLoop(const float* a, const float* b, float* dst, int32_t len) {
  int32_t status = DSP_STATUS_OK;
  const int32_t blockEnd = len & ~7;
  int32_t i = 0;
  for (; i < blockEnd; i += 4) {
    float results[4];
    bool fast = true;
    for (int lane = 0; lane < 4; ++lane) fast = FastPow(a[i + lane], b[i + lane], &results[lane]) && fast;
    if (fast) {
      std::memcpy(dst + i, results, sizeof(results));
    } else {
      for (int lane = 0; lane < 4; ++lane) VecPowF32SpecialCase(a, b, dst, i + lane, &status);
    }
  }
  for (; i < len; ++i) {
    if (!FastPow(a[i], b[i], &dst[i])) VecPowF32SpecialCase(a, b, dst, i, &status);
  }
  return status;
}

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

DspStatus VecPowF32L0(const float* a, const float* b, float* dst, int32_t len) {
  if (dst == nullptr || b == nullptr || a == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  const uint32_t saved = _mm_getcsr();
  const bool changed = (saved & kMxcsrModeBits) != 0;
  if (changed) _mm_setcsr(saved & ~kMxcsrModeBits);
  const DspStatus status = PowerLoop(a, b, dst, len);
  // Loading the saved value also puts the exception flags back as they were.
  if (changed) _mm_setcsr(saved);
  return status;
}

DSP_DISPATCH_TABLE(VecPowF32, VecPowF32L0, VecPowF32L1, VecPowF32L2, VecPowF32L3);

DspStatus VecPowF32(const float* a, const float* b, float* dst, int32_t len) {
  return DspDispatch(VecPowF32Table, a, b, dst, len);
}
