// The Audio Class 1.0 mixer unit: it contributes one sum node with an input
// per source; its mixing controls are not addressed.
#pragma once

#include "topology/CUacUnit.h"

class CUac1MixerUnit : public CUacUnit {
 public:
  CUac1MixerUnit(PUNKNOWN outerUnknown, ULONG provisionalId);

 protected:
  // bNrInPins at 4, then the source ids.
  bool DescriptorFits(const UCHAR* descriptor, ULONG length) const override;
  NTSTATUS BuildNodes(IAudioHal* owner) override;
};

// The unit id, type code and sources of a mixer or selector unit from its
// descriptor (bUnitID, bNrInPins, baSourceID).
NTSTATUS SetUnitSourcesFromDescriptor(ITopoNode* unit, const UCHAR* descriptor);
