// The FIR filters of the processor-level builds, written once over a
// struct of the level's own routines (Calls: kLevel, the real FFT, the
// memory routines and the level's named builds); the level files define
// Calls and name the builds. See LevelCommon.h for why all of this lives in
// an unnamed namespace.
#pragma once

#include <xmmintrin.h>

#include <algorithm>

#include "primitives/DspTypes.h"
#include "primitives/FirStatePlan.h"
#include "primitives/FirStates.h"
#include "primitives/MultirateFirLayouts.h"
#include "primitives/RealFftSetup.h"
#include "primitives/levels/LevelCommon.h"

namespace {
namespace fir_level {

inline float LoadF(const float* p) { return LoadAs<float>(p); }
inline void StoreF(float* p, float v) { StoreAs<float>(p, v); }

using namespace fir_plan;

// ---------------------------------------------------------------------------
// Direct-form kernel
//
// Output k is the sum over j of taps[j] x w[k + a - 1 - j]. Taps come from
// the broadcast table, so that one aligned load gives a tap in all four
// lanes of four consecutive outputs.

// The contribution of `count` (1 to 4) consecutive taps, the first of which,
// taps[top], meets w[at]: ((p0 + p1) + p2) + p3. One output (scalar) and
// four outputs (vector) group their products alike.
inline float Contribution1(const float* bt, int32_t top, int32_t count, const float* w) {
  float s = bt[4 * top] * LoadF(w);
  for (int32_t m = 1; m < count; ++m) s = s + bt[4 * (top - m)] * LoadF(w + m);
  return s;
}
inline __m128 Contribution4(const float* bt, int32_t top, int32_t count, const float* w) {
  __m128 s = _mm_mul_ps(_mm_load_ps(bt + 4 * top), _mm_loadu_ps(w));
  for (int32_t m = 1; m < count; ++m)
    s = _mm_add_ps(s, _mm_mul_ps(_mm_load_ps(bt + 4 * (top - m)), _mm_loadu_ps(w + m)));
  return s;
}

// One output as a plain sum from 0, tap a-1 (the oldest sample) first.
inline float PlainSum(const float* bt, int32_t a, const float* w) {
  float s = 0.0f;
  for (int32_t i = 0; i < a; ++i) s = s + bt[4 * (a - 1 - i)] * LoadF(w + i);
  return s;
}

// One pass of `count` taps from taps[top] over outputs 0 .. n-1, the taps
// meeting w[k + shift ..]: stored, or added to the outputs already stored.
// Steps of `step` (16 or 8) outputs, one of 8 after steps of 16, one of 4,
// then single outputs.
template <bool kAlignedDst>
inline void Pass(const float* bt, int32_t top, int32_t count, const float* w, int32_t shift, float* dst, int64_t n,
                 bool accumulate, int64_t step) {
  auto store4 = [&](int64_t k) LEVEL_INLINE {
    __m128 c = Contribution4(bt, top, count, w + k + shift);
    if (accumulate) c = _mm_add_ps(kAlignedDst ? _mm_load_ps(dst + k) : _mm_loadu_ps(dst + k), c);
    if constexpr (kAlignedDst)
      _mm_store_ps(dst + k, c);
    else
      _mm_storeu_ps(dst + k, c);
  };
  int64_t k = 0;
  for (; k + step <= n; k += step)
    for (int64_t q = 0; q < step; q += 4) store4(k + q);
  if (step == 16 && n - k >= 8) {
    store4(k);
    store4(k + 4);
    k += 8;
  }
  if (n - k >= 4) {
    store4(k);
    k += 4;
  }
  for (; k < n; ++k) {
    const float c = Contribution1(bt, top, count, w + k + shift);
    StoreF(dst + k, accumulate ? LoadF(dst + k) + c : c);
  }
}

inline void DirectKernel(const float* bt, const float* w, float* dst, int64_t n, int32_t a) {
  if (!Aligned4(dst)) {
    // No output is stored twice here: short filters in one pass, longer ones
    // summed in a register over groups of four taps.
    if (a <= 4) return Pass<false>(bt, a - 1, a, w, 0, dst, n, false, a <= 2 ? 16 : 8);
    int64_t k = 0;
    for (; k + 4 <= n; k += 4) {
      __m128 s = _mm_setzero_ps();
      int32_t g = 0;
      for (; a - 4 * g >= 4; ++g) s = _mm_add_ps(s, Contribution4(bt, a - 1 - 4 * g, 4, w + k + 4 * g));
      if (a - 4 * g > 0) s = _mm_add_ps(s, Contribution4(bt, a - 1 - 4 * g, a - 4 * g, w + k + 4 * g));
      _mm_storeu_ps(dst + k, s);
    }
    for (; k < n; ++k) StoreF(dst + k, PlainSum(bt, a, w + k));
    return;
  }
  // A head of plain sums up to the 16-byte boundary.
  while ((Addr(dst) & 15) != 0) {
    StoreF(dst, PlainSum(bt, a, w));
    ++dst, ++w;
    if (--n == 0) return;
  }
  if (a <= 3) return Pass<true>(bt, a - 1, a, w, 0, dst, n, false, a <= 2 ? 16 : 8);
  // Groups of four taps from the top, the partial sums kept in the output.
  Pass<true>(bt, a - 1, 4, w, 0, dst, n, false, 8);
  for (int32_t shift = 4; shift < a; shift += 4) {
    const int32_t count = std::min(a - shift, 4);
    Pass<true>(bt, a - 1 - shift, count, w, shift, dst, n, true, count >= 3 ? 8 : 16);
  }
}

// ---------------------------------------------------------------------------
// One-sample filter

inline void SampleKernel(float x, float* y, const float* taps, int32_t n, float* delay, int32_t* pIndex) {
  int32_t index = *pIndex;
  // Every sample twice, n apart, so that the window is always contiguous.
  StoreF(delay + index, x);
  StoreF(delay + n + index, x);
  index = index + 1 == n ? 0 : index + 1;
  *pIndex = index;
  const float* w = delay + index;
  if (n <= 16) {
    float s = 0.0f;
    for (int32_t k = 0; k < n; ++k) s = s + LoadF(w + k) * LoadF(taps + (n - 1 - k));
    StoreF(y, s);
    return;
  }
  // Four partial sums; the taps are read backward, four at a time reversed.
  auto reversedTaps = [&](int32_t k) LEVEL_INLINE {
    const __m128 t = _mm_loadu_ps(taps + (n - 4 - k));
    return _mm_shuffle_ps(t, t, _MM_SHUFFLE(0, 1, 2, 3));
  };
  auto product = [&](int32_t k) LEVEL_INLINE { return _mm_mul_ps(_mm_loadu_ps(w + k), reversedTaps(k)); };
  __m128 s = _mm_setzero_ps();
  int32_t k = 0;
  if (Aligned4(w))
    for (; !Aligned16(w + k) && k < n; ++k) s = _mm_add_ss(s, _mm_set_ss(LoadF(w + k) * LoadF(taps + (n - 1 - k))));
  for (; n - k >= 8; k += 8) s = _mm_add_ps(s, _mm_add_ps(product(k + 4), product(k)));
  if (n - k >= 4) {
    s = _mm_add_ps(s, product(k));
    k += 4;
  }
  if (n - k >= 2) {
    // Into lanes 0 and 1 only.
    const __m128 pair =
        _mm_set_ps(0.0f, 0.0f, LoadF(w + k + 1) * LoadF(taps + (n - 2 - k)), LoadF(w + k) * LoadF(taps + (n - 1 - k)));
    s = _mm_shuffle_ps(_mm_add_ps(s, pair), s, _MM_SHUFFLE(3, 2, 1, 0));
    k += 2;
  }
  if (k < n) s = _mm_add_ss(s, _mm_set_ss(LoadF(w + k) * LoadF(taps + (n - 1 - k))));
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, s);
  StoreF(y, (lanes[0] + lanes[2]) + (lanes[1] + lanes[3]));
}

inline DspStatus FilterSample(float x, float* y, const float* taps, int32_t n, float* delay, int32_t* pIndex) {
  if (y == nullptr || taps == nullptr) return DSP_STATUS_NULL_POINTER;
  if (n <= 0) return DSP_STATUS_BAD_TAP_COUNT;
  if (delay == nullptr || pIndex == nullptr) return DSP_STATUS_NULL_POINTER;
  // An index outside [0, n) would write outside the caller's 2n floats.
  if (*pIndex < 0 || *pIndex >= n) return DSP_STATUS_BAD_LENGTH;
  SampleKernel(x, y, taps, n, delay, pIndex);
  return DSP_STATUS_OK;
}

// ---------------------------------------------------------------------------
// Single-rate state and block filter

template <typename Calls>
struct Level {
  // The transform a tap count gets, through the level's own size query.
  static FftPlan PlanFft(int32_t taps) { return fir_plan::PlanFft(taps, Calls::FftGetSize); }

