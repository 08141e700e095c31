// A mute node carried out by the driver itself: where a stream's path has no
// control between its two terminals, the hardware model puts one of these in
// front of the output terminal, and the stream engine runs it on every
// buffer. Its one switch byte only lives here: nothing goes to the device
// and nothing is persisted.
#pragma once

#include "topology/CSwitchNode.h"

constexpr ULONG SOFTWARE_MUTE_VALUES_TAG = MakeTag("DSPs");

class CSoftwareMuteNode : public IDspProcessor, public CSwitchNode {
 public:
  CSoftwareMuteNode(PUNKNOWN outerUnknown, ULONG nodeId) : CSwitchNode(outerUnknown, nodeId, NODE_TYPE_MUTE) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- ISwitchNode: one channel only
  NTSTATUS STDMETHODCALLTYPE Init(ULONG sourceId, ULONG channels) override;

  // ---- IDspProcessor
  NTSTATUS STDMETHODCALLTYPE Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS STDMETHODCALLTYPE Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS STDMETHODCALLTYPE SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE ResetLimiters() override { return STATUS_SUCCESS; }
  // Runs at DISPATCH_LEVEL under the engine's spin lock; reads the switch
  // byte once, so a change takes effect at the next buffer.
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
  NTSTATUS STDMETHODCALLTYPE Reset() override { return STATUS_SUCCESS; }
};
