// The IIR kernels and the level builds of the IIR primitive, written once for
// the level files (IirL1.cpp, IirL2.cpp, IirL3.cpp), which name the builds
// through IirLevelEntries.inc. Everything here lives in an unnamed namespace
// so that each level file keeps its own copy, compiled with its own
// instruction set.
//
// Every sum is formed in the order and grouping that the kernel's contract
// fixes, so a lane-wise vector form and the scalar form give the same bits.
#pragma once

#if !defined(__SSE3__)
#error "the IIR level kernels belong to the level files, which are compiled for SSE3 or above"
#endif

#include <emmintrin.h>
#include <xmmintrin.h>

#include <bit>
#include <cstdint>
#include <type_traits>

#include "primitives/unreached/ElementAccess.h"
#include "primitives/unreached/iir/IirKernels.h"
#include "primitives/unreached/iir/IirStateLayout.h"

namespace {
namespace iir_level {

// ---------------------------------------------------------------------------
// Record access

template <typename T>
inline T* TapsAs(const IirState* state) {
  return static_cast<T*>(static_cast<void*>(state->taps));
}
template <typename T>
inline T* DelayAs(const IirState* state) {
  return static_cast<T*>(static_cast<void*>(state->delayLine));
}
template <typename T>
inline const T* StepTableAs(const IirState* state) {
  return static_cast<const T*>(state->stepTable);
}

// Sections a biquad step runs: the section count, or the order field's 2S
// for the forms that walk the delay line by it; a step always runs one.
inline int32_t SectionsOf(const IirState* state, bool byOrderField) {
  const int32_t sections = byOrderField ? static_cast<int32_t>((int64_t{state->order} + 1) / 2) : state->sectionCount;
  return sections < 1 ? 1 : sections;
}

// ---------------------------------------------------------------------------
// Complex arithmetic of the direct forms: p * q as
// (Re p Re q + Im p (0 - Im q), Re p Im q + Im p Re q).

template <typename C>
inline C Add(C a, C b) {
  return {a.re + b.re, a.im + b.im};
}
template <typename C>
inline C Sub(C a, C b) {
  return {a.re - b.re, a.im - b.im};
}
template <typename C>
inline C Mul(C p, C q) {
  using T = decltype(p.re);
  return {p.re * q.re + p.im * (T{0} - q.im), p.re * q.im + p.im * q.re};
}

// ---------------------------------------------------------------------------
// Output conversions

// 2^-sf from its exponent bits; sf outside the exponent range gives what the
// bit pattern gives.
inline float MultiplierF32(int32_t sf) { return FloatFromBits(0x3F800000u - (static_cast<uint32_t>(sf) << 23)); }
inline double MultiplierF64(int32_t sf) {
  return DoubleFromBits(0x3FF0000000000000ull - (static_cast<uint64_t>(static_cast<int64_t>(sf)) << 52));
}

// Float to int32 in the MXCSR rounding, four lanes. The conversion's
// out-of-range value is negative; values at 2^31 and above saturate high
// instead, so a large positive output never turns into full negative scale.
// NaN stays at the low end.
inline __m128i RoundToS32Saturating(__m128 v) {
  const __m128i converted = _mm_cvtps_epi32(v);
  return _mm_xor_si128(converted, _mm_castps_si128(_mm_cmpge_ps(v, _mm_set1_ps(2147483648.0f))));
}

inline int16_t ToS16FromF32(float v) {
  const __m128i r = RoundToS32Saturating(_mm_set_ss(v));
  return static_cast<int16_t>(_mm_cvtsi128_si32(_mm_packs_epi32(r, r)));
}

// Four outputs packed with signed saturation into dst[0..3].
inline void StoreS16x4(int16_t* dst, __m128 v) {
  const __m128i r = RoundToS32Saturating(v);
  const __m128i packed = _mm_packs_epi32(r, r);
  StoreAt(reinterpret_cast<int64_t*>(static_cast<void*>(dst)), 0, static_cast<int64_t>(_mm_cvtsi128_si64(packed)));
}

// Double to an integer range: min (a NaN takes the bound), max, then the
// MXCSR rounding.
inline int32_t ClampRoundF64(double v, double lo, double hi) {
  const __m128d clamped = _mm_max_sd(_mm_min_sd(_mm_set_sd(v), _mm_set_sd(hi)), _mm_set_sd(lo));
  return _mm_cvtsd_si32(clamped);
}

// Input samples widened exactly to the arithmetic type.
template <typename A, typename S>
inline A Widen(S s) {
  if constexpr (requires { s.re; })
    return {static_cast<decltype(A{}.re)>(s.re), static_cast<decltype(A{}.re)>(s.im)};
  else
    return static_cast<A>(s);
}

template <typename A>
inline A Scale(A y, int32_t sf) {
  if constexpr (std::is_same_v<A, float>) return y * MultiplierF32(sf);
  if constexpr (std::is_same_v<A, double>) return y * MultiplierF64(sf);
  if constexpr (std::is_same_v<A, ComplexF32>) return {y.re * MultiplierF32(sf), y.im * MultiplierF32(sf)};
  if constexpr (std::is_same_v<A, ComplexF64>) return {y.re * MultiplierF64(sf), y.im * MultiplierF64(sf)};
}

template <typename S, typename T>
inline S NarrowPart(T v) {
  if constexpr (std::is_same_v<S, T>) return v;
  if constexpr (std::is_same_v<S, float>) return static_cast<float>(v);  // from double, MXCSR rounding
  if constexpr (std::is_same_v<S, int16_t> && std::is_same_v<T, float>) return ToS16FromF32(v);
  if constexpr (std::is_same_v<S, int16_t> && std::is_same_v<T, double>)
    return static_cast<int16_t>(ClampRoundF64(v, -32768.0, 32767.0));
  if constexpr (std::is_same_v<S, int32_t>) return ClampRoundF64(v, -2147483648.0, 2147483647.0);
}

template <typename S, typename A>
inline S Narrow(A y) {
  if constexpr (requires { y.re; }) {
    using Part = decltype(S{}.re);
    return {NarrowPart<Part>(y.re), NarrowPart<Part>(y.im)};
  } else {
    return NarrowPart<S>(y);
  }
}

// ---------------------------------------------------------------------------
// Step forms: each takes the widened sample and returns y.

// Arbitrary order, real: y = b0 x + d0; d[i] = (b[i+1] x - a[i+1] y) + d[i+1].
template <typename A>
inline A ArbitraryStep(A x, const IirState* state) {
  const A* t = TapsAs<A>(state);
  A* d = DelayAs<A>(state);
  const int32_t n = state->order;
  if (n <= 0) return x * t[0];
  const A y = t[0] * x + d[0];
  int32_t i = 0;
  if constexpr (std::is_same_v<A, float>) {
    // Four entries per vector: every new d[i] reads only the old d[i+1].
    const __m128 vx = _mm_set1_ps(x), vy = _mm_set1_ps(y);
    for (; i + 4 <= n; i += 4) {
      const __m128 b = _mm_loadu_ps(t + i + 1), a = _mm_loadu_ps(t + n + i + 1);
      _mm_storeu_ps(d + i, _mm_add_ps(_mm_sub_ps(_mm_mul_ps(b, vx), _mm_mul_ps(a, vy)), _mm_loadu_ps(d + i + 1)));
    }
  }
  for (; i < n; ++i) d[i] = (t[i + 1] * x - t[n + i + 1] * y) + d[i + 1];
  return y;
}

// Biquads in float through T1: t = (b0, b1, b2) v + (s0, s1, 0);
// y = t0, s0 = t1 + (-a1) y, s1 = t2 + (-a2) y.
inline float BiquadStepF32(float x, const IirState* state) {
  const IirBiquadStepRecord* record = StepTableAs<IirBiquadStepRecord>(state);
  float* s = DelayAs<float>(state);
  const int32_t sections = SectionsOf(state, false);
  float v = x;
  for (int32_t k = 0; k < sections; ++k, s += 2) {
    const IirBiquadStepRecord& r = record[k];
    const float t0 = r.b[0] * v + s[0], t1 = r.b[1] * v + s[1], t2 = r.b[2] * v + 0.0f;
    s[0] = t1 + r.negA[0] * t0;
    s[1] = t2 + r.negA[1] * t0;
    v = t0;
  }
  return v;
}

// Biquads in double through T4: y = b0 v + s0; s0 = b1 v + ((-a1) y + s1);
// s1 = b2 v + (-a2) y.
inline double BiquadStepF64(double x, const IirState* state) {
  const IirBiquadStepRecordF64* record = StepTableAs<IirBiquadStepRecordF64>(state);
  double* s = DelayAs<double>(state);
  const int32_t sections = SectionsOf(state, true);
  double v = x;
  for (int32_t k = 0; k < sections; ++k, s += 2) {
    const IirBiquadStepRecordF64& r = record[k];
    const double y = v * r.b0[0] + s[0];
    s[0] = r.b12[0] * v + (r.negA[0] * y + s[1]);
    s[1] = r.b12[1] * v + r.negA[1] * y;
    v = y;
  }
  return v;
}

// Complex float, arbitrary order: straight from the taps below order 4,
// through T2 from order 4 on.
inline ComplexF32 ComplexStepF32(ComplexF32 x, const IirState* state) {
  const ComplexF32* t = TapsAs<ComplexF32>(state);
  ComplexF32* d = DelayAs<ComplexF32>(state);
  const int32_t n = state->order;
  if (n < 4) {
    const ComplexF32 y = Add(Mul(t[0], x), d[0]);
    for (int32_t i = 0; i < n; ++i) d[i] = Add(Sub(Mul(t[i + 1], x), Mul(t[n + i + 1], y)), d[i + 1]);
    return y;
  }
  const IirComplexStepHeadF32* head = StepTableAs<IirComplexStepHeadF32>(state);
  const IirVector* q = reinterpret_cast<const IirVector*>(head + 1);
  const ComplexF32 y = {(d[0].re + head->p0[0] * x.re) + head->p1[0] * x.im,
                        (d[0].im + head->p0[1] * x.im) + head->p1[1] * x.re};
  const float xs[4] = {x.re, x.im, x.re, x.im}, xw[4] = {x.im, x.re, x.im, x.re};
  for (int32_t k = 0; k < n; k += 2, q += 4) {
    const float next[4] = {d[k + 1].re, d[k + 1].im, k + 1 < n ? d[k + 2].re : 0.0f, k + 1 < n ? d[k + 2].im : 0.0f};
    float lane[4];
    for (int l = 0; l < 4; ++l)
      lane[l] = ((q[0].lane[l] * xs[l] + q[1].lane[l] * xw[l]) + (q[2].lane[l] * y.re + q[3].lane[l] * y.im)) + next[l];
    d[k] = {lane[0], lane[1]};
    if (k + 1 < n) d[k + 1] = {lane[2], lane[3]};
  }
  return y;
}

// Complex float biquads: straight from the taps below 5 sections, through
// T3 from 5 on.
inline ComplexF32 ComplexBiquadStepF32(ComplexF32 x, const IirState* state) {
  ComplexF32* s = DelayAs<ComplexF32>(state);
  ComplexF32 v = x;
  if (state->sectionCount < 5) {
    const ComplexF32* c = TapsAs<ComplexF32>(state);
    const int32_t sections = SectionsOf(state, true);
    for (int32_t k = 0; k < sections; ++k, c += 5, s += 2) {
      const ComplexF32 y = Add(Mul(c[0], v), s[0]);
      s[0] = Sub(Add(Mul(c[1], v), s[1]), Mul(c[3], y));
      s[1] = Sub(Mul(c[2], v), Mul(c[4], y));
      v = y;
    }
    return v;
  }
  const IirComplexBiquadStepRecordF32* record = StepTableAs<IirComplexBiquadStepRecordF32>(state);
  for (int32_t k = 0; k < state->sectionCount; ++k, s += 2) {
    const IirComplexBiquadStepRecordF32& r = record[k];
    const ComplexF32 y = {(r.p0[0] * v.re + r.p1[0] * v.im) + s[0].re, (r.p0[1] * v.re + r.p1[1] * v.im) + s[0].im};
    const float carry[4] = {s[1].re, s[1].im, 0.0f, 0.0f};
    float lane[4];
    for (int l = 0; l < 4; ++l)
      lane[l] = (carry[l] + (r.q[0].lane[l] * v.re + r.q[1].lane[l] * v.im)) +
                (r.q[2].lane[l] * y.re + r.q[3].lane[l] * y.im);
    s[0] = {lane[0], lane[1]};
    s[1] = {lane[2], lane[3]};
    v = y;
  }
  return v;
}

// addsub(p, q) = (p0 - q0, p1 + q1) of two-lane pairs.
inline ComplexF64 AddSub(double p0, double p1, double q0, double q1) { return {p0 - q0, p1 + q1}; }

// The product of a T5/T6 pair and its swapped pair with z:
// addsub(P (Re z, Re z), Ps (Im z, Im z)).
inline ComplexF64 PairProduct(const double* p, const double* ps, ComplexF64 z) {
  return AddSub(p[0] * z.re, p[1] * z.re, ps[0] * z.im, ps[1] * z.im);
}

// Complex double, arbitrary order, through T5.
inline ComplexF64 ComplexStepF64(ComplexF64 x, const IirState* state) {
  const auto* head = StepTableAs<double>(state);
  const auto* entry = reinterpret_cast<const IirComplexStepEntryF64*>(head + 4);
  ComplexF64* d = DelayAs<ComplexF64>(state);
  const int32_t n = state->order;
  const ComplexF64 u0 = PairProduct(head, head + 2, x);
  if (n <= 0) return u0;
  const ComplexF64 y = Add(d[0], u0);
  for (int32_t k = 1; k <= n; ++k) {
    const IirComplexStepEntryF64& e = entry[k - 1];
    d[k - 1] = Add(d[k], Add(PairProduct(e.b, e.bSwapped, x), PairProduct(e.negA, e.negASwapped, y)));
  }
  return y;
}

// Complex double biquads through T6.
inline ComplexF64 ComplexBiquadStepF64(ComplexF64 x, const IirState* state) {
  const IirComplexBiquadStepRecordF64* record = StepTableAs<IirComplexBiquadStepRecordF64>(state);
  ComplexF64* s = DelayAs<ComplexF64>(state);
  const int32_t sections = SectionsOf(state, false);
  ComplexF64 v = x;
  for (int32_t k = 0; k < sections; ++k, s += 2) {
    const auto& p = record[k].pair;
    const ComplexF64 y = AddSub(p[0][0] * v.re + s[0].re, p[0][1] * v.re + s[0].im, p[1][0] * v.im, p[1][1] * v.im);
    const ComplexF64 u1 = PairProduct(p[2], p[3], v), u2 = PairProduct(p[4], p[5], v);
    s[0] = Add(PairProduct(p[6], p[7], y), Add(s[1], u1));
    s[1] = Add(PairProduct(p[8], p[9], y), u2);
    v = y;
  }
  return v;
}

enum class Form { Arbitrary, Biquad };

// One member: widen, step, store yOut (dual members), scale (integer
// samples) and narrow.
template <Form kForm, typename S, typename A>
inline void Step(const S* src, S* dst, A* yOut, IirState* state, int32_t sf) {
  const A x = Widen<A>(LoadAt(src, 0));
  A y;
  if constexpr (kForm == Form::Arbitrary) {
    if constexpr (std::is_same_v<A, ComplexF32>)
      y = ComplexStepF32(x, state);
    else if constexpr (std::is_same_v<A, ComplexF64>)
      y = ComplexStepF64(x, state);
    else
      y = ArbitraryStep<A>(x, state);
  } else {
    if constexpr (std::is_same_v<A, float>)
      y = BiquadStepF32(x, state);
    else if constexpr (std::is_same_v<A, double>)
      y = BiquadStepF64(x, state);
    else if constexpr (std::is_same_v<A, ComplexF32>)
      y = ComplexBiquadStepF32(x, state);
    else
      y = ComplexBiquadStepF64(x, state);
  }
  if (yOut != nullptr) StoreAt(yOut, 0, y);
  if constexpr (std::is_integral_v<S> || std::is_same_v<S, ComplexS16> || std::is_same_v<S, ComplexS32>)
    StoreAt(dst, 0, Narrow<S>(Scale(y, sf)));
  else
    StoreAt(dst, 0, Narrow<S>(y));
}

// ---------------------------------------------------------------------------
// Block kernels, real

inline float SampleAt(const float* src, int64_t i) { return LoadAt(src, i); }
inline float SampleAt(const int16_t* src, int64_t i) { return static_cast<float>(LoadAt(src, i)); }
inline __m128 FourAt(const float* src, int64_t i) { return _mm_loadu_ps(src + i); }
inline __m128 FourAt(const int16_t* src, int64_t i) {
  const __m128i raw = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + i));
  return _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(raw, raw), 16));
}

