// Switch nodes: one byte per channel (mute, AGC, loudness, device-specific
// switches). The classes here only hold values; the unit-bound subclasses
// send them to the device and persist them.
#pragma once

#include "driver/common/CTopoNode.h"
#include "topology/TopologyInterfaces.h"

constexpr ULONG SWITCH_NODE_TAG = MakeTag("MTag");

class CSwitchNode : public CTopoNode, public ISwitchNode, public IOutputTypeSink {
 public:
  CSwitchNode(PUNKNOWN outerUnknown, ULONG nodeId, ULONG nodeType);
  ~CSwitchNode() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- ISwitchNode
  NTSTATUS STDMETHODCALLTYPE GetValue(ULONG channel, PUCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE SetValue(ULONG channel, UCHAR value) override;
  // Clamped by the output type; the stored count never changes.
  NTSTATUS STDMETHODCALLTYPE GetChannelCount(PULONG count) override;
  NTSTATUS STDMETHODCALLTYPE Init(ULONG sourceId, ULONG channels) override;

  // ---- IOutputTypeSink
  NTSTATUS STDMETHODCALLTYPE SetOutputType(ULONG outputType, PCALLBACK_OBJECT callbackObject) override;

 protected:
  // The byte array is read without a lock by the software path at
  // DISPATCH_LEVEL while property requests write it: every access is one
  // atomic byte load or store.
  UCHAR LoadValue(ULONG channel) const;
  void StoreValue(ULONG channel, UCHAR value);
  bool ValidChannel(ULONG channel) const { return m_Values && channel < m_ChannelCount; }
  // Replaces the value array by `channels` + 1 zeroed bytes from `poolType`.
  NTSTATUS AllocateValues(ULONG channels, POOL_TYPE poolType, ULONG tag);

  ULONG m_ChannelCount = 0;
  PUCHAR m_Values = nullptr;
  ULONG m_OutputType = 0;
};

// The classes that only fix a node type code.
class CMuteNode : public CSwitchNode {
 public:
  CMuteNode(PUNKNOWN outerUnknown, ULONG nodeId) : CSwitchNode(outerUnknown, nodeId, NODE_TYPE_MUTE) {}
};
class CAgcNode : public CSwitchNode {
 public:
  CAgcNode(PUNKNOWN outerUnknown, ULONG nodeId) : CSwitchNode(outerUnknown, nodeId, NODE_TYPE_AGC) {}
};
class CLoudnessNode : public CSwitchNode {
 public:
  CLoudnessNode(PUNKNOWN outerUnknown, ULONG nodeId) : CSwitchNode(outerUnknown, nodeId, NODE_TYPE_LOUDNESS) {}
};
