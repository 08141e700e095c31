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

inline constexpr int32_t IIR_STATE_TAG = 0x49493031;
inline constexpr int32_t IIR_BIQUAD_STATE_TAG = 0x49493032;

// Samples per piece of the level builds: one piece fills the work area.
inline constexpr int32_t IIR_PIECE_LENGTH = 1024;
inline constexpr int32_t IIR_WORK_BYTES = 4 * IIR_PIECE_LENGTH;

// Four floats on a 16-byte boundary: one entry of the tap vectors and of the
// lookahead table.
struct alignas(16) IirVector {
  float lane[4];
};

// The 96-byte header both kinds of state start with.
//
// Arbitrary order (IIR_STATE_TAG): taps b'0..b'N then a'1..a'N (divided by
// a0), delay line d[0..N] with d[N] always 0, order N. Levels 1-3 add the
// tap vectors (N + 1: b'k in every lane), the lookahead table (N + 3: the
// weights of y[t-k] in y[t..t+3] for k = 1..N, then those of w[t], w[t+1],
// w[t+2]) and one work area.
//
// Biquad cascade (IIR_BIQUAD_STATE_TAG) of S sections: taps b0 b1 b2 a1 a2
// per section (divided by that section's a0), delay pairs (s0, s1) per
// section, order 2S, section count S; levels 1-3 also read three tap vectors
// and five lookahead vectors per section (those of an order-2 state), the
// per-sample step table (IirBiquadStepRecord per section) and a work area.
struct alignas(16) IirState {
  int32_t tag;
  float* taps;
  float* delayLine;
  int32_t order;
  IirVector* tapVectors;
  IirVector* lookaheadTable;
  int32_t sectionCount;
  void* stepTable;
  float* blockWork;
  float* secondBlockWork;  // null; a biquad record's size counts one more area
  int32_t reserved;
};
static_assert(sizeof(IirState) == 96, "the IIR state header is 96 bytes");

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

// Level builds: the baseline, level 1, levels 2 and 3.
DspStatus IirFilterStateSizeL0(int32_t order, int32_t* bytes);
DspStatus IirFilterStateSizeL1(int32_t order, int32_t* bytes);
DspStatus IirFilterStateSizeL2L3(int32_t order, int32_t* bytes);
DspStatus IirFilterInitL0(IirState** pState, const float* taps, int32_t order, const float* delayInit, void* buffer);
DspStatus IirFilterInitL1(IirState** pState, const float* taps, int32_t order, const float* delayInit, void* buffer);
DspStatus IirFilterInitL2(IirState** pState, const float* taps, int32_t order, const float* delayInit, void* buffer);
DspStatus IirFilterInitL3(IirState** pState, const float* taps, int32_t order, const float* delayInit, void* buffer);
DspStatus IirFilterInPlaceL0(float* srcDst, int32_t len, IirState* state);
DspStatus IirFilterInPlaceL1(float* srcDst, int32_t len, IirState* state);
DspStatus IirFilterInPlaceL2(float* srcDst, int32_t len, IirState* state);
DspStatus IirFilterInPlaceL3(float* srcDst, int32_t len, IirState* state);

// Internal: the bytes of a state of `order` and kind `tag`, in 64 bits, as
// the baseline (level 0) or a level build (1-3: tables, a work area, and one
// more for a tag other than IIR_STATE_TAG) lays it out; up to 15 of them are
// slack for the alignment of the state.
int64_t IirStateBytes(int32_t order, int32_t tag, CpuLevel level);
