// The stages of the conversion chain. Every stage keeps, per channel, a
// filter state and a buffer of output samples that the next stage (or the
// converter's writer) takes from; the split stage turns the client's samples
// into float channels, the rate stages change the rate by 2, 4 or 160/147.
#pragma once

#include <cstdint>

#include "dsp/CChannelConversion.h"
#include "dsp/DspFormat.h"
#include "dsp/DspPool.h"
#include "dsp/SampleConversion.h"

constexpr int32_t DSP_STAGE_CAPACITY = 7680;

class CDspStage : public CDspPoolObject {
 public:
  CDspStage() {}
  virtual ~CDspStage();
  CDspStage(const CDspStage&) = delete;
  CDspStage& operator=(const CDspStage&) = delete;

  // Bytes of the per-channel filter state for raising and for lowering.
  virtual int32_t GetUpStateSize() { return 0; }
  virtual int32_t GetDownStateSize() { return 0; }
  // Consumes up to *count samples of one channel and appends the output to
  // that channel's buffer; *count becomes the samples consumed.
  virtual bool Process(uint32_t channel, const float* input, uint32_t* count);
  // Rebuilds the states for the current direction and empties the buffers.
  virtual void Reset();

  bool Init();
  // Drops the first `consumed` samples of a channel's buffer.
  bool ShiftChannel(uint32_t channel, uint32_t consumed);

  float* Buffer(uint32_t channel) const { return m_Buffer[channel]; }
  uint32_t Pending(uint32_t channel) const { return static_cast<uint32_t>(m_Pending[channel]); }
  void SetRaisesRate(bool up) { m_RaisesRate = up; }
  bool RaisesRate() const { return m_RaisesRate; }

 protected:
  static constexpr uint32_t kChannels = MAX_SOFTWARE_DSP_PROCESS_CHANNELS;

  uint8_t* m_UpState[kChannels] = {};
  uint8_t* m_DownState[kChannels] = {};
  void* m_State[kChannels] = {};
  float* m_Buffer[kChannels] = {};
  int32_t m_Pending[kChannels] = {};
  int32_t m_Capacity = 0;
  bool m_RaisesRate = false;
  bool m_Initialised = false;
};

// First stage of every chain: client samples to float channels (at most
// 10 ms per pass), then the channel layout of the output.
class CDspSplit : public CDspStage {
 public:
  ~CDspSplit() override;

  int32_t GetUpStateSize() override { return 4; }
  int32_t GetDownStateSize() override { return 4; }

  bool Init();
  bool SetFormat(const WAVEFORMATEXTENSIBLE* inFormat, const WAVEFORMATEXTENSIBLE* outFormat);
  // Interleaved input frames: converted through the work buffer (room for
  // rate/100 frames of the input's channels). Returns the frames taken.
  uint32_t SplitInterleaved(const uint8_t* input, uint32_t frames, float* work);
  // One pointer per input channel; returns the samples taken per channel.
  uint32_t SplitChannels(const uint8_t* const* inputs, uint32_t frames);

 private:
  uint32_t FramesForPass(uint32_t frames) const;
  void ConvertChannelLayout(uint32_t frames);

  CChannelConversion* m_pChannelConversion = nullptr;
  WAVEFORMATEXTENSIBLE m_InFormat = {};
  WAVEFORMATEXTENSIBLE m_OutFormat = {};
};
