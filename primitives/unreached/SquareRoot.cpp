#include "primitives/unreached/SquareRoot.h"

#include <cmath>
#include <cstring>

#include "primitives/Dispatch.h"

namespace {

constexpr uint32_t kDefaultNaNBits = 0xFFC00000u;

}  // namespace

DspStatus VecSqrtF32InPlaceL0(float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  bool negative = false;
  for (int32_t i = 0; i < len; ++i) {
    const float x = srcDst[i];
    if (x > 0.0f) {
      // The double root of a float rounds to the correctly rounded float root.
      srcDst[i] = static_cast<float>(std::sqrt(static_cast<double>(x)));
    } else if (x < 0.0f) {
      std::memcpy(&srcDst[i], &kDefaultNaNBits, sizeof(float));
      negative = true;
    }
    // +-0 and NaN stay as they are, bit for bit.
  }
  return negative ? DSP_WARN_SQRT_NEGATIVE : DSP_STATUS_OK;
}

DSP_DISPATCH_TABLE(VecSqrtF32InPlace, VecSqrtF32InPlaceL0, VecSqrtF32InPlaceL1, VecSqrtF32InPlaceL2,
                   VecSqrtF32InPlaceL3);
DspStatus VecSqrtF32InPlace(float* srcDst, int32_t len) { return DspDispatch(VecSqrtF32InPlaceTable, srcDst, len); }
