// Multirate FIR filter: the public primitives. A single-rate shape gets the
// single-rate record; every other shape one of the layouts.
#include "primitives/MultirateFir.h"

#include "primitives/Dispatch.h"
#include "primitives/MultirateFirLayouts.h"
#include "primitives/levels/FirLevels.h"

DspStatus MultirateFirStateSizeL0(int32_t tapCount, int32_t up, int32_t down, int32_t* bytes) {
  if (bytes == nullptr) return DSP_STATUS_NULL_POINTER;
  if (tapCount <= 0) return DSP_STATUS_BAD_TAP_COUNT;
  if (up <= 0 || down <= 0) return DSP_STATUS_BAD_FACTOR;
  if (up == 1 && down == 1) return FirFilterStateSizeL0(tapCount, bytes);
  return MultirateFirLayoutSize(tapCount, up, down, bytes);
}

DspStatus MultirateFirInitL0(void** state, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                             int32_t down, int32_t downPhase, const float* delayLine, void* buffer) {
  if (state == nullptr || taps == nullptr || buffer == nullptr) return DSP_STATUS_NULL_POINTER;
  if (tapCount <= 0) return DSP_STATUS_BAD_TAP_COUNT;
  if (up <= 0 || down <= 0) return DSP_STATUS_BAD_FACTOR;
  if (upPhase < 0 || upPhase >= up || downPhase < 0 || downPhase >= down) return DSP_STATUS_BAD_PHASE;
  if (up == 1 && down == 1)
    return FirFilterInitL0(reinterpret_cast<FirState**>(state), taps, tapCount, delayLine, buffer);
  return MultirateFirBuildLayout(state, taps, tapCount, up, upPhase, down, downPhase, delayLine, buffer);
}

DSP_DISPATCH_TABLE(MultirateFirStateSize, MultirateFirStateSizeL0, MultirateFirStateSizeL1, MultirateFirStateSizeL2,
                   MultirateFirStateSizeL3);
DspStatus MultirateFirStateSize(int32_t tapCount, int32_t up, int32_t down, int32_t* bytes) {
  return DspDispatch(MultirateFirStateSizeTable, tapCount, up, down, bytes);
}

DSP_DISPATCH_TABLE(MultirateFirInit, MultirateFirInitL0, MultirateFirInitL1, MultirateFirInitL2, MultirateFirInitL3);
DspStatus MultirateFirInit(void** state, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                           int32_t down, int32_t downPhase, const float* delayLine, void* buffer) {
  return DspDispatch(MultirateFirInitTable, state, taps, tapCount, up, upPhase, down, downPhase, delayLine, buffer);
}
