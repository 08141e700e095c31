#include "topology/CSelectorNode.h"

#include "driver/common/OwnedLists.h"

CSelectorNode::CSelectorNode(PUNKNOWN outerUnknown, ULONG nodeId) : CTopoNode(outerUnknown, nodeId, NODE_TYPE_SELECTOR) {}

CSelectorNode::~CSelectorNode() { ReleaseItemsAndList<ISelectorInputNode>(m_InputNodes); }

NTSTATUS CSelectorNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_ISelector)) {
    *object = static_cast<ISelector*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CTopoNode::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CSelectorNode::GetInput(PULONG input) {
  if (!input) return STATUS_INVALID_PARAMETER;
  *input = m_CurrentInput;
  return STATUS_SUCCESS;
}

NTSTATUS CSelectorNode::SetInput(ULONG input) {
  PAGED_CODE();
  if (input > m_SourceCount) return STATUS_INVALID_PARAMETER;
  const ULONG old = m_CurrentInput;
  PVOID item = nullptr;
  if (m_InputNodes) {
    for (auto pos = m_InputNodes->GetHeadPosition(); m_InputNodes->GetNext(&pos, &item);)
      if (!NT_SUCCESS(static_cast<ISelectorInputNode*>(item)->OnSelectionChange(input, old))) break;
  }
  m_CurrentInput = input;
  if (m_InputNodes) {
    for (auto pos = m_InputNodes->GetHeadPosition(); m_InputNodes->GetNext(&pos, &item);)
      if (!NT_SUCCESS(static_cast<ISelectorInputNode*>(item)->SetSelectedInput(input))) break;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CSelectorNode::GetInputCount(PULONG count) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = m_SourceCount;
  return STATUS_SUCCESS;
}

NTSTATUS CSelectorNode::AddInputNode(ISelectorInputNode* node) {
  if (!node) return STATUS_INVALID_PARAMETER;
  if (!m_InputNodes) return STATUS_UNSUCCESSFUL;
  node->AddRef();
  if (!m_InputNodes->AddTail(node)) {
    node->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CSelectorNode::Init(ULONG inputCount, const ULONG* inputIds) {
  PAGED_CODE();
  if (!m_InputNodes) {
    m_InputNodes = NewPointerList(NonPagedPool, SELECTOR_NODE_TAG);
    if (!m_InputNodes) return STATUS_UNSUCCESSFUL;
  }
  return SetSourceIds(inputCount, inputIds);
}
