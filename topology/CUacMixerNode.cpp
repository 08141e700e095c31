#include "topology/CUacMixerNode.h"

#include "driver/common/PoolBuffer.h"

NTSTATUS CUacMixerNode::InitFromUnit(ITopoNode* unit) {
  PAGED_CODE();
  if (!unit) return STATUS_INVALID_PARAMETER;
  ITopoNode* unitNode = nullptr;
  NTSTATUS status = unit->QueryInterface(IID_ITopoNode, reinterpret_cast<PVOID*>(&unitNode));
  if (!NT_SUCCESS(status)) return status;
  const ULONG inputs = unitNode->GetSourceCount();
  unitNode->Release();
  CPoolBuffer ids;
  if (inputs) {
    if (!ids.Allocate(PagedPool, inputs * sizeof(ULONG), UAC_MIXER_NODE_TAG)) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(ids.Get(), ids.Bytes());
  }
  return Init(inputs, ids.As<ULONG>());
}
