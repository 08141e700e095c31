#include "variants/CUacSoftwareVolumeNode.h"

#include "primitives/Vector.h"
#include "variants/PowTable.h"

namespace {

bool IsIntegerPcm(const WAVEFORMATEXTENSIBLE* format) {
  const ULONG tag = format->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? (format->SubFormat.Data1 & 0xFFFF)
                                                                         : format->Format.wFormatTag;
  return tag == WAVE_FORMAT_PCM;
}

}  // namespace

float LevelToGain(LONG level) {
  return PowTableF(10.0f, static_cast<float>(level) / 65536.0f / 20.0f);
}

CUacSoftwareVolumeNode::~CUacSoftwareVolumeNode() {
  if (m_Gains) ExFreePool(m_Gains);
}

NTSTATUS CUacSoftwareVolumeNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  IUnknown* answer = nullptr;
  if (IsEqualGUIDAligned(iid, IID_IDspProcessor)) {
    answer = static_cast<IDspProcessor*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_ISelectorInputNode)) {
    answer = static_cast<ISelectorInputNode*>(this);
  } else {
    return CUacVolumeNode::NonDelegatingQueryInterface(iid, object);
  }
  *object = answer;
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

void CUacSoftwareVolumeNode::StoreGain(ULONG channel, float gain) {
  std::atomic_ref<float>(m_Gains[channel]).store(gain, std::memory_order_relaxed);
}

float CUacSoftwareVolumeNode::GetGain(ULONG channel) const {
  if (!m_Gains || channel >= m_ChannelCount) return 0.0f;
  return std::atomic_ref<float>(m_Gains[channel]).load(std::memory_order_relaxed);
}

NTSTATUS CUacSoftwareVolumeNode::InitFromUnit(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT settingsOwner) {
  PAGED_CODE();
  NTSTATUS status = InitLevelNodeFromUnit(this, unit, controlSelector, settingsOwner);
  if (!NT_SUCCESS(status)) return status;
  const SIZE_T entries = SIZE_T(m_ChannelCount) + 1;
  auto* gains = static_cast<float*>(ExAllocatePoolWithTag(NonPagedPool, entries * sizeof(float),
                                                          SOFTWARE_VOLUME_GAIN_TAG));
  if (!gains) return STATUS_INSUFFICIENT_RESOURCES;
  // The loaded levels as they are: a stored level outside the device's
  // range is still what the user chose last.
  for (ULONG c = 0; c < m_ChannelCount; ++c) gains[c] = LevelToGain(m_Values[c]);
  gains[m_ChannelCount] = 1.0f;
  if (m_Gains) ExFreePool(m_Gains);
  m_Gains = gains;
  return STATUS_SUCCESS;
}

NTSTATUS CUacSoftwareVolumeNode::SetLevel(ULONG channel, LONG level) {
  PAGED_CODE();
  // The device, the cache and the gain move together: a refresh or another
  // set in between would leave the gain of one level beside another.
  CBindingGuard guard(m_Binding);
  if (!ValidChannel(channel)) return STATUS_INVALID_PARAMETER;
  CUacVolumeNode::SetLevel(channel, level);
  if (level != LEVEL_MINUS_INFINITY) {
    if (level < m_Minimum) level = m_Minimum;
    if (level > m_Maximum) level = m_Maximum;
  }
  if (m_Gains) StoreGain(channel, LevelToGain(level));
  return STATUS_SUCCESS;
}

NTSTATUS CUacSoftwareVolumeNode::SetOutputType(ULONG outputType, PCALLBACK_OBJECT callbackObject) {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  CUacVolumeNode::SetOutputType(outputType, callbackObject);
  // The base reloads only the channels the new output type shows; the
  // software gain applies to every channel of the stream.
  for (ULONG channel = 0; channel < m_ChannelCount && m_Values; ++channel) {
    ReadStoredLevel(channel, &m_Values[channel]);
    SetLevel(channel, m_Values[channel]);
  }
  if (callbackObject) NotifyNodeChange(callbackObject, m_NodeId);
  return STATUS_SUCCESS;
}

NTSTATUS CUacSoftwareVolumeNode::RefreshFromDevice() {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  ILevelControl* control = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ILevelControl, &control);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG channel = 0; channel < m_ChannelCount && m_Values; ++channel) {
    LONG level = 0;
    status = control->GetLevel(m_Binding.controlSelector, channel, &level);
    if (!NT_SUCCESS(status)) break;
    SetLevel(channel, level);
    m_Values[channel] = level;
    m_Binding.WriteChannel(channel, &level, sizeof level);
  }
  control->Release();
  return status;
}

NTSTATUS CUacSoftwareVolumeNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  if (!format || !data || !m_Gains || frames == 0 || !m_Selection.IsSelected() || !IsIntegerPcm(format))
    return STATUS_SUCCESS;
  auto* const* channels = static_cast<float* const*>(data);
  const ULONG count = format->Format.nChannels < m_ChannelCount ? format->Format.nChannels : m_ChannelCount;
  for (ULONG c = 0; c < count; ++c) {
    if (channels[c]) VecMulConstF32InPlace(GetGain(c), channels[c], static_cast<int32_t>(frames));
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUacSoftwareVolumeNode::SetSelectedInput(ULONG input) {
  m_Selection.SetSelected(input);
  return STATUS_SUCCESS;
}

NTSTATUS CUacSoftwareVolumeNode::SetInputIndex(ULONG input) {
  m_Selection.SetIndex(input);
  return STATUS_SUCCESS;
}
