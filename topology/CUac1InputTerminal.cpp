#include "topology/CUac1InputTerminal.h"

#include "driver/hal/CAudioHal.h"
#include "topology/CUacTerminalNode.h"

namespace {
bool TypeHasJacks(USHORT terminalType) {
  return (terminalType >= 0x0201 && terminalType <= 0x0206) || (terminalType >= 0x0401 && terminalType <= 0x0405) ||
         terminalType == 0x0601 || terminalType == 0x0603 || terminalType == 0x0605;
}
}  // namespace

CUac1InputTerminal::CUac1InputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId)
    : CUac1Terminal(outerUnknown, provisionalId, UAC_SUBTYPE_INPUT_TERMINAL) {}

CUac1InputTerminal::~CUac1InputTerminal() {
  if (m_Jacks) ExFreePool(m_Jacks);
}

NTSTATUS CUac1InputTerminal::GetCategory(PinCategory* category) {
  if (!category || !m_Descriptor) return STATUS_INVALID_PARAMETER;
  *category = InputTerminalCategory(TerminalType());
  return STATUS_SUCCESS;
}

NTSTATUS CUac1InputTerminal::GetTypeCount(PULONG count) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = 1;
  return STATUS_SUCCESS;
}

NTSTATUS CUac1InputTerminal::GetTypeList(PULONG categories) { return GetCategory(categories); }

NTSTATUS CUac1InputTerminal::SelectType(PinCategory category) {
  PinCategory current = 0;
  NTSTATUS status = GetCategory(&current);
  if (!NT_SUCCESS(status)) return status;
  return category == current ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS CUac1InputTerminal::GetJackCount(PULONG count, ULONG) {
  if (!count || !m_Descriptor) return STATUS_INVALID_PARAMETER;
  *count = TypeHasJacks(TerminalType()) ? m_JackCount : 0;
  return STATUS_SUCCESS;
}

NTSTATUS CUac1InputTerminal::GetJackDescriptions(ULONG bufferBytes, JackRecord* jacks, ULONG) {
  PAGED_CODE();
  if (!jacks || bufferBytes == 0 || !m_Descriptor || TerminalType() == UAC_TERMINAL_USB_STREAMING || !m_Jacks ||
      !m_JackCount || bufferBytes < m_JackCount * sizeof(JackRecord)) {
    return STATUS_INVALID_PARAMETER;
  }
  return CopyJacksWithPresence(m_Jacks, m_JackCount, jacks);
}

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
