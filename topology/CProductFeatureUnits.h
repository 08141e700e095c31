// The product's own feature units. The product model makes every feature
// unit a C7719FeatureUnit; the fixed-ID variant makes its feature unit 2 a
// CK784FeatureUnit. Both are Audio Class 1.0 feature units whose node
// builder allocates with the product's tag and makes no plain processing
// node for the vendor controls 0x8B and 0x8C: 0x8B is the product's room
// effect control, whose node is the product's room effect node.
#pragma once

#include "topology/CUac1FeatureUnit.h"

constexpr ULONG PRODUCT_FEATURE_NODE_TAG = MakeTag("9177");

class C7719FeatureUnit : public CUac1FeatureUnit {
 public:
  C7719FeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId) : CUac1FeatureUnit(outerUnknown, provisionalId) {}

 protected:
  NTSTATUS BuildNodes(IAudioHal* owner) override;
};

class CK784FeatureUnit : public CUac1FeatureUnit {
 public:
  CK784FeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId) : CUac1FeatureUnit(outerUnknown, provisionalId) {}

 protected:
  NTSTATUS BuildNodes(IAudioHal* owner) override;
};
