// Element types of the complex kernels: interleaved pairs, real part first,
// with no padding, so that a vector of n elements is 2n scalars in memory.
#pragma once

#include <cstdint>

struct ComplexF32 {
  float re;
  float im;
};

struct ComplexF64 {
  double re;
  double im;
};

struct ComplexS16 {
  int16_t re;
  int16_t im;
};

struct ComplexS32 {
  int32_t re;
  int32_t im;
};

struct ComplexS64 {
  int64_t re;
  int64_t im;
};

static_assert(sizeof(ComplexF32) == 8 && sizeof(ComplexF64) == 16 && sizeof(ComplexS16) == 4 &&
              sizeof(ComplexS32) == 8 && sizeof(ComplexS64) == 16);
