// The element-wise arithmetic and extremes of the processor-level builds,
// written once; the level files name the builds (see LevelCommon.h for why
// all of this lives in an unnamed namespace).
#pragma once

#include <xmmintrin.h>

#include "primitives/DspTypes.h"
#include "primitives/levels/LevelCommon.h"
#include "primitives/levels/MemoryLevels.h"
#include "primitives/levels/VectorLevels.h"

namespace {
namespace vector_level {

inline float LoadF(const float* p) { return LoadAs<float>(p); }
inline void StoreF(float* p, float v) { StoreAs<float>(p, v); }

template <bool kAligned>
inline __m128 Load4(const float* p) {
  if constexpr (kAligned)
    return _mm_load_ps(p);
  else
    return _mm_loadu_ps(p);
}

enum class Store { kUnaligned, kAligned, kStream };

template <Store kStore>
inline void Store4(float* p, __m128 v) {
  if constexpr (kStore == Store::kAligned)
    _mm_store_ps(p, v);
  else if constexpr (kStore == Store::kStream)
    _mm_stream_ps(p, v);
  else
    _mm_storeu_ps(p, v);
}

inline void Prefetch(const float* p, int64_t byteOffset, int hint) {
  const char* at = reinterpret_cast<const char*>(p) + byteOffset;
  if (hint == _MM_HINT_T0)
    _mm_prefetch(at, _MM_HINT_T0);
  else
    _mm_prefetch(at, _MM_HINT_NTA);
}

// The layout of the eight-per-pass kernels over a destination d of n
// elements: ten or fewer by scalar arithmetic; a destination off a 4-byte
// boundary in blocks of eight from the start (unaligned stores); otherwise a
// scalar head up to the 16-byte boundary, blocks of eight with aligned
// stores, and a scalar tail. element(i) computes and stores element i;
// blocks(first, end, dstAligned) runs the blocks of eight in [first, end).
template <typename Element, typename Blocks>
LEVEL_INLINE inline void EightPerPass(const float* d, int64_t n, Element element, Blocks blocks) {
  if (n <= 10) {
    for (int64_t i = 0; i < n; ++i) element(i);
    return;
  }
  int64_t first = 0;
  const bool dstAligned = Aligned4(d);
  if (dstAligned) {
    first = static_cast<int64_t>((16 - (Addr(d) & 15)) & 15) / 4;
    for (int64_t i = 0; i < first; ++i) element(i);
  }
  const int64_t end = first + ((n - first) & ~int64_t{7});
  blocks(first, end, dstAligned);
  for (int64_t i = end; i < n; ++i) element(i);
}

// ---------------------------------------------------------------------------
// Kernels

inline void AddInPlaceKernel(const float* src, float* srcDst, int64_t n) {
  EightPerPass(
      srcDst, n, [&](int64_t i) LEVEL_INLINE { StoreF(srcDst + i, LoadF(srcDst + i) + LoadF(src + i)); },
      [&](int64_t first, int64_t end, bool dstAligned) LEVEL_INLINE {
        auto run = [&]<bool kDst, bool kSrc>() LEVEL_INLINE {
          for (int64_t i = first; i < end; i += 8) {
            Prefetch(src + i, 32 + 64, _MM_HINT_T0);
            const __m128 v0 = _mm_add_ps(Load4<kDst>(srcDst + i), Load4<kSrc>(src + i));
            const __m128 v1 = _mm_add_ps(Load4<kDst>(srcDst + i + 4), Load4<kSrc>(src + i + 4));
            Store4<kDst ? Store::kAligned : Store::kUnaligned>(srcDst + i, v0);
            Store4<kDst ? Store::kAligned : Store::kUnaligned>(srcDst + i + 4, v1);
          }
        };
        const bool srcAligned = Aligned16(src + first);
        if (!dstAligned)
          run.template operator()<false, false>();
        else if (srcAligned)
          run.template operator()<true, true>();
        else
          run.template operator()<true, false>();
      });
}

inline void AddKernel(const float* a, const float* b, float* dst, int64_t n) {
  EightPerPass(
      dst, n, [&](int64_t i) LEVEL_INLINE { StoreF(dst + i, LoadF(a + i) + LoadF(b + i)); },
      [&](int64_t first, int64_t end, bool dstAligned) LEVEL_INLINE {
        auto run = [&]<Store kStore, bool kA, bool kB>() LEVEL_INLINE {
          for (int64_t i = first; i < end; i += 8) {
            const __m128 v0 = _mm_add_ps(Load4<kA>(a + i), Load4<kB>(b + i));
            const __m128 v1 = _mm_add_ps(Load4<kA>(a + i + 4), Load4<kB>(b + i + 4));
            Store4<kStore>(dst + i, v0);
            Store4<kStore>(dst + i + 4, v1);
          }
        };
        const bool aAligned = Aligned16(a + first);
        const bool bAligned = Aligned16(b + first);
        if (!dstAligned) return run.template operator()<Store::kUnaligned, false, false>();
        // Output far beyond the cache goes around it.
        const bool stream = (end - first) / 8 > VEC_ADD_STREAM_ABOVE_BLOCKS;
        if (stream) {
          if (aAligned && bAligned) return run.template operator()<Store::kStream, true, true>();
          if (aAligned) return run.template operator()<Store::kStream, true, false>();
          if (bAligned) return run.template operator()<Store::kStream, false, true>();
          return run.template operator()<Store::kStream, false, false>();
        }
        if (aAligned && bAligned) return run.template operator()<Store::kAligned, true, true>();
        if (aAligned) return run.template operator()<Store::kAligned, true, false>();
        if (bAligned) return run.template operator()<Store::kAligned, false, true>();
        return run.template operator()<Store::kAligned, false, false>();
      });
}

// In place with a constant: x op value. Large vectors prefetch (non-temporal)
// prefetchBytes beyond each block's start.
template <typename Op>
LEVEL_INLINE inline void ConstInPlaceKernel(float value, float* srcDst, int64_t n, Op op, int64_t prefetchBytes) {
  EightPerPass(
      srcDst, n, [&](int64_t i) LEVEL_INLINE { StoreF(srcDst + i, op(LoadF(srcDst + i), value)); },
      [&](int64_t first, int64_t end, bool dstAligned) LEVEL_INLINE {
        const __m128 v = _mm_set1_ps(value);
        auto run = [&]<bool kAligned, bool kPrefetch>() LEVEL_INLINE {
          for (int64_t i = first; i < end; i += 8) {
            if constexpr (kPrefetch) Prefetch(srcDst + i, prefetchBytes, _MM_HINT_NTA);
            const __m128 v0 = op(Load4<kAligned>(srcDst + i), v);
            const __m128 v1 = op(Load4<kAligned>(srcDst + i + 4), v);
            Store4<kAligned ? Store::kAligned : Store::kUnaligned>(srcDst + i, v0);
            Store4<kAligned ? Store::kAligned : Store::kUnaligned>(srcDst + i + 4, v1);
          }
        };
        const bool large = end - first > VEC_IN_PLACE_PREFETCH_ABOVE;
        if (dstAligned) {
          if (large)
            run.template operator()<true, true>();
          else
            run.template operator()<true, false>();
        } else {
          if (large)
            run.template operator()<false, true>();
          else
            run.template operator()<false, false>();
        }
      });
}

struct AddOp {
  float operator()(float x, float v) const { return x + v; }
  __m128 operator()(__m128 x, __m128 v) const { return _mm_add_ps(x, v); }
};
struct MulOp {
  float operator()(float x, float v) const { return x * v; }
  __m128 operator()(__m128 x, __m128 v) const { return _mm_mul_ps(x, v); }
};

inline void AddConstInPlaceLoop(float value, float* srcDst, int64_t n) {
  ConstInPlaceKernel(value, srcDst, n, AddOp{}, 32);
}
inline void MulConstInPlaceKernel(float value, float* srcDst, int64_t n) {
  ConstInPlaceKernel(value, srcDst, n, MulOp{}, 64);
}

inline void MulConstLoop(const float* src, float value, float* dst, int64_t n) {
  EightPerPass(
      dst, n, [&](int64_t i) LEVEL_INLINE { StoreF(dst + i, LoadF(src + i) * value); },
      [&](int64_t first, int64_t end, bool dstAligned) LEVEL_INLINE {
        const __m128 v = _mm_set1_ps(value);
        auto run = [&]<Store kStore, bool kSrc>() LEVEL_INLINE {
          for (int64_t i = first; i < end; i += 8) {
            const __m128 v0 = _mm_mul_ps(Load4<kSrc>(src + i), v);
            const __m128 v1 = _mm_mul_ps(Load4<kSrc>(src + i + 4), v);
            Store4<kStore>(dst + i, v0);
            Store4<kStore>(dst + i + 4, v1);
          }
        };
        if (!dstAligned) return run.template operator()<Store::kUnaligned, false>();
        if (!Aligned16(src + first)) return run.template operator()<Store::kStream, false>();
        if ((end - first) / 8 > VEC_MUL_CONST_STREAM_ABOVE_BLOCKS)
          return run.template operator()<Store::kStream, true>();
        return run.template operator()<Store::kAligned, true>();
      });
}

inline void AbsKernel(const float* src, float* dst, int64_t n) {
  const __m128 mask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  auto one = [&]() LEVEL_INLINE {
    StoreAs<uint32_t>(dst, LoadAs<uint32_t>(src) & 0x7FFFFFFFu);
    ++src, ++dst, --n;
  };
  while (n > 0 && (Addr(dst) & 12) != 0) one();
  auto run = [&]<int kKind>() LEVEL_INLINE {
    for (; n >= 16; n -= 16, src += 16, dst += 16) {
      for (int q = 0; q < 16; q += 4) {
        __m128 v;
        if constexpr (kKind == 0)
          v = _mm_load_ps(src + q);
        else if constexpr (kKind == 1)
          v = _mm_castsi128_ps(LoadDq128(src + q));
        else
          v = _mm_loadu_ps(src + q);
        v = _mm_and_ps(v, mask);
        if constexpr (kKind == 2)
          _mm_storeu_ps(dst + q, v);
        else
          _mm_store_ps(dst + q, v);
      }
    }
  };
  if (!Aligned16(dst))
    run.template operator()<2>();
  else if (Aligned16(src))
    run.template operator()<0>();
  else
    run.template operator()<1>();
  if (n >= 8) {
    _mm_storeu_ps(dst, _mm_and_ps(_mm_loadu_ps(src), mask));
    _mm_storeu_ps(dst + 4, _mm_and_ps(_mm_loadu_ps(src + 4), mask));
    src += 8, dst += 8, n -= 8;
  }
  if (n >= 4) {
    _mm_storeu_ps(dst, _mm_and_ps(_mm_loadu_ps(src), mask));
    src += 4, dst += 4, n -= 4;
  }
  if (n >= 2) {
    StoreAs<uint64_t>(dst, LoadAs<uint64_t>(src) & 0x7FFFFFFF7FFFFFFFull);
    src += 2, dst += 2, n -= 2;
  }
  if (n >= 1) one();
}

// Maximum (kMax) or minimum of src[0 .. n-1] by lanes. step(acc, x) keeps
// acc only when it is strictly beyond x: MAXPS and MINPS with the
// accumulator as first operand.
template <bool kMax>
inline void ExtremeKernel(const float* src, int64_t n, float* out) {
  auto step = [](__m128 acc, __m128 x) LEVEL_INLINE { return kMax ? _mm_max_ps(acc, x) : _mm_min_ps(acc, x); };
  auto step1 = [](__m128 acc, __m128 x) LEVEL_INLINE { return kMax ? _mm_max_ss(acc, x) : _mm_min_ss(acc, x); };
  auto scalar = [](const float* p) LEVEL_INLINE { return _mm_set_ss(LoadF(p)); };
  __m128 acc = _mm_set1_ps(LoadF(src));
  const float* p = src;
  __m128 running;
  bool combine = true;
  if (!Aligned4(p)) {
    for (; n >= 4; n -= 4, p += 4) acc = step(acc, _mm_loadu_ps(p));
  } else {
    while ((Addr(p) & 12) != 0 && n > 0) {
      acc = step1(acc, scalar(p));
      ++p, --n;
    }
    if (n == 0) {
      StoreF(out, _mm_cvtss_f32(acc));
      return;
    }
    if ((Addr(p) & 31) == 16) {
      if (n < 4) {
        combine = false;
      } else {
        acc = step(acc, _mm_load_ps(p));
        p += 4, n -= 4;
      }
    }
    if (combine && n > 0) {
      if (n >= 16) {
        __m128 acc1 = acc, acc2 = acc, acc3 = acc;
        for (; n >= 16; n -= 16, p += 16) {
          acc = step(acc, _mm_load_ps(p));
          acc1 = step(acc1, _mm_load_ps(p + 4));
          acc2 = step(acc2, _mm_load_ps(p + 8));
          acc3 = step(acc3, _mm_load_ps(p + 12));
        }
        acc = step(step(acc, acc2), step(acc1, acc3));
      }
      for (; n >= 4; n -= 4, p += 4) acc = step(acc, _mm_load_ps(p));
    }
  }
  if (combine) {
    // (lane 0 with lane 2) with (lane 1 with lane 3).
    const __m128 pairs = step(acc, _mm_movehl_ps(acc, acc));
    running = step1(pairs, _mm_shuffle_ps(pairs, pairs, _MM_SHUFFLE(1, 1, 1, 1)));
  } else {
    running = acc;
  }
  for (; n > 0; --n, ++p) running = step1(running, scalar(p));
  StoreF(out, _mm_cvtss_f32(running));
}

// ---------------------------------------------------------------------------
// Public builds. Each calls the level's own zero, copy and kernels.

template <int kLevel>
inline DspStatus ZeroF32(float* dst, int32_t len) {
  if constexpr (kLevel == 1) return VecZeroF32L1(dst, len);
  if constexpr (kLevel == 2) return VecZeroF32L2(dst, len);
  if constexpr (kLevel == 3) return VecZeroF32L3(dst, len);
}

template <int kLevel>
inline DspStatus CopyF32(const float* src, float* dst, int32_t len) {
  if constexpr (kLevel == 1) return VecCopyF32L1(src, dst, len);
  if constexpr (kLevel == 2) return VecCopyF32L2(src, dst, len);
  if constexpr (kLevel == 3) return VecCopyF32L3(src, dst, len);
}

template <int kLevel>
inline void MulConstInPlace(float value, float* srcDst, int64_t n) {
  if constexpr (kLevel == 1)
    VecMulConstF32InPlaceL1Kernel(value, srcDst, n);
  else
    VecMulConstF32InPlaceL2L3Kernel(value, srcDst, n);
}

template <int kLevel>
inline void MulConst(const float* src, float value, float* dst, int64_t n) {
  if constexpr (kLevel == 1)
    VecMulConstF32Loop(src, value, dst, n);
  else
    VecMulConstF32LoopL2L3(src, value, dst, n);
}

template <void (*kKernel)(const float*, float*, int64_t)>
inline DspStatus AddF32InPlace(const float* src, float* srcDst, int32_t len) {
  if (src == nullptr || srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  kKernel(src, srcDst, len);
  return DSP_STATUS_OK;
}

template <void (*kKernel)(const float*, const float*, float*, int64_t)>
inline DspStatus AddF32(const float* a, const float* b, float* dst, int32_t len) {
  if (a == nullptr || b == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  kKernel(a, b, dst, len);
  return DSP_STATUS_OK;
}

template <void (*kLoop)(float, float*, int64_t)>
inline DspStatus AddConstF32InPlace(float value, float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  // Adding zero would turn -0.0 into +0.0; leave the vector as it is.
  if (value == 0.0f) return DSP_STATUS_OK;
  kLoop(value, srcDst, len);
  return DSP_STATUS_OK;
}

template <int kLevel>
inline DspStatus MulConstF32InPlace(float value, float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  if (value == 1.0f) return DSP_STATUS_OK;
  if (value == 0.0f) return ZeroF32<kLevel>(srcDst, len);
  MulConstInPlace<kLevel>(value, srcDst, len);
  return DSP_STATUS_OK;
}

template <int kLevel>
inline DspStatus MulConstF32(const float* src, float value, float* dst, int32_t len) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  if (value == 1.0f) return CopyF32<kLevel>(src, dst, len);
  if (value == 0.0f) return ZeroF32<kLevel>(dst, len);
  MulConst<kLevel>(src, value, dst, len);
  return DSP_STATUS_OK;
}

template <int kLevel>
inline DspStatus DivConstF32(const float* src, float value, float* dst, int32_t len) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  if (value == 0.0f) return DSP_STATUS_DIVIDE_BY_ZERO;
  // One reciprocal, then a multiply: x * (1/3) is not always x / 3.
  const float reciprocal = 1.0f / value;
  return MulConstF32<kLevel>(src, reciprocal, dst, len);
}

template <int kLevel>
inline DspStatus DivConstF32InPlace(float value, float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  return DivConstF32<kLevel>(srcDst, value, srcDst, len);
}

template <void (*kKernel)(const float*, float*, int32_t)>
inline DspStatus AbsF32InPlace(float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  kKernel(srcDst, srcDst, len);
  return DSP_STATUS_OK;
}

template <void (*kKernel)(const float*, int64_t, float*)>
inline DspStatus ExtremeF32(const float* src, int32_t len, float* out) {
  if (src == nullptr || out == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  kKernel(src, len, out);
  return DSP_STATUS_OK;
}

}  // namespace vector_level
}  // namespace
