// The IIR primitive's dispatch stubs and its baseline builds.
#include "primitives/unreached/iir/Iir.h"

#include "primitives/Dispatch.h"
#include "primitives/Vector.h"
#include "primitives/unreached/iir/IirLevels.h"
#include "primitives/unreached/iir/IirStateLayout.h"

DSP_DISPATCH_TABLE(IirFilterStateSize, IirFilterStateSizeL0, IirFilterStateSizeL1, IirFilterStateSizeL2L3,
                   IirFilterStateSizeL2L3);
DSP_DISPATCH_TABLE(IirFilterInit, IirFilterInitL0, IirFilterInitL1, IirFilterInitL2, IirFilterInitL3);
DSP_DISPATCH_TABLE(IirFilterInPlace, IirFilterInPlaceL0, IirFilterInPlaceL1, IirFilterInPlaceL2, IirFilterInPlaceL3);

DspStatus IirFilterStateSize(int32_t order, int32_t* bytes) {
  return DspDispatch(IirFilterStateSizeTable, order, bytes);
}
DspStatus IirFilterInit(IirState** pState, const float* taps, int32_t order, const float* delayInit, void* buffer) {
  return DspDispatch(IirFilterInitTable, pState, taps, order, delayInit, buffer);
}
DspStatus IirFilterInPlace(float* srcDst, int32_t len, IirState* state) {
  return DspDispatch(IirFilterInPlaceTable, srcDst, len, state);
}

DspStatus IirFilterStateSizeL0(int32_t order, int32_t* bytes) {
  if (bytes == nullptr) return DSP_STATUS_NULL_POINTER;
  if (order <= 0 || !iir_layout::OrderFits(order, CPU_LEVEL_BASELINE)) return DSP_STATUS_BAD_FILTER_ORDER;
  *bytes = static_cast<int32_t>(IirStateBytes(order, IIR_STATE_TAG, CPU_LEVEL_BASELINE));
  return DSP_STATUS_OK;
}

DspStatus IirFilterInitL0(IirState** pState, const float* taps, int32_t order, const float* delayInit, void* buffer) {
  if (taps == nullptr || pState == nullptr || buffer == nullptr) return DSP_STATUS_NULL_POINTER;
  if (order <= 0 || !iir_layout::OrderFits(order, CPU_LEVEL_BASELINE)) return DSP_STATUS_BAD_FILTER_ORDER;
  IirState* state = iir_layout::LayOut(buffer, order, delayInit, IIR_STATE_TAG, false, VecCopyF32L0, VecZeroF32L0);
  *pState = state;
  float inv;
  return iir_layout::NormalizeCoefficients(taps, state, &inv);
}

namespace {

// Transposed direct form II, left to right in single precision. b'[k] = t[k],
// a'[k] = t[N + k]; d[N] = 0 stands for the entry beyond the last.
void ArbitraryOrder(float* x, int32_t len, IirState* state) {
  const int32_t n = state->order;
  const float* t = state->taps;
  float* d = state->delayLine;
  if (n <= 0) {
    // A gain, four samples per step and then one by one: each is x b'0.
    for (int32_t i = 0; i < len; ++i) x[i] = x[i] * t[0];
    return;
  }
  if (n == 1) {
    for (int32_t i = 0; i < len; ++i) {
      const float y = t[0] * x[i] + d[0];
      d[0] = t[1] * x[i] - t[2] * y;
      x[i] = y;
    }
    return;
  }
  const float* a = t + n;
  int32_t i = 0;
  // Pairs of samples from the call's first: one pass over the delay line
  // each.
  for (; i + 1 < len; i += 2) {
    const float x0 = x[i], x1 = x[i + 1];
    const float y0 = t[0] * x0 + d[0];
    const float y1 = ((t[0] * x1 + d[1]) + t[1] * x0) - a[1] * y0;
    for (int32_t k = 0; k <= n - 2; ++k)
      d[k] = ((((t[k + 1] * x1 - a[k + 1] * y1) + t[k + 2] * x0) - a[k + 2] * y0) + d[k + 2]);
    d[n - 1] = t[n] * x1 - a[n] * y1;
    x[i] = y0;
    x[i + 1] = y1;
  }
  if (i < len) {
    const float x0 = x[i];
    const float y = t[0] * x0 + d[0];
    for (int32_t k = 0; k < n; ++k) d[k] = (t[k + 1] * x0 - a[k + 1] * y) + d[k + 1];
    x[i] = y;
  }
}

// A cascade of sections (c0..c4 = b0 b1 b2 a1 a2) walked while k < order,
// k = 0, 2, 4, ...; an order <= 0 runs none and every sample becomes 0.
void BiquadCascade(float* x, int32_t len, IirState* state) {
  for (int32_t i = 0; i < len; ++i) {
    float v = x[i], y = 0.0f;
    const float* c = state->taps;
    float* s = state->delayLine;
    for (int64_t k = 0; k < state->order; k += 2, c += 5, s += 2) {
      y = c[0] * v + s[0];
      s[0] = (c[1] * v + s[1]) - c[3] * y;
      s[1] = c[2] * v + (0.0f - c[4]) * y;
      v = y;
    }
    x[i] = y;
  }
}

}  // namespace

DspStatus IirFilterInPlaceL0(float* srcDst, int32_t len, IirState* state) {
  if (state == nullptr || srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len < 1) return DSP_STATUS_BAD_LENGTH;
  if (state->tag == IIR_STATE_TAG)
    ArbitraryOrder(srcDst, len, state);
  else if (state->tag == IIR_BIQUAD_STATE_TAG)
    BiquadCascade(srcDst, len, state);
  else
    return DSP_STATUS_WRONG_KIND;
  return DSP_STATUS_OK;
}
