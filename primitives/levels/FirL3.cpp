// Level 3 of the FIR filters.
#include "primitives/levels/FftLevels.h"
#include "primitives/levels/FirKernels.h"
#include "primitives/levels/MemoryLevels.h"

namespace {

// The routines of this level that the filters call.
struct Calls {
  static void* ZeroBytes(void* dst, int64_t bytes) { return ZeroBytesL3(dst, bytes); }
  static constexpr auto& Zero = VecZeroF32L3;
  static constexpr auto& Copy = VecCopyF32L3;
  static constexpr auto& Move = VecMoveF32L3;
  static constexpr auto& FftGetSize = RealFftGetSizeL3;
  static constexpr auto& FftInit = RealFftInitL3;
  static constexpr auto& FftForward = RealFftForwardL3;
  static constexpr auto& FftInverse = RealFftInverseL3;
  static constexpr auto& SpectrumMul = PackedSpectrumMulInPlaceL3;
  static constexpr auto& Kernel = FirFilterBlockL3KernelSingleRate;
  static constexpr auto& StateBytes = FirStateBytesL3;
  static constexpr auto& BuildState = FirBuildStateL3;
  static constexpr auto& FirInit = FirFilterInitL3;
  static constexpr auto& FirStateSize = FirFilterStateSizeL3;
};

using Fir = fir_level::Level<Calls>;

}  // namespace

void FirFilterBlockL3KernelSingleRate(const float* broadcastTaps, const float* window, float* dst, int64_t count,
                                      int32_t tapCount) {
  fir_level::DirectKernel(broadcastTaps, window, dst, count, tapCount);
}
int64_t FirStateBytesL3(int32_t tapCount) { return Fir::StateBytes(tapCount); }
DspStatus FirBuildStateL3(FirState** state, const float* taps, int32_t tapCount, const float* delayLine, void* buffer,
                          int32_t tag) {
  return Fir::BuildState(state, taps, tapCount, delayLine, buffer, tag);
}
DspStatus FirFilterStateSizeL3(int32_t tapCount, int32_t* bytes) { return Fir::StateSize(tapCount, bytes); }
DspStatus FirFilterInitL3(FirState** state, const float* taps, int32_t tapCount, const float* delayLine, void* buffer) {
  return Fir::Init(state, taps, tapCount, delayLine, buffer);
}
DspStatus FirFilterBlockL3(const float* src, float* dst, int32_t len, void* state) {
  return Fir::FilterBlock(src, dst, len, state);
}
DspStatus FirFilterSampleL3(float x, float* y, const float* taps, int32_t tapCount, float* delayLine,
                            int32_t* delayIndex) {
  return fir_level::FilterSample(x, y, taps, tapCount, delayLine, delayIndex);
}
DspStatus MultirateFirStateSizeL3(int32_t tapCount, int32_t up, int32_t down, int32_t* bytes) {
  return fir_level::MultirateStateSize<Calls>(tapCount, up, down, bytes);
}
DspStatus MultirateFirInitL3(void** state, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                             int32_t down, int32_t downPhase, const float* delayLine, void* buffer) {
  return fir_level::MultirateInit<Calls>(state, taps, tapCount, up, upPhase, down, downPhase, delayLine, buffer);
}
