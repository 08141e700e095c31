#include "topology/CUacProcessingNode.h"

NTSTATUS CUacProcessingNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IDspProcessor)) {
    *object = static_cast<IDspProcessor*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CProcessingNode::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUacProcessingNode::InitFromUnit(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject) {
  PAGED_CODE();
  m_Binding.unit = unit;
  m_Binding.controlSelector = controlSelector;
  ISwitchControl* control = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ISwitchControl, &control);
  if (!NT_SUCCESS(status)) return status;
  InterlockedExchange(&m_ReconfigureFlags[0], 0);
  InterlockedExchange(&m_ReconfigureFlags[1], 0);
  m_Binding.deviceObject = deviceObject;
  FormatNodeValueName(m_Binding.valueName, m_NodeId);
  m_ProcessingState = 1;
  UCHAR value = 0;
  control->GetSwitchValue(controlSelector, 0, &value);
  control->Release();
  m_Binding.ReadIfUsable(&value, IsSwitchValue);
  m_Value = value;
  return Init(0);
}

void CUacProcessingNode::RaiseReconfigureFlag(ULONG index) {
  InterlockedCompareExchange(&m_ReconfigureFlags[index], 1, 0);
}

BOOLEAN CUacProcessingNode::TakeReconfigureFlag(ULONG index) {
  return InterlockedCompareExchange(&m_ReconfigureFlags[index], 0, 1) == 1;
}

void CUacProcessingNode::RaiseReconfigureFlags() {
  // The processing takes the first flag and only then looks for the second:
  // raised the other way round, a block in between would find the first
  // alone and never adopt the new value.
  RaiseReconfigureFlag(1);
  RaiseReconfigureFlag(0);
}

NTSTATUS CUacProcessingNode::SendValueLocked(UCHAR value) {
  ISwitchControl* control = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ISwitchControl, &control);
  if (NT_SUCCESS(status)) {
    status = control->SetSwitchValue(m_Binding.controlSelector, 0, value);
    control->Release();
  }
  // The value is cached before the flags go up, so that the processing,
  // which may run between any two of these steps, never adopts the old one.
  if (NT_SUCCESS(status)) {
    m_Value = value;
    m_Binding.Write(&value, sizeof value);
  }
  RaiseReconfigureFlags();
  return status;
}

NTSTATUS CUacProcessingNode::SetValue(UCHAR value) {
  PAGED_CODE();
  m_Lock.Lock();
  NTSTATUS status = SendValueLocked(value);
  m_Lock.Unlock();
  return status;
}

NTSTATUS CUacProcessingNode::GetValue(PUCHAR value) {
  PAGED_CODE();
  if (!value) return STATUS_INVALID_PARAMETER;
  m_Lock.Lock();
  *value = m_Value;
  m_Lock.Unlock();
  return STATUS_SUCCESS;
}

NTSTATUS CUacProcessingNode::ApplyToDevice(ULONG, PVOID) { return SetValue(m_Value); }

NTSTATUS CUacProcessingNode::RefreshFromDevice() {
  PAGED_CODE();
  m_Lock.Lock();
  ISwitchControl* control = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ISwitchControl, &control);
  if (NT_SUCCESS(status)) {
    UCHAR value = 0;
    status = control->GetSwitchValue(m_Binding.controlSelector, 0, &value);
    control->Release();
    if (NT_SUCCESS(status)) {
      m_Value = value;
      RaiseReconfigureFlag(0);
      m_Binding.Write(&value, sizeof value);
    }
  }
  m_Lock.Unlock();
  return status;
}

NTSTATUS CUacProcessingNode::SetFormat(const WAVEFORMATEXTENSIBLE* format) {
  if (format) m_Format = *format;
  return STATUS_SUCCESS;
}
