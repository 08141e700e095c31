// An Audio Class 2.0 feature unit: mute, volume, tone, AGC, loudness and
// input gain pad through the switch and level interfaces, and two
// device-specific controls described by a vendor block in the unit's
// memory (a switch, selector 0x90, and a volume the driver also applies in
// software, 0x82).
//
// Controls are 32-bit words of bit pairs, one word for the master channel
// and one per logical channel: selector cs uses bits 2 cs - 2 and 2 cs - 1
// (readable, writable). A device-specific selector 0x80 | k uses pair k of
// the vendor block's words, which follow its 18-byte header (the block's
// length at bytes 16-17).
//
// Levels are 16.16 dB: two-byte controls carry 1/256 dB, the tone controls
// one byte of 1/4 dB; 0x80000000 (silence) travels as 0x8000.
#pragma once

#include "variants/uac2/Uac2Entity.h"

class CUac2FeatureUnit : public CUac2Entity, public ISwitchControl, public ILevelControl {
 public:
  CUac2FeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId)
      : CUac2Entity(outerUnknown, provisionalId, UAC_SUBTYPE_FEATURE_UNIT) {}
  ~CUac2FeatureUnit() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // The node standing for the control re-reads it (a failed re-read keeps
  // its value and is returned); 0x0C and 0x90 have no node the topology
  // filter announces.
  NTSTATUS STDMETHODCALLTYPE OnControlChange(ULONG controlSelector, ULONG channel, PULONG nodeId) override;

  // Any channel, master included, has the control.
  BOOLEAN HasControl(ULONG controlSelector) const;

  // ---- ISwitchControl
  NTSTATUS STDMETHODCALLTYPE GetSwitchValue(ULONG controlSelector, ULONG channel, PUCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE SetSwitchValue(ULONG controlSelector, ULONG channel, UCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE GetSwitchChannelCount(ULONG controlSelector, PULONG count) override;

  // ---- ILevelControl
  NTSTATUS STDMETHODCALLTYPE GetLevel(ULONG controlSelector, ULONG channel, PLONG level) override;
  NTSTATUS STDMETHODCALLTYPE SetLevel(ULONG controlSelector, ULONG channel, LONG level) override;
  // The RANGE reply must hold exactly one subrange.
  NTSTATUS STDMETHODCALLTYPE GetLevelRange(ULONG controlSelector, PLONG maximum, PLONG minimum, PLONG step) override;
  NTSTATUS STDMETHODCALLTYPE GetLevelChannelCount(ULONG controlSelector, PULONG count) override;

  // The words of the vendor block read at Init (0 without a block).
  ULONG GetVendorEntryCount() const { return m_VendorEntries; }

 protected:
  bool DescriptorFits(const UCHAR*, ULONG length) const override { return length >= 5; }
  // Reads the vendor block; a device without a usable one has no
  // device-specific controls, and Init goes on.
  NTSTATUS PrepareNodes() override;
  NTSTATUS BuildNodes(IAudioHal* model) override;

  bool IsFeatureUnit() const { return m_Descriptor && m_Descriptor[2] == UAC_SUBTYPE_FEATURE_UNIT; }
  // Words of the descriptor (master first), and of the vendor block.
  ULONG DescriptorEntries() const;
  ULONG Entry(ULONG index) const;
  ULONG VendorEntry(ULONG index) const;
  // Control `cs`'s bit pair on entry `index` (the vendor block's for a
  // device-specific selector); 0 beyond the entries.
  ULONG Pair(ULONG controlSelector, ULONG index) const;
  ULONG EntriesFor(ULONG controlSelector) const;

  NTSTATUS ChannelCount(ULONG controlSelector, PULONG count) const;
  // The channel number logical channel `channel` addresses, for a read or
  // a write.
  NTSTATUS ChannelNumber(ULONG controlSelector, ULONG channel, bool write, PUCHAR number) const;
  NTSTATUS AddControlNode(IAudioHal* model, ULONG controlSelector, bool* allocated);

  PUCHAR m_VendorBlock = nullptr;
  ULONG m_VendorEntries = 0;
};
