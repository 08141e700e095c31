// The kernels of the IIR family: per-sample steps for every sample type and
// the block kernels of the filter path (float, 16-bit and complex samples),
// each built for processor levels 1, 2 and 3 with the same results.
//
// Kernels check nothing and return nothing; their preconditions are the
// caller's. Two per-sample steps (IirStepF32, IirBiquadStepF32) and the four
// float block kernels serve IirFilterInPlace; the others are the same forms
// for sample types that have no public primitive, and their callers lay out
// the states and step tables described here.
#pragma once

#include <cstdint>

#include "primitives/unreached/Complex.h"
#include "primitives/unreached/iir/IirStateLayout.h"

// ---------------------------------------------------------------------------
// Per-sample steps
//
// One sample through a state in transposed direct form II: the sample is
// converted exactly to the arithmetic type (float, double, or their complex
// pairs), y is formed, the delay line advances by one step and y is written
// back in the sample type. Expressions run left to right in the arithmetic
// precision.
//
// The state's taps and delay line hold values of the arithmetic type, with a0
// taken as 1: b0..bN then a1..aN, and d[0..N] with d[N] = 0 (arbitrary
// order); b0 b1 b2 a1 a2 and a pair (s0, s1) per section (biquads). A
// biquad step runs max(sectionCount, 1) sections; the direct complex float
// biquad and the double real biquad walk the order field (2S) instead.
//
// Integer samples take a scale factor sf: the output is y * 2^-sf, with the
// multiplier built from its exponent bits (sf in -127..126 for float
// arithmetic, -1022..1022 for double). Dual members also store the unscaled
// y to yOut. Conversions to integers round in the caller's MXCSR mode and
// saturate: from float arithmetic NaN gives the lowest value and everything
// at or beyond the top of the range the highest; from double arithmetic NaN
// gives the highest value.
//
// Step tables (16-byte aligned; double and table-path complex delay lines
// too) put every coefficient where its lane needs it:
//   T1 IirBiquadStepRecord per section            IirBiquadStepF32, IirBiquadStepS16
//   T2 IirComplexStepHeadF32, then IirVector[4] per two delay entries
//                                                 complex float arbitrary order, N >= 4
//   T3 IirComplexBiquadStepRecordF32 per section  complex float biquads, S >= 5
//   T4 IirBiquadStepRecordF64 per section         real biquads in double
//   T5 IirComplexStepEntryF64 head (b0), then one per coefficient k = 1..N
//                                                 complex arbitrary order in double
//   T6 IirComplexBiquadStepRecordF64 per section  complex biquads in double

// T1: (b0, b1, b2, unread), (-a1, -a2), two unread floats.
struct alignas(16) IirBiquadStepRecord {
  float b[4];
  float negA[2];
  float unused[2];
};
static_assert(sizeof(IirBiquadStepRecord) == 32);

// T2 head: (Re b0, Re b0), (-Im b0, Im b0). Each following block of four
// vectors serves delay entries k, k+1 from b = b[k+1], a = a[k+1] (lanes 0-1)
// and b' = b[k+2], a' = a[k+2] (lanes 2-3):
//   Q0 (Re b, Re b, Re b', Re b')     Q1 (-Im b, Im b, -Im b', Im b')
//   Q2 (-Re a, -Im a, -Re a', -Im a') Q3 (Im a, -Re a, Im a', -Re a')
// An odd N reads lanes 0-1 of its last block only.
struct alignas(16) IirComplexStepHeadF32 {
  float p0[2];
  float p1[2];
};
static_assert(sizeof(IirComplexStepHeadF32) == 16);

// T3: P0 (Re b0, Im b0), P1 (-Im b0, Re b0), then
//   Q0 (Re b1, Im b1, Re b2, Im b2)     Q1 (-Im b1, Re b1, -Im b2, Re b2)
//   Q2 (-Re a1, -Im a1, -Re a2, -Im a2) Q3 (Im a1, -Re a1, Im a2, -Re a2)
struct alignas(16) IirComplexBiquadStepRecordF32 {
  float p0[2];
  float p1[2];
  IirVector q[4];
};
static_assert(sizeof(IirComplexBiquadStepRecordF32) == 80);

