#include "topology/CUacSwitchNode.h"

CUacSwitchNode::CUacSwitchNode(PUNKNOWN outerUnknown, ULONG nodeId, ULONG nodeType)
    : CSwitchNode(outerUnknown, nodeId, nodeType) {}

NTSTATUS CUacSwitchNode::InitFromUnit(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject) {
  PAGED_CODE();
  m_Binding.unit = unit;
  ISwitchControl* control = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ISwitchControl, &control);
  if (!NT_SUCCESS(status)) return status;
  ULONG channels = 0;
  status = control->GetSwitchChannelCount(controlSelector, &channels);
  if (NT_SUCCESS(status)) {
    m_Binding.controlSelector = controlSelector;
    status = Init(0, channels);
  }
  if (NT_SUCCESS(status)) {
    m_Binding.deviceObject = deviceObject;
    FormatChannelValuePrefix(m_Binding.valueName, m_NodeId, m_OutputType);
    for (ULONG channel = 0; channel < m_ChannelCount; ++channel) {
      UCHAR value = 0;
      control->GetSwitchValue(controlSelector, channel, &value);
      m_Binding.ReadChannelIfUsable(channel, &value, IsSwitchValue);
      StoreValue(channel, value);
    }
  }
  control->Release();
  return status;
}

NTSTATUS CUacSwitchNode::SetValue(ULONG channel, UCHAR value) {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  if (!ValidChannel(channel)) return STATUS_INVALID_PARAMETER;
  ISwitchControl* control = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ISwitchControl, &control);
  if (NT_SUCCESS(status)) {
    status = control->SetSwitchValue(m_Binding.controlSelector, channel, value);
    control->Release();
  }
  // Kept whatever the device said, so the node shows what was asked for;
  // the caller still learns that the device did not take it.
  StoreValue(channel, value);
  m_Binding.WriteChannel(channel, &value, sizeof value);
  return status;
}

NTSTATUS CUacSwitchNode::KeepValue(ULONG channel, UCHAR value) {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  if (!ValidChannel(channel)) return STATUS_INVALID_PARAMETER;
  StoreValue(channel, value);
  m_Binding.WriteChannel(channel, &value, sizeof value);
  return STATUS_SUCCESS;
}

NTSTATUS CUacSwitchNode::SetOutputType(ULONG outputType, PCALLBACK_OBJECT callbackObject) {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  m_OutputType = outputType;
  FormatChannelValuePrefix(m_Binding.valueName, m_NodeId, m_OutputType);
  ULONG channels = 0;
  GetChannelCount(&channels);
  for (ULONG channel = 0; channel < channels && ValidChannel(channel); ++channel) {
    UCHAR value = LoadValue(channel);
    m_Binding.ReadChannelIfUsable(channel, &value, IsSwitchValue);
    StoreValue(channel, value);
    SetValue(channel, value);
  }
  NotifyNodeChange(callbackObject, m_NodeId);
  return STATUS_SUCCESS;
}

NTSTATUS CUacSwitchNode::ApplyToDevice(ULONG, PVOID) {
  PAGED_CODE();
  if (!m_ChannelCount || !m_Values) return STATUS_INVALID_PARAMETER;
  for (ULONG channel = 0; channel < m_ChannelCount; ++channel) SetValue(channel, LoadValue(channel));
  return STATUS_SUCCESS;
}

NTSTATUS CUacSwitchNode::RefreshFromDevice() {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  ISwitchControl* control = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ISwitchControl, &control);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG channel = 0; channel < m_ChannelCount && m_Values; ++channel) {
    UCHAR value = 0;
    status = control->GetSwitchValue(m_Binding.controlSelector, channel, &value);
    if (!NT_SUCCESS(status)) break;
    StoreValue(channel, value);
    m_Binding.WriteChannel(channel, &value, sizeof value);
  }
  control->Release();
  return status;
}
