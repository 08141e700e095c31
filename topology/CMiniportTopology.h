// The topology miniport of the one topology filter the driver registers
// ("GlobalTopo"). It owns no controls: at Init it reads the hardware
// model's node list and describes it to the port-class framework as pins
// (the terminal nodes), KS nodes (every other node but clocks), connections
// (found by walking each output terminal's sources back to the inputs) and
// per-node automation tables. Property requests on pins and nodes come back
// here and go on to the node objects; control changes announced by the
// hardware model leave as KSEVENT_CONTROL_CHANGE.
//
// The description never changes after Init. Property handlers run at
// PASSIVE_LEVEL and take no lock (the nodes serialise their own state); the
// event handler and the model's notification run in nonpaged code, the
// notification possibly while a property request runs. The model's callback
// is registered only once IPortEvents is held and unregistered before it is
// released.
#pragma once

#include "topology/TopologyItems.h"

constexpr ULONG TOPOLOGY_MINIPORT_TAG = MakeTag("TOPO");
// Temporary arrays of the property handlers.
constexpr ULONG TOPOLOGY_TEMP_TAG = MakeTag("Temp");
// The subdevice name holds at most this many characters and a terminator.
constexpr ULONG TOPOLOGY_NAME_CHARS = 50;

// The miniport factory StartDevice installs the topology filter with.
NTSTATUS CreateMiniportTopology(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outerUnknown, POOL_TYPE poolType);

