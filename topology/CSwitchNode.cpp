#include "topology/CSwitchNode.h"

#include <atomic>

#include "topology/OutputTypeChannels.h"

CSwitchNode::CSwitchNode(PUNKNOWN outerUnknown, ULONG nodeId, ULONG nodeType)
    : CTopoNode(outerUnknown, nodeId, nodeType) {}

CSwitchNode::~CSwitchNode() {
  if (m_Values) ExFreePool(m_Values);
}

NTSTATUS CSwitchNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_ISwitchNode)) {
    *object = static_cast<ISwitchNode*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IOutputTypeSink)) {
    *object = static_cast<IOutputTypeSink*>(this);
  } else {
    return CTopoNode::NonDelegatingQueryInterface(iid, object);
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

UCHAR CSwitchNode::LoadValue(ULONG channel) const {
  return std::atomic_ref<UCHAR>(m_Values[channel]).load(std::memory_order_relaxed);
}

void CSwitchNode::StoreValue(ULONG channel, UCHAR value) {
  std::atomic_ref<UCHAR>(m_Values[channel]).store(value, std::memory_order_relaxed);
}

NTSTATUS CSwitchNode::GetValue(ULONG channel, PUCHAR value) {
  if (!value || !ValidChannel(channel)) return STATUS_INVALID_PARAMETER;
  *value = LoadValue(channel);
  return STATUS_SUCCESS;
}

NTSTATUS CSwitchNode::SetValue(ULONG channel, UCHAR value) {
  if (!ValidChannel(channel)) return STATUS_INVALID_PARAMETER;
  StoreValue(channel, value);
  return STATUS_SUCCESS;
}

NTSTATUS CSwitchNode::GetChannelCount(PULONG count) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = ReportedChannelCount(m_ChannelCount, m_OutputType);
  return STATUS_SUCCESS;
}

NTSTATUS CSwitchNode::AllocateValues(ULONG channels, POOL_TYPE poolType, ULONG tag) {
  if (m_Values) ExFreePool(m_Values);
  m_Values = nullptr;
  m_ChannelCount = 0;
  m_Values = static_cast<PUCHAR>(ExAllocatePoolWithTag(poolType, SIZE_T(channels) + 1, tag));
  if (!m_Values) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(m_Values, SIZE_T(channels) + 1);
  return STATUS_SUCCESS;
}

NTSTATUS CSwitchNode::Init(ULONG sourceId, ULONG channels) {
  PAGED_CODE();
  NTSTATUS status = AllocateValues(channels, NonPagedPool, SWITCH_NODE_TAG);
  if (NT_SUCCESS(status)) status = SetSourceIds(1, &sourceId);
  if (!NT_SUCCESS(status)) {
    if (m_Values) ExFreePool(m_Values);
    m_Values = nullptr;
    return status;
  }
  m_ChannelCount = channels;
  return STATUS_SUCCESS;
}

NTSTATUS CSwitchNode::SetOutputType(ULONG outputType, PCALLBACK_OBJECT) {
  m_OutputType = outputType;
  return STATUS_SUCCESS;
}
