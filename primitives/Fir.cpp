// Single-rate FIR filter: the state builder, the direct form, the FFT
// overlap-save form and the one-sample filter.
#include "primitives/Fir.h"

#include <cstddef>

#include "primitives/Dispatch.h"
#include "primitives/FirStatePlan.h"
#include "primitives/levels/FirLevels.h"
#include "primitives/MultirateFirLayouts.h"
#include "primitives/RealFft.h"
#include "primitives/Vector.h"

namespace {

using namespace fir_plan;

FftPlan PlanFft(int32_t taps) { return fir_plan::PlanFft(taps, RealFftGetSize); }

// dst[k] = sum over i < taps of reversedTaps[i] x window[k + i], each sum in
// single precision from the oldest sample to the newest; four outputs per
// pass so that every loaded tap serves four outputs.
void DirectOutputs(const float* reversedTaps, int32_t taps, const float* window, float* dst, int64_t count) {
  int64_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const float* w = window + k;
    float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
    for (int32_t i = 0; i < taps; ++i) {
      const float t = reversedTaps[i];
      s0 += t * w[i];
      s1 += t * w[i + 1];
      s2 += t * w[i + 2];
      s3 += t * w[i + 3];
    }
    dst[k] = s0;
    dst[k + 1] = s1;
    dst[k + 2] = s2;
    dst[k + 3] = s3;
  }
  for (; k < count; ++k) {
    const float* w = window + k;
    float s = 0.0f;
    for (int32_t i = 0; i < taps; ++i) s += reversedTaps[i] * w[i];
    dst[k] = s;
  }
}

void FilterDirect(FirState* state, const float* src, float* dst, int32_t len) {
  const int32_t taps = state->tapCount;
  const int32_t copyCount = state->directThreshold;
  float* history = state->delayLine + state->delayOffset;
  state->delayOffset = 0;
  if (len > copyCount) {
    // The first outputs reach back into the history; from output copyCount-1
    // on they read the input block alone.
    const int32_t headOutputs = copyCount - 1;
    VecCopyF32L0(src, history + taps, copyCount);
    DirectOutputs(state->reversedTaps, taps, history + 1, dst, headOutputs);
    VecCopyF32L0(src + (len - taps), state->delayLine, taps);
    DirectOutputs(state->reversedTaps, taps, src + (headOutputs - taps + 1), dst + headOutputs, len - headOutputs);
  } else {
    VecCopyF32L0(src, history + taps, len);
    DirectOutputs(state->reversedTaps, taps, history + 1, dst, len);
    VecMoveF32L0(history + len, state->delayLine, taps);
  }
}

// One circular convolution of the block buffer with the taps; the block was
// transformed already when `transformed` is set.
DspStatus ConvolveBlock(FirState* state, bool transformed) {
  float* block = state->fftBlock;
  DspStatus status = DSP_STATUS_OK;
  if (!transformed) status = RealFftForward(block, block, state->fftSpec, state->fftWork);
  if (status < 0) return status;
  PackedSpectrumMulInPlace(state->tapSpectrum, block, state->fftLength);
  status = RealFftInverse(block, block, state->fftSpec, state->fftWork);
  return status < 0 ? status : DSP_STATUS_OK;
}

