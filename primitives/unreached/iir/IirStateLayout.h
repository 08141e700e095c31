// How an IIR state is laid out in the caller's buffer and how the raw
// coefficients become its taps: the part every level shares. The baseline
// (Iir.cpp) and each level file include it; it lives in an unnamed namespace
// so that each keeps its own copy under its own instruction set.
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
#include "primitives/unreached/iir/Iir.h"

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
