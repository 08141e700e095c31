#include "driver/common/CTopoNode.h"

CTopoNode::CTopoNode(PUNKNOWN outerUnknown, ULONG nodeId, ULONG nodeType)
    : CTopoNodeT<ITopoNode>(outerUnknown, nodeId, nodeType) {}

NTSTATUS CTopoNode::Create(ITopoNode** node, ULONG nodeId, ULONG nodeType, POOL_TYPE poolType, ULONG tag) {
  if (!node) return STATUS_INVALID_PARAMETER;
  *node = nullptr;
  auto* object = new (poolType, tag) CTopoNode(nullptr, nodeId, nodeType);
  if (!object) return STATUS_INSUFFICIENT_RESOURCES;
  object->NonDelegatingAddRef();
  *node = object;
  return STATUS_SUCCESS;
}
