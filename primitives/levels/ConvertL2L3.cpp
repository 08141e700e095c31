// The scaled 32-bit integer to float conversion that levels 2 and 3 share
// (level 1 runs the baseline build, which takes the same steps).
#include "primitives/levels/ConvertKernels.h"
#include "primitives/levels/ConvertLevels.h"

DspStatus ConvS32ToF32ScaledL2L3(const int32_t* src, float* dst, int32_t len, int32_t scaleExp) {
  return convert_level::S32ToF32Scaled(src, dst, len, scaleExp);
}
