// The miniport's lifecycle and the filter description it builds from the
// hardware model. The property and event handlers are in
// CMiniportTopologyHandlers.cpp.
#include "topology/CMiniportTopology.h"

#include "driver/SettingsStore.h"
#include "driver/common/SystemVersion.h"
#include "driver/hal/CUac1AudioHal.h"
#include "topology/MiniportCommon.h"
#include "topology/TopologyTable.h"

using namespace topology_table;

namespace {

constexpr WCHAR kNamePrefix[] = u"Global";
constexpr WCHAR kNameSuffix[] = u"Topo";
// Settings names of pin names: "<base>_<pin id>".
constexpr ULONG kSettingNameChars = 49;

// The walk's marks per KS node.
constexpr UCHAR kNotWalked = 0;
constexpr UCHAR kOnPath = 1;
constexpr UCHAR kWalked = 2;

template <typename T>
T* AllocateZeroed(SIZE_T count = 1) {
  return miniport_common::AllocateZeroed<T>(TOPOLOGY_MINIPORT_TAG, count);
}

using miniport_common::FreeAndClear;

}  // namespace

// ---- Lists ---------------------------------------------------------------------------------

template <typename T>
void CMiniportTopology::EntryList<T>::InsertHead(T* entry) {
  entry->prev = nullptr;
  entry->next = first;
  if (first) first->prev = entry;
  else last = entry;
  first = entry;
  ++count;
}

template <typename T>
void CMiniportTopology::EntryList<T>::InsertTail(T* entry) {
  entry->next = nullptr;
  entry->prev = last;
  if (last) last->next = entry;
  else first = entry;
  last = entry;
  ++count;
}

// Pin and node entries hold one reference on their node.
template <typename T>
void CMiniportTopology::ReleaseEntries(EntryList<T>& list) {
  while (T* entry = list.first) {
    list.first = entry->next;
    if (entry->node) entry->node->Release();
    ExFreePool(entry);
  }
  list = {};
}

// ---- Factory and object -------------------------------------------------------------------

NTSTATUS CreateMiniportTopology(PUNKNOWN* unknown, REFCLSID, PUNKNOWN outerUnknown, POOL_TYPE poolType) {
  PAGED_CODE();
  if (!unknown) return STATUS_INVALID_PARAMETER;
  *unknown = nullptr;
  auto* miniport = new (poolType, TOPOLOGY_MINIPORT_TAG) CMiniportTopology(outerUnknown);
  if (!miniport) return STATUS_INSUFFICIENT_RESOURCES;
  miniport->NonDelegatingAddRef();
  *unknown = miniport->GetInnerUnknown();
  return STATUS_SUCCESS;
}

CMiniportTopology::CMiniportTopology(PUNKNOWN outerUnknown) : CUnknownBase(outerUnknown) {}

CMiniportTopology::~CMiniportTopology() {
  PAGED_CODE();
  // The notification uses IPortEvents: it must be gone before they are.
  if (m_CallbackRegistration && m_AudioHal) m_AudioHal->UnregisterCallback(m_CallbackRegistration);
  m_CallbackRegistration = nullptr;
  if (m_Port) m_Port->Release();
  if (m_PortEvents) m_PortEvents->Release();
  m_Port = nullptr;
  m_PortEvents = nullptr;
  FreeDescription();
  while (ConnectionEntry* entry = m_Connections.first) {
    m_Connections.first = entry->next;
    ExFreePool(entry);
  }
  ReleaseEntries(m_KsNodes);
  ReleaseEntries(m_Pins);
  m_Connections = {};
  FreeAndClear(m_Name);
  if (m_AudioHal) m_AudioHal->Release();
  m_AudioHal = nullptr;
}

