// Interleaved samples of a device format to floats of full scale 1.0 and
// back, shared by the conversion chain and the stream engines' processing
// path. Integer PCM becomes float by x 2^-15 and x 2^-31 (16 and 32 bits) or
// by division by 2^23 (24 bits); the way back truncates 16- and 32-bit
// samples toward zero and rounds 24-bit ones to nearest even, saturating
// all three. A 32-bit float format is copied as it stands.
#pragma once

#include <cstdint>

#include "dsp/DspFormat.h"

// `samples` counts single samples (frames x channels). A PCM depth other
// than 16, 24 or 32 bits converts nothing.
void DspSamplesToFloat(const WAVEFORMATEXTENSIBLE& format, const uint8_t* src, float* dst, uint32_t samples);
void DspFloatToSamples(const WAVEFORMATEXTENSIBLE& format, const float* src, uint8_t* dst, uint32_t samples);

// Integer PCM of a depth the two conversions handle.
inline bool DspIsConvertiblePcm(const WAVEFORMATEXTENSIBLE& format) {
  const WORD bits = format.Format.wBitsPerSample;
  return EffectiveFormatTag(format) == WAVE_FORMAT_PCM && (bits == 16 || bits == 24 || bits == 32);
}
