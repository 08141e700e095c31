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
#include "primitives/RealFft.h"

inline constexpr int32_t FIR_STATE_TAG = 0x46493031;
inline constexpr int32_t MULTIRATE_FIR_STATE_TAG = 0x46493033;

// Tap counts from which the FFT form is built, and block lengths from which
// it runs.
inline constexpr int32_t FIR_FFT_MIN_TAPS = 64;
inline constexpr int32_t FIR_FFT_MIN_BLOCK = 512;

// The single-rate state: a 160-byte header followed by its areas (reversed
// taps, delay line, at levels 1-3 the broadcast taps, a 16-byte gap, the
// transform's setup memory and initialisation buffer, the tap
// spectrum, the transform's work buffer, the overlap block, a reserve). The
// fields it shares with MultirateFirState sit at the same offsets in both.
struct FirState {
  int32_t tag;             // FIR_STATE_TAG
  float* reversedTaps;     // reversedTaps[i] = taps[tapCount - 1 - i]
  float* delayLine;        // 3 x tapCount + 4 floats: the last tapCount inputs, oldest first, then room
  int32_t tapCount;
  int32_t directThreshold;  // tapCount rounded up to a multiple of 4, plus 1
  int32_t reservedCounts[4];  // the multirate record's counts stand here
  RealFftSpec* fftSpec;       // null without the FFT form
  float* tapSpectrum;         // packed spectrum of the zero-padded taps
  int32_t fftLength;          // -1 without the FFT form
  int32_t delayOffset;        // 0; reset by every block call
  void* reservedPointer;
  float* broadcastTaps;  // levels 1-3: four copies of each tap; null in the baseline build
  int32_t tapCountCopy;
  float* fftBlock;   // fftLength floats of scratch for one overlap block
  void* fftWork;     // the transform's work buffer, null when it needs none
  int32_t fftWorkBytes;
  void* reserveBuffer;  // last area, at least 16384 bytes
  void* fftAreaStart;   // end of the direct-form areas; the transform memory starts 16 bytes after it
  float reservedFloat;
  int32_t reservedTail[5];
};
static_assert(sizeof(FirState) == 160, "the FIR state header is 160 bytes");

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
