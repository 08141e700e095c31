// The output-type switch of an output terminal with several selectable
// types. A selection goes to the terminal unit (and so to the device) first;
// only when the device took it does the node switch, ask the hardware model
// to re-register the affected wave filter, tell the nodes upstream to load
// that type's values, and persist the category. When re-registration fails
// the previous type is put back on the node and the device.
#pragma once

#include "topology/COutputTypeNode.h"
#include "topology/UnitBinding.h"

class CUacOutputTypeNode : public COutputTypeNode {
 public:
  CUacOutputTypeNode(PUNKNOWN outerUnknown, ULONG nodeId) : COutputTypeNode(outerUnknown, nodeId) {}

  // The unit's type list and current category; a persisted category
  // replaces it when it is one of the list.
  NTSTATUS InitFromUnit(ITopoNode* unit, PDEVICE_OBJECT deviceObject, IAudioHal* audioHal);

  // The unit's current category, kept as the node's.
  NTSTATUS STDMETHODCALLTYPE GetCategory(PinCategory* category) override;
  NTSTATUS STDMETHODCALLTYPE SelectType(PinCategory category) override;
  NTSTATUS STDMETHODCALLTYPE ApplyToDevice(ULONG nodeIndex, PVOID context) override;
  NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() override;

 protected:
  CUnitBinding m_Binding;
  IAudioHal* m_AudioHal = nullptr;  // no reference: the model owns this node
};
