#include "topology/CUac1MixerUnit.h"

#include "driver/common/PoolBuffer.h"
#include "topology/CUacMixerNode.h"

NTSTATUS SetUnitSourcesFromDescriptor(ITopoNode* unit, const UCHAR* descriptor) {
  const ULONG inputs = descriptor[4];
  CPoolBuffer ids;
  if (inputs && !ids.Allocate(PagedPool, inputs * sizeof(ULONG), UAC_UNIT_DATA_TAG))
    return STATUS_INSUFFICIENT_RESOURCES;
  for (ULONG i = 0; i < inputs; ++i) ids.As<ULONG>()[i] = descriptor[5 + i];
  return unit->SetSourceIds(inputs, ids.As<ULONG>());
}

CUac1MixerUnit::CUac1MixerUnit(PUNKNOWN outerUnknown, ULONG provisionalId)
    : CUacUnit(outerUnknown, provisionalId, UAC_SUBTYPE_MIXER_UNIT) {}

bool CUac1MixerUnit::DescriptorFits(const UCHAR* descriptor, ULONG length) const {
  return length >= 5 && length >= 5 + ULONG(descriptor[4]);
}

NTSTATUS CUac1MixerUnit::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  m_NodeType = UAC_SUBTYPE_MIXER_UNIT;
  m_NodeId = DescriptorId();
  NTSTATUS status = SetUnitSourcesFromDescriptor(this, m_Descriptor);
  if (!NT_SUCCESS(status)) return status;
  auto* node = new (NonPagedPool, UAC_UNIT_DATA_TAG) CUacMixerNode(nullptr, NextNodeId(owner));
  if (!node) return STATUS_INSUFFICIENT_RESOURCES;
  node->NonDelegatingAddRef();
  status = node->InitFromUnit(static_cast<IUacUnit*>(this));
  if (NT_SUCCESS(status)) status = AddBuiltNode(owner, node);
  node->NonDelegatingRelease();
  return status;
}