// T4: (b0, b0), (b1, b2), (-a1, -a2).
struct alignas(16) IirBiquadStepRecordF64 {
  double b0[2];
  double b12[2];
  double negA[2];
};
static_assert(sizeof(IirBiquadStepRecordF64) == 48);

// T5 entry of coefficient k: (Re b, Im b), (Im b, Re b), (-Re a, -Im a),
// (-Im a, -Re a). The head holds b0's first two pairs in the first half of
// an entry (32 bytes); entries for k = 1..N follow it.
struct alignas(16) IirComplexStepEntryF64 {
  double b[2];
  double bSwapped[2];
  double negA[2];
  double negASwapped[2];
};
static_assert(sizeof(IirComplexStepEntryF64) == 64);

// T6: b0, b0 swapped, b1, b1 swapped, b2, b2 swapped, -a1, -a1 swapped, -a2,
// -a2 swapped, where c is (Re c, Im c) and c swapped (Im c, Re c).
struct alignas(16) IirComplexBiquadStepRecordF64 {
  double pair[10][2];
};
static_assert(sizeof(IirComplexBiquadStepRecordF64) == 160);

void IirStepF32L1(const float* src, float* dst, IirState* state);
void IirStepF32L2(const float* src, float* dst, IirState* state);
void IirStepF32L3(const float* src, float* dst, IirState* state);
void IirBiquadStepF32L1(const float* src, float* dst, IirState* state);
void IirBiquadStepF32L2(const float* src, float* dst, IirState* state);
void IirBiquadStepF32L3(const float* src, float* dst, IirState* state);
void IirBiquadStepS16L1(const int16_t* src, int16_t* dst, IirState* state, int32_t sf);
void IirBiquadStepS16L2(const int16_t* src, int16_t* dst, IirState* state, int32_t sf);
void IirBiquadStepS16L3(const int16_t* src, int16_t* dst, IirState* state, int32_t sf);
void IirStepS16L1(const int16_t* src, int16_t* dst, IirState* state, int32_t sf);
void IirStepS16L2(const int16_t* src, int16_t* dst, IirState* state, int32_t sf);
void IirStepS16L3(const int16_t* src, int16_t* dst, IirState* state, int32_t sf);
void IirStepS16DualL1(const int16_t* src, int16_t* dst, float* yOut, IirState* state, int32_t sf);
void IirStepS16DualL2(const int16_t* src, int16_t* dst, float* yOut, IirState* state, int32_t sf);
void IirStepS16DualL3(const int16_t* src, int16_t* dst, float* yOut, IirState* state, int32_t sf);
void IirStepComplexF32L1(const ComplexF32* src, ComplexF32* dst, IirState* state);
void IirStepComplexF32L2(const ComplexF32* src, ComplexF32* dst, IirState* state);
void IirStepComplexF32L3(const ComplexF32* src, ComplexF32* dst, IirState* state);
void IirBiquadStepComplexF32L1(const ComplexF32* src, ComplexF32* dst, IirState* state);
void IirBiquadStepComplexF32L2(const ComplexF32* src, ComplexF32* dst, IirState* state);
void IirBiquadStepComplexF32L3(const ComplexF32* src, ComplexF32* dst, IirState* state);
void IirStepComplexS16L1(const ComplexS16* src, ComplexS16* dst, IirState* state, int32_t sf);
void IirStepComplexS16L2(const ComplexS16* src, ComplexS16* dst, IirState* state, int32_t sf);
void IirStepComplexS16L3(const ComplexS16* src, ComplexS16* dst, IirState* state, int32_t sf);
void IirStepComplexS16DualL1(const ComplexS16* src, ComplexS16* dst, ComplexF32* yOut, IirState* state, int32_t sf);
void IirStepComplexS16DualL2(const ComplexS16* src, ComplexS16* dst, ComplexF32* yOut, IirState* state, int32_t sf);
void IirStepComplexS16DualL3(const ComplexS16* src, ComplexS16* dst, ComplexF32* yOut, IirState* state, int32_t sf);
void IirBiquadStepComplexS16L1(const ComplexS16* src, ComplexS16* dst, IirState* state, int32_t sf);
void IirBiquadStepComplexS16L2(const ComplexS16* src, ComplexS16* dst, IirState* state, int32_t sf);
void IirBiquadStepComplexS16L3(const ComplexS16* src, ComplexS16* dst, IirState* state, int32_t sf);
void IirBiquadStepF64L1(const double* src, double* dst, IirState* state);
void IirBiquadStepF64L2(const double* src, double* dst, IirState* state);
void IirBiquadStepF64L3(const double* src, double* dst, IirState* state);
void IirBiquadStepS16F64L1(const int16_t* src, int16_t* dst, IirState* state, int32_t sf);
void IirBiquadStepS16F64L2(const int16_t* src, int16_t* dst, IirState* state, int32_t sf);
void IirBiquadStepS16F64L3(const int16_t* src, int16_t* dst, IirState* state, int32_t sf);
void IirBiquadStepS32F64L1(const int32_t* src, int32_t* dst, IirState* state, int32_t sf);
void IirBiquadStepS32F64L2(const int32_t* src, int32_t* dst, IirState* state, int32_t sf);
void IirBiquadStepS32F64L3(const int32_t* src, int32_t* dst, IirState* state, int32_t sf);
void IirBiquadStepF32F64L1(const float* src, float* dst, IirState* state);
void IirBiquadStepF32F64L2(const float* src, float* dst, IirState* state);
void IirBiquadStepF32F64L3(const float* src, float* dst, IirState* state);
void IirStepF64L1(const double* src, double* dst, IirState* state);
void IirStepF64L2(const double* src, double* dst, IirState* state);
void IirStepF64L3(const double* src, double* dst, IirState* state);
void IirStepS32F64L1(const int32_t* src, int32_t* dst, IirState* state, int32_t sf);
void IirStepS32F64L2(const int32_t* src, int32_t* dst, IirState* state, int32_t sf);
void IirStepS32F64L3(const int32_t* src, int32_t* dst, IirState* state, int32_t sf);
void IirStepS32F64DualL1(const int32_t* src, int32_t* dst, double* yOut, IirState* state, int32_t sf);
void IirStepS32F64DualL2(const int32_t* src, int32_t* dst, double* yOut, IirState* state, int32_t sf);
void IirStepS32F64DualL3(const int32_t* src, int32_t* dst, double* yOut, IirState* state, int32_t sf);
void IirStepS16F64L1(const int16_t* src, int16_t* dst, IirState* state, int32_t sf);
void IirStepS16F64L2(const int16_t* src, int16_t* dst, IirState* state, int32_t sf);
void IirStepS16F64L3(const int16_t* src, int16_t* dst, IirState* state, int32_t sf);
void IirStepS16F64DualL1(const int16_t* src, int16_t* dst, double* yOut, IirState* state, int32_t sf);
void IirStepS16F64DualL2(const int16_t* src, int16_t* dst, double* yOut, IirState* state, int32_t sf);
void IirStepS16F64DualL3(const int16_t* src, int16_t* dst, double* yOut, IirState* state, int32_t sf);
void IirStepF32F64L1(const float* src, float* dst, IirState* state);
void IirStepF32F64L2(const float* src, float* dst, IirState* state);
void IirStepF32F64L3(const float* src, float* dst, IirState* state);
void IirStepF32F64DualL1(const float* src, float* dst, double* yOut, IirState* state);
void IirStepF32F64DualL2(const float* src, float* dst, double* yOut, IirState* state);
void IirStepF32F64DualL3(const float* src, float* dst, double* yOut, IirState* state);
void IirStepComplexF64L1(const ComplexF64* src, ComplexF64* dst, IirState* state);
void IirStepComplexF64L2(const ComplexF64* src, ComplexF64* dst, IirState* state);
void IirStepComplexF64L3(const ComplexF64* src, ComplexF64* dst, IirState* state);
void IirBiquadStepComplexF64L1(const ComplexF64* src, ComplexF64* dst, IirState* state);
void IirBiquadStepComplexF64L2(const ComplexF64* src, ComplexF64* dst, IirState* state);
void IirBiquadStepComplexF64L3(const ComplexF64* src, ComplexF64* dst, IirState* state);
void IirStepComplexS32F64L1(const ComplexS32* src, ComplexS32* dst, IirState* state, int32_t sf);
void IirStepComplexS32F64L2(const ComplexS32* src, ComplexS32* dst, IirState* state, int32_t sf);
void IirStepComplexS32F64L3(const ComplexS32* src, ComplexS32* dst, IirState* state, int32_t sf);
void IirStepComplexS32F64DualL1(const ComplexS32* src, ComplexS32* dst, ComplexF64* yOut, IirState* state, int32_t sf);
void IirStepComplexS32F64DualL2(const ComplexS32* src, ComplexS32* dst, ComplexF64* yOut, IirState* state, int32_t sf);
void IirStepComplexS32F64DualL3(const ComplexS32* src, ComplexS32* dst, ComplexF64* yOut, IirState* state, int32_t sf);
void IirBiquadStepComplexS32F64L1(const ComplexS32* src, ComplexS32* dst, IirState* state, int32_t sf);
void IirBiquadStepComplexS32F64L2(const ComplexS32* src, ComplexS32* dst, IirState* state, int32_t sf);
void IirBiquadStepComplexS32F64L3(const ComplexS32* src, ComplexS32* dst, IirState* state, int32_t sf);
void IirStepComplexS16F64L1(const ComplexS16* src, ComplexS16* dst, IirState* state, int32_t sf);
void IirStepComplexS16F64L2(const ComplexS16* src, ComplexS16* dst, IirState* state, int32_t sf);
void IirStepComplexS16F64L3(const ComplexS16* src, ComplexS16* dst, IirState* state, int32_t sf);
void IirStepComplexS16F64DualL1(const ComplexS16* src, ComplexS16* dst, ComplexF64* yOut, IirState* state, int32_t sf);
void IirStepComplexS16F64DualL2(const ComplexS16* src, ComplexS16* dst, ComplexF64* yOut, IirState* state, int32_t sf);
void IirStepComplexS16F64DualL3(const ComplexS16* src, ComplexS16* dst, ComplexF64* yOut, IirState* state, int32_t sf);
void IirBiquadStepComplexS16F64L1(const ComplexS16* src, ComplexS16* dst, IirState* state, int32_t sf);
void IirBiquadStepComplexS16F64L2(const ComplexS16* src, ComplexS16* dst, IirState* state, int32_t sf);
void IirBiquadStepComplexS16F64L3(const ComplexS16* src, ComplexS16* dst, IirState* state, int32_t sf);
void IirStepComplexF32F64L1(const ComplexF32* src, ComplexF32* dst, IirState* state);
void IirStepComplexF32F64L2(const ComplexF32* src, ComplexF32* dst, IirState* state);
void IirStepComplexF32F64L3(const ComplexF32* src, ComplexF32* dst, IirState* state);
void IirStepComplexF32F64DualL1(const ComplexF32* src, ComplexF32* dst, ComplexF64* yOut, IirState* state);
void IirStepComplexF32F64DualL2(const ComplexF32* src, ComplexF32* dst, ComplexF64* yOut, IirState* state);
void IirStepComplexF32F64DualL3(const ComplexF32* src, ComplexF32* dst, ComplexF64* yOut, IirState* state);
void IirBiquadStepComplexF32F64L1(const ComplexF32* src, ComplexF32* dst, IirState* state);
void IirBiquadStepComplexF32F64L2(const ComplexF32* src, ComplexF32* dst, IirState* state);
void IirBiquadStepComplexF32F64L3(const ComplexF32* src, ComplexF32* dst, IirState* state);

