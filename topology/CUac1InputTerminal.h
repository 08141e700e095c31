// The Audio Class 1.0 input terminal: one pin node, one category, and the
// jacks the device describes for it.
#pragma once

#include "topology/CSingleTypeTerminal.h"
#include "topology/CUac1Terminal.h"

class CUac1InputTerminal : public CSingleTypeTerminal<CUac1Terminal> {
 public:
  CUac1InputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId);

  // Refreshes the pin node (jacks and category) and names it.
  NTSTATUS STDMETHODCALLTYPE OnControlChange(ULONG controlSelector, ULONG channel, PULONG nodeId) override;

 protected:
  bool DescriptorFits(const UCHAR*, ULONG length) const override { return length >= 6; }
  NTSTATUS BuildNodes(IAudioHal* owner) override;
  PinCategory Category() const override;
  // Jacks count only for microphones, telephony terminals and connectors.
  bool TypeHasJacks() const override;
  bool DescribesJacks() const override;
};
