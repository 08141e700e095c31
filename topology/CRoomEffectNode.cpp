#include "topology/CRoomEffectNode.h"

#include <cstring>

#include "driver/common/SpinLockScope.h"
#include "dsp/CChannelConversion.h"
#include "primitives/Vector.h"

namespace {

constexpr ULONG kChannels = MAX_SOFTWARE_DSP_PROCESS_CHANNELS;

// The effect has a network for 5.1 and 7.1 only; any other layout would
// come out of it as silence and a decaying tail.
bool EffectTakes(ULONG channels) { return channels == 6 || channels == 8; }

// The limiters always see the folded front pair as float.
WAVEFORMATEXTENSIBLE FrontPairFloat(const WAVEFORMATEXTENSIBLE& format) {
  WAVEFORMATEXTENSIBLE pair = format;
  if (pair.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    pair.Samples.wValidBitsPerSample = 32;
    pair.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  } else {
    pair.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  }
  pair.Format.nChannels = 2;
  pair.Format.nBlockAlign = 8;
  pair.Format.wBitsPerSample = 32;
  pair.Format.nAvgBytesPerSec = pair.Format.nSamplesPerSec * 8;
  return pair;
}

}  // namespace

CRoomEffectNode::CRoomEffectNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacProcessingNode(outerUnknown, nodeId) {
  KeInitializeSpinLock(&m_ProcessLock);
}

CRoomEffectNode::~CRoomEffectNode() {
  for (ULONG c = 0; c < kChannels; ++c) {
    DspFreeArray(m_DrySet[c]);
    DspFreeArray(m_WetSet[c]);
  }
  for (CPeakLimiter* limiter : {m_WetLimiter, m_DryLimiter}) {
    if (!limiter) continue;
    limiter->Free();
    delete limiter;
  }
  delete m_RoomEffect;
}

NTSTATUS CRoomEffectNode::Init(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject) {
  PAGED_CODE();
  m_Name = NODE_NAME_ROOM_EFFECT;
  NTSTATUS status = InitFromUnit(unit, controlSelector, deviceObject);
  if (!NT_SUCCESS(status)) return status;
  m_BoundToUnit = true;
  return CreateParts();
}

NTSTATUS CRoomEffectNode::CreateParts() {
  NTSTATUS status = CreateBufferSet(m_DrySet);
  if (NT_SUCCESS(status)) status = CreateBufferSet(m_WetSet);
  if (NT_SUCCESS(status)) status = CreateRoomEffect();
  if (NT_SUCCESS(status)) status = CreateLimiter(m_WetLimiter, ROOM_WET_LIMITER_GAIN);
  if (NT_SUCCESS(status)) status = CreateLimiter(m_DryLimiter, 1.0f);
  return status;
}