// ---------------------------------------------------------------------------
// Block kernels
//
// An order-N filter over a piece splits into a feed-forward stage
// w[j] = sum(k = 0..N) b[k] src[j + N - k], whose source starts N samples
// before the first output it feeds, and a recursion
// y[N + j] = w[j] + sum(k = 1..N) c[k] y[N + j - k], c[k] = -a[k], whose
// history array starts with the N outputs before the block. The recursion
// forms four outputs at a time from the lookahead table; its results agree
// with the plain recursion within rounding. Tables and the w buffer are
// 16-byte aligned; sample and history pointers need 4-byte alignment at most.
// count >= 0 (0 writes nothing); feed-forward orders >= 0, recursion >= 1.
// The biquad members are the order-2 forms with a section's three tap
// vectors and five lookahead vectors, bit for bit.

void IirFeedForwardBlockF32L1(const float* src, float* work, int64_t count, const IirVector* taps, int32_t order);
void IirFeedForwardBlockF32L2(const float* src, float* work, int64_t count, const IirVector* taps, int32_t order);
void IirFeedForwardBlockF32L3(const float* src, float* work, int64_t count, const IirVector* taps, int32_t order);
void IirRecursionBlockF32L1(const float* work, float* y, int64_t count, const IirVector* table, int32_t order);
void IirRecursionBlockF32L2(const float* work, float* y, int64_t count, const IirVector* table, int32_t order);
void IirRecursionBlockF32L3(const float* work, float* y, int64_t count, const IirVector* table, int32_t order);
void IirBiquadFeedForwardF32L1(const float* src, float* work, int64_t count, const IirVector* taps);
void IirBiquadFeedForwardF32L2(const float* src, float* work, int64_t count, const IirVector* taps);
void IirBiquadFeedForwardF32L3(const float* src, float* work, int64_t count, const IirVector* taps);
void IirBiquadRecursionF32L1(const float* work, float* y, int64_t count, const IirVector* table);
void IirBiquadRecursionF32L2(const float* work, float* y, int64_t count, const IirVector* table);
void IirBiquadRecursionF32L3(const float* work, float* y, int64_t count, const IirVector* table);

