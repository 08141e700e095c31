// Level 3 of the sample-format conversions and the interleave pair.
#include "primitives/levels/ConvertKernels.h"

namespace cl = convert_level;

DspStatus ConvS16ToF32ScaledL3(const int16_t* src, float* dst, int32_t len, int32_t scaleExp) {
  return cl::S16ToF32Scaled<3>(src, dst, len, scaleExp);
}
DspStatus ConvS24ToF32L3(const uint8_t* srcBytes, float* dst, int32_t len) {
  return cl::S24ToF32Entry<3>(srcBytes, dst, len);
}
DspStatus ConvF32ToS24ScaledL3(const float* src, uint8_t* dstBytes, int32_t len, int32_t scaleExp) {
  return cl::F32ToS24Scaled<3>(src, dstBytes, len, scaleExp);
}
DspStatus ConvS32ToF32L3(const int32_t* src, float* dst, int32_t len) { return cl::S32ToF32Entry<3>(src, dst, len); }
DspStatus VecInterleaveF32L3(const float* const* channelPtrs, int32_t channels, int32_t len, float* dst) {
  return cl::Interleave<3>(channelPtrs, channels, len, dst);
}
DspStatus VecDeinterleaveF32L3(const float* src, int32_t channels, int32_t len, float* const* channelPtrs) {
  return cl::Deinterleave<3>(src, channels, len, channelPtrs);
}
DspStatus ConvF32ToS16ScaledL3(const float* src, int16_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp) {
  return cl::F32ToIntScaled<3>(src, dst, len, roundMode, scaleExp);
}
DspStatus ConvF32ToS32ScaledL3(const float* src, int32_t* dst, int32_t len, RoundMode roundMode, int32_t scaleExp) {
  return cl::F32ToIntScaled<3>(src, dst, len, roundMode, scaleExp);
}
