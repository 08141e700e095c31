#include "dsp/CDspConverter.h"

#include <algorithm>

#include "kernel/debug.h"
#include "primitives/Convert.h"

namespace {

constexpr uint32_t kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};

// Index in kRates, or -1: even indexes are the 44.1 kHz family, and the
// index / 2 is the power of two above the family's base rate.
int RateIndex(uint32_t rate) {
  for (int i = 0; i < 6; ++i)
    if (kRates[i] == rate) return i;
  return -1;
}

bool BitsInList(const WAVEFORMATEXTENSIBLE& f) {
  const WORD bits = f.Format.wBitsPerSample;
  // A float sample is always 4 bytes; anything else would be read as such.
  if (EffectiveFormatTag(f) == WAVE_FORMAT_IEEE_FLOAT) return bits == 32;
  return bits == 16 || bits == 24 || bits == 32;
}

bool TagInList(const WAVEFORMATEXTENSIBLE& f) {
  const USHORT tag = EffectiveFormatTag(f);
  return tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT;
}

bool ChannelsInRange(const WAVEFORMATEXTENSIBLE& f) {
  return f.Format.nChannels >= 1 && f.Format.nChannels <= MAX_SOFTWARE_DSP_PROCESS_CHANNELS;
}

// A frame is exactly its samples, so no stage reads or writes past a buffer
// sized by nBlockAlign.
bool BlockAlignMatches(const WAVEFORMATEXTENSIBLE& f) {
  return f.Format.nBlockAlign == f.Format.nChannels * (f.Format.wBitsPerSample / 8);
}

uint32_t BytesPerSample(const WAVEFORMATEXTENSIBLE& f) { return f.Format.wBitsPerSample / 8u; }

template <typename Stage>
bool CreateStage(Stage** stage) {
  *stage = new (NonPagedPool, DSP_OBJECT_TAG) Stage;
  return *stage && (*stage)->Init();
}

}  // namespace

CDspConverter::~CDspConverter() {
  delete m_pSplit;
  delete m_pSrcX2;
  delete m_pSrcX4;
  delete m_pSrc147;
}

bool CDspConverter::CreateSplit() { return CreateStage(&m_pSplit); }

bool CDspConverter::CreateRateStages() {
  return CreateStage(&m_pSrcX2) && CreateStage(&m_pSrcX4) && CreateStage(&m_pSrc147);
}

bool CDspConverter::Reset() {
  if (!m_Initialised) return false;
  m_pSrcX2->Reset();
  m_pSrcX4->Reset();
  m_pSrc147->Reset();
  m_pSplit->Reset();
  return true;
}

bool CDspConverter::CheckFormats(const char* name, const WAVEFORMATEXTENSIBLE& in, const WAVEFORMATEXTENSIBLE& out,
                                 bool interleaved) const {
  if (!TagInList(in)) {
    DbgPrint("%s Tag not PCM\n", name);
    return false;
  }
  if (!ChannelsInRange(in)) {
    DbgPrint("%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", name);
    return false;
  }
  if (RateIndex(in.Format.nSamplesPerSec) < 0) {
    DbgPrint("%s InFormat.Format.nSamplesPerSec not in List\n", name);
    return false;
  }
  if (!BitsInList(in)) {
    DbgPrint("%s InFormat.Format.wBitsPerSample not in List\n", name);
    return false;
  }
  if (!BlockAlignMatches(in)) {
    DbgPrint("%s InFormat.Format.nBlockAlign not nChannels x wBitsPerSample / 8\n", name);
    return false;
  }
  if (!TagInList(out)) {
    DbgPrint("%s Output Tag not PCM\n", name);
    return false;
  }
  if (!ChannelsInRange(out) || (interleaved && out.Format.nChannels != in.Format.nChannels)) {
    DbgPrint("%s Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", name);
    return false;
  }
  if (RateIndex(out.Format.nSamplesPerSec) < 0) {
    DbgPrint("%s OutFormat.Format.nSamplesPerSec not in List\n", name);
    return false;
  }
  if (!BitsInList(out)) {
    if (!interleaved) DbgPrint("%s OutFormat.Format.wBitsPerSample not in List\n", name);
    return false;
  }
  if (!BlockAlignMatches(out)) {
    DbgPrint("%s OutFormat.Format.nBlockAlign not nChannels x wBitsPerSample / 8\n", name);
    return false;
  }
  return true;
}

