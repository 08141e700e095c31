// The product's hardware models. The device object creates exactly one,
// aggregated with itself: CK784AudioHal for the one fixed vendor/product
// pair, C7719AudioHal for every other device. Both are Audio Class 1.0
// models that replace the generic model's configuration and both parsers
// with the product's own, on the shared descriptor walks:
//
// - the AudioControl parser makes one unit object per terminal or unit
//   descriptor (every feature unit the product's own), lets each build its
//   control nodes, and connects the units along their source ids;
//   processing and extension units (and anything else) refuse the device;
// - the AudioStreaming parser makes one stream engine per AudioStreaming
//   interface (render for a link to an input terminal, capture for one to an
//   output terminal), gives it one format record per rate with the alternate
//   setting that carries it, attaches the nodes of its path, adds software
//   nodes where the path has none, and wires the output-type switches.
//
// The product's format rules: render takes only stereo, announced as 7.1,
// and no rate below 44100; capture takes one to eight channels; a rate whose
// packets the alternate setting's data endpoint cannot carry is left out;
// a FORMAT_TYPE that offers no rate at all refuses the device.
#pragma once

#include "driver/hal/CUac1AudioHal.h"
#include "streaming/CUsbStreamEngine.h"

constexpr ULONG C7719_HAL_TAG = MakeTag("7719");

// The highest rate at which each packet of a data endpoint carries its share
// of a millisecond's frames (`frameBytes` each), rounded up as the render
// pipe lays packets out; 0 when not even one frame fits.
constexpr ULONG UsbHighestCarriedRate(USHORT maxPacketSize, UCHAR bInterval, bool highSpeed, ULONG frameBytes) {
  return frameBytes ? 1000 * UsbPacketsPerMs(bInterval, highSpeed) * (UsbEndpointPacketBytes(maxPacketSize) / frameBytes)
                    : 0;
}

// Render engines take only stereo formats and announce them as eight
// channels, and skip rates below this one.
constexpr ULONG RENDER_DEVICE_CHANNELS = 2;
constexpr WORD RENDER_ANNOUNCED_CHANNELS = 8;
constexpr DWORD RENDER_CHANNEL_MASK = 0x63F;
constexpr ULONG RENDER_MINIMUM_RATE = 44100;
constexpr ULONG CAPTURE_MAXIMUM_CHANNELS = 8;

class C7719AudioHal : public CUac1AudioHal {
 public:
  C7719AudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId)
      : CUac1AudioHal(outerUnknown, vendorId, productId) {}

  // The factory the device object calls: nonpaged, one reference on the
  // non-delegating unknown handed out.
  static NTSTATUS Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);

  // ---- IUsbAudioHal
  // The walk alone: no vendor's terminal rewrite, no layout check.
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                           ULONG bytesToEnd) override;
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioStreamInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                          PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                          ULONG bytesToEnd) override;
  using CUac1AudioHal::UsbParseAudioControlInterface;
  using CUac1AudioHal::UsbParseAudioStreamInterface;

  // ---- IAudioHal
  NTSTATUS STDMETHODCALLTYPE Start() override;
  NTSTATUS STDMETHODCALLTYPE Stop() override;
  // The product's capability record, both parses, the hardware state.
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override;

  // Adds one format record per rate of a FORMAT_TYPE descriptor (whose
  // length the parser has checked) to the engine. Render formats below
  // 44100 and rates of 0 are left out; STATUS_UNSUCCESSFUL when that leaves
  // no format.
  NTSTATUS AddStreamFormats(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                            UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format);

 protected:
  // Every feature unit a C7719FeatureUnit.
  CUacUnit* NewFeatureUnit(UCHAR unitId, ULONG provisionalId) override;
  NTSTATUS CreateUnit(const UCHAR* descriptor) override { return AddUnitFor(descriptor); }
  void SetCapabilityRecord() override;
  // Render streams are CTQ4187Render pipes.
  CUsbStreamEngine* NewRenderEngine(UCHAR interfaceNumber, ULONG terminalNodeId) override;
  bool CarriesFormat(bool render, ULONG channels, ULONG subframeBytes) const override;
  WORD AnnouncedChannels(bool render, ULONG channels) const override;
  DWORD AnnouncedChannelMask(bool render, ULONG channels) const override;
  // The product's rates: the render floor, the endpoint's reach, and a
  // descriptor that offers none refuses the device.
  NTSTATUS AddFormatType(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag, UCHAR alternateSetting,
                         const USB_ENDPOINT_DESCRIPTOR* endpoint) override;
  // The highest rate of a FORMAT_TYPE's frames that an alternate setting's
  // data endpoint streams: 0 unless it is isochronous data in the engine's
  // direction, else UsbHighestCarriedRate.
  ULONG HighestCarriedRate(CUsbStreamEngine* engine, const UCHAR* formatType, const USB_ENDPOINT_DESCRIPTOR* endpoint);
};