// w[j] = sum b'[k] src[j+N-k]: p[t] = src[j+t] b'[N-t], oldest sample first.
// Orders 0-3 sum in a fixed form whatever the step; from order 4 on, groups
// of four outputs add taps four at a time and the count mod 4 outputs left
// at the end add them one by one.
template <typename Src>
inline void FeedForward(const Src* src, float* work, int64_t count, const IirVector* taps, int32_t order) {
  const int32_t n = order;
  auto b = [&](int32_t k) { return _mm_load_ps(taps[k].lane); };
  auto p = [&](int64_t j, int32_t t) { return _mm_mul_ps(FourAt(src, j + t), b(n - t)); };
  auto ps = [&](int64_t j, int32_t t) { return SampleAt(src, j + t) * taps[n - t].lane[0]; };
  int64_t j = 0;
  const int64_t groups = count & ~int64_t{3};
  if (n <= 3) {
    // The same sums on four lanes and one.
    auto four = [&](int64_t at) -> __m128 {
      switch (n) {
        case 0:
          return _mm_mul_ps(b(0), FourAt(src, at));
        case 1:
          return _mm_add_ps(p(at, 0), p(at, 1));
        case 2:
          return _mm_add_ps(_mm_add_ps(p(at, 0), p(at, 1)), p(at, 2));
        default:
          return _mm_add_ps(_mm_add_ps(p(at, 0), p(at, 1)), _mm_add_ps(p(at, 3), p(at, 2)));
      }
    };
    auto one = [&](int64_t at) -> float {
      switch (n) {
        case 0:
          return taps[0].lane[0] * SampleAt(src, at);
        case 1:
          return ps(at, 0) + ps(at, 1);
        case 2:
          return (ps(at, 0) + ps(at, 1)) + ps(at, 2);
        default:
          return (ps(at, 0) + ps(at, 1)) + (ps(at, 3) + ps(at, 2));
      }
    };
    for (; j < groups; j += 4) _mm_storeu_ps(work + j, four(j));
    for (; j < count; ++j) StoreAt(work, j, one(j));
    return;
  }
  for (; j < groups; j += 4) {
    __m128 acc = _mm_setzero_ps();
    int32_t t = 0;
    for (; n + 1 - t >= 4; t += 4)
      acc = _mm_add_ps(acc, _mm_add_ps(_mm_add_ps(p(j, t), p(j, t + 1)), _mm_add_ps(p(j, t + 3), p(j, t + 2))));
    switch (n + 1 - t) {
      case 1:
        acc = _mm_add_ps(acc, p(j, t));
        break;
      case 2:
        acc = _mm_add_ps(acc, _mm_add_ps(p(j, t), p(j, t + 1)));
        break;
      case 3:
        acc = _mm_add_ps(_mm_add_ps(acc, p(j, t + 2)), _mm_add_ps(p(j, t), p(j, t + 1)));
        break;
      default:
        break;
    }
    _mm_storeu_ps(work + j, acc);
  }
  for (; j < count; ++j) {
    float acc = 0.0f;
    for (int32_t t = 0; t <= n; ++t) acc = acc + ps(j, t);
    StoreAt(work, j, acc);
  }
}

