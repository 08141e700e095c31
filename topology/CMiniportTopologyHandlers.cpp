// The miniport's property and event handlers, which the item routines of
// the automation tables hand their requests to. A node request finds its KS
// node by number, checks that the node's type code fits the property, and forwards the value to the node object's
// interface; pin requests answer jack descriptions and capabilities from the
// terminal node. Every caller buffer is checked once, before a handler
// reads or writes it, and only the checked sizes are used afterwards.
#include "driver/common/ValidatePropertyParams.h"
#include "topology/CMiniportTopology.h"
#include "topology/TopologyTable.h"

using namespace topology_table;

namespace {

// ---- Buffer needs -----------------------------------------------------------------------------

// A channel in the instance and a 32-bit value.
constexpr PropertyItemNeeds kChannelValue{{sizeof(ULONG), sizeof(ULONG)}, {sizeof(ULONG), sizeof(ULONG)}};
// A 32-bit value, no instance.
constexpr PropertyItemNeeds kPlainValue{{0, sizeof(ULONG)}, {0, sizeof(ULONG)}};
constexpr PropertyBufferNeeds kGuidValue{0, sizeof(GUID)};
constexpr PropertyBufferNeeds kUlongValue{0, sizeof(ULONG)};
// Parameter requests: {first, count} in the instance; SET adds one value at least.
constexpr PropertyBufferNeeds kParameterBlockSet{3 * sizeof(ULONG), 0};
constexpr PropertyBufferNeeds kParameterBlockGet{2 * sizeof(ULONG), 2 * sizeof(ULONG)};
constexpr PropertyBufferNeeds kParameterInfo{sizeof(ULONG), 3 * sizeof(ULONG)};

// ---- Basic-support shapes -----------------------------------------------------------------------

constexpr ULONG kReadWrite = KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
constexpr ULONG kWriteOnly = KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_SET;
constexpr ULONG kReadOnly = KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET;
constexpr ULONG kDescription = sizeof(KSPROPERTY_DESCRIPTION);
constexpr ULONG kMembersHeader = sizeof(KSPROPERTY_MEMBERSHEADER);

// A stepped answer of `channels` identical members.
constexpr ULONGLONG SteppedSize(ULONG channels) {
  return kDescription + kMembersHeader + ULONGLONG(channels) * sizeof(KSPROPERTY_STEPPING_LONG);
}
static_assert(SteppedSize(2) == 88);

// The gain pad's one member: its size, the kind, then {size of the rest,
// maximum, minimum, step}.
constexpr ULONG kGainPadMember = sizeof(ULONG) + sizeof(GUID) + 4 * sizeof(ULONG);
constexpr ULONG kGainPadSize = kDescription + kMembersHeader + kGainPadMember;
static_assert(kGainPadMember == 36 && kGainPadSize == 92);
// A kind value's one member: its size, the kind, a zero.
constexpr ULONG kKindMember = sizeof(ULONG) + sizeof(GUID) + sizeof(ULONG);
constexpr ULONG kKindValueSize = kDescription + kMembersHeader + kKindMember;
static_assert(kKindMember == 24 && kKindValueSize == 80);
constexpr ULONG kRangeSize = kDescription + kMembersHeader + sizeof(KSPROPERTY_BOUNDS_LONG);
static_assert(kRangeSize == 64);

constexpr BasicSupportShape kPinShape{KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET, &GUID_NULL, 0, kDescription,
                                      0, 0};
constexpr BasicSupportShape kPlainSwitchShape{kReadWrite, &KSPROPTYPESETID_General, VT_BOOL, kDescription, 0,
                                              kDescription};
constexpr BasicSupportShape kUnsignedRangeShape{kWriteOnly, &KSPROPTYPESETID_General, VT_UI4, kRangeSize, 0,
                                                kRangeSize};
constexpr BasicSupportShape kRangedValueShape{kReadWrite, &KSPROPTYPESETID_General, VT_UI4, kRangeSize, 0,
                                              kRangeSize};
constexpr BasicSupportShape kGainPadShape{kReadWrite, &KSPROPTYPESETID_General, VT_I4, kGainPadSize, 0,
                                          kGainPadSize};
static_assert(kReadOnly == 0x201 && kWriteOnly == 0x202 && kReadWrite == 0x203);

PUCHAR PutMembersHeader(PUCHAR at, ULONG flags, ULONG size, ULONG count, ULONG memberFlags) {
  const KSPROPERTY_MEMBERSHEADER header{flags, size, count, memberFlags};
  RtlCopyMemory(at, &header, sizeof header);
  return at + sizeof header;
}

PUCHAR PutUlong(PUCHAR at, ULONG value) {
  WriteUlong(at, value);
  return at + sizeof(ULONG);
}

PUCHAR PutGuid(PUCHAR at, const GUID& guid) {
  RtlCopyMemory(at, &guid, sizeof guid);
  return at + sizeof guid;
}

// Stepped answers of level and switch nodes: one stepping per channel.
NTSTATUS DescribeStepped(PPCPROPERTY_REQUEST request, ULONG propType, ULONG channels,
                         NTSTATUS (*range)(void* context, LONG* maximum, LONG* minimum, LONG* step), void* context) {
  const ULONGLONG full = SteppedSize(channels);
  if (full > MAXULONG) return STATUS_INVALID_PARAMETER;
  const BasicSupportShape shape{kReadWrite, &KSPROPTYPESETID_General, propType, ULONG(full), 1, ULONG(full)};
  PUCHAR members = nullptr;
  NTSTATUS status = BeginBasicSupport(request, shape, &members);
  if (!NT_SUCCESS(status) || !members) return status;
  LONG maximum = 0, minimum = 0, step = 0;
  status = range(context, &maximum, &minimum, &step);
  if (!NT_SUCCESS(status)) return status;
  members = PutMembersHeader(members, KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), channels,
                             KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL);
  KSPROPERTY_STEPPING_LONG stepping{};
  stepping.SteppingDelta = static_cast<ULONG>(step);
  stepping.Reserved = 0;
  stepping.Bounds.SignedMinimum = minimum;
  stepping.Bounds.SignedMaximum = maximum;
  for (ULONG i = 0; i < channels; ++i, members += sizeof stepping) RtlCopyMemory(members, &stepping, sizeof stepping);
  return STATUS_SUCCESS;
}

