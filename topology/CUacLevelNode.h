// Level nodes bound to a feature unit's level control (volume and the tone
// controls). A set is clamped to the range, sent to the device rounded to
// its step, and cached and persisted only when the device took it; a
// refusal is reported to the caller.
#pragma once

#include "topology/CLevelNode.h"
#include "topology/UnitBinding.h"

class CUacLevelNode : public CLevelNode {
 public:
  CUacLevelNode(PUNKNOWN outerUnknown, ULONG nodeId, ULONG nodeType);

  // Channel count, range and current levels from the unit, then the levels
  // persisted for output type 0 over them where they lie in the range (or
  // are silence).
  NTSTATUS InitFromUnit(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject);

  // The cached level, read under the binding lock the setters hold.
  NTSTATUS STDMETHODCALLTYPE GetLevel(ULONG channel, PLONG level) override;
  NTSTATUS STDMETHODCALLTYPE SetLevel(ULONG channel, LONG level) override;
  // Loads the levels persisted for the new output type (those in the range,
  // or silence) and sends them.
  NTSTATUS STDMETHODCALLTYPE SetOutputType(ULONG outputType, PCALLBACK_OBJECT callbackObject) override;
  // Sends every channel's level; a channel the device refuses does not keep
  // the others (or the device start) from getting theirs.
  NTSTATUS STDMETHODCALLTYPE ApplyToDevice(ULONG nodeIndex, PVOID context) override;
  NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() override;

 protected:
  // The channel's stored level over *level, when it lies in the range or is
  // silence.
  bool ReadStoredLevel(ULONG channel, PLONG level) const;

  CUnitBinding m_Binding;
};

class CUacVolumeNode : public CUacLevelNode {
 public:
  CUacVolumeNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacLevelNode(outerUnknown, nodeId, NODE_TYPE_VOLUME) {}
};
class CUacBassNode : public CUacLevelNode {
 public:
  CUacBassNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacLevelNode(outerUnknown, nodeId, NODE_TYPE_BASS) {}
};
class CUacMidNode : public CUacLevelNode {
 public:
  CUacMidNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacLevelNode(outerUnknown, nodeId, NODE_TYPE_MID) {}
};
class CUacTrebleNode : public CUacLevelNode {
 public:
  CUacTrebleNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacLevelNode(outerUnknown, nodeId, NODE_TYPE_TREBLE) {}
};

inline NTSTATUS InitLevelNodeFromUnit(CUacLevelNode* node, ITopoNode* unit, ULONG controlSelector,
                                      PDEVICE_OBJECT deviceObject) {
  return node->InitFromUnit(unit, controlSelector, deviceObject);
}
