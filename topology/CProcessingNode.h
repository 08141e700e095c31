// A processing node: one byte-sized setting of a device-specific processing
// block under a node name of its own. The base has nowhere to apply the
// setting; the classes that have one override SetValue and hold the lock
// while they change or refresh it.
#pragma once

#include "driver/common/CKernelMutex.h"
#include "driver/common/CTopoNode.h"
#include "topology/TopologyInterfaces.h"

class CProcessingNode : public CTopoNode, public IProcessingNode {
 public:
  CProcessingNode(PUNKNOWN outerUnknown, ULONG nodeId);

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IProcessingNode
  NTSTATUS STDMETHODCALLTYPE GetNameGuid(GUID* name) override;
  // Keeps the byte but reports failure: nothing was applied.
  NTSTATUS STDMETHODCALLTYPE SetValue(UCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE GetValue(PUCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE GetParameterCount(PULONG count) override;
  // No class of this driver has parameters.
  NTSTATUS STDMETHODCALLTYPE GetParameters(ULONG, ULONG, PULONG) override { return STATUS_INVALID_PARAMETER; }
  NTSTATUS STDMETHODCALLTYPE SetParameters(ULONG, ULONG, const ULONG*) override { return STATUS_INVALID_PARAMETER; }
  NTSTATUS STDMETHODCALLTYPE GetParameterInfo(ULONG, PULONG, PULONG, PULONG) override {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS STDMETHODCALLTYPE Init(ULONG sourceId) override;

 protected:
  GUID m_Name{};
  ULONG m_ParameterCount = 0;
  UCHAR m_Value = 0;
  CKernelMutex m_Lock;
};