  static int64_t StateBytes(int32_t a) {
    const FftPlan plan = PlanFft(a);
    return kFixedStateBytes + 5 * Align16(4 * int64_t{a}) + HistoryBytes(a) + plan.specBytes + plan.initBytes +
           plan.workBytes + 2 * Align16(4 * int64_t{plan.length});
  }

  static DspStatus BuildState(FirState** stateOut, const float* taps, int32_t a, const float* delay, void* buffer,
                              int32_t tag) {
    const FftPlan plan = PlanFft(a);
    FirState* state = reinterpret_cast<FirState*>((reinterpret_cast<uintptr_t>(buffer) + 15) & ~uintptr_t{15});
    *stateOut = state;
    Calls::ZeroBytes(state, kHeaderBytes);
    state->tag = tag;
    state->tapCount = a;
    state->tapCountCopy = a;
    state->reversedTaps = Offset<float>(state, kHeaderBytes);
    state->delayLine = Offset<float>(state->reversedTaps, Align16(4 * int64_t{a}));
    state->broadcastTaps = Offset<float>(state->delayLine, HistoryBytes(a));
    state->fftAreaStart = Offset<void>(state->broadcastTaps, 4 * Align16(4 * int64_t{a}));
    const auto [specMemory, initBuffer, spectrum, work] = LayOutFftArea(state, plan);

    for (int32_t i = 0; i < a; ++i) {
      state->reversedTaps[i] = LoadF(taps + (a - 1 - i));
      _mm_store_ps(state->broadcastTaps + 4 * i, _mm_set1_ps(LoadF(taps + i)));
    }
    // The caller lists the most recent sample first; the history runs oldest
    // first.
    if (delay != nullptr) {
      for (int32_t i = 0; i < a; ++i) state->delayLine[i] = LoadF(delay + (a - 1 - i));
    } else {
      Calls::Zero(state->delayLine, a);
    }
    state->directThreshold = ((a + 3) & ~3) + 1;

    RealFftSpec* spec = nullptr;
    state->fftLength = -1;
    if (plan.length == 0 ||
        Calls::FftInit(&spec, plan.order, FFT_SCALE_INVERSE, 0, specMemory, initBuffer) != DSP_STATUS_OK)
      return DSP_STATUS_OK;
    state->fftSpec = spec;
    state->tapSpectrum = spectrum;
    state->fftWork = plan.workBytes > 0 ? work : nullptr;
    Calls::Copy(taps, spectrum, a);
    Calls::Zero(spectrum + a, plan.length - a);
    // A set-up failure leaves a working direct-form state.
    if (Calls::FftForward(spectrum, spectrum, spec, state->fftWork) == DSP_STATUS_OK) state->fftLength = plan.length;
    return DSP_STATUS_OK;
  }

