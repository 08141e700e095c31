// In-place channel-layout conversion on per-channel float buffers. The
// pointer array always has 8 entries whose buffers have room for the samples
// of 8 channels, so an up-mix may write beyond the input count.
//
// Channel order is the wave-format order: 0 front left, 1 front right, 2 and
// 3 the back pair of a 4-channel layout or centre and LFE of 6 and 8
// channels, 4 and 5 the (first) surround pair, 6 and 7 the second surround
// pair of 8 channels.
#pragma once

#include <cstdint>

#include "dsp/DspFormat.h"
#include "dsp/DspPool.h"

// Folds surround into stereo with matrix-surround weights and spreads fewer
// channels over more, between the formats of its last SetFormat.
class CChannelConversion : public CDspPoolObject {
 public:
  CChannelConversion() {}

  bool Init();
  // Both formats must be float; at most 8 channels each.
  bool SetFormat(const WAVEFORMATEXTENSIBLE* inFormat, const WAVEFORMATEXTENSIBLE* outFormat);
  bool Process(float* const* channels, uint32_t samples);

 private:
  WAVEFORMATEXTENSIBLE m_InFormat = {};
  WAVEFORMATEXTENSIBLE m_OutFormat = {};
  bool m_Initialised = false;
};

// The room effect node's dry fold: unit weights, centre at 0.707, and 1e-12
// where an up-mix fills.
void ChannelMixdown(float* const* channels, uint32_t inChannels, uint32_t outChannels, uint32_t samples);
