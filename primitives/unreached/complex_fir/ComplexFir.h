// FIR kernels over complex float samples (interleaved, real part first):
// a single-rate block kernel, a polyphase (rate-changing) block kernel and a
// single-sample kernel over a doubled delay line. Processor levels 1-3 only,
// the same code at each; they check nothing and return no status.
#pragma once

#include <cstdint>

#include "primitives/unreached/Complex.h"

// Entry k of the single-rate tap table, for tap h_k = a + ib:
// p = (a, a, a, a), q = (-b, b, -b, b). The table starts on a 16-byte
// boundary.
struct alignas(16) ComplexFirTapEntry {
  float p[4];
  float q[4];
};
static_assert(sizeof(ComplexFirTapEntry) == 32);

// dst[n] = sum(j = 0..N-1) h[N-1-j] src[n+j] for n < count: the window holds
// count + N - 1 samples (the N - 1 before the block first) and is read
// exactly; dst receives count outputs. src and dst at any 4-byte boundary;
// a destination 8 bytes past a 16-byte boundary gets its first output summed
// one tap at a time, which may differ from the vector sums in the last bit.
void ComplexFirFilterBlockL1KernelSingleRate(const ComplexFirTapEntry* table, const ComplexF32* src, ComplexF32* dst,
                                             uint64_t count, int32_t tapCount);
void ComplexFirFilterBlockL2KernelSingleRate(const ComplexFirTapEntry* table, const ComplexF32* src, ComplexF32* dst,
                                             uint64_t count, int32_t tapCount);
void ComplexFirFilterBlockL3KernelSingleRate(const ComplexFirTapEntry* table, const ComplexF32* src, ComplexF32* dst,
                                             uint64_t count, int32_t tapCount);

// The polyphase kernel. `table` (16-byte aligned) holds two halves of 4u rows
// of L slots of two floats: row r of the first half at slot r L carries
// (h_re, -h_im) per coefficient, row r of the second half at slot (4u + r) L
// carries (h_im, h_re); b coefficients a row, L = b rounded up to even, a
// spare slot of zeros when b is odd. `offsets` holds byte offsets
// (multiples of 8): for u > 1 the pairs (d0_p, d1_p), p = 0..2u-1, that move
// the window to the first and the second output of pair p, and a cycle word
// added after the last pair of every cycle; for u = 1 only d0 (to the first
// window) and d1 (the window step). Outputs come in pairs (an odd count
// leaves its last output unwritten); each call starts a cycle at pair 0.
// Returns the history position (in samples from `history`) to pass as
// `start` to the next call; count 0 returns start.
int32_t ComplexFirFilterBlockL1KernelMultirate(const float* table, const ComplexF32* history, ComplexF32* dst,
                                               uint64_t count, const int32_t* offsets, int32_t up, int32_t start,
                                               int32_t tapsPerPhase, int32_t rowLen);
int32_t ComplexFirFilterBlockL2KernelMultirate(const float* table, const ComplexF32* history, ComplexF32* dst,
                                               uint64_t count, const int32_t* offsets, int32_t up, int32_t start,
                                               int32_t tapsPerPhase, int32_t rowLen);
int32_t ComplexFirFilterBlockL3KernelMultirate(const float* table, const ComplexF32* history, ComplexF32* dst,
                                               uint64_t count, const int32_t* offsets, int32_t up, int32_t start,
                                               int32_t tapsPerPhase, int32_t rowLen);

// One sample through N taps (h_0 meets the newest sample) with a delay line
// of 2N samples whose halves stay alike and an index in [0, N) naming the
// entry for the next sample; the index moves on by one each call.
void ComplexFirFilterSampleL1Kernel(const ComplexF32* x, ComplexF32* y, const ComplexF32* taps, int32_t tapCount,
                                    ComplexF32* delayLine, int32_t* delayIndex);
void ComplexFirFilterSampleL2Kernel(const ComplexF32* x, ComplexF32* y, const ComplexF32* taps, int32_t tapCount,
                                    ComplexF32* delayLine, int32_t* delayIndex);
void ComplexFirFilterSampleL3Kernel(const ComplexF32* x, ComplexF32* y, const ComplexF32* taps, int32_t tapCount,
                                    ComplexF32* delayLine, int32_t* delayIndex);