NTSTATUS CMiniportTopology::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IMiniport) ||
      IsEqualGUIDAligned(iid, IID_IMiniportTopology)) {
    *object = static_cast<IMiniportTopology*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IPowerNotify)) {
    *object = static_cast<IPowerNotify*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_ISubdeviceInfo)) {
    *object = static_cast<ISubdeviceInfo*>(this);
  } else {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::GetDescription(PPCFILTER_DESCRIPTOR* description) {
  if (!description) return STATUS_INVALID_PARAMETER;
  *description = m_FilterDescriptor;
  return m_FilterDescriptor ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

NTSTATUS CMiniportTopology::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) {
  return STATUS_NOT_IMPLEMENTED;
}

void CMiniportTopology::PowerChangeNotify(POWER_STATE powerState) {
  m_DevicePowerState = miniport_common::NextDevicePowerState(m_DevicePowerState, powerState);
}

NTSTATUS CMiniportTopology::GetConnectionId(PULONG id) {
  PAGED_CODE();
  if (!id) return STATUS_INVALID_PARAMETER;
  if (m_Pins.count == 0) return STATUS_UNSUCCESSFUL;
  const ULONG wanted = *id;
  *id = 0;
  PinEntry* pin = FindPinByHalId(wanted);
  if (!pin) return STATUS_UNSUCCESSFUL;
  *id = pin->pinId;
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::GetName(PWSTR* name) {
  PAGED_CODE();
  if (!name) return STATUS_INVALID_PARAMETER;
  *name = m_Name;
  return m_Name ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// ---- Init ------------------------------------------------------------------------------------

NTSTATUS CMiniportTopology::Init(PUNKNOWN unknownAdapter, PRESOURCELIST, PPORTTOPOLOGY port) {
  PAGED_CODE();
  if (!port) return STATUS_INVALID_PARAMETER;
  // The description is built once; a second Init would describe the model
  // twice over.
  if (m_Port || m_FilterDescriptor) return STATUS_INVALID_DEVICE_STATE;
  m_Port = port;
  m_Port->AddRef();

  NTSTATUS status = STATUS_INVALID_PARAMETER;
  PVOID object = nullptr;
  if (unknownAdapter) status = unknownAdapter->QueryInterface(IID_IAudioHal, &object);
  if (NT_SUCCESS(status)) m_AudioHal = static_cast<IAudioHal*>(object);
  if (NT_SUCCESS(status)) status = CollectPins();
  if (NT_SUCCESS(status)) status = CollectNodes();
  if (NT_SUCCESS(status)) status = BuildFilterDescriptor();
  if (NT_SUCCESS(status)) {
    m_Name = AllocateZeroed<WCHAR>(TOPOLOGY_NAME_CHARS + 1);
    status = m_Name ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    // A name cut to the buffer is still the name.
    NTSTATUS format = RtlStringCchPrintfW(m_Name, TOPOLOGY_NAME_CHARS + 1, u"%s%s", kNamePrefix, kNameSuffix);
    if (!NT_SUCCESS(format) && format != STATUS_BUFFER_OVERFLOW) status = format;
  }
  if (NT_SUCCESS(status)) {
    object = nullptr;
    status = m_Port->QueryInterface(IID_IPortEvents, &object);
    if (NT_SUCCESS(status)) m_PortEvents = static_cast<IPortEvents*>(object);
  }
  // Last: from here on notifications may arrive, and they need everything
  // above.
  if (NT_SUCCESS(status)) status = m_AudioHal->RegisterCallback(OnAudioHalNotify, this, &m_CallbackRegistration);

  if (!NT_SUCCESS(status)) {
    m_CallbackRegistration = nullptr;
    FreeDescription();
    if (m_AudioHal) m_AudioHal->Release();
    m_AudioHal = nullptr;
    FreeAndClear(m_Name);
    if (m_PortEvents) m_PortEvents->Release();
    m_PortEvents = nullptr;
    m_Port->Release();
    m_Port = nullptr;
    // The pin and node entries stay for the destructor.
  }
  return status;
}

void CMiniportTopology::FreeDescription() {
  FreeAndClear(m_FilterDescriptor);
  FreeAndClear(m_PinDescriptors);
  FreeAndClear(m_NodeDescriptors);
  FreeAndClear(m_ConnectionDescriptors);
}

// ---- Collecting pins and nodes -----------------------------------------------------------------

NTSTATUS CMiniportTopology::CollectPins() {
  PAGED_CODE();
  const ULONG count = m_AudioHal->GetNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(m_AudioHal->GetNode(i, &node)) || !node) continue;
    const ULONG type = node->GetType();
    if (type != NODE_TYPE_INPUT_PIN && type != NODE_TYPE_OUTPUT_PIN) continue;
    auto* entry = AllocateZeroed<PinEntry>();
    if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
    ITerminal* terminal = nullptr;
    if (!NT_SUCCESS(node->QueryInterface(IID_ITerminal, reinterpret_cast<PVOID*>(&terminal)))) {
      ExFreePool(entry);
      continue;
    }
    PinCategory category = PIN_CATEGORY_COUNT;
    if (!NT_SUCCESS(terminal->GetCategory(&category))) category = PIN_CATEGORY_COUNT;
    terminal->Release();
    node->AddRef();
    entry->node = node;
    // Stream pins first, so that the wave filters' connection points lead
    // the list.
    if (category == PIN_CATEGORY_STREAM) m_Pins.InsertHead(entry);
    else m_Pins.InsertTail(entry);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::CollectNodes() {
  PAGED_CODE();
  const ULONG count = m_AudioHal->GetNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(m_AudioHal->GetNode(i, &node)) || !node) continue;
    const ULONG type = node->GetType();
    if (type == NODE_TYPE_INPUT_PIN || type == NODE_TYPE_OUTPUT_PIN || type == NODE_TYPE_CLOCK) continue;
    auto* entry = AllocateZeroed<NodeEntry>();
    if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
    node->AddRef();
    entry->node = node;
    m_KsNodes.InsertHead(entry);
  }
  return STATUS_SUCCESS;
}

// ---- The filter descriptor ---------------------------------------------------------------------

NTSTATUS CMiniportTopology::BuildFilterDescriptor() {
  PAGED_CODE();
  auto* filter = AllocateZeroed<PCFILTER_DESCRIPTOR>();
  if (!filter) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = BuildPinDescriptors();
  if (NT_SUCCESS(status)) status = BuildNodeDescriptors();
  if (NT_SUCCESS(status)) status = BuildConnections();
  if (!NT_SUCCESS(status)) {
    ExFreePool(filter);
    FreeDescription();
    return status;
  }
  filter->Version = 0;
  filter->AutomationTable = &TopologyFilterAutomation;
  filter->PinSize = sizeof(PCPIN_DESCRIPTOR);
  filter->PinCount = m_Pins.count;
  filter->Pins = m_PinDescriptors;
  filter->NodeSize = sizeof(PCNODE_DESCRIPTOR);
  filter->NodeCount = m_NodeDescriptors ? m_KsNodes.count : 0;
  filter->Nodes = m_NodeDescriptors;
  filter->ConnectionCount = m_Connections.count;
  filter->Connections = m_ConnectionDescriptors;
  filter->CategoryCount = ARRAYSIZE(FilterCategories);
  filter->Categories = FilterCategories;
  m_FilterDescriptor = filter;
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::BuildPinDescriptors() {
  PAGED_CODE();
  if (m_Pins.count == 0) return STATUS_SUCCESS;
  m_PinDescriptors = AllocateZeroed<PCPIN_DESCRIPTOR>(m_Pins.count);
  if (!m_PinDescriptors) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG pinId = 0;
  for (PinEntry* entry = m_Pins.first; entry; entry = entry->next, ++pinId) {
    entry->pinId = pinId;
    const ULONG type = entry->node->GetType();
    PinCategory category = PIN_CATEGORY_STEREOMIX;
    ITerminal* terminal = nullptr;
    if (NT_SUCCESS(entry->node->QueryInterface(IID_ITerminal, reinterpret_cast<PVOID*>(&terminal)))) {
      if (!NT_SUCCESS(terminal->GetCategory(&category))) category = PIN_CATEGORY_COUNT;
      terminal->Release();
    }
    PCPIN_DESCRIPTOR& pin = m_PinDescriptors[pinId];
    KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
    ks.DataRangesCount = ARRAYSIZE(PinDataRanges);
    ks.DataRanges = PinDataRanges;
    ks.DataFlow = type == NODE_TYPE_INPUT_PIN ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
    ks.Communication = KSPIN_COMMUNICATION_NONE;
    NTSTATUS status = DescribePin(type, category, pinId, &ks.Category, &ks.Name);
    if (!NT_SUCCESS(status)) {
      FreeAndClear(m_PinDescriptors);
      return status;
    }
  }
  return STATUS_SUCCESS;
}

bool CMiniportTopology::ReadPinName(PCWSTR baseName, ULONG pinId, GUID* slot) {
  PAGED_CODE();
  WCHAR name[kSettingNameChars];
  if (!NT_SUCCESS(RtlStringCchPrintfW(name, kSettingNameChars, u"%s_%02d", baseName, static_cast<int>(pinId))))
    return false;
  // Read beside the slot: a shorter value must not leave the previous
  // pin's bytes behind in it.
  GUID value{};
  if (!NT_SUCCESS(AccessSetting(m_AudioHal->GetDeviceObject(), SETTINGS_READ, &value, sizeof value, name)))
    return false;
  *slot = value;
  return true;
}

NTSTATUS CMiniportTopology::DescribePin(ULONG nodeType, PinCategory category, ULONG pinId, const GUID** pinCategory,
                                        const GUID** pinName) {
  PAGED_CODE();
  *pinCategory = nullptr;
  *pinName = nullptr;
  if (category >= PinCategoryRowCount) return STATUS_INVALID_PARAMETER;
  const PinCategoryRow& row = PinCategories[category];
  const bool output = nodeType == NODE_TYPE_OUTPUT_PIN;
  *pinCategory = row.pinCategory;
  switch (row.nameRule) {
    case PinNameRule::None:
      break;
    case PinNameRule::Fixed:
      *pinName = row.name;
      break;
    case PinNameRule::Spdif:
      if (output)
        *pinName = ReadPinName(SpdifOutNameSetting, pinId, &m_SpdifOutName) ? &m_SpdifOutName : &PINNAME_SpdifOut;
      else
        *pinName = ReadPinName(SpdifInNameSetting, pinId, &m_SpdifInName) ? &m_SpdifInName : &PINNAME_SpdifIn;
      break;
    case PinNameRule::LineIn:
      if (!output && ReadPinName(LineInNameSetting, pinId, &m_LineInName)) *pinName = &m_LineInName;
      break;
    case PinNameRule::VistaFixed:
      if (IsSystemAtLeast(NTDDI_VISTA)) *pinName = row.name;
      break;
    case PinNameRule::StereoMix:
      if (IsSystemAtLeast(NTDDI_VISTA)) {
        *pinName = row.name;
      } else {
        *pinCategory = &PINCATEGORY_StereoMixLegacy;
      }
      break;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::BuildNodeDescriptors() {
  PAGED_CODE();
  if (m_KsNodes.count == 0) return STATUS_SUCCESS;
  m_NodeDescriptors = AllocateZeroed<PCNODE_DESCRIPTOR>(m_KsNodes.count);
  if (!m_NodeDescriptors) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG index = 0;
  for (NodeEntry* entry = m_KsNodes.first; entry; entry = entry->next, ++index) {
    entry->nodeIndex = index;
    NTSTATUS status = DescribeNode(entry->node, &m_NodeDescriptors[index]);
    if (!NT_SUCCESS(status)) {
      FreeAndClear(m_NodeDescriptors);
      return status;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::DescribeNode(ITopoNode* node, PCNODE_DESCRIPTOR* descriptor) {
  PAGED_CODE();
  const NodeTypeRow* row = NodeTypeRowFor(node->GetType());
  if (!row) return STATUS_INVALID_PARAMETER;
  descriptor->Flags = 0;
  switch (row->rule) {
    case NodeRule::Fixed:
      descriptor->Type = row->type;
      descriptor->AutomationTable = row->automation;
      descriptor->Name = row->name;
      return STATUS_SUCCESS;
    case NodeRule::Selector:
      if (node->GetSourceCount() > 1) {
        descriptor->Type = &KSNODETYPE_MUX;
        descriptor->AutomationTable = &MuxNodeAutomation;
      } else {
        descriptor->Type = &KSNODETYPE_DEV_SPECIFIC;
        descriptor->AutomationTable = &SingleInputSelectorAutomation;
      }
      descriptor->Name = nullptr;
      return STATUS_SUCCESS;
    case NodeRule::Processing: {
      IProcessingNode* processing = nullptr;
      NTSTATUS status = node->QueryInterface(IID_IProcessingNode, reinterpret_cast<PVOID*>(&processing));
      if (!NT_SUCCESS(status)) return status;
      status = processing->GetNameGuid(&m_ProcessingName);
      processing->Release();
      if (!NT_SUCCESS(status)) return status;
      descriptor->Type = row->type;
      descriptor->AutomationTable = row->automation;
      descriptor->Name = &m_ProcessingName;
      return STATUS_SUCCESS;
    }
    case NodeRule::Invalid:
    case NodeRule::Pin:
    case NodeRule::Hidden:
      break;
  }
  return STATUS_INVALID_PARAMETER;
}

// ---- Connections -------------------------------------------------------------------------------

// Walks a node's sources back towards the input pins, listing each
// connection on the way. The model's source ids come from the device, so
// the walk must survive any graph: a node met again on the current path is a
// cycle and fails the description; a node walked before is not walked again
// (its connections are listed), so paths that meet cost nothing and a
// layered graph stays linear. The path is an explicit stack, not recursion:
// its depth is bounded by the node count, not by the kernel stack.
class CMiniportTopology::SourceWalk {
 public:
  explicit SourceWalk(CMiniportTopology* owner) : m_Owner(owner) {}
  ~SourceWalk() {
    while (m_Depth > 0) FreeAndClear(m_Frames[--m_Depth].sources);
    FreeAndClear(m_Frames);
    FreeAndClear(m_Marks);
  }
  SourceWalk(const SourceWalk&) = delete;
  SourceWalk& operator=(const SourceWalk&) = delete;

  bool Init() {
    const ULONG nodes = m_Owner->m_KsNodes.count;
    if (nodes == 0) return true;
    static_assert(kNotWalked == 0, "the marks start zeroed");
    m_Marks = AllocateZeroed<UCHAR>(nodes);
    m_Frames = AllocateZeroed<Frame>(nodes);
    return m_Marks && m_Frames;
  }

  // Lists every connection upstream of `start` not listed yet.
  NTSTATUS Walk(NodeEntry* start) {
    PAGED_CODE();
    if (m_Marks[start->nodeIndex] == kWalked) return STATUS_SUCCESS;
    bool entered = false;
    NTSTATUS status = Enter(start, &entered);
    while (NT_SUCCESS(status) && m_Depth > 0) {
      Frame& frame = m_Frames[m_Depth - 1];
      if (frame.next == frame.count) {
        NodeEntry* done = Leave();
        if (m_Depth > 0) status = FedBy(m_Frames[m_Depth - 1], done);
        continue;
      }
      const ULONG source = frame.sources[frame.next];
      if (NodeEntry* upstream = m_Owner->FindNodeByHalId(source)) {
        const UCHAR mark = m_Marks[upstream->nodeIndex];
        if (mark == kOnPath) return STATUS_UNSUCCESSFUL;
        if (mark == kWalked) {
          status = FedBy(frame, upstream);
          continue;
        }
        status = Enter(upstream, &entered);
        // A node without sources is done as soon as it is entered.
        if (NT_SUCCESS(status) && !entered) status = FedBy(m_Frames[m_Depth - 1], upstream);
      } else if (PinEntry* pin = m_Owner->FindPinByHalId(source)) {
        status = m_Owner->AddConnection(PCFILTER_NODE, pin->pinId, frame.node->nodeIndex, frame.next + 1);
        ++frame.next;
      } else if (source == MISSING_SOURCE_ID) {
        // The device named a source it does not describe: that input stays
        // unconnected, and the others keep their numbers.
        ++frame.next;
      } else {
        return STATUS_UNSUCCESSFUL;
      }
    }
    return status;
  }

 private:
  struct Frame {
    NodeEntry* node;
    PULONG sources;
    ULONG count;
    ULONG next;  // the source being walked
  };

  // Marks `node` on the path and pushes its frame; a node without sources
  // instead takes the input pin of its own id and is done (`*entered` false).
  NTSTATUS Enter(NodeEntry* node, bool* entered) {
    *entered = false;
    ITopoNode* topo = node->node;
    const ULONG count = topo->GetSourceCount();
    if (count == 0) {
      PinEntry* pin = m_Owner->FindPinByHalId(topo->GetId());
      if (!pin) return STATUS_UNSUCCESSFUL;
      m_Marks[node->nodeIndex] = kWalked;
      return m_Owner->AddConnection(PCFILTER_NODE, pin->pinId, node->nodeIndex, 1);
    }
    auto* sources = static_cast<PULONG>(
        ExAllocatePoolWithTag(PagedPool, SIZE_T(count) * sizeof(ULONG), TOPOLOGY_MINIPORT_TAG));
    if (!sources) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG read = count;
    NTSTATUS status = topo->GetSourceIds(&read, sources);
    if (!NT_SUCCESS(status)) {
      ExFreePool(sources);
      return status;
    }
    m_Marks[node->nodeIndex] = kOnPath;
    // Only what the node really copied is walked.
    m_Frames[m_Depth++] = Frame{node, sources, read < count ? read : count, 0};
    *entered = true;
    return STATUS_SUCCESS;
  }

  NodeEntry* Leave() {
    Frame& frame = m_Frames[--m_Depth];
    m_Marks[frame.node->nodeIndex] = kWalked;
    FreeAndClear(frame.sources);
    return frame.node;
  }

  // `upstream` feeds the frame's current source pin (numbered from 1).
  NTSTATUS FedBy(Frame& frame, NodeEntry* upstream) {
    NTSTATUS status = m_Owner->AddConnection(upstream->nodeIndex, 0, frame.node->nodeIndex, frame.next + 1);
    ++frame.next;
    return status;
  }

  CMiniportTopology* m_Owner;
  PUCHAR m_Marks = nullptr;   // per KS node index
  Frame* m_Frames = nullptr;  // the path; at most one frame per node
  ULONG m_Depth = 0;
};

NTSTATUS CMiniportTopology::BuildConnections() {
  PAGED_CODE();
  PinEntry* output = FindNextOutputPin(nullptr);
  if (!output) return STATUS_UNSUCCESSFUL;
  SourceWalk walk(this);
  if (!walk.Init()) return STATUS_INSUFFICIENT_RESOURCES;
  for (; output; output = FindNextOutputPin(output)) {
    ULONG count = 1;
    ULONG source = 0;
    NTSTATUS status = output->node->GetSourceIds(&count, &source);
    if (!NT_SUCCESS(status) || count == 0) return STATUS_UNSUCCESSFUL;
    if (NodeEntry* node = FindNodeByHalId(source)) {
      status = walk.Walk(node);
      if (NT_SUCCESS(status)) status = AddConnection(node->nodeIndex, 0, PCFILTER_NODE, output->pinId);
    } else if (PinEntry* pin = FindPinByHalId(source)) {
      // An output terminal with several types feeds its second pin from its
      // first: a pin-to-pin connection.
      status = AddConnection(PCFILTER_NODE, pin->pinId, PCFILTER_NODE, output->pinId);
    } else {
      status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) return status;
  }
  return CopyConnections();
}

NTSTATUS CMiniportTopology::AddConnection(ULONG fromNode, ULONG fromNodePin, ULONG toNode, ULONG toNodePin) {
  PAGED_CODE();
  for (ConnectionEntry* entry = m_Connections.first; entry; entry = entry->next) {
    const PCCONNECTION_DESCRIPTOR& c = entry->connection;
    if (c.FromNode == fromNode && c.FromNodePin == fromNodePin && c.ToNode == toNode && c.ToNodePin == toNodePin)
      return STATUS_SUCCESS;
  }
  auto* entry = AllocateZeroed<ConnectionEntry>();
  if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
  entry->connection = {fromNode, fromNodePin, toNode, toNodePin};
  m_Connections.InsertHead(entry);
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::CopyConnections() {
  PAGED_CODE();
  if (m_Connections.count == 0) return STATUS_SUCCESS;
  m_ConnectionDescriptors = AllocateZeroed<PCCONNECTION_DESCRIPTOR>(m_Connections.count);
  if (!m_ConnectionDescriptors) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG i = 0;
  for (ConnectionEntry* entry = m_Connections.first; entry; entry = entry->next) m_ConnectionDescriptors[i++] = entry->connection;
  return STATUS_SUCCESS;
}

// ---- Lookups -----------------------------------------------------------------------------------

CMiniportTopology::PinEntry* CMiniportTopology::FindNextOutputPin(PinEntry* after) {
  for (PinEntry* entry = after ? after->next : m_Pins.first; entry; entry = entry->next)
    if (entry->node->GetType() == NODE_TYPE_OUTPUT_PIN) return entry;
  return nullptr;
}

CMiniportTopology::NodeEntry* CMiniportTopology::FindNodeByHalId(ULONG id) {
  for (NodeEntry* entry = m_KsNodes.first; entry; entry = entry->next)
    if (entry->node->GetId() == id) return entry;
  return nullptr;
}

CMiniportTopology::PinEntry* CMiniportTopology::FindPinByHalId(ULONG id) {
  for (PinEntry* entry = m_Pins.first; entry; entry = entry->next)
    if (entry->node->GetId() == id) return entry;
  return nullptr;
}

CMiniportTopology::NodeEntry* CMiniportTopology::FindNodeByIndex(ULONG index) {
  for (NodeEntry* entry = m_KsNodes.first; entry; entry = entry->next)
    if (entry->nodeIndex == index) return entry;
  return nullptr;
}

CMiniportTopology::PinEntry* CMiniportTopology::FindPinById(ULONG pinId) {
  for (PinEntry* entry = m_Pins.first; entry; entry = entry->next)
    if (entry->pinId == pinId) return entry;
  return nullptr;
}
