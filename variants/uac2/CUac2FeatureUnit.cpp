#include "variants/uac2/CUac2FeatureUnit.h"

#include "variants/CUacDeviceNodes.h"
#include "variants/CUacSoftwareVolumeNode.h"

namespace {

constexpr ULONG CS_MUTE = 0x01;
constexpr ULONG CS_VOLUME = 0x02;
constexpr ULONG CS_BASS = 0x03;
constexpr ULONG CS_MID = 0x04;
constexpr ULONG CS_TREBLE = 0x05;
constexpr ULONG CS_AGC = 0x07;
constexpr ULONG CS_LOUDNESS = 0x0A;
constexpr ULONG CS_INPUT_GAIN_PAD = 0x0C;
constexpr ULONG CS_SOFTWARE_VOLUME = 0x82;
constexpr ULONG CS_DEVICE_SWITCH = 0x90;
constexpr ULONG DEVICE_SPECIFIC = 0x80;

// The controls with a node, in node order.
constexpr ULONG kNodeControls[] = {CS_MUTE,     CS_VOLUME, CS_BASS,           CS_MID,           CS_TREBLE,
                                   CS_AGC,      CS_LOUDNESS, CS_INPUT_GAIN_PAD, CS_DEVICE_SWITCH, CS_SOFTWARE_VOLUME};

// The vendor block: its length at 16-17, 32-bit words from 18.
constexpr USHORT VENDOR_LENGTH_VALUE = 0x0010;
constexpr ULONG VENDOR_WORDS_OFFSET = 18;

constexpr ULONG READABLE = 1;
constexpr ULONG WRITABLE = 2;

bool IsDeviceSpecific(ULONG cs) { return (cs & DEVICE_SPECIFIC) != 0; }
bool IsToneControl(ULONG cs) { return cs == CS_BASS || cs == CS_MID || cs == CS_TREBLE; }

ULONG NodeTypeOf(ULONG cs) {
  switch (cs) {
    case CS_MUTE: return NODE_TYPE_MUTE;
    case CS_VOLUME:
    case CS_SOFTWARE_VOLUME: return NODE_TYPE_VOLUME;
    case CS_BASS: return NODE_TYPE_BASS;
    case CS_MID: return NODE_TYPE_MID;
    case CS_TREBLE: return NODE_TYPE_TREBLE;
    case CS_AGC: return NODE_TYPE_AGC;
    case CS_LOUDNESS: return NODE_TYPE_LOUDNESS;
    default: return ULONG(-1);  // no node the topology filter announces
  }
}

LONG SignedByte(UCHAR b) { return static_cast<signed char>(b); }
LONG SignedWord(const UCHAR* p) { return static_cast<SHORT>(platform::usb::ReadLe16(p)); }

}  // namespace

CUac2FeatureUnit::~CUac2FeatureUnit() {
  if (m_VendorBlock) ExFreePool(m_VendorBlock);
}

NTSTATUS CUac2FeatureUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  return QueryControlInterfaces(iid, object, this, this);
}

// ---- Descriptor and vendor block -----------------------------------------------------------

ULONG CUac2FeatureUnit::DescriptorEntries() const {
  // bmaControls from byte 5 up to iFeature, the last byte.
  return m_DescriptorLength >= 6 ? (m_DescriptorLength - 6) / 4 : 0;
}

ULONG CUac2FeatureUnit::Entry(ULONG index) const {
  return index < DescriptorEntries() ? platform::usb::ReadLe32(m_Descriptor + 5 + 4 * index) : 0;
}

ULONG CUac2FeatureUnit::VendorEntry(ULONG index) const {
  return m_VendorBlock && index < m_VendorEntries
             ? platform::usb::ReadLe32(m_VendorBlock + VENDOR_WORDS_OFFSET + 4 * index)
             : 0;
}

ULONG CUac2FeatureUnit::EntriesFor(ULONG cs) const {
  return IsDeviceSpecific(cs) ? m_VendorEntries : DescriptorEntries();
}