  static DspStatus StateSize(int32_t a, int32_t* bytes) {
    if (bytes == nullptr) return DSP_STATUS_NULL_POINTER;
    if (a <= 0) return DSP_STATUS_BAD_TAP_COUNT;
    const int64_t size = Calls::StateBytes(a);
    // A size that does not fit the count cannot be asked for.
    if (size > INT32_MAX) return DSP_STATUS_BAD_TAP_COUNT;
    *bytes = static_cast<int32_t>(size);
    return DSP_STATUS_OK;
  }

  static DspStatus Init(FirState** state, const float* taps, int32_t a, const float* delay, void* buffer) {
    if (state == nullptr || taps == nullptr || buffer == nullptr) return DSP_STATUS_NULL_POINTER;
    if (a <= 0) return DSP_STATUS_BAD_TAP_COUNT;
    // No buffer can have been sized for a state that does not fit 32 bits.
    if (Calls::StateBytes(a) > INT32_MAX) return DSP_STATUS_BAD_TAP_COUNT;
    return Calls::BuildState(state, taps, a, delay, buffer, FIR_STATE_TAG);
  }

  static void FilterDirect(FirState* state, const float* src, float* dst, int32_t len) {
    const int32_t a = state->tapCount;
    const int32_t threshold = state->directThreshold;
    float* history = state->delayLine + state->delayOffset;
    state->delayOffset = 0;
    const float* bt = state->broadcastTaps;
    if (len > threshold) {
      // The first threshold - 1 outputs reach into the history; the rest
      // read the input block alone.
      const int32_t headOutputs = threshold - 1;
      Calls::Copy(src, history + a, threshold);
      Calls::Kernel(bt, history + 1, dst, headOutputs, a);
      Calls::Copy(src + (len - a), state->delayLine, a);
      Calls::Kernel(bt, src + (headOutputs - a + 1), dst + headOutputs, len - headOutputs, a);
    } else {
      Calls::Copy(src, history + a, len);
      Calls::Kernel(bt, history + 1, dst, len, a);
      Calls::Move(history + len, state->delayLine, a);
    }
  }

