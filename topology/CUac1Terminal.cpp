#include "topology/CUac1Terminal.h"

#include "driver/SettingsStore.h"
#include "driver/common/PoolBuffer.h"

namespace {

constexpr UCHAR kJackRequest = 0x81;
constexpr USHORT kJackInfoValue = 0x02FF;
constexpr USHORT kJackPresenceValue = 0x0200;
constexpr ULONG kJackEntryBytes = 8;
constexpr ULONG kPresenceReplyBytes = 6;

struct CategoryRow {
  USHORT first, last;
  PinCategory input, output, outputChange;
};
// Anything not listed: Aux as input, speakers as output.
constexpr CategoryRow kCategories[] = {
    {0x0101, 0x0101, PIN_CATEGORY_STREAM, PIN_CATEGORY_STREAM, PIN_CATEGORY_SPK},
    {0x0201, 0x0206, PIN_CATEGORY_MIC, PIN_CATEGORY_SPK, PIN_CATEGORY_SPK},
    {0x0302, 0x0302, PIN_CATEGORY_AUX, PIN_CATEGORY_HP, PIN_CATEGORY_HP},
    {0x0401, 0x0401, PIN_CATEGORY_HANDSET, PIN_CATEGORY_HANDSET, PIN_CATEGORY_HANDSET},
    {0x0402, 0x0402, PIN_CATEGORY_HEADSET, PIN_CATEGORY_HEADSET, PIN_CATEGORY_HEADSET},
    {0x0403, 0x0405, PIN_CATEGORY_SPEAKERPHONE, PIN_CATEGORY_SPK, PIN_CATEGORY_SPK},
    {0x0601, 0x0601, PIN_CATEGORY_AUX, PIN_CATEGORY_LINE, PIN_CATEGORY_LINE},
    {0x0603, 0x0603, PIN_CATEGORY_LINE, PIN_CATEGORY_LINE, PIN_CATEGORY_LINE},
    {0x0605, 0x0605, PIN_CATEGORY_SPDIF, PIN_CATEGORY_SPDIF, PIN_CATEGORY_SPDIF},
};
constexpr CategoryRow kOtherTerminal = {0, 0, PIN_CATEGORY_AUX, PIN_CATEGORY_SPK, PIN_CATEGORY_SPK};

const CategoryRow& RowFor(USHORT terminalType) {
  for (const CategoryRow& row : kCategories)
    if (terminalType >= row.first && terminalType <= row.last) return row;
  return kOtherTerminal;
}

constexpr ULONG kJackColors[16] = {0x000000, 0x000000, 0x808080, 0x0000FF, 0x00FF00, 0xFF0000, 0xFF8000, 0xFFFF00,
                                   0x800080, 0xFF0080, 0x000000, 0x000000, 0x000000, 0x000000, 0xFFFFFF, 0x000000};

ULONG ReadLe32(const UCHAR* p) { return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16 | ULONG(p[3]) << 24; }

}  // namespace

PinCategory InputTerminalCategory(USHORT terminalType) { return RowFor(terminalType).input; }
PinCategory OutputTerminalCategory(USHORT terminalType) { return RowFor(terminalType).output; }
PinCategory OutputTerminalChangeCategory(USHORT terminalType) { return RowFor(terminalType).outputChange; }

PinCategory InputTerminalCapsCategory(USHORT terminalType) {
  switch (terminalType) {
    case 0x0201: return PIN_CATEGORY_MIC;
    case 0x0202: return PIN_CATEGORY_FMIC;
    case 0x0302: return PIN_CATEGORY_HP;
    case 0x0401: return PIN_CATEGORY_HANDSET;
    case 0x0402: return PIN_CATEGORY_HEADSET;
    case 0x0605: return PIN_CATEGORY_SPDIF;
    default: return PIN_CATEGORY_LINE;
  }
}

JackRecord DecodeJackEntry(ULONG channelMask, ULONG configuration) {
  JackRecord jack{};
  jack.ChannelMapping = channelMask;
  jack.Color = kJackColors[(configuration >> 12) & 0xF];
  jack.ConnectionType = (configuration >> 16) & 0xFF;
  jack.GeoLocation = (configuration >> 24) & 0xF;
  jack.GenLocation = (configuration >> 28) & 0xF;
  const bool alwaysConnected = ((configuration >> 8) & 0xF) != 0;
  jack.IsConnected = alwaysConnected ? 1 : 0;
  jack.PresenceReported = alwaysConnected ? 0 : 1;
  return jack;
}

