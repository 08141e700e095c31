// The two converters between a client's format and the device format:
// sample format, rate among 44.1/48/88.2/96/176.4/192 kHz and, per channel
// only, the channel layout. Each is a chain of at most three stages: the
// split stage, then up to two rate stages. A power-of-two raise always comes
// last and a power-of-two lowering first, so that the 160/147 stage runs on
// the lower-rate side of the pair.
#pragma once

#include <cstdint>

#include "dsp/CDspSrc.h"
#include "dsp/CDspStage.h"
#include "dsp/DspFormat.h"
#include "dsp/DspPool.h"

// What the two converters share: the stages, the chain and its selection,
// the format checks and the hand-off between stages. Its owner serialises
// every call; all memory is nonpaged and allocated in Init.
class CDspConverter : public CDspPoolObject {
 public:
  virtual ~CDspConverter();
  CDspConverter(const CDspConverter&) = delete;
  CDspConverter& operator=(const CDspConverter&) = delete;

  // Discards all pending audio; the chain stays.
  bool Reset();

  uint32_t StageCount() const { return m_StageCount; }
  const CDspStage* Stage(uint32_t i) const { return m_Chain[i]; }
  const CDspSplit* Split() const { return m_pSplit; }
  const CDspSrcX2* SrcX2() const { return m_pSrcX2; }
  const CDspSrcX4* SrcX4() const { return m_pSrcX4; }
  const CDspSrc147* Src147() const { return m_pSrc147; }

 protected:
  CDspConverter() {}

  bool CreateSplit();
  bool CreateRateStages();
  // Checks 1 to 8 of SetFormat; prints the first failure.
  bool CheckFormats(const char* name, const WAVEFORMATEXTENSIBLE& in, const WAVEFORMATEXTENSIBLE& out,
                    bool interleaved) const;
  void ClearChain();
  void SelectChain();
  // Moves what each stage holds into the next, for the first `channels`.
  void HandOff(uint32_t channels);
  CDspStage* LastStage() const { return m_Chain[m_StageCount - 1]; }

  WAVEFORMATEXTENSIBLE m_InFormat = {};
  WAVEFORMATEXTENSIBLE m_OutFormat = {};
  CDspSplit* m_pSplit = nullptr;
  CDspSrcX2* m_pSrcX2 = nullptr;
  CDspSrcX4* m_pSrcX4 = nullptr;
  CDspSrc147* m_pSrc147 = nullptr;
  float* m_OutChannel[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
  bool m_Initialised = false;
  CDspStage* m_Chain[3] = {};
  uint32_t m_StageCount = 0;
};

// Interleaved frames in, interleaved frames out, the same channel count on
// both sides. The wave stream runs captured data through one.
class CDspInterleaveSrc : public CDspConverter {
 public:
  CDspInterleaveSrc() {}
  ~CDspInterleaveSrc() override;

  bool Init();
  bool SetFormat(const WAVEFORMATEXTENSIBLE* inFormat, const WAVEFORMATEXTENSIBLE* outFormat);
  // *inFrames: offered, then consumed; *outFrames: room, then produced.
  bool Process(const uint8_t* input, uint32_t* inFrames, uint8_t* output, uint32_t* outFrames);

  // 3,840 frames of 8 channels.
  static constexpr uint32_t kWorkFloats = 30720;

 private:
  void Write(uint8_t* output, uint32_t frames);

  float* m_WorkBuffer = nullptr;
};

// One buffer per channel in and out; the channel counts may differ. The tone
// prompt converts its prompt into the device format with one.
class CDspNonInterleaveSrc : public CDspConverter {
 public:
  CDspNonInterleaveSrc() {}

  bool Init();
  // Byte-identical formats make the converter a plain copy.
  bool SetFormat(const WAVEFORMATEXTENSIBLE* inFormat, const WAVEFORMATEXTENSIBLE* outFormat);
  bool Process(const uint8_t* const* inputs, uint32_t* inFrames, uint8_t* const* outputs, uint32_t* outFrames);

  bool IsPassThrough() const { return m_Configured && m_StageCount == 0; }

 private:
  void Write(uint8_t* const* outputs, uint32_t offset, uint32_t frames);

  // Set by a successful SetFormat, cleared by any other: after a failure the
  // converter produces nothing, whatever chain an earlier success left.
  bool m_Configured = false;
};