ULONG CUac2FeatureUnit::Pair(ULONG cs, ULONG index) const {
  const ULONG selector = IsDeviceSpecific(cs) ? cs & ~DEVICE_SPECIFIC : cs;
  if (selector == 0) return 0;
  const ULONG word = IsDeviceSpecific(cs) ? VendorEntry(index) : Entry(index);
  return (word >> ((2 * selector - 2) % 32)) & 3;
}

NTSTATUS CUac2FeatureUnit::PrepareNodes() {
  PAGED_CODE();
  UCHAR header[2];
  ULONG transferred = 0;
  NTSTATUS status = SendRequest(URB_FUNCTION_CLASS_INTERFACE, true, USB_AUDIO2_MEM, VENDOR_LENGTH_VALUE, header,
                                sizeof header, &transferred);
  if (!NT_SUCCESS(status) || transferred != sizeof header) return STATUS_SUCCESS;
  const ULONG length = platform::usb::ReadLe16(header);
  // A block without room for its own header describes no control.
  if (length < VENDOR_WORDS_OFFSET) return STATUS_SUCCESS;
  auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, UAC2_ENTITY_TAG));
  if (!block) return STATUS_SUCCESS;
  status = SendRequest(URB_FUNCTION_CLASS_INTERFACE, true, USB_AUDIO2_MEM, 0, block, length, &transferred);
  if (!NT_SUCCESS(status) || transferred < VENDOR_WORDS_OFFSET) {
    ExFreePool(block);
    return STATUS_SUCCESS;
  }
  // The words the block says it has, as far as the device really sent them.
  ULONG declared = platform::usb::ReadLe16(block + 16);
  if (declared > transferred) declared = transferred;
  m_VendorEntries = declared >= VENDOR_WORDS_OFFSET ? (declared - VENDOR_WORDS_OFFSET) / 4 : 0;
  m_VendorBlock = block;
  return STATUS_SUCCESS;
}

BOOLEAN CUac2FeatureUnit::HasControl(ULONG cs) const {
  if (IsDeviceSpecific(cs) && !m_VendorBlock) return FALSE;
  const ULONG entries = EntriesFor(cs);
  for (ULONG i = 0; i < entries; ++i)
    if (Pair(cs, i) != 0) return TRUE;
  return FALSE;
}

// ---- Channels --------------------------------------------------------------------------------

