// The selector node of a selector unit: an input change goes to the device
// first and is taken (and persisted) only when the device accepted it.
#pragma once

#include "topology/CSelectorNode.h"
#include "topology/UnitBinding.h"

class CUacSelectorNode : public CSelectorNode {
 public:
  CUacSelectorNode(PUNKNOWN outerUnknown, ULONG nodeId) : CSelectorNode(outerUnknown, nodeId) {}

  // Inputs unconnected (the parser connects them); the current input from
  // the unit, the persisted one over it, then kept within 1..inputs.
  NTSTATUS InitFromUnit(ITopoNode* unit, PDEVICE_OBJECT deviceObject);

  NTSTATUS STDMETHODCALLTYPE SetInput(ULONG input) override;
  NTSTATUS STDMETHODCALLTYPE ApplyToDevice(ULONG nodeIndex, PVOID context) override;
  // The device's input, taken as it is: no input node is told, nothing is
  // persisted.
  NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() override;

 protected:
  CUnitBinding m_Binding;
};
