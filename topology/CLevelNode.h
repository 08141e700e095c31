// Level nodes: one signed 16.16 dB level per channel plus the range the
// device reports (volume, bass, mid, treble, input gain pad). The classes
// here only hold values; the unit-bound subclasses send them to the device
// and persist them, using the level arithmetic below.
#pragma once

#include "driver/common/CTopoNode.h"
#include "topology/TopologyInterfaces.h"

constexpr ULONG LEVEL_NODE_TAG = MakeTag("VTag");

// What a level request becomes: the value sent to the device and the value
// the node keeps (and persists).
struct LevelPlan {
  LONG sent;
  LONG cached;
};

// Minus infinity passes unclamped: a volume control takes it as silence,
// while a tone control has no such value and gets its minimum instead. Any
// other level is clamped into the range; the device gets it truncated
// toward zero to a whole number of steps (and clamped again, for a range
// whose ends are not multiples of the step), the node keeps it unrounded so
// that a read returns what was asked for. A zero step sends the level as it
// is.
LevelPlan PlanLevel(LONG level, LONG minimum, LONG maximum, LONG step, bool minusInfinityIsSilence);

class CLevelNode : public CTopoNode, public ILevelNode, public IOutputTypeSink {
 public:
  CLevelNode(PUNKNOWN outerUnknown, ULONG nodeId, ULONG nodeType);
  ~CLevelNode() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- ILevelNode
  NTSTATUS STDMETHODCALLTYPE GetLevel(ULONG channel, PLONG level) override;
  NTSTATUS STDMETHODCALLTYPE SetLevel(ULONG channel, LONG level) override;
  NTSTATUS STDMETHODCALLTYPE GetRange(PLONG maximum, PLONG minimum, PLONG step) override;
  // Clamped by the output type; the stored count never changes.
  NTSTATUS STDMETHODCALLTYPE GetChannelCount(PULONG count) override;
  NTSTATUS STDMETHODCALLTYPE Init(ULONG sourceId, ULONG channels, LONG maximum, LONG minimum, LONG step) override;

  // ---- IOutputTypeSink
  NTSTATUS STDMETHODCALLTYPE SetOutputType(ULONG outputType, PCALLBACK_OBJECT callbackObject) override;

 protected:
  bool ValidChannel(ULONG channel) const { return m_Values && channel < m_ChannelCount; }
  // Volume-like nodes take minus infinity as silence; tone nodes do not.
  bool TakesSilence() const { return m_NodeType != NODE_TYPE_BASS && m_NodeType != NODE_TYPE_MID &&
                                     m_NodeType != NODE_TYPE_TREBLE; }
  LevelPlan Plan(LONG level) const { return PlanLevel(level, m_Minimum, m_Maximum, m_Step, TakesSilence()); }

  ULONG m_ChannelCount = 0;
  PLONG m_Values = nullptr;
  LONG m_Maximum = 0;
  LONG m_Minimum = 0;
  LONG m_Step = 0;
  ULONG m_OutputType = 0;
};

// The classes that only fix a node type code.
class CVolumeNode : public CLevelNode {
 public:
  CVolumeNode(PUNKNOWN outerUnknown, ULONG nodeId) : CLevelNode(outerUnknown, nodeId, NODE_TYPE_VOLUME) {}
};
class CBassNode : public CLevelNode {
 public:
  CBassNode(PUNKNOWN outerUnknown, ULONG nodeId) : CLevelNode(outerUnknown, nodeId, NODE_TYPE_BASS) {}
};
class CMidNode : public CLevelNode {
 public:
  CMidNode(PUNKNOWN outerUnknown, ULONG nodeId) : CLevelNode(outerUnknown, nodeId, NODE_TYPE_MID) {}
};
class CTrebleNode : public CLevelNode {
 public:
  CTrebleNode(PUNKNOWN outerUnknown, ULONG nodeId) : CLevelNode(outerUnknown, nodeId, NODE_TYPE_TREBLE) {}
};
