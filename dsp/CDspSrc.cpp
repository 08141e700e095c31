#include "dsp/CDspSrc.h"

#include <emmintrin.h>

#include "dsp/SrcTables.h"
#include "primitives/Dispatch.h"
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
  const int32_t phases = m_RaisesRate ? SRC147_UP_PHASES : SRC147_DOWN_PHASES;
  const int32_t taps = m_RaisesRate ? SRC147_UP_TAPS : SRC147_DOWN_TAPS;
  for (int32_t p = 0; p < phases; ++p)
    for (int32_t k = 0; k < taps; ++k)
      m_ReversedTaps[p * taps + k] = m_RaisesRate ? Src147UpTaps[p][taps - 1 - k] : Src147DownTaps[p][taps - 1 - k];
  CDspStage::Reset();
}

namespace {

// The baseline one-sample filter sums, in double, the single-precision
// products of the taps (last first) with the window (oldest first), one
// after the other. The level builds of that filter sum otherwise, so the
// block path stands in for it only while the baseline builds run.
bool BaselineSampleFilter() { return CpuDispatchIndex == 0; }

// Eight outputs: y[j] from window w[j] (kTaps samples, oldest first) and the
// reversed taps t[j]. Each output's sum is a chain of dependent additions in
// the one-sample filter's order; two outputs share a pair of double lanes,
// and four pairs side by side keep the adder busy. Only the first `count`
// outputs are stored.
template <int32_t kTaps>
void EightOutputs(const float* const* w, const float* const* t, float* y, int32_t count) {
  __m128d sum[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
  for (int32_t i = 0; i < kTaps; i += 4) {
    for (int j = 0; j < 4; ++j) {
      const __m128 a = _mm_mul_ps(_mm_loadu_ps(t[2 * j] + i), _mm_loadu_ps(w[2 * j] + i));
      const __m128 b = _mm_mul_ps(_mm_loadu_ps(t[2 * j + 1] + i), _mm_loadu_ps(w[2 * j + 1] + i));
      // (a0 b0 a1 b1) and (a2 b2 a3 b3): the products of both outputs tap
      // by tap.
      const __m128 first = _mm_unpacklo_ps(a, b), second = _mm_unpackhi_ps(a, b);
      __m128d s = sum[j];
      s = _mm_add_pd(s, _mm_cvtps_pd(first));
      s = _mm_add_pd(s, _mm_cvtps_pd(_mm_movehl_ps(first, first)));
      s = _mm_add_pd(s, _mm_cvtps_pd(second));
      s = _mm_add_pd(s, _mm_cvtps_pd(_mm_movehl_ps(second, second)));
      sum[j] = s;
    }
  }
  alignas(16) float out[8];
  for (int j = 0; j < 4; ++j) _mm_storel_pi(reinterpret_cast<__m64*>(out + 2 * j), _mm_cvtpd_ps(sum[j]));
  for (int32_t j = 0; j < count; ++j) y[j] = out[j];
}

// The windows of a call: the taps - 1 samples before it (from the delay
// line) and its first inputs in one small buffer, later windows straight from
// the input. Window e ends at input e.
template <int32_t kTaps>
class Windows {
 public:
  Windows(const float* history, const float* input, int32_t n) : m_Input(input) {
    m_Staged = n < kStaged ? n : kStaged;
    for (int32_t k = 0; k < kTaps - 1; ++k) m_Head[k] = history[k];
    for (int32_t k = 0; k < m_Staged; ++k) m_Head[kTaps - 1 + k] = input[k];
  }
  const float* EndingAt(int32_t e) const { return e < m_Staged ? m_Head + e : m_Input + (e - (kTaps - 1)); }

 private:
  // Past these, every window lies inside the input.
  static constexpr int32_t kStaged = kTaps + 8;
  float m_Head[2 * kTaps + 8];
  const float* m_Input;
  int32_t m_Staged;
};

}  // namespace

bool CDspSrc147::Process(uint32_t channel, const float* input, uint32_t* count) {
  if (BaselineSampleFilter()) return m_RaisesRate ? RaiseBlock(channel, input, count) : LowerBlock(channel, input, count);
  return m_RaisesRate ? Raise(channel, input, count) : Lower(channel, input, count);
}

void CDspSrc147::Replay(uint32_t channel, int32_t taps, const float* input, int32_t pushed) {
  float* line = m_DelayLine[channel];
  const int32_t start = m_DelayIndex[channel];
  for (int32_t j = pushed > taps ? pushed - taps : 0; j < pushed; ++j) {
    const int32_t slot = (start + j) % taps;
    line[slot] = input[j];
    line[slot + taps] = input[j];
  }
}

// The outputs of one call in batches of eight: `step` moves the phase and
// the input index on after each output and says whether the call ends there.
// Returns the input index reached; `pushed` becomes the count of inputs the
// delay line took.
template <int32_t kTaps, typename Step>
int32_t CDspSrc147::Outputs(uint32_t channel, const float* input, int32_t n, int32_t i, int32_t& p, Step step) {
  int32_t& pending = m_Pending[channel];
  const Windows<kTaps> windows(m_DelayLine[channel] + m_DelayIndex[channel] + 1, input, n);
  bool ended = false;
  while (!ended && i < n && pending < m_Capacity) {
    const float* w[8];
    const float* t[8];
    int32_t k = 0;
    while (!ended && k < 8 && i < n && pending + k < m_Capacity) {
      w[k] = windows.EndingAt(i);
      t[k] = m_ReversedTaps + p * kTaps;
      ++k;
      ended = step(i, p);
    }
    for (int32_t j = k; j < 8; ++j) w[j] = w[0], t[j] = t[0];
    EightOutputs<kTaps>(w, t, m_Buffer[channel] + pending, k);
    pending += k;
  }
  return i;
}

// Raise's outputs: output after output the phase steps by 147 and the input
// moves on when it wraps past 160.
bool CDspSrc147::RaiseBlock(uint32_t channel, const float* input, uint32_t* count) {
  int32_t p = m_Phase[channel];
  int32_t pushed = 0;  // the last output's input and all before it
  const int32_t i = Outputs<SRC147_UP_TAPS>(channel, input, static_cast<int32_t>(*count), 0, p,
                                            [&](int32_t& at, int32_t& phase) {
                                              pushed = at + 1;
                                              phase += 147;
                                              if (phase >= 160) {
                                                phase -= 160;
                                                ++at;
                                              }
                                              return false;
                                            });
  Replay(channel, SRC147_UP_TAPS, input, pushed);
  m_DelayIndex[channel] = (m_DelayIndex[channel] + i) % SRC147_UP_TAPS;
  m_Phase[channel] = p;
  *count = static_cast<uint32_t>(i);
  return true;
}

// Lower's outputs: the phase steps by 13, and when it passes 146 the next
// input enters without an output of its own (at the start of the next call
// when this one has none left).
bool CDspSrc147::LowerBlock(uint32_t channel, const float* input, uint32_t* count) {
  const int32_t n = static_cast<int32_t>(*count);
  int32_t p = m_Phase[channel];
  int32_t i = 0;
  if (p > 146) {
    if (n == 0) return true;
    p -= 147;
    i = 1;
  }
  i = Outputs<SRC147_DOWN_TAPS>(channel, input, n, i, p, [n](int32_t& at, int32_t& phase) {
    phase += 13;
    if (phase < 147) {
      ++at;
    } else if (at + 1 < n) {
      phase -= 147;
      at += 2;
    } else {
      ++at;
      return true;
    }
    return false;
  });
  // Every input consumed went into the delay line.
  Replay(channel, SRC147_DOWN_TAPS, input, i);
  m_DelayIndex[channel] = (m_DelayIndex[channel] + i) % SRC147_DOWN_TAPS;
  m_Phase[channel] = p;
  *count = static_cast<uint32_t>(i);
  return true;
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