// Where a recursion puts its outputs: the float history (always, or only
// from the last group of four on) and the 16-bit samples beside it.
struct RecursionOutput {
  float* history;
  int16_t* dst;  // null: float outputs only
  int32_t sf;
  bool historyFromLastGroup;
};

// y[N+j] = w[j] + sum c[k] y[N+j-k]. Groups of four outputs from the
// lookahead table V (mask: w[t+3] in lane 3 only), the count mod 4 outputs
// left by the plain recursion with c[k] = lane 0 of V[k-1].
inline void Recursion(const float* w, int64_t count, const IirVector* table, int32_t order, RecursionOutput out) {
  const int32_t n = order;
  auto v = [&](int32_t i) { return _mm_load_ps(table[i].lane); };
  auto c = [&](int32_t k) { return table[k - 1].lane[0]; };
  auto bc = [](float f) { return _mm_set1_ps(f); };
  const __m128 laneThree = _mm_castsi128_ps(_mm_set_epi32(-1, 0, 0, 0));
  const float m = MultiplierF32(out.sf);
  const int64_t groups = count & ~int64_t{3};
  // The history the groups read: the array, or (when only the last group is
  // written back) the previous group's lanes.
  float carried[4] = {};
  auto past = [&](int64_t t, int32_t k) -> float {
    if (!out.historyFromLastGroup || t - k < n) return LoadAt(out.history, t - k);
    return carried[4 - k];
  };
  for (int64_t g = 0; g < groups; g += 4) {
    const int64_t t = n + g;
    auto fb = [&](int32_t k) { return _mm_mul_ps(bc(past(t, k)), v(k - 1)); };
    auto wt = [&](int32_t i) { return _mm_mul_ps(bc(LoadAt(w, g + i)), v(n + i)); };
    const __m128 mask = _mm_and_ps(_mm_loadu_ps(w + g), laneThree);
    __m128 y;
    switch (n) {
      case 1:
        y = _mm_add_ps(_mm_add_ps(fb(1), wt(0)), _mm_add_ps(_mm_add_ps(wt(1), wt(2)), mask));
        break;
      case 2:
        y = _mm_add_ps(_mm_add_ps(fb(2), fb(1)), _mm_add_ps(_mm_add_ps(wt(0), wt(1)), _mm_add_ps(wt(2), mask)));
        break;
      case 3:
        y = _mm_add_ps(_mm_add_ps(_mm_add_ps(fb(3), fb(2)), mask),
                       _mm_add_ps(_mm_add_ps(fb(1), wt(0)), _mm_add_ps(wt(1), wt(2))));
        break;
      case 4:
        y = _mm_add_ps(_mm_add_ps(_mm_add_ps(fb(4), fb(3)), _mm_add_ps(fb(2), fb(1))),
                       _mm_add_ps(_mm_add_ps(wt(0), wt(1)), _mm_add_ps(wt(2), mask)));
        break;
      default: {
        // Oldest first, four products at a time; the last one to four go in
        // one sum with the w terms.
        __m128 acc = _mm_setzero_ps();
        int32_t k = n;
        do {
          acc = _mm_add_ps(acc, _mm_add_ps(_mm_add_ps(fb(k), fb(k - 1)), _mm_add_ps(fb(k - 2), fb(k - 3))));
          k -= 4;
        } while (k > 4);
        __m128 last = fb(k);
        if (k >= 2) last = _mm_add_ps(last, fb(k - 1));
        if (k >= 3) last = _mm_add_ps(last, k == 4 ? _mm_add_ps(fb(2), fb(1)) : fb(1));
        const __m128 ws = _mm_add_ps(_mm_add_ps(wt(0), wt(1)), _mm_add_ps(wt(2), mask));
        y = _mm_add_ps(acc, _mm_add_ps(last, ws));
        break;
      }
    }
    _mm_storeu_ps(carried, y);
    if (!out.historyFromLastGroup || g + 4 == groups) _mm_storeu_ps(out.history + t, y);
    if (out.dst != nullptr) StoreS16x4(out.dst + t, _mm_mul_ps(y, bc(m)));
  }
  for (int64_t j = groups; j < count; ++j) {
    const int64_t t = n + j;
    auto yp = [&](int32_t k) { return LoadAt(out.history, t - k); };
    const float wj = LoadAt(w, j);
    float y;
    switch (n) {
      case 1:
        y = yp(1) * c(1) + wj;
        break;
      case 2:
        y = yp(1) * c(1) + (wj + yp(2) * c(2));
        break;
      case 3:
        y = (yp(1) * c(1) + yp(2) * c(2)) + (wj + yp(3) * c(3));
        break;
      case 4:
        y = (yp(1) * c(1) + yp(2) * c(2)) + ((yp(3) * c(3) + yp(4) * c(4)) + wj);
        break;
      default: {
        float acc = 0.0f;
        for (int32_t k = n; k >= 1; --k) acc = acc + yp(k) * c(k);
        y = acc + wj;
        break;
      }
    }
    StoreAt(out.history, t, y);
    if (out.dst != nullptr) StoreAt(out.dst, t, ToS16FromF32(y * m));
  }
}

