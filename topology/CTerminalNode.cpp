#include "topology/CTerminalNode.h"

JackRecord* AllocateJackRecords(ULONG count, ULONG tag) {
  if (count == 0) return nullptr;
  const SIZE_T bytes = SIZE_T(count) * sizeof(JackRecord);
  auto* jacks = static_cast<JackRecord*>(ExAllocatePoolWithTag(PagedPool, bytes, tag));
  if (jacks) RtlZeroMemory(jacks, bytes);
  return jacks;
}

CTerminalNode::CTerminalNode(PUNKNOWN outerUnknown, ULONG nodeId, ULONG nodeType)
    : CTopoNode(outerUnknown, nodeId, nodeType) {}

CTerminalNode::~CTerminalNode() {
  if (m_Categories) ExFreePool(m_Categories);
  if (m_Jacks) ExFreePool(m_Jacks);
}

NTSTATUS CTerminalNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_ITerminal)) {
    *object = static_cast<ITerminal*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CTopoNode::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CTerminalNode::GetCategory(PinCategory* category) {
  if (!category) return STATUS_INVALID_PARAMETER;
  *category = m_CurrentCategory;
  return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::GetTypeCount(PULONG count) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = m_TypeCount;
  return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::GetTypeList(PULONG categories) {
  if (!categories) return STATUS_INVALID_PARAMETER;
  if (m_TypeCount) RtlCopyMemory(categories, m_Categories, m_TypeCount * sizeof(PinCategory));
  return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::SelectType(PinCategory category) {
  for (ULONG i = 0; i < m_TypeCount; ++i) {
    if (m_Categories[i] == category) {
      m_CurrentCategory = category;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS CTerminalNode::GetJackCount(PULONG count, ULONG) {
  if (!count) return STATUS_INVALID_PARAMETER;
  m_JackLock.Lock();
  *count = m_JackCount;
  m_JackLock.Unlock();
  return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::GetJackDescriptions(ULONG bufferBytes, JackRecord* jacks, ULONG) {
  PAGED_CODE();
  if (!jacks || bufferBytes == 0) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  m_JackLock.Lock();
  if (m_Jacks && m_JackCount) {
    const SIZE_T all = SIZE_T(m_JackCount) * sizeof(JackRecord);
    RtlCopyMemory(jacks, m_Jacks, bufferBytes < all ? bufferBytes : all);
    status = STATUS_SUCCESS;
  }
  m_JackLock.Unlock();
  return status;
}

NTSTATUS CTerminalNode::GetDeviceCaps(DeviceCapsRecord* caps) {
  if (!caps) return STATUS_INVALID_PARAMETER;
  *caps = m_DeviceCaps;
  return STATUS_SUCCESS;
}

NTSTATUS CTerminalNode::InitTerminal(ULONG typeCount, const PinCategory* categories, ULONG jackCount,
                                     const JackRecord* jacks) {
  PAGED_CODE();
  if (typeCount < 1 || typeCount > MAX_TERMINAL_TYPES || !categories || (jackCount && !jacks)) {
    return STATUS_INVALID_PARAMETER;
  }
  auto* list = static_cast<PinCategory*>(
      ExAllocatePoolWithTag(PagedPool, typeCount * sizeof(PinCategory), TERMINAL_NODE_TAG));
  JackRecord* records = AllocateJackRecords(jackCount);
  if (!list || (jackCount && !records)) {
    if (list) ExFreePool(list);
    if (records) ExFreePool(records);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(list, categories, typeCount * sizeof(PinCategory));
  if (jackCount) RtlCopyMemory(records, jacks, SIZE_T(jackCount) * sizeof(JackRecord));
  if (m_Categories) ExFreePool(m_Categories);
  m_Categories = list;
  m_TypeCount = typeCount;
  m_CurrentCategory = list[0];
  ReplaceJacks(records, jackCount);
  return STATUS_SUCCESS;
}

void CTerminalNode::ReplaceJacks(JackRecord* jacks, ULONG jackCount) {
  m_JackLock.Lock();
  JackRecord* old = m_Jacks;
  m_Jacks = jacks;
  m_JackCount = jacks ? jackCount : 0;
  m_JackLock.Unlock();
  if (old) ExFreePool(old);
}

NTSTATUS CTerminalNode::RefreshJacks(ITerminal* source, ULONG typeIndex) {
  PAGED_CODE();
  ULONG count = 0;
  if (!NT_SUCCESS(source->GetJackCount(&count, typeIndex))) return STATUS_INSUFFICIENT_RESOURCES;
  if (count == 0) {
    ReplaceJacks(nullptr, 0);
    return STATUS_SUCCESS;
  }
  JackRecord* jacks = AllocateJackRecords(count);
  m_JackLock.Lock();
  const bool sameCount = m_Jacks && m_JackCount == count;
  if (jacks && sameCount) RtlCopyMemory(jacks, m_Jacks, SIZE_T(count) * sizeof(JackRecord));
  m_JackLock.Unlock();
  if (!jacks) {
    if (!sameCount) ReplaceJacks(nullptr, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status = source->GetJackDescriptions(count * ULONG(sizeof(JackRecord)), jacks, typeIndex);
  ReplaceJacks(jacks, count);
  return status;
}

NTSTATUS CInputTerminalNode::Init(ULONG typeCount, const PinCategory* categories, ULONG jackCount,
                                  const JackRecord* jacks) {
  NTSTATUS status = InitTerminal(typeCount, categories, jackCount, jacks);
  if (NT_SUCCESS(status)) status = SetSourceIds(0, nullptr);
  return status;
}

NTSTATUS COutputTerminalNode::Init(ULONG sourceId, ULONG typeCount, const PinCategory* categories, ULONG jackCount,
                                   const JackRecord* jacks) {
  NTSTATUS status = InitTerminal(typeCount, categories, jackCount, jacks);
  if (NT_SUCCESS(status)) status = SetSourceIds(1, &sourceId);
  return status;
}
