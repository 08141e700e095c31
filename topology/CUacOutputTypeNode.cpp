#include "topology/CUacOutputTypeNode.h"

#include "driver/common/PoolBuffer.h"
#include "topology/CUacTerminalNode.h"

NTSTATUS CUacOutputTypeNode::InitFromUnit(ITopoNode* unit, PDEVICE_OBJECT deviceObject, IAudioHal* audioHal) {
  PAGED_CODE();
  m_Binding.unit = unit;
  ITerminal* terminal = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ITerminal, &terminal);
  if (!NT_SUCCESS(status)) return status;
  ULONG typeCount = 0;
  CPoolBuffer list;
  if (!NT_SUCCESS(terminal->GetTypeCount(&typeCount)) || typeCount < 1 || typeCount > MAX_OUTPUT_TYPES ||
      !list.Allocate(PagedPool, typeCount * sizeof(PinCategory), UAC_TERMINAL_NODE_TAG) ||
      !NT_SUCCESS(terminal->GetTypeList(list.As<PinCategory>()))) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) status = Init(0, typeCount, list.As<PinCategory>());
  if (NT_SUCCESS(status)) {
    terminal->GetCategory(&m_CurrentCategory);
    m_Binding.deviceObject = deviceObject;
    m_AudioHal = audioHal;
    FormatNodeValueName(m_Binding.valueName, m_NodeId);
    // A category the terminal no longer offers would name the engine after
    // a type the device cannot select.
    m_Binding.ReadIfUsable(&m_CurrentCategory, [this](PinCategory stored) { return IsListed(stored); });
  }
  terminal->Release();
  return status;
}

NTSTATUS CUacOutputTypeNode::GetCategory(PinCategory* category) {
  PAGED_CODE();
  if (!category) return STATUS_INVALID_PARAMETER;
  ITerminal* terminal = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ITerminal, &terminal);
  if (!NT_SUCCESS(status)) return status;
  status = terminal->GetCategory(category);
  terminal->Release();
  if (NT_SUCCESS(status)) m_CurrentCategory = *category;
  return status;
}

NTSTATUS CUacOutputTypeNode::SelectType(PinCategory category) {
  PAGED_CODE();
  ITerminal* terminal = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ITerminal, &terminal);
  if (!NT_SUCCESS(status)) return status;
  if (category == m_CurrentCategory) {
    terminal->Release();
    return STATUS_SUCCESS;
  }
  const PinCategory previous = m_CurrentCategory;
  status = terminal->SelectType(category);
  if (NT_SUCCESS(status)) {
    m_CurrentCategory = category;
    ITopoNode* unitNode = nullptr;
    IUsbAudioHal* usbHal = nullptr;
    status = m_Binding.Query(IID_ITopoNode, &unitNode);
    if (NT_SUCCESS(status)) {
      const ULONG unitId = unitNode->GetId();
      unitNode->Release();
      status = m_AudioHal ? m_AudioHal->QueryInterface(IID_IUsbAudioHal, reinterpret_cast<PVOID*>(&usbHal))
                          : STATUS_UNSUCCESSFUL;
      if (NT_SUCCESS(status)) {
        m_ChangePending = 1;
        status = usbHal->RefreshSubdevices(unitId);
      }
    }
    if (NT_SUCCESS(status)) {
      // Without a callback object the listeners still reload their values;
      // only the change events are missing, so the change stands.
      PCALLBACK_OBJECT callbackObject = nullptr;
      if (!NT_SUCCESS(usbHal->GetCallbackObject(&callbackObject))) callbackObject = nullptr;
      NotifyListeners(category, callbackObject);
      m_Binding.Write(&category, sizeof category);
    }
    if (usbHal) usbHal->Release();
  }
  if (!NT_SUCCESS(status)) {
    m_CurrentCategory = previous;
    terminal->SelectType(previous);
  }
  terminal->Release();
  return status;
}

NTSTATUS CUacOutputTypeNode::ApplyToDevice(ULONG, PVOID) {
  PAGED_CODE();
  ITerminal* terminal = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ITerminal, &terminal);
  if (!NT_SUCCESS(status)) return status;
  status = terminal->SelectType(m_CurrentCategory);
  terminal->Release();
  return status;
}

NTSTATUS CUacOutputTypeNode::RefreshFromDevice() {
  PAGED_CODE();
  ITerminal* terminal = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ITerminal, &terminal);
  if (!NT_SUCCESS(status)) return status;
  PinCategory category = 0;
  status = terminal->GetCategory(&category);
  terminal->Release();
  if (!NT_SUCCESS(status) || category == m_CurrentCategory) return status;
  m_Binding.Write(&category, sizeof category);
  return SelectType(category);
}