// ---------------------------------------------------------------------------
// Block kernels, complex

inline ComplexF32 SampleAt(const ComplexF32* src, int64_t i) { return LoadAt(src, i); }
inline ComplexF32 SampleAt(const ComplexS16* src, int64_t i) {
  const ComplexS16 s = LoadAt(src, i);
  return {static_cast<float>(s.re), static_cast<float>(s.im)};
}

// x b through the entry's vectors: (Re x A0 + Im x B0, Im x A1 + Re x B1).
inline ComplexF32 TapProduct(const IirComplexTapEntry& e, ComplexF32 x) {
  return {x.re * e.a.lane[0] + x.im * e.b.lane[0], x.im * e.a.lane[1] + x.re * e.b.lane[1]};
}

// dst[i] = sum b_k src[i+N-k], oldest sample first, in the grouping of the
// real feed-forward's four-output path, for every output alike.
template <typename Src>
inline void ComplexFeedForward(const Src* src, ComplexF32* dst, int64_t count, const IirComplexTapEntry* taps,
                               int32_t order) {
  const int32_t n = order;
  for (int64_t i = 0; i < count; ++i) {
    auto p = [&](int32_t t) { return TapProduct(taps[n - t], SampleAt(src, i + t)); };
    ComplexF32 acc;
    switch (n) {
      case 0:
        acc = p(0);
        break;
      case 1:
        acc = Add(p(0), p(1));
        break;
      case 2:
        acc = Add(Add(p(0), p(1)), p(2));
        break;
      case 3:
        acc = Add(Add(p(0), p(1)), Add(p(3), p(2)));
        break;
      default: {
        acc = {0.0f, 0.0f};
        int32_t t = 0;
        for (; n + 1 - t >= 4; t += 4) acc = Add(acc, Add(Add(p(t), p(t + 1)), Add(p(t + 3), p(t + 2))));
        if (n + 1 - t == 1) acc = Add(acc, p(t));
        if (n + 1 - t == 2) acc = Add(acc, Add(p(t), p(t + 1)));
        if (n + 1 - t == 3) acc = Add(Add(acc, p(t + 2)), Add(p(t), p(t + 1)));
        break;
      }
    }
    StoreAt(dst, i, acc);
  }
}

