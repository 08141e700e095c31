// Look-ahead peak limiter for up to 8 linked float channels. It works in
// blocks of 128 samples with one block of look-ahead: the peak of the newest
// block sets the gain that is ramped in over the block before it, so the
// gain is down before the peak is played. Every sample leaves 256 samples
// after it entered.
#pragma once

#include <cstdint>

#include "dsp/DspFormat.h"
#include "dsp/DspPool.h"

constexpr int32_t LIMITER_BLOCK = 128;
constexpr int32_t LIMITER_HISTORY = 200;
constexpr int32_t LIMITER_HOLD_BLOCKS = 20;
constexpr float LIMITER_RELEASE_SAMPLES = 10240.0f;

class CPeakLimiter : public CDspPoolObject {
 public:
  CPeakLimiter();
  ~CPeakLimiter();

  bool Allocate();
  void Free();
  void SetFormat(const WAVEFORMATEXTENSIBLE* format);
  void SetMode(int32_t mode);
  void SetGain(float gain);
  void SetCeiling(float ceiling);
  // Limits the format's channels in place.
  void Process(float* const* channels, uint32_t frames);
  void Reset();
  void ResetThunk() { Reset(); }

  float CurrentGain(uint32_t channel) const { return m_CurrentGain[channel]; }
  float TargetGain(uint32_t channel) const { return m_TargetGain[channel]; }
  float HeldPeak(uint32_t channel) const { return m_HeldPeak[channel]; }
  uint32_t ChannelCount() const { return m_ChannelCount; }
  bool IsAllocated() const { return m_Allocated; }

 private:
  void BlockStep();

  static constexpr uint32_t kChannels = MAX_SOFTWARE_DSP_PROCESS_CHANNELS;

  WAVEFORMATEXTENSIBLE m_Format = {};
  uint32_t m_ChannelCount = 0;            // nChannels, at most 8
  float* m_InputBuffer[kChannels] = {};   // 2 x 128 each
  float* m_OutputBuffer[kChannels] = {};  // 2 x 128 each
  int32_t m_OutputHalf = 0;
  int32_t m_InputFill = 0;
  int32_t m_OutputPosition = 0;
  float m_GainParameter[kChannels];
  float m_CurrentGain[kChannels];
  float m_TargetGain[kChannels];
  float m_BlockPeak[kChannels] = {};
  float m_HeldPeak[kChannels] = {};
  float m_PeakHistory[kChannels][LIMITER_HISTORY] = {};
  int32_t m_HistoryIndex = 0;
  float m_Ceiling = 1.0f;
  int32_t m_Mode = 0;
  bool m_FastRamp[kChannels];
  bool m_Allocated = false;
};
