// The sum node. It is built on a terminal node so that it can also stand in
// as the stereo-mix input pin: in that mode it reports node type 0 and no
// sources, and answers ITerminal; back in sum mode it reports its inputs
// again (the ids themselves are kept throughout).
#pragma once

#include "topology/CTerminalNode.h"

class CMixerNode : public CTerminalNode, public IStereoMixNode {
 public:
  CMixerNode(PUNKNOWN outerUnknown, ULONG nodeId);

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  ULONG STDMETHODCALLTYPE GetSourceCount() override;
  NTSTATUS STDMETHODCALLTYPE GetSourceIds(PULONG count, PULONG ids) override;

  // ---- IStereoMixNode
  NTSTATUS STDMETHODCALLTYPE SetStereoMixPin(UCHAR stereoMix) override;

  // Sets the sources and the stereo-mix pin's description.
  NTSTATUS Init(ULONG inputCount, const ULONG* inputIds);

 protected:
  UCHAR m_StereoMix = FALSE;
};
