// Level 1 of the FIR filters.
#include "primitives/levels/FftLevels.h"
#include "primitives/levels/FirKernels.h"
#include "primitives/levels/MemoryLevels.h"

namespace {

// The routines of this level that the filters call.
struct Calls {
  static void* ZeroBytes(void* dst, int64_t bytes) { return ZeroBytesL1(dst, bytes); }
  static constexpr auto& Zero = VecZeroF32L1;
  static constexpr auto& Copy = VecCopyF32L1;
  static constexpr auto& Move = VecMoveF32L1;
  static constexpr auto& FftGetSize = RealFftGetSizeL1;
  static constexpr auto& FftInit = RealFftInitL1;
  static constexpr auto& FftForward = RealFftForwardL1;
  static constexpr auto& FftInverse = RealFftInverseL1;
  static constexpr auto& SpectrumMul = PackedSpectrumMulInPlaceL1;
  static constexpr auto& Kernel = FirFilterBlockL1KernelSingleRate;
  static constexpr auto& StateBytes = FirStateBytesL1;
  static constexpr auto& BuildState = FirBuildStateL1;
  static constexpr auto& FirInit = FirFilterInitL1;
  static constexpr auto& FirStateSize = FirFilterStateSizeL1;
};

using Fir = fir_level::Level<Calls>;

}  // namespace

void FirFilterBlockL1KernelSingleRate(const float* broadcastTaps, const float* window, float* dst, int64_t count,
                                      int32_t tapCount) {
  fir_level::DirectKernel(broadcastTaps, window, dst, count, tapCount);
}
int64_t FirStateBytesL1(int32_t tapCount) { return Fir::StateBytes(tapCount); }
DspStatus FirBuildStateL1(FirState** state, const float* taps, int32_t tapCount, const float* delayLine, void* buffer,
                          int32_t tag) {
  return Fir::BuildState(state, taps, tapCount, delayLine, buffer, tag);
}
DspStatus FirFilterStateSizeL1(int32_t tapCount, int32_t* bytes) { return Fir::StateSize(tapCount, bytes); }
DspStatus FirFilterInitL1(FirState** state, const float* taps, int32_t tapCount, const float* delayLine, void* buffer) {
  return Fir::Init(state, taps, tapCount, delayLine, buffer);
}
DspStatus FirFilterBlockL1(const float* src, float* dst, int32_t len, void* state) {
  return Fir::FilterBlock(src, dst, len, state);
}
DspStatus FirFilterSampleL1(float x, float* y, const float* taps, int32_t tapCount, float* delayLine,
                            int32_t* delayIndex) {
  return fir_level::FilterSample(x, y, taps, tapCount, delayLine, delayIndex);
}
DspStatus MultirateFirStateSizeL1(int32_t tapCount, int32_t up, int32_t down, int32_t* bytes) {
  return fir_level::MultirateStateSize<Calls>(tapCount, up, down, bytes);
}
DspStatus MultirateFirInitL1(void** state, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                             int32_t down, int32_t downPhase, const float* delayLine, void* buffer) {
  return fir_level::MultirateInit<Calls>(state, taps, tapCount, up, upPhase, down, downPhase, delayLine, buffer);
}
