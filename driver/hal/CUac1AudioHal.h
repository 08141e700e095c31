// The Audio Class 1.0 hardware model: the generic model of a device that no
// more specific model claims, and the base of every Audio Class 1.0 model
// (the product's, the chips'). Besides what CUacAudioHal keeps (units,
// nodes, stream engines, the callback object and the graph operations of
// the parsers) it runs the status thread: a system thread that keeps one
// interrupt transfer pending on the AudioControl interface's status
// endpoint and turns each status word into a re-read of the named unit and
// a control-change notification per node. A failed transfer is sent again
// and a word whose re-read failed is handled again (CStatusListener.h says
// when); the thread ends on a stop or when the device is gone. It also
// re-registers wave subdevices whose output type changed, answers the
// capability records and follows adapter power changes.
//
// Its own configuration and parsers are the generic model's:
//
// - configuration identifies the chip (a vendor string descriptor, a few
//   single-byte vendor reads to recipient "other", the USB IDs) to fill the
//   capability record, refuses the few devices it knows to be unusable,
//   then parses the device;
// - the AudioControl parser makes one plain Audio Class 1.0 unit per
//   terminal or unit descriptor and connects them; a speaker output
//   terminal 16 of one vendor is announced as headphones, and one product's
//   layout must have its two output terminals;
// - the AudioStreaming parser makes one engine per interface and announces
//   every format with the device's own channel count, a speaker layout from
//   that count, and every rate the descriptor names.
//
// A derived model replaces these where it differs; the descriptor walks
// they all share (the AudioControl walk, one AudioStreaming interface, one
// FORMAT_TYPE's rates) are the protected helpers below, with the unit,
// engine and format choices as the hooks a model overrides.
//
// Descriptors are checked before any field is read: a descriptor shorter
// than the fields read, or longer than what is left of the configuration,
// ends the parse with STATUS_UNSUCCESSFUL. Formats no stream could carry
// (no channels, no bytes per sample or more than four, a rate of 0) are
// left out.
//
// Threads: parsing, start, stop and power run at PASSIVE_LEVEL on the start
// and power paths; the status thread at priority 24 calls into units and
// nodes concurrently with property requests.
#pragma once

#include "driver/hal/CStatusListener.h"
#include "driver/hal/CUacAudioHal.h"

class CUacUnit;
class CUsbStreamEngine;

constexpr ULONG UAC1_HAL_TAG = MakeTag("UAC1");
constexpr ULONG UAC1_HAL_URB_TAG = MakeTag("URB ");
constexpr ULONG UAC1_HAL_NAME_TAG = MakeTag("Temp");

constexpr UCHAR UAC1_NO_STATUS_PIPE = 0xFF;
constexpr KPRIORITY UAC1_STATUS_THREAD_PRIORITY = 24;
// A status word: originator kind in the low nibble of byte 0 (0: the
// AudioControl interface), the unit or terminal id in byte 1.
constexpr ULONG UAC1_STATUS_WORD_BYTES = 2;
constexpr ULONG UAC1_STATUS_URB_BYTES = 128;

// The one device whose capability records differ.
constexpr USHORT UAC1_SPECIAL_CAPS_VENDOR = 0x6B3E;
constexpr USHORT UAC1_SPECIAL_CAPS_PRODUCT = 0x4E18;
constexpr ULONG UAC1_SPECIAL_CAPS_MIC_BIT = 0x800000;

// The rates a continuous range is offered at.
inline constexpr ULONG StandardSampleRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};
// The index of the first standard rate not below `rate` (the last one for a
// rate above them all).
ULONG StandardRateIndex(ULONG rate);
constexpr ULONG MAXIMUM_SUBFRAME_BYTES = 4;

// Type III formats are offered as IEC 61937 streams when the streaming
// interface's wFormatTag has one of these bits.
constexpr USHORT TYPE_III_FORMAT_TAG_BITS = 0x2001;
constexpr WORD WAVE_FORMAT_DOLBY_AC3_SPDIF = 0x0092;
constexpr WORD WAVE_FORMAT_WMA_SPDIF = 0x0164;

// The speaker layout the generic model announces for a channel count.
DWORD GenericChannelMask(ULONG channels, bool capture);

