#include "primitives/Vector.h"

#include <emmintrin.h>

#include <bit>
#include <cstring>

#include "primitives/Dispatch.h"
#include "primitives/levels/MemoryLevels.h"
#include "primitives/levels/VectorLevels.h"

namespace {

inline uint32_t LoadU32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline void StoreU32(unsigned char* p, uint32_t v) { std::memcpy(p, &v, 4); }

// Element loads that also serve vectors off a 4-byte boundary.
inline float LoadF32(const float* p) {
  float f;
  std::memcpy(&f, p, 4);
  return f;
}

inline uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Running extreme of a vector: it starts at src[0] and takes a later element
// only when that element is strictly better, so equal values and NaN elements
// never replace it (a NaN in src[0] stays). From a 16-byte boundary on, eight
// elements per pass go through four lanes with the same rule; the lane fold
// keeps the higher-numbered lane whenever a comparison fails.
template <bool kMax>
float RunningExtreme(const float* src, int64_t len) {
  auto better = [](float candidate, float current) { return kMax ? candidate > current : candidate < current; };
  float best = LoadF32(src);
  int64_t i = 1;
  const uintptr_t address = Address(src);
  if ((address & 3) == 0) {
    const int64_t head = static_cast<int64_t>((16 - (address & 15)) & 15) / 4;
    if (len - head >= 8) {
      for (; i < head; ++i)
        if (better(LoadF32(src + i), best)) best = LoadF32(src + i);
      // The lane form of "new > lanes ? new : lanes" is MAXPS with the new
      // elements as first operand (MINPS likewise).
      auto pick = [](__m128 candidate, __m128 current) {
        return kMax ? _mm_max_ps(candidate, current) : _mm_min_ps(candidate, current);
      };
      __m128 lanes = _mm_set1_ps(best);
      const int64_t end = head + ((len - head) & ~static_cast<int64_t>(7));
      for (i = head; i < end; i += 8) {
        lanes = pick(_mm_load_ps(src + i), lanes);
        lanes = pick(_mm_load_ps(src + i + 4), lanes);
      }
      // (l0 ? l2, l1 ? l3), then lane 0 ? lane 1: the second operand wins
      // every failed comparison.
      __m128 folded =
          kMax ? _mm_max_ps(lanes, _mm_movehl_ps(lanes, lanes)) : _mm_min_ps(lanes, _mm_movehl_ps(lanes, lanes));
      const __m128 second = _mm_shuffle_ps(folded, folded, _MM_SHUFFLE(1, 1, 1, 1));
      folded = kMax ? _mm_max_ss(folded, second) : _mm_min_ss(folded, second);
      best = _mm_cvtss_f32(folded);
      i = end;
    }
  }
  for (; i < len; ++i)
    if (better(LoadF32(src + i), best)) best = LoadF32(src + i);
  return best;
}

}  // namespace

// ---------------------------------------------------------------------------
// Byte kernels

void ZeroBytes(void* dst, int64_t bytes) {
  if (bytes > 0) std::memset(dst, 0, static_cast<size_t>(bytes));
}

void* CopyBytes(const void* src, void* dst, int64_t bytes) {
  const unsigned char* s = static_cast<const unsigned char*>(src);
  unsigned char* d = static_cast<unsigned char*>(dst);
  // Single bytes up to a 4-byte boundary of the destination.
  while (bytes > 0 && (Address(d) & 3) != 0) {
    *d++ = *s++;
    --bytes;
  }
  // 32-byte groups of eight words, each pair read before it is written, so
  // the copy stays strictly ascending even when the ranges overlap.
  for (; bytes >= 32; bytes -= 32, s += 32, d += 32) {
    for (int pair = 0; pair < 4; ++pair) {
      const uint32_t w0 = LoadU32(s + 8 * pair);
      const uint32_t w1 = LoadU32(s + 8 * pair + 4);
      StoreU32(d + 8 * pair, w0);
      StoreU32(d + 8 * pair + 4, w1);
    }
  }
  const bool disjoint = Address(s) + bytes <= Address(d) || Address(d) + bytes <= Address(s);
  if (bytes >= 7 && disjoint) {
    while (bytes > 0 && (Address(d) & 15) != 0) {
      *d++ = *s++;
      --bytes;
    }
    for (; bytes >= 16; bytes -= 16, s += 16, d += 16) std::memcpy(d, s, 16);
  }
  while (bytes-- > 0) *d++ = *s++;
  return dst;
}

void FillU32(uint32_t pattern, void* dst, int64_t count) {
  unsigned char* d = static_cast<unsigned char*>(dst);
  for (int64_t i = 0; i < count; ++i) StoreU32(d + 4 * i, pattern);
}

