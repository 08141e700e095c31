// Level 1 of the sample-format conversions and the interleave pair.
#include "primitives/levels/ConvertKernels.h"

namespace cl = convert_level;

DspStatus ConvS16ToF32ScaledL1(const int16_t* src, float* dst, int32_t len, int32_t scaleExp) {
  return cl::S16ToF32Scaled<1>(src, dst, len, scaleExp);
}
DspStatus ConvS24ToF32L1(const uint8_t* srcBytes, float* dst, int32_t len) {
  return cl::S24ToF32Entry<1>(srcBytes, dst, len);
}
DspStatus ConvF32ToS24ScaledL1(const float* src, uint8_t* dstBytes, int32_t len, int32_t scaleExp) {
  return cl::F32ToS24Scaled<1>(src, dstBytes, len, scaleExp);
}
DspStatus ConvS32ToF32L1(const int32_t* src, float* dst, int32_t len) { return cl::S32ToF32Entry<1>(src, dst, len); }
DspStatus VecInterleaveF32L1(const float* const* channelPtrs, int32_t channels, int32_t len, float* dst) {
  return cl::Interleave<1>(channelPtrs, channels, len, dst);
}
DspStatus VecDeinterleaveF32L1(const float* src, int32_t channels, int32_t len, float* const* channelPtrs) {
  return cl::Deinterleave<1>(src, channels, len, channelPtrs);
}
DspStatus ConvF32ToS16ScaledL1(const float* src, int16_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp) {
  return cl::F32ToIntScaled<1>(src, dst, len, roundMode, scaleExp);
}
DspStatus ConvF32ToS32ScaledL1(const float* src, int32_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp) {
  return cl::F32ToIntScaled<1>(src, dst, len, roundMode, scaleExp);
}
