// A clock entity's node: the sample rates it offers and the current one.
// Never shown as a KS node.
#pragma once

#include "driver/common/CTopoNode.h"
#include "topology/TopologyInterfaces.h"

constexpr ULONG CLOCK_NODE_TAG = MakeTag("cloc");
constexpr ULONG MAX_CLOCK_RATES = 30;

class CClockNode : public CTopoNode, public IClockSource {
 public:
  CClockNode(PUNKNOWN outerUnknown, ULONG nodeId);
  ~CClockNode() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IClockSource
  NTSTATUS STDMETHODCALLTYPE GetRateList(PULONG count, PULONG rates) override;
  NTSTATUS STDMETHODCALLTYPE GetRateCount(PULONG count) override;
  NTSTATUS STDMETHODCALLTYPE SetRate(ULONG rate) override;
  NTSTATUS STDMETHODCALLTYPE GetRate(PULONG rate) override;
  NTSTATUS STDMETHODCALLTYPE IsClockValid(PUCHAR valid) override;

  // An empty list is a clock with no rates yet.
  NTSTATUS Init(ULONG count, const ULONG* rates);

 protected:
  ULONG m_RateCount = 0;
  PULONG m_Rates = nullptr;
  ULONG m_CurrentRate = 0;
};
