#include "topology/CUac1FeatureUnit.h"

#include "topology/CRoomEffectNode.h"
#include "topology/CUacLevelNode.h"
#include "topology/CUacProcessingNode.h"
#include "topology/CUacSwitchNode.h"

namespace {

// The vendor block: length at 16-17, control size at 18, bitmaps from 19.
constexpr ULONG kVendorBlockLengthValue = 0x0010;
constexpr ULONG kVendorBitmapsOffset = 19;
constexpr ULONG kVendorBlockMinimum = kVendorBitmapsOffset + 2;  // up to the master's bitmap

// The standard controls with a node, in node order.
constexpr ULONG kStandardControls[] = {UAC_FU_MUTE, UAC_FU_VOLUME, UAC_FU_BASS, UAC_FU_MID,
                                       UAC_FU_TREBLE, UAC_FU_AGC, UAC_FU_LOUDNESS};

bool IsToneControl(ULONG cs) { return cs == UAC_FU_BASS || cs == UAC_FU_MID || cs == UAC_FU_TREBLE; }
bool IsVendorControl(ULONG cs) { return (cs & UAC_FU_VENDOR_BIT) != 0; }

ULONG ReadLe16(const UCHAR* p) { return ULONG(p[0]) | ULONG(p[1]) << 8; }

// Whether bit `cs` - 1 of `bitmap` is set; `bits` is the bitmap's width.
bool BitmapHas(ULONG bitmap, ULONG bits, ULONG cs) { return cs >= 1 && cs <= bits && ((bitmap >> (cs - 1)) & 1); }

// USB channels 5/6 and 7/8 change places on the wire.
UCHAR SwapUsbChannel(ULONG index) {
  switch (index) {
    case 5: return 7;
    case 6: return 8;
    case 7: return 5;
    case 8: return 6;
    default: return static_cast<UCHAR>(index);
  }
}

// A level control's wire value: 1/4 dB in one byte, 1/256 dB in two.
LONG DecodeLevel(const UCHAR* reply, ULONG size) {
  return size == 1 ? LONG(static_cast<signed char>(reply[0])) * (1 << 14)
                   : LONG(static_cast<SHORT>(ReadLe16(reply))) * (1 << 8);
}

LONG Saturate(LONG value, LONG low, LONG high) { return value < low ? low : value > high ? high : value; }

template <typename TNode>
TNode* NewNode(ULONG tag, ULONG nodeId) {
  auto* node = new (NonPagedPool, tag) TNode(nullptr, nodeId);
  if (node) node->NonDelegatingAddRef();
  return node;
}

}  // namespace

CUac1FeatureUnit::CUac1FeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId)
    : CUacUnit(outerUnknown, provisionalId, UAC_SUBTYPE_FEATURE_UNIT) {}

CUac1FeatureUnit::~CUac1FeatureUnit() {
  if (m_VendorBlock) ExFreePool(m_VendorBlock);
}

NTSTATUS CUac1FeatureUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  return QueryControlInterfaces(iid, object, this, this);
}

// ---- Descriptor and vendor block -----------------------------------------------------------

bool CUac1FeatureUnit::DescriptorFits(const UCHAR* descriptor, ULONG length) const {
  // bControlSize at 5, then at least the master's bitmap.
  return length >= 6 && descriptor[5] != 0 && length >= 6 + ULONG(descriptor[5]);
}

ULONG CUac1FeatureUnit::DescriptorChannels() const {
  // bLength = 7 + (n + 1) * bControlSize: the master, n channels, iFeature.
  const ULONG size = ControlSize();
  return m_DescriptorLength >= 7 + size ? (m_DescriptorLength - 7) / size - 1 : 0;
}

bool CUac1FeatureUnit::DescriptorHas(ULONG index, ULONG cs) const {
  if (!IsFeatureUnit() || index > DescriptorChannels()) return false;
  const ULONG size = ControlSize();
  const UCHAR* bitmap = m_Descriptor + 6 + index * size;
  return size == 1 ? BitmapHas(bitmap[0], 8, cs) : BitmapHas(ReadLe16(bitmap), 16, cs);
}

ULONG CUac1FeatureUnit::VendorChannels() const {
  const ULONG size = VendorControlSize();
  const ULONG room = m_VendorBlockLength - kVendorBitmapsOffset;
  return room >= size ? room / size - 1 : 0;
}

