#include "topology/CClockNode.h"

CClockNode::CClockNode(PUNKNOWN outerUnknown, ULONG nodeId) : CTopoNode(outerUnknown, nodeId, NODE_TYPE_CLOCK) {}

CClockNode::~CClockNode() {
  if (m_Rates) ExFreePool(m_Rates);
}

NTSTATUS CClockNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IClockSource)) {
    *object = static_cast<IClockSource*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CTopoNode::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CClockNode::GetRateList(PULONG count, PULONG rates) {
  if (!count || !rates || *count < m_RateCount) return STATUS_INVALID_PARAMETER;
  *count = m_RateCount;
  if (m_RateCount) RtlCopyMemory(rates, m_Rates, m_RateCount * sizeof(ULONG));
  return STATUS_SUCCESS;
}

NTSTATUS CClockNode::GetRateCount(PULONG count) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = m_RateCount;
  return STATUS_SUCCESS;
}

NTSTATUS CClockNode::SetRate(ULONG rate) {
  m_CurrentRate = rate;
  return STATUS_SUCCESS;
}

NTSTATUS CClockNode::GetRate(PULONG rate) {
  if (!rate) return STATUS_INVALID_PARAMETER;
  *rate = m_CurrentRate;
  return STATUS_SUCCESS;
}

NTSTATUS CClockNode::IsClockValid(PUCHAR valid) {
  if (!valid) return STATUS_INVALID_PARAMETER;
  *valid = TRUE;
  return STATUS_SUCCESS;
}

NTSTATUS CClockNode::Init(ULONG count, const ULONG* rates) {
  PAGED_CODE();
  if (!rates || count > MAX_CLOCK_RATES) return STATUS_INSUFFICIENT_RESOURCES;
  PULONG copy = nullptr;
  if (count) {
    copy = static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPool, count * sizeof(ULONG), CLOCK_NODE_TAG));
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(copy, rates, count * sizeof(ULONG));
  }
  NTSTATUS status = SetSourceIds(0, nullptr);
  if (!NT_SUCCESS(status)) {
    if (copy) ExFreePool(copy);
    return status;
  }
  if (m_Rates) ExFreePool(m_Rates);
  m_Rates = copy;
  m_RateCount = count;
  return STATUS_SUCCESS;
}
