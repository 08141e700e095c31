#include "variants/effects/CHeadphoneEffectNode.h"

#include "dsp/CChannelConversion.h"

namespace {

constexpr ULONG kEngineRate44k = 44100;
constexpr ULONG kEngineRate48k = 48000;
constexpr WORD kFloatBits = 32;

// A record of the same rate and channels in 32-bit float; a float record
// stays as it is.
void MakeFloat(WAVEFORMATEXTENSIBLE* f) {
  const WORD blockAlign = static_cast<WORD>(f->Format.nChannels * (kFloatBits / 8));
  if (f->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    if (IsEqualGUIDAligned(f->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)) return;
    f->Samples.wValidBitsPerSample = kFloatBits;
    f->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  } else if (f->Format.wFormatTag != WAVE_FORMAT_IEEE_FLOAT) {
    f->Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  } else {
    return;
  }
  f->Format.wBitsPerSample = kFloatBits;
  f->Format.nBlockAlign = blockAlign;
  f->Format.nAvgBytesPerSec = f->Format.nSamplesPerSec * blockAlign;
}

// Whether (first, count) lies within the settings, without wrapping.
bool SettingsBlockFits(ULONG first, ULONG count) {
  return first < HEADPHONE_SETTING_COUNT && count <= HEADPHONE_SETTING_COUNT - first;
}

void CopyFloats(float* to, const float* from, ULONG count) {
  if (count) RtlCopyMemory(to, from, count * sizeof(float));
}

}  // namespace

CHeadphoneEffectNode::~CHeadphoneEffectNode() {
  for (float** set : {m_Dry, m_Wet, m_Carry, m_Returned})
    for (ULONG c = 0; c < HEADPHONE_CHANNELS; ++c) DspFreeArray(set[c]);
  delete m_Forward;
  delete m_Return;
  for (CPeakLimiter* limiter : {m_WetLimiter, m_DryLimiter}) {
    if (!limiter) continue;
    limiter->Free();
    delete limiter;
  }
  delete m_Virtualizer;
}

// ---- Init --------------------------------------------------------------------------------------

bool CHeadphoneEffectNode::AllocateSets() {
  for (float** set : {m_Dry, m_Wet, m_Carry, m_Returned}) {
    for (ULONG c = 0; c < HEADPHONE_CHANNELS; ++c) {
      set[c] = DspAllocateArray<float>(HEADPHONE_BLOCK_FRAMES, HEADPHONE_NODE_TAG);
      if (!set[c]) return false;
    }
  }
  return true;
}

NTSTATUS CHeadphoneEffectNode::Init(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject) {
  PAGED_CODE();
  m_Name = NODENAME_HeadphoneEffect;
  m_ParameterCount = HEADPHONE_SETTING_COUNT;
  NTSTATUS status = InitFromUnit(unit, controlSelector, deviceObject);
  if (!NT_SUCCESS(status)) return status;
  m_Crossfade = HEADPHONE_STEADY;

  // Each part needs the ones before it; the first that cannot be made ends
  // the build, and without a virtualiser the node processes nothing.
  if (!AllocateSets()) return status;
  for (CDspNonInterleaveSrc** converter : {&m_Forward, &m_Return}) {
    *converter = new (NonPagedPool, HEADPHONE_NODE_TAG) CDspNonInterleaveSrc();
    if (!*converter || !(*converter)->Init()) return status;
  }
  for (CPeakLimiter** limiter : {&m_WetLimiter, &m_DryLimiter}) {
    *limiter = new (NonPagedPool, HEADPHONE_LIMITER_TAG) CPeakLimiter();
    if (!*limiter || !(*limiter)->Allocate()) return status;
    (*limiter)->SetMode(0);
    (*limiter)->SetGain(1.0f);
    (*limiter)->SetCeiling(1.0f);
  }
  m_Virtualizer = new (NonPagedPool, VSF_CONTROL_TAG) CHeadphoneVirtualizer();
  if (!m_Virtualizer) return status;
  m_EngineFormat = {WAVE_FORMAT_IEEE_FLOAT, 2, kEngineRate44k, 4 * kEngineRate44k, 4, 16, 0};
  m_Virtualizer->SetFormat(&m_EngineFormat);
  m_Virtualizer->SetEnable(1);
  m_Virtualizer->SetCtcEnable(0);
  m_Virtualizer->SetHeadphoneAngle(3);
  m_Virtualizer->SetSpeakerAngle(3);
  m_Virtualizer->SetCtcAngle(0);

  m_Settings[HEADPHONE_SETTING_ROOM] = m_Virtualizer->GetHeadphoneRoom();
  m_Settings[HEADPHONE_SETTING_VARIANT] = m_Virtualizer->GetHeadphoneFlag();
  // A stored room the virtualiser has no filters for, or a variant other
  // than off and on, leaves the virtualiser's own.
  m_Binding.ReadChannelIfUsable(HEADPHONE_SETTING_ROOM, &m_Settings[HEADPHONE_SETTING_ROOM],
                                [](LONG room) { return room >= 0 && room <= HEADPHONE_MAXIMUM_ROOM; });
  m_Binding.ReadChannelIfUsable(HEADPHONE_SETTING_VARIANT, &m_Settings[HEADPHONE_SETTING_VARIANT],
                                [](LONG variant) { return variant == 0 || variant == 1; });
  ApplySettings();
  return status;
}

