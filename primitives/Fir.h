// Single-rate FIR filtering of 32-bit float signals.
//
// A FirState lives in caller memory (FirFilterStateSize bytes, placed at the
// first 16-byte boundary of the buffer) and carries the history from one
// FirFilterBlock call to the next, so consecutive calls filter one continuous
// signal whatever their lengths. It holds pointers into itself: it must not
// be copied or moved; build it again (FirFilterInit) where it is to live.
//
// With 64 taps or more the state also carries a real-FFT setup and
// the spectrum of the taps, and blocks of 512 samples or more are filtered by
// overlap-save; both forms give the same outputs up to rounding.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/FirStates.h"

// Public primitives (dispatched) and their baseline builds.
DspStatus FirFilterStateSize(int32_t tapCount, int32_t* bytes);
DspStatus FirFilterInit(FirState** state, const float* taps, int32_t tapCount, const float* delayLine, void* buffer);
// Also runs a MultirateFirState (len then counts iterations). src and dst
// must not overlap.
DspStatus FirFilterBlock(const float* src, float* dst, int32_t len, void* state);
// One sample through taps with a caller-owned doubled delay line of
// 2 x tapCount floats and an index in [0, tapCount), both starting at zero.
// An index outside [0, tapCount) is refused with DSP_STATUS_BAD_LENGTH before
// anything is written.
DspStatus FirFilterSample(float x, float* y, const float* taps, int32_t tapCount, float* delayLine,
                          int32_t* delayIndex);

DspStatus FirFilterStateSizeL0(int32_t tapCount, int32_t* bytes);
DspStatus FirFilterInitL0(FirState** state, const float* taps, int32_t tapCount, const float* delayLine,
                          void* buffer);
DspStatus FirFilterBlockL0(const float* src, float* dst, int32_t len, void* state);
DspStatus FirFilterSampleL0(float x, float* y, const float* taps, int32_t tapCount, float* delayLine,
                            int32_t* delayIndex);

// Internal routines (baseline builds; no dispatch table).
// Buffer size for tapCount taps in 64 bits (the caller refuses what does not
// fit 32 bits).
int64_t FirStateBytes(int32_t tapCount);
DspStatus FirBuildState(FirState** state, const float* taps, int32_t tapCount, const float* delayLine, void* buffer,
                        int32_t tag);
