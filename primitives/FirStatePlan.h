// The memory plan of a single-rate FIR state that the baseline (Fir.cpp) and
// the level builds (levels/FirKernels.h) share: the fixed part, the history
// and the transform each tap count gets. The builds differ only in what they
// add for their own kernels.
//
// Everything here lives in an unnamed namespace, as in levels/LevelCommon.h:
// each build compiles its own copy with its own instruction set.
#pragma once

#include <cstdint>

#include "primitives/FirStates.h"
#include "primitives/RealFftSetup.h"

namespace {
namespace fir_plan {

constexpr int64_t kHeaderBytes = sizeof(FirState);
// Header, the 16-byte gap before the transform memory, a reserve of 16384
// bytes and the slack of moving the state to a 16-byte boundary.
constexpr int64_t kFixedStateBytes = 16576;
constexpr int64_t kFftAreaGap = 16;

constexpr int64_t Align16(int64_t x) { return (x + 15) & ~int64_t{15}; }
constexpr int64_t HistoryBytes(int64_t taps) { return Align16(12 * taps + 16); }

template <typename T>
T* Offset(void* base, int64_t bytes) {
  return reinterpret_cast<T*>(static_cast<char*>(base) + bytes);
}

struct FftPlan {
  int32_t order = 0;
  int32_t length = 0;
  int32_t specBytes = 0;
  int32_t initBytes = 0;
  int32_t workBytes = 0;
};

// The transform a tap count gets: an order one above the bit length of the
// tap count (the smallest power of two above twice the taps), inverse
// scaled; none (length 0) below FIR_FFT_MIN_TAPS taps or when the build's
// size query (RealFftGetSize's signature) refuses.
template <typename GetSize>
FftPlan PlanFft(int32_t taps, GetSize getSize) {
  FftPlan plan;
  if (taps < FIR_FFT_MIN_TAPS) return plan;
  int32_t bits = 0;
  while (bits < 31 && (int64_t{1} << bits) <= taps) ++bits;
  const int32_t order = bits + 1;
  if (getSize(order, FFT_SCALE_INVERSE, 0, &plan.specBytes, &plan.initBytes, &plan.workBytes) != DSP_STATUS_OK)
    return FftPlan{};
  plan.order = order;
  plan.length = 1 << order;
  return plan;
}

// The transform area from state->fftAreaStart on: the gap, the spec, its
// set-up buffer, the tap spectrum, the work area, the block and the reserve.
// Sets the state's block, reserve and work size; returns the rest.
struct FftArea {
  void* specMemory;
  void* initBuffer;
  float* spectrum;
  void* work;
};
inline FftArea LayOutFftArea(FirState* state, const FftPlan& plan) {
  FftArea area;
  area.specMemory = Offset<void>(state->fftAreaStart, kFftAreaGap);
  area.initBuffer = Offset<void>(area.specMemory, plan.specBytes);
  area.spectrum = Offset<float>(area.initBuffer, plan.initBytes);
  area.work = Offset<void>(area.spectrum, Align16(4 * int64_t{plan.length}));
  state->fftBlock = Offset<float>(area.work, plan.workBytes);
  state->reserveBuffer = Offset<void>(state->fftBlock, Align16(4 * int64_t{plan.length}));
  state->fftWorkBytes = plan.workBytes;
  return area;
}

}  // namespace fir_plan
}  // namespace
