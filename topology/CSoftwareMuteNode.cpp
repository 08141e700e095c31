#include "topology/CSoftwareMuteNode.h"

#include "primitives/Vector.h"

namespace {

// Integer PCM reaches the processors as per-channel floats; anything else
// as the interleaved buffer itself.
bool IsPcm(const WAVEFORMATEXTENSIBLE* format) {
  if (format->Format.wFormatTag == WAVE_FORMAT_PCM) return true;
  return format->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && (format->SubFormat.Data1 & 0xFFFF) == WAVE_FORMAT_PCM;
}

}  // namespace

NTSTATUS CSoftwareMuteNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IDspProcessor)) {
    *object = static_cast<IDspProcessor*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CSwitchNode::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CSoftwareMuteNode::Init(ULONG sourceId, ULONG channels) {
  PAGED_CODE();
  if (channels != 1) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = AllocateValues(1, NonPagedPool, SOFTWARE_MUTE_VALUES_TAG);
  if (NT_SUCCESS(status)) status = SetSourceIds(1, &sourceId);
  if (!NT_SUCCESS(status)) {
    if (m_Values) ExFreePool(m_Values);
    m_Values = nullptr;
    return status;
  }
  m_ChannelCount = 1;
  return STATUS_SUCCESS;
}

NTSTATUS CSoftwareMuteNode::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  if (!format || !data || !m_Values || LoadValue(0) == 0 || frames == 0) return STATUS_SUCCESS;
  if (IsPcm(format)) {
    auto* const* channels = static_cast<float* const*>(data);
    for (ULONG c = 0; c < format->Format.nChannels; ++c) VecZeroF32(channels[c], static_cast<int32_t>(frames));
  } else {
    RtlZeroMemory(data, SIZE_T(frames) * format->Format.nBlockAlign);
  }
  return STATUS_SUCCESS;
}
