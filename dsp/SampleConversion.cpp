#include "dsp/SampleConversion.h"

#include <cstring>

#include "primitives/Convert.h"
#include "primitives/Vector.h"

void DspSamplesToFloat(const WAVEFORMATEXTENSIBLE& format, const uint8_t* src, float* dst, uint32_t samples) {
  const int32_t n = static_cast<int32_t>(samples);
  if (EffectiveFormatTag(format) == WAVE_FORMAT_IEEE_FLOAT) {
    memcpy(dst, src, sizeof(float) * samples);
    return;
  }
  switch (format.Format.wBitsPerSample) {
    case 16:
      ConvS16ToF32Scaled(reinterpret_cast<const int16_t*>(src), dst, n, 15);
      break;
    case 24:
      ConvS24ToF32(src, dst, n);
      VecDivConstF32InPlace(8388608.0f, dst, n);
      break;
    case 32:
      ConvS32ToF32Scaled(reinterpret_cast<const int32_t*>(src), dst, n, 31);
      break;
  }
}

void DspFloatToSamples(const WAVEFORMATEXTENSIBLE& format, const float* src, uint8_t* dst, uint32_t samples) {
  const int32_t n = static_cast<int32_t>(samples);
  if (EffectiveFormatTag(format) == WAVE_FORMAT_IEEE_FLOAT) {
    memcpy(dst, src, sizeof(float) * samples);
    return;
  }
  switch (format.Format.wBitsPerSample) {
    case 16:
      ConvF32ToS16Scaled(src, reinterpret_cast<int16_t*>(dst), n, ROUND_TOWARD_ZERO, -15);
      break;
    case 24:
      ConvF32ToS24Scaled(src, dst, n, -23);
      break;
    case 32:
      ConvF32ToS32Scaled(src, reinterpret_cast<int32_t*>(dst), n, ROUND_TOWARD_ZERO, -31);
      break;
  }
}
