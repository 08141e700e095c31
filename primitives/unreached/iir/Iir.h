// Recursive (IIR) filtering of single-precision blocks in place.
//
// A filter is one section of arbitrary order N or a cascade of biquad
// sections. Its coefficients and delay line live in a state record in caller
// memory; IirFilterInit builds the arbitrary-order kind (IIR_STATE_TAG) from
// raw coefficients b0..bN, a0..aN, and a caller lays out the biquad kind
// (IIR_BIQUAD_STATE_TAG) itself. Every IirFilterInPlace call continues from
// the delay line the previous one left, in transposed direct form II.
//
// The baseline filters sample by sample (pairs of samples from order 2 on).
// The level builds cut a call into pieces of at most IIR_PIECE_LENGTH
// samples: a piece longer than four samples per unit of order runs as a
// feed-forward block and a four-outputs-at-a-time recursion block
// (primitives/unreached/iir/IirKernels.h), shorter pieces sample by sample.
// The state a level build makes therefore carries tables and a work area the
// baseline's lacks, and one level both builds and runs a state. Results of
// the forms agree within single-precision rounding, not bit for bit.
//
// A state holds pointers into itself: it must not be copied or moved.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/unreached/iir/IirStateLayout.h"

// Public primitives (dispatched).
// bytes null -8, order <= 0 -25 (also an order whose state would not fit 32
// bits), else the size of an IirState of that order.
DspStatus IirFilterStateSize(int32_t order, int32_t* bytes);
// taps (2 (N + 1) raw coefficients), pState or buffer null -8; order <= 0 (or
// too large for a state) -25; a0 == +-0 -10, after which the header and the
// delay line are written but not the coefficients: the record is unusable.
// delayInit holds d[0..N-1] or is null for a zero delay line.
DspStatus IirFilterInit(IirState** pState, const float* taps, int32_t order, const float* delayInit, void* buffer);
// state or srcDst null -8, len < 1 -6, a tag of neither kind -17; else the
// samples are filtered in place.
DspStatus IirFilterInPlace(float* srcDst, int32_t len, IirState* state);

// The baseline builds; the level builds are declared in
// primitives/unreached/iir/IirLevels.h.
DspStatus IirFilterStateSizeL0(int32_t order, int32_t* bytes);
DspStatus IirFilterInitL0(IirState** pState, const float* taps, int32_t order, const float* delayInit, void* buffer);
DspStatus IirFilterInPlaceL0(float* srcDst, int32_t len, IirState* state);