  // One circular convolution of the block buffer with the taps; the block
  // was transformed already when `transformed` is set.
  static DspStatus ConvolveBlock(FirState* state, bool transformed) {
    float* block = state->fftBlock;
    DspStatus status = DSP_STATUS_OK;
    if (!transformed) status = Calls::FftForward(block, block, state->fftSpec, state->fftWork);
    if (status < 0) return status;
    Calls::SpectrumMul(state->tapSpectrum, block, state->fftLength);
    status = Calls::FftInverse(block, block, state->fftSpec, state->fftWork);
    return status < 0 ? status : DSP_STATUS_OK;
  }

  static DspStatus FilterOverlapSave(FirState* state, const float* src, float* dst, int32_t len) {
    const int32_t a = state->tapCount;
    const int32_t n = state->fftLength;
    const int32_t step = n - (a - 1);
    float* block = state->fftBlock;
    const float* history = state->delayLine + state->delayOffset;
    state->delayOffset = 0;
    // Each block starts with the newest a - 1 samples before its outputs.
    Calls::Copy(history + 1, block, a - 1);
    if (len <= step) {
      Calls::Copy(src, block + (a - 1), len);
      Calls::Copy(block + (len - 1), state->delayLine, a);
      Calls::Zero(block + (a - 1 + len), step - len);
      const DspStatus status = ConvolveBlock(state, false);
      if (status != DSP_STATUS_OK) return status;
      Calls::Copy(block + (a - 1), dst, len);
      return DSP_STATUS_OK;
    }
    Calls::Copy(src, block + (a - 1), step);
    DspStatus status = ConvolveBlock(state, false);
    if (status != DSP_STATUS_OK) return status;
    Calls::Copy(block + (a - 1), dst, step);
    Calls::Copy(src + (len - a), state->delayLine, a);
    for (int32_t p = 0; p < len - step; p += step) {
      const float* window = src + (step - (a - 1) + p);
      const int32_t remaining = len - step - p;
      bool transformed = false;
      if (remaining >= n) {
        status = Calls::FftForward(window, block, state->fftSpec, state->fftWork);
        if (status != DSP_STATUS_OK) return status;
        transformed = true;
      } else {
        // The input ends inside this block: what is there, then zeros.
        const int32_t available = std::min(remaining + a - 1, n);
        Calls::Copy(window, block, available);
        Calls::Zero(block + available, n - available);
      }
      status = ConvolveBlock(state, transformed);
      if (status != DSP_STATUS_OK) return status;
      Calls::Copy(block + (a - 1), dst + (step + p), std::min(remaining, step));
    }
    return DSP_STATUS_OK;
  }