// 16-bit samples: the feed-forward converts each sample exactly; the
// recursion keeps its outputs as floats in history[N..] and stores
// sat16(round(y * 2^-sf)) at dst[N..] (dst starts where history does, and
// dst[0..N-1] are not written). The biquad recursion writes to history only
// the last group of four outputs and every output after it, so that
// history[count], history[count + 1] hold the last two outputs.
void IirFeedForwardBlockS16L1(const int16_t* src, float* dst, int64_t count, const IirVector* taps, int32_t order);
void IirFeedForwardBlockS16L2(const int16_t* src, float* dst, int64_t count, const IirVector* taps, int32_t order);
void IirFeedForwardBlockS16L3(const int16_t* src, float* dst, int64_t count, const IirVector* taps, int32_t order);
void IirRecursionBlockS16L1(const float* w, float* history, int64_t count, const IirVector* table, int32_t order,
                            int16_t* dst, int32_t sf);
void IirRecursionBlockS16L2(const float* w, float* history, int64_t count, const IirVector* table, int32_t order,
                            int16_t* dst, int32_t sf);
void IirRecursionBlockS16L3(const float* w, float* history, int64_t count, const IirVector* table, int32_t order,
                            int16_t* dst, int32_t sf);
void IirBiquadFeedForwardS16L1(const int16_t* src, float* dst, int64_t count, const IirVector* taps);
void IirBiquadFeedForwardS16L2(const int16_t* src, float* dst, int64_t count, const IirVector* taps);
void IirBiquadFeedForwardS16L3(const int16_t* src, float* dst, int64_t count, const IirVector* taps);
void IirBiquadRecursionS16L1(const float* w, float* history, int64_t count, const IirVector* table, int16_t* dst,
                             int32_t sf);