// The kind-value answer of device-specific nodes: one value member naming
// the node's kind.
NTSTATUS DescribeKindValue(PPCPROPERTY_REQUEST request, ULONG propType, const GUID& kind) {
  const BasicSupportShape shape{kWriteOnly, &KSPROPTYPESETID_General, propType, kKindValueSize, 0, kKindValueSize};
  PUCHAR members = nullptr;
  NTSTATUS status = BeginBasicSupport(request, shape, &members);
  if (!NT_SUCCESS(status) || !members) return status;
  members = PutMembersHeader(members, KSPROPERTY_MEMBER_VALUES, kKindMember, 1, 0);
  members = PutUlong(members, kKindMember);
  members = PutGuid(members, kind);
  PutUlong(members, 0);
  return STATUS_SUCCESS;
}

// ULONG and ULONG-list answers, whose size the caller may ask for.
NTSTATUS AnswerUlongs(PPCPROPERTY_REQUEST request, const ULONG* values, ULONG count, bool list) {
  if (request->Verb != KSPROPERTY_TYPE_GET) return STATUS_INVALID_PARAMETER;
  const ULONGLONG needed = list ? 2 * sizeof(ULONG) + ULONGLONG(count) * sizeof(ULONG) : sizeof(ULONG);
  if (needed > MAXULONG) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = ValidateSizedAnswer(request, ULONG(needed), STATUS_INVALID_PARAMETER);
  if (!NT_SUCCESS(status)) return status;
  auto* out = static_cast<PUCHAR>(request->Value);
  if (list) {
    out = PutUlong(out, ULONG(needed));
    out = PutUlong(out, count);
  }
  for (ULONG i = 0; i < (list ? count : 1); ++i) out = PutUlong(out, values[i]);
  request->ValueSize = ULONG(needed);
  return STATUS_SUCCESS;
}

// A node interface held for the length of one request.
template <typename T>
class NodeInterface {
 public:
  NodeInterface() = default;
  ~NodeInterface() {
    if (m_Interface) m_Interface->Release();
  }
  NodeInterface(const NodeInterface&) = delete;
  NodeInterface& operator=(const NodeInterface&) = delete;
  NTSTATUS Query(IUnknown* node, REFIID iid) { return node->QueryInterface(iid, reinterpret_cast<PVOID*>(&m_Interface)); }
  // For a routine that hands out a referenced pointer.
  T** Receive() { return &m_Interface; }
  T* operator->() const { return m_Interface; }
  T* Get() const { return m_Interface; }

 private:
  T* m_Interface = nullptr;
};

// The parameter requests that processing and parameter-block nodes share;
// the two interfaces name the five operations alike.
struct ParameterIds {
  ULONG name;
  ULONG count;
  ULONG info;
  ULONG getBlock;
  ULONG setBlock;
};
constexpr ParameterIds kProcessingIds{PROCESSINGNODE_NAME, PROCESSINGNODE_PARAMETER_COUNT,
                                      PROCESSINGNODE_PARAMETER_INFO, PROCESSINGNODE_PARAMETERS,
                                      PROCESSINGNODE_PARAMETERS};
constexpr ParameterIds kParameterBlockIds{PARAMETERBLOCK_NAME, PARAMETERBLOCK_PARAMETER_COUNT,
                                          PARAMETERBLOCK_PARAMETER_INFO, PARAMETERBLOCK_GET_BLOCK,
                                          PARAMETERBLOCK_SET_BLOCK};

