// Device-specific control nodes of the other-device models, and the clock
// node that gives their stream engines the sampling rates:
//
// - a vendor switch (type 18) bound to a feature unit's one-byte control,
//   which keeps a value only when the device took it;
// - a board switch (type 22) that lives in the Settings store alone;
// - an input gain pad (type 8) bound to a level control, whose silence is
//   the pad's minimum;
// - a clock node bound to a clock entity (never shown as a KS node);
// - a mute that knows which selector input it sits on.
//
// All are created by the models' units at PASSIVE_LEVEL and persist their
// values under the unit-bound nodes' names. Their setters hold the node's
// binding lock from the device request to the Settings write, as every
// unit-bound node does, so a property request and the status thread's
// refresh of the same node never interleave.
#pragma once

#include <atomic>

#include "topology/CClockNode.h"
#include "topology/CUacLevelNode.h"
#include "topology/CUacSwitchNode.h"

class CUacVendorSwitchNode : public CUacSwitchNode {
 public:
  CUacVendorSwitchNode(PUNKNOWN outerUnknown, ULONG nodeId)
      : CUacSwitchNode(outerUnknown, nodeId, NODE_TYPE_DEVICE_SWITCH) {}

  // A value the device refuses is neither cached nor persisted, and the
  // refusal is returned.
  NTSTATUS STDMETHODCALLTYPE SetValue(ULONG channel, UCHAR value) override;
};

class CUacBoardSwitchNode : public CUacSwitchNode {
 public:
  CUacBoardSwitchNode(PUNKNOWN outerUnknown, ULONG nodeId)
      : CUacSwitchNode(outerUnknown, nodeId, NODE_TYPE_BOARD_SWITCH) {}

  // One channel, starting from its persisted value for output type 0.
  NTSTATUS InitFromUnit(ITopoNode* unit, PDEVICE_OBJECT settingsOwner);
  // Cached and persisted; nothing goes to the device.
  NTSTATUS STDMETHODCALLTYPE SetValue(ULONG channel, UCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() override { return STATUS_SUCCESS; }
};

class CUacInputGainPadNode : public CUacLevelNode {
 public:
  CUacInputGainPadNode(PUNKNOWN outerUnknown, ULONG nodeId)
      : CUacLevelNode(outerUnknown, nodeId, NODE_TYPE_INPUT_GAIN_PAD) {}

  // Channel 0xFFFFFFFF reads channel 0.
  NTSTATUS STDMETHODCALLTYPE GetLevel(ULONG channel, PLONG level) override;
  // Channel 0xFFFFFFFF sets every channel. Silence is the minimum; a value
  // the device refuses is not kept, ends an all-channel set there (the
  // channels before keep theirs) and is returned.
  NTSTATUS STDMETHODCALLTYPE SetLevel(ULONG channel, LONG level) override;
};

class CUacClockNode : public CClockNode {
 public:
  CUacClockNode(PUNKNOWN outerUnknown, ULONG nodeId) : CClockNode(outerUnknown, nodeId) {}

  // The unit's rate list becomes the node's.
  NTSTATUS InitFromUnit(ITopoNode* unit);
  // The unit's rate first; the node keeps it only when the unit took it.
  NTSTATUS STDMETHODCALLTYPE SetRate(ULONG rate) override;
  NTSTATUS STDMETHODCALLTYPE IsClockValid(PUCHAR valid) override;

 private:
  template <typename Fn>
  NTSTATUS WithUnitClock(Fn&& fn);

  ITopoNode* m_Unit = nullptr;  // no reference: the unit owns the node
};

// Which selector input a node sits on, and which input is selected. Read
// without a lock by the software path: each is one aligned 32-bit word.
class CSelectorInputState {
 public:
  void SetSelected(ULONG input);
  void SetIndex(ULONG input);
  // Both 0 for a node no selector registered.
  bool IsSelected() const;

 private:
  std::atomic<ULONG> m_InputIndex{0};
  std::atomic<ULONG> m_SelectedInput{0};
};

class CUacSelectorInputMuteNode : public CUacMuteNode, public ISelectorInputNode {
 public:
  CUacSelectorInputMuteNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacMuteNode(outerUnknown, nodeId) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- ISelectorInputNode
  NTSTATUS STDMETHODCALLTYPE OnSelectionChange(ULONG, ULONG) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE SetSelectedInput(ULONG input) override;
  NTSTATUS STDMETHODCALLTYPE SetInputIndex(ULONG input) override;

  bool IsSelectedInput() const { return m_Selection.IsSelected(); }

 private:
  CSelectorInputState m_Selection;
};