NTSTATUS CUac2FeatureUnit::ChannelCount(ULONG cs, PULONG count) const {
  if (!count || !IsFeatureUnit()) return STATUS_INVALID_PARAMETER;
  if (IsDeviceSpecific(cs) && !m_VendorBlock) return STATUS_INVALID_PARAMETER;
  const ULONG entries = EntriesFor(cs);
  ULONG found = 0;
  for (ULONG i = 1; i < entries; ++i)
    if (Pair(cs, i) != 0) ++found;
  if (found) {
    *count = found;
    return STATUS_SUCCESS;
  }
  *count = Pair(cs, 0) != 0 ? 1 : 0;
  return *count ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUac2FeatureUnit::GetSwitchChannelCount(ULONG cs, PULONG count) { return ChannelCount(cs, count); }
NTSTATUS CUac2FeatureUnit::GetLevelChannelCount(ULONG cs, PULONG count) { return ChannelCount(cs, count); }

NTSTATUS CUac2FeatureUnit::ChannelNumber(ULONG cs, ULONG channel, bool write, PUCHAR number) const {
  ULONG count = 0;
  NTSTATUS status = ChannelCount(cs, &count);
  if (!NT_SUCCESS(status)) return status;
  if (channel >= count) return STATUS_INVALID_PARAMETER;
  ULONG index = count > 1 ? channel + 1 : channel;
  const ULONG needed = write ? WRITABLE : READABLE;
  if (!(Pair(cs, index) & needed)) {
    // One channel that is not the master's: the control sits on channel 1.
    // Only a descriptor with more than the master's entry has one.
    if (count == 1 && EntriesFor(cs) > 1 && (Pair(cs, index + 1) & needed))
      ++index;
    else
      return STATUS_INVALID_PARAMETER;
  }
  *number = static_cast<UCHAR>(index);
  return STATUS_SUCCESS;
}

// ---- Values --------------------------------------------------------------------------------------

NTSTATUS CUac2FeatureUnit::GetSwitchValue(ULONG cs, ULONG channel, PUCHAR value) {
  PAGED_CODE();
  if (!value) return STATUS_INVALID_PARAMETER;
  UCHAR number = 0;
  NTSTATUS status = ChannelNumber(cs, channel, false, &number);
  if (!NT_SUCCESS(status)) return status;
  UCHAR reply = 0;
  status = ReadWhole(USB_AUDIO2_CUR, static_cast<UCHAR>(cs), number, &reply, 1);
  if (NT_SUCCESS(status)) *value = reply;
  return status;
}

NTSTATUS CUac2FeatureUnit::SetSwitchValue(ULONG cs, ULONG channel, UCHAR value) {
  PAGED_CODE();
  UCHAR number = 0;
  NTSTATUS status = ChannelNumber(cs, channel, true, &number);
  if (!NT_SUCCESS(status)) return status;
  return Request(false, USB_AUDIO2_CUR, static_cast<UCHAR>(cs), number, &value, 1);
}

NTSTATUS CUac2FeatureUnit::GetLevel(ULONG cs, ULONG channel, PLONG level) {
  PAGED_CODE();
  if (!level) return STATUS_INVALID_PARAMETER;
  UCHAR number = 0;
  NTSTATUS status = ChannelNumber(cs, channel, false, &number);
  if (!NT_SUCCESS(status)) return status;
  UCHAR reply[2] = {};
  const ULONG size = IsToneControl(cs) ? 1 : 2;
  status = ReadWhole(USB_AUDIO2_CUR, static_cast<UCHAR>(cs), number, reply, size);
  if (NT_SUCCESS(status)) *level = size == 1 ? SignedByte(reply[0]) * (1 << 14) : SignedWord(reply) * (1 << 8);
  return status;
}

NTSTATUS CUac2FeatureUnit::SetLevel(ULONG cs, ULONG channel, LONG level) {
  PAGED_CODE();
  UCHAR number = 0;
  NTSTATUS status = ChannelNumber(cs, channel, true, &number);
  if (!NT_SUCCESS(status)) return status;
  if (IsToneControl(cs)) {
    // Silence has no tone setting of its own: it goes as 0x80000000 >> 14,
    // whose low byte is 0 dB.
    UCHAR value = static_cast<UCHAR>(level >> 14);
    return Request(false, USB_AUDIO2_CUR, static_cast<UCHAR>(cs), number, &value, 1);
  }
  const LONG wire = level == LEVEL_MINUS_INFINITY ? 0x8000 : level >> 8;
  UCHAR value[2];
  platform::usb::WriteLe16(value, static_cast<USHORT>(wire));
  return Request(false, USB_AUDIO2_CUR, static_cast<UCHAR>(cs), number, value, sizeof value);
}

NTSTATUS CUac2FeatureUnit::GetLevelRange(ULONG cs, PLONG maximum, PLONG minimum, PLONG step) {
  PAGED_CODE();
  if (!IsFeatureUnit() || !maximum || !minimum || !step) return STATUS_INVALID_PARAMETER;
  ULONG count = 0;
  NTSTATUS status = ChannelCount(cs, &count);
  if (!NT_SUCCESS(status)) return status;
  UCHAR number = 0;
  for (ULONG i = 1; i <= count; ++i) {
    if (Pair(cs, i) != 0) {
      number = static_cast<UCHAR>(i);
      break;
    }
  }
  // wNumSubRanges, then MIN, MAX, RES of one or two bytes.
  const bool tone = IsToneControl(cs);
  const ULONG field = tone ? 1 : 2;
  UCHAR reply[8] = {};
  status = ReadWhole(USB_AUDIO2_RANGE, static_cast<UCHAR>(cs), number, reply, 2 + 3 * field);
  if (!NT_SUCCESS(status)) return status;
  if (platform::usb::ReadLe16(reply) != 1) return STATUS_UNSUCCESSFUL;
  auto value = [&](ULONG i) {
    const UCHAR* at = reply + 2 + i * field;
    return tone ? SignedByte(at[0]) * (1 << 14) : SignedWord(at) * (1 << 8);
  };
  *minimum = value(0);
  *maximum = value(1);
  *step = value(2);
  return STATUS_SUCCESS;
}

// ---- Nodes -------------------------------------------------------------------------------------

NTSTATUS CUac2FeatureUnit::AddControlNode(IAudioHal* model, ULONG cs, bool* allocated) {
  PAGED_CODE();
  ITopoNode* const unit = static_cast<IUacUnit*>(this);
  const PDEVICE_OBJECT device = model->GetDeviceObject();
  auto asSwitch = [&](auto* node) { return InitSwitchNodeFromUnit(node, unit, cs, device); };
  auto asLevel = [&](auto* node) { return InitLevelNodeFromUnit(node, unit, cs, device); };
  switch (cs) {
    case CS_MUTE: return AddEntityNode<CUacMuteNode>(model, asSwitch, allocated);
    case CS_VOLUME: return AddEntityNode<CUacVolumeNode>(model, asLevel, allocated);
    case CS_BASS: return AddEntityNode<CUacBassNode>(model, asLevel, allocated);
    case CS_MID: return AddEntityNode<CUacMidNode>(model, asLevel, allocated);
    case CS_TREBLE: return AddEntityNode<CUacTrebleNode>(model, asLevel, allocated);
    case CS_AGC: return AddEntityNode<CUacAgcNode>(model, asSwitch, allocated);
    case CS_LOUDNESS: return AddEntityNode<CUacLoudnessNode>(model, asSwitch, allocated);
    case CS_INPUT_GAIN_PAD: return AddEntityNode<CUacInputGainPadNode>(model, asLevel, allocated);
    case CS_DEVICE_SWITCH: return AddEntityNode<CUacVendorSwitchNode>(model, asSwitch, allocated);
    default:
      return AddEntityNode<CUacSoftwareVolumeNode>(
          model, [&](CUacSoftwareVolumeNode* node) { return node->InitFromUnit(unit, cs, device); }, allocated);
  }
}

NTSTATUS CUac2FeatureUnit::BuildNodes(IAudioHal* model) {
  PAGED_CODE();
  const UCHAR source = m_Descriptor[4];
  NTSTATUS status = SetIdentity(UAC_SUBTYPE_FEATURE_UNIT, 1, &source);
  if (!NT_SUCCESS(status)) return status;
  if (!HasControl(CS_MUTE)) return STATUS_INSUFFICIENT_RESOURCES;
  for (ULONG cs : kNodeControls) {
    if (!HasControl(cs)) continue;
    bool allocated = false;
    status = AddControlNode(model, cs, &allocated);
    if (!allocated) {
      if (cs == CS_MUTE) return STATUS_INSUFFICIENT_RESOURCES;
      status = STATUS_SUCCESS;  // a node the pool could not give is left out
      continue;
    }
    // The software volume is still tried after a failed device switch; the
    // last node tried has the word.
    if (!NT_SUCCESS(status) && cs != CS_DEVICE_SWITCH) return status;
  }
  return status;
}

NTSTATUS CUac2FeatureUnit::OnControlChange(ULONG cs, ULONG, PULONG nodeId) {
  PAGED_CODE();
  if (!nodeId) return STATUS_INVALID_PARAMETER;
  if (!HasControl(cs)) return STATUS_UNSUCCESSFUL;
  ITopoNode* node = FirstNodeOfType(NodeTypeOf(cs));
  if (!node) return STATUS_UNSUCCESSFUL;
  *nodeId = node->GetId();
  // A node that could not read its value keeps the one it had.
  return node->RefreshFromDevice();
}