bool CUac1FeatureUnit::VendorBlockHas(ULONG index, ULONG cs) const {
  // Only two-byte bitmaps are understood.
  if (!m_VendorBlock || VendorControlSize() != 2 || index > VendorChannels()) return false;
  return BitmapHas(ReadLe16(m_VendorBlock + kVendorBitmapsOffset + 2 * index), 16, cs & ~UAC_FU_VENDOR_BIT);
}

NTSTATUS CUac1FeatureUnit::PrepareNodes() {
  PAGED_CODE();
  UCHAR header[2];
  ULONG transferred = 0;
  NTSTATUS status = SendRequest(URB_FUNCTION_CLASS_INTERFACE, true, UAC_GET_MEM, kVendorBlockLengthValue, header,
                                sizeof header, &transferred);
  if (!NT_SUCCESS(status) || transferred != sizeof header) return STATUS_SUCCESS;
  const ULONG length = ReadLe16(header);
  if (length < kVendorBlockMinimum) {
    DbgPrint("%s vendor block of %u bytes\n", "CUac1FeatureUnit::Init", length);
    return STATUS_SUCCESS;
  }
  auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, UAC_UNIT_DATA_TAG));
  if (!block) return STATUS_SUCCESS;
  status = SendRequest(URB_FUNCTION_CLASS_INTERFACE, true, UAC_GET_MEM, 0, block, length, &transferred);
  // The block's own length must cover the master's bitmap and lie within
  // what the device sent; its bitmaps are read only up to that length.
  const ULONG declared = transferred >= 18 ? ReadLe16(block + 16) : 0;
  if (!NT_SUCCESS(status) || declared < kVendorBlockMinimum || declared > transferred || block[18] == 0) {
    if (NT_SUCCESS(status)) DbgPrint("%s vendor block refused\n", "CUac1FeatureUnit::Init");
    ExFreePool(block);
    return STATUS_SUCCESS;
  }
  m_VendorBlock = block;
  m_VendorBlockLength = declared;
  return STATUS_SUCCESS;
}

BOOLEAN CUac1FeatureUnit::HasControl(ULONG cs) const {
  if (IsVendorControl(cs)) {
    if (!m_VendorBlock) return FALSE;
    for (ULONG i = 0; i <= VendorChannels(); ++i)
      if (VendorBlockHas(i, cs)) return TRUE;
    return FALSE;
  }
  for (ULONG i = 0; i <= DescriptorChannels(); ++i)
    if (DescriptorHas(i, cs)) return TRUE;
  return FALSE;
}

// ---- Channels ------------------------------------------------------------------------------

