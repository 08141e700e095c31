// The two records a FIR filter keeps in caller memory: the single-rate
// FirState and the multirate MultirateFirState. One block routine runs
// either, told apart by the tag both start with, so they share the offsets of
// their common fields. They sit below the routines that build and run them:
// the baseline, the level builds and the memory plans all read them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/RealFftSetup.h"

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

inline constexpr int32_t MULTIRATE_FIR_LAYOUT_INTERLEAVED = 1;
inline constexpr int32_t MULTIRATE_FIR_LAYOUT_DECIMATING = 2;
inline constexpr int32_t MULTIRATE_FIR_LAYOUT_INTERPOLATING = 3;

// A 160-byte header followed by the reversed taps, the tap table
// (phaseTaps), the phase table, the history and a reserve that the builders
// use as scratch.
struct MultirateFirState {
  int32_t tag;  // MULTIRATE_FIR_STATE_TAG
  float* reversedTaps;
  float* delayLine;          // historyLength saved inputs, oldest first, then room for splitInputCount new ones
  int32_t tapCount;          // T
  int32_t upFactor;          // U
  int32_t splitInputCount;   // G: inputs a call stages behind the history before it reads the caller's block
  int32_t downFactor;        // D
  int32_t splitOutputCount;  // H: outputs computed from the staged history (a multiple of 4U)
  int32_t reserved0;
  RealFftSpec* fftSpec;  // null
  float* tapSpectrum;    // null
  int32_t fftLength;     // -1
  int32_t delayOffset;   // 0
  // Mode 1: U+1 input advances (before each group, then the cycle's end);
  // modes 2 and 3: 4U start offsets and the cycle's advance, 4D.
  int32_t* phaseTable;
  // Mode 1: U blocks of phaseTapCount quadruples; modes 2 and 3: value m of
  // output (4k + r)'s run at 4(kQ + m) + r.
  float* phaseTaps;
  int32_t phaseTapCount;  // mode 1: window length E / U; modes 2 and 3: Q
  int32_t layoutMode;
  int32_t historyLength;  // Q = ceil(T / U)
  int32_t reserved1;
  void* reservedPointers[2];
  void* reserveBuffer;
  void* reservedPointer;
  float reservedFloat;
  int32_t upPhase;
  int32_t downPhase;
  int32_t reservedTail[3];
};
static_assert(sizeof(MultirateFirState) == 160, "the multirate FIR state header is 160 bytes");
static_assert(offsetof(MultirateFirState, reversedTaps) == offsetof(FirState, reversedTaps) &&
                  offsetof(MultirateFirState, delayLine) == offsetof(FirState, delayLine) &&
                  offsetof(MultirateFirState, tapCount) == offsetof(FirState, tapCount) &&
                  offsetof(MultirateFirState, fftSpec) == offsetof(FirState, fftSpec) &&
                  offsetof(MultirateFirState, tapSpectrum) == offsetof(FirState, tapSpectrum) &&
                  offsetof(MultirateFirState, fftLength) == offsetof(FirState, fftLength) &&
                  offsetof(MultirateFirState, delayOffset) == offsetof(FirState, delayOffset) &&
                  offsetof(MultirateFirState, reserveBuffer) == offsetof(FirState, reserveBuffer) &&
                  offsetof(MultirateFirState, reservedFloat) == offsetof(FirState, reservedFloat),
              "the fields both FIR records share sit at the same offsets");
