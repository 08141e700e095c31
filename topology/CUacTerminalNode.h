// The topology filter's pins for the device's terminals: categories and
// jack descriptions read from the terminal unit, refreshed when the device
// reports a jack or type change.
#pragma once

#include "topology/CTerminalNode.h"

constexpr ULONG UAC_TERMINAL_NODE_TAG = MakeTag("Term");

class CUacInputTerminalNode : public CInputTerminalNode {
 public:
  CUacInputTerminalNode(PUNKNOWN outerUnknown, ULONG nodeId) : CInputTerminalNode(outerUnknown, nodeId) {}

  NTSTATUS InitFromUnit(ITopoNode* unit, const DeviceCapsRecord& caps);
  // The category and the jacks, as the unit sees them now.
  NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() override;

 protected:
  ITopoNode* m_Unit = nullptr;  // no reference: the unit owns this node
};

// One pin per selectable type of the terminal: the node stands for the
// type at `typeIndex` of the unit's type list.
class CUacOutputTerminalNode : public COutputTerminalNode {
 public:
  CUacOutputTerminalNode(PUNKNOWN outerUnknown, ULONG nodeId, ULONG typeIndex)
      : COutputTerminalNode(outerUnknown, nodeId), m_TypeIndex(typeIndex) {}

  NTSTATUS InitFromUnit(ITopoNode* unit, const DeviceCapsRecord& caps);
  // The jacks of its type, as the unit sees them now.
  NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() override;

  ULONG GetTypeIndex() const { return m_TypeIndex; }

 protected:
  ITopoNode* m_Unit = nullptr;  // no reference: the unit owns this node
  const ULONG m_TypeIndex;
};
