#include "topology/CUac1SelectorUnit.h"

#include "topology/CUac1MixerUnit.h"
#include "topology/CUacSelectorNode.h"

CUac1SelectorUnit::CUac1SelectorUnit(PUNKNOWN outerUnknown, ULONG provisionalId)
    : CUacUnit(outerUnknown, provisionalId, UAC_SUBTYPE_SELECTOR_UNIT) {}

NTSTATUS CUac1SelectorUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_ISelector)) {
    *object = static_cast<ISelector*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CUacUnit::NonDelegatingQueryInterface(iid, object);
}

bool CUac1SelectorUnit::DescriptorFits(const UCHAR* descriptor, ULONG length) const {
  return length >= 5 && length >= 5 + ULONG(descriptor[4]);
}

NTSTATUS CUac1SelectorUnit::GetInput(PULONG input) {
  PAGED_CODE();
  if (!input || !IsSelectorUnit()) return STATUS_INVALID_PARAMETER;
  UCHAR reply = 0;
  NTSTATUS status = ReadExact(URB_FUNCTION_CLASS_INTERFACE, UAC_GET_CUR, 0, &reply, 1);
  if (NT_SUCCESS(status)) *input = reply;
  return status;
}

NTSTATUS CUac1SelectorUnit::SetInput(ULONG input) {
  PAGED_CODE();
  if (!IsSelectorUnit() || input == 0 || input > m_Descriptor[4]) return STATUS_INVALID_PARAMETER;
  UCHAR value = static_cast<UCHAR>(input);
  return SendRequest(URB_FUNCTION_CLASS_INTERFACE, false, UAC_SET_CUR, 0, &value, 1);
}

NTSTATUS CUac1SelectorUnit::GetInputCount(PULONG count) {
  if (!count || !IsSelectorUnit()) return STATUS_INVALID_PARAMETER;
  *count = m_Descriptor[4];
  return STATUS_SUCCESS;
}

NTSTATUS CUac1SelectorUnit::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  m_NodeType = UAC_SUBTYPE_SELECTOR_UNIT;
  m_NodeId = DescriptorId();
  NTSTATUS status = SetUnitSourcesFromDescriptor(static_cast<IUacUnit*>(this), m_Descriptor);
  if (!NT_SUCCESS(status)) return status;
  auto* node = new (NonPagedPool, UAC_UNIT_DATA_TAG) CUacSelectorNode(nullptr, NextNodeId(owner));
  if (!node) return STATUS_INSUFFICIENT_RESOURCES;
  node->NonDelegatingAddRef();
  status = node->InitFromUnit(static_cast<IUacUnit*>(this), owner->GetDeviceObject());
  if (NT_SUCCESS(status)) status = AddBuiltNode(owner, node);
  node->NonDelegatingRelease();
  return status;
}
