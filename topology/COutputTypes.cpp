#include "topology/COutputTypes.h"

void COutputTypes::FreeTypeArrays() {
  if (m_JackRecords) {
    for (ULONG i = 0; i < m_TypeCount; ++i)
      if (m_JackRecords[i]) ExFreePool(m_JackRecords[i]);
    ExFreePool(m_JackRecords);
  }
  if (m_JackCounts) ExFreePool(m_JackCounts);
  if (m_TerminalTypes) ExFreePool(m_TerminalTypes);
  if (m_Categories) ExFreePool(m_Categories);
  m_JackRecords = nullptr;
  m_JackCounts = nullptr;
  m_TerminalTypes = nullptr;
  m_Categories = nullptr;
  m_TypeCount = 0;
}

NTSTATUS COutputTypes::AllocateTypeArrays(ULONG count) {
  FreeTypeArrays();
  auto zeroed = [this, count](SIZE_T each) {
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, count * each, m_TypeTag);
    if (p) RtlZeroMemory(p, count * each);
    return p;
  };
  m_Categories = static_cast<PinCategory*>(zeroed(sizeof(PinCategory)));
  m_TerminalTypes = static_cast<PUSHORT>(zeroed(sizeof(USHORT)));
  m_JackCounts = static_cast<PULONG>(zeroed(sizeof(ULONG)));
  m_JackRecords = static_cast<JackRecord**>(zeroed(sizeof(JackRecord*)));
  m_TypeCount = count;
  if (!m_Categories || !m_TerminalTypes || !m_JackCounts || !m_JackRecords) {
    FreeTypeArrays();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

bool COutputTypes::HasCategory(PinCategory category) const {
  for (ULONG i = 0; m_Categories && i < m_TypeCount; ++i)
    if (m_Categories[i] == category) return true;
  return false;
}

NTSTATUS COutputTypes::CopyCategory(PinCategory* category) const {
  if (!category) return STATUS_INVALID_PARAMETER;
  *category = m_CurrentCategory;
  return STATUS_SUCCESS;
}

NTSTATUS COutputTypes::CopyTypeCount(PULONG count) const {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = m_TypeCount;
  return STATUS_SUCCESS;
}

NTSTATUS COutputTypes::CopyTypeList(PULONG categories) const {
  if (!categories) return STATUS_INVALID_PARAMETER;
  if (m_TypeCount && m_Categories) RtlCopyMemory(categories, m_Categories, m_TypeCount * sizeof(PinCategory));
  return STATUS_SUCCESS;
}
