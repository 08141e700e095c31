#include "variants/7753/C7753Nodes.h"

#include "driver/common/CStreamEngine.h"
#include "primitives/Convert.h"
#include "primitives/Power.h"
#include "primitives/Vector.h"
#include "variants/7753/C7753Codec.h"

namespace {

// 20 dB per decade, in the levels' 1/65536 dB.
constexpr float kLevelPerDecade = 20.0f * 65536.0f;
constexpr float kAttenuation = 0.25f;
// The two channel pairs the swap trades, counted from 0.
constexpr ULONG kSwapFirst = 4, kSwapSecond = 6;

bool IsPcm(const WAVEFORMATEXTENSIBLE* format) { return EffectiveFormatTag(*format) == WAVE_FORMAT_PCM; }

// A stream the processors may touch: its channels fit the engine's buffers.
bool Processable(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  return format && data && frames != 0 && format->Format.nChannels <= C7753_MAX_PROCESSED_CHANNELS;
}

template <typename TNode>
NTSTATUS AnswerProcessor(TNode* node, REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (!IsEqualGUIDAligned(iid, IID_IDspProcessor)) return STATUS_NOT_FOUND;
  *object = static_cast<IDspProcessor*>(node);
  node->NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

}  // namespace

void C7753MuteStream(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  if (!Processable(format, data, frames)) return;
  if (IsPcm(format)) {
    if (frames > STREAM_ENGINE_CHUNK_FRAMES) return;
    auto* const* channels = static_cast<float* const*>(data);
    for (ULONG c = 0; c < format->Format.nChannels; ++c)
      if (channels[c]) VecZeroF32(channels[c], static_cast<int32_t>(frames));
    return;
  }
  // The chunk is the engine's; only a block the size of a channel buffer is
  // known to lie inside it.
  const ULONGLONG bytes = ULONGLONG(frames) * format->Format.nBlockAlign;
  if (bytes <= STREAM_ENGINE_CHANNEL_BUFFER_BYTES) RtlZeroMemory(data, static_cast<SIZE_T>(bytes));
}

// ============================================================================
// Unit 13

NTSTATUS C7753FeatureUnit13MuteNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  NTSTATUS status = AnswerProcessor(this, iid, object);
  return status == STATUS_NOT_FOUND ? CUacMuteNode::NonDelegatingQueryInterface(iid, object) : status;
}

NTSTATUS C7753FeatureUnit13MuteNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  if (!m_Values || LoadValue(0) == 0) return STATUS_SUCCESS;
  if (std::atomic_ref<ULONG>(m_OutputType).load(std::memory_order_relaxed) != C7753_SPDIF_OUTPUT_TYPE)
    return STATUS_SUCCESS;
  C7753MuteStream(format, data, frames);
  return STATUS_SUCCESS;
}

NTSTATUS C7753FeatureUnit13VolumeNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  NTSTATUS status = AnswerProcessor(this, iid, object);
  return status == STATUS_NOT_FOUND ? CUacVolumeNode::NonDelegatingQueryInterface(iid, object) : status;
}

NTSTATUS C7753FeatureUnit13VolumeNode::Init(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject) {
  PAGED_CODE();
  NTSTATUS status = InitLevelNodeFromUnit(this, unit, controlSelector, deviceObject);
  if (!NT_SUCCESS(status)) return status;
  if (m_ChannelCount > C7753_MAX_PROCESSED_CHANNELS) return STATUS_UNSUCCESSFUL;
  ComputeGains(0, m_ChannelCount);
  return STATUS_SUCCESS;
}

void C7753FeatureUnit13VolumeNode::ComputeGains(ULONG first, ULONG count) {
  if (!m_Values || first >= m_ChannelCount || first + count > m_ChannelCount) return;
  float exponents[C7753_MAX_PROCESSED_CHANNELS];
  float gains[C7753_MAX_PROCESSED_CHANNELS];
  float base[C7753_MAX_PROCESSED_CHANNELS];
  const auto n = static_cast<int32_t>(count);
  ConvS32ToF32(reinterpret_cast<const int32_t*>(m_Values + first), exponents, n);
  VecDivConstF32InPlace(kLevelPerDecade, exponents, n);
  VecSetF32(10.0f, base, n);
  VecPowF32(base, exponents, gains, n);
  for (ULONG c = 0; c < count; ++c)
    std::atomic_ref<float>(m_Gains[first + c]).store(gains[c], std::memory_order_relaxed);
}

float C7753FeatureUnit13VolumeNode::GetGain(ULONG channel) const {
  if (channel >= C7753_MAX_PROCESSED_CHANNELS) return 1.0f;
  return std::atomic_ref<float>(const_cast<float&>(m_Gains[channel])).load(std::memory_order_relaxed);
}

NTSTATUS C7753FeatureUnit13VolumeNode::SetLevel(ULONG channel, LONG level) {
  PAGED_CODE();
  // The gains follow the values under the node's lock, so that the last
  // setter's gain is the one kept.
  CBindingGuard guard(m_Binding);
  NTSTATUS status = CUacVolumeNode::SetLevel(channel, level);
  if (NT_SUCCESS(status)) ComputeGains(channel, 1);
  return status;
}

NTSTATUS C7753FeatureUnit13VolumeNode::SetOutputType(ULONG outputType, PCALLBACK_OBJECT callbackObject) {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  CUacVolumeNode::SetOutputType(outputType, callbackObject);
  ComputeGains(0, m_ChannelCount);
  return STATUS_SUCCESS;
}