void CDspConverter::ClearChain() {
  m_Chain[0] = m_Chain[1] = m_Chain[2] = nullptr;
  m_StageCount = 0;
}

void CDspConverter::SelectChain() {
  const int in = RateIndex(m_InFormat.Format.nSamplesPerSec);
  const int out = RateIndex(m_OutFormat.Format.nSamplesPerSec);
  const int steps = out / 2 - in / 2;  // powers of two between the families' positions
  CDspStage* pow2 = steps == 1 || steps == -1 ? static_cast<CDspStage*>(m_pSrcX2)
                    : steps != 0              ? static_cast<CDspStage*>(m_pSrcX4)
                                              : nullptr;
  const bool crossFamily = (in % 2) != (out % 2);

  ClearChain();
  m_Chain[m_StageCount++] = m_pSplit;
  auto place = [this](CDspStage* stage, bool up) {
    stage->SetRaisesRate(up);
    stage->Reset();
    m_Chain[m_StageCount++] = stage;
  };
  if (pow2 && steps < 0) place(pow2, false);
  if (crossFamily) place(m_pSrc147, in % 2 == 0);
  if (pow2 && steps > 0) place(pow2, true);
}

void CDspConverter::HandOff(uint32_t channels) {
  for (uint32_t c = 0; c < channels; ++c) {
    for (uint32_t s = 1; s < m_StageCount; ++s) {
      CDspStage* previous = m_Chain[s - 1];
      uint32_t count = previous->Pending(c);
      m_Chain[s]->Process(c, previous->Buffer(c), &count);
      previous->ShiftChannel(c, count);
    }
  }
}

// ---- CDspInterleaveSrc -----------------------------------------------------------

CDspInterleaveSrc::~CDspInterleaveSrc() { DspFreeArray(m_WorkBuffer); }

bool CDspInterleaveSrc::Init() {
  if (m_Initialised) return false;
  if (!CreateSplit() || !CreateRateStages()) return false;
  m_WorkBuffer = DspAllocateArray<float>(kWorkFloats, DSP_OBJECT_TAG);
  if (!m_WorkBuffer) return false;
  m_Initialised = true;
  return true;
}

bool CDspInterleaveSrc::SetFormat(const WAVEFORMATEXTENSIBLE* inFormat, const WAVEFORMATEXTENSIBLE* outFormat) {
  static const char* const kName = "CDspInterleaveSrc::SetFormat";
  if (!m_Initialised) return false;
  if (!CheckFormats(kName, *inFormat, *outFormat, true)) return false;
  m_InFormat = *inFormat;
  m_OutFormat = *outFormat;
  if (!m_pSplit->SetFormat(inFormat, outFormat)) {
    DbgPrint("%s m_pSplit->SetFormat False\n", kName);
    return false;
  }
  Reset();
  SelectChain();
  return true;
}

bool CDspInterleaveSrc::Process(const uint8_t* input, uint32_t* inFrames, uint8_t* output, uint32_t* outFrames) {
  if (m_InFormat.Format.nSamplesPerSec == 0 || m_StageCount == 0) return false;
  const uint32_t channels = m_OutFormat.Format.nChannels;
  uint32_t remaining = *inFrames, space = *outFrames, consumed = 0, produced = 0;
  while (remaining > 0 && space > 0) {
    const uint32_t taken = m_pSplit->SplitInterleaved(
        input + static_cast<size_t>(consumed) * m_InFormat.Format.nBlockAlign, remaining, m_WorkBuffer);
    consumed += taken;
    remaining -= taken;
    HandOff(channels);
    const uint32_t m = std::min(space, LastStage()->Pending(0));
    Write(output + static_cast<size_t>(produced) * m_OutFormat.Format.nBlockAlign, m);
    produced += m;
    space -= m;
    if (taken == 0 && m == 0) break;  // nothing moves until the caller drains or feeds
  }
  *inFrames = consumed;
  *outFrames = produced;
  return true;
}

