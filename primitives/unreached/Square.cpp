#include "primitives/unreached/Square.h"

#include "primitives/Dispatch.h"
#include "primitives/unreached/ElementAccess.h"

DspStatus VecSqrF32L0(const float* src, float* dst, int32_t len) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  // Each element is read before its own result is stored, so src == dst works.
  for (int64_t i = 0; i < len; ++i) {
    const float x = LoadAt(src, i);
    StoreAt(dst, i, x * x);
  }
  return DSP_STATUS_OK;
}

DSP_DISPATCH_TABLE(VecSqrF32, VecSqrF32L0, VecSqrF32L1, VecSqrF32L2, VecSqrF32L3);
DspStatus VecSqrF32(const float* src, float* dst, int32_t len) { return DspDispatch(VecSqrF32Table, src, dst, len); }
