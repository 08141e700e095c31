// The sum node of a mixer unit: one input per source of the unit, connected
// by the parser once every unit exists. Nothing of it reaches the device.
#pragma once

#include "topology/CMixerNode.h"

constexpr ULONG UAC_MIXER_NODE_TAG = MakeTag("TMix");

class CUacMixerNode : public CMixerNode {
 public:
  CUacMixerNode(PUNKNOWN outerUnknown, ULONG nodeId) : CMixerNode(outerUnknown, nodeId) {}

  NTSTATUS InitFromUnit(ITopoNode* unit);
};
