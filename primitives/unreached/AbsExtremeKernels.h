// Absolute-value, maximum and minimum kernels for element kinds beside float:
// members of the kernel sets whose float members serve VecAbsF32InPlace,
// VecMaxF32 and VecMinF32 at processor levels 1 to 3. They check nothing.
#pragma once

#include <cstdint>

// dst[i] = src[i] with the sign bit cleared (NaN payloads kept); src == dst
// allowed.
void VecAbsF64Kernel(const double* src, double* dst, int32_t len);
// |x| with the most negative value giving the largest positive one. The
// level-1 forms use SSE2 only, the level-2/3 forms the SSSE3 absolute value;
// both give the same result for every element.
void VecAbsS16L1Kernel(const int16_t* src, int16_t* dst, int32_t len);
void VecAbsS16L2L3Kernel(const int16_t* src, int16_t* dst, int32_t len);
void VecAbsS32L1Kernel(const int32_t* src, int32_t* dst, int32_t len);
void VecAbsS32L2L3Kernel(const int32_t* src, int32_t* dst, int32_t len);

// The extreme of a double vector by the running rule step(run, new) = run if
// run > new (run < new for the minimum), else new, over two lanes in a fixed
// order that decides the result when NaNs or signed zeros are present: a
// source 8 modulo 16 consumes src[0] first, and the lanes are folded at the
// end with lane 1 winning only when strictly better.
void VecMaxF64Kernel(const double* src, int64_t len, double* result);
void VecMinF64Kernel(const double* src, int64_t len, double* result);
void VecMaxS16Kernel(const int16_t* src, int64_t len, int16_t* result);
void VecMinS16Kernel(const int16_t* src, int64_t len, int16_t* result);
