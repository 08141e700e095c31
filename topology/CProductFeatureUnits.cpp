#include "topology/CProductFeatureUnits.h"

#include "topology/CProductRoomEffectNodes.h"

namespace {

template <typename TNode>
TNode* NewRoomEffectNode(ULONG nodeId) {
  auto* node = new (NonPagedPool, PRODUCT_FEATURE_NODE_TAG) TNode(nullptr, nodeId);
  if (node) node->NonDelegatingAddRef();
  return node;
}

}  // namespace

NTSTATUS CProductFeatureUnit::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  ULONG nextId = 0;
  NTSTATUS status = BuildStandardNodes(owner, PRODUCT_FEATURE_NODE_TAG, &nextId);
  if (!NT_SUCCESS(status)) return status;

  C7719RoomEffectNode* node = nullptr;
  status = CreateRoomEffectNode(owner, nextId, &node);
  if (!node) return STATUS_SUCCESS;
  if (NT_SUCCESS(status)) {
    status = AddBuiltNode(owner, node);
  } else if (node->IsBoundToUnit()) {
    // A node short of memory for its processing is left out; the unit and
    // the rest of the device work without it.
    status = STATUS_SUCCESS;
  }
  node->Release();
  return status;
}

NTSTATUS C7719FeatureUnit::CreateRoomEffectNode(IAudioHal* owner, ULONG nodeId, C7719RoomEffectNode** node) {
  PAGED_CODE();
  *node = nullptr;
  if (!HasControl(ROOM_EFFECT_CONTROL)) return STATUS_SUCCESS;
  C7719RoomEffectNode* created = NewRoomEffectNode<C7719RoomEffectNode>(nodeId);
  if (!created) return STATUS_SUCCESS;
  created->SetAudioHal(owner);
  *node = created;
  return created->Init(static_cast<IUacUnit*>(this), ROOM_EFFECT_CONTROL, owner->GetDeviceObject());
}

NTSTATUS CK784FeatureUnit::CreateRoomEffectNode(IAudioHal* owner, ULONG nodeId, C7719RoomEffectNode** node) {
  PAGED_CODE();
  *node = nullptr;
  CK784RoomEffectNode* created = NewRoomEffectNode<CK784RoomEffectNode>(nodeId);
  if (!created) return STATUS_SUCCESS;
  *node = created;
  return created->Init(static_cast<IUacUnit*>(this), ROOM_EFFECT_CONTROL, owner->GetDeviceObject(), owner);
}
