// In-place natural exponential of a float vector.
//
// The baseline evaluates groups of four regular elements with a [3/3] Pade
// approximant in double precision, one division per group, and sends the
// first one to three regular elements and vectors shorter than four through
// the platform's double exponential; zero and subnormal elements give exactly
// 1.0. The level builds work four lanes at a time in single precision with a
// refined reciprocal estimate and saturate to +Inf from 87.1 on. No warning
// exists: overflow, underflow and NaN show only in the element values.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"

DspStatus VecExpF32InPlace(float* srcDst, int32_t len);
DspStatus VecExpF32InPlaceL0(float* srcDst, int32_t len);
DspStatus VecExpF32InPlaceL1(float* srcDst, int32_t len);
DspStatus VecExpF32InPlaceL2(float* srcDst, int32_t len);
DspStatus VecExpF32InPlaceL3(float* srcDst, int32_t len);

// Reads each group of four before writing it: src == dst is allowed. Clears
// the IEEE exception flags of MXCSR at the end when any is set.
void VecExpF32Kernel(const float* src, float* dst, int64_t n);