  static DspStatus FilterBlock(const float* src, float* dst, int32_t len, void* stateMemory);
};

// ---------------------------------------------------------------------------
// Multirate block filter
//
// The combined buffer z of a call is the Q saved samples followed by the
// call's input. The kernels address it through a base pointer: the history
// area (whose index i is z[i]) for a short call and for the first H outputs
// of a long one, the caller's input (index i is z[i + Q]) for the rest of a
// long call. Offsets are kept in the base's own indices.

struct MultirateView {
  const MultirateFirState* state;
  const float* base;
  int64_t baseToZ;  // z index = base index + baseToZ
  int64_t zEnd;     // Q + the call's input count
};

// Mode 1: a group of four outputs is one 4-lane sum of input samples times
// tap quads. kGroups groups run side by side, each summed in its own order
// (products in eights, then fours, then the rest), so that one group's
// additions fill the gaps of another's.
template <int kGroups>
LEVEL_INLINE inline void SumGroupsMode1(const float* const* x, const float* const* quads, int64_t taps,
                                        __m128* sums) {
  auto product = [&](int k, int64_t i)
                     LEVEL_INLINE { return _mm_mul_ps(_mm_set1_ps(LoadF(x[k] + i)), _mm_load_ps(quads[k] + 4 * i)); };
  for (int k = 0; k < kGroups; ++k) sums[k] = _mm_setzero_ps();
  int64_t i = 0;
  // Eight samples in two loads, each spread over the lanes in turn.
  auto spread = [&](int k, __m128 v, int64_t at, int lane) LEVEL_INLINE {
    __m128 sample;
    switch (lane) {
      case 0:
        sample = _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 0, 0, 0));
        break;
      case 1:
        sample = _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 1, 1, 1));
        break;
      case 2:
        sample = _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 2, 2, 2));
        break;
      default:
        sample = _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3));
        break;
    }
    return _mm_mul_ps(sample, _mm_load_ps(quads[k] + 4 * at));
  };
  for (; i + 8 <= taps; i += 8) {
    for (int k = 0; k < kGroups; ++k) {
      const __m128 v = _mm_loadu_ps(x[k] + i), u = _mm_loadu_ps(x[k] + i + 4);
      const __m128 first = _mm_add_ps(_mm_add_ps(spread(k, v, i, 0), spread(k, v, i + 1, 1)),
                                      _mm_add_ps(spread(k, v, i + 2, 2), spread(k, v, i + 3, 3)));
      const __m128 second = _mm_add_ps(_mm_add_ps(spread(k, u, i + 4, 0), spread(k, u, i + 5, 1)),
                                       _mm_add_ps(spread(k, u, i + 6, 2), spread(k, u, i + 7, 3)));
      sums[k] = _mm_add_ps(_mm_add_ps(sums[k], first), second);
    }
  }
  if (taps - i >= 4) {
    for (int k = 0; k < kGroups; ++k)
      sums[k] = _mm_add_ps(sums[k], _mm_add_ps(_mm_add_ps(product(k, i), product(k, i + 1)),
                                               _mm_add_ps(product(k, i + 2), product(k, i + 3))));
    i += 4;
  }
  switch (taps - i) {
    case 1:
      for (int k = 0; k < kGroups; ++k) sums[k] = _mm_add_ps(sums[k], product(k, i));
      break;
    case 2:
      for (int k = 0; k < kGroups; ++k) sums[k] = _mm_add_ps(sums[k], _mm_add_ps(product(k, i), product(k, i + 1)));
      break;
    case 3:
      for (int k = 0; k < kGroups; ++k)
        sums[k] = _mm_add_ps(_mm_add_ps(sums[k], product(k, i)), _mm_add_ps(product(k, i + 1), product(k, i + 2)));
      break;
    default:
      break;
  }
}

inline int64_t KernelMode1(const MultirateView& v, float* dst, int64_t n, int64_t offset) {
  const MultirateFirState* s = v.state;
  const int32_t up = s->upFactor;
  const int64_t taps = s->phaseTapCount;
  const int32_t* table = s->phaseTable;
  int32_t group = 0;
  constexpr int kGroups = 4;
  // The next group's samples and quads; the cursor moves on.
  auto next = [&](const float*& x, const float*& quads) LEVEL_INLINE {
    offset += table[group];
    quads = s->phaseTaps + 4 * taps * group;
    x = v.base + offset;
    if (++group == up) {
      group = 0;
      offset += table[up];
    }
  };
  auto store = [&](float* to, __m128 sum) LEVEL_INLINE {
    _mm_storel_pi(reinterpret_cast<__m64*>(to), sum);
    _mm_storeh_pi(reinterpret_cast<__m64*>(to + 2), sum);
  };
  int64_t produced = 0;
  for (; produced + 4 * kGroups <= n; produced += 4 * kGroups) {
    const float* x[kGroups];
    const float* quads[kGroups];
    for (int k = 0; k < kGroups; ++k) next(x[k], quads[k]);
    __m128 sums[kGroups];
    SumGroupsMode1<kGroups>(x, quads, taps, sums);
    for (int k = 0; k < kGroups; ++k) store(dst + produced + 4 * k, sums[k]);
  }
  for (; produced < n; produced += 4) {
    const float* x[1];
    const float* quads[1];
    next(x[0], quads[0]);
    __m128 sums[1];
    SumGroupsMode1<1>(x, quads, taps, sums);
    store(dst + produced, sums[0]);
  }
  return offset;
}