template <typename TNode>
NTSTATUS HandleParameters(PPCPROPERTY_REQUEST request, TNode* node, ULONG parameterCount, const ParameterIds& ids) {
  const ULONG id = request->PropertyItem->Id;
  NTSTATUS status;
  if (request->Verb == KSPROPERTY_TYPE_SET && id == ids.setBlock) {
    status = ValidatePropertyParams(request, kParameterBlockSet, STATUS_INVALID_PARAMETER);
    if (!NT_SUCCESS(status)) return status;
    const ULONG first = ReadUlong(request->Instance, 0);
    const ULONG count = ReadUlong(request->Instance, sizeof(ULONG));
    // The values are what follows {first, count} in the instance, no more.
    if (count != (request->InstanceSize - 2 * sizeof(ULONG)) / sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    if (ULONGLONG(first) + count > parameterCount) return STATUS_INVALID_PARAMETER;
    return node->SetParameters(first, count, reinterpret_cast<const ULONG*>(static_cast<PUCHAR>(request->Instance) +
                                                                            2 * sizeof(ULONG)));
  }
  if (request->Verb != KSPROPERTY_TYPE_GET) return STATUS_INVALID_PARAMETER;
  if (id == ids.name) {
    status = ValidatePropertyParams(request, kGuidValue, STATUS_INVALID_PARAMETER);
    GUID name{};
    if (NT_SUCCESS(status)) status = node->GetNameGuid(&name);
    if (!NT_SUCCESS(status)) return status;
    PutGuid(static_cast<PUCHAR>(request->Value), name);
    request->ValueSize = sizeof(GUID);
    return STATUS_SUCCESS;
  }
  if (id == ids.count) {
    status = ValidatePropertyParams(request, kUlongValue, STATUS_INVALID_PARAMETER);
    if (!NT_SUCCESS(status)) return status;
    WriteUlong(request->Value, parameterCount);
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  if (id == ids.info) {
    status = ValidatePropertyParams(request, kParameterInfo, STATUS_INVALID_PARAMETER);
    ULONG info[3] = {};
    if (NT_SUCCESS(status)) status = node->GetParameterInfo(ReadUlong(request->Instance), &info[0], &info[1], &info[2]);
    if (!NT_SUCCESS(status)) return status;
    RtlCopyMemory(request->Value, info, sizeof info);
    request->ValueSize = sizeof info;
    return STATUS_SUCCESS;
  }
  if (id == ids.getBlock) {
    status = ValidatePropertyParams(request, kParameterBlockGet, STATUS_INVALID_PARAMETER);
    if (!NT_SUCCESS(status)) return status;
    const ULONG first = ReadUlong(request->Instance, 0);
    const ULONG count = ReadUlong(request->Instance, sizeof(ULONG));
    // In 64 bits: a caller's count near 2^30 must not wrap past the check.
    const ULONGLONG needed = 2 * sizeof(ULONG) + ULONGLONG(count) * sizeof(ULONG);
    if (request->ValueSize < needed) return STATUS_INVALID_PARAMETER;
    if (ULONGLONG(first) + count > parameterCount) return STATUS_INVALID_PARAMETER;
    auto* out = static_cast<PUCHAR>(request->Value);
    status = node->GetParameters(first, count, reinterpret_cast<PULONG>(out + 2 * sizeof(ULONG)));
    if (!NT_SUCCESS(status)) return status;
    out = PutUlong(out, ULONG(needed));
    PutUlong(out, count);
    request->ValueSize = ULONG(needed);
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

// Flag nodes of both kinds: the interfaces differ only in their ids.
template <typename TFlag>
NTSTATUS HandleFlag(PPCPROPERTY_REQUEST request, ITopoNode* node, REFIID iid, const GUID& kind) {
  const GUID& set = *request->PropertyItem->Set;
  if (!IsEqualGUIDAligned(set, KSPROPSETID_Audio) && !IsEqualGUIDAligned(set, kind)) return STATUS_UNSUCCESSFUL;
  NodeInterface<TFlag> flag;
  NTSTATUS status = flag.Query(node, iid);
  if (!NT_SUCCESS(status)) return status;
  if (!IsEqualGUIDAligned(set, KSPROPSETID_Audio) || request->PropertyItem->Id != KSPROPERTY_AUDIO_DEV_SPECIFIC)
    return STATUS_INVALID_PARAMETER;
  if (request->Verb == KSPROPERTY_TYPE_BASICSUPPORT) return DescribeKindValue(request, VT_BOOL, kind);
  status = ValidatePropertyParams(request, kPlainValue, STATUS_INVALID_PARAMETER);
  if (!NT_SUCCESS(status)) return status;
  if (request->Verb == KSPROPERTY_TYPE_SET) {
    status = flag->SetValue(ReadUlong(request->Value));
  } else if (request->Verb == KSPROPERTY_TYPE_GET) {
    ULONG value = 0;
    status = flag->GetValue(&value);
    if (NT_SUCCESS(status)) WriteUlong(request->Value, value);
  } else {
    status = STATUS_INVALID_PARAMETER;
  }
  if (NT_SUCCESS(status)) request->ValueSize = sizeof(ULONG);
  return status;
}

// GET or SET of one channel's level (level and gain-pad nodes).
NTSTATUS ChannelLevel(PPCPROPERTY_REQUEST request, ILevelNode* level) {
  NTSTATUS status = ValidatePropertyParams(request, kChannelValue, STATUS_INVALID_PARAMETER);
  if (!NT_SUCCESS(status)) return status;
  const ULONG channel = ReadUlong(request->Instance);
  if (request->Verb == KSPROPERTY_TYPE_GET) {
    LONG value = 0;
    status = level->GetLevel(channel, &value);
    if (NT_SUCCESS(status)) WriteUlong(request->Value, static_cast<ULONG>(value));
  } else {
    status = level->SetLevel(channel, static_cast<LONG>(ReadUlong(request->Value)));
  }
  if (NT_SUCCESS(status)) request->ValueSize = sizeof(ULONG);
  return status;
}

NTSTATUS LevelRange(void* level, LONG* maximum, LONG* minimum, LONG* step) {
  return static_cast<ILevelNode*>(level)->GetRange(maximum, minimum, step);
}

NTSTATUS SwitchRange(void*, LONG* maximum, LONG* minimum, LONG* step) {
  *maximum = 1;
  *minimum = 0;
  *step = 1;
  return STATUS_SUCCESS;
}

}  // namespace

// ---- Lookups -------------------------------------------------------------------------------------

NTSTATUS CMiniportTopology::LookupNode(PPCPROPERTY_REQUEST request, ITopoNode** node) {
  *node = nullptr;
  if (request->Node >= m_KsNodes.count) return STATUS_INVALID_PARAMETER;
  NodeEntry* entry = FindNodeByIndex(request->Node);
  if (!entry) return STATUS_INVALID_PARAMETER;
  *node = entry->node;
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::LookupPinTerminal(PPCPROPERTY_REQUEST request, ITerminal** terminal, bool* basicSupport) {
  *terminal = nullptr;
  *basicSupport = false;
  if (!request->Instance || request->InstanceSize < sizeof(ULONG)) return STATUS_INVALID_DEVICE_REQUEST;
  const ULONG pinId = ReadUlong(request->Instance);
  if (pinId >= m_Pins.count) return STATUS_INVALID_DEVICE_REQUEST;
  if (request->Verb == KSPROPERTY_TYPE_BASICSUPPORT) {
    *basicSupport = true;
    return BeginBasicSupport(request, kPinShape, nullptr);
  }
  PinEntry* pin = request->Verb == KSPROPERTY_TYPE_GET ? FindPinById(pinId) : nullptr;
  if (!pin) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = pin->node->QueryInterface(IID_ITerminal, reinterpret_cast<PVOID*>(terminal));
  if (!NT_SUCCESS(status)) {
    *terminal = nullptr;
    request->ValueSize = 0;
  }
  return status;
}

// ---- Node handlers ---------------------------------------------------------------------------------

NTSTATUS CMiniportTopology::HandleLevelProperty(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  ITopoNode* node = nullptr;
  NTSTATUS status = LookupNode(request, &node);
  if (!NT_SUCCESS(status)) return status;

  const ULONG type = node->GetType();
  const ULONG id = request->PropertyItem->Id;
  const bool levelWithEvent = IsSet(request, PROPSETID_DevicePrivate);
  const bool fits = levelWithEvent || (type == NODE_TYPE_VOLUME && id == KSPROPERTY_AUDIO_VOLUMELEVEL) ||
                    (type == NODE_TYPE_BASS && id == KSPROPERTY_AUDIO_BASS) ||
                    (type == NODE_TYPE_MID && id == KSPROPERTY_AUDIO_MID) ||
                    (type == NODE_TYPE_TREBLE && id == KSPROPERTY_AUDIO_TREBLE) ||
                    (type == NODE_TYPE_MIC_BOOST && id == KSPROPERTY_AUDIO_VOLUMELEVEL);
  if (!fits) return STATUS_INVALID_PARAMETER;

  NodeInterface<ILevelNode> level;
  status = level.Query(node, IID_ILevelNode);
  if (!NT_SUCCESS(status)) return status;

  switch (request->Verb) {
    case KSPROPERTY_TYPE_GET:
      return ChannelLevel(request, level.Get());
    case KSPROPERTY_TYPE_SET:
      status = ChannelLevel(request, level.Get());
      // The private set tells every listener; the standard one leaves that
      // to the audio stack.
      if (NT_SUCCESS(status) && levelWithEvent) RaiseControlChange(request->Node);
      return status;
    case KSPROPERTY_TYPE_BASICSUPPORT: {
      ULONG channels = 0;
      status = level->GetChannelCount(&channels);
      if (!NT_SUCCESS(status)) return status;
      return DescribeStepped(request, VT_I4, channels, LevelRange, level.Get());
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS CMiniportTopology::HandleSwitchProperty(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  ITopoNode* node = nullptr;
  NTSTATUS status = LookupNode(request, &node);
  if (!NT_SUCCESS(status)) return status;
  NodeInterface<ISwitchNode> switchNode;
  status = switchNode.Query(node, IID_ISwitchNode);
  if (!NT_SUCCESS(status)) return status;

  switch (request->Verb) {
    case KSPROPERTY_TYPE_GET: {
      status = ValidatePropertyParams(request, kChannelValue, STATUS_INVALID_PARAMETER);
      UCHAR value = 0;
      if (NT_SUCCESS(status)) status = switchNode->GetValue(ReadUlong(request->Instance), &value);
      if (!NT_SUCCESS(status)) return status;
      WriteUlong(request->Value, value);
      request->ValueSize = sizeof(ULONG);
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_TYPE_SET:
      status = ValidatePropertyParams(request, kChannelValue, STATUS_INVALID_PARAMETER);
      if (NT_SUCCESS(status))
        status = switchNode->SetValue(ReadUlong(request->Instance), ReadUlong(request->Value) != 0 ? 1 : 0);
      if (!NT_SUCCESS(status)) return status;
      request->ValueSize = sizeof(ULONG);
      return STATUS_SUCCESS;
    case KSPROPERTY_TYPE_BASICSUPPORT: {
      ULONG channels = 0;
      status = switchNode->GetChannelCount(&channels);
      if (!NT_SUCCESS(status)) return status;
      return DescribeStepped(request, VT_BOOL, channels, SwitchRange, nullptr);
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS CMiniportTopology::HandleMuxSourceProperty(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  NTSTATUS status = ValidatePropertyParams(request, kUlongValue, STATUS_INVALID_PARAMETER);
  if (!NT_SUCCESS(status)) return status;
  ITopoNode* node = nullptr;
  status = LookupNode(request, &node);
  if (!NT_SUCCESS(status)) return status;
  NodeInterface<ISelector> selector;
  status = selector.Query(node, IID_ISelector);
  if (!NT_SUCCESS(status)) return status;
  if (request->Verb == KSPROPERTY_TYPE_GET) {
    ULONG input = 0;
    status = selector->GetInput(&input);
    if (NT_SUCCESS(status)) WriteUlong(request->Value, input);
  } else if (request->Verb == KSPROPERTY_TYPE_SET) {
    status = selector->SetInput(ReadUlong(request->Value));
  } else {
    status = STATUS_INVALID_PARAMETER;
  }
  if (NT_SUCCESS(status)) request->ValueSize = sizeof(ULONG);
  return status;
}

NTSTATUS CMiniportTopology::HandleNodeKindProperty(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  ITopoNode* node = nullptr;
  NTSTATUS status = LookupNode(request, &node);
  if (!NT_SUCCESS(status)) return status;
  if (request->Verb != KSPROPERTY_TYPE_GET) return STATUS_INVALID_PARAMETER;
  status = ValidatePropertyParams(request, kGuidValue, STATUS_INVALID_PARAMETER);
  if (!NT_SUCCESS(status)) return status;
  const NodeTypeRow* row = NodeTypeRowFor(node->GetType());
  if (!row || !row->kind) return STATUS_INVALID_PARAMETER;
  PutGuid(static_cast<PUCHAR>(request->Value), *row->kind);
  request->ValueSize = sizeof(GUID);
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportTopology::HandleDevSpecificProperty(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  ITopoNode* node = nullptr;
  NTSTATUS status = LookupNode(request, &node);
  if (!NT_SUCCESS(status)) return status;
  switch (node->GetType()) {
    case NODE_TYPE_INPUT_GAIN_PAD:
      return HandleInputGainPadProperty(request, node);
    case NODE_TYPE_OUTPUT_TYPE:
      return HandleOutputTypeProperty(request, node);
    case NODE_TYPE_FLAG:
      return HandleBooleanNodeProperty(request, node);
    case NODE_TYPE_RANGED_VALUE:
      return HandleRangedValueProperty(request, node);
    case NODE_TYPE_DEVICE_SWITCH:
    case NODE_TYPE_BOARD_SWITCH:
      return HandleDeviceSwitchProperty(request, node);
    case NODE_TYPE_VENDOR_FLAG:
      return HandleVendorBooleanProperty(request, node);
    case NODE_TYPE_PARAMETER_BLOCK:
      return HandleParameterBlockProperty(request, node);
    case NODE_TYPE_PROCESSING:
      return HandleProcessingNodeProperty(request, node);
    default:
      return HandleGenericDevSpecific(request);
  }
}

NTSTATUS CMiniportTopology::HandleInputGainPadProperty(PPCPROPERTY_REQUEST request, ITopoNode* node) {
  PAGED_CODE();
  NodeInterface<ILevelNode> level;
  NTSTATUS status = level.Query(node, IID_ILevelNode);
  if (!NT_SUCCESS(status)) return status;
  switch (request->Verb) {
    case KSPROPERTY_TYPE_GET:
    case KSPROPERTY_TYPE_SET:
      return ChannelLevel(request, level.Get());
    case KSPROPERTY_TYPE_BASICSUPPORT: {
      ULONG channels = 0;
      status = level->GetChannelCount(&channels);
      if (!NT_SUCCESS(status)) return status;
      PUCHAR members = nullptr;
      status = BeginBasicSupport(request, kGainPadShape, &members);
      if (!NT_SUCCESS(status) || !members) return status;
      LONG maximum = 0, minimum = 0, step = 0;
      status = level->GetRange(&maximum, &minimum, &step);
      if (!NT_SUCCESS(status)) return status;
      members = PutMembersHeader(members, KSPROPERTY_MEMBER_VALUES, kGainPadMember, 1, 0);
      members = PutUlong(members, kGainPadMember);
      members = PutGuid(members, NODEKIND_InputGainPad);
      members = PutUlong(members, 3 * sizeof(ULONG));
      members = PutUlong(members, static_cast<ULONG>(maximum));
      members = PutUlong(members, static_cast<ULONG>(minimum));
      PutUlong(members, static_cast<ULONG>(step));
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS CMiniportTopology::HandleOutputTypeProperty(PPCPROPERTY_REQUEST request, ITopoNode* node) {
  PAGED_CODE();
  const bool audio = IsSet(request, KSPROPSETID_Audio);
  if (!audio && !IsSet(request, PROPSETID_OutputType)) return STATUS_INVALID_PARAMETER;
  NodeInterface<IOutputTypeNode> outputType;
  NTSTATUS status = outputType.Query(node, IID_IOutputTypeNode);
  if (!NT_SUCCESS(status)) return status;
  const ULONG id = request->PropertyItem->Id;

  if (audio) {
    if (id != KSPROPERTY_AUDIO_DEV_SPECIFIC) return STATUS_INVALID_PARAMETER;
    if (request->Verb == KSPROPERTY_TYPE_BASICSUPPORT) return DescribeKindValue(request, VT_I4, NODEKIND_OutputType);
    if (request->Verb != KSPROPERTY_TYPE_SET) return STATUS_INVALID_PARAMETER;
    status = ValidatePropertyParams(request, kUlongValue, STATUS_INVALID_PARAMETER);
    if (NT_SUCCESS(status)) status = outputType->SelectType(ReadUlong(request->Value));
    if (NT_SUCCESS(status)) request->ValueSize = sizeof(ULONG);
    return status;
  }

  if (id == OUTPUTTYPE_LIST) {
    ULONG count = 0;
    status = outputType->GetTypeCount(&count);
    if (!NT_SUCCESS(status)) return status;
    // The node keeps a handful of types; anything else is not a list this
    // filter hands out.
    if (count > MAXULONG / sizeof(ULONG) - 2) return STATUS_INVALID_PARAMETER;
    auto* types = static_cast<PULONG>(
        ExAllocatePoolWithTag(PagedPool, SIZE_T(count ? count : 1) * sizeof(ULONG), TOPOLOGY_TEMP_TAG));
    if (!types) return STATUS_INSUFFICIENT_RESOURCES;
    status = count ? outputType->GetTypeList(types) : STATUS_SUCCESS;
    if (NT_SUCCESS(status)) status = AnswerUlongs(request, types, count, true);
    ExFreePool(types);
    return status;
  }
  if (id == OUTPUTTYPE_CURRENT) {
    PinCategory category = 0;
    status = outputType->GetCategory(&category);
    if (!NT_SUCCESS(status)) return status;
    return AnswerUlongs(request, &category, 1, false);
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS CMiniportTopology::HandleProcessingNodeProperty(PPCPROPERTY_REQUEST request, ITopoNode* node) {
  PAGED_CODE();
  const bool audio = IsSet(request, KSPROPSETID_Audio);
  if (!audio && !IsSet(request, PROPSETID_ProcessingNode)) return STATUS_UNSUCCESSFUL;
  NodeInterface<IProcessingNode> processing;
  NTSTATUS status = processing.Query(node, IID_IProcessingNode);
  ULONG parameters = 0;
  if (NT_SUCCESS(status)) status = processing->GetParameterCount(&parameters);
  if (!NT_SUCCESS(status)) return status;

  if (!audio) return HandleParameters(request, processing.Get(), parameters, kProcessingIds);
  if (request->PropertyItem->Id != KSPROPERTY_AUDIO_DEV_SPECIFIC) return STATUS_INVALID_PARAMETER;
  if (request->Verb == KSPROPERTY_TYPE_BASICSUPPORT) return DescribeKindValue(request, VT_BOOL, NODEKIND_Processing);
  status = ValidatePropertyParams(request, kPlainValue, STATUS_INVALID_PARAMETER);
  if (!NT_SUCCESS(status)) return status;
  if (request->Verb == KSPROPERTY_TYPE_SET) {
    status = processing->SetValue(static_cast<PUCHAR>(request->Value)[0]);
  } else if (request->Verb == KSPROPERTY_TYPE_GET) {
    // The node holds one byte; the caller reads a ULONG, all of it ours.
    UCHAR value = 0;
    status = processing->GetValue(&value);
    if (NT_SUCCESS(status)) WriteUlong(request->Value, value);
  } else {
    status = STATUS_INVALID_PARAMETER;
  }
  if (NT_SUCCESS(status)) request->ValueSize = sizeof(ULONG);
  return status;
}

NTSTATUS CMiniportTopology::HandleParameterBlockProperty(PPCPROPERTY_REQUEST request, ITopoNode* node) {
  PAGED_CODE();
  const bool audio = IsSet(request, KSPROPSETID_Audio);
  if (!audio && !IsSet(request, PROPSETID_ParameterBlock)) return STATUS_INVALID_PARAMETER;
  NodeInterface<IParameterBlockNode> block;
  NTSTATUS status = block.Query(node, IID_IParameterBlockNode);
  ULONG parameters = 0;
  if (NT_SUCCESS(status)) status = block->GetParameterCount(&parameters);
  if (!NT_SUCCESS(status)) return status;

  if (!audio) return HandleParameters(request, block.Get(), parameters, kParameterBlockIds);
  if (request->PropertyItem->Id != KSPROPERTY_AUDIO_DEV_SPECIFIC) return STATUS_INVALID_PARAMETER;
  if (request->Verb == KSPROPERTY_TYPE_BASICSUPPORT) return DescribeKindValue(request, VT_I4, NODEKIND_ParameterBlock);
  if (request->Verb != KSPROPERTY_TYPE_SET) return STATUS_INVALID_PARAMETER;
  // Accepted; the block itself is set through its own property set.
  status = ValidatePropertyParams(request, kUlongValue, STATUS_INVALID_PARAMETER);
  if (NT_SUCCESS(status)) request->ValueSize = sizeof(ULONG);
  return status;
}

NTSTATUS CMiniportTopology::HandleBooleanNodeProperty(PPCPROPERTY_REQUEST request, ITopoNode* node) {
  PAGED_CODE();
  return HandleFlag<IBooleanNode>(request, node, IID_IBooleanNode, NODEKIND_Flag);
}

NTSTATUS CMiniportTopology::HandleVendorBooleanProperty(PPCPROPERTY_REQUEST request, ITopoNode* node) {
  PAGED_CODE();
  return HandleFlag<IVendorBooleanNode>(request, node, IID_IVendorBooleanNode, NODEKIND_VendorSwitch);
}

NTSTATUS CMiniportTopology::HandleRangedValueProperty(PPCPROPERTY_REQUEST request, ITopoNode* node) {
  PAGED_CODE();
  NodeInterface<IRangedValueNode> ranged;
  NTSTATUS status = ranged.Query(node, IID_IRangedValueNode);
  if (!NT_SUCCESS(status)) return status;
  if (request->Verb == KSPROPERTY_TYPE_BASICSUPPORT) {
    PUCHAR members = nullptr;
    status = BeginBasicSupport(request, kRangedValueShape, &members);
    if (!NT_SUCCESS(status) || !members) return status;
    ULONG maximum = 0, minimum = 0;
    status = ranged->GetRange(&maximum, &minimum);
    if (!NT_SUCCESS(status)) return status;
    members = PutMembersHeader(members, KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_BOUNDS_LONG), 1, 0);
    members = PutUlong(members, minimum);
    PutUlong(members, maximum);
    return STATUS_SUCCESS;
  }
  status = ValidatePropertyParams(request, kPlainValue, STATUS_INVALID_PARAMETER);
  if (!NT_SUCCESS(status)) return status;
  if (request->Verb == KSPROPERTY_TYPE_GET) {
    ULONG value = 0;
    status = ranged->GetValue(&value);
    if (NT_SUCCESS(status)) WriteUlong(request->Value, value);
  } else if (request->Verb == KSPROPERTY_TYPE_SET) {
    status = ranged->SetValue(ReadUlong(request->Value));
  } else {
    status = STATUS_INVALID_PARAMETER;
  }
  if (NT_SUCCESS(status)) request->ValueSize = sizeof(ULONG);
  return status;
}

NTSTATUS CMiniportTopology::HandleDeviceSwitchProperty(PPCPROPERTY_REQUEST request, ITopoNode* node) {
  PAGED_CODE();
  NodeInterface<ISwitchNode> switchNode;
  NTSTATUS status = switchNode.Query(node, IID_ISwitchNode);
  if (!NT_SUCCESS(status)) return status;
  if (request->Verb == KSPROPERTY_TYPE_BASICSUPPORT) return BeginBasicSupport(request, kPlainSwitchShape, nullptr);
  status = ValidatePropertyParams(request, kPlainValue, STATUS_INVALID_PARAMETER);
  if (!NT_SUCCESS(status)) return status;
  // A device switch has one value: channel 0, whatever the instance says.
  if (request->Verb == KSPROPERTY_TYPE_GET) {
    UCHAR value = 0;
    status = switchNode->GetValue(0, &value);
    if (NT_SUCCESS(status)) WriteUlong(request->Value, value);
  } else if (request->Verb == KSPROPERTY_TYPE_SET) {
    status = switchNode->SetValue(0, ReadUlong(request->Value) != 0 ? 1 : 0);
  } else {
    status = STATUS_INVALID_PARAMETER;
  }
  if (NT_SUCCESS(status)) request->ValueSize = sizeof(ULONG);
  return status;
}

NTSTATUS CMiniportTopology::HandleGenericDevSpecific(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  switch (request->Verb) {
    case KSPROPERTY_TYPE_SET: {
      NTSTATUS status = ValidatePropertyParams(request, kUlongValue, STATUS_INVALID_PARAMETER);
      if (NT_SUCCESS(status)) request->ValueSize = sizeof(ULONG);
      return status;
    }
    case KSPROPERTY_TYPE_BASICSUPPORT: {
      PUCHAR members = nullptr;
      NTSTATUS status = BeginBasicSupport(request, kUnsignedRangeShape, &members);
      if (!NT_SUCCESS(status) || !members) return status;
      members = PutMembersHeader(members, KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_BOUNDS_LONG), 1, 0);
      members = PutUlong(members, 0);
      PutUlong(members, 0xFFFFFFFF);
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_TYPE_GET:
      return STATUS_UNSUCCESSFUL;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// ---- Pin handlers ----------------------------------------------------------------------------------

NTSTATUS CMiniportTopology::HandleJackDescription(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  return AnswerJacks(request, false);
}

NTSTATUS CMiniportTopology::HandleJackDescription2(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  return AnswerJacks(request, true);
}

NTSTATUS CMiniportTopology::AnswerJacks(PPCPROPERTY_REQUEST request, bool presence) {
  PAGED_CODE();
  NodeInterface<ITerminal> terminal;
  bool answered = false;
  NTSTATUS status = LookupPinTerminal(request, terminal.Receive(), &answered);
  if (!NT_SUCCESS(status) || answered) return status;

  ULONG jacks = 0;
  status = terminal->GetJackCount(&jacks, 0);
  if (!NT_SUCCESS(status)) return status;
  if (jacks == 0 || jacks > MAXULONG / sizeof(JackRecord)) return STATUS_INVALID_DEVICE_REQUEST;
  const ULONG recordSize = presence ? sizeof(KSJACK_DESCRIPTION2) : sizeof(KSJACK_DESCRIPTION);
  const ULONG needed = sizeof(KSMULTIPLE_ITEM) + jacks * recordSize;
  status = ValidateSizedAnswer(request, needed, STATUS_INVALID_DEVICE_REQUEST);
  if (!NT_SUCCESS(status)) return status;

  const ULONG recordBytes = jacks * sizeof(JackRecord);
  auto* records = static_cast<JackRecord*>(ExAllocatePoolWithTag(PagedPool, recordBytes, TOPOLOGY_TEMP_TAG));
  if (!records) return STATUS_INSUFFICIENT_RESOURCES;
  status = terminal->GetJackDescriptions(recordBytes, records, 0);
  if (NT_SUCCESS(status)) {
    auto* out = static_cast<PUCHAR>(request->Value);
    const KSMULTIPLE_ITEM header{needed, jacks};
    RtlCopyMemory(out, &header, sizeof header);
    out += sizeof header;
    for (ULONG i = 0; i < jacks; ++i, out += recordSize) {
      const JackRecord& r = records[i];
      if (presence) {
        const bool detects = (r.NoPresenceDetectCapability & 1) == 0;
        const KSJACK_DESCRIPTION2 d{0, detects ? JACKDESC2_PRESENCE_DETECT_CAPABILITY : 0};
        RtlCopyMemory(out, &d, sizeof d);
      } else {
        const KSJACK_DESCRIPTION d{r.ChannelMapping, r.Color,          r.ConnectionType,
                                   r.GeoLocation,    r.GenLocation,    r.PortConnection,
                                   static_cast<BOOL>(r.IsConnected)};
        RtlCopyMemory(out, &d, sizeof d);
      }
    }
    request->ValueSize = needed;
  }
  ExFreePool(records);
  return status;
}

NTSTATUS CMiniportTopology::HandlePinCapsProperty(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  NodeInterface<ITerminal> terminal;
  bool answered = false;
  NTSTATUS status = LookupPinTerminal(request, terminal.Receive(), &answered);
  if (!NT_SUCCESS(status) || answered) return status;

  status = ValidateSizedAnswer(request, sizeof(DeviceCapsRecord), STATUS_INVALID_DEVICE_REQUEST);
  if (!NT_SUCCESS(status)) return status;
  DeviceCapsRecord caps{};
  status = terminal->GetDeviceCaps(&caps);
  if (!NT_SUCCESS(status)) return status;
  RtlCopyMemory(request->Value, &caps, sizeof caps);
  request->ValueSize = sizeof caps;
  return STATUS_SUCCESS;
}

// ---- Events ----------------------------------------------------------------------------------------

NTSTATUS CMiniportTopology::HandleEvent(PPCEVENT_REQUEST request) {
  if (request->Node >= m_KsNodes.count) return STATUS_INVALID_PARAMETER;
  switch (request->Verb) {
    case PCEVENT_VERB_ADD:
      if (!request->EventEntry || !m_PortEvents) return STATUS_UNSUCCESSFUL;
      m_PortEvents->AddEventToEventList(&request->EventEntry->EventEntry);
      return STATUS_SUCCESS;
    case PCEVENT_VERB_REMOVE:
    case PCEVENT_VERB_SUPPORT:
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

void CMiniportTopology::RaiseControlChange(ULONG nodeIndex) {
  if (!m_PortEvents) return;
  GUID set = KSEVENTSETID_AudioControlChange;
  m_PortEvents->GenerateEventList(&set, KSEVENT_CONTROL_CHANGE, FALSE, ULONG(-1), TRUE, nodeIndex);
}

void CMiniportTopology::OnAudioHalNotify(PVOID context, PVOID argument1, PVOID) {
  auto* miniport = static_cast<CMiniportTopology*>(context);
  if (!miniport || !argument1) return;
  AudioHalNotify notify;
  RtlCopyMemory(&notify, argument1, sizeof notify);
  // Every sender writes 1 and 1; anything else is not a control change.
  if (notify.Kind != AUDIOHAL_NOTIFY_CONTROL_CHANGE || notify.Second != 1) return;
  // A terminal is a pin, not a node: no event.
  NodeEntry* entry = miniport->FindNodeByHalId(notify.NodeId);
  if (entry) miniport->RaiseControlChange(entry->nodeIndex);
}
