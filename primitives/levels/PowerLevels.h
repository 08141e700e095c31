// Processor-level builds (levels 1, 2, 3) of the element-wise power
// dst[i] = a[i]^b[i]: the contract of the baseline build (primitives/Power.h).
//
// The three levels run the same code. The fast path is the baseline's,
// operation for operation, on vectors (the logarithm in double precision two
// elements at a time, the exponential in single precision four at a time);
// what differs is the block: eight elements, so an element that needs the
// per-element routine (VecPowF32SpecialCase, shared with the baseline) sends
// its whole block of eight there, where the baseline sends a block of four.
// Elements of such a block may differ from the fast path in the last bit.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"

DspStatus VecPowF32L1(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecPowF32L2(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecPowF32L3(const float* a, const float* b, float* dst, int32_t len);
