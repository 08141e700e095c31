// A processing node bound to a feature unit's vendor control: its byte is
// sent with a vendor request, kept and persisted only when the device took
// it. Either way the two reconfigure flags are raised, so that the software
// processing behind a derived node looks at its setting again; that
// processing takes the flags at DISPATCH_LEVEL, hence the interlocked
// changes. The node lock serialises set, read and refresh.
#pragma once

#include "topology/CProcessingNode.h"
#include "topology/UnitBinding.h"

class CUacProcessingNode : public CProcessingNode, public IDspProcessor {
 public:
  CUacProcessingNode(PUNKNOWN outerUnknown, ULONG nodeId) : CProcessingNode(outerUnknown, nodeId) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // The byte from the unit (channel 0), the persisted one over it when it
  // is 0 or 1.
  NTSTATUS InitFromUnit(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject);

  // ---- IProcessingNode
  NTSTATUS STDMETHODCALLTYPE SetValue(UCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE GetValue(PUCHAR value) override;

  // ---- ITopoNode
  NTSTATUS STDMETHODCALLTYPE ApplyToDevice(ULONG nodeIndex, PVOID context) override;
  NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() override;

  // ---- IDspProcessor: keeps the stream format, processes nothing.
  NTSTATUS STDMETHODCALLTYPE Reserved1() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Reserved2() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE SetFormat(const WAVEFORMATEXTENSIBLE* format) override;
  NTSTATUS STDMETHODCALLTYPE ResetLimiters() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE*, PVOID, ULONG) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Reset() override { return STATUS_SUCCESS; }

  // Takes a raised flag back (1 -> 0); TRUE when it was raised.
  BOOLEAN TakeReconfigureFlag(ULONG index);
  ULONG GetProcessingState() const { return m_ProcessingState; }

 protected:
  // Raises a reconfigure flag (0 -> 1).
  void RaiseReconfigureFlag(ULONG index);
  // Both: the second, then the first.
  void RaiseReconfigureFlags();
  // The unit's SET_CUR of channel 0; the byte is cached and stored when the
  // device took it, and both flags are raised whatever it returned. Called
  // with the node lock held.
  NTSTATUS SendValueLocked(UCHAR value);

  CUnitBinding m_Binding;
  volatile LONG m_ReconfigureFlags[2] = {0, 0};
  ULONG m_ProcessingState = 0;
  WAVEFORMATEXTENSIBLE m_Format{};
};
