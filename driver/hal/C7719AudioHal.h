// The product's hardware models. The device object creates exactly one,
// aggregated with itself: CK784AudioHal for the one fixed vendor/product
// pair, C7719AudioHal for every other device. Both are Audio Class 1.0
// models with the product's descriptor parsers:
//
// - the AudioControl parser makes one unit object per terminal or unit
//   descriptor (the feature-unit class is the variant's choice), lets each
//   build its control nodes, and connects the units along their source ids;
//   processing and extension units (and anything else) refuse the device;
// - the AudioStreaming parser makes one stream engine per AudioStreaming
//   interface (render for a link to an input terminal, capture for one to an
//   output terminal), gives it one format record per rate with the alternate
//   setting that carries it, attaches the nodes of its path, adds software
//   nodes where the path has none, and wires the output-type switches.
//
// Descriptors are checked before any field is read: a descriptor shorter
// than the fields read, or longer than what is left of the configuration,
// ends the parse with STATUS_UNSUCCESSFUL. Formats a stream could not carry
// (no bytes per sample, more than four, a rate of 0, a capture channel
// count of 0 or above 8, a rate whose packets the alternate setting's data
// endpoint cannot carry) are left out.
#pragma once

#include "driver/hal/CUac1AudioHal.h"
#include "streaming/CUsbStreamEngine.h"

class CUacUnit;

constexpr ULONG C7719_HAL_TAG = MakeTag("7719");
constexpr ULONG K784_HAL_TAG = MakeTag("K784");

// The rates a continuous range is offered at.
inline constexpr ULONG StandardSampleRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};
// The index of the first standard rate not below `rate` (the last one for a
// rate above them all).
ULONG StandardRateIndex(ULONG rate);

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
constexpr ULONG MAXIMUM_SUBFRAME_BYTES = 4;

// Type III formats are offered as IEC 61937 streams when the streaming
// interface's wFormatTag has one of these bits.
constexpr USHORT TYPE_III_FORMAT_TAG_BITS = 0x2001;
constexpr WORD WAVE_FORMAT_DOLBY_AC3_SPDIF = 0x0092;
constexpr WORD WAVE_FORMAT_WMA_SPDIF = 0x0164;

class C7719AudioHal : public CUac1AudioHal {
 public:
  C7719AudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId)
      : CUac1AudioHal(outerUnknown, vendorId, productId) {}

  // The factory the device object calls: nonpaged, one reference on the
  // non-delegating unknown handed out.
  static NTSTATUS Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);

  // ---- IUsbAudioHal
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
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override;

  // Adds one format record per rate of a FORMAT_TYPE descriptor (whose
  // length the parser has checked) to the engine. Render formats below
  // m_RenderMinimumRate and rates of 0 are left out; STATUS_UNSUCCESSFUL
  // when that leaves no format.
  NTSTATUS AddStreamFormats(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                            UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format);

 protected:
  // Nonpaged, one reference on the non-delegating unknown handed out.
  template <typename TModel>
  static NTSTATUS CreateModel(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId,
                              ULONG tag) {
    PAGED_CODE();
    if (!innerUnknown) return STATUS_INVALID_PARAMETER;
    auto* hal = new (NonPagedPool, tag) TModel(outerUnknown, vendorId, productId);
    if (!hal) return STATUS_INSUFFICIENT_RESOURCES;
    hal->NonDelegatingAddRef();
    *innerUnknown = hal->GetInnerUnknown();
    return STATUS_SUCCESS;
  }

  // The walk over the AudioControl descriptors and the connection of the
  // units, shared by both variants.
  NTSTATUS ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd);
  // The feature-unit class of the variant: every one a C7719FeatureUnit.
  virtual CUacUnit* NewFeatureUnit(UCHAR unitId, ULONG provisionalId);
  // The unit object for a terminal or unit descriptor (whose subtype the
  // walk has checked): the Audio Class 1.0 classes, the feature unit the
  // variant's.
  virtual CUacUnit* NewUnit(const UCHAR* descriptor, ULONG provisionalId);
  virtual NTSTATUS CreateUnit(const UCHAR* descriptor);
  // The capability record the configuration reports.
  virtual void SetCapabilityRecord();
  // One AudioStreaming interface, from its first interface descriptor up to
  // `*stop`, where the walk ended.
  NTSTATUS ParseStreamingInterface(const UCHAR* interfaceDescriptor, const UCHAR* end, const UCHAR** stop);
  NTSTATUS CreateEngine(UCHAR interfaceNumber, UCHAR terminalLink, CUsbStreamEngine** engine);
  // The render pipe class of the model.
  virtual CUsbStreamEngine* NewRenderEngine(UCHAR interfaceNumber, ULONG terminalNodeId);
  // Which FORMAT_TYPE descriptors give formats, and the channel count and
  // speaker layout those formats announce.
  virtual bool CarriesFormat(bool render, ULONG channels, ULONG subframeBytes) const;
  virtual WORD AnnouncedChannels(bool render, ULONG channels) const;
  virtual DWORD AnnouncedChannelMask(bool render, ULONG channels) const;
  // The formats of one FORMAT_TYPE descriptor at the rates the alternate
  // setting's data endpoint (null: it has none) carries. A format type other
  // than I and III is refused first.
  NTSTATUS AddFormatType(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag, UCHAR alternateSetting,
                         const USB_ENDPOINT_DESCRIPTOR* endpoint);
  // AddStreamFormats without the rates above `highestRate`; a descriptor
  // whose rates are all above it adds nothing and succeeds.
  NTSTATUS AddStreamFormats(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                            UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format, ULONG highestRate);
  // The highest rate of a FORMAT_TYPE's frames that an alternate setting's
  // data endpoint streams: 0 unless it is isochronous data in the engine's
  // direction, else UsbHighestCarriedRate.
  ULONG HighestCarriedRate(CUsbStreamEngine* engine, const UCHAR* formatType, const USB_ENDPOINT_DESCRIPTOR* endpoint);

  ULONG m_RenderMinimumRate = RENDER_MINIMUM_RATE;
};