struct ComplexRecursionOutput {
  ComplexF32* history;
  ComplexS16* dst;  // null: float outputs only
  int32_t sf;
  bool historyFromLastPair;  // orders 1 and 2 of the 16-bit kernel
};

// Two complex outputs on four lanes.
struct Quad {
  float lane[4];
};
inline Quad operator+(const Quad& a, const Quad& b) {
  return {{a.lane[0] + b.lane[0], a.lane[1] + b.lane[1], a.lane[2] + b.lane[2], a.lane[3] + b.lane[3]}};
}
// Re z V[i] + Im z V[i+1] of a lookahead entry.
inline Quad Weighted(const IirComplexLookaheadEntry& e, int i, ComplexF32 z) {
  Quad q;
  for (int l = 0; l < 4; ++l) q.lane[l] = z.re * e.v[i].lane[l] + z.im * e.v[i + 1].lane[l];
  return q;
}

inline void StoreComplexS16(ComplexS16* dst, int64_t at, ComplexF32 y, float m) {
  StoreAt(dst, at, ComplexS16{ToS16FromF32(y.re * m), ToS16FromF32(y.im * m)});
}

// y[n] = w[n] + sum c_k y[n-k]: groups of four outputs as the pairs
// P = (y[n], y[n+1]) and Q = (y[n+2], y[n+3]), feedback taps two at a time
// from the oldest; the count mod 4 outputs left by the plain recursion.
inline void ComplexRecursion(const ComplexF32* w, int64_t count, const IirComplexLookaheadEntry* table, int32_t order,
                             ComplexRecursionOutput out) {
  const int32_t n = order;
  const float m = MultiplierF32(out.sf);
  const int64_t groups = count & ~int64_t{3};
  ComplexF32 carried[4] = {};
  auto past = [&](int64_t t, int32_t k) -> ComplexF32 {
    if (!out.historyFromLastPair || t - k < n) return LoadAt(out.history, t - k);
    return carried[4 - k];
  };
  for (int64_t g = 0; g < groups; g += 4) {
    const int64_t t = n + g;
    auto feedback = [&](int i) {
      Quad acc = Weighted(table[n - 1], i, past(t, n));
      if (n >= 2) acc = acc + Weighted(table[n - 2], i, past(t, n - 1));
      int32_t k = n - 2;
      for (; k >= 2; k -= 2)
        acc = acc + (Weighted(table[k - 1], i, past(t, k)) + Weighted(table[k - 2], i, past(t, k - 1)));
      if (k == 1) acc = acc + Weighted(table[0], i, past(t, 1));
      return acc;
    };
    const ComplexF32 w0 = LoadAt(w, g), w1 = LoadAt(w, g + 1), w2 = LoadAt(w, g + 2), w3 = LoadAt(w, g + 3);
    const Quad maskP = {{0.0f, 0.0f, w1.re, w1.im}}, maskQ = {{0.0f, 0.0f, w3.re, w3.im}};
    const Quad pOut = feedback(0) + (Weighted(table[n], 0, w0) + maskP);
    const Quad qOut =
        feedback(2) + ((Weighted(table[n], 2, w0) + Weighted(table[0], 0, w1)) + (Weighted(table[n], 0, w2) + maskQ));
    const ComplexF32 y[4] = {{pOut.lane[0], pOut.lane[1]},
                             {pOut.lane[2], pOut.lane[3]},
                             {qOut.lane[0], qOut.lane[1]},
                             {qOut.lane[2], qOut.lane[3]}};
    for (int i = 0; i < 4; ++i) {
      carried[i] = y[i];
      if (!out.historyFromLastPair || (g + 4 == groups && i >= 2)) StoreAt(out.history, t + i, y[i]);
      if (out.dst != nullptr) StoreComplexS16(out.dst, t + i, y[i], m);
    }
  }
  for (int64_t j = groups; j < count; ++j) {
    const int64_t t = n + j;
    ComplexF32 acc = {0.0f, 0.0f};
    for (int32_t k = n; k >= 1; --k) {
      const IirComplexLookaheadEntry& e = table[k - 1];
      const ComplexF32 z = LoadAt(out.history, t - k);
      acc = Add(acc, ComplexF32{z.re * e.v[0].lane[0] + z.im * e.v[1].lane[0],
                                z.re * e.v[0].lane[1] + z.im * e.v[1].lane[1]});
    }
    const ComplexF32 y = Add(acc, LoadAt(w, j));
    StoreAt(out.history, t, y);
    if (out.dst != nullptr) StoreComplexS16(out.dst, t, y, m);
  }
}