DspStatus FilterOverlapSave(FirState* state, const float* src, float* dst, int32_t len) {
  const int32_t taps = state->tapCount;
  const int32_t fftLength = state->fftLength;
  const int32_t step = fftLength - taps + 1;  // new outputs per block
  float* block = state->fftBlock;
  const float* history = state->delayLine + state->delayOffset;
  state->delayOffset = 0;
  // Each block starts with the newest taps - 1 samples before its outputs.
  VecCopyF32L0(history + 1, block, taps - 1);
  if (len <= step) {
    VecCopyF32L0(src, block + (taps - 1), len);
    VecCopyF32L0(block + (len - 1), state->delayLine, taps);
    if (step - len > 0) VecZeroF32L0(block + (taps - 1 + len), step - len);
    const DspStatus status = ConvolveBlock(state, false);
    if (status != DSP_STATUS_OK) return status;
    VecCopyF32L0(block + (taps - 1), dst, len);
    return DSP_STATUS_OK;
  }
  VecCopyF32L0(src, block + (taps - 1), step);
  DspStatus status = ConvolveBlock(state, false);
  if (status != DSP_STATUS_OK) return status;
  VecCopyF32L0(block + (taps - 1), dst, step);
  VecCopyF32L0(src + (len - taps), state->delayLine, taps);
  for (int32_t p = 0; p < len - step; p += step) {
    const float* window = src + (step - (taps - 1) + p);
    const int32_t remaining = len - step - p;
    bool transformed = false;
    if (remaining >= fftLength) {
      status = RealFftForward(window, block, state->fftSpec, state->fftWork);
      if (status < 0) return status;
      transformed = true;
    } else {
      // The input ends inside this block: copy what is there, pad with zeros.
      const int32_t available = remaining + taps - 1 < fftLength ? remaining + taps - 1 : fftLength;
      VecCopyF32L0(window, block, available);
      if (fftLength - available > 0) VecZeroF32L0(block + available, fftLength - available);
    }
    status = ConvolveBlock(state, transformed);
    if (status != DSP_STATUS_OK) return status;
    VecCopyF32L0(block + (taps - 1), dst + (step + p), remaining < step ? remaining : step);
  }
  return DSP_STATUS_OK;
}

}  // namespace

int64_t FirStateBytes(int32_t tapCount) {
  const FftPlan plan = PlanFft(tapCount);
  return kFixedStateBytes + Align16(4 * int64_t{tapCount}) + HistoryBytes(tapCount) + plan.specBytes +
         plan.initBytes + plan.workBytes + 2 * Align16(4 * int64_t{plan.length});
}

DspStatus FirBuildState(FirState** stateOut, const float* taps, int32_t tapCount, const float* delayLine, void* buffer,
                        int32_t tag) {
  const FftPlan plan = PlanFft(tapCount);
  FirState* state = reinterpret_cast<FirState*>((reinterpret_cast<uintptr_t>(buffer) + 15) & ~uintptr_t{15});
  ZeroBytes(state, kHeaderBytes);
  state->tag = tag;
  state->tapCount = tapCount;
  state->tapCountCopy = tapCount;
  state->directThreshold = ((tapCount + 3) & ~3) + 1;
  state->reversedTaps = Offset<float>(state, kHeaderBytes);
  state->delayLine = Offset<float>(state->reversedTaps, Align16(4 * int64_t{tapCount}));
  state->fftAreaStart = Offset<void>(state->delayLine, HistoryBytes(tapCount));
  const auto [specMemory, initBuffer, spectrum, work] = LayOutFftArea(state, plan);

  for (int32_t i = 0; i < tapCount; ++i) state->reversedTaps[i] = taps[tapCount - 1 - i];
  if (delayLine != nullptr) {
    // The caller lists the most recent sample first; the history runs oldest
    // first, and its first sample is never reached by a tap.
    for (int32_t i = 0; i < tapCount; ++i) state->delayLine[i] = delayLine[tapCount - 1 - i];
  } else {
    VecZeroF32L0(state->delayLine, tapCount);
  }

  state->fftLength = -1;
  RealFftSpec* spec = nullptr;
  if (plan.length > 0 &&
      RealFftInit(&spec, plan.order, FFT_SCALE_INVERSE, 0, specMemory, initBuffer) == DSP_STATUS_OK) {
    state->fftSpec = spec;
    state->tapSpectrum = spectrum;
    state->fftWork = plan.workBytes > 0 ? work : nullptr;
    VecCopyF32L0(taps, spectrum, tapCount);
    VecZeroF32L0(spectrum + tapCount, plan.length - tapCount);
    // A set-up failure leaves a working direct-form state.
    state->fftLength = RealFftForward(spectrum, spectrum, spec, state->fftWork) == DSP_STATUS_OK ? plan.length : -1;
  }
  *stateOut = state;
  return DSP_STATUS_OK;
}

DspStatus FirFilterStateSizeL0(int32_t tapCount, int32_t* bytes) {
  if (bytes == nullptr) return DSP_STATUS_NULL_POINTER;
  if (tapCount <= 0) return DSP_STATUS_BAD_TAP_COUNT;
  const int64_t size = FirStateBytes(tapCount);
  if (size > INT32_MAX) return DSP_STATUS_BAD_TAP_COUNT;
  *bytes = static_cast<int32_t>(size);
  return DSP_STATUS_OK;
}