void IirBiquadRecursionS16L2(const float* w, float* history, int64_t count, const IirVector* table, int16_t* dst,
                             int32_t sf);
void IirBiquadRecursionS16L3(const float* w, float* history, int64_t count, const IirVector* table, int16_t* dst,
                             int32_t sf);

// Complex samples with complex coefficients. Tap entry k: A = (Re bk) x 4,
// B = (-Im bk, Im bk, -Im bk, Im bk). Lookahead entry k-1 (k = 1..N) holds
// the weights gk(0..3) of y[n-k] in y[n..n+3], entry N the weights
// (1, h1, h2, h3) of w[n]; weights (u0, u1, u2, u3) are stored as
//   V0 (Re u0, Im u0, Re u1, Im u1)  V1 (-Im u0, Re u0, -Im u1, Re u1)
//   V2 (Re u2, Im u2, Re u3, Im u3)  V3 (-Im u2, Re u2, -Im u3, Re u3).
// The complex 16-bit recursion writes every output to history from order 3
// on; at orders 1 and 2 only the last two outputs of the last group of four
// and every output after it.
struct alignas(16) IirComplexTapEntry {
  IirVector a;
  IirVector b;
};
struct alignas(16) IirComplexLookaheadEntry {
  IirVector v[4];
};
static_assert(sizeof(IirComplexTapEntry) == 32 && sizeof(IirComplexLookaheadEntry) == 64);

