#include "primitives/unreached/Logarithm.h"

#include <cmath>

#include "primitives/Dispatch.h"
#include "primitives/unreached/ElementAccess.h"

DspStatus VecLnF32InPlaceL0(float* srcDst, int32_t len) {
  if (srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  int64_t event = LN_EVENT_NONE;
  for (int64_t i = 0; i < len; ++i) {
    const uint32_t bits = BitsOf(LoadAt(srcDst, i));
    float result;
    if ((bits >> 31) != 0) {
      result = FloatFromBits(0xFFC00000u);
      if (event == LN_EVENT_NONE) event = LN_EVENT_NEGATIVE;
    } else if ((bits & 0x7FC00000u) == 0x7FC00000u) {
      result = FloatFromBits(0xFFC00000u);
    } else if (bits == 0) {
      result = FloatFromBits(0xFF800000u);
      if (event == LN_EVENT_NONE) event = LN_EVENT_ZERO;
    } else {
      result = std::log(FloatFromBits(bits));
    }
    StoreAt(srcDst, i, result);
  }
  if (event == LN_EVENT_NONE) return DSP_STATUS_OK;
  return event == LN_EVENT_ZERO ? DSP_WARN_LOG_ZERO : DSP_WARN_LOG_NEGATIVE;
}

DSP_DISPATCH_TABLE(VecLnF32InPlace, VecLnF32InPlaceL0, VecLnF32InPlaceL1, VecLnF32InPlaceL2, VecLnF32InPlaceL3);
DspStatus VecLnF32InPlace(float* srcDst, int32_t len) { return DspDispatch(VecLnF32InPlaceTable, srcDst, len); }
