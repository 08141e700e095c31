// What the Audio Class 1.0 input and output terminals share: the terminal
// type and the pin categories it stands for, the device's jack descriptions
// (vendor request 0x81, wValue 0x02FF: a count byte and 8-byte entries) and
// its live jack presence mask (0x81, wValue 0x0200).
#pragma once

#include "topology/CUacUnit.h"

constexpr USHORT UAC_TERMINAL_USB_STREAMING = 0x0101;

// Pin categories by wTerminalType: as an input terminal, as an output
// terminal when it is built, and as an output terminal when the device
// reports a change of type (a USB-streaming type then counts as speakers).
PinCategory InputTerminalCategory(USHORT terminalType);
PinCategory OutputTerminalCategory(USHORT terminalType);
PinCategory OutputTerminalChangeCategory(USHORT terminalType);
// The category under which an input terminal's pin asks for its stream
// capabilities.
PinCategory InputTerminalCapsCategory(USHORT terminalType);

// A device jack entry as a JackRecord: channel mask, then a configuration
// word: presence bits 8-11 (non-zero: always connected), colour index
// 12-15, connection type 16-23, geometric 24-27 and general location 28-31.
JackRecord DecodeJackEntry(ULONG channelMask, ULONG configuration);

// The connected-channel mask a terminal last had from its device. A stall,
// timeout or short reply says nothing about the jacks: they keep the last
// mask the device gave. Before the first answer every channel counts as
// connected, so that a device that cannot say still streams.
class CKnownPresence {
 public:
  // The mask to go by after a presence read that returned `status` (and,
  // when it succeeded, `mask`).
  ULONG Follow(NTSTATUS status, ULONG mask) {
    if (NT_SUCCESS(status)) {
      m_Mask = mask;
      m_Known = true;
    }
    return m_Known ? m_Mask : ~ULONG(0);
  }

 private:
  ULONG m_Mask = 0;
  bool m_Known = false;
};

class CUac1Terminal : public CUacUnit, public ITerminal {
 public:
  CUac1Terminal(PUNKNOWN outerUnknown, ULONG provisionalId, UCHAR subtype);

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // Only terminal nodes keep capabilities.
  NTSTATUS STDMETHODCALLTYPE GetDeviceCaps(DeviceCapsRecord*) override { return STATUS_NOT_IMPLEMENTED; }

  USHORT TerminalType() const { return static_cast<USHORT>(m_Descriptor[4] | m_Descriptor[5] << 8); }

 protected:
  // The terminal's jack list. A device that does not answer, or lists no
  // jacks, leaves the terminal without jacks (and success). Only entries the
  // device really sent are taken.
  NTSTATUS ReadJackList(JackRecord** jacks, PULONG count);
  // The presence mask; a failed or short reply is a failure.
  NTSTATUS ReadPresenceMask(PULONG mask);
  // Copies `count` records to `out` with IsConnected from the live presence
  // (kept in `stored` too); a failed presence request leaves the last known
  // mask in force. Fails only when the device is gone.
  NTSTATUS CopyJacksWithPresence(JackRecord* stored, ULONG count, JackRecord* out);

  // The start of every terminal's node builder: the terminal's id, its
  // type code, and its source (an output terminal's bSourceID; an input
  // terminal has none).
  NTSTATUS SetTerminalIdentity();
  // Binds a new pin node to this terminal with the stream capabilities of
  // `direction` and `capsCategory`, and adds it to the model and the unit.
  // The builder's reference on the node goes either way.
  template <typename TPin>
  NTSTATUS BindPinNode(IAudioHal* owner, TPin* node, ULONG direction, PinCategory capsCategory) {
    node->NonDelegatingAddRef();
    DeviceCapsRecord caps{};
    owner->GetChannelCaps(direction, capsCategory, &caps);
    NTSTATUS status = node->InitFromUnit(static_cast<IUacUnit*>(this), caps);
    if (NT_SUCCESS(status)) status = AddBuiltNode(owner, node);
    node->NonDelegatingRelease();
    return status;
  }

  // Settings of the device (4 bytes); `value` keeps its default when absent.
  void ReadSetting(PCWSTR name, PULONG value);
  NTSTATUS WriteSetting(PCWSTR name, ULONG value);

 private:
  CKnownPresence m_Presence;
};
