// The Audio Class 2.0 input and output terminals. They give the topology's
// pins their categories and jack descriptions and name the clock that drives
// them. An output terminal whose device offers several terminal types on one
// connector (headphones and a line output, say) reads the list with each
// type's jacks, selects one on the device, persists the choice as
// "UACUnit<id>" and follows the selections the device reports.
//
// Jacks come from the jack-information control (CUR 0x02FF: a count byte,
// then per jack a 32-bit channel mask and a 32-bit configuration word);
// live presence from the connector control (CUR 0x0200: the connected
// channels' mask at byte 1). A terminal has a connector when bit 2 of its
// bmControls is set and it is not a USB streaming terminal.
#pragma once

#include "topology/CSingleTypeTerminal.h"
#include "topology/COutputTypes.h"
#include "topology/CUac1Terminal.h"
#include "variants/uac2/Uac2Entity.h"

// Pin categories by wTerminalType: as an input terminal, as an output
// terminal when it is built, and as one whose type the device changed.
PinCategory Uac2InputTerminalCategory(USHORT terminalType);
PinCategory Uac2OutputTerminalCategory(USHORT terminalType);
PinCategory Uac2OutputTerminalChangeCategory(USHORT terminalType);
// A device jack entry: presence bits 8-11 (non-zero: connected), colour
// index 12-15, connection type 16-23, geometric 24-27, general location
// 28-31; neither presence-detect field is set.
JackRecord Uac2JackRecord(ULONG channelMask, ULONG configuration);

class CUac2Terminal : public CUac2Entity, public ITerminal, public ITerminalClock {
 public:
  CUac2Terminal(PUNKNOWN outerUnknown, ULONG provisionalId, UCHAR subtype)
      : CUac2Entity(outerUnknown, provisionalId, subtype) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  NTSTATUS STDMETHODCALLTYPE GetDeviceCaps(DeviceCapsRecord*) override { return STATUS_NOT_IMPLEMENTED; }
  // ---- ITerminalClock
  NTSTATUS STDMETHODCALLTYPE GetClockSourceId(PULONG clockId) override;

  USHORT TerminalType() const { return static_cast<USHORT>(m_Descriptor[4] | m_Descriptor[5] << 8); }
  bool HasConnector() const;

 protected:
  // bCSourceID and bmControls of the terminal kind.
  virtual ULONG ClockOffset() const = 0;
  virtual ULONG ControlsOffset() const = 0;
  bool IsStreaming() const;

  // The jack list: a failed request is returned (and so is a failed
  // allocation); a device that lists no jacks leaves none.
  NTSTATUS ReadJacks(JackRecord** jacks, PULONG count);
  // The connected channels; a reply without the mask fails.
  NTSTATUS ReadConnectedChannels(PULONG mask);
  // Copies `count` records to `out` with IsConnected from live presence,
  // kept in `stored` too; a failed presence read leaves the last known
  // mask in force (CKnownPresence). Fails only when the device is gone.
  NTSTATUS CopyJacksWithPresence(JackRecord* stored, ULONG count, JackRecord* out);
  // A 4-byte Settings value; `value` keeps its default when absent.
  void ReadSetting(PCWSTR name, PULONG value);
  void WriteSetting(PCWSTR name, ULONG value);

 private:
  CKnownPresence m_Presence;
};

class CUac2InputTerminal : public CSingleTypeTerminal<CUac2Terminal> {
 public:
  CUac2InputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId)
      : CSingleTypeTerminal(outerUnknown, provisionalId, UAC_SUBTYPE_INPUT_TERMINAL) {}

  // Connector changes (selector 2, channel 0) refresh the pin.
  NTSTATUS STDMETHODCALLTYPE OnControlChange(ULONG controlSelector, ULONG channel, PULONG nodeId) override;

 protected:
  bool DescriptorFits(const UCHAR*, ULONG length) const override { return length >= 16; }
  ULONG ClockOffset() const override { return 7; }
  ULONG ControlsOffset() const override { return 14; }
  NTSTATUS BuildNodes(IAudioHal* model) override;
  PinCategory Category() const override;
  // Jacks count only for microphones, telephony terminals and connectors.
  bool TypeHasJacks() const override;
  // Only a terminal with a connector control describes jacks.
  bool DescribesJacks() const override { return HasConnector(); }
};

class CUac2OutputTerminal : public CUac2Terminal, protected COutputTypes {
 public:
  CUac2OutputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId)
      : CUac2Terminal(outerUnknown, provisionalId, UAC_SUBTYPE_OUTPUT_TERMINAL), COutputTypes(UAC2_ENTITY_TAG) {}

  // Connector (2) and terminal-type (8) changes: a new type is taken and
  // persisted; the output-type node and the pins refresh. No node id is
  // handed back: the model re-registers the wave filters instead.
  NTSTATUS STDMETHODCALLTYPE OnControlChange(ULONG controlSelector, ULONG channel, PULONG nodeId) override;

  // ---- ITerminal
  NTSTATUS STDMETHODCALLTYPE GetCategory(PinCategory* category) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeCount(PULONG count) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeList(PULONG categories) override;
  // The first type of that category: selected on the device (its answer
  // does not count), persisted, and the pins refreshed.
  NTSTATUS STDMETHODCALLTYPE SelectType(PinCategory category) override;
  NTSTATUS STDMETHODCALLTYPE GetJackCount(PULONG count, ULONG typeIndex) override;
  // The current type's jacks follow live presence; another type's are all
  // connected or all not, as "SetJackConnect" says.
  NTSTATUS STDMETHODCALLTYPE GetJackDescriptions(ULONG bufferBytes, JackRecord* jacks, ULONG typeIndex) override;

  USHORT GetTerminalTypeOf(ULONG typeIndex) const;

 protected:
  bool DescriptorFits(const UCHAR*, ULONG length) const override { return length >= 11; }
  ULONG ClockOffset() const override { return 8; }
  ULONG ControlsOffset() const override { return 9; }
  NTSTATUS BuildNodes(IAudioHal* model) override;

  NTSTATUS ReadTerminalTypes();
  NTSTATUS ReadJackInfo(ULONG typeIndex);
  NTSTATUS ReadCurrentType(PUSHORT terminalType);
  void SendSelect(USHORT terminalType);
};
