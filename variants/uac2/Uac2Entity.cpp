#include "variants/uac2/Uac2Entity.h"

#include "driver/common/PoolBuffer.h"

NTSTATUS CUac2Entity::Request(bool in, UCHAR request, UCHAR controlSelector, UCHAR channel, PVOID buffer,
                              ULONG length, PULONG transferred) {
  return SendRequest(URB_FUNCTION_CLASS_INTERFACE, in, request, static_cast<USHORT>(controlSelector << 8 | channel),
                     buffer, length, transferred);
}

NTSTATUS CUac2Entity::ReadWhole(UCHAR request, UCHAR controlSelector, UCHAR channel, PVOID buffer, ULONG length) {
  return ReadExact(URB_FUNCTION_CLASS_INTERFACE, request, static_cast<USHORT>(controlSelector << 8 | channel), buffer,
                   length);
}

ITopoNode* CUac2Entity::FirstNodeOfType(ULONG nodeType) {
  ULONG count = 0;
  GetNodeCount(&count);
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (NT_SUCCESS(GetNode(i, &node)) && node && node->GetType() == nodeType) return node;
  }
  return nullptr;
}

ULONG CUac2Entity::RefreshNodesOfType(ULONG nodeType, bool firstOnly) {
  ULONG refreshed = 0;
  ULONG count = 0;
  GetNodeCount(&count);
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(GetNode(i, &node)) || !node || node->GetType() != nodeType) continue;
    node->RefreshFromDevice();
    ++refreshed;
    if (firstOnly) break;
  }
  return refreshed;
}

NTSTATUS CUac2Entity::SetIdentity(UCHAR typeCode, ULONG sourceCount, const UCHAR* sources) {
  m_NodeId = DescriptorId();
  m_NodeType = typeCode;
  if (sourceCount == 0) return SetSourceIds(0, nullptr);
  CPoolBuffer ids(PagedPool, sourceCount * sizeof(ULONG), UAC2_ENTITY_TAG);
  if (!ids) return STATUS_INSUFFICIENT_RESOURCES;
  for (ULONG i = 0; i < sourceCount; ++i) ids.As<ULONG>()[i] = sources[i];
  return SetSourceIds(sourceCount, ids.As<ULONG>());
}
