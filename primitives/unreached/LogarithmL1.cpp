// Level builds of the in-place float logarithm and the logarithm kernel
// object (one copy serves levels 1 to 3).
#include <emmintrin.h>
#include <xmmintrin.h>

#include "primitives/unreached/ElementAccess.h"
#include "primitives/unreached/Logarithm.h"

namespace {

constexpr int64_t kChunk = 256;
constexpr size_t kScratchBytes = 2048;

// ln x = 2 atanh(s) + e ln 2 with x = 2^e m, m in [sqrt(2)/2, sqrt(2)) and
// s = (m - 1) / (m + 1): an odd series in s.
constexpr uint32_t kSqrt2FractionLimit = 3474674;
const float kC4 = FloatFromBits(0x3E7353DAu);
const float kC3 = FloatFromBits(0x3E920CCAu);
const float kC2 = FloatFromBits(0x3ECCCD95u);
const float kC1 = FloatFromBits(0x3F2AAAAAu);
const float kLn2 = FloatFromBits(0x3F317218u);

struct Reduced {
  int32_t e;
  float m;
};

inline Reduced Reduce(uint32_t bits) {
  const uint32_t fraction = bits & 0x007FFFFFu;
  const int32_t small = fraction < kSqrt2FractionLimit ? 1 : 0;
  const int32_t e = (static_cast<int32_t>((bits & 0xFF800000u) - 0x3F000000u) >> 23) - small;
  return {e, FloatFromBits(fraction | (small ? 0x3F800000u : 0x3F000000u))};
}

inline float Series(float s) {
  const float z = s * s;
  return (((kC4 * z + kC3) * z + kC2) * z + kC1) * z + 2.0f;
}

inline float LnFromParts(float s, int32_t e) { return Series(s) * s + static_cast<float>(e) * kLn2; }

// Outside -62..63 (as a 16-bit value) e marks zero, negative and subnormal
// inputs and the far ends of the positive range.
inline bool NeedsFixUp(int32_t e) {
  const int16_t e16 = static_cast<int16_t>(e);
  return e16 < -62 || e16 > 63;
}

inline void Record(int64_t* event, int64_t code) {
  if (*event == LN_EVENT_NONE) *event = code;
}

inline float DirectLn(uint32_t bits) {
  const Reduced r = Reduce(bits);
  return LnFromParts((r.m - 1.0f) / (r.m + 1.0f), r.e);
}

// Zero gives -Inf and a value with the sign bit the default NaN, each
// recorded; +Inf and positive NaNs pass unchanged. A positive subnormal is
// lifted by 2^24 into the normal range first, so that it gets its own
// logarithm rather than that of 1.f * 2^-127.
inline float FixUp(uint32_t bits, float computed, int64_t* event) {
  if (bits == 0) {
    Record(event, LN_EVENT_ZERO);
    return FloatFromBits(0xFF800000u);
  }
  if ((bits >> 31) != 0) {
    Record(event, LN_EVENT_NEGATIVE);
    return FloatFromBits(0xFFC00000u);
  }
  if ((bits & 0x7F800000u) == 0x7F800000u) return FloatFromBits(bits);
  if ((bits & 0x7F800000u) == 0) {
    const Reduced r = Reduce(BitsOf(FloatFromBits(bits) * 0x1p24f));
    return LnFromParts((r.m - 1.0f) / (r.m + 1.0f), r.e - 24);
  }
  return computed;
}

inline float LaneLn(uint32_t bits, int64_t* event) {
  const float computed = DirectLn(bits);
  return NeedsFixUp(Reduce(bits).e) ? FixUp(bits, computed, event) : computed;
}

// The four-lane path divides per lane; lanes are independent, so a short
// last group (filled by repeating its own elements) gives each valid element
// what a full group would.
inline void FourLanePath(const float* src, float* dst, int64_t from, int64_t to, int64_t* event) {
  for (int64_t i = from; i < to; ++i) StoreAt(dst, i, LaneLn(BitsOf(LoadAt(src, i)), event));
}

// Two passes over whole groups of eight: the first reduces, keeps e in the
// scratch area and forms both s vectors of a pair of four-lane vectors with
// one division; the second evaluates and fixes up. sStore is the scratch
// area (in place) or the destination (out of place).
void BlockPath(const float* src, float* dst, int64_t from, int64_t to, int32_t* eStore, float* sStore, int64_t* event) {
  const int64_t count = to - from;
  for (int64_t b = 0; b < count; b += 8) {
    Reduced r[8];
    for (int k = 0; k < 8; ++k) r[k] = Reduce(BitsOf(LoadAt(src, from + b + k)));
    for (int k = 0; k < 4; ++k) {
      const float pa = r[k].m + 1.0f, pb = r[k + 4].m + 1.0f;
      const float d = 1.0f / (pa * pb);
      StoreAt(sStore, b + k, ((r[k].m - 1.0f) * pb) * d);
      StoreAt(sStore, b + k + 4, ((r[k + 4].m - 1.0f) * pa) * d);
    }
    for (int k = 0; k < 8; ++k) eStore[b + k] = r[k].e;
  }
  for (int64_t b = 0; b < count; ++b) {
    const float computed = LnFromParts(LoadAt(sStore, b), eStore[b]);
    const uint32_t bits = BitsOf(LoadAt(src, from + b));
    StoreAt(dst, from + b, NeedsFixUp(eStore[b]) ? FixUp(bits, computed, event) : computed);
  }
}

// The head up to a 16-byte boundary and the tail go four lanes at a time,
// the whole groups of eight between them through the block path.
int64_t FloatLnKernel(const float* src, float* dst, int64_t n, void* scratch, bool inPlace) {
  int64_t event = LN_EVENT_NONE;
  const bool blocks = n >= 32 && (AddressOf(dst) & 3) == 0 && (AddressOf(src) & 15) == (AddressOf(dst) & 15);
  if (!blocks) {
    FourLanePath(src, dst, 0, n, &event);
    return event;
  }
  const int64_t head = static_cast<int64_t>((16 - (AddressOf(dst) & 15)) & 15) / 4;
  const int64_t end = head + ((n - head) & ~int64_t{7});
  FourLanePath(src, dst, 0, head, &event);
  int32_t* eStore = static_cast<int32_t*>(scratch);
  float* sStore = inPlace ? reinterpret_cast<float*>(eStore + (end - head)) : dst + head;
  BlockPath(src, dst, head, end, eStore, sStore, &event);
  FourLanePath(src, dst, end, n, &event);
  return event;
}

// The series for ln(1 + r) from the square term on, |r| <= 1/128.
inline double SeriesF64(double r, double z) {
  return z * ((((0.142870907231137 * z + 0.199999999499556) * z + 0.333333333333338) * r) +
              ((-0.166680014614922 * z - 0.24999999959276) * z - 0.500000000000003));
}

// ln x = k ln 2 - ln R_j + ln(1 + r) with r = m R_j - 1, m in [1, 2) and R_j
// the table's reciprocal of the nearest 1 + j/64; r is formed from an exact
// high part of m so that r_hi carries no rounding.
double LnF64(double x, int64_t* event) {
  uint64_t bits = BitsOf(x);
  uint32_t h = static_cast<uint32_t>(bits >> 32);
  if (static_cast<int32_t>(h) < 0) {
    Record(event, LN_EVENT_NEGATIVE);
    return DoubleFromBits(0xFFF8000000000000ull);
  }
  if (bits == 0) {
    Record(event, LN_EVENT_ZERO);
    return DoubleFromBits(0xFFF0000000000000ull);
  }
  if (h >= 0x7FF00000u) {
    // +Inf stays; a NaN stays a NaN (quiet) rather than turning into +Inf.
    return (bits & 0x000FFFFFFFFFFFFFull) == 0 ? x : DoubleFromBits(bits | 0x0008000000000000ull);
  }
  double kBias = 0.0;
  if (h < 0x00100000u) {
    // Subnormal: lifted by 2^54 into the normal range.
    bits = BitsOf(x * 0x1p54);
    h = static_cast<uint32_t>(bits >> 32);
    kBias = -54.0;
  }
  const double k = static_cast<double>(static_cast<int32_t>(h >> 20) - 1023) + kBias;
  const double m = DoubleFromBits((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
  const uint32_t j = (((h & 0xFFE00u) >> 9) + 16) >> 5;
  const LnF64TableRow& row = LnF64Table[j];
  const double mHigh = DoubleFromBits(BitsOf(m) & ~uint64_t{0x1FFFFF});
  const double mLow = m - mHigh;
  const double rHigh = mHigh * row.r - 1.0;
  const double rLow = mLow * row.r;
  const double r = rLow + rHigh;
  const double A = row.tHigh + k * LnF64Table[64].tHigh;
  const double B = row.tLow + k * LnF64Table[64].tLow;
  const double z = r * r;
  const double p = SeriesF64(r, z);
  if (A == 0.0) {
    const double H = (A + rHigh) + rLow;
    return (p + B) + H;
  }
  const double H = A + rHigh;
  return ((p + B) + rLow) + H;
}

// Scaled integers: the float method on the converted value, with the
// multiplier folded into s and into ln 2 once per call.
template <typename Src, typename Dst>
int64_t ScaledIntegerLn(const Src* src, Dst* dst, int64_t n, float multiplier, void* scratch, bool narrow) {
  float* constants = static_cast<float*>(scratch);
  constants[0] = multiplier;
  constants[1] = multiplier * kLn2;
  int64_t event = LN_EVENT_NONE;
  for (int64_t i = 0; i < n; ++i) {
    const int32_t x = LoadAt(src, i);
    const Reduced r = Reduce(BitsOf(static_cast<float>(x)));
    const float s = (r.m - 1.0f) / (r.m + 1.0f);
    float value = Series(s) * (s * constants[0]) + static_cast<float>(r.e) * constants[1];
    if (value < -2147483520.0f) value = -2147483520.0f;
    if (value > 2147483520.0f) value = 2147483520.0f;
    int32_t result = _mm_cvtss_si32(_mm_set_ss(value));
    if (r.e < -62) {
      Record(&event, x == 0 ? LN_EVENT_ZERO : LN_EVENT_NEGATIVE);
      result = INT32_MIN;
    }
    if (narrow) result = result > 32767 ? 32767 : (result < -32768 ? -32768 : result);
    StoreAt(dst, i, static_cast<Dst>(result));
  }
  return event;
}

inline float ScaleFactorMultiplier(int32_t scaleFactor) {
  int32_t bits;
  LnScaleFactorToF32(scaleFactor, &bits);
  return FloatFromBits(static_cast<uint32_t>(bits));
}

DspStatus ChunkedEntry(float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  alignas(16) unsigned char scratch[kScratchBytes];
  int64_t event = LN_EVENT_NONE;
  for (int64_t i = 0; i < len; i += kChunk) {
    const int64_t count = len - i < kChunk ? len - i : kChunk;
    const int64_t chunkEvent = VecLnF32InPlaceKernel(srcDst + i, count, scratch);
    if (event == LN_EVENT_NONE) event = chunkEvent;
  }
  if (event == LN_EVENT_NONE) return DSP_STATUS_OK;
  return event == LN_EVENT_ZERO ? DSP_WARN_LOG_ZERO : DSP_WARN_LOG_NEGATIVE;
}

}  // namespace

int64_t VecLnF32Kernel(const float* src, float* dst, int64_t n, void* scratch) {
  return FloatLnKernel(src, dst, n, scratch, false);
}

int64_t VecLnF32InPlaceKernel(float* srcDst, int64_t n, void* scratch) {
  return FloatLnKernel(srcDst, srcDst, n, scratch, true);
}

int64_t VecLnF64Kernel(const double* src, double* dst, int64_t n) {
  int64_t event = LN_EVENT_NONE;
  for (int64_t i = 0; i < n; ++i) StoreAt(dst, i, LnF64(LoadAt(src, i), &event));
  return event;
}

int64_t VecLnF64ToF32Kernel(const double* src, float* dst, int64_t n) {
  // Narrowing keeps -Inf, +Inf and the default NaN's pattern (0xFFC00000).
  int64_t event = LN_EVENT_NONE;
  for (int64_t i = 0; i < n; ++i) StoreAt(dst, i, static_cast<float>(LnF64(LoadAt(src, i), &event)));
  return event;
}

void LnScaleFactorToF32(int32_t scaleFactor, int32_t* out) {
  *out = static_cast<int32_t>(0x3F800000u - (static_cast<uint32_t>(scaleFactor) << 23));
}

int64_t VecLnS32ScaledKernel(const int32_t* src, int32_t* dst, int64_t n, const float* multiplier, void* scratch) {
  return ScaledIntegerLn(src, dst, n, *multiplier, scratch, false);
}

int64_t VecLnS32ScaledInPlaceKernel(int32_t* srcDst, int64_t n, const float* multiplier, void* scratch) {
  return ScaledIntegerLn(srcDst, srcDst, n, *multiplier, scratch, false);
}

int64_t VecLnS32S16ScaledKernel(const int32_t* src, int16_t* dst, int64_t n, int32_t scaleFactor, void* scratch) {
  return ScaledIntegerLn(src, dst, n, ScaleFactorMultiplier(scaleFactor), scratch, true);
}

int64_t VecLnS16ScaledKernel(const int16_t* src, int16_t* dst, int64_t n, int32_t scaleFactor, void* scratch) {
  return ScaledIntegerLn(src, dst, n, ScaleFactorMultiplier(scaleFactor), scratch, true);
}

int64_t VecLnS16ScaledInPlaceKernel(int16_t* srcDst, int64_t n, int32_t scaleFactor, void* scratch) {
  return ScaledIntegerLn(srcDst, srcDst, n, ScaleFactorMultiplier(scaleFactor), scratch, true);
}

DspStatus VecLnF32InPlaceL1(float* srcDst, int32_t len) { return ChunkedEntry(srcDst, len); }
DspStatus VecLnF32InPlaceL2(float* srcDst, int32_t len) { return ChunkedEntry(srcDst, len); }
DspStatus VecLnF32InPlaceL3(float* srcDst, int32_t len) { return ChunkedEntry(srcDst, len); }