class CUac1AudioHal : public CUacAudioHal {
 public:
  CUac1AudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);
  ~CUac1AudioHal() override;

  // The generic model's factory: nonpaged ("UAC1"), one reference on the
  // non-delegating unknown handed out.
  static NTSTATUS Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);

  // ---- IUsbAudioHal
  NTSTATUS STDMETHODCALLTYPE RefreshSubdevices(ULONG unitId) override;
  NTSTATUS STDMETHODCALLTYPE RestoreHardwareState() override { return STATUS_SUCCESS; }
  // The walk, then the layout check of the one product that needs it.
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                           ULONG bytesToEnd) override;
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioStreamInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                          PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                          ULONG bytesToEnd) override;
  using CUacAudioHal::UsbParseAudioControlInterface;
  using CUacAudioHal::UsbParseAudioStreamInterface;

  // ---- IAudioHal
  NTSTATUS STDMETHODCALLTYPE Start() override;
  NTSTATUS STDMETHODCALLTYPE Stop() override;
  NTSTATUS STDMETHODCALLTYPE GetChannelCaps(ULONG direction, ULONG pinCategory, DeviceCapsRecord* caps) override;
  // The chip probe fills the capability record (or refuses the device),
  // then both parses.
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override;

  const DeviceCapsRecord& Caps() const { return m_Caps; }

  // ---- IAdapterPowerManagement
  void STDMETHODCALLTYPE PowerChangeState(POWER_STATE newState) override;

  // ---- Status words
  // Re-reads what the unit shows: a terminal's subdevices follow its state,
  // any other unit's nodes re-read their values and are announced. A node
  // whose re-read failed keeps its value and fails the call.
  NTSTATUS HandleUnitStatus(ULONG unitId);

  UCHAR GetStatusPipeIndex() const { return m_StatusPipeIndex; }
  PKTHREAD GetStatusThread() const { return m_StatusThread; }

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

  // ---- Configuration steps the models share
  // Both parses, the AudioStreaming one only after the AudioControl one
  // succeeded; a failure is noted as the refusal.
  NTSTATUS ParseDevice();
  // The configuration of a model whose capability record is its own
  // (SetCapabilityRecord): the USB services, the record, both parses, then
  // the hardware state.
  NTSTATUS ConfigureWithOwnRecord();
  virtual void SetCapabilityRecord() {}

  // ---- The generic chip probe
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

  // ---- AudioControl walk
  // The interface check, one CreateUnit per terminal or unit descriptor,
  // then the connection of the units. Processing and extension units (and
  // anything else) refuse the device.
  NTSTATUS ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd);
  // The unit for a terminal or unit descriptor (whose subtype the walk has
  // checked), initialised and in the unit list. The generic model first
  // announces the vendor's headphone terminal; a model without that rule
  // calls AddUnitFor alone.
  virtual NTSTATUS CreateUnit(const UCHAR* descriptor);
  NTSTATUS AddUnitFor(const UCHAR* descriptor);
  // The unit object: the Audio Class 1.0 classes, the feature unit by
  // NewFeatureUnit; allocated with m_UnitTag.
  virtual CUacUnit* NewUnit(const UCHAR* descriptor, ULONG provisionalId);
  virtual CUacUnit* NewFeatureUnit(UCHAR unitId, ULONG provisionalId);

  // ---- AudioStreaming walk
  // The interface check, then ParseStreamingInterface on every
  // AudioStreaming interface and the output-type wiring.
  NTSTATUS ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                               PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd);
  // One AudioStreaming interface, from its first interface descriptor up to
  // `*stop`, where the walk ended: its engine, one AddFormatType per
  // FORMAT_TYPE, the graph fix-up and the work buffers.
  NTSTATUS ParseStreamingInterface(const UCHAR* interfaceDescriptor, const UCHAR* end, const UCHAR** stop);
  NTSTATUS CreateEngine(UCHAR interfaceNumber, UCHAR terminalLink, CUsbStreamEngine** engine);
  // The render pipe class of the model (a CUac1Render here).
  virtual CUsbStreamEngine* NewRenderEngine(UCHAR interfaceNumber, ULONG terminalNodeId);
  // The formats of one FORMAT_TYPE descriptor (whose length the walk has
  // checked) for the alternate setting, whose data endpoint is `endpoint`
  // (null: it has none). A format type other than I and III is refused.
  // Here: every rate named; a Type III whose wFormatTag names no IEC 61937
  // stream offers nothing and fails.
  virtual NTSTATUS AddFormatType(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                                 UCHAR alternateSetting, const USB_ENDPOINT_DESCRIPTOR* endpoint);
  // Which FORMAT_TYPE descriptors give formats, and the channel count and
  // speaker layout those formats announce.
  virtual bool CarriesFormat(bool render, ULONG channels, ULONG subframeBytes) const;
  virtual WORD AnnouncedChannels(bool render, ULONG channels) const;
  virtual DWORD AnnouncedChannelMask(bool render, ULONG channels) const;

  // What AddFormatTemplate did: whether CarriesFormat took the descriptor,
  // the rates it offered (a usable rate the model takes) and the formats it
  // added.
  struct FormatRates {
    bool carried = false;
    ULONG offered = 0;
    ULONG added = 0;
  };
  // The steps every AddFormatType shares: the kind check, the template of
  // the data model (CarriesFormat false: nothing, success), and
  // AddFormatRates with it, for capture below four channels a second time
  // without a layout. Rates below `lowestRate` are not offered; rates above
  // `highestRate` are offered but not added.
  NTSTATUS AddFormatTemplate(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                             UCHAR alternateSetting, ULONG lowestRate, ULONG highestRate, FormatRates* rates);
  // One format record per rate of the descriptor into the engine.
  NTSTATUS AddFormatRates(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                          UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format, ULONG lowestRate,
                          ULONG highestRate, FormatRates* rates);

  // Runs after RefreshSubdevices re-registered an engine; `unitId` names
  // the unit whose output type changed.
  virtual void AfterSubdeviceRefresh(ULONG /*unitId*/) {}

  // ---- Status thread
  static void StatusThreadStart(PVOID context);
  void StatusThreadMain();
  // HandleUnitStatus for a word whose handling failed before.
  static NTSTATUS HandleUnitMessage(PVOID context, const StatusChange& message);
  // Ends the thread (when one runs) and returns to the no-thread state.
  void StopStatusThread();

  PUSBD_INTERFACE_INFORMATION m_PipeInformation = nullptr;
  UCHAR m_StatusPipeIndex = UAC1_NO_STATUS_PIPE;
  PKTHREAD m_StatusThread = nullptr;  // referenced while a thread runs
  KEVENT m_StopEvent;
  KEVENT m_ExitedEvent;
  // The pool tag of the units and engines the parsers create.
  ULONG m_UnitTag = UAC1_HAL_TAG;
};
