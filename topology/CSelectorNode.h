// The selector (multiplexer) node: which of its inputs is in use, and the
// nodes on its inputs that want to hear of a change (ISelectorInputNode).
#pragma once

#include "driver/common/CPointerList.h"
#include "driver/common/CTopoNode.h"
#include "topology/TopologyInterfaces.h"

constexpr ULONG SELECTOR_NODE_TAG = MakeTag("SelT");

class CSelectorNode : public CTopoNode, public ISelector {
 public:
  CSelectorNode(PUNKNOWN outerUnknown, ULONG nodeId);
  ~CSelectorNode() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- ISelector
  NTSTATUS STDMETHODCALLTYPE GetInput(PULONG input) override;
  // Tells every input node before and after the change; a failing input
  // node ends that round of telling, not the change.
  NTSTATUS STDMETHODCALLTYPE SetInput(ULONG input) override;
  NTSTATUS STDMETHODCALLTYPE GetInputCount(PULONG count) override;
  NTSTATUS STDMETHODCALLTYPE AddInputNode(ISelectorInputNode* node) override;

  NTSTATUS Init(ULONG inputCount, const ULONG* inputIds);

 protected:
  ULONG m_CurrentInput = 1;
  CPointerList* m_InputNodes = nullptr;  // ISelectorInputNode*, one reference each
};
