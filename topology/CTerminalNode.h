// Terminal nodes: the pins of the topology filter. They hold what the filter
// describes a pin with: the selectable categories and the current one, the
// jack descriptions and the stream capabilities record.
//
// The jack array may be replaced while the device runs (a jack refresh on
// the status thread) while property handlers and stream engines copy it:
// count and array are read and swapped only under the node's jack lock.
#pragma once

#include "driver/common/CKernelMutex.h"
#include "driver/common/CTopoNode.h"
#include "topology/TopologyInterfaces.h"

constexpr ULONG TERMINAL_NODE_TAG = MakeTag("TerT");
constexpr ULONG MAX_TERMINAL_TYPES = 5;

class CTerminalNode : public CTopoNode, public ITerminal {
 public:
  CTerminalNode(PUNKNOWN outerUnknown, ULONG nodeId, ULONG nodeType);
  ~CTerminalNode() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- ITerminal
  NTSTATUS STDMETHODCALLTYPE GetCategory(PinCategory* category) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeCount(PULONG count) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeList(PULONG categories) override;
  NTSTATUS STDMETHODCALLTYPE SelectType(PinCategory category) override;
  // The type index is not looked at: a node stands for one type.
  NTSTATUS STDMETHODCALLTYPE GetJackCount(PULONG count, ULONG typeIndex) override;
  // Copies the smaller of `bufferBytes` and the whole jack array.
  NTSTATUS STDMETHODCALLTYPE GetJackDescriptions(ULONG bufferBytes, JackRecord* jacks, ULONG typeIndex) override;
  NTSTATUS STDMETHODCALLTYPE GetDeviceCaps(DeviceCapsRecord* caps) override;

  void SetDeviceCaps(const DeviceCapsRecord& caps) { m_DeviceCaps = caps; }

 protected:
  // Type count 1 to MAX_TERMINAL_TYPES; the current category is the first.
  NTSTATUS InitTerminal(ULONG typeCount, const PinCategory* categories, ULONG jackCount, const JackRecord* jacks);
  // Puts `jacks` (pool, tag TERMINAL_NODE_TAG, or null with a count of 0) in
  // place of the current array and frees the old one.
  void ReplaceJacks(JackRecord* jacks, ULONG jackCount);
  // Re-reads the jack records of type `typeIndex` from `source` (a terminal
  // unit). No jacks there: none here, and nothing is read. A read that fails
  // part-way leaves the records it did not reach as they were.
  NTSTATUS RefreshJacks(ITerminal* source, ULONG typeIndex);

  ULONG m_TypeCount = 0;
  PinCategory* m_Categories = nullptr;
  PinCategory m_CurrentCategory = 0;
  DeviceCapsRecord m_DeviceCaps{};

 private:
  CKernelMutex m_JackLock;
  ULONG m_JackCount = 0;
  JackRecord* m_Jacks = nullptr;
};

// An input pin of the topology filter: no source.
class CInputTerminalNode : public CTerminalNode {
 public:
  CInputTerminalNode(PUNKNOWN outerUnknown, ULONG nodeId)
      : CTerminalNode(outerUnknown, nodeId, NODE_TYPE_INPUT_PIN) {}
  NTSTATUS Init(ULONG typeCount, const PinCategory* categories, ULONG jackCount, const JackRecord* jacks);
};

// An output pin of the topology filter: exactly one source.
class COutputTerminalNode : public CTerminalNode {
 public:
  COutputTerminalNode(PUNKNOWN outerUnknown, ULONG nodeId)
      : CTerminalNode(outerUnknown, nodeId, NODE_TYPE_OUTPUT_PIN) {}
  NTSTATUS Init(ULONG sourceId, ULONG typeCount, const PinCategory* categories, ULONG jackCount,
                const JackRecord* jacks);
};

// Allocates `count` zeroed jack records for a terminal node's array; null
// for a count of 0 or when the pool is out.
JackRecord* AllocateJackRecords(ULONG count, ULONG tag = TERMINAL_NODE_TAG);