NTSTATUS CRoomEffectNode::CreateBufferSet(float* (&set)[MAX_SOFTWARE_DSP_PROCESS_CHANNELS]) {
  for (ULONG c = 0; c < kChannels; ++c) {
    if (!set[c]) set[c] = DspAllocateArray<float>(ROOM_NODE_BLOCK_FRAMES, ROOM_NODE_BUFFER_TAG);
    if (!set[c]) return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CRoomEffectNode::CreateRoomEffect() {
  if (m_RoomEffect) return STATUS_SUCCESS;
  m_RoomEffect = new (NonPagedPool, DSP_OBJECT_TAG) CRoomEffect();
  if (!m_RoomEffect) return STATUS_INSUFFICIENT_RESOURCES;
  m_RoomEffect->Init();
  return STATUS_SUCCESS;
}

NTSTATUS CRoomEffectNode::CreateLimiter(CPeakLimiter*& limiter, float gain) {
  if (limiter) return STATUS_SUCCESS;
  auto* created = new (NonPagedPool, ROOM_NODE_LIMITER_TAG) CPeakLimiter();
  if (!created) return STATUS_INSUFFICIENT_RESOURCES;
  if (!created->Allocate()) {
    created->Free();
    delete created;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  created->SetMode(0);
  created->SetGain(gain);
  created->SetCeiling(1.0f);
  limiter = created;
  return STATUS_SUCCESS;
}

bool CRoomEffectNode::HasEveryPart() const {
  for (ULONG c = 0; c < kChannels; ++c)
    if (!m_DrySet[c] || !m_WetSet[c]) return false;
  return m_RoomEffect && m_WetLimiter && m_DryLimiter;
}

NTSTATUS CRoomEffectNode::SetFormat(const WAVEFORMATEXTENSIBLE* format) {
  if (!format) return STATUS_SUCCESS;
  m_Format = *format;
  const ULONG channels = format->Format.nChannels;
  // A channel count the effect has no mode for keeps its last mode.
  if (m_RoomEffect && channels >= 1 && channels <= kChannels)
    m_RoomEffect->SetFormat(format->Format.nSamplesPerSec, static_cast<int32_t>(channels) - 1);
  const WAVEFORMATEXTENSIBLE pair = FrontPairFloat(*format);
  if (m_WetLimiter) m_WetLimiter->SetFormat(&pair);
  if (m_DryLimiter) m_DryLimiter->SetFormat(&pair);
  return STATUS_SUCCESS;
}

NTSTATUS CRoomEffectNode::ResetLimiters() {
  if (m_WetLimiter) m_WetLimiter->ResetThunk();
  if (m_DryLimiter) m_DryLimiter->ResetThunk();
  return STATUS_SUCCESS;
}

NTSTATUS CRoomEffectNode::Reset() {
  if (m_RoomEffect) m_RoomEffect->Reset();
  if (m_WetLimiter) m_WetLimiter->Reset();
  if (m_DryLimiter) m_DryLimiter->Reset();
  return STATUS_SUCCESS;
}

bool CRoomEffectNode::TakeSetting() {
  CQueuedSpinLockScope lock(m_ProcessLock);
  if (!TakeReconfigureFlag(1)) return false;
  const ULONG previous = m_EffectSwitch;
  m_EffectSwitch = m_Value;
  return (previous != 0) != (m_EffectSwitch != 0);
}

// Fades the front pair of the chosen set over 2R samples (R = 2 ms): to wet,
// the dry signal goes out and the wet one comes in; to dry, the other way.
// A block shorter than the ramp ends it early.
void CRoomEffectNode::CrossfadeFrontPair(float* const* out, ULONG frames) {
  const ULONG ramp = 2 * (m_Format.Format.nSamplesPerSec / 1000);
  const float last = static_cast<float>(ramp) - 1.0f;
  const ULONG fadeOutEnd = ramp < frames ? ramp : frames;
  const ULONG fadeInEnd = 2 * ramp < frames ? 2 * ramp : frames;
  for (ULONG c = 0; c < 2; ++c) {
    float* o = out[c];
    const float* dry = m_DrySet[c];
    if (m_Crossfade == CROSSFADE_TO_WET) {
      for (ULONG i = 0; i < fadeOutEnd; ++i) o[i] = (1.0f - static_cast<float>(i) / last) * dry[i];
      for (ULONG i = ramp; i < fadeInEnd; ++i) o[i] = o[i] * (static_cast<float>(i - ramp) / last);
    } else {
      for (ULONG i = 0; i < fadeOutEnd; ++i) o[i] = o[i] * (1.0f - static_cast<float>(i) / last);
      for (ULONG i = ramp; i < fadeInEnd; ++i) o[i] = (static_cast<float>(i - ramp) / last) * dry[i];
      for (ULONG i = fadeInEnd; i < frames; ++i) o[i] = dry[i];
    }
  }
  m_Crossfade = CROSSFADE_STEADY;
}

NTSTATUS CRoomEffectNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  // A change is taken over whatever the stream carries, so that it is not
  // lost on a stream the node leaves alone. A change that leaves the switch
  // where it was (a refused set, a refresh to the same value) has nothing
  // to fade.
  if (InterlockedExchange(&m_ReconfigureFlags[0], 0) != 0 && m_RoomEffect && TakeSetting())
    m_Crossfade = m_EffectSwitch ? CROSSFADE_TO_WET : CROSSFADE_TO_DRY;
  if (!format || EffectiveFormatTag(*format) != WAVE_FORMAT_PCM) return STATUS_SUCCESS;

  const ULONG channels = format->Format.nChannels;
  auto* const* stream = static_cast<float* const*>(data);
  if (!stream || channels < 1 || channels > kChannels || frames > ROOM_NODE_BLOCK_FRAMES)
    return STATUS_INVALID_PARAMETER;
  for (ULONG c = 0; c < channels; ++c)
    if (!stream[c]) return STATUS_INVALID_PARAMETER;
  // A stereo stream has nothing to fold; it stays as it came.
  if (channels == 2 || frames == 0 || !HasEveryPart()) return STATUS_SUCCESS;

  CQueuedSpinLockScope lock(m_ProcessLock);
  const bool wetPath = EffectTakes(channels);
  const size_t bytes = frames * sizeof(float);
  for (ULONG c = 0; c < channels; ++c) {
    VecAddConstF32InPlace(ROOM_DENORMAL_GUARD, stream[c], static_cast<int32_t>(frames));
    memcpy(m_DrySet[c], stream[c], bytes);
    if (wetPath) memcpy(m_WetSet[c], stream[c], bytes);
  }
  // The dry limiter links the pair: a mono stream's second channel must not
  // be left over from an earlier stream.
  if (channels == 1) memset(m_DrySet[1], 0, bytes);

  ChannelMixdown(m_DrySet, channels, 2, frames);
  m_DryLimiter->Process(m_DrySet, frames);

  if (wetPath) {
    // Only this stream's channels feed the effect, which scales what it is
    // given: the set's other buffers hold nothing of this block.
    float* wetInputs[kChannels] = {};
    for (ULONG c = 0; c < channels; ++c) wetInputs[c] = m_WetSet[c];
    float* const wetOutputs[2] = {m_WetSet[0], m_WetSet[1]};
    m_RoomEffect->Process(wetInputs, wetOutputs, frames);
    m_WetLimiter->Process(m_WetSet, frames);
  }

  // Layouts the effect does not take keep the dry fold whatever the switch,
  // and so have nothing to fade. The block that switches the effect off
  // starts from the wet signal, so that the crossfade takes it away rather
  // than cut it.
  const bool wetOut = wetPath && (m_EffectSwitch || m_Crossfade == CROSSFADE_TO_DRY);
  float* const* out = wetOut ? m_WetSet : m_DrySet;
  if (!wetPath)
    m_Crossfade = CROSSFADE_STEADY;
  else if (m_Crossfade != CROSSFADE_STEADY)
    CrossfadeFrontPair(out, frames);

  // Only the front pair carries the result. The other channels keep what
  // the dry set holds of them, which is the stream's own (the fold leaves
  // them alone), never the effect's inputs, which it left at 32,768 times
  // their scale.
  const ULONG front = channels < 2 ? channels : 2;
  for (ULONG c = 0; c < front; ++c) memcpy(stream[c], out[c], bytes);
  return STATUS_SUCCESS;
}
