#include "topology/CProcessingNode.h"

CProcessingNode::CProcessingNode(PUNKNOWN outerUnknown, ULONG nodeId)
    : CTopoNode(outerUnknown, nodeId, NODE_TYPE_PROCESSING) {}

NTSTATUS CProcessingNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IProcessingNode)) {
    *object = static_cast<IProcessingNode*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CTopoNode::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CProcessingNode::GetNameGuid(GUID* name) {
  if (!name) return STATUS_INVALID_PARAMETER;
  *name = m_Name;
  return STATUS_SUCCESS;
}

NTSTATUS CProcessingNode::SetValue(UCHAR value) {
  m_Value = value;
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CProcessingNode::GetValue(PUCHAR value) {
  if (!value) return STATUS_UNSUCCESSFUL;
  *value = m_Value;
  return STATUS_SUCCESS;
}

NTSTATUS CProcessingNode::GetParameterCount(PULONG count) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = m_ParameterCount;
  return STATUS_SUCCESS;
}

NTSTATUS CProcessingNode::Init(ULONG sourceId) { return SetSourceIds(1, &sourceId); }
