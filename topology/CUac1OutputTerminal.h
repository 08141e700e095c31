// The Audio Class 1.0 output terminal. The device may offer several
// selectable terminal types on it (speakers and headphones on one jack):
// the terminal then has one pin node per type plus an output-type node,
// switches the device between types with a vendor request (0x81 OUT,
// wValue 0x0800; the list comes from 0x86 IN) and persists the chosen
// category as "UACUnit<id>". Each type has its own jacks.
#pragma once

#include "topology/COutputTypes.h"
#include "topology/CUac1Terminal.h"

class CUac1OutputTerminal : public CUac1Terminal, protected COutputTypes {
 public:
  CUac1OutputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId);

  // The device reports its current type: a change is persisted, and the
  // output-type node and the pins are refreshed.
  NTSTATUS STDMETHODCALLTYPE OnControlChange(ULONG controlSelector, ULONG channel, PULONG nodeId) override;

  // ---- ITerminal
  NTSTATUS STDMETHODCALLTYPE GetCategory(PinCategory* category) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeCount(PULONG count) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeList(PULONG categories) override;
  // Switches the device; the category changes (and persists) only when the
  // device took the request.
  NTSTATUS STDMETHODCALLTYPE SelectType(PinCategory category) override;
  NTSTATUS STDMETHODCALLTYPE GetJackCount(PULONG count, ULONG typeIndex) override;
  // The selected type's jacks follow live presence; another type's jacks
  // are all reported connected or all not, as "SetJackConnect" says.
  NTSTATUS STDMETHODCALLTYPE GetJackDescriptions(ULONG bufferBytes, JackRecord* jacks, ULONG typeIndex) override;

 protected:
  bool DescriptorFits(const UCHAR*, ULONG length) const override { return length >= 8; }
  NTSTATUS BuildNodes(IAudioHal* owner) override;
  // One pin node per type from id `nextId` on, then with several types the
  // output-type node (left out without memory for it). A pin that cannot be
  // allocated ends the pins there with success and no output-type node;
  // *allPins tells.
  NTSTATUS AddTypeNodes(IAudioHal* owner, ULONG nextId, ULONG tag, bool* allPins);

  NTSTATUS ReadTerminalTypes();
  NTSTATUS ReadJackInfo(ULONG typeIndex);
  // The device's current terminal type.
  NTSTATUS ReadCurrentType(PUSHORT terminalType);
  NTSTATUS SendSelect(USHORT terminalType);
  bool IsStreaming() const { return TerminalType() == UAC_TERMINAL_USB_STREAMING; }
  // RefreshFromDevice on the unit's nodes of one type code (only the first
  // when `firstOnly`); the number refreshed.
  ULONG RefreshNodes(ULONG nodeType, bool firstOnly);
};
