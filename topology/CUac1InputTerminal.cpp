#include "topology/CUac1InputTerminal.h"

#include "driver/hal/CAudioHal.h"
#include "topology/CUacTerminalNode.h"

CUac1InputTerminal::CUac1InputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId)
    : CSingleTypeTerminal(outerUnknown, provisionalId, UAC_SUBTYPE_INPUT_TERMINAL) {}

PinCategory CUac1InputTerminal::Category() const { return InputTerminalCategory(TerminalType()); }

bool CUac1InputTerminal::TypeHasJacks() const {
  const USHORT type = TerminalType();
  return (type >= 0x0201 && type <= 0x0206) || (type >= 0x0401 && type <= 0x0405) || type == 0x0601 ||
         type == 0x0603 || type == 0x0605;
}

bool CUac1InputTerminal::DescribesJacks() const { return TerminalType() != UAC_TERMINAL_USB_STREAMING; }

NTSTATUS CUac1InputTerminal::OnControlChange(ULONG, ULONG, PULONG nodeId) {
  PAGED_CODE();
  PVOID item = nullptr;
  if (!m_Nodes) return STATUS_UNSUCCESSFUL;
  for (auto pos = m_Nodes->GetHeadPosition(); m_Nodes->GetNext(&pos, &item);) {
    auto* node = static_cast<ITopoNode*>(item);
    if (node->GetType() != NODE_TYPE_INPUT_PIN) continue;
    if (nodeId) *nodeId = node->GetId();
    node->RefreshFromDevice();
    return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CUac1InputTerminal::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  NTSTATUS status = SetTerminalIdentity();
  if (!NT_SUCCESS(status)) return status;
  const ULONG nextId = NextNodeId(owner);
  const USHORT terminalType = TerminalType();
  if (terminalType != UAC_TERMINAL_USB_STREAMING) {
    status = CheckUsbDevice();
    if (NT_SUCCESS(status)) status = ReadJackList(&m_Jacks, &m_JackCount);
    if (!NT_SUCCESS(status)) return status;
  }
  // A terminal left without its pin node would leave the units it feeds
  // with a source that is no node, and its stream without its terminal:
  // the start fails instead of running without it.
  auto* node = new (NonPagedPool, UAC_UNIT_DATA_TAG) CUacInputTerminalNode(nullptr, nextId);
  if (!node) return STATUS_INSUFFICIENT_RESOURCES;
  return BindPinNode(owner, node, STREAM_DIRECTION_CAPTURE, InputTerminalCapsCategory(terminalType));
}