// The last stage can hold more frames than the work buffer takes at once,
// so the frames go out in pieces that fit it.
void CDspInterleaveSrc::Write(uint8_t* output, uint32_t frames) {
  const uint32_t channels = m_OutFormat.Format.nChannels;
  const uint32_t chunk = kWorkFloats / MAX_SOFTWARE_DSP_PROCESS_CHANNELS;
  CDspStage* last = LastStage();
  for (uint32_t done = 0; done < frames;) {
    const uint32_t k = std::min(chunk, frames - done);
    for (uint32_t c = 0; c < channels; ++c) m_OutChannel[c] = last->Buffer(c) + done;
    VecInterleaveF32(m_OutChannel, static_cast<int32_t>(channels), static_cast<int32_t>(k), m_WorkBuffer);
    DspFloatToSamples(m_OutFormat, m_WorkBuffer, output + static_cast<size_t>(done) * m_OutFormat.Format.nBlockAlign,
                      k * channels);
    done += k;
  }
  for (uint32_t c = 0; c < channels; ++c) last->ShiftChannel(c, frames);
}

// ---- CDspNonInterleaveSrc --------------------------------------------------------

bool CDspNonInterleaveSrc::Init() {
  if (m_Initialised) return false;
  if (!CreateRateStages() || !CreateSplit()) return false;
  m_Initialised = true;
  return true;
}

bool CDspNonInterleaveSrc::SetFormat(const WAVEFORMATEXTENSIBLE* inFormat, const WAVEFORMATEXTENSIBLE* outFormat) {
  static const char* const kName = "CDspNonInterleaveSrc::SetFormat";
  m_StageCount = 0;
  m_Configured = false;
  if (!m_Initialised) return false;
  if (!CheckFormats(kName, *inFormat, *outFormat, false)) return false;
  m_InFormat = *inFormat;
  m_OutFormat = *outFormat;
  if (!m_pSplit->SetFormat(inFormat, outFormat)) {
    DbgPrint("%s m_pBitDepthConvert->SetFormat False\n", kName);
    return false;
  }
  Reset();
  ClearChain();
  m_Configured = true;
  if (memcmp(inFormat, outFormat, sizeof(WAVEFORMATEXTENSIBLE)) == 0) return true;
  SelectChain();
  return true;
}

bool CDspNonInterleaveSrc::Process(const uint8_t* const* inputs, uint32_t* inFrames, uint8_t* const* outputs,
                                   uint32_t* outFrames) {
  if (m_InFormat.Format.nSamplesPerSec == 0) return false;
  if (!m_Configured) {
    *inFrames = 0;
    *outFrames = 0;
    return false;
  }
  if (m_StageCount == 0) {
    const uint32_t n = std::min(*inFrames, *outFrames);
    const size_t bytes = static_cast<size_t>(n) * BytesPerSample(m_InFormat);
    for (uint32_t c = 0; c < m_InFormat.Format.nChannels; ++c) memcpy(outputs[c], inputs[c], bytes);
    *inFrames = *outFrames = n;
    return true;
  }

  const uint32_t inChannels = m_InFormat.Format.nChannels, outChannels = m_OutFormat.Format.nChannels;
  if (LastStage()->Pending(0) >= 1) {
    const uint32_t m = std::min(*outFrames, LastStage()->Pending(0));
    Write(outputs, 0, m);
    *outFrames = m;
    *inFrames = 0;
    return true;
  }

  const uint32_t inBytes = BytesPerSample(m_InFormat);
  uint32_t remaining = *inFrames, space = *outFrames, consumed = 0, produced = 0;
  const uint8_t* in[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
  while (remaining > 0 && space > 0) {
    for (uint32_t c = 0; c < inChannels; ++c) in[c] = inputs[c] + static_cast<size_t>(consumed) * inBytes;
    const uint32_t taken = m_pSplit->SplitChannels(in, remaining);
    consumed += taken;
    remaining -= taken;
    HandOff(outChannels);
    const uint32_t m = std::min(space, LastStage()->Pending(0));
    Write(outputs, produced, m);
    produced += m;
    space -= m;
    if (taken == 0 && m == 0) break;
  }
  *inFrames = consumed;
  *outFrames = produced;
  return true;
}

void CDspNonInterleaveSrc::Write(uint8_t* const* outputs, uint32_t offset, uint32_t frames) {
  const uint32_t outBytes = BytesPerSample(m_OutFormat);
  CDspStage* last = LastStage();
  for (uint32_t c = 0; c < m_OutFormat.Format.nChannels; ++c) {
    m_OutChannel[c] = last->Buffer(c);
    if (frames > 0)
      DspFloatToSamples(m_OutFormat, m_OutChannel[c], outputs[c] + static_cast<size_t>(offset) * outBytes, frames);
    last->ShiftChannel(c, frames);
  }
}
