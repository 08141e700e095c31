#include "variants/CChipTerminals.h"

#include "topology/CUacTerminalNode.h"
#include "variants/CFixedRangeFeatureUnits.h"

PinCategory OutputTerminalCapsCategory(USHORT terminalType) {
  switch (terminalType) {
    case 0x0302: return PIN_CATEGORY_HP;
    case 0x0401: return PIN_CATEGORY_HANDSET;
    case 0x0402: return PIN_CATEGORY_HEADSET;
    case 0x0601:
    case 0x0603: return PIN_CATEGORY_LINE;
    case 0x0605: return PIN_CATEGORY_SPDIF;
    default: return PIN_CATEGORY_SPK;
  }
}

C7746InputTerminal::C7746InputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId)
    : CChipInputTerminal(outerUnknown, provisionalId, C7746_NODE_TAG) {}
C7762InputTerminal::C7762InputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId)
    : CChipInputTerminal(outerUnknown, provisionalId, C7762_NODE_TAG) {}
C7746OutputTerminal::C7746OutputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId)
    : CChipOutputTerminal(outerUnknown, provisionalId, C7746_NODE_TAG) {}
C7762OutputTerminal::C7762OutputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId)
    : CChipOutputTerminal(outerUnknown, provisionalId, C7762_NODE_TAG) {}

NTSTATUS CChipInputTerminal::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  NTSTATUS status = SetTerminalIdentity();
  if (!NT_SUCCESS(status)) return status;
  auto* node = new (NonPagedPool, m_NodeTag) CUacInputTerminalNode(nullptr, NextNodeId(owner));
  if (!node) return STATUS_INSUFFICIENT_RESOURCES;
  return BindPinNode(owner, node, STREAM_DIRECTION_CAPTURE, InputTerminalCapsCategory(TerminalType()));
}

NTSTATUS CChipOutputTerminal::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  NTSTATUS status = SetTerminalIdentity();
  if (!NT_SUCCESS(status)) return status;
  // One type, the terminal's own, selected and without jacks.
  status = AllocateTypeArrays(1);
  if (!NT_SUCCESS(status)) return status;
  m_TerminalTypes[0] = TerminalType();
  m_CurrentCategory = m_Categories[0] = OutputTerminalCapsCategory(TerminalType());

  auto* pin = new (NonPagedPool, m_NodeTag) CUacOutputTerminalNode(nullptr, NextNodeId(owner), 0);
  if (!pin) return STATUS_INSUFFICIENT_RESOURCES;
  return BindPinNode(owner, pin, STREAM_DIRECTION_RENDER, m_CurrentCategory);
}
