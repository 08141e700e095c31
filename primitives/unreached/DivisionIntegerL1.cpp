// Scaled-integer members of the division kernel set (one copy serves levels
// 1 to 3). Quotients are formed in floating point from exact integer
// operands and converted by the processor's rounding, round to nearest even
// by default. The element-wise kinds give the integer nearest the exact
// quotient: double precision leaves every 16-bit and 8-bit quotient far from
// a false tie. Scale factors beyond the exponent range give the quotient's
// limit: 0, or the saturated value by its sign.
#include <emmintrin.h>
#include <xmmintrin.h>

#include <cmath>

#include "primitives/unreached/Division.h"
#include "primitives/unreached/ElementAccess.h"

namespace {

// 2^exponent, 0 or infinity beyond the double range.
inline double PowerOfTwo(int32_t exponent) {
  const int32_t clamped = exponent > 1100 ? 1100 : (exponent < -1100 ? -1100 : exponent);
  return std::ldexp(1.0, clamped);
}

inline float PowerOfTwoF32(int32_t exponent) {
  const int32_t clamped = exponent > 200 ? 200 : (exponent < -200 ? -200 : exponent);
  return std::ldexp(1.0f, clamped);
}

// Clamps to [lo, hi] and converts under the current rounding mode. A NaN can
// only come from 0 x infinity, whose exact value is 0.
inline int32_t ConvertClamped(double v, double lo, double hi) {
  if (v != v) return 0;
  if (v < lo) v = lo;
  if (v > hi) v = hi;
  return _mm_cvtsd_si32(_mm_set_sd(v));
}

inline int32_t ConvertClampedF32(float v, float lo, float hi) {
  if (v != v) return 0;
  if (v < lo) v = lo;
  if (v > hi) v = hi;
  return _mm_cvtss_si32(_mm_set_ss(v));
}

inline int16_t SaturateS16(int32_t v) { return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v)); }
inline uint8_t SaturateU8(int32_t v) { return static_cast<uint8_t>(v > 255 ? 255 : (v < 0 ? 0 : v)); }

// The value a zero divisor gives: the destination's limit by the dividend's
// sign, 0 for a zero dividend.
inline int32_t ByDividendSign(int64_t b, int32_t positive, int32_t negative) {
  return b > 0 ? positive : (b < 0 ? negative : 0);
}

// b 2^-s / a: the dividend scaled first, then one true division.
inline double ScaledQuotient(int64_t b, int64_t a, double factor) {
  return (static_cast<double>(b) * factor) / static_cast<double>(a);
}

// Element by element: b 2^-s / a clamped to [lo, hi], or the limit by the
// dividend's sign for a zero divisor.
template <typename T>
int32_t ScaledDivision(const T* a, const T* b, T* dst, int32_t len, int32_t scaleFactor, int32_t lo, int32_t hi) {
  const double factor = PowerOfTwo(-scaleFactor);
  int32_t flag = 0;
  for (int64_t i = 0; i < len; ++i) {
    const T divisor = LoadAt(a, i);
    const T dividend = LoadAt(b, i);
    int32_t q;
    if (divisor == 0) {
      flag = 1;
      q = ByDividendSign(dividend, hi, lo);
    } else {
      q = ConvertClamped(ScaledQuotient(dividend, divisor, factor), lo, hi);
    }
    StoreAt(dst, i, static_cast<T>(q));
  }
  return flag;
}

}  // namespace

int32_t VecDivS32ScaledKernel(const int32_t* a, const int32_t* b, int32_t* dst, int32_t len, int32_t scaleFactor) {
  return ScaledDivision(a, b, dst, len, scaleFactor, INT32_MIN, INT32_MAX);
}

int32_t VecDivS16ScaledKernel(const int16_t* a, const int16_t* b, int16_t* dst, int32_t len, int32_t scaleFactor) {
  return ScaledDivision(a, b, dst, len, scaleFactor, -32768, 32767);
}

// The conjugate product in exact integers over the squared magnitude, times
// the reciprocal 2^-s / |a|^2 from one division.
int32_t VecDivSC16ScaledKernel(const ComplexS16* a, const ComplexS16* b, ComplexS16* dst, int32_t len,
                               int32_t scaleFactor) {
  const double factor = PowerOfTwo(-scaleFactor);
  int32_t flag = 0;
  for (int64_t i = 0; i < len; ++i) {
    const ComplexS16 x = LoadAt(a, i);
    const ComplexS16 y = LoadAt(b, i);
    const int64_t d = int64_t{x.re} * x.re + int64_t{x.im} * x.im;
    if (d == 0) {
      flag = 1;
      StoreAt(dst, i, ComplexS16{0, 0});
      continue;
    }
    const int64_t nr = int64_t{x.re} * y.re + int64_t{x.im} * y.im;
    const int64_t ni = int64_t{x.re} * y.im - int64_t{x.im} * y.re;
    const double reciprocal = factor / static_cast<double>(d);
    StoreAt(dst, i,
            ComplexS16{static_cast<int16_t>(ConvertClamped(static_cast<double>(nr) * reciprocal, -32768.0, 32767.0)),
                       static_cast<int16_t>(ConvertClamped(static_cast<double>(ni) * reciprocal, -32768.0, 32767.0))});
  }
  return flag;
}