// ---------------------------------------------------------------------------
// The level builds of the primitive

// The tap vectors (b'k in four lanes) and the lookahead table of a state of
// order N >= 0, from the raw taps and inv = 1 / a0:
//   vector k-1 (k = 1..N): g[k](0) = c[k], g[k](1) = c[k] c[1] + c[k+1],
//     g[k](2) = (g[k](1) c[1] + c[2] g[k](0)) + c[k+2],
//     g[k](3) = ((g[k](2) c[1] + c[2] g[k](1)) + c[3] g[k](0)) + c[k+3],
//     with c[k] = a[k] (0 - inv), 0 beyond N;
//   vectors N, N+1, N+2: (1, h1, h2, h3), (0, 1, h1, h2), (0, 0, 1, h1) with
//     h1..h3 lanes 0-2 of vector 0.
inline void BuildTables(const float* raw, float inv, IirState* state) {
  const int32_t n = state->order;
  for (int32_t k = 0; k <= n; ++k) {
    const float b = raw[k] * inv;
    state->tapVectors[k] = {{b, b, b, b}};
  }
  if (n <= 0) return;
  IirVector* g = state->lookaheadTable;
  for (int32_t k = 1; k <= n; ++k) {
    g[k - 1].lane[0] = raw[n + 1 + k] * (0.0f - inv);
    g[k - 1].lane[1] = g[k - 1].lane[0] * g[0].lane[0];
  }
  for (int32_t k = 1; k <= n - 1; ++k) g[k - 1].lane[1] = g[k - 1].lane[1] + g[k].lane[0];
  const float c1 = g[0].lane[0], c2 = n >= 2 ? g[1].lane[0] : 0.0f, c3 = n >= 3 ? g[2].lane[0] : 0.0f;
  for (int32_t k = 0; k < n; ++k) g[k].lane[2] = g[k].lane[1] * c1 + c2 * g[k].lane[0];
  for (int32_t k = 1; k <= n - 2; ++k) g[k - 1].lane[2] = g[k - 1].lane[2] + g[k + 1].lane[0];
  for (int32_t k = 0; k < n; ++k) g[k].lane[3] = (g[k].lane[2] * c1 + c2 * g[k].lane[1]) + c3 * g[k].lane[0];
  for (int32_t k = 1; k <= n - 3; ++k) g[k - 1].lane[3] = g[k - 1].lane[3] + g[k + 2].lane[0];
  const float h1 = g[0].lane[0], h2 = g[0].lane[1], h3 = g[0].lane[2];
  g[n] = {{1.0f, h1, h2, h3}};
  g[n + 1] = {{0.0f, 1.0f, h1, h2}};
  g[n + 2] = {{0.0f, 0.0f, 1.0f, h1}};
}

