// The power routine's per-element path and its constants. The baseline
// (primitives/Power.h) and the level builds (primitives/levels/PowerLevels.h)
// send the elements their fast path does not take here and read the same
// tables, so these sit beneath both: a level build needs nothing from the
// family whose source dispatches to it.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"

// Computes element index for any inputs; a domain case stores
// DSP_WARN_DOMAIN in *status and raises the invalid-operation flag.
void VecPowF32SpecialCase(const float* a, const float* b, float* dst, int32_t index, int32_t* status);

// Raises the floating-point exception of a code by evaluating one double
// operation: 19 invalid (0/0), 18 divide by zero (1/0), 12 overflow, 17
// underflow; other codes do nothing.
void RaiseFpException(int32_t code);

// The constants of the power routine, in the order every level's copy keeps
// them. Scalars that the vector forms use as bit masks are kept as bits.
struct VecPowF32TableSet {
  double roundingConstant;  // 2^44: rounds a mantissa in [1, 2) to a multiple of 1/256
  double logPairs[257][2];  // ln(1 + k/256), 256/(256 + k)
  double c3;                // ln(1 + u) ~ u + u^2 (c2 + c3 u)
  double c2;
  double ln2;
  double log2eTimes128;  // 128 / ln 2
  double shifter;        // 1.5 * 2^52: adding it rounds to an integer
  double ln2Over128;
  uint64_t expFractions[128];  // fraction field of 2^(j/128), exponent and sign zero
  double e2;                   // 0.5
  double e3;                   // 1/6
  uint32_t infinityBits;       // +infinity as float
  double e23;                  // e^23: lifts a denormal base into the normal range
  uint32_t defaultNaNBits;
  float oneHalf;
  uint32_t exponentMask;
  float one;
  double exponentLimit;  // 87.333740234375: |t| up to here keeps 2^q a normal float
  uint64_t doubleMagnitudeMask;
  uint32_t largestFloatBits;
  int32_t intOne;
  uint32_t floatMagnitudeMask;
  uint32_t normalRangeBound;
  double shifterAgain;
  uint64_t stickyBits;  // bits 32..41: ties of the 1/256 rounding go up
  uint32_t normalRangeOffset;
  int64_t exponentBias;
  double doubleOne;
  uint64_t fractionMask;
  uint32_t expPairs[128][2];  // float bits of hi_j = 2^(j/128) toward zero, lo_j = (2^(j/128) - hi_j) / hi_j
};

extern const VecPowF32TableSet VecPowF32Tables;
