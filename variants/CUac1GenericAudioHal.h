// The hardware model of an Audio Class 1.0 device that no more specific
// model claims. It shares the product model's descriptor walks and differs
// where a generic device needs it to:
//
// - configuration first identifies the chip (a vendor string descriptor, a
//   few single-byte vendor reads to recipient "other", the USB IDs) to fill
//   the capability record, and refuses the few devices it knows to be
//   unusable;
// - feature units are plain Audio Class 1.0 ones; a speaker output
//   terminal 16 of one vendor is announced as headphones, and one product's
//   layout must have its two output terminals;
// - render engines are plain Audio Class 1.0 pipes, and every format is
//   announced with the device's own channel count and a speaker layout
//   from the channel count, at every rate the descriptor names.
#pragma once

#include "driver/hal/C7719AudioHal.h"
#include "variants/ChipString.h"

// The speaker layout announced for a channel count.
DWORD GenericChannelMask(ULONG channels, bool capture);

class CUac1GenericAudioHal : public C7719AudioHal {
 public:
  CUac1GenericAudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);

  static NTSTATUS Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);

  // ---- IUsbAudioHal
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                           ULONG bytesToEnd) override;
  using C7719AudioHal::UsbParseAudioControlInterface;

  // ---- IAudioHal
  NTSTATUS STDMETHODCALLTYPE Start() override { return CUac1AudioHal::Start(); }
  NTSTATUS STDMETHODCALLTYPE Stop() override { return CUac1AudioHal::Stop(); }
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override;

  const DeviceCapsRecord& Caps() const { return m_Caps; }

 protected:
  CUacUnit* NewFeatureUnit(UCHAR unitId, ULONG provisionalId) override;
  NTSTATUS CreateUnit(const UCHAR* descriptor) override;
  CUsbStreamEngine* NewRenderEngine(UCHAR interfaceNumber, ULONG terminalNodeId) override;
  // Every format a stream can open, with the device's own channels.
  bool CarriesFormat(bool render, ULONG channels, ULONG subframeBytes) const override;
  WORD AnnouncedChannels(bool, ULONG channels) const override { return static_cast<WORD>(channels); }
  DWORD AnnouncedChannelMask(bool render, ULONG channels) const override {
    return GenericChannelMask(channels, !render);
  }

  // Fills the capability record from what the chip tells; a status that
  // refuses the device otherwise.
  NTSTATUS ProbeChip(IUsbDevice* usb, PURB urb, PUCHAR buffer);
  // One byte with a vendor request to recipient "other" (IN).
  NTSTATUS ReadOtherRegister(IUsbDevice* usb, PURB urb, UCHAR request, USHORT value, PUCHAR byte, USHORT index = 0);
  // The two output terminals one product's layout must have.
  NTSTATUS CheckLayout();
  // On one vendor's devices a speaker output terminal `terminalId` is a
  // headphone jack: its stored descriptor says so before its unit is made.
  void AnnounceHeadphoneTerminal(const UCHAR* descriptor, UCHAR terminalId);
};
