// Switch nodes bound to a feature unit's one-byte control (mute, AGC,
// loudness). A set goes to the device and is cached and persisted whatever
// the device answered: these nodes always show what was asked for. A
// refusal is still reported to the caller, as the level nodes report it.
#pragma once

#include "topology/CSwitchNode.h"
#include "topology/UnitBinding.h"

class CUacSwitchNode : public CSwitchNode {
 public:
  CUacSwitchNode(PUNKNOWN outerUnknown, ULONG nodeId, ULONG nodeType);

  // Channel count and current values from the unit, then the values
  // persisted for output type 0 over them where they are 0 or 1.
  NTSTATUS InitFromUnit(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject);

  NTSTATUS STDMETHODCALLTYPE SetValue(ULONG channel, UCHAR value) override;
  // Loads the values persisted for the new output type (0 or 1) and sends
  // them.
  NTSTATUS STDMETHODCALLTYPE SetOutputType(ULONG outputType, PCALLBACK_OBJECT callbackObject) override;
  // Sends every channel's value; a channel the device refuses does not keep
  // the others (or the device start) from getting theirs.
  NTSTATUS STDMETHODCALLTYPE ApplyToDevice(ULONG nodeIndex, PVOID context) override;
  NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() override;

 protected:
  // Caches and persists a value without sending it, for the switches that
  // live in the driver alone.
  NTSTATUS KeepValue(ULONG channel, UCHAR value);

  CUnitBinding m_Binding;
};

class CUacMuteNode : public CUacSwitchNode {
 public:
  CUacMuteNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacSwitchNode(outerUnknown, nodeId, NODE_TYPE_MUTE) {}
};
class CUacAgcNode : public CUacSwitchNode {
 public:
  CUacAgcNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacSwitchNode(outerUnknown, nodeId, NODE_TYPE_AGC) {}
};
class CUacLoudnessNode : public CUacSwitchNode {
 public:
  CUacLoudnessNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacSwitchNode(outerUnknown, nodeId, NODE_TYPE_LOUDNESS) {}
};

inline NTSTATUS InitSwitchNodeFromUnit(CUacSwitchNode* node, ITopoNode* unit, ULONG controlSelector,
                                       PDEVICE_OBJECT deviceObject) {
  return node->InitFromUnit(unit, controlSelector, deviceObject);
}
