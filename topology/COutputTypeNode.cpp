#include "topology/COutputTypeNode.h"

#include "driver/common/OwnedLists.h"

COutputTypeNode::COutputTypeNode(PUNKNOWN outerUnknown, ULONG nodeId)
    : CTopoNode(outerUnknown, nodeId, NODE_TYPE_OUTPUT_TYPE) {}

COutputTypeNode::~COutputTypeNode() {
  ReleaseItemsAndList<IOutputTypeSink>(m_Listeners);
  if (m_Categories) ExFreePool(m_Categories);
}

NTSTATUS COutputTypeNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IOutputTypeNode)) {
    *object = static_cast<IOutputTypeNode*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CTopoNode::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS COutputTypeNode::GetCategory(PinCategory* category) {
  if (!category) return STATUS_INVALID_PARAMETER;
  *category = m_CurrentCategory;
  return STATUS_SUCCESS;
}

NTSTATUS COutputTypeNode::GetTypeCount(PULONG count) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = m_TypeCount;
  return STATUS_SUCCESS;
}

NTSTATUS COutputTypeNode::GetTypeList(PULONG categories) {
  if (!categories) return STATUS_INVALID_PARAMETER;
  if (m_TypeCount) RtlCopyMemory(categories, m_Categories, m_TypeCount * sizeof(PinCategory));
  return STATUS_SUCCESS;
}

bool COutputTypeNode::IsListed(PinCategory category) const {
  for (ULONG i = 0; i < m_TypeCount; ++i)
    if (m_Categories[i] == category) return true;
  return false;
}

void COutputTypeNode::NotifyListeners(PinCategory category, PCALLBACK_OBJECT callbackObject) {
  if (!m_Listeners) return;
  PVOID item = nullptr;
  for (auto pos = m_Listeners->GetHeadPosition(); m_Listeners->GetNext(&pos, &item);)
    if (!NT_SUCCESS(static_cast<IOutputTypeSink*>(item)->SetOutputType(category, callbackObject))) break;
}

NTSTATUS COutputTypeNode::SelectType(PinCategory category) {
  PAGED_CODE();
  if (!IsListed(category)) return STATUS_INVALID_PARAMETER;
  if (category != m_CurrentCategory) {
    m_CurrentCategory = category;
    m_ChangePending = 1;
    NotifyListeners(category, nullptr);
  }
  return STATUS_SUCCESS;
}

NTSTATUS COutputTypeNode::AckChange() {
  m_ChangePending = 0;
  return STATUS_SUCCESS;
}

NTSTATUS COutputTypeNode::AddListener(IOutputTypeSink* sink) {
  if (!sink) return STATUS_INVALID_PARAMETER;
  if (!m_Listeners) return STATUS_INSUFFICIENT_RESOURCES;
  sink->AddRef();
  if (!m_Listeners->AddTail(sink)) {
    sink->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS COutputTypeNode::Init(ULONG sourceId, ULONG typeCount, const PinCategory* categories) {
  PAGED_CODE();
  if (typeCount < 1 || typeCount > MAX_OUTPUT_TYPES || !categories) return STATUS_INVALID_PARAMETER;
  auto* list = static_cast<PinCategory*>(
      ExAllocatePoolWithTag(PagedPool, typeCount * sizeof(PinCategory), OUTPUT_TYPE_NODE_TAG));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  if (!m_Listeners) m_Listeners = NewPointerList(NonPagedPool, OUTPUT_TYPE_NODE_TAG);
  NTSTATUS status = m_Listeners ? SetSourceIds(1, &sourceId) : STATUS_INSUFFICIENT_RESOURCES;
  if (!NT_SUCCESS(status)) {
    ExFreePool(list);
    return status;
  }
  RtlCopyMemory(list, categories, typeCount * sizeof(PinCategory));
  if (m_Categories) ExFreePool(m_Categories);
  m_Categories = list;
  m_TypeCount = typeCount;
  m_CurrentCategory = list[0];
  return STATUS_SUCCESS;
}
