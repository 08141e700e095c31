// The base of every Audio Class unit object (terminals, feature, mixer and
// selector units). A unit keeps a copy of its class-specific descriptor,
// talks to the device with Audio Class and vendor control requests, and
// creates the control nodes the topology filter shows; it owns those nodes
// (one reference each) and wires them into a chain.
//
// As an ITopoNode a unit reports its descriptor's terminal or unit id and
// its descriptor subtype as type code; its source ids are unit ids (the
// descriptor's bSourceID / baSourceID), not node ids.
#pragma once

#include "driver/common/CPointerList.h"
#include "driver/common/CTopoNode.h"
#include "topology/TopologyInterfaces.h"

constexpr ULONG UAC_UNIT_TAG = MakeTag("AUAT");
// Nodes, device replies and the units' own arrays.
constexpr ULONG UAC_UNIT_DATA_TAG = MakeTag("UA10");

constexpr UCHAR UAC_CS_INTERFACE = 0x24;
constexpr UCHAR UAC_SUBTYPE_INPUT_TERMINAL = 2;
constexpr UCHAR UAC_SUBTYPE_OUTPUT_TERMINAL = 3;
constexpr UCHAR UAC_SUBTYPE_MIXER_UNIT = 4;
constexpr UCHAR UAC_SUBTYPE_SELECTOR_UNIT = 5;
constexpr UCHAR UAC_SUBTYPE_FEATURE_UNIT = 6;

// Audio Class request codes.
constexpr UCHAR UAC_SET_CUR = 0x01;
constexpr UCHAR UAC_GET_CUR = 0x81;
constexpr UCHAR UAC_GET_MIN = 0x82;
constexpr UCHAR UAC_GET_MAX = 0x83;
constexpr UCHAR UAC_GET_RES = 0x84;
constexpr UCHAR UAC_GET_MEM = 0x85;

// Node types that have exactly one source and so take part in a unit's
// chain and in its upstream connection.
bool IsSingleSourceNodeType(ULONG nodeType);

class CUacUnit : public CTopoNodeT<IUacUnit> {
 public:
  // The id is provisional until the node builder sets the descriptor's.
  CUacUnit(PUNKNOWN outerUnknown, ULONG provisionalId, UCHAR subtype);
  ~CUacUnit() override;

  // The parser's entry: checks the descriptor, keeps a copy, builds and
  // chains the nodes. A descriptor of another kind is refused with
  // STATUS_INVALID_PARAMETER, one whose fields run past its bLength with
  // STATUS_UNSUCCESSFUL.
  NTSTATUS Init(PVOID descriptor, IAudioHal* owner, IAudioHal* model);

  // ---- IUacUnit
  NTSTATUS STDMETHODCALLTYPE AttachDescriptor(PVOID descriptor, IAudioHal* owner) override;
  // With exactly one node, that node stands for the unit; nothing is re-read.
  NTSTATUS STDMETHODCALLTYPE OnControlChange(ULONG controlSelector, ULONG channel, PULONG nodeId) override;

  // ---- The node list
  // The last node: the one through which the unit feeds what lies downstream.
  NTSTATUS GetOutputNodeId(PULONG nodeId);
  // No reference is added.
  NTSTATUS GetNode(ULONG index, ITopoNode** node);
  NTSTATUS GetNodeCount(PULONG count);
  NTSTATUS AddNode(ITopoNode* node);
  // Each single-source node after the first takes the node before it as its
  // source, where an output pin passes on the node it hangs off. An output
  // terminal's nodes start with its pins, so its other pins and its
  // output-type node hang off its first pin.
  NTSTATUS ChainNodes();
  // The first node takes the output nodes of the units that feed this one.
  NTSTATUS ConnectInputNode(ULONG count, const ULONG* ids);

  // The unit object behind an ITopoNode that the hardware model keeps in its
  // unit list (every entry there is a unit).
  static CUacUnit* FromUnitNode(ITopoNode* unit) { return static_cast<CUacUnit*>(static_cast<IUacUnit*>(unit)); }

  IAudioHal* GetOwner() const { return m_Owner; }
  const UCHAR* GetDescriptor() const { return m_Descriptor; }
  ULONG GetDescriptorLength() const { return m_DescriptorLength; }

 protected:
  // Whether every field the class reads lies within `length` bytes.
  virtual bool DescriptorFits(const UCHAR* descriptor, ULONG length) const = 0;
  // Work between attaching the descriptor and building the nodes.
  virtual NTSTATUS PrepareNodes() { return STATUS_SUCCESS; }
  // Sets the unit's id, type code and sources and creates its nodes.
  virtual NTSTATUS BuildNodes(IAudioHal* owner) = 0;

  // One synchronous control request to this unit (wIndex: its id and the
  // AudioControl interface). IN buffers are zeroed first; `transferred`
  // gets the bytes the device really sent.
  NTSTATUS SendRequest(USHORT function, bool in, UCHAR request, USHORT value, PVOID buffer, ULONG length,
                       PULONG transferred = nullptr);
  // Whether the device object's USB services can be reached at all.
  NTSTATUS CheckUsbDevice();
  // An IN request for a value of fixed size: a shorter reply is a failure.
  NTSTATUS ReadExact(USHORT function, UCHAR request, USHORT value, PVOID buffer, ULONG length);

  // The non-delegating query of a unit that also answers the switch and
  // level interfaces of its controls.
  NTSTATUS QueryControlInterfaces(REFIID iid, PVOID* object, ISwitchControl* switches, ILevelControl* levels);

  // Adds a node the builder made to the hardware model's and the unit's
  // node lists.
  NTSTATUS AddBuiltNode(IAudioHal* owner, ITopoNode* node);
  // The next node id: the model's node count.
  static ULONG NextNodeId(IAudioHal* owner) { return owner->GetNodeCount(); }

  UCHAR DescriptorId() const { return m_Descriptor[3]; }

  const UCHAR m_Subtype;
  IAudioHal* m_Owner = nullptr;   // no reference
  PUCHAR m_Descriptor = nullptr;  // bLength bytes
  ULONG m_DescriptorLength = 0;
  CPointerList* m_Nodes = nullptr;  // ITopoNode*, one reference each
};
