// The TQ4187 chip's feature unit: the Audio Class 1.0 feature unit whose
// two vendor controls are software effects. After the standard control
// nodes, vendor control 139 becomes the room effect node and vendor control
// 140 the headphone effect node (CHeadphoneEffectNode), with the next node
// ids in that order.
//
// The room effect node is not part of this build yet: control 139 gets no
// node, and the headphone node directly follows the standard ones.
#pragma once

#include "topology/CUac1FeatureUnit.h"

constexpr ULONG TQ4187_NODE_TAG = MakeTag("4187");

class CTQ4187FeatureUnit : public CUac1FeatureUnit {
 public:
  CTQ4187FeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId) : CUac1FeatureUnit(outerUnknown, provisionalId) {}

 protected:
  NTSTATUS BuildNodes(IAudioHal* owner) override;
};