inline void TailMode1(const MultirateView& v, float* dst, int64_t n, int64_t offset) {
  const MultirateFirState* s = v.state;
  const int32_t up = s->upFactor;
  const int64_t taps = s->phaseTapCount;
  const int32_t* table = s->phaseTable;
  int32_t group = 0;
  // Each output one sum from its oldest sample on, over the samples the call
  // has; the four of a group are the lanes of one vector, and up to four
  // groups with whole windows run side by side.
  struct Group {
    const float* x;
    const float* quads;
    int64_t count;
  };
  auto next = [&]() LEVEL_INLINE {
    offset += table[group];
    const Group g{v.base + offset, s->phaseTaps + 4 * taps * group,
                  std::min(taps, v.zEnd - (offset + v.baseToZ))};
    if (++group == up) {
      group = 0;
      offset += table[up];
    }
    return g;
  };
  auto store = [&](int64_t produced, __m128 sum) LEVEL_INLINE {
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, sum);
    for (int64_t r = 0; r < 4 && produced + r < n; ++r) StoreF(dst + produced + r, lanes[r]);
  };
  auto term = [](const Group& g, int64_t i)
                  LEVEL_INLINE { return _mm_mul_ps(_mm_set1_ps(LoadF(g.x + i)), _mm_load_ps(g.quads + 4 * i)); };
  for (int64_t produced = 0; produced < n;) {
    Group g[4];
    int whole = 0;
    while (whole < 4 && produced + 4 * whole < n) {
      g[whole] = next();
      if (g[whole].count < taps) break;
      ++whole;
    }
    if (whole == 4) {
      __m128 a = _mm_setzero_ps(), b = a, c = a, d = a;
      for (int64_t i = 0; i < taps; ++i) {
        a = _mm_add_ps(a, term(g[0], i));
        b = _mm_add_ps(b, term(g[1], i));
        c = _mm_add_ps(c, term(g[2], i));
        d = _mm_add_ps(d, term(g[3], i));
      }
      store(produced, a);
      store(produced + 4, b);
      store(produced + 8, c);
      store(produced + 12, d);
      produced += 16;
      continue;
    }
    // Fewer than four whole groups, and perhaps one short one after them.
    const int all = whole + (produced + 4 * whole < n ? 1 : 0);
    for (int k = 0; k < all; ++k, produced += 4) {
      __m128 sum = _mm_setzero_ps();
      for (int64_t i = 0; i < g[k].count; ++i) sum = _mm_add_ps(sum, term(g[k], i));
      store(produced, sum);
    }
  }
}

// Two floats into lanes 0 and 1, zeros above.
inline __m128 LoadPair(const float* p) {
  return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// Q = 1, 2 or 3 taps: ((z0 t0 + z1 t1) + z2 t2).
inline float ShortSum(const float* x, const float* t, int64_t q) {
  float s = LoadF(x) * t[0];
  for (int64_t i = 1; i < q; ++i) s = s + LoadF(x + i) * t[i];
  return s;
}

// Q >= 4: lane j sums the products of the taps i with i mod 4 = j, a
// remainder of 2 adds into lanes 0 and 1, of 1 into lane 0.
inline float LaneSum(const float* x, const float* t, int64_t q) {
  __m128 acc = _mm_mul_ps(_mm_loadu_ps(x), _mm_loadu_ps(t));
  int64_t i = 4;
  for (; i + 4 <= q; i += 4) acc = _mm_add_ps(acc, _mm_mul_ps(_mm_loadu_ps(x + i), _mm_loadu_ps(t + i)));
  if (q - i >= 2) {
    // Into lanes 0 and 1 only.
    const __m128 pair = _mm_mul_ps(LoadPair(x + i), LoadPair(t + i));
    acc = _mm_shuffle_ps(_mm_add_ps(acc, pair), acc, _MM_SHUFFLE(3, 2, 1, 0));
    i += 2;
  }
  if (q - i == 1) acc = _mm_add_ss(acc, _mm_set_ss(LoadF(x + i) * t[i]));
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, acc);
  return (lanes[0] + lanes[2]) + (lanes[1] + lanes[3]);
}

// Q >= 4, two 2-lane accumulators: A for taps 4i and 4i+1, B for 4i+2 and
// 4i+3; a remainder of 2 adds into A, of 1 into lane 0 of A.
inline float PairSum(const float* x, const float* t, int64_t q) {
  auto pair = LoadPair;
  __m128 a = _mm_setzero_ps(), b = _mm_setzero_ps();
  int64_t i = 0;
  for (; i + 4 <= q; i += 4) {
    a = _mm_add_ps(a, _mm_mul_ps(pair(x + i), pair(t + i)));
    b = _mm_add_ps(b, _mm_mul_ps(pair(x + i + 2), pair(t + i + 2)));
  }
  if (q - i >= 2) {
    a = _mm_add_ps(a, _mm_mul_ps(pair(x + i), pair(t + i)));
    i += 2;
  }
  if (q - i == 1) a = _mm_add_ss(a, _mm_set_ss(LoadF(x + i) * t[i]));
  alignas(16) float la[4], lb[4];
  _mm_store_ps(la, a);
  _mm_store_ps(lb, b);
  return (la[0] + lb[0]) + (la[1] + lb[1]);
}

