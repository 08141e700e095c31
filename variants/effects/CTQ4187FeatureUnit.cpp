#include "variants/effects/CTQ4187FeatureUnit.h"

#include "variants/effects/CHeadphoneEffectNode.h"

NTSTATUS CTQ4187FeatureUnit::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  ULONG nextId = 0;
  NTSTATUS status = BuildStandardNodes(owner, TQ4187_NODE_TAG, &nextId);
  if (!NT_SUCCESS(status) || !HasControl(UAC_FU_VENDOR_12)) return status;

  // A headphone node that cannot be allocated is left out; one that cannot
  // be bound or added ends the build with that status.
  auto* node = new (NonPagedPool, TQ4187_NODE_TAG) CHeadphoneEffectNode(nullptr, nextId);
  if (!node) return status;
  node->NonDelegatingAddRef();
  status = node->Init(static_cast<IUacUnit*>(this), UAC_FU_VENDOR_12, owner->GetDeviceObject());
  if (NT_SUCCESS(status)) status = AddBuiltNode(owner, node);
  node->NonDelegatingRelease();
  return status;
}