NTSTATUS C7753FeatureUnit13VolumeNode::RefreshFromDevice() {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  NTSTATUS status = CUacVolumeNode::RefreshFromDevice();
  if (NT_SUCCESS(status)) ComputeGains(0, m_ChannelCount);
  return status;
}

NTSTATUS C7753FeatureUnit13VolumeNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  if (!Processable(format, data, frames) || !IsPcm(format) || frames > STREAM_ENGINE_CHUNK_FRAMES)
    return STATUS_SUCCESS;
  if (std::atomic_ref<ULONG>(m_OutputType).load(std::memory_order_relaxed) != C7753_SPDIF_OUTPUT_TYPE)
    return STATUS_SUCCESS;
  auto* const* channels = static_cast<float* const*>(data);
  for (ULONG c = 0; c < format->Format.nChannels; ++c)
    if (channels[c]) VecMulConstF32InPlace(GetGain(c), channels[c], static_cast<int32_t>(frames));
  return STATUS_SUCCESS;
}

// ============================================================================
// Unit 16, the software mute and the LED switch

NTSTATUS C7753FeatureUnit16MuteNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  NTSTATUS status = AnswerProcessor(this, iid, object);
  return status == STATUS_NOT_FOUND ? CUacSelectorInputMuteNode::NonDelegatingQueryInterface(iid, object) : status;
}

NTSTATUS C7753FeatureUnit16MuteNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  // The node sits on the S/PDIF recording input; which input number that is
  // depends on the sources the rewrite left, so the node asks whether its own
  // input is the selected one.
  if (!m_Values || LoadValue(0) == 0 || !IsSelectedInput()) return STATUS_SUCCESS;
  C7753MuteStream(format, data, frames);
  return STATUS_SUCCESS;
}

NTSTATUS C7753SoftwareMuteNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  NTSTATUS status = AnswerProcessor(this, iid, object);
  return status == STATUS_NOT_FOUND ? CUacMuteNode::NonDelegatingQueryInterface(iid, object) : status;
}

NTSTATUS C7753SoftwareMuteNode::SetValue(ULONG channel, UCHAR value) {
  PAGED_CODE();
  return KeepValue(channel, value);
}

NTSTATUS C7753SoftwareMuteNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  if (m_Values && LoadValue(0) != 0) C7753MuteStream(format, data, frames);
  return STATUS_SUCCESS;
}

NTSTATUS C7753LedSwitchNode::Init(ITopoNode* unit, PDEVICE_OBJECT deviceObject, IC7753CodecWriter* codec) {
  PAGED_CODE();
  NTSTATUS status = InitFromUnit(unit, deviceObject);
  if (NT_SUCCESS(status)) m_Codec = codec;
  return status;
}

NTSTATUS C7753LedSwitchNode::GetValue(ULONG channel, PUCHAR value) {
  if (channel != 0 || !value) return STATUS_INVALID_PARAMETER;
  return CSwitchNode::GetValue(channel, value);
}

NTSTATUS C7753LedSwitchNode::SetValue(ULONG channel, UCHAR value) {
  PAGED_CODE();
  if (!m_Codec || channel != 0) return STATUS_INVALID_PARAMETER;
  // The register and the kept value change together.
  CBindingGuard guard(m_Binding);
  NTSTATUS status = m_Codec->WriteCodecRegister(C7753_LED_REGISTER, value ? C7753_LED_UNMUTE_BITS : C7753_LED_MUTE_BITS,
                                              C7753_LED_MASK);
  if (!NT_SUCCESS(status)) return status;
  return CUacBoardSwitchNode::SetValue(channel, value);
}

// ============================================================================
// Stand-alone processors

NTSTATUS CRenderGainNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  NTSTATUS status = AnswerProcessor(this, iid, object);
  return status == STATUS_NOT_FOUND ? CUnknownBase::NonDelegatingQueryInterface(iid, object) : status;
}

NTSTATUS CRenderGainNode::ResetMode() {
  SetMode(0);
  return STATUS_SUCCESS;
}

NTSTATUS CRenderGainNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  if (!Processable(format, data, frames) || !IsPcm(format) || frames > STREAM_ENGINE_CHUNK_FRAMES)
    return STATUS_SUCCESS;
  const ULONG mode = GetMode();
  if (mode != 1 && mode != 2) return STATUS_SUCCESS;
  auto* const* channels = static_cast<float* const*>(data);
  for (ULONG c = 0; c < format->Format.nChannels; ++c) {
    if (!channels[c]) continue;
    if (mode == 1)
      VecMulConstF32InPlace(kAttenuation, channels[c], static_cast<int32_t>(frames));
    else
      VecZeroF32(channels[c], static_cast<int32_t>(frames));
  }
  return STATUS_SUCCESS;
}

NTSTATUS C7753ChannelSwapProcessor::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  NTSTATUS status = AnswerProcessor(this, iid, object);
  return status == STATUS_NOT_FOUND ? CUnknownBase::NonDelegatingQueryInterface(iid, object) : status;
}

NTSTATUS C7753ChannelSwapProcessor::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  if (!Processable(format, data, frames) || !IsPcm(format) || format->Format.nChannels != 8) return STATUS_SUCCESS;
  auto** channels = static_cast<float**>(data);
  for (ULONG c = 0; c < 2; ++c) {
    float* swap = channels[kSwapFirst + c];
    channels[kSwapFirst + c] = channels[kSwapSecond + c];
    channels[kSwapSecond + c] = swap;
  }
  return STATUS_SUCCESS;
}
