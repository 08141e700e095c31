#include "variants/effects/CTQ4187FeatureUnit.h"

#include "topology/CRoomEffectNode.h"
#include "variants/effects/CHeadphoneEffectNode.h"

NTSTATUS CTQ4187FeatureUnit::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  ULONG nextId = 0;
  NTSTATUS status = BuildStandardNodes(owner, TQ4187_NODE_TAG, &nextId);
  ITopoNode* const unit = static_cast<IUacUnit*>(this);
  const PDEVICE_OBJECT deviceObject = owner->GetDeviceObject();

  // An effect node that cannot be allocated is left out; one that cannot be
  // bound or added ends the build with that status.
  if (NT_SUCCESS(status) && HasControl(ROOM_EFFECT_CONTROL)) {
    auto* room = new (NonPagedPool, TQ4187_NODE_TAG) CRoomEffectNode(nullptr, nextId);
    if (room) {
      room->NonDelegatingAddRef();
      status = AddRoomEffectNode(owner, room, room->Init(unit, ROOM_EFFECT_CONTROL, deviceObject), &nextId);
      room->NonDelegatingRelease();
    }
  }
  if (!NT_SUCCESS(status) || !HasControl(UAC_FU_VENDOR_12)) return status;
  auto* headphone = new (NonPagedPool, TQ4187_NODE_TAG) CHeadphoneEffectNode(nullptr, nextId);
  if (!headphone) return status;
  headphone->NonDelegatingAddRef();
  status = headphone->Init(unit, UAC_FU_VENDOR_12, deviceObject);
  if (NT_SUCCESS(status)) status = AddBuiltNode(owner, headphone);
  headphone->NonDelegatingRelease();
  return status;
}
