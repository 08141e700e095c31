#include "dsp/CPeakLimiter.h"

#include <algorithm>
#include <cmath>

#include "primitives/Vector.h"

CPeakLimiter::CPeakLimiter() {
  for (uint32_t c = 0; c < kChannels; ++c) {
    m_GainParameter[c] = 1.0f;
    m_CurrentGain[c] = 1.0f;
    m_TargetGain[c] = 1.0f;
    m_FastRamp[c] = true;
  }
}

CPeakLimiter::~CPeakLimiter() { Free(); }

bool CPeakLimiter::Allocate() {
  if (m_Allocated) return true;
  for (uint32_t c = 0; c < kChannels; ++c) {
    m_InputBuffer[c] = DspAllocateArray<float>(2 * LIMITER_BLOCK, DSP_LIMITER_TAG);
    if (!m_InputBuffer[c]) return false;
    m_OutputBuffer[c] = DspAllocateArray<float>(2 * LIMITER_BLOCK, DSP_LIMITER_TAG);
    if (!m_OutputBuffer[c]) return false;
  }
  m_Allocated = true;
  Reset();
  return true;
}

void CPeakLimiter::Free() {
  for (uint32_t c = 0; c < kChannels; ++c) {
    DspFreeArray(m_InputBuffer[c]);
    DspFreeArray(m_OutputBuffer[c]);
    m_InputBuffer[c] = nullptr;
    m_OutputBuffer[c] = nullptr;
  }
  m_Allocated = false;
}

// The buffers exist for 8 channels; a format with more has its first 8
// limited and the rest left alone.
void CPeakLimiter::SetFormat(const WAVEFORMATEXTENSIBLE* format) {
  Reset();
  m_Format = *format;
  m_ChannelCount = std::min<uint32_t>(format->Format.nChannels, kChannels);
}

void CPeakLimiter::SetMode(int32_t mode) {
  m_Mode = mode;
  for (bool& fast : m_FastRamp) fast = true;
}

void CPeakLimiter::SetGain(float gain) {
  for (float& g : m_GainParameter) g = gain;
  if (m_Mode == 0)
    for (bool& fast : m_FastRamp) fast = true;
}

void CPeakLimiter::SetCeiling(float ceiling) {
  m_Ceiling = ceiling;
  for (bool& fast : m_FastRamp) fast = true;
}

void CPeakLimiter::Reset() {
  if (!m_Allocated) return;
  for (uint32_t c = 0; c < kChannels; ++c) {
    m_FastRamp[c] = true;
    VecZeroF32(m_InputBuffer[c], 2 * LIMITER_BLOCK);
    VecZeroF32(m_OutputBuffer[c], 2 * LIMITER_BLOCK);
    m_BlockPeak[c] = 0.0f;
    m_HeldPeak[c] = 0.0f;
    VecZeroF32(m_PeakHistory[c], LIMITER_HISTORY);
  }
  m_OutputHalf = 0;
  m_InputFill = 0;
  m_OutputPosition = 0;
  m_HistoryIndex = 0;
}

void CPeakLimiter::Process(float* const* channels, uint32_t frames) {
  if (!m_Allocated) return;
  uint32_t done = 0;
  while (done < frames) {
    const int32_t count = static_cast<int32_t>(std::min<uint32_t>(frames - done, LIMITER_BLOCK - m_InputFill));
    const int32_t inHalf = 1 - m_OutputHalf;
    for (uint32_t c = 0; c < m_ChannelCount; ++c)
      VecCopyF32(channels[c] + done, m_InputBuffer[c] + inHalf * LIMITER_BLOCK + m_InputFill, count);
    m_InputFill += count;
    if (m_InputFill == LIMITER_BLOCK) {
      BlockStep();
      m_InputFill -= LIMITER_BLOCK;
    }
    for (uint32_t c = 0; c < m_ChannelCount; ++c)
      VecCopyF32(m_OutputBuffer[c] + m_OutputHalf * LIMITER_BLOCK + m_OutputPosition, channels[c] + done, count);
    m_OutputPosition += count;
    if (m_OutputPosition == LIMITER_BLOCK) {
      m_OutputPosition -= LIMITER_BLOCK;
      m_OutputHalf = 1 - m_OutputHalf;
    }
    done += static_cast<uint32_t>(count);
  }
}

void CPeakLimiter::BlockStep() {
  const int32_t older = m_OutputHalf;
  const int32_t newest = 1 - older;
  for (uint32_t c = 0; c < m_ChannelCount; ++c) {
    const float* block = m_InputBuffer[c] + newest * LIMITER_BLOCK;
    float extremes[2];
    VecMaxF32(block, LIMITER_BLOCK, &extremes[0]);
    VecMinF32(block, LIMITER_BLOCK, &extremes[1]);
    VecAbsF32InPlace(extremes, 2);
    const float peak = std::max(extremes[0], extremes[1]);
    m_BlockPeak[c] = peak;

    // The scan starts at the slot about to be overwritten, so the peak of
    // 200 blocks ago still counts once more.
    float held = peak;
    for (int32_t k = 0; k < LIMITER_HOLD_BLOCKS; ++k) {
      const int32_t slot = (m_HistoryIndex - k + LIMITER_HISTORY) % LIMITER_HISTORY;
      held = std::max(held, m_PeakHistory[c][slot]);
    }
    m_HeldPeak[c] = held;
    m_PeakHistory[c][m_HistoryIndex] = peak;

    const float g = m_GainParameter[c];
    float target = m_Ceiling >= g * held ? g : m_Ceiling / held;
    if (target < 0.0f) target = 0.0f;
    m_TargetGain[c] = target;
  }
  m_HistoryIndex = (m_HistoryIndex + 1) % LIMITER_HISTORY;

  float linked = m_TargetGain[0];
  for (uint32_t c = 1; c < m_ChannelCount; ++c) linked = std::min(linked, m_TargetGain[c]);

  const float a = linked;
  for (uint32_t c = 0; c < m_ChannelCount; ++c) {
    const float* in = m_InputBuffer[c] + older * LIMITER_BLOCK;
    float* out = m_OutputBuffer[c] + newest * LIMITER_BLOCK;
    float b = m_CurrentGain[c];
    const float floorStep = b * (1.0f / 8388608.0f);
    if (a > b) {
      float d = m_FastRamp[c] ? (a - b) / static_cast<float>(LIMITER_BLOCK) : (a - b) / LIMITER_RELEASE_SAMPLES;
      d = std::max(d, floorStep);
      for (int32_t i = 0; i < LIMITER_BLOCK; ++i) {
        out[i] = b * in[i];
        b = std::min(a, b + d);
      }
    } else if (a < b) {
      const float d = std::max((b - a) / static_cast<float>(LIMITER_BLOCK), floorStep);
      for (int32_t i = 0; i < LIMITER_BLOCK; ++i) {
        out[i] = b * in[i];
        b = std::max(a, b - d);
      }
    } else {
      for (int32_t i = 0; i < LIMITER_BLOCK; ++i) out[i] = b * in[i];
    }
    m_CurrentGain[c] = b;
    m_FastRamp[c] = false;
  }
}