DspStatus ZeroBytesChecked(void* dst, int32_t bytes) {
  if (dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (bytes <= 0) return DSP_STATUS_BAD_LENGTH;
  ZeroBytes(dst, bytes);
  return DSP_STATUS_OK;
}

DspStatus VecSetS32(int32_t val, int32_t* dst, int32_t len) {
  if (dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  FillU32(static_cast<uint32_t>(val), dst, len);
  return DSP_STATUS_OK;
}

// ---------------------------------------------------------------------------
// Baseline builds

DspStatus VecZeroF32L0(float* dst, int32_t len) {
  if (dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  ZeroBytes(dst, 4 * static_cast<int64_t>(len));
  return DSP_STATUS_OK;
}

DspStatus VecSetF32L0(float val, float* dst, int32_t len) {
  if (dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  FillU32(std::bit_cast<uint32_t>(val), dst, len);
  return DSP_STATUS_OK;
}

DspStatus VecCopyF32L0(const float* src, float* dst, int32_t len) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  CopyBytes(src, dst, 4 * static_cast<int64_t>(len));
  return DSP_STATUS_OK;
}

DspStatus VecMoveF32L0(const float* src, float* dst, int32_t len) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  // Forward when the destination lies below the source, backward when above;
  // the same vector needs nothing. memmove makes exactly that choice, also
  // for byte-misaligned vectors closer than one element.
  if (src != dst) std::memmove(dst, src, 4 * static_cast<size_t>(len));
  return DSP_STATUS_OK;
}

DspStatus VecAddF32L0(const float* a, const float* b, float* dst, int32_t len) {
  if (a == nullptr || b == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  for (int32_t i = 0; i < len; ++i) dst[i] = a[i] + b[i];
  return DSP_STATUS_OK;
}

DspStatus VecAddF32InPlaceL0(const float* src, float* srcDst, int32_t len) {
  if (src == nullptr || srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  for (int32_t i = 0; i < len; ++i) srcDst[i] = src[i] + srcDst[i];
  return DSP_STATUS_OK;
}

DspStatus VecAddConstF32InPlaceL0(float val, float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  // Adding zero would turn -0.0 into +0.0; leave the vector as it is.
  if (val == 0.0f) return DSP_STATUS_OK;
  for (int32_t i = 0; i < len; ++i) srcDst[i] = srcDst[i] + val;
  return DSP_STATUS_OK;
}

DspStatus VecMulConstF32L0(const float* src, float val, float* dst, int32_t len) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  if (val == 1.0f) return VecCopyF32L0(src, dst, len);
  if (val == 0.0f) return VecZeroF32L0(dst, len);
  for (int32_t i = 0; i < len; ++i) dst[i] = src[i] * val;
  return DSP_STATUS_OK;
}

DspStatus VecMulConstF32InPlaceL0(float val, float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  if (val == 1.0f) return DSP_STATUS_OK;
  if (val == 0.0f) return VecZeroF32L0(srcDst, len);
  for (int32_t i = 0; i < len; ++i) srcDst[i] = srcDst[i] * val;
  return DSP_STATUS_OK;
}

DspStatus VecDivConstF32(const float* src, float val, float* dst, int32_t len) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  if (val == 0.0f) return DSP_STATUS_DIVIDE_BY_ZERO;
  // One reciprocal, then a multiply: x * (1/3) is not always x / 3.
  const float reciprocal = 1.0f / val;
  return VecMulConstF32L0(src, reciprocal, dst, len);
}

DspStatus VecDivConstF32InPlaceL0(float val, float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  return VecDivConstF32(srcDst, val, srcDst, len);
}

DspStatus VecAbsF32InPlaceL0(float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len < 1) return DSP_STATUS_BAD_LENGTH;
  // On the bits, so that a NaN keeps its payload (signalling ones included).
  unsigned char* p = reinterpret_cast<unsigned char*>(srcDst);
  for (int32_t i = 0; i < len; ++i) StoreU32(p + 4 * i, LoadU32(p + 4 * i) & 0x7FFFFFFFu);
  return DSP_STATUS_OK;
}

DspStatus VecMaxF32L0(const float* src, int32_t len, float* max) {
  if (src == nullptr || max == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  *max = RunningExtreme<true>(src, len);
  return DSP_STATUS_OK;
}

DspStatus VecMinF32L0(const float* src, int32_t len, float* min) {
  if (src == nullptr || min == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  *min = RunningExtreme<false>(src, len);
  return DSP_STATUS_OK;
}

// ---------------------------------------------------------------------------
// Dispatch

DSP_DISPATCH_TABLE(VecZeroF32, VecZeroF32L0, VecZeroF32L1, VecZeroF32L2, VecZeroF32L3);
DSP_DISPATCH_TABLE(VecSetF32, VecSetF32L0, VecSetF32L1, VecSetF32L2, VecSetF32L3);
DSP_DISPATCH_TABLE(VecCopyF32, VecCopyF32L0, VecCopyF32L1, VecCopyF32L2, VecCopyF32L3);
DSP_DISPATCH_TABLE(VecMoveF32, VecMoveF32L0, VecMoveF32L1, VecMoveF32L2, VecMoveF32L3);
DSP_DISPATCH_TABLE(VecAddF32, VecAddF32L0, VecAddF32L1, VecAddF32L2L3, VecAddF32L2L3);
DSP_DISPATCH_TABLE(VecAddF32InPlace, VecAddF32InPlaceL0, VecAddF32InPlaceL1, VecAddF32InPlaceL2L3,
                   VecAddF32InPlaceL2L3);
DSP_DISPATCH_TABLE(VecAddConstF32InPlace, VecAddConstF32InPlaceL0, VecAddConstF32InPlaceL1, VecAddConstF32InPlaceL2L3,
                   VecAddConstF32InPlaceL2L3);
DSP_DISPATCH_TABLE(VecMulConstF32, VecMulConstF32L0, VecMulConstF32L1, VecMulConstF32L2, VecMulConstF32L3);
DSP_DISPATCH_TABLE(VecMulConstF32InPlace, VecMulConstF32InPlaceL0, VecMulConstF32InPlaceL1, VecMulConstF32InPlaceL2,
                   VecMulConstF32InPlaceL3);
DSP_DISPATCH_TABLE(VecDivConstF32InPlace, VecDivConstF32InPlaceL0, VecDivConstF32InPlaceL1, VecDivConstF32InPlaceL2,
                   VecDivConstF32InPlaceL3);
DSP_DISPATCH_TABLE(VecAbsF32InPlace, VecAbsF32InPlaceL0, VecAbsF32InPlaceL1, VecAbsF32InPlaceL2, VecAbsF32InPlaceL3);
DSP_DISPATCH_TABLE(VecMaxF32, VecMaxF32L0, VecMaxF32L1, VecMaxF32L2, VecMaxF32L3);
DSP_DISPATCH_TABLE(VecMinF32, VecMinF32L0, VecMinF32L1, VecMinF32L2, VecMinF32L3);

DspStatus VecZeroF32(float* dst, int32_t len) { return DspDispatch(VecZeroF32Table, dst, len); }
DspStatus VecSetF32(float val, float* dst, int32_t len) { return DspDispatch(VecSetF32Table, val, dst, len); }
DspStatus VecCopyF32(const float* src, float* dst, int32_t len) { return DspDispatch(VecCopyF32Table, src, dst, len); }
DspStatus VecMoveF32(const float* src, float* dst, int32_t len) { return DspDispatch(VecMoveF32Table, src, dst, len); }
DspStatus VecAddF32(const float* a, const float* b, float* dst, int32_t len) {
  return DspDispatch(VecAddF32Table, a, b, dst, len);
}
DspStatus VecAddF32InPlace(const float* src, float* srcDst, int32_t len) {
  return DspDispatch(VecAddF32InPlaceTable, src, srcDst, len);
}
DspStatus VecAddConstF32InPlace(float val, float* srcDst, int32_t len) {
  return DspDispatch(VecAddConstF32InPlaceTable, val, srcDst, len);
}
DspStatus VecMulConstF32(const float* src, float val, float* dst, int32_t len) {
  return DspDispatch(VecMulConstF32Table, src, val, dst, len);
}
DspStatus VecMulConstF32InPlace(float val, float* srcDst, int32_t len) {
  return DspDispatch(VecMulConstF32InPlaceTable, val, srcDst, len);
}
DspStatus VecDivConstF32InPlace(float val, float* srcDst, int32_t len) {
  return DspDispatch(VecDivConstF32InPlaceTable, val, srcDst, len);
}
DspStatus VecAbsF32InPlace(float* srcDst, int32_t len) { return DspDispatch(VecAbsF32InPlaceTable, srcDst, len); }
DspStatus VecMaxF32(const float* src, int32_t len, float* max) { return DspDispatch(VecMaxF32Table, src, len, max); }
DspStatus VecMinF32(const float* src, int32_t len, float* min) { return DspDispatch(VecMinF32Table, src, len, min); }
