#include "primitives/unreached/Division.h"

#include "primitives/Dispatch.h"
#include "primitives/unreached/ElementAccess.h"

DspStatus VecDivF32L0(const float* a, const float* b, float* dst, int32_t len) {
  if (a == nullptr || b == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  bool zeroDivisor = false;
  for (int32_t i = 0; i < len; ++i) {
    const float divisor = LoadAt(a, i);
    const float dividend = LoadAt(b, i);
    if (divisor == 0.0f) {
      // The sign of a zero divisor is ignored; 0/0 and NaN/0 give the default NaN.
      const uint32_t special = dividend > 0.0f ? 0x7F800000u : (dividend < 0.0f ? 0xFF800000u : 0xFFC00000u);
      StoreAt(dst, i, FloatFromBits(special));
      zeroDivisor = true;
    } else {
      StoreAt(dst, i, dividend / divisor);
    }
  }
  return zeroDivisor ? DSP_WARN_DIVIDE_BY_ZERO : DSP_STATUS_OK;
}

DSP_DISPATCH_TABLE(VecDivF32, VecDivF32L0, VecDivF32L1, VecDivF32L2, VecDivF32L3);
DspStatus VecDivF32(const float* a, const float* b, float* dst, int32_t len) {
  return DspDispatch(VecDivF32Table, a, b, dst, len);
}
