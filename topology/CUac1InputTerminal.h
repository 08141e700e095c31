// The Audio Class 1.0 input terminal: one pin node, one category, and the
// jacks the device describes for it.
#pragma once

#include "topology/CUac1Terminal.h"

class CUac1InputTerminal : public CUac1Terminal {
 public:
  CUac1InputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId);
  ~CUac1InputTerminal() override;

  // Refreshes the pin node (jacks and category) and names it.
  NTSTATUS STDMETHODCALLTYPE OnControlChange(ULONG controlSelector, ULONG channel, PULONG nodeId) override;

  // ---- ITerminal
  NTSTATUS STDMETHODCALLTYPE GetCategory(PinCategory* category) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeCount(PULONG count) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeList(PULONG categories) override;
  NTSTATUS STDMETHODCALLTYPE SelectType(PinCategory category) override;
  // Jacks count only for microphones, telephony terminals and connectors.
  NTSTATUS STDMETHODCALLTYPE GetJackCount(PULONG count, ULONG typeIndex) override;
  NTSTATUS STDMETHODCALLTYPE GetJackDescriptions(ULONG bufferBytes, JackRecord* jacks, ULONG typeIndex) override;

 protected:
  bool DescriptorFits(const UCHAR*, ULONG length) const override { return length >= 6; }
  NTSTATUS BuildNodes(IAudioHal* owner) override;

  ULONG m_JackCount = 0;
  JackRecord* m_Jacks = nullptr;
};