void CHeadphoneEffectNode::ApplySettings() {
  const LONG flag = m_Settings[HEADPHONE_SETTING_VARIANT] != 0 ? 1 : 0;
  const LONG room = m_Settings[HEADPHONE_SETTING_ROOM];
  if (m_Virtualizer->GetSpeakerFlag() != flag) m_Virtualizer->SetSpeakerFlag(flag);
  if (m_Virtualizer->GetHeadphoneFlag() != flag) m_Virtualizer->SetHeadphoneFlag(flag);
  if (m_Virtualizer->GetCtcEnable() != 0) {
    if (m_Virtualizer->GetSpeakerRoom() != room) m_Virtualizer->SetSpeakerRoom(room);
  } else if (m_Virtualizer->GetHeadphoneRoom() != room) {
    m_Virtualizer->SetHeadphoneRoom(room);
  }
}

// ---- Settings ----------------------------------------------------------------------------------

NTSTATUS CHeadphoneEffectNode::GetParameters(ULONG first, ULONG count, PULONG values) {
  if (!SettingsBlockFits(first, count) || (count && !values)) return STATUS_INVALID_PARAMETER;
  for (ULONG j = 0; j < count; ++j) values[j] = static_cast<ULONG>(m_Settings[first + j]);
  return STATUS_SUCCESS;
}

NTSTATUS CHeadphoneEffectNode::SetParameters(ULONG first, ULONG count, const ULONG* values) {
  PAGED_CODE();
  if (count == 0 || !values || !SettingsBlockFits(first, count)) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  for (ULONG j = 0; j < count; ++j) {
    const ULONG value = values[j];
    if (first + j == HEADPHONE_SETTING_ROOM) {
      if (static_cast<LONG>(value) == m_Settings[HEADPHONE_SETTING_ROOM]) {
        status = STATUS_SUCCESS;
      } else if (value <= ULONG(HEADPHONE_MAXIMUM_ROOM)) {
        // The room of the mode in force.
        if (m_Virtualizer) {
          const LONG room = static_cast<LONG>(value);
          if (m_Virtualizer->GetCtcEnable() != 0) {
            if (m_Virtualizer->GetSpeakerRoom() != room) m_Virtualizer->SetSpeakerRoom(room);
          } else if (m_Virtualizer->GetHeadphoneRoom() != room) {
            m_Virtualizer->SetHeadphoneRoom(room);
          }
        }
        status = STATUS_SUCCESS;
      }
    } else {
      const LONG flag = value != 0 ? 1 : 0;
      if (static_cast<LONG>(value) != m_Settings[HEADPHONE_SETTING_VARIANT] && m_Virtualizer) {
        if (m_Virtualizer->GetSpeakerFlag() != flag) m_Virtualizer->SetSpeakerFlag(flag);
        if (m_Virtualizer->GetHeadphoneFlag() != flag) m_Virtualizer->SetHeadphoneFlag(flag);
      }
      status = STATUS_SUCCESS;
    }
  }
  if (!NT_SUCCESS(status)) return status;
  // The block is kept as given, a room the virtualiser did not take
  // included; persisting is best effort.
  for (ULONG j = 0; j < count; ++j) {
    LONG value = static_cast<LONG>(values[j]);
    m_Settings[first + j] = value;
    m_Binding.WriteChannel(first + j, &value, sizeof value);
  }
  return STATUS_SUCCESS;
}

// ---- Stream side -------------------------------------------------------------------------------

