#include "topology/CUacTerminalNode.h"

#include "driver/common/PoolBuffer.h"

namespace {

// The unit's type list, in a temporary array.
NTSTATUS ReadTypeList(ITerminal* terminal, CPoolBuffer* list, PULONG typeCount) {
  if (!NT_SUCCESS(terminal->GetTypeCount(typeCount)) || *typeCount < 1 || *typeCount > MAX_TERMINAL_TYPES ||
      !list->Allocate(PagedPool, *typeCount * sizeof(PinCategory), UAC_TERMINAL_NODE_TAG) ||
      !NT_SUCCESS(terminal->GetTypeList(list->As<PinCategory>()))) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS QueryTerminal(ITopoNode* unit, ITerminal** terminal) {
  *terminal = nullptr;
  if (!unit) return STATUS_UNSUCCESSFUL;
  return unit->QueryInterface(IID_ITerminal, reinterpret_cast<PVOID*>(terminal));
}

}  // namespace

NTSTATUS CUacInputTerminalNode::InitFromUnit(ITopoNode* unit, const DeviceCapsRecord& caps) {
  PAGED_CODE();
  m_Unit = unit;
  ITerminal* terminal = nullptr;
  NTSTATUS status = QueryTerminal(unit, &terminal);
  if (!NT_SUCCESS(status)) return status;
  CPoolBuffer list;
  ULONG typeCount = 0;
  status = ReadTypeList(terminal, &list, &typeCount);
  if (NT_SUCCESS(status)) status = Init(typeCount, list.As<PinCategory>(), 0, nullptr);
  if (NT_SUCCESS(status)) status = RefreshJacks(terminal, 0);
  if (NT_SUCCESS(status)) {
    terminal->GetCategory(&m_CurrentCategory);
    SetDeviceCaps(caps);
  }
  terminal->Release();
  return status;
}

NTSTATUS CUacInputTerminalNode::RefreshFromDevice() {
  PAGED_CODE();
  ITerminal* terminal = nullptr;
  NTSTATUS status = QueryTerminal(m_Unit, &terminal);
  if (!NT_SUCCESS(status)) return status;
  terminal->GetCategory(&m_CurrentCategory);
  status = RefreshJacks(terminal, 0);
  terminal->Release();
  return status;
}

NTSTATUS CUacOutputTerminalNode::InitFromUnit(ITopoNode* unit, const DeviceCapsRecord& caps) {
  PAGED_CODE();
  m_Unit = unit;
  ITerminal* terminal = nullptr;
  NTSTATUS status = QueryTerminal(unit, &terminal);
  if (!NT_SUCCESS(status)) return status;
  CPoolBuffer list;
  ULONG typeCount = 0;
  status = ReadTypeList(terminal, &list, &typeCount);
  if (NT_SUCCESS(status) && m_TypeIndex >= typeCount) status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) status = Init(0, 1, list.As<PinCategory>() + m_TypeIndex, 0, nullptr);
  if (NT_SUCCESS(status)) status = RefreshJacks(terminal, m_TypeIndex);
  if (NT_SUCCESS(status)) SetDeviceCaps(caps);
  terminal->Release();
  return status;
}

NTSTATUS CUacOutputTerminalNode::RefreshFromDevice() {
  PAGED_CODE();
  ITerminal* terminal = nullptr;
  NTSTATUS status = QueryTerminal(m_Unit, &terminal);
  if (!NT_SUCCESS(status)) return status;
  status = RefreshJacks(terminal, m_TypeIndex);
  terminal->Release();
  return status;
}
