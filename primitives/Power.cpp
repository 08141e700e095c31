#include "primitives/Power.h"

#include <xmmintrin.h>

#include <bit>
#include <cstring>

#include "primitives/Dispatch.h"
#include "primitives/levels/PowerLevels.h"

namespace {

#include "primitives/PowerTableLog.inc"

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