class CMiniportTopology : public CTopologyItems, public IPowerNotify, public ISubdeviceInfo, public CUnknownBase {
 public:
  explicit CMiniportTopology(PUNKNOWN outerUnknown);
  ~CMiniportTopology() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IMiniport / IMiniportTopology
  NTSTATUS STDMETHODCALLTYPE GetDescription(PPCFILTER_DESCRIPTOR* description) override;
  NTSTATUS STDMETHODCALLTYPE DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange,
                                                   PKSDATARANGE matchingDataRange, ULONG outputBufferLength,
                                                   PVOID resultantFormat, PULONG resultantFormatLength) override;
  NTSTATUS STDMETHODCALLTYPE Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTTOPOLOGY port) override;

  // ---- IPowerNotify
  void STDMETHODCALLTYPE PowerChangeNotify(POWER_STATE powerState) override;

  // ---- ISubdeviceInfo
  NTSTATUS STDMETHODCALLTYPE GetConnectionId(PULONG id) override;
  NTSTATUS STDMETHODCALLTYPE GetName(PWSTR* name) override;

  // The hardware model's control-change notification (context: the
  // miniport; argument 1: an AudioHalNotify).
  static void OnAudioHalNotify(PVOID context, PVOID argument1, PVOID argument2);

  DEVICE_POWER_STATE GetDevicePowerState() const { return static_cast<DEVICE_POWER_STATE>(m_DevicePowerState); }

 private:
  template <typename T>
  struct EntryList {
    T* first = nullptr;
    T* last = nullptr;
    ULONG count = 0;
    void InsertHead(T* entry);
    void InsertTail(T* entry);
  };
  struct PinEntry {
    PinEntry* next;
    PinEntry* prev;
    ITopoNode* node;  // one reference
    ULONG pinId;
  };
  struct NodeEntry {
    NodeEntry* next;
    NodeEntry* prev;
    ITopoNode* node;  // one reference
    ULONG nodeIndex;
  };
  struct ConnectionEntry {
    ConnectionEntry* next;
    ConnectionEntry* prev;
    PCCONNECTION_DESCRIPTOR connection;
  };
  class SourceWalk;
  template <typename T>
  static void ReleaseEntries(EntryList<T>& list);

  // ---- Description
  NTSTATUS CollectPins();
  NTSTATUS CollectNodes();
  NTSTATUS BuildFilterDescriptor();
  NTSTATUS BuildPinDescriptors();
  NTSTATUS DescribePin(ULONG nodeType, PinCategory category, ULONG pinId, const GUID** pinCategory,
                       const GUID** pinName);
  NTSTATUS BuildNodeDescriptors();
  NTSTATUS DescribeNode(ITopoNode* node, PCNODE_DESCRIPTOR* descriptor);
  NTSTATUS BuildConnections();
  NTSTATUS AddConnection(ULONG fromNode, ULONG fromNodePin, ULONG toNode, ULONG toNodePin);
  NTSTATUS CopyConnections();
  // Reads a pin's 16-byte name from Settings into `slot`; false when absent.
  bool ReadPinName(PCWSTR baseName, ULONG pinId, GUID* slot);
  void FreeDescription();

  // ---- Lookups
  PinEntry* FindNextOutputPin(PinEntry* after);
  NodeEntry* FindNodeByHalId(ULONG id);
  PinEntry* FindPinByHalId(ULONG id);
  NodeEntry* FindNodeByIndex(ULONG index);
  PinEntry* FindPinById(ULONG pinId);
  // The node of a node request, or STATUS_INVALID_PARAMETER.
  NTSTATUS LookupNode(PPCPROPERTY_REQUEST request, ITopoNode** node);
  // The terminal of a pin request (jack and capability handlers, steps
  // before the answer); `*basicSupport` is set when the pin answer was
  // given instead.
  NTSTATUS LookupPinTerminal(PPCPROPERTY_REQUEST request, ITerminal** terminal, bool* basicSupport);

  // ---- Property handlers
  NTSTATUS HandleSwitchProperty(PPCPROPERTY_REQUEST request) override;
  NTSTATUS HandleLevelProperty(PPCPROPERTY_REQUEST request) override;
  NTSTATUS HandleMuxSourceProperty(PPCPROPERTY_REQUEST request) override;
  NTSTATUS HandleDevSpecificProperty(PPCPROPERTY_REQUEST request) override;
  NTSTATUS HandleNodeKindProperty(PPCPROPERTY_REQUEST request) override;
  NTSTATUS HandleInputGainPadProperty(PPCPROPERTY_REQUEST request, ITopoNode* node);
  NTSTATUS HandleOutputTypeProperty(PPCPROPERTY_REQUEST request, ITopoNode* node);
  NTSTATUS HandleBooleanNodeProperty(PPCPROPERTY_REQUEST request, ITopoNode* node);
  NTSTATUS HandleVendorBooleanProperty(PPCPROPERTY_REQUEST request, ITopoNode* node);
  NTSTATUS HandleRangedValueProperty(PPCPROPERTY_REQUEST request, ITopoNode* node);
  NTSTATUS HandleDeviceSwitchProperty(PPCPROPERTY_REQUEST request, ITopoNode* node);
  NTSTATUS HandleParameterBlockProperty(PPCPROPERTY_REQUEST request, ITopoNode* node);
  NTSTATUS HandleProcessingNodeProperty(PPCPROPERTY_REQUEST request, ITopoNode* node);
  NTSTATUS HandleGenericDevSpecific(PPCPROPERTY_REQUEST request);
  NTSTATUS HandleJackDescription(PPCPROPERTY_REQUEST request) override;
  NTSTATUS HandleJackDescription2(PPCPROPERTY_REQUEST request) override;
  // Both jack answers: KSJACK_DESCRIPTION records, or KSJACK_DESCRIPTION2
  // (`presence`).
  NTSTATUS AnswerJacks(PPCPROPERTY_REQUEST request, bool presence);
  NTSTATUS HandlePinCapsProperty(PPCPROPERTY_REQUEST request) override;
  NTSTATUS HandleEvent(PPCEVENT_REQUEST request) override;
  void RaiseControlChange(ULONG nodeIndex);

  // The filter description handed out by GetDescription, and its arrays.
  PPCFILTER_DESCRIPTOR m_FilterDescriptor = nullptr;
  PPCPIN_DESCRIPTOR m_PinDescriptors = nullptr;
  PPCNODE_DESCRIPTOR m_NodeDescriptors = nullptr;
  PPCCONNECTION_DESCRIPTOR m_ConnectionDescriptors = nullptr;

  IPortTopology* m_Port = nullptr;       // referenced
  IPortEvents* m_PortEvents = nullptr;   // referenced
  PWSTR m_Name = nullptr;                // TOPOLOGY_NAME_CHARS + 1, paged
  PVOID m_CallbackRegistration = nullptr;
  IAudioHal* m_AudioHal = nullptr;       // referenced

  ULONG m_DevicePowerState = PowerDeviceD0;

  EntryList<PinEntry> m_Pins;
  EntryList<NodeEntry> m_KsNodes;
  EntryList<ConnectionEntry> m_Connections;

  // One name per kind and filter: a later pin or node of the kind
  // overwrites it, and every descriptor of the kind points here.
  GUID m_SpdifOutName{};
  GUID m_SpdifInName{};
  GUID m_LineInName{};
  GUID m_ProcessingName{};
};
