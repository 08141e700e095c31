// The rate stages of the conversion chain: x2 and x4 (or /2 and /4) through
// polyphase FIR states, and 160/147 (or 147/160) sample by sample. The
// converter sets a stage's direction before its Reset; the stage never
// changes it.
#pragma once

#include "dsp/CDspStage.h"
#include "dsp/SrcTables.h"

// Raising or lowering by a power of two with one linear-phase lowpass.
class CDspSrcPow2 : public CDspStage {
 public:
  CDspSrcPow2(int32_t factor, const float* taps, int32_t tapCount)
      : m_Factor(factor), m_Taps(taps), m_TapCount(tapCount) {}

  int32_t GetUpStateSize() override;
  int32_t GetDownStateSize() override;
  bool Process(uint32_t channel, const float* input, uint32_t* count) override;
  void Reset() override;

 private:
  const int32_t m_Factor;
  const float* const m_Taps;
  const int32_t m_TapCount;
};

class CDspSrcX2 : public CDspSrcPow2 {
 public:
  CDspSrcX2();
};

class CDspSrcX4 : public CDspSrcPow2 {
 public:
  CDspSrcX4();
};

// 44.1 kHz family <-> 48 kHz family: a phase accumulator picks one polyphase
// row per output sample.
class CDspSrc147 : public CDspStage {
 public:
  // The per-channel delay line holds two copies of the longer tap set.
  static constexpr int32_t kDelayLineFloats = 48;

  int32_t GetUpStateSize() override;
  int32_t GetDownStateSize() override;
  bool Process(uint32_t channel, const float* input, uint32_t* count) override;
  void Reset() override;

  int32_t Phase(uint32_t channel) const { return m_Phase[channel]; }

 private:
  bool Raise(uint32_t channel, const float* input, uint32_t* count);
  bool Lower(uint32_t channel, const float* input, uint32_t* count);
  void PushWithoutOutput(uint32_t channel, float x);
  // The same outputs as Raise and Lower, computed eight at a time with the
  // baseline one-sample filter's arithmetic (see CDspSrc.cpp).
  bool RaiseBlock(uint32_t channel, const float* input, uint32_t* count);
  bool LowerBlock(uint32_t channel, const float* input, uint32_t* count);
  template <int32_t kTaps, typename Step>
  int32_t Outputs(uint32_t channel, const float* input, int32_t n, int32_t i, int32_t& p, Step step);
  // Leaves the delay line as one-sample pushes of input[0 .. pushed - 1]
  // would.
  void Replay(uint32_t channel, int32_t taps, const float* input, int32_t pushed);

  int32_t m_Phase[kChannels] = {};
  float m_DelayLine[kChannels][kDelayLineFloats] = {};
  int32_t m_DelayIndex[kChannels] = {};
  // The taps of every phase of the current direction, last tap first: the
  // order in which they meet a window from its oldest sample.
  float m_ReversedTaps[SRC147_REVERSED_FLOATS] = {};
};
