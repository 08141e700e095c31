// The Audio Class 1.0 feature unit: one-byte controls through ISwitchControl,
// level controls through ILevelControl, and one control node per control
// present (mute, volume, bass, mid, treble, AGC, loudness and two vendor
// controls).
//
// Channels: the descriptor has a bitmap for the master channel and one per
// logical channel. A control present on logical channels is addressed per
// channel (channel index c -> bitmap c + 1); one present on the master alone
// has one channel, the master. USB channels 5/6 and 7/8 are swapped on the
// wire: logical channels 4-7 of an eight-channel control address USB
// channels 7, 8, 5, 6.
//
// Vendor controls (selector bit 7 set) are described by a block in the
// unit's memory, read once with GET_MEM: its length at bytes 16-17, the
// control size at byte 18 and 16-bit bitmaps from byte 19 (master first).
#pragma once

#include "topology/CUacUnit.h"

class CRoomEffectNode;

// Feature unit control selectors with a node.
constexpr ULONG UAC_FU_MUTE = 1;
constexpr ULONG UAC_FU_VOLUME = 2;
constexpr ULONG UAC_FU_BASS = 3;
constexpr ULONG UAC_FU_MID = 4;
constexpr ULONG UAC_FU_TREBLE = 5;
constexpr ULONG UAC_FU_AGC = 7;
constexpr ULONG UAC_FU_LOUDNESS = 10;
constexpr ULONG UAC_FU_VENDOR_BIT = 0x80;
constexpr ULONG UAC_FU_VENDOR_11 = 0x8B;
constexpr ULONG UAC_FU_VENDOR_12 = 0x8C;

class CUac1FeatureUnit : public CUacUnit, public ISwitchControl, public ILevelControl {
 public:
  CUac1FeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId);
  ~CUac1FeatureUnit() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // Changes of a feature unit are refreshed node by node by the model.
  NTSTATUS STDMETHODCALLTYPE OnControlChange(ULONG, ULONG, PULONG) override { return STATUS_SUCCESS; }

  // Any bitmap (master or channel) has the control.
  BOOLEAN HasControl(ULONG controlSelector) const;

  // ---- ISwitchControl
  NTSTATUS STDMETHODCALLTYPE GetSwitchValue(ULONG controlSelector, ULONG channel, PUCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE SetSwitchValue(ULONG controlSelector, ULONG channel, UCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE GetSwitchChannelCount(ULONG controlSelector, PULONG count) override;

  // ---- ILevelControl
  NTSTATUS STDMETHODCALLTYPE GetLevel(ULONG controlSelector, ULONG channel, PLONG level) override;
  // Levels beyond what the control's field can carry are sent as its end.
  NTSTATUS STDMETHODCALLTYPE SetLevel(ULONG controlSelector, ULONG channel, LONG level) override;
  NTSTATUS STDMETHODCALLTYPE GetLevelRange(ULONG controlSelector, PLONG maximum, PLONG minimum, PLONG step) override;
  NTSTATUS STDMETHODCALLTYPE GetLevelChannelCount(ULONG controlSelector, PULONG count) override;

 protected:
  bool DescriptorFits(const UCHAR* descriptor, ULONG length) const override;
  // Reads the vendor control block; a device without one simply has no
  // vendor controls.
  NTSTATUS PrepareNodes() override;
  NTSTATUS BuildNodes(IAudioHal* owner) override;

  // Creates, initialises and adds the node of control `controlSelector`
  // (allocated with `tag`) with id *nextId, and advances *nextId. A node
  // other than mute that cannot be allocated is skipped with success.
  NTSTATUS AddControlNode(IAudioHal* owner, ULONG controlSelector, ULONG tag, PULONG nextId);
  // The node builder's part shared with derived units: id, type code and
  // source of the unit, then the standard control nodes in order.
  NTSTATUS BuildStandardNodes(IAudioHal* owner, ULONG tag, PULONG nextId);
  // Adds a room effect node a derived unit's builder created and
  // initialised (`initStatus` is its Init's) and advances *nextId. A node
  // bound to the unit but short of memory for its processing is left out
  // with success, as a node that cannot be allocated is; a failed binding
  // is returned.
  NTSTATUS AddRoomEffectNode(IAudioHal* owner, CRoomEffectNode* node, NTSTATUS initStatus, PULONG nextId);
  // Its start, for builders with nodes of their own: the unit's id, type
  // code and source, the first node id, and the mute every unit must have
  // (STATUS_INSUFFICIENT_RESOURCES without it).
  NTSTATUS BeginNodes(IAudioHal* owner, PULONG nextId);

  bool IsFeatureUnit() const { return m_Descriptor && m_Descriptor[2] == UAC_SUBTYPE_FEATURE_UNIT; }
  ULONG ControlSize() const { return m_Descriptor[5]; }
  // Logical channels after the master in the descriptor.
  ULONG DescriptorChannels() const;
  // Bitmap `index` (0 master) of the descriptor or of the vendor block has
  // the control; indexes beyond the bitmaps have nothing.
  bool DescriptorHas(ULONG index, ULONG controlSelector) const;
  bool VendorBlockHas(ULONG index, ULONG controlSelector) const;
  ULONG VendorChannels() const;
  ULONG VendorControlSize() const { return m_VendorBlock[18]; }

  NTSTATUS ChannelCount(ULONG controlSelector, PULONG count) const;
  // The USB channel of logical channel `channel` of the control.
  NTSTATUS UsbChannel(ULONG controlSelector, ULONG channel, PUCHAR usbChannel) const;
  // The bitmap entry (0 master) that logical channel `channel` of the
  // control addresses, before the wire's channel swap.
  NTSTATUS ControlEntry(ULONG controlSelector, ULONG channel, PULONG entry) const;
  NTSTATUS ReadControl(ULONG controlSelector, UCHAR request, UCHAR channel, PVOID buffer, ULONG length);
  NTSTATUS WriteControl(ULONG controlSelector, UCHAR channel, PVOID buffer, ULONG length);

  PUCHAR m_VendorBlock = nullptr;
  ULONG m_VendorBlockLength = 0;  // the block's own length, at most what was transferred
};
