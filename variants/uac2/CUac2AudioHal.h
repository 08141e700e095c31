// The hardware model of a USB Audio Class 2.0 device. It owns the entities
// its AudioControl parser creates (clock sources, terminals, feature,
// mixer, extension and selector units) and the stream engines of its
// AudioStreaming interfaces (asynchronous render with explicit feedback,
// capture), both clocked by the clock entity their terminal names.
//
// Its status thread keeps a 6-byte interrupt transfer pending on the
// AudioControl interface's status endpoint (and, when the interface has
// one, a 512-byte transfer on its bulk IN endpoint, whose data is not
// read) and turns each interrupt data message into the named entity's
// OnControlChange: a change on a terminal's connector re-registers every
// wave subdevice, any change on another entity is announced with one
// AudioHalNotify carrying the node the entity names. A failed transfer is
// sent again and a message whose handling failed is handled again
// (CStatusListener.h says when); the thread ends on a stop or when the
// device is gone.
//
// The factory creates the model aggregated into the device object; it
// answers IUsbAudioHal, IAudioHal and IAdapterPowerManagement through the
// device object's IUnknown.
//
// Threads: parsing, start, stop and power run at PASSIVE_LEVEL; the status
// thread (priority 16) calls into the entities and their nodes. Stop must
// not be called from the status thread.
#pragma once

#include "driver/hal/CStatusListener.h"
#include "driver/hal/CUacAudioHal.h"
#include "variants/uac2/Uac2Entity.h"

class CUsbStreamEngine;

constexpr UCHAR UAC2_NO_STATUS_PIPE = 0xFF;
constexpr KPRIORITY UAC2_STATUS_THREAD_PRIORITY = 16;
constexpr ULONG UAC2_STATUS_URB_BYTES = 128;
constexpr ULONG UAC2_BULK_BUFFER_BYTES = 512;
// The longest pause "UpdateMiniportDelay" may set between removing a wave
// filter and registering it again: the pause holds the output-type request
// that caused it and the model's subdevice lock.
constexpr ULONG UAC2_MAX_UPDATE_MINIPORT_DELAY_MS = 2000;
constexpr ULONG UAC2_URB_TAG = MakeTag("URB ");

// The one device whose capability records the model knows.
constexpr USHORT UAC2_HEADSET_VENDOR = 0x0B05;
constexpr USHORT UAC2_HEADSET_PRODUCT = 0x17B1;

// The data-format subtype of Type I raw data: {00006B3E-0000-0010-8000-00AA00389B71}.
inline constexpr GUID KSDATAFORMAT_SUBTYPE_UAC2_RAW_DATA =
    DEFINE_GUID_VALUE(0x00006B3E, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);

class CUac2AudioHal : public CUacAudioHal {
 public:
  CUac2AudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);
  ~CUac2AudioHal() override;

  // Nonpaged ("UAC2"), one reference on the non-delegating unknown handed out.
  static NTSTATUS Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);

  // ---- IUsbAudioHal
  // Renames and re-registers every engine whose output type changed.
  NTSTATUS STDMETHODCALLTYPE RefreshSubdevices(ULONG unitId) override;
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                           ULONG bytesToEnd) override;
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioStreamInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                          PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                          ULONG bytesToEnd) override;
  // Not part of this model's table; nothing calls it.
  NTSTATUS STDMETHODCALLTYPE RestoreHardwareState() override { return STATUS_NOT_IMPLEMENTED; }
  using CUacAudioHal::UsbParseAudioControlInterface;
  using CUacAudioHal::UsbParseAudioStreamInterface;

  // ---- IAudioHal
  // The status thread when the AudioControl interface has an interrupt IN
  // pipe of 6-byte packets; a start while a thread runs is refused.
  NTSTATUS STDMETHODCALLTYPE Start() override;
  NTSTATUS STDMETHODCALLTYPE Stop() override;
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override;
  NTSTATUS STDMETHODCALLTYPE GetChannelCaps(ULONG direction, ULONG pinCategory, DeviceCapsRecord* caps) override;

  // ---- IAdapterPowerManagement
  void STDMETHODCALLTYPE PowerChangeState(POWER_STATE newState) override;

  // One interrupt data message: the entity's OnControlChange, then a
  // notification (any entity but a terminal) or the re-registration of the
  // wave subdevices (a terminal's connector).
  NTSTATUS OnStatusInterrupt(UCHAR entityId, UCHAR controlSelector, UCHAR channel);

  UCHAR GetStatusPipeIndex() const { return m_StatusPipeIndex; }
  UCHAR GetBulkPipeIndex() const { return m_BulkPipeIndex; }
  PKTHREAD GetStatusThread() const { return m_StatusThread; }

  // ---- Parser steps (Uac2Parse.cpp)
  // The formats of one FORMAT_TYPE descriptor at every rate of the clock.
  NTSTATUS AddStreamFormats(CUsbStreamEngine* engine, ULONG clockNodeId, UCHAR formatType, ULONG formats,
                            UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format);
  // The software nodes of a stream: stereo-mix pins of a capture engine's
  // sum nodes, then those of the Audio Class models.
  NTSTATUS FixUpStreamGraph(CUsbStreamEngine* engine);
  void SetStereoMixPins(CUsbStreamEngine* engine);

 protected:
  NTSTATUS CreateEntity(const UCHAR* descriptor);
  // The engine of an AudioStreaming interface, from its first AS_GENERAL:
  // render for an input terminal, capture for an output terminal, clocked
  // by the terminal's clock source.
  NTSTATUS CreateEngine(UCHAR interfaceNumber, UCHAR terminalLink, CUsbStreamEngine** engine, ULONG* clockNodeId);
  NTSTATUS ParseStreamingInterface(const UCHAR* interfaceDescriptor, const UCHAR* end, const UCHAR** stop);

  // ---- Status thread
  static void StatusThreadRoutine(PVOID context);
  void StatusThreadMain();
  // OnStatusInterrupt for a message whose handling failed before.
  static NTSTATUS HandleStatusMessage(PVOID context, const StatusChange& message);
  // Ends the thread (when one runs) and returns to the no-thread state.
  void StopStatusThread();

  PUSBD_INTERFACE_INFORMATION m_PipeInformation = nullptr;
  UCHAR m_StatusPipeIndex = UAC2_NO_STATUS_PIPE;
  UCHAR m_BulkPipeIndex = UAC2_NO_STATUS_PIPE;
  PKTHREAD m_StatusThread = nullptr;  // referenced while a thread runs
  KEVENT m_StopEvent;
  KEVENT m_ThreadEndedEvent;
};