NTSTATUS CUac1FeatureUnit::ChannelCount(ULONG cs, PULONG count) const {
  if (!count || !IsFeatureUnit()) return STATUS_INVALID_PARAMETER;
  const bool vendor = IsVendorControl(cs);
  if (vendor && !m_VendorBlock) return STATUS_INVALID_PARAMETER;
  const ULONG channels = vendor ? VendorChannels() : DescriptorChannels();
  ULONG found = 0;
  for (ULONG i = 1; i <= channels; ++i)
    if (vendor ? VendorBlockHas(i, cs) : DescriptorHas(i, cs)) ++found;
  if (found) {
    *count = found;
    return STATUS_SUCCESS;
  }
  if (vendor ? VendorBlockHas(0, cs) : DescriptorHas(0, cs)) {
    *count = 1;
    return STATUS_SUCCESS;
  }
  *count = 0;
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CUac1FeatureUnit::GetSwitchChannelCount(ULONG cs, PULONG count) { return ChannelCount(cs, count); }
NTSTATUS CUac1FeatureUnit::GetLevelChannelCount(ULONG cs, PULONG count) { return ChannelCount(cs, count); }

NTSTATUS CUac1FeatureUnit::UsbChannel(ULONG cs, ULONG channel, PUCHAR usbChannel) const {
  ULONG entry = 0;
  NTSTATUS status = ControlEntry(cs, channel, &entry);
  if (NT_SUCCESS(status)) *usbChannel = SwapUsbChannel(entry);
  return status;
}

NTSTATUS CUac1FeatureUnit::ControlEntry(ULONG cs, ULONG channel, PULONG entry) const {
  ULONG count = 0;
  NTSTATUS status = ChannelCount(cs, &count);
  if (!NT_SUCCESS(status)) return status;
  if (channel >= count) return STATUS_INVALID_PARAMETER;
  // Several channels: the master's bitmap is skipped. One channel: the
  // master, or else the first logical channel.
  ULONG index = count > 1 ? channel + 1 : 0;
  auto has = [&](ULONG i) { return IsVendorControl(cs) ? VendorBlockHas(i, cs) : DescriptorHas(i, cs); };
  if (!has(index)) {
    if (count == 1 && has(index + 1)) {
      ++index;
    } else {
      return STATUS_INVALID_PARAMETER;
    }
  }
  *entry = index;
  return STATUS_SUCCESS;
}

// ---- Requests ------------------------------------------------------------------------------

NTSTATUS CUac1FeatureUnit::ReadControl(ULONG cs, UCHAR request, UCHAR channel, PVOID buffer, ULONG length) {
  const USHORT function = IsVendorControl(cs) ? URB_FUNCTION_VENDOR_INTERFACE : URB_FUNCTION_CLASS_INTERFACE;
  return ReadExact(function, request, static_cast<USHORT>((cs & 0xFF) << 8 | channel), buffer, length);
}

NTSTATUS CUac1FeatureUnit::WriteControl(ULONG cs, UCHAR channel, PVOID buffer, ULONG length) {
  const USHORT function = IsVendorControl(cs) ? URB_FUNCTION_VENDOR_INTERFACE : URB_FUNCTION_CLASS_INTERFACE;
  return SendRequest(function, false, UAC_SET_CUR, static_cast<USHORT>((cs & 0xFF) << 8 | channel), buffer, length);
}

NTSTATUS CUac1FeatureUnit::GetSwitchValue(ULONG cs, ULONG channel, PUCHAR value) {
  PAGED_CODE();
  UCHAR usbChannel = 0;
  if (!value) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = UsbChannel(cs, channel, &usbChannel);
  if (!NT_SUCCESS(status)) return status;
  UCHAR reply = 0;
  status = ReadControl(cs, UAC_GET_CUR, usbChannel, &reply, 1);
  if (NT_SUCCESS(status)) *value = reply;
  return status;
}

NTSTATUS CUac1FeatureUnit::SetSwitchValue(ULONG cs, ULONG channel, UCHAR value) {
  PAGED_CODE();
  UCHAR usbChannel = 0;
  NTSTATUS status = UsbChannel(cs, channel, &usbChannel);
  if (!NT_SUCCESS(status)) return status;
  return WriteControl(cs, usbChannel, &value, 1);
}

NTSTATUS CUac1FeatureUnit::GetLevel(ULONG cs, ULONG channel, PLONG level) {
  PAGED_CODE();
  UCHAR usbChannel = 0;
  if (!level) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = UsbChannel(cs, channel, &usbChannel);
  if (!NT_SUCCESS(status)) return status;
  UCHAR reply[2] = {};
  const ULONG size = IsToneControl(cs) ? 1 : 2;
  status = ReadControl(cs, UAC_GET_CUR, usbChannel, reply, size);
  if (NT_SUCCESS(status)) {
    *level = DecodeLevel(reply, size);
  }
  return status;
}

NTSTATUS CUac1FeatureUnit::SetLevel(ULONG cs, ULONG channel, LONG level) {
  PAGED_CODE();
  UCHAR usbChannel = 0;
  NTSTATUS status = UsbChannel(cs, channel, &usbChannel);
  if (!NT_SUCCESS(status)) return status;
  if (IsToneControl(cs)) {
    UCHAR value = static_cast<UCHAR>(Saturate(level >> 14, -128, 127));
    return WriteControl(cs, usbChannel, &value, 1);
  }
  // 0x8000 is silence; a finite level never becomes it.
  const LONG wire = level == LEVEL_MINUS_INFINITY ? -0x8000 : Saturate(level >> 8, -0x7FFF, 0x7FFF);
  UCHAR value[2] = {static_cast<UCHAR>(wire), static_cast<UCHAR>(wire >> 8)};
  return WriteControl(cs, usbChannel, value, 2);
}

NTSTATUS CUac1FeatureUnit::GetLevelRange(ULONG cs, PLONG maximum, PLONG minimum, PLONG step) {
  PAGED_CODE();
  if (!IsFeatureUnit() || !maximum || !minimum || !step) return STATUS_INVALID_PARAMETER;
  ULONG count = 0;
  NTSTATUS status = ChannelCount(cs, &count);
  if (!NT_SUCCESS(status)) return status;
  UCHAR channel = 0;
  for (ULONG i = 1; i <= count; ++i) {
    if (IsVendorControl(cs) ? VendorBlockHas(i, cs) : DescriptorHas(i, cs)) {
      channel = static_cast<UCHAR>(i);
      break;
    }
  }
  const ULONG size = IsToneControl(cs) ? 1 : 2;
  const UCHAR requests[3] = {UAC_GET_MAX, UAC_GET_MIN, UAC_GET_RES};
  LONG values[3] = {};
  for (ULONG r = 0; r < 3; ++r) {
    UCHAR reply[2] = {};
    status = ReadControl(cs, requests[r], channel, reply, size);
    if (!NT_SUCCESS(status)) return status;
    values[r] = DecodeLevel(reply, size);
  }
  *maximum = values[0];
  *minimum = values[1];
  *step = values[2];
  return STATUS_SUCCESS;
}

// ---- Nodes ---------------------------------------------------------------------------------

NTSTATUS CUac1FeatureUnit::AddControlNode(IAudioHal* owner, ULONG cs, ULONG tag, PULONG nextId) {
  PAGED_CODE();
  ITopoNode* const unit = static_cast<IUacUnit*>(this);
  const PDEVICE_OBJECT deviceObject = owner->GetDeviceObject();
  ITopoNode* node = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  if (cs == UAC_FU_MUTE || cs == UAC_FU_AGC || cs == UAC_FU_LOUDNESS) {
    CUacSwitchNode* n = cs == UAC_FU_MUTE  ? static_cast<CUacSwitchNode*>(NewNode<CUacMuteNode>(tag, *nextId))
                        : cs == UAC_FU_AGC ? static_cast<CUacSwitchNode*>(NewNode<CUacAgcNode>(tag, *nextId))
                                           : NewNode<CUacLoudnessNode>(tag, *nextId);
    if (n) status = InitSwitchNodeFromUnit(n, unit, cs, deviceObject);
    node = n;
  } else if (IsVendorControl(cs)) {
    auto* n = NewNode<CUacProcessingNode>(tag, *nextId);
    if (n) status = n->InitFromUnit(unit, cs, deviceObject);
    node = n;
  } else {
    CUacLevelNode* n = cs == UAC_FU_VOLUME ? static_cast<CUacLevelNode*>(NewNode<CUacVolumeNode>(tag, *nextId))
                       : cs == UAC_FU_BASS ? static_cast<CUacLevelNode*>(NewNode<CUacBassNode>(tag, *nextId))
                       : cs == UAC_FU_MID  ? static_cast<CUacLevelNode*>(NewNode<CUacMidNode>(tag, *nextId))
                                           : NewNode<CUacTrebleNode>(tag, *nextId);
    if (n) status = InitLevelNodeFromUnit(n, unit, cs, deviceObject);
    node = n;
  }
  if (!node) return cs == UAC_FU_MUTE ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
  if (NT_SUCCESS(status)) status = AddBuiltNode(owner, node);
  if (NT_SUCCESS(status)) ++*nextId;
  node->Release();
  return status;
}

NTSTATUS CUac1FeatureUnit::BeginNodes(IAudioHal* owner, PULONG nextId) {
  PAGED_CODE();
  m_NodeId = m_Descriptor[3];
  m_NodeType = UAC_SUBTYPE_FEATURE_UNIT;
  const ULONG source = m_Descriptor[4];
  NTSTATUS status = SetSourceIds(1, &source);
  if (!NT_SUCCESS(status)) return status;
  *nextId = NextNodeId(owner);
  return HasControl(UAC_FU_MUTE) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS CUac1FeatureUnit::BuildStandardNodes(IAudioHal* owner, ULONG tag, PULONG nextId) {
  PAGED_CODE();
  NTSTATUS status = BeginNodes(owner, nextId);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG cs : kStandardControls) {
    if (!HasControl(cs)) continue;
    status = AddControlNode(owner, cs, tag, nextId);
    if (!NT_SUCCESS(status)) return status;
  }
  return status;
}

NTSTATUS CUac1FeatureUnit::AddRoomEffectNode(IAudioHal* owner, CRoomEffectNode* node, NTSTATUS initStatus,
                                             PULONG nextId) {
  PAGED_CODE();
  if (!NT_SUCCESS(initStatus)) return node->IsBoundToUnit() ? STATUS_SUCCESS : initStatus;
  NTSTATUS status = AddBuiltNode(owner, node);
  if (NT_SUCCESS(status)) ++*nextId;
  return status;
}

NTSTATUS CUac1FeatureUnit::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  ULONG nextId = 0;
  NTSTATUS status = BuildStandardNodes(owner, UAC_UNIT_DATA_TAG, &nextId);
  for (ULONG cs : {UAC_FU_VENDOR_11, UAC_FU_VENDOR_12}) {
    if (!NT_SUCCESS(status)) break;
    if (HasControl(cs)) status = AddControlNode(owner, cs, UAC_UNIT_DATA_TAG, &nextId);
  }
  return status;
}
