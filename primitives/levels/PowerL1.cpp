// Level 1 of the element-wise power.
#include "primitives/levels/PowerKernels.h"

DspStatus VecPowF32L1(const float* a, const float* b, float* dst, int32_t len) {
  return power_level::PowF32(a, b, dst, len);
}