// Mode 2 (up factor 1): the four outputs of a group share tap run 0 and
// start `stride` (= D) samples apart.
inline int64_t KernelMode2(const MultirateView& v, float* dst, int64_t n, int64_t offset) {
  const MultirateFirState* s = v.state;
  const int64_t q = s->historyLength;
  const int64_t stride = s->phaseTable[1] - s->phaseTable[0];
  const int64_t first = s->phaseTable[0];
  const float* taps = s->phaseTaps;
  for (int64_t produced = 0; produced < n; produced += 4) {
    for (int64_t r = 0; r < 4; ++r) {
      const float* x = v.base + (offset + first + r * stride);
      StoreF(dst + produced + r, q >= 4 ? LaneSum(x, taps, q) : ShortSum(x, taps + r * q, q));
    }
    offset += 4 * stride;
  }
  return offset;
}

inline void TailMode2(const MultirateView& v, float* dst, int64_t n, int64_t offset) {
  const MultirateFirState* s = v.state;
  const int64_t q = s->historyLength;
  const int64_t stride = s->phaseTable[1] - s->phaseTable[0];
  for (int64_t i = 0; i < n; ++i) {
    const float* x = v.base + (offset + s->phaseTable[0] + i * stride);
    float sum = 0.0f;
    for (int64_t m = 0; m < q; ++m) sum = sum + LoadF(x + m) * s->phaseTaps[m];
    StoreF(dst + i, sum);
  }
}

// Mode 3 (up factor above 1): output e of a cycle starts at its own table
// entry and has its own run of Q taps.
inline int64_t KernelMode3(const MultirateView& v, float* dst, int64_t n, int64_t offset) {
  const MultirateFirState* s = v.state;
  const int64_t q = s->historyLength;
  const int32_t cycle = 4 * s->upFactor;
  const int32_t* table = s->phaseTable;
  int32_t entry = 0;
  for (int64_t produced = 0; produced < n; ++produced) {
    const float* x = v.base + (offset + table[entry]);
    const float* taps = s->phaseTaps + entry * q;
    StoreF(dst + produced, q >= 4 ? PairSum(x, taps, q) : ShortSum(x, taps, q));
    if (++entry == cycle) {
      entry = 0;
      offset += table[cycle];
    }
  }
  return offset;
}

inline void TailMode3(const MultirateView& v, float* dst, int64_t n, int64_t offset) {
  const MultirateFirState* s = v.state;
  const int64_t q = s->historyLength;
  const int32_t cycle = 4 * s->upFactor;
  const int32_t* table = s->phaseTable;
  int32_t entry = 0;
  for (int64_t produced = 0; produced < n; ++produced) {
    const int64_t start = offset + table[entry];
    const int64_t count = std::min(q, v.zEnd - (start + v.baseToZ));
    const float* taps = s->phaseTaps + entry * q;
    float sum = 0.0f;
    for (int64_t m = 0; m < count; ++m) sum = sum + LoadF(v.base + start + m) * taps[m];
    StoreF(dst + produced, sum);
    if (++entry == cycle) {
      entry = 0;
      offset += table[cycle];
    }
  }
}

template <typename Calls>
DspStatus FilterMultirate(const float* src, float* dst, int32_t len, MultirateFirState* state) {
  const int32_t mode = state->layoutMode;
  int64_t (*kernel)(const MultirateView&, float*, int64_t, int64_t);
  void (*tail)(const MultirateView&, float*, int64_t, int64_t);
  switch (mode) {
    case MULTIRATE_FIR_LAYOUT_INTERLEAVED:
      kernel = KernelMode1, tail = TailMode1;
      break;
    case MULTIRATE_FIR_LAYOUT_DECIMATING:
      kernel = KernelMode2, tail = TailMode2;
      break;
    case MULTIRATE_FIR_LAYOUT_INTERPOLATING:
      kernel = KernelMode3, tail = TailMode3;
      break;
    default:
      return DSP_STATUS_WRONG_KIND;
  }
  const int64_t q = state->historyLength;
  const int64_t g = state->splitInputCount;
  const int64_t h = state->splitOutputCount;
  const int64_t cycle = 4 * int64_t{state->upFactor};
  const int64_t inputs = int64_t{len} * state->downFactor;
  const int64_t outputs = int64_t{len} * state->upFactor;
  float* line = state->delayLine;
  state->delayOffset = 0;
  const MultirateView inHistory{state, line, 0, q + inputs};
  const bool shortCall = mode == MULTIRATE_FIR_LAYOUT_DECIMATING ? inputs < g : inputs <= g;
  if (shortCall) {
    // The whole call stages behind the history.
    Calls::Copy(src, line + q, static_cast<int32_t>(inputs));
    const int64_t rest = outputs % cycle;
    const int64_t offset = kernel(inHistory, dst, outputs - rest, 0);
    tail(inHistory, dst + (outputs - rest), rest, offset);
    Calls::Move(line + inputs, line, static_cast<int32_t>(q));
    return DSP_STATUS_OK;
  }
  // The first H outputs reach into the history; every later one reads the
  // caller's input alone. The kernel stops a cycle early there, so that it
  // never reads past the input; the bounded tail does the rest.
  Calls::Copy(src, line + q, static_cast<int32_t>(g));
  int64_t offset = kernel(inHistory, dst, h, 0);
  Calls::Move(src + (inputs - q), line, static_cast<int32_t>(q));
  const int64_t rest = (outputs - h) % cycle;
  const int64_t whole = outputs - h - rest;
  const int64_t kernelOutputs = whole > 0 ? whole - cycle : 0;
  const MultirateView inInput{state, src, q, q + inputs};
  offset = kernel(inInput, dst + h, kernelOutputs, offset - q);
  tail(inInput, dst + h + kernelOutputs, outputs - h - kernelOutputs, offset);
  return DSP_STATUS_OK;
}

