#include "topology/CUacLevelNode.h"

CUacLevelNode::CUacLevelNode(PUNKNOWN outerUnknown, ULONG nodeId, ULONG nodeType)
    : CLevelNode(outerUnknown, nodeId, nodeType) {}

NTSTATUS CUacLevelNode::InitFromUnit(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject) {
  PAGED_CODE();
  m_Binding.unit = unit;
  ILevelControl* control = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ILevelControl, &control);
  if (!NT_SUCCESS(status)) return status;
  ULONG channels = 0;
  LONG maximum = 0, minimum = 0, step = 0;
  status = control->GetLevelChannelCount(controlSelector, &channels);
  if (NT_SUCCESS(status)) status = control->GetLevelRange(controlSelector, &maximum, &minimum, &step);
  if (NT_SUCCESS(status)) {
    m_Binding.controlSelector = controlSelector;
    status = Init(0, channels, maximum, minimum, step);
  }
  if (NT_SUCCESS(status)) {
    m_Binding.deviceObject = deviceObject;
    FormatChannelValuePrefix(m_Binding.valueName, m_NodeId, m_OutputType);
    for (ULONG channel = 0; channel < m_ChannelCount; ++channel) {
      LONG level = 0;
      control->GetLevel(controlSelector, channel, &level);
      ReadStoredLevel(channel, &level);
      m_Values[channel] = level;
    }
  }
  control->Release();
  return status;
}

bool CUacLevelNode::ReadStoredLevel(ULONG channel, PLONG level) const {
  return m_Binding.ReadChannelIfUsable(channel, level, [this](LONG stored) {
    return stored == LEVEL_MINUS_INFINITY || (stored >= m_Minimum && stored <= m_Maximum);
  });
}

NTSTATUS CUacLevelNode::GetLevel(ULONG channel, PLONG level) {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  return CLevelNode::GetLevel(channel, level);
}

NTSTATUS CUacLevelNode::SetLevel(ULONG channel, LONG level) {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  if (!ValidChannel(channel)) return STATUS_INVALID_PARAMETER;
  const LevelPlan plan = Plan(level);
  ILevelControl* control = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ILevelControl, &control);
  if (!NT_SUCCESS(status)) return status;
  status = control->SetLevel(m_Binding.controlSelector, channel, plan.sent);
  control->Release();
  if (NT_SUCCESS(status)) {
    LONG cached = plan.cached;
    m_Values[channel] = cached;
    m_Binding.WriteChannel(channel, &cached, sizeof cached);
  }
  return status;
}

NTSTATUS CUacLevelNode::SetOutputType(ULONG outputType, PCALLBACK_OBJECT callbackObject) {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  m_OutputType = outputType;
  FormatChannelValuePrefix(m_Binding.valueName, m_NodeId, m_OutputType);
  ULONG channels = 0;
  GetChannelCount(&channels);
  for (ULONG channel = 0; channel < channels && ValidChannel(channel); ++channel) {
    ReadStoredLevel(channel, &m_Values[channel]);
    SetLevel(channel, m_Values[channel]);
  }
  NotifyNodeChange(callbackObject, m_NodeId);
  return STATUS_SUCCESS;
}

NTSTATUS CUacLevelNode::ApplyToDevice(ULONG, PVOID) {
  PAGED_CODE();
  if (!m_ChannelCount || !m_Values) return STATUS_INVALID_PARAMETER;
  for (ULONG channel = 0; channel < m_ChannelCount; ++channel) SetLevel(channel, m_Values[channel]);
  return STATUS_SUCCESS;
}

NTSTATUS CUacLevelNode::RefreshFromDevice() {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  ILevelControl* control = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ILevelControl, &control);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG channel = 0; channel < m_ChannelCount && m_Values; ++channel) {
    LONG level = 0;
    status = control->GetLevel(m_Binding.controlSelector, channel, &level);
    if (!NT_SUCCESS(status)) break;
    m_Values[channel] = level;
    m_Binding.WriteChannel(channel, &level, sizeof level);
  }
  control->Release();
  return status;
}