DspStatus FirFilterInitL0(FirState** state, const float* taps, int32_t tapCount, const float* delayLine,
                          void* buffer) {
  if (state == nullptr || taps == nullptr || buffer == nullptr) return DSP_STATUS_NULL_POINTER;
  if (tapCount <= 0) return DSP_STATUS_BAD_TAP_COUNT;
  // No buffer can be counted that holds a state whose size does not fit 32
  // bits; refuse before writing into it.
  if (FirStateBytes(tapCount) > INT32_MAX) return DSP_STATUS_BAD_TAP_COUNT;
  return FirBuildState(state, taps, tapCount, delayLine, buffer, FIR_STATE_TAG);
}

DspStatus FirFilterBlockL0(const float* src, float* dst, int32_t len, void* stateMemory) {
  if (stateMemory == nullptr || src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  const int32_t tag = *static_cast<const int32_t*>(stateMemory);
  if (tag == MULTIRATE_FIR_STATE_TAG)
    return MultirateFirFilterBlock(src, dst, len, static_cast<MultirateFirState*>(stateMemory));
  if (tag != FIR_STATE_TAG) return DSP_STATUS_WRONG_KIND;
  FirState* state = static_cast<FirState*>(stateMemory);
  if (len >= FIR_FFT_MIN_BLOCK && state->fftLength > 0) return FilterOverlapSave(state, src, dst, len);
  FilterDirect(state, src, dst, len);
  return DSP_STATUS_OK;
}

DspStatus FirFilterSampleL0(float x, float* y, const float* taps, int32_t tapCount, float* delayLine,
                            int32_t* delayIndex) {
  if (y == nullptr || taps == nullptr) return DSP_STATUS_NULL_POINTER;
  if (tapCount < 1) return DSP_STATUS_BAD_TAP_COUNT;
  if (delayLine == nullptr || delayIndex == nullptr) return DSP_STATUS_NULL_POINTER;
  int32_t index = *delayIndex;
  // An index outside the line would write outside the caller's 2 x tapCount
  // floats.
  if (index < 0 || index >= tapCount) return DSP_STATUS_BAD_LENGTH;
  // The line is kept twice so that the window from the oldest sample to the
  // newest is always contiguous at delayLine[index].
  delayLine[tapCount + index] = x;
  delayLine[index] = x;
  index = index + 1 == tapCount ? 0 : index + 1;
  *delayIndex = index;
  double sum = 0.0;
  for (int32_t i = 0; i < tapCount; ++i) sum += static_cast<double>(taps[tapCount - 1 - i] * delayLine[index + i]);
  *y = static_cast<float>(sum);
  return DSP_STATUS_OK;
}

DSP_DISPATCH_TABLE(FirFilterStateSize, FirFilterStateSizeL0, FirFilterStateSizeL1, FirFilterStateSizeL2,
                   FirFilterStateSizeL3);
DspStatus FirFilterStateSize(int32_t tapCount, int32_t* bytes) {
  return DspDispatch(FirFilterStateSizeTable, tapCount, bytes);
}

DSP_DISPATCH_TABLE(FirFilterInit, FirFilterInitL0, FirFilterInitL1, FirFilterInitL2, FirFilterInitL3);
DspStatus FirFilterInit(FirState** state, const float* taps, int32_t tapCount, const float* delayLine, void* buffer) {
  return DspDispatch(FirFilterInitTable, state, taps, tapCount, delayLine, buffer);
}

DSP_DISPATCH_TABLE(FirFilterBlock, FirFilterBlockL0, FirFilterBlockL1, FirFilterBlockL2, FirFilterBlockL3);
DspStatus FirFilterBlock(const float* src, float* dst, int32_t len, void* state) {
  return DspDispatch(FirFilterBlockTable, src, dst, len, state);
}

DSP_DISPATCH_TABLE(FirFilterSample, FirFilterSampleL0, FirFilterSampleL1, FirFilterSampleL2, FirFilterSampleL3);
DspStatus FirFilterSample(float x, float* y, const float* taps, int32_t tapCount, float* delayLine,
                          int32_t* delayIndex) {
  return DspDispatch(FirFilterSampleTable, x, y, taps, tapCount, delayLine, delayIndex);
}