NTSTATUS CHeadphoneEffectNode::SetFormat(const WAVEFORMATEXTENSIBLE* format) {
  if (!format) return STATUS_SUCCESS;
  CUacProcessingNode::SetFormat(format);
  m_EngineSide = m_StreamSide = m_StreamCopy = *format;
  const ULONG rate = format->Format.nSamplesPerSec;
  m_EngineRate = rate % 1000 != 0 ? kEngineRate44k : kEngineRate48k;
  if (rate != kEngineRate44k && rate != kEngineRate48k) m_EngineSide.Format.nSamplesPerSec = m_EngineRate;
  MakeFloat(&m_EngineSide);
  MakeFloat(&m_StreamSide);

  // A converter that cannot take the stream leaves it unprocessed.
  bool ready = m_Forward && m_Return;
  if (m_Forward) {
    ready = m_Forward->SetFormat(&m_StreamSide, &m_EngineSide) && ready;
    m_Forward->Reset();
  }
  if (m_Return) {
    ready = m_Return->SetFormat(&m_EngineSide, &m_StreamSide) && ready;
    m_Return->Reset();
  }
  m_ConvertersReady = ready;

  if (m_Virtualizer) {
    const WORD channels = format->Format.nChannels;
    const WORD bits = m_EngineSide.Format.wBitsPerSample;
    const WORD blockAlign = static_cast<WORD>(channels * bits / 8);
    m_EngineFormat = {WAVE_FORMAT_IEEE_FLOAT, channels, m_EngineRate, blockAlign * m_EngineRate, blockAlign, bits, 0};
    m_Virtualizer->SetFormat(&m_EngineFormat);
  }
  for (CPeakLimiter* limiter : {m_WetLimiter, m_DryLimiter})
    if (limiter) limiter->SetFormat(&m_EngineSide);
  m_CarryCount = 0;
  return STATUS_SUCCESS;
}

NTSTATUS CHeadphoneEffectNode::ResetLimiters() {
  for (CPeakLimiter* limiter : {m_WetLimiter, m_DryLimiter})
    if (limiter) limiter->Reset();
  return STATUS_SUCCESS;
}

NTSTATUS CHeadphoneEffectNode::Reset() { return ResetLimiters(); }

NTSTATUS CHeadphoneEffectNode::ConvertBlock(CDspNonInterleaveSrc* converter, ULONG inFrames, PULONG produced,
                                            float* const* in, float* const* out) {
  *produced = 0;
  if (!converter || inFrames == 0 || !in || !out) return STATUS_INVALID_PARAMETER;
  ULONG consumed = 0, position = 0;
  const uint8_t* inputs[HEADPHONE_CHANNELS] = {};
  uint8_t* outputs[HEADPHONE_CHANNELS] = {};
  while (consumed < inFrames && position < HEADPHONE_BLOCK_FRAMES) {
    for (ULONG c = 0; c < HEADPHONE_CHANNELS; ++c) {
      inputs[c] = in[c] ? reinterpret_cast<const uint8_t*>(in[c] + consumed) : nullptr;
      outputs[c] = out[c] ? reinterpret_cast<uint8_t*>(out[c] + position) : nullptr;
    }
    uint32_t taken = inFrames - consumed;
    uint32_t given = HEADPHONE_BLOCK_FRAMES - position;
    if (!converter->Process(inputs, &taken, outputs, &given)) return STATUS_UNSUCCESSFUL;
    // A converter that neither takes nor gives would keep this loop at
    // DISPATCH_LEVEL for ever.
    if (taken == 0 && given == 0) break;
    consumed += taken;
    position += given;
    *produced = position;
  }
  return STATUS_SUCCESS;
}

void CHeadphoneEffectNode::Crossfade(float* const* output, ULONG frames, LONG state) {
  const ULONG h = frames / 5, fadeOut = 2 * h, fadeEnd = 4 * h;
  const float d = static_cast<float>(2 * static_cast<LONG>(h) - 1);
  const bool toWet = state == HEADPHONE_TO_WET;
  for (ULONG c = 0; c < 2; ++c) {
    float* out = output[c];
    const float* dry = m_Dry[c];
    for (ULONG i = 0; i < frames; ++i) {
      if (i < fadeOut) {
        const float gain = 1.0f - static_cast<float>(i) / d;
        out[i] = (toWet ? dry[i] : out[i]) * gain;
      } else if (i < fadeEnd) {
        const float gain = static_cast<float>(i - fadeOut) / d;
        out[i] = (toWet ? out[i] : dry[i]) * gain;
      } else if (!toWet) {
        out[i] = dry[i];
      }
    }
  }
}