template <typename Calls>
DspStatus Level<Calls>::FilterBlock(const float* src, float* dst, int32_t len, void* stateMemory) {
  if (stateMemory == nullptr || src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  const int32_t tag = *static_cast<const int32_t*>(stateMemory);
  if (tag == MULTIRATE_FIR_STATE_TAG)
    return FilterMultirate<Calls>(src, dst, len, static_cast<MultirateFirState*>(stateMemory));
  if (tag != FIR_STATE_TAG) return DSP_STATUS_WRONG_KIND;
  FirState* state = static_cast<FirState*>(stateMemory);
  if (len >= FIR_FFT_MIN_BLOCK && state->fftLength > 0) return FilterOverlapSave(state, src, dst, len);
  FilterDirect(state, src, dst, len);
  return DSP_STATUS_OK;
}

// ---------------------------------------------------------------------------
// Multirate state: the layouts and byte counts are the baseline's at every
// level; the indexed layouts then hold each output's taps as one run.

// Rearranges the indexed tap table from the baseline's quads (value m of
// output 4k + r at 4(kQ + m) + r) into runs (at (4k + r)Q + m), through the
// reserve area.
inline void RunsFromQuads(MultirateFirState* state) {
  const int64_t q = state->historyLength;
  const int64_t values = 4 * int64_t{state->upFactor} * q;
  float* scratch = static_cast<float*>(state->reserveBuffer);
  std::copy(state->phaseTaps, state->phaseTaps + values, scratch);
  for (int64_t k = 0; k < state->upFactor; ++k)
    for (int64_t r = 0; r < 4; ++r)
      for (int64_t m = 0; m < q; ++m) state->phaseTaps[(4 * k + r) * q + m] = scratch[4 * (k * q + m) + r];
}

template <typename Calls>
DspStatus MultirateStateSize(int32_t taps, int32_t up, int32_t down, int32_t* bytes) {
  if (bytes == nullptr) return DSP_STATUS_NULL_POINTER;
  if (taps <= 0) return DSP_STATUS_BAD_TAP_COUNT;
  if (up <= 0 || down <= 0) return DSP_STATUS_BAD_FACTOR;
  if (up == 1 && down == 1) return Calls::FirStateSize(taps, bytes);
  return MultirateFirLayoutSize(taps, up, down, bytes);
}

template <typename Calls>
DspStatus MultirateInit(void** stateOut, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase, int32_t down,
                        int32_t downPhase, const float* delay, void* buffer) {
  if (stateOut == nullptr || taps == nullptr || buffer == nullptr) return DSP_STATUS_NULL_POINTER;
  if (tapCount <= 0) return DSP_STATUS_BAD_TAP_COUNT;
  if (up <= 0 || down <= 0) return DSP_STATUS_BAD_FACTOR;
  if (upPhase < 0 || upPhase >= up || downPhase < 0 || downPhase >= down) return DSP_STATUS_BAD_PHASE;
  if (up == 1 && down == 1)
    return Calls::FirInit(reinterpret_cast<FirState**>(stateOut), taps, tapCount, delay, buffer);
  const DspStatus status =
      MultirateFirBuildLayout(stateOut, taps, tapCount, up, upPhase, down, downPhase, delay, buffer);
  if (status != DSP_STATUS_OK) return status;
  auto* state = static_cast<MultirateFirState*>(*stateOut);
  if (state->layoutMode != MULTIRATE_FIR_LAYOUT_INTERLEAVED) RunsFromQuads(state);
  return DSP_STATUS_OK;
}

}  // namespace fir_level
}  // namespace