CUac1Terminal::CUac1Terminal(PUNKNOWN outerUnknown, ULONG provisionalId, UCHAR subtype)
    : CUacUnit(outerUnknown, provisionalId, subtype) {}

NTSTATUS CUac1Terminal::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_ITerminal)) {
    *object = static_cast<ITerminal*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CUacUnit::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUac1Terminal::ReadJackList(JackRecord** jacks, PULONG count) {
  PAGED_CODE();
  *jacks = nullptr;
  *count = 0;
  UCHAR first[1 + kJackEntryBytes];
  ULONG transferred = 0;
  NTSTATUS status = SendRequest(URB_FUNCTION_VENDOR_INTERFACE, true, kJackRequest, kJackInfoValue, first,
                                sizeof first, &transferred);
  if (!NT_SUCCESS(status) || transferred < 1 || first[0] == 0) return STATUS_SUCCESS;

  const ULONG announced = first[0];
  const ULONG replyBytes = kJackEntryBytes * announced + 1;
  CPoolBuffer reply(NonPagedPool, replyBytes, UAC_UNIT_DATA_TAG);
  const SIZE_T recordBytes = SIZE_T(announced) * sizeof(JackRecord);
  auto* records = static_cast<JackRecord*>(ExAllocatePoolWithTag(NonPagedPool, recordBytes, UAC_UNIT_DATA_TAG));
  if (!reply || !records) {
    if (records) ExFreePool(records);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(records, recordBytes);
  status = SendRequest(URB_FUNCTION_VENDOR_INTERFACE, true, kJackRequest, kJackInfoValue, reply.Get(), replyBytes,
                       &transferred);
  const auto* data = reply.As<UCHAR>();
  // The second answer may list fewer jacks, or carry fewer entries, than
  // the first announced.
  ULONG decoded = 0;
  if (NT_SUCCESS(status) && transferred >= 1) {
    decoded = data[0] < announced ? data[0] : announced;
    const ULONG sent = (transferred - 1) / kJackEntryBytes;
    if (sent < decoded) decoded = sent;
  }
  for (ULONG i = 0; i < decoded; ++i) {
    const UCHAR* entry = data + 1 + i * kJackEntryBytes;
    records[i] = DecodeJackEntry(ReadLe32(entry), ReadLe32(entry + 4));
  }
  if (!NT_SUCCESS(status) || decoded == 0) {
    ExFreePool(records);
    return status;
  }
  *jacks = records;
  *count = decoded;
  return STATUS_SUCCESS;
}

NTSTATUS CUac1Terminal::ReadPresenceMask(PULONG mask) {
  PAGED_CODE();
  *mask = 0;
  UCHAR reply[kPresenceReplyBytes];
  ULONG transferred = 0;
  NTSTATUS status = SendRequest(URB_FUNCTION_VENDOR_INTERFACE, true, kJackRequest, kJackPresenceValue, reply,
                                sizeof reply, &transferred);
  if (!NT_SUCCESS(status)) return status;
  if (transferred < 5) return STATUS_UNSUCCESSFUL;
  *mask = ReadLe32(reply + 1);
  return STATUS_SUCCESS;
}

NTSTATUS CUac1Terminal::CopyJacksWithPresence(JackRecord* stored, ULONG count, JackRecord* out) {
  PAGED_CODE();
  NTSTATUS status = CheckUsbDevice();
  if (!NT_SUCCESS(status)) return status;
  ULONG mask = 0;
  const NTSTATUS read = ReadPresenceMask(&mask);
  mask = m_Presence.Follow(read, mask);
  for (ULONG i = 0; i < count; ++i) {
    JackRecord& jack = stored[i];
    jack.IsConnected = (!jack.PresenceReported || (jack.ChannelMapping & mask)) ? 1 : 0;
    out[i] = jack;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUac1Terminal::SetTerminalIdentity() {
  m_NodeId = DescriptorId();
  m_NodeType = m_Subtype;
  if (m_Subtype != UAC_SUBTYPE_OUTPUT_TERMINAL) return SetSourceIds(0, nullptr);
  const ULONG source = m_Descriptor[7];
  return SetSourceIds(1, &source);
}

void CUac1Terminal::ReadSetting(PCWSTR name, PULONG value) {
  ULONG stored = *value;
  if (NT_SUCCESS(AccessSetting(m_Owner->GetDeviceObject(), SETTINGS_READ, &stored, sizeof stored, name)))
    *value = stored;
}

NTSTATUS CUac1Terminal::WriteSetting(PCWSTR name, ULONG value) {
  return AccessSetting(m_Owner->GetDeviceObject(), SETTINGS_WRITE, &value, sizeof value, name);
}
