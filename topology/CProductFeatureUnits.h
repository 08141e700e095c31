// The product's own feature units. The product model makes every feature
// unit a C7719FeatureUnit; the fixed-ID variant makes its feature unit 2 a
// CK784FeatureUnit. Both are Audio Class 1.0 feature units whose node
// builder allocates with the product's tag, builds the standard control
// nodes and then the product's room effect node in place of a plain node
// for the vendor control 0x8B; the vendor control 0x8C gets no node.
#pragma once

#include "topology/CProductRoomEffectNodes.h"
#include "topology/CUac1FeatureUnit.h"

// The builder both product units share; they differ only in their room
// effect node.
class CProductFeatureUnit : public CUac1FeatureUnit {
 public:
  CProductFeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId) : CUac1FeatureUnit(outerUnknown, provisionalId) {}

 protected:
  NTSTATUS BuildNodes(IAudioHal* owner) final;

  // Creates and initialises this unit's room effect node with `nodeId`
  // (one reference, for the caller); a null node where the unit has none or
  // no memory is left for it. The status is the node's Init.
  virtual NTSTATUS CreateRoomEffectNode(IAudioHal* owner, ULONG nodeId, C7719RoomEffectNode** node) = 0;
};

// The product model's unit: a room effect node where the unit has the
// vendor control 0x8B.
class C7719FeatureUnit : public CProductFeatureUnit {
 public:
  C7719FeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId) : CProductFeatureUnit(outerUnknown, provisionalId) {}

 protected:
  NTSTATUS CreateRoomEffectNode(IAudioHal* owner, ULONG nodeId, C7719RoomEffectNode** node) override;
};

// The fixed-ID device's unit: a room effect node in any case.
class CK784FeatureUnit : public CProductFeatureUnit {
 public:
  CK784FeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId) : CProductFeatureUnit(outerUnknown, provisionalId) {}

 protected:
  NTSTATUS CreateRoomEffectNode(IAudioHal* owner, ULONG nodeId, C7719RoomEffectNode** node) override;
};
