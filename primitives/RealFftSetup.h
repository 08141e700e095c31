// The real FFT's setup record, its kinds and flags, and the constants every
// build of the transform reads: the baseline (primitives/RealFft.h) and the
// level builds (primitives/levels/FftLevels.h) fill the same header and start
// from the same sine table and swap list. They sit beneath both, so a level
// build needs nothing from the family whose source dispatches to it.
#pragma once

#include <cstdint>

inline constexpr int32_t REAL_FFT_SPEC_ID = 6;
// The complex transform's setup shares the header below.
inline constexpr int32_t COMPLEX_FFT_SPEC_ID = 4;

// RealFftScaleFlag: exactly one of these.
inline constexpr int32_t FFT_SCALE_FORWARD = 1;    // forward x 1/N
inline constexpr int32_t FFT_SCALE_INVERSE = 2;    // inverse x 1/N
inline constexpr int32_t FFT_SCALE_SQRT_BOTH = 4;  // both x 1/sqrt(N)
inline constexpr int32_t FFT_SCALE_NONE = 8;

inline constexpr int32_t REAL_FFT_MAX_ORDER = 30;
// Recursion depths of the four-step decomposition.
inline constexpr int32_t FFT_FOUR_STEP_DEPTHS = 3;

// The setup record, at the first 32-byte boundary of its memory: a
// 136-byte header followed by the tables. The processor-level builds fill the
// same header with tables of their own layout: they use fourStepTwiddles for
// their per-depth pass tables and leave wholePassTwiddles and
// fourStepColumnTwiddles empty.
struct RealFftSpec {
  int32_t kind;           // REAL_FFT_SPEC_ID while valid; 0 when destroyed or rejected
  int32_t order;          // log2 N
  int32_t forwardScaled;  // 1: the forward transform multiplies by scaleFactor
  int32_t inverseScaled;  // 1: the inverse transform multiplies by scaleFactor
  float scaleFactor;      // 1/N, or 1/sqrt(N) for FFT_SCALE_SQRT_BOTH
  int32_t hint;           // stored, never read
  int32_t workBytes;      // work buffer a transform needs (0: none)
  int32_t allocated;      // 1 when RealFftCreate allocated the record
  int32_t* bitReverseTable;  // swap list of the M-point bit reversal, right after the header
  float* blockTwiddles;      // radix-4 twiddles of the in-cache butterfly block
  float* passTwiddles;       // twiddles of the radix-2 passes above the block
  float* wholePassTwiddles;  // reserved for a pass over the whole array; not set here
  float* recombineForward;   // (0.5 cos t, 0.5 - 0.5 sin t), t = 2 pi k / N
  float* recombineInverse;   // (cos t, -sin t)
  float* fourStepColumnTwiddles[FFT_FOUR_STEP_DEPTHS];  // butterfly twiddles of each depth's columns
  float* fourStepTwiddles[FFT_FOUR_STEP_DEPTHS];        // each depth's twiddle table between rows and columns
  void* reserved;
};
static_assert(sizeof(RealFftSpec) == 136, "the setup header is 136 bytes");

// sin(2 pi k / 1024), k = 0..256, correctly rounded; entry 256 is 1.0.
extern const float QuarterSineTable1024[257];

// The swap list of the bit reversal of 2^order complex points (none below
// order 2), written from `list`; returns the next 32-byte boundary after it.
// The baseline and level 1 both build their lists with this one.
int32_t* BuildBitReverseSwapList(int32_t order, int32_t* list);

// Sizes of a complex core (64-bit), as each build lays its tables out.
struct FftCoreSizes {
  int64_t specBytes;
  int64_t initBytes;
  int64_t workBytes;
};