void IirFeedForwardBlockComplexF32L1(const ComplexF32* src, ComplexF32* dst, int64_t count,
                                     const IirComplexTapEntry* taps, int32_t order);
void IirFeedForwardBlockComplexF32L2(const ComplexF32* src, ComplexF32* dst, int64_t count,
                                     const IirComplexTapEntry* taps, int32_t order);
void IirFeedForwardBlockComplexF32L3(const ComplexF32* src, ComplexF32* dst, int64_t count,
                                     const IirComplexTapEntry* taps, int32_t order);
void IirRecursionBlockComplexF32L1(const ComplexF32* w, ComplexF32* history, int64_t count,
                                   const IirComplexLookaheadEntry* table, int32_t order);
void IirRecursionBlockComplexF32L2(const ComplexF32* w, ComplexF32* history, int64_t count,
                                   const IirComplexLookaheadEntry* table, int32_t order);
void IirRecursionBlockComplexF32L3(const ComplexF32* w, ComplexF32* history, int64_t count,
                                   const IirComplexLookaheadEntry* table, int32_t order);
void IirFeedForwardBlockComplexS16L1(const ComplexS16* src, ComplexF32* dst, int64_t count,
                                     const IirComplexTapEntry* taps, int32_t order);
void IirFeedForwardBlockComplexS16L2(const ComplexS16* src, ComplexF32* dst, int64_t count,
                                     const IirComplexTapEntry* taps, int32_t order);
void IirFeedForwardBlockComplexS16L3(const ComplexS16* src, ComplexF32* dst, int64_t count,
                                     const IirComplexTapEntry* taps, int32_t order);
void IirRecursionBlockComplexS16L1(const ComplexF32* w, ComplexF32* history, int64_t count,
                                   const IirComplexLookaheadEntry* table, int32_t order, ComplexS16* dst, int32_t sf);
void IirRecursionBlockComplexS16L2(const ComplexF32* w, ComplexF32* history, int64_t count,
                                   const IirComplexLookaheadEntry* table, int32_t order, ComplexS16* dst, int32_t sf);
void IirRecursionBlockComplexS16L3(const ComplexF32* w, ComplexF32* history, int64_t count,
                                   const IirComplexLookaheadEntry* table, int32_t order, ComplexS16* dst, int32_t sf);
