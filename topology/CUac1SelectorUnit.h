// The Audio Class 1.0 selector unit: reads and sets the selected input with
// class requests (GET_CUR / SET_CUR, wValue 0, one byte, 1-based) and
// contributes one selector node.
#pragma once

#include "topology/CUacUnit.h"

class CUac1SelectorUnit : public CUacUnit, public ISelector {
 public:
  CUac1SelectorUnit(PUNKNOWN outerUnknown, ULONG provisionalId);

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- ISelector
  NTSTATUS STDMETHODCALLTYPE GetInput(PULONG input) override;
  // Inputs outside 1..bNrInPins never reach the device.
  NTSTATUS STDMETHODCALLTYPE SetInput(ULONG input) override;
  NTSTATUS STDMETHODCALLTYPE GetInputCount(PULONG count) override;
  // Only selector nodes keep input nodes.
  NTSTATUS STDMETHODCALLTYPE AddInputNode(ISelectorInputNode*) override { return STATUS_NOT_IMPLEMENTED; }

 protected:
  bool DescriptorFits(const UCHAR* descriptor, ULONG length) const override;
  NTSTATUS BuildNodes(IAudioHal* owner) override;
  bool IsSelectorUnit() const { return m_Descriptor && m_Descriptor[2] == UAC_SUBTYPE_SELECTOR_UNIT; }
};
