// Polyphase FIR filtering with a rational rate change: the input is upsampled
// by `up` (zeros inserted), filtered and downsampled by `down`, without
// computing the zero products or the dropped outputs.
//
// Output m of the stream (counted from initialisation) is
//   y[m] = sum over p < tapCount of taps[p] x u[m x down + downPhase - p],
// where u[s x up + upPhase] = x[s] and u is zero elsewhere. Each
// FirFilterBlock call of `iterations` reads down x iterations inputs and
// writes up x iterations outputs, continuing the same stream.
//
// The state lives in caller memory, points into itself and must not be
// copied or moved. It takes one of three layouts, chosen from the filter's
// shape: interleaved (mode 1), where one input sample meets the taps of four
// consecutive outputs in one quadruple; or indexed, which stores only the
// taps that meet an input sample, for decimation (mode 2, up = 1) or
// interpolation (mode 3, up > 1).
#pragma once

#include <cstddef>
#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/Fir.h"

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

// Public primitives (dispatched) and their baseline builds. up == down == 1
// gives the single-rate FirState (and its size); *state receives whichever
// record was built, and FirFilterBlock runs either.
DspStatus MultirateFirStateSize(int32_t tapCount, int32_t up, int32_t down, int32_t* bytes);
DspStatus MultirateFirInit(void** state, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                           int32_t down, int32_t downPhase, const float* delayLine, void* buffer);

DspStatus MultirateFirStateSizeL0(int32_t tapCount, int32_t up, int32_t down, int32_t* bytes);
DspStatus MultirateFirInitL0(void** state, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                             int32_t down, int32_t downPhase, const float* delayLine, void* buffer);

// Internal routines (baseline builds; no dispatch table).
// Byte counts of the two layouts in 64 bits.
int64_t MultirateFirBytesInterleaved(int32_t tapCount, int32_t up, int32_t down);
int64_t MultirateFirBytesIndexed(int32_t tapCount, int32_t up, int32_t down);
MultirateFirState* MultirateFirBuildInterleaved(const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                                                int32_t down, int32_t downPhase, const float* delayLine,
                                                void* buffer, int32_t tag);
MultirateFirState* MultirateFirBuildIndexed(const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                                            int32_t down, int32_t downPhase, const float* delayLine, void* buffer,
                                            int32_t tag);
// The multirate branch of FirFilterBlock (arguments already checked).
DspStatus MultirateFirFilterBlock(const float* src, float* dst, int32_t iterations, MultirateFirState* state);
