// Element-wise power dst[i] = a[i]^b[i] with IEEE special values handled per
// element, and a warning when an element falls outside the domain.
//
// The common element (positive normal base, |b ln a| below about 87.33) takes
// a table-driven logarithm in double precision and an exponential finished in
// single precision, four elements at a time; any other element, and the
// whole group it stands in, goes through VecPowF32SpecialCase, which computes
// in double precision and rounds once. The routine runs with round-to-nearest
// and without flush-to-zero or denormals-are-zero, whatever the caller's
// MXCSR, and puts the caller's MXCSR back.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/PowerElement.h"

// Checks: dst, b or a null -8; len <= 0 -6. Returns 0, or DSP_WARN_DOMAIN when
// at least one element was a domain case (every element is written).
DspStatus VecPowF32(const float* a, const float* b, float* dst, int32_t len);
DspStatus VecPowF32L0(const float* a, const float* b, float* dst, int32_t len);
