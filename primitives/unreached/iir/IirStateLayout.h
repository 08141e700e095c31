// The IIR state record and how it is laid out in the caller's buffer: its
// size, its regions, and how the raw coefficients become its taps. The
// baseline (Iir.cpp) and every level file build and read the same record, so
// it sits beneath both, and the level builds need nothing from the
// primitive's source, which dispatches to them. The layout helpers live in an
// unnamed namespace so that each includer keeps its own copy under its own
// instruction set; the size (IirStateLayout.cpp) is one baseline build that
// all of them call.
//
// Layout from the first 16-byte boundary of the buffer: the 96-byte header;
// the taps (2N + 1 floats in 16 floor(N/2) + 16 bytes); the delay line
// (N + 1 floats in 16 floor(N/4) + 16 bytes); at levels 1-3 the tap vectors
// (16 (N + 1) bytes), the lookahead table (16 (N + 3) bytes), the work area
// and, for a tag other than IIR_STATE_TAG, a second one.
#pragma once

#include <cstdint>
#include <new>

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

// The bytes of a state of `order` and kind `tag`, in 64 bits, as the
// baseline (level 0) or a level build (1-3: tables, a work area, and one more
// for a tag other than IIR_STATE_TAG) lays it out; up to 15 of them are slack
// for the alignment of the state.
int64_t IirStateBytes(int32_t order, int32_t tag, CpuLevel level);

namespace {
namespace iir_layout {

inline unsigned char* AlignUp16(void* p) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(p);
  return reinterpret_cast<unsigned char*>((a + 15) & ~uintptr_t{15});
}

// The header, the coefficient and delay regions, and (withTables) the level
// tables and work areas. The delay line gets d[0..N-1] from delayInit, or
// zeros, and d[N] = 0. copy and zero are the level's VecCopyF32/VecZeroF32
// builds; their results (always success here) are not needed.
template <typename Copy, typename Zero>
inline IirState* LayOut(void* buffer, int32_t order, const float* delayInit, int32_t tag, bool withTables, Copy copy,
                        Zero zero) {
  unsigned char* base = AlignUp16(buffer);
  IirState* state = new (base) IirState;
  const int64_t n = order;
  state->tag = tag;
  state->taps = reinterpret_cast<float*>(base + sizeof(IirState));
  state->delayLine = reinterpret_cast<float*>(reinterpret_cast<unsigned char*>(state->taps) + 16 * (n / 2) + 16);
  state->order = order;
  state->tapVectors = nullptr;
  state->lookaheadTable = nullptr;
  state->sectionCount = 0;
  state->stepTable = nullptr;
  state->blockWork = nullptr;
  state->secondBlockWork = nullptr;
  state->reserved = 0;
  if (order > 0) {
    if (delayInit != nullptr)
      static_cast<void>(copy(delayInit, state->delayLine, order));
    else
      static_cast<void>(zero(state->delayLine, order));
    state->delayLine[order] = 0.0f;
  }
  if (withTables) {
    unsigned char* tables = reinterpret_cast<unsigned char*>(state->delayLine) + 16 * (n / 4) + 16;
    state->tapVectors = reinterpret_cast<IirVector*>(tables);
    state->lookaheadTable = reinterpret_cast<IirVector*>(tables + 16 * (n + 1));
    state->blockWork = reinterpret_cast<float*>(tables + 32 * n + 64);
    if (tag != IIR_STATE_TAG) state->secondBlockWork = state->blockWork + IIR_PIECE_LENGTH;
  }
  return state;
}

// b'[k] = b[k] inv and a'[k] = a[k] inv with inv = 1 / a0 (one single-
// precision division, then multiplications). A zero a0 (either sign) writes
// nothing and gives -10; a NaN a0 passes and makes every coefficient NaN.
inline DspStatus NormalizeCoefficients(const float* raw, IirState* state, float* inv) {
  const int32_t n = state->order;
  const float a0 = raw[n + 1];
  if (a0 == 0.0f) return DSP_STATUS_DIVIDE_BY_ZERO;
  *inv = 1.0f / a0;
  float* t = state->taps;
  t[0] = raw[0] * *inv;
  for (int32_t i = 1; i <= n; ++i) {
    t[i] = raw[i] * *inv;
    t[n + i] = raw[n + 1 + i] * *inv;
  }
  return DSP_STATUS_OK;
}

// The order a state can have: one whose byte count fits 32 bits.
inline bool OrderFits(int32_t order, CpuLevel level) { return IirStateBytes(order, IIR_STATE_TAG, level) <= INT32_MAX; }

}  // namespace iir_layout
}  // namespace
