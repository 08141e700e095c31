#include "topology/CUacSelectorNode.h"

#include "driver/common/PoolBuffer.h"

NTSTATUS CUacSelectorNode::InitFromUnit(ITopoNode* unit, PDEVICE_OBJECT deviceObject) {
  PAGED_CODE();
  m_Binding.unit = unit;
  ISelector* selector = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ISelector, &selector);
  if (!NT_SUCCESS(status)) return status;
  ULONG inputs = 0;
  status = selector->GetInputCount(&inputs);
  CPoolBuffer ids;
  if (NT_SUCCESS(status) && inputs && !ids.Allocate(PagedPool, inputs * sizeof(ULONG), SELECTOR_NODE_TAG))
    status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) {
    if (inputs) RtlZeroMemory(ids.Get(), ids.Bytes());
    status = Init(inputs, ids.As<ULONG>());
  }
  if (NT_SUCCESS(status)) {
    m_Binding.deviceObject = deviceObject;
    FormatNodeValueName(m_Binding.valueName, m_NodeId);
    ULONG input = m_CurrentInput;
    selector->GetInput(&input);
    m_Binding.Read(&input, sizeof input);
    if (input > inputs) input = inputs;
    m_CurrentInput = input ? input : 1;
  }
  selector->Release();
  return status;
}

NTSTATUS CUacSelectorNode::SetInput(ULONG input) {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  if (input == 0 || input > m_SourceCount) return STATUS_INVALID_PARAMETER;
  ISelector* selector = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ISelector, &selector);
  if (!NT_SUCCESS(status)) return status;
  status = selector->SetInput(input);
  selector->Release();
  if (NT_SUCCESS(status)) {
    CSelectorNode::SetInput(input);
    m_Binding.Write(&input, sizeof input);
  }
  return status;
}

NTSTATUS CUacSelectorNode::ApplyToDevice(ULONG, PVOID) { return SetInput(m_CurrentInput); }

NTSTATUS CUacSelectorNode::RefreshFromDevice() {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  ISelector* selector = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ISelector, &selector);
  if (!NT_SUCCESS(status)) return status;
  ULONG input = 0;
  status = selector->GetInput(&input);
  if (NT_SUCCESS(status)) m_CurrentInput = input;
  selector->Release();
  return status;
}
