// Processor-level builds (levels 1, 2, 3) of the FIR filters: single-rate
// state building and block filtering, the multirate layouts' block
// filtering, and the one-sample filter. The contracts are the baseline
// builds' (primitives/Fir.h, primitives/MultirateFir.h).
//
// What the levels change:
// - the single-rate state carries a broadcast tap table (each tap four
//   times), so it is larger than the baseline's and is filtered only by the
//   builds of the level that built it; its transform memory belongs to the
//   level's real FFT;
// - the direct form runs four outputs to a vector, a long filter as
//   accumulate-in-place passes over groups of four taps; the multirate
//   layouts run 4-lane kernels; the indexed layouts keep each output's taps
//   as one contiguous run (the baseline interleaves the four outputs of a
//   group);
// - sums are single precision grouped by the vector layout, so outputs may
//   differ from the baseline's in the last bits.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/FirStates.h"

DspStatus FirFilterStateSizeL1(int32_t tapCount, int32_t* bytes);
DspStatus FirFilterStateSizeL2(int32_t tapCount, int32_t* bytes);
DspStatus FirFilterStateSizeL3(int32_t tapCount, int32_t* bytes);
DspStatus FirFilterInitL1(FirState** state, const float* taps, int32_t tapCount, const float* delayLine, void* buffer);
DspStatus FirFilterInitL2(FirState** state, const float* taps, int32_t tapCount, const float* delayLine, void* buffer);
DspStatus FirFilterInitL3(FirState** state, const float* taps, int32_t tapCount, const float* delayLine, void* buffer);
DspStatus FirFilterBlockL1(const float* src, float* dst, int32_t len, void* state);
DspStatus FirFilterBlockL2(const float* src, float* dst, int32_t len, void* state);
DspStatus FirFilterBlockL3(const float* src, float* dst, int32_t len, void* state);
DspStatus FirFilterSampleL1(float x, float* y, const float* taps, int32_t tapCount, float* delayLine,
                            int32_t* delayIndex);
DspStatus FirFilterSampleL2(float x, float* y, const float* taps, int32_t tapCount, float* delayLine,
                            int32_t* delayIndex);
DspStatus FirFilterSampleL3(float x, float* y, const float* taps, int32_t tapCount, float* delayLine,
                            int32_t* delayIndex);
DspStatus MultirateFirStateSizeL1(int32_t tapCount, int32_t up, int32_t down, int32_t* bytes);
DspStatus MultirateFirStateSizeL2(int32_t tapCount, int32_t up, int32_t down, int32_t* bytes);
DspStatus MultirateFirStateSizeL3(int32_t tapCount, int32_t up, int32_t down, int32_t* bytes);
DspStatus MultirateFirInitL1(void** state, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                             int32_t down, int32_t downPhase, const float* delayLine, void* buffer);
DspStatus MultirateFirInitL2(void** state, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                             int32_t down, int32_t downPhase, const float* delayLine, void* buffer);
DspStatus MultirateFirInitL3(void** state, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                             int32_t down, int32_t downPhase, const float* delayLine, void* buffer);

// Internal routines of each level.
// The buffer size for tapCount taps in 64 bits (the callers refuse what does
// not fit 32 bits).
int64_t FirStateBytesL1(int32_t tapCount);
int64_t FirStateBytesL2(int32_t tapCount);
int64_t FirStateBytesL3(int32_t tapCount);
DspStatus FirBuildStateL1(FirState** state, const float* taps, int32_t tapCount, const float* delayLine, void* buffer,
                          int32_t tag);
DspStatus FirBuildStateL2(FirState** state, const float* taps, int32_t tapCount, const float* delayLine, void* buffer,
                          int32_t tag);
DspStatus FirBuildStateL3(FirState** state, const float* taps, int32_t tapCount, const float* delayLine, void* buffer,
                          int32_t tag);
// dst[k] = sum over j < tapCount of taps[j] x window[k + tapCount - 1 - j],
// k < count, from the broadcast table (group j: taps[j] four times).
void FirFilterBlockL1KernelSingleRate(const float* broadcastTaps, const float* window, float* dst, int64_t count,
                                      int32_t tapCount);
void FirFilterBlockL2KernelSingleRate(const float* broadcastTaps, const float* window, float* dst, int64_t count,
                                      int32_t tapCount);
void FirFilterBlockL3KernelSingleRate(const float* broadcastTaps, const float* window, float* dst, int64_t count,
                                      int32_t tapCount);
