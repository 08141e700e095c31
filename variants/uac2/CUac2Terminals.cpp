#include "variants/uac2/CUac2Terminals.h"

#include "driver/SettingsStore.h"
#include "driver/common/PoolBuffer.h"
#include "topology/CUac1Terminal.h"
#include "topology/CUacOutputTypeNode.h"
#include "topology/CUacTerminalNode.h"

namespace {

constexpr USHORT USB_STREAMING = 0x0101;
constexpr USHORT HEADSET = 0x0402;
constexpr ULONG CONNECTOR_BIT = 0x04;
constexpr UCHAR CS_CONNECTOR = USB_AUDIO2_TE_CONNECTOR_CONTROL;
constexpr UCHAR CS_TERMINAL_TYPE = USB_AUDIO2_TERMINAL_TYPE_VALUE >> 8;
constexpr UCHAR ALL_CHANNELS = 0xFF;
constexpr ULONG JACK_ENTRY_BYTES = 8;
constexpr ULONG JACK_FIRST_REPLY_BYTES = 1 + JACK_ENTRY_BYTES;
constexpr ULONG CONNECTOR_REPLY_BYTES = 6;
constexpr ULONG TYPE_SUBRANGE_BYTES = 6;

constexpr WCHAR kSelectByDevice[] = u"INITOTTYPEBYSEL";
constexpr WCHAR kOtherTypeJacksConnected[] = u"SetJackConnect";

bool HasJacks(USHORT type) {
  return (type >= 0x0201 && type <= 0x0206) || (type >= 0x0401 && type <= 0x0405) || type == 0x0601 ||
         type == 0x0603 || type == 0x0605;
}

}  // namespace

// The Audio Class 1.0 tables, but for a headset as an input: a handset.
PinCategory Uac2InputTerminalCategory(USHORT terminalType) {
  return terminalType == HEADSET ? PIN_CATEGORY_HANDSET : InputTerminalCategory(terminalType);
}
PinCategory Uac2OutputTerminalCategory(USHORT terminalType) { return OutputTerminalCategory(terminalType); }
PinCategory Uac2OutputTerminalChangeCategory(USHORT terminalType) {
  return OutputTerminalChangeCategory(terminalType);
}

JackRecord Uac2JackRecord(ULONG channelMask, ULONG configuration) {
  JackRecord jack = DecodeJackEntry(channelMask, configuration);
  jack.NoPresenceDetectCapability = 0;
  jack.PresenceReported = 0;
  return jack;
}

// ============================================================================
// What both terminals share