void CHeadphoneEffectNode::DeliverWithCarry(const float* const* fresh, float* const* stream, ULONG channels,
                                            ULONG blockFrames, ULONG frames) {
  const ULONG carried = m_CarryCount;
  if (carried + frames < blockFrames) {
    // Too little for the block: silence first, so that what follows runs
    // on without a gap.
    const ULONG gap = blockFrames - carried - frames;
    for (ULONG c = 0; c < channels; ++c) {
      RtlZeroMemory(stream[c], gap * sizeof(float));
      CopyFloats(stream[c] + gap, m_Carry[c], carried);
      CopyFloats(stream[c] + gap + carried, fresh[c], frames);
    }
    m_CarryCount = 0;
    return;
  }
  const ULONG fromCarry = carried < blockFrames ? carried : blockFrames;
  const ULONG fromFresh = blockFrames - fromCarry;
  const ULONG leftInCarry = carried - fromCarry;
  ULONG leftFresh = frames - fromFresh;
  // The newest samples that do not fit the carry set are dropped.
  if (leftFresh > HEADPHONE_BLOCK_FRAMES - leftInCarry) leftFresh = HEADPHONE_BLOCK_FRAMES - leftInCarry;
  for (ULONG c = 0; c < channels; ++c) {
    CopyFloats(stream[c], m_Carry[c], fromCarry);
    CopyFloats(stream[c] + fromCarry, fresh[c], fromFresh);
    if (leftInCarry) RtlMoveMemory(m_Carry[c], m_Carry[c] + fromCarry, leftInCarry * sizeof(float));
    CopyFloats(m_Carry[c] + leftInCarry, fresh[c] + fromFresh, leftFresh);
  }
  m_CarryCount = leftInCarry + leftFresh;
}

NTSTATUS CHeadphoneEffectNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  const bool changed = InterlockedExchange(&m_ReconfigureFlags[0], 0) != 0;
  if (changed) InterlockedExchange(&m_Crossfade, m_Value != 0 ? HEADPHONE_TO_WET : HEADPHONE_TO_DRY);
  if (!m_Virtualizer || !format || !data || EffectiveFormatTag(*format) != WAVE_FORMAT_PCM) return STATUS_SUCCESS;
  // The converters and limiters were set up for the stream SetFormat gave.
  const ULONG channels = format->Format.nChannels;
  if (!m_ConvertersReady || channels == 0 || channels != m_StreamSide.Format.nChannels ||
      format->Format.nSamplesPerSec != m_StreamSide.Format.nSamplesPerSec || frames == 0 ||
      frames > HEADPHONE_BLOCK_FRAMES)
    return STATUS_SUCCESS;
  float* const* stream = static_cast<float* const*>(data);

  ULONG engineFrames = 0;
  if (!NT_SUCCESS(ConvertBlock(m_Forward, frames, &engineFrames, stream, m_Wet)) || engineFrames == 0)
    return STATUS_SUCCESS;
  // The virtualiser reads eight channels: those the stream lacks are silent.
  for (ULONG c = channels; c < HEADPHONE_CHANNELS; ++c) RtlZeroMemory(m_Wet[c], engineFrames * sizeof(float));
  for (ULONG c = 0; c < channels; ++c) CopyFloats(m_Dry[c], m_Wet[c], engineFrames);
  ChannelMixdown(m_Dry, channels, 2, engineFrames);
  m_DryLimiter->Process(m_Dry, engineFrames);
  m_Virtualizer->Process(m_Wet, static_cast<int32_t>(engineFrames));
  m_WetLimiter->Process(m_Wet, engineFrames);

  // A stereo stream keeps its own samples.
  if (channels == 2) return STATUS_SUCCESS;
  float* const* output = (m_Value != 0 || changed) ? m_Wet : m_Dry;
  const LONG state = m_Crossfade;
  if (state == HEADPHONE_TO_WET || state == HEADPHONE_TO_DRY) {
    Crossfade(output, engineFrames, state);
    InterlockedExchange(&m_Crossfade, HEADPHONE_STEADY);
  }

  ULONG streamFrames = 0;
  if (!NT_SUCCESS(ConvertBlock(m_Return, engineFrames, &streamFrames, output, m_Returned))) return STATUS_SUCCESS;
  DeliverWithCarry(m_Returned, stream, channels, frames, streamFrames);
  return STATUS_SUCCESS;
}
