#include "dsp/CDspSrc.h"

#include "dsp/SrcTables.h"
#include "primitives/Fir.h"
#include "primitives/MultirateFir.h"
#include "primitives/Vector.h"

int32_t CDspSrcPow2::GetUpStateSize() {
  int32_t bytes = 0;
  MultirateFirStateSize(m_TapCount, m_Factor, 1, &bytes);
  return bytes;
}

int32_t CDspSrcPow2::GetDownStateSize() {
  int32_t bytes = 0;
  MultirateFirStateSize(m_TapCount, 1, m_Factor, &bytes);
  return bytes;
}

void CDspSrcPow2::Reset() {
  for (uint32_t c = 0; c < kChannels; ++c) {
    if (m_RaisesRate)
      MultirateFirInit(&m_State[c], m_Taps, m_TapCount, m_Factor, 0, 1, 0, nullptr, m_UpState[c]);
    else
      MultirateFirInit(&m_State[c], m_Taps, m_TapCount, 1, 0, m_Factor, 0, nullptr, m_DownState[c]);
  }
  CDspStage::Reset();
}

bool CDspSrcPow2::Process(uint32_t channel, const float* input, uint32_t* count) {
  const int32_t f = m_Factor;
  int32_t n = static_cast<int32_t>(*count);
  int32_t consumed = 0;
  int32_t& pending = m_Pending[channel];
  float* buffer = m_Buffer[channel];
  if (m_RaisesRate) {
    // Each iteration takes one input and yields f outputs.
    while (n > 0) {
      const int32_t space = m_Capacity - pending;
      if (space < f) break;
      const int32_t k = space < f * n ? space / f : n;
      FirFilterBlock(input + consumed, buffer + pending, k, m_State[channel]);
      // The zeros stuffed between the inputs cost the filter a factor f of
      // gain; it is made up here.
      VecMulConstF32InPlace(static_cast<float>(f), buffer + pending, f * k);
      consumed += k;
      n -= k;
      pending += f * k;
    }
  } else {
    // Each iteration takes f inputs and yields one output; fewer than f
    // stay with the previous stage.
    while (n >= f) {
      const int32_t space = m_Capacity - pending;
      if (space == 0) break;
      const int32_t k = n / f < space ? n / f : space;
      FirFilterBlock(input + consumed, buffer + pending, k, m_State[channel]);
      consumed += f * k;
      n -= f * k;
      pending += k;
    }
  }
  *count = static_cast<uint32_t>(consumed);
  return true;
}

CDspSrcX2::CDspSrcX2() : CDspSrcPow2(2, HalfRateTaps66, HALF_RATE_TAPS) {}

CDspSrcX4::CDspSrcX4() : CDspSrcPow2(4, QuarterRateTaps132, QUARTER_RATE_TAPS) {}

int32_t CDspSrc147::GetUpStateSize() {
  int32_t bytes = 0;
  FirFilterStateSize(SRC147_UP_TAPS, &bytes);
  return bytes;
}

int32_t CDspSrc147::GetDownStateSize() {
  int32_t bytes = 0;
  FirFilterStateSize(SRC147_DOWN_TAPS, &bytes);
  return bytes;
}

void CDspSrc147::Reset() {
  for (uint32_t c = 0; c < kChannels; ++c) {
    m_Phase[c] = 0;
    FirState* state = nullptr;
    if (m_RaisesRate)
      FirFilterInit(&state, Src147UpTaps[0], SRC147_UP_TAPS, nullptr, m_UpState[c]);
    else
      FirFilterInit(&state, Src147DownTaps[0], SRC147_DOWN_TAPS, nullptr, m_DownState[c]);
    m_State[c] = state;
    VecZeroF32(m_DelayLine[c], kDelayLineFloats);
    m_DelayIndex[c] = 0;
  }
  CDspStage::Reset();
}

bool CDspSrc147::Process(uint32_t channel, const float* input, uint32_t* count) {
  return m_RaisesRate ? Raise(channel, input, count) : Lower(channel, input, count);
}

// 160 outputs for every 147 inputs: an output whose phase does not wrap
// leaves its input in place for the next one.
bool CDspSrc147::Raise(uint32_t channel, const float* input, uint32_t* count) {
  int32_t p = m_Phase[channel];
  int32_t& index = m_DelayIndex[channel];
  int32_t& pending = m_Pending[channel];
  uint32_t i = 0;
  while (i < *count && pending < m_Capacity) {
    const int32_t remembered = index;
    FirFilterSample(input[i], &m_Buffer[channel][pending], Src147UpTaps[p], SRC147_UP_TAPS, m_DelayLine[channel],
                    &index);
    ++pending;
    p += 147;
    if (p < 160) {
      index = remembered;
    } else {
      p -= 160;
      ++i;
    }
  }
  m_Phase[channel] = p;
  *count = i;
  return true;
}

void CDspSrc147::PushWithoutOutput(uint32_t channel, float x) {
  int32_t& index = m_DelayIndex[channel];
  m_DelayLine[channel][index] = x;
  m_DelayLine[channel][index + SRC147_DOWN_TAPS] = x;
  index = index + 1 == SRC147_DOWN_TAPS ? 0 : index + 1;
}

// 147 outputs for every 160 inputs: when the phase passes 146 the next input
// enters the delay line without an output of its own, in this call or, when
// it has not arrived yet, at the start of the next.
bool CDspSrc147::Lower(uint32_t channel, const float* input, uint32_t* count) {
  int32_t p = m_Phase[channel];
  int32_t& pending = m_Pending[channel];
  const uint32_t n = *count;
  uint32_t i = 0;
  if (p > 146) {
    if (n == 0) {
      *count = 0;
      return true;
    }
    PushWithoutOutput(channel, input[i]);
    p -= 147;
    ++i;
  }
  while (i < n && pending < m_Capacity) {
    FirFilterSample(input[i], &m_Buffer[channel][pending], Src147DownTaps[p], SRC147_DOWN_TAPS, m_DelayLine[channel],
                    &m_DelayIndex[channel]);
    ++pending;
    p += 13;
    if (p < 147) {
      ++i;
    } else if (i + 1 < n) {
      PushWithoutOutput(channel, input[i + 1]);
      p -= 147;
      i += 2;
    } else {
      ++i;
      break;
    }
  }
  m_Phase[channel] = p;
  *count = i;
  return true;
}
