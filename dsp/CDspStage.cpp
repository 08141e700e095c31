#include "dsp/CDspStage.h"

#include "primitives/Convert.h"
#include "primitives/Vector.h"

CDspStage::~CDspStage() {
  for (uint32_t c = 0; c < kChannels; ++c) {
    DspFreeArray(m_DownState[c]);
    DspFreeArray(m_UpState[c]);
    DspFreeArray(m_Buffer[c]);
  }
}

bool CDspStage::Process(uint32_t, const float*, uint32_t*) { return false; }

void CDspStage::Reset() {
  for (int32_t& pending : m_Pending) pending = 0;
}

bool CDspStage::Init() {
  if (m_Initialised) return false;
  const int32_t upBytes = GetUpStateSize(), downBytes = GetDownStateSize();
  if (upBytes <= 0 || downBytes <= 0) return false;
  m_Capacity = DSP_STAGE_CAPACITY;
  for (uint32_t c = 0; c < kChannels; ++c) {
    m_DownState[c] = DspAllocateArray<uint8_t>(static_cast<size_t>(downBytes), DSP_STAGE_TAG);
    if (!m_DownState[c]) return false;
    m_UpState[c] = DspAllocateArray<uint8_t>(static_cast<size_t>(upBytes), DSP_STAGE_TAG);
    if (!m_UpState[c]) return false;
    m_Buffer[c] = DspAllocateArray<float>(DSP_STAGE_CAPACITY, DSP_STAGE_TAG);
    if (!m_Buffer[c]) return false;
  }
  m_Initialised = true;
  return true;
}

bool CDspStage::ShiftChannel(uint32_t channel, uint32_t consumed) {
  const int32_t pending = m_Pending[channel];
  if (consumed > static_cast<uint32_t>(pending)) return false;
  const int32_t rest = pending - static_cast<int32_t>(consumed);
  if (rest > 0 && consumed > 0) VecMoveF32(m_Buffer[channel] + consumed, m_Buffer[channel], rest);
  m_Pending[channel] = rest;
  return true;
}

CDspSplit::~CDspSplit() { delete m_pChannelConversion; }

bool CDspSplit::Init() {
  if (!m_pChannelConversion) {
    m_pChannelConversion = new (NonPagedPool, DSP_OBJECT_TAG) CChannelConversion;
    if (!m_pChannelConversion) return false;
    if (!m_pChannelConversion->Init()) return false;
  }
  return CDspStage::Init();
}

namespace {

// The channel conversion sees both sides as 32-bit float.
WAVEFORMATEXTENSIBLE AsFloat(const WAVEFORMATEXTENSIBLE& format) {
  WAVEFORMATEXTENSIBLE f = format;
  if (EffectiveFormatTag(f) != WAVE_FORMAT_IEEE_FLOAT) {
    f.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = static_cast<WORD>(f.Format.nChannels * 4);
    f.Format.nAvgBytesPerSec = f.Format.nSamplesPerSec * f.Format.nBlockAlign;
  }
  return f;
}

}  // namespace

bool CDspSplit::SetFormat(const WAVEFORMATEXTENSIBLE* inFormat, const WAVEFORMATEXTENSIBLE* outFormat) {
  m_InFormat = *inFormat;
  m_OutFormat = *outFormat;
  const WAVEFORMATEXTENSIBLE in = AsFloat(*inFormat), out = AsFloat(*outFormat);
  return m_pChannelConversion->SetFormat(&in, &out);
}

uint32_t CDspSplit::FramesForPass(uint32_t frames) const {
  const int32_t room = static_cast<int32_t>(m_InFormat.Format.nSamplesPerSec / 100) - m_Pending[0];
  if (room <= 0) return 0;
  return frames < static_cast<uint32_t>(room) ? frames : static_cast<uint32_t>(room);
}

// The new samples stand behind the pending ones of each buffer. Only the
// output's channels move on down the chain and keep a pending count; the
// others stay empty, so whatever a layout change writes there lands at the
// front of their buffers and goes no further.
void CDspSplit::ConvertChannelLayout(uint32_t n) {
  float* fresh[kChannels];
  for (uint32_t c = 0; c < kChannels; ++c) fresh[c] = m_Buffer[c] + m_Pending[c];
  m_pChannelConversion->Process(fresh, n);
  for (uint32_t c = 0; c < m_OutFormat.Format.nChannels && c < kChannels; ++c) m_Pending[c] += static_cast<int32_t>(n);
}

uint32_t CDspSplit::SplitInterleaved(const uint8_t* input, uint32_t frames, float* work) {
  const uint32_t n = FramesForPass(frames);
  if (n == 0) return 0;
  const uint32_t channels = m_InFormat.Format.nChannels;
  DspSamplesToFloat(m_InFormat, input, work, n * channels);
  float* dst[kChannels];
  for (uint32_t c = 0; c < kChannels; ++c) dst[c] = m_Buffer[c] + m_Pending[c];
  VecDeinterleaveF32(work, static_cast<int32_t>(channels), static_cast<int32_t>(n), dst);
  ConvertChannelLayout(n);
  return n;
}

uint32_t CDspSplit::SplitChannels(const uint8_t* const* inputs, uint32_t frames) {
  const uint32_t n = FramesForPass(frames);
  if (n == 0) return 0;
  for (uint32_t c = 0; c < m_InFormat.Format.nChannels; ++c)
    DspSamplesToFloat(m_InFormat, inputs[c], m_Buffer[c] + m_Pending[c], n);
  ConvertChannelLayout(n);
  return n;
}
