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

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/Fir.h"

// Public primitives (dispatched) and their baseline builds. up == down == 1
// gives the single-rate FirState (and its size); *state receives whichever
// record was built, and FirFilterBlock runs either.
DspStatus MultirateFirStateSize(int32_t tapCount, int32_t up, int32_t down, int32_t* bytes);
DspStatus MultirateFirInit(void** state, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                           int32_t down, int32_t downPhase, const float* delayLine, void* buffer);

DspStatus MultirateFirStateSizeL0(int32_t tapCount, int32_t up, int32_t down, int32_t* bytes);
DspStatus MultirateFirInitL0(void** state, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                             int32_t down, int32_t downPhase, const float* delayLine, void* buffer);
