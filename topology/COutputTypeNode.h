// The output-type switch after an output terminal whose terminal type can
// be changed (speaker or headphones on one jack). It holds the selectable
// categories and the current one, and tells the nodes upstream of it (its
// listeners) which category is now in use. The change-pending flag is read
// and cleared by the hardware model on another thread.
#pragma once

#include <atomic>

#include "driver/common/CPointerList.h"
#include "driver/common/CTopoNode.h"
#include "topology/TopologyInterfaces.h"

constexpr ULONG OUTPUT_TYPE_NODE_TAG = MakeTag("TerT");
constexpr ULONG MAX_OUTPUT_TYPES = 5;

class COutputTypeNode : public CTopoNode, public IOutputTypeNode {
 public:
  COutputTypeNode(PUNKNOWN outerUnknown, ULONG nodeId);
  ~COutputTypeNode() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IOutputTypeNode
  NTSTATUS STDMETHODCALLTYPE GetCategory(PinCategory* category) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeCount(PULONG count) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeList(PULONG categories) override;
  NTSTATUS STDMETHODCALLTYPE SelectType(PinCategory category) override;
  ULONG STDMETHODCALLTYPE IsChangePending() override { return m_ChangePending.load(); }
  NTSTATUS STDMETHODCALLTYPE AckChange() override;
  NTSTATUS STDMETHODCALLTYPE AddListener(IOutputTypeSink* sink) override;
  NTSTATUS STDMETHODCALLTYPE Init(ULONG sourceId, ULONG typeCount, const PinCategory* categories) override;

 protected:
  bool IsListed(PinCategory category) const;
  // SetOutputType on every listener in order; the first failure ends the
  // round and is not reported.
  void NotifyListeners(PinCategory category, PCALLBACK_OBJECT callbackObject);

  ULONG m_TypeCount = 0;
  PinCategory* m_Categories = nullptr;
  PinCategory m_CurrentCategory = 0;
  std::atomic<ULONG> m_ChangePending{0};
  CPointerList* m_Listeners = nullptr;  // IOutputTypeSink*, one reference each
};