// The builds a level's filter calls, all of that level.
struct LevelCalls {
  void (*step)(const float*, float*, IirState*);
  void (*biquadStep)(const float*, float*, IirState*);
  void (*feedForward)(const float*, float*, int64_t, const IirVector*, int32_t);
  void (*recursion)(const float*, float*, int64_t, const IirVector*, int32_t);
  void (*biquadFeedForward)(const float*, float*, int64_t, const IirVector*);
  void (*biquadRecursion)(const float*, float*, int64_t, const IirVector*);
  DspStatus (*mulConst)(const float*, float, float*, int32_t);
  DspStatus (*copy)(const float*, float*, int32_t);
  DspStatus (*zero)(float*, int32_t);
};

inline DspStatus StateSize(int32_t order, int32_t* bytes) {
  if (bytes == nullptr) return DSP_STATUS_NULL_POINTER;
  if (order <= 0 || !iir_layout::OrderFits(order, 1)) return DSP_STATUS_BAD_FILTER_ORDER;
  *bytes = static_cast<int32_t>(IirStateBytes(order, IIR_STATE_TAG, 1));
  return DSP_STATUS_OK;
}

inline DspStatus Init(IirState** pState, const float* taps, int32_t order, const float* delayInit, void* buffer,
                      const LevelCalls& calls) {
  if (taps == nullptr || pState == nullptr || buffer == nullptr) return DSP_STATUS_NULL_POINTER;
  if (order <= 0 || !iir_layout::OrderFits(order, 1)) return DSP_STATUS_BAD_FILTER_ORDER;
  IirState* state = iir_layout::LayOut(buffer, order, delayInit, IIR_STATE_TAG, true, calls.copy, calls.zero);
  *pState = state;
  float inv;
  const DspStatus status = iir_layout::NormalizeCoefficients(taps, state, &inv);
  if (status != DSP_STATUS_OK) return status;
  BuildTables(taps, inv, state);
  return DSP_STATUS_OK;
}