NTSTATUS CUac2Terminal::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_ITerminal)) {
    *object = static_cast<ITerminal*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_ITerminalClock)) {
    *object = static_cast<ITerminalClock*>(this);
  } else {
    return CUacUnit::NonDelegatingQueryInterface(iid, object);
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

NTSTATUS CUac2Terminal::GetClockSourceId(PULONG clockId) {
  if (!clockId || !m_Descriptor || m_Descriptor[2] != m_Subtype) return STATUS_INVALID_PARAMETER;
  *clockId = m_Descriptor[ClockOffset()];
  return STATUS_SUCCESS;
}

bool CUac2Terminal::IsStreaming() const { return TerminalType() == USB_STREAMING; }

bool CUac2Terminal::HasConnector() const {
  return m_Descriptor && (m_Descriptor[ControlsOffset()] & CONNECTOR_BIT) && !IsStreaming();
}

NTSTATUS CUac2Terminal::ReadJacks(JackRecord** jacks, PULONG count) {
  PAGED_CODE();
  *jacks = nullptr;
  *count = 0;
  UCHAR first[JACK_FIRST_REPLY_BYTES];
  ULONG transferred = 0;
  NTSTATUS status = Request(true, USB_AUDIO2_CUR, CS_CONNECTOR, ALL_CHANNELS, first, sizeof first, &transferred);
  if (!NT_SUCCESS(status)) return status;
  const ULONG announced = transferred >= 1 ? first[0] : 0;
  const ULONG replyBytes = JACK_ENTRY_BYTES * announced + 1;
  CPoolBuffer reply(NonPagedPool, replyBytes, UAC2_ENTITY_TAG);
  if (!reply) return STATUS_INSUFFICIENT_RESOURCES;
  JackRecord* records = nullptr;
  if (announced) {
    records = static_cast<JackRecord*>(ExAllocatePoolWithTag(NonPagedPool, announced * sizeof(JackRecord),
                                                              UAC2_ENTITY_TAG));
    if (!records) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(records, announced * sizeof(JackRecord));
  }
  status = Request(true, USB_AUDIO2_CUR, CS_CONNECTOR, ALL_CHANNELS, reply.Get(), replyBytes, &transferred);
  if (!NT_SUCCESS(status)) {
    if (records) ExFreePool(records);
    return status;
  }
  // Only whole entries the device sent, never more than it announced.
  ULONG received = transferred >= 1 ? (transferred - 1) / JACK_ENTRY_BYTES : 0;
  if (received > announced) received = announced;
  const auto* data = reply.As<UCHAR>();
  for (ULONG i = 0; i < received; ++i) {
    const UCHAR* entry = data + 1 + i * JACK_ENTRY_BYTES;
    records[i] = Uac2JackRecord(platform::usb::ReadLe32(entry), platform::usb::ReadLe32(entry + 4));
  }
  if (received == 0 && records) {
    ExFreePool(records);
    records = nullptr;
  }
  *jacks = records;
  *count = received;
  return STATUS_SUCCESS;
}

NTSTATUS CUac2Terminal::ReadConnectedChannels(PULONG mask) {
  PAGED_CODE();
  UCHAR reply[CONNECTOR_REPLY_BYTES];
  ULONG transferred = 0;
  NTSTATUS status = Request(true, USB_AUDIO2_CUR, CS_CONNECTOR, 0, reply, sizeof reply, &transferred);
  if (!NT_SUCCESS(status)) return status;
  if (transferred < 5) return STATUS_UNSUCCESSFUL;
  *mask = platform::usb::ReadLe32(reply + 1);
  return STATUS_SUCCESS;
}

NTSTATUS CUac2Terminal::CopyJacksWithPresence(JackRecord* stored, ULONG count, JackRecord* out) {
  PAGED_CODE();
  NTSTATUS status = CheckUsbDevice();
  if (!NT_SUCCESS(status)) return status;
  ULONG mask = 0;
  const NTSTATUS read = ReadConnectedChannels(&mask);
  mask = m_Presence.Follow(read, mask);
  for (ULONG i = 0; i < count; ++i) {
    stored[i].IsConnected = (stored[i].ChannelMapping & mask) ? 1 : 0;
    out[i] = stored[i];
  }
  return STATUS_SUCCESS;
}

void CUac2Terminal::ReadSetting(PCWSTR name, PULONG value) {
  ULONG stored = *value;
  if (NT_SUCCESS(AccessSetting(m_Owner->GetDeviceObject(), SETTINGS_READ, &stored, sizeof stored, name)))
    *value = stored;
}

void CUac2Terminal::WriteSetting(PCWSTR name, ULONG value) {
  AccessSetting(m_Owner->GetDeviceObject(), SETTINGS_WRITE, &value, sizeof value, name);
}

// ============================================================================
// Input terminal

NTSTATUS CUac2InputTerminal::BuildNodes(IAudioHal* model) {
  PAGED_CODE();
  NTSTATUS status = SetIdentity(UAC_SUBTYPE_INPUT_TERMINAL, 0, nullptr);
  if (!NT_SUCCESS(status)) return status;
  if (HasConnector()) {
    status = ReadJacks(&m_Jacks, &m_JackCount);
    if (!NT_SUCCESS(status)) return status;
  }
  DeviceCapsRecord caps{};
  model->GetChannelCaps(STREAM_DIRECTION_CAPTURE, InputTerminalCapsCategory(TerminalType()), &caps);
  ITopoNode* const unit = static_cast<IUacUnit*>(this);
  return AddEntityNode<CUacInputTerminalNode>(model,
                                              [&](CUacInputTerminalNode* pin) { return pin->InitFromUnit(unit, caps); });
}

PinCategory CUac2InputTerminal::Category() const { return Uac2InputTerminalCategory(TerminalType()); }

bool CUac2InputTerminal::TypeHasJacks() const { return HasJacks(TerminalType()); }

NTSTATUS CUac2InputTerminal::OnControlChange(ULONG cs, ULONG channel, PULONG nodeId) {
  PAGED_CODE();
  if (!nodeId || cs != CS_CONNECTOR || channel != 0) return STATUS_UNSUCCESSFUL;
  ITopoNode* pin = FirstNodeOfType(NODE_TYPE_INPUT_PIN);
  if (!pin) return STATUS_UNSUCCESSFUL;
  *nodeId = pin->GetId();
  pin->RefreshFromDevice();
  return STATUS_SUCCESS;
}

// ============================================================================
// Output terminal

USHORT CUac2OutputTerminal::GetTerminalTypeOf(ULONG typeIndex) const {
  return typeIndex < m_TypeCount && m_TerminalTypes ? m_TerminalTypes[typeIndex] : 0;
}

NTSTATUS CUac2OutputTerminal::ReadCurrentType(PUSHORT terminalType) {
  UCHAR reply[2];
  NTSTATUS status = ReadWhole(USB_AUDIO2_CUR, CS_TERMINAL_TYPE, 0, reply, sizeof reply);
  if (NT_SUCCESS(status)) *terminalType = platform::usb::ReadLe16(reply);
  return status;
}

void CUac2OutputTerminal::SendSelect(USHORT terminalType) {
  UCHAR value[2];
  platform::usb::WriteLe16(value, terminalType);
  Request(false, USB_AUDIO2_CUR, CS_TERMINAL_TYPE, 0, value, sizeof value);
}

NTSTATUS CUac2OutputTerminal::ReadJackInfo(ULONG typeIndex) {
  return ReadJacks(&m_JackRecords[typeIndex], &m_JackCounts[typeIndex]);
}

NTSTATUS CUac2OutputTerminal::ReadTerminalTypes() {
  PAGED_CODE();
  // RANGE of the terminal type: a count, then {MIN, MAX, RES} per type,
  // whose MIN is the type.
  UCHAR header[2];
  ULONG transferred = 0;
  ULONG listed = 0;
  CPoolBuffer list;
  NTSTATUS status = Request(true, USB_AUDIO2_RANGE, CS_TERMINAL_TYPE, 0, header, sizeof header, &transferred);
  if (NT_SUCCESS(status) && transferred == sizeof header && platform::usb::ReadLe16(header) >= 2) {
    listed = platform::usb::ReadLe16(header);
    // The output-type node takes at most this many types.
    if (listed > MAX_OUTPUT_TYPES) return STATUS_INSUFFICIENT_RESOURCES;
    const ULONG bytes = TYPE_SUBRANGE_BYTES * listed + 2;
    if (!list.Allocate(NonPagedPool, bytes, UAC2_ENTITY_TAG)) return STATUS_INSUFFICIENT_RESOURCES;
    status = Request(true, USB_AUDIO2_RANGE, CS_TERMINAL_TYPE, 0, list.Get(), bytes, &transferred);
    if (!NT_SUCCESS(status)) return status;
    const ULONG received = transferred >= 2 ? (transferred - 2) / TYPE_SUBRANGE_BYTES : 0;
    if (received < listed) listed = received;
    if (listed < 2) listed = 0;
  }
  status = AllocateTypeArrays(listed ? listed : 1);
  if (!NT_SUCCESS(status)) return status;
  const PinCategory remembered = m_CurrentCategory;
  for (ULONG i = 0; i < m_TypeCount; ++i) {
    const USHORT type =
        listed ? platform::usb::ReadLe16(list.As<UCHAR>() + 2 + i * TYPE_SUBRANGE_BYTES) : TerminalType();
    m_TerminalTypes[i] = type;
    m_Categories[i] = Uac2OutputTerminalCategory(type);
    if (m_TypeCount > 1) SendSelect(type);  // the jacks are those of the type selected
    status = ReadJackInfo(i);
    if (!NT_SUCCESS(status)) return status;
  }
  if (m_TypeCount > 1) SelectType(remembered);
  return STATUS_SUCCESS;
}

NTSTATUS CUac2OutputTerminal::BuildNodes(IAudioHal* model) {
  PAGED_CODE();
  const UCHAR source = m_Descriptor[7];
  NTSTATUS status = SetIdentity(UAC_SUBTYPE_OUTPUT_TERMINAL, 1, &source);
  if (!NT_SUCCESS(status)) return status;

  RtlStringCchPrintfW(m_CategoryValueName, ARRAYSIZE(m_CategoryValueName), u"%s%02d", u"UACUnit",
                      static_cast<int>(m_NodeId));
  PinCategory category = Uac2OutputTerminalCategory(TerminalType());
  ReadSetting(m_CategoryValueName, &category);
  ULONG selectByDevice = 0;
  ReadSetting(kSelectByDevice, &selectByDevice);

  if (!HasConnector()) {
    status = AllocateTypeArrays(1);
    if (!NT_SUCCESS(status)) return status;
    m_CurrentCategory = m_Categories[0] = category;
    m_TerminalTypes[0] = TerminalType();
  } else {
    USHORT deviceType = 0;
    m_CurrentCategory = category;
    const bool typeRead = NT_SUCCESS(ReadCurrentType(&deviceType));
    if (typeRead && selectByDevice) m_CurrentCategory = Uac2OutputTerminalCategory(deviceType);
    status = ReadTerminalTypes();
    if (!NT_SUCCESS(status)) return status;
    // A stored category the terminal has no type for (a value written for
    // another device, or by hand) would leave the terminal without a
    // current type: the device's own selection stands instead, else the
    // first type.
    if (!HasCategory(m_CurrentCategory)) {
      const PinCategory selected = Uac2OutputTerminalCategory(deviceType);
      m_CurrentCategory = typeRead && HasCategory(selected) ? selected : m_Categories[0];
    }
    for (ULONG i = 0; m_TypeCount > 1 && i < m_TypeCount; ++i) {
      if (m_Categories[i] != m_CurrentCategory) continue;
      SendSelect(m_TerminalTypes[i]);
      break;
    }
  }

  ITopoNode* const unit = static_cast<IUacUnit*>(this);
  for (ULONG i = 0; i < m_TypeCount; ++i) {
    DeviceCapsRecord caps{};
    model->GetChannelCaps(STREAM_DIRECTION_RENDER, m_Categories[i], &caps);
    auto* pin = new (NonPagedPool, UAC2_ENTITY_TAG) CUacOutputTerminalNode(nullptr, NextNodeId(model), i);
    if (!pin) return STATUS_SUCCESS;  // the pins made so far stand; no type switch without all of them
    pin->NonDelegatingAddRef();
    status = pin->InitFromUnit(unit, caps);
    if (NT_SUCCESS(status)) status = AddBuiltNode(model, pin);
    pin->NonDelegatingRelease();
    if (!NT_SUCCESS(status)) return status;
  }
  if (m_TypeCount < 2) return STATUS_SUCCESS;
  return AddEntityNode<CUacOutputTypeNode>(model, [&](CUacOutputTypeNode* node) {
    return node->InitFromUnit(unit, model->GetDeviceObject(), model);
  });
}

NTSTATUS CUac2OutputTerminal::GetCategory(PinCategory* category) { return CopyCategory(category); }
NTSTATUS CUac2OutputTerminal::GetTypeCount(PULONG count) { return CopyTypeCount(count); }
NTSTATUS CUac2OutputTerminal::GetTypeList(PULONG categories) { return CopyTypeList(categories); }

NTSTATUS CUac2OutputTerminal::SelectType(PinCategory category) {
  PAGED_CODE();
  for (ULONG i = 0; i < m_TypeCount && m_Categories; ++i) {
    if (m_Categories[i] != category) continue;
    m_CurrentCategory = category;
    SendSelect(m_TerminalTypes[i]);
    WriteSetting(m_CategoryValueName, category);
    RefreshNodesOfType(NODE_TYPE_OUTPUT_PIN, false);
    return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CUac2OutputTerminal::GetJackCount(PULONG count, ULONG typeIndex) {
  if (!count) return STATUS_INVALID_PARAMETER;
  if (!HasConnector()) {
    *count = 0;
    return STATUS_SUCCESS;
  }
  if (typeIndex >= m_TypeCount || !m_JackCounts) return STATUS_INVALID_PARAMETER;
  *count = m_JackCounts[typeIndex];
  return STATUS_SUCCESS;
}

NTSTATUS CUac2OutputTerminal::GetJackDescriptions(ULONG bufferBytes, JackRecord* jacks, ULONG typeIndex) {
  PAGED_CODE();
  if (!jacks || bufferBytes == 0 || typeIndex >= m_TypeCount || !m_JackRecords || !HasConnector())
    return STATUS_INVALID_PARAMETER;
  const ULONG count = m_JackCounts[typeIndex];
  JackRecord* stored = m_JackRecords[typeIndex];
  if (!stored || !count || bufferBytes < count * sizeof(JackRecord)) return STATUS_INVALID_PARAMETER;
  if (m_Categories[typeIndex] == m_CurrentCategory) return CopyJacksWithPresence(stored, count, jacks);
  ULONG connected = 0;
  ReadSetting(kOtherTypeJacksConnected, &connected);
  for (ULONG i = 0; i < count; ++i) {
    jacks[i] = stored[i];
    jacks[i].IsConnected = connected ? 1 : 0;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUac2OutputTerminal::OnControlChange(ULONG cs, ULONG, PULONG) {
  PAGED_CODE();
  if (cs != CS_CONNECTOR && cs != CS_TERMINAL_TYPE) return STATUS_UNSUCCESSFUL;
  if (cs == CS_TERMINAL_TYPE) {
    USHORT type = 0;
    NTSTATUS status = ReadCurrentType(&type);
    if (!NT_SUCCESS(status)) return status;
    m_CurrentCategory = Uac2OutputTerminalChangeCategory(type);
    WriteSetting(m_CategoryValueName, m_CurrentCategory);
  }
  RefreshNodesOfType(NODE_TYPE_OUTPUT_TYPE, true);
  RefreshNodesOfType(NODE_TYPE_OUTPUT_PIN, false);
  return STATUS_SUCCESS;
}