int32_t VecDivU8ScaledKernel(const uint8_t* a, const uint8_t* b, uint8_t* dst, int32_t len, int32_t scaleFactor) {
  const double factor = PowerOfTwo(-scaleFactor);
  int32_t flag = 0;
  for (int64_t i = 0; i < len; ++i) {
    const uint8_t divisor = a[i];
    const uint8_t dividend = b[i];
    if (divisor == 0) {
      flag = 1;
      dst[i] = dividend == 0 ? 0 : 255;
    } else {
      dst[i] = static_cast<uint8_t>(ConvertClamped(ScaledQuotient(dividend, divisor, factor), 0.0, 255.0));
    }
  }
  return flag;
}

// One single-precision factor 2^-s / c for the whole vector; the products are
// clamped to the 32-bit range before the conversion.
void VecDivConstS16ScaledKernel(const int16_t* b, int16_t c, int16_t* dst, int32_t len, int32_t scaleFactor) {
  const float factor = PowerOfTwoF32(-scaleFactor) / static_cast<float>(c);
  for (int64_t i = 0; i < len; ++i) {
    const float product = static_cast<float>(LoadAt(b, i)) * factor;
    StoreAt(dst, i, SaturateS16(ConvertClampedF32(product, -2147483648.0f, 2147483520.0f)));
  }
}

void VecDivConstSC16ScaledKernel(const ComplexS16* b, ComplexS16 c, ComplexS16* dst, int32_t len, int32_t scaleFactor) {
  const double factor = PowerOfTwo(-scaleFactor) / static_cast<double>(int64_t{c.re} * c.re + int64_t{c.im} * c.im);
  for (int64_t i = 0; i < len; ++i) {
    const ComplexS16 y = LoadAt(b, i);
    const int64_t nr = int64_t{y.re} * c.re + int64_t{y.im} * c.im;
    const int64_t ni = int64_t{y.im} * c.re - int64_t{y.re} * c.im;
    StoreAt(dst, i,
            ComplexS16{SaturateS16(ConvertClamped(static_cast<double>(nr) * factor, -2147483648.0, 2147483647.0)),
                       SaturateS16(ConvertClamped(static_cast<double>(ni) * factor, -2147483648.0, 2147483647.0))});
  }
}

void VecDivConstU8ScaledKernel(const uint8_t* b, uint8_t c, uint8_t* dst, int32_t len, int32_t scaleFactor) {
  const float factor = PowerOfTwoF32(-scaleFactor) / static_cast<float>(c);
  for (int64_t i = 0; i < len; ++i)
    dst[i] = SaturateU8(ConvertClampedF32(static_cast<float>(b[i]) * factor, -2147483648.0f, 2147483520.0f));
}

int32_t VecConstOverU16Kernel(const uint16_t* a, uint16_t c, uint16_t* dst, int32_t len) {
  int32_t flag = 0;
  for (int64_t i = 0; i < len; ++i) {
    const uint16_t divisor = LoadAt(a, i);
    uint16_t q = 65535;
    if (divisor == 0) {
      flag = 1;
    } else {
      q = static_cast<uint16_t>(ConvertClamped(static_cast<double>(c) / divisor, 0.0, 65535.0));
    }
    StoreAt(dst, i, q);
  }
  return flag;
}

// Single elements divide and then scale; blocks of four take the reciprocals
// of elements k and k + 2 from one division of the exact divisor product.
int32_t VecDivS32S16ScaledKernel(const int16_t* a, const int32_t* b, int16_t* dst, int32_t len, int32_t scaleFactor) {
  const double factor = PowerOfTwo(-scaleFactor);
  const int64_t n = len;
  int32_t flag = 0;
  auto finish = [&](int64_t i, int16_t divisor, int32_t dividend, double q) {
    if (divisor == 0) {
      flag = 1;
      StoreAt(dst, i, static_cast<int16_t>(ByDividendSign(dividend, 32767, -32768)));
    } else {
      StoreAt(dst, i, static_cast<int16_t>(ConvertClamped(q, -32768.0, 32767.0)));
    }
  };
  auto single = [&](int64_t i) {
    const int16_t divisor = LoadAt(a, i);
    const int32_t dividend = LoadAt(b, i);
    const double q = divisor == 0 ? 0.0 : (static_cast<double>(dividend) / divisor) * factor;
    finish(i, divisor, dividend, dividend == 0 ? 0.0 : q);
  };
  int64_t i = 0;
  for (; i < n && (AddressOf(dst + i) & 7) != 0; ++i) single(i);
  for (; n - i >= 4; i += 4) {
    int16_t x[4];
    double d[4], reciprocal[4];
    for (int k = 0; k < 4; ++k) {
      x[k] = LoadAt(a, i + k);
      d[k] = x[k] == 0 ? 1.0 : x[k];
    }
    for (int k = 0; k < 2; ++k) {
      const double R = factor / (d[k] * d[k + 2]);
      reciprocal[k] = d[k + 2] * R;
      reciprocal[k + 2] = d[k] * R;
    }
    for (int k = 0; k < 4; ++k) {
      const int32_t dividend = LoadAt(b, i + k);
      finish(i + k, x[k], dividend, dividend == 0 ? 0.0 : dividend * reciprocal[k]);
    }
  }
  for (; i < n; ++i) single(i);
  return flag;
}