// One piece of an arbitrary-order state: a gain, sample by sample, or the
// block path, which rebuilds the delay line from the piece's last N inputs
// (read before the recursion overwrites them) and outputs.
inline void ArbitraryPiece(float* x, int32_t n, IirState* state, const LevelCalls& calls) {
  const int32_t order = state->order;
  if (order <= 0) {
    static_cast<void>(calls.mulConst(x, state->tapVectors[0].lane[0], x, n));
    return;
  }
  if (n <= 4 * int64_t{order}) {
    for (int32_t i = 0; i < n; ++i) calls.step(x + i, x + i, state);
    return;
  }
  const float* t = state->taps;
  float* d = state->delayLine;
  calls.feedForward(x, state->blockWork, n - order, state->tapVectors, order);
  for (int32_t i = 0; i < order; ++i) calls.step(x + i, x + i, state);
  const float* tail = x + (n - order);
  for (int32_t i = 0; i < order; ++i) {
    d[i] = 0.0f;
    for (int32_t j = 0; j <= order - i - 1; ++j) d[i] = d[i] + t[order - j] * tail[i + j];
  }
  calls.recursion(state->blockWork, x, n - order, state->lookaheadTable, order);
  for (int32_t i = 0; i < order; ++i)
    for (int32_t j = 0; j <= order - i - 1; ++j) d[i] = d[i] - t[2 * order - j] * tail[i + j];
}

// One piece of a biquad cascade: sample by sample, or section after section
// over the whole piece, each with its feed-forward block, its first two
// outputs from the taps and delay pair, and its recursion block.
inline void BiquadPiece(float* x, int32_t n, IirState* state, const LevelCalls& calls) {
  const int32_t sections = state->sectionCount;
  if (n <= 4 * int64_t{sections}) {
    for (int32_t i = 0; i < n; ++i) calls.biquadStep(x + i, x + i, state);
    return;
  }
  for (int32_t k = 0; k < sections; ++k) {
    const float* c = state->taps + 5 * k;
    float* s = state->delayLine + 2 * k;
    const IirVector* tv = state->tapVectors + 3 * k;
    const IirVector* g = state->lookaheadTable + 5 * k;
    calls.biquadFeedForward(x, state->blockWork, n - 2, tv);
    const float in0 = x[0], in1 = x[1];
    const float y0 = c[0] * in0 + s[0];
    const float y1 = ((s[1] - c[3] * y0) + c[0] * in1) + c[1] * in0;
    const float b1 = tv[1].lane[0], b2 = tv[2].lane[0];
    s[0] = b2 * x[n - 2] + b1 * x[n - 1];
    s[1] = b2 * x[n - 1];
    x[0] = y0;
    x[1] = y1;
    calls.biquadRecursion(state->blockWork, x, n - 2, g);
    const float g1 = g[0].lane[0], g2 = g[1].lane[0];
    s[0] = (g2 * x[n - 2] + g1 * x[n - 1]) + s[0];
    s[1] = g2 * x[n - 1] + s[1];
  }
}

inline DspStatus FilterInPlace(float* srcDst, int32_t len, IirState* state, const LevelCalls& calls) {
  if (state == nullptr || srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len < 1) return DSP_STATUS_BAD_LENGTH;
  if (state->tag != IIR_STATE_TAG && state->tag != IIR_BIQUAD_STATE_TAG) return DSP_STATUS_WRONG_KIND;
  for (int32_t done = 0; done < len;) {
    const int32_t n = len - done < IIR_PIECE_LENGTH ? len - done : IIR_PIECE_LENGTH;
    if (state->tag == IIR_STATE_TAG)
      ArbitraryPiece(srcDst + done, n, state, calls);
    else
      BiquadPiece(srcDst + done, n, state, calls);
    done += n;
  }
  return DSP_STATUS_OK;
}

}  // namespace iir_level
}  // namespace
