// The hardware model of a USB Audio Class 1.0 device. Besides what
// CUacAudioHal keeps (units, nodes, stream engines, the callback object and
// the graph operations of the parsers) it runs the status thread: a system
// thread that keeps one interrupt transfer pending on the AudioControl
// interface's status endpoint and turns each status word into a re-read of
// the named unit and a control-change notification per node. A failed
// transfer is sent again and a word whose re-read failed is handled again
// (CStatusListener.h says when); the thread ends on a stop or when the
// device is gone. It also
// re-registers wave subdevices whose output type changed, answers the
// capability records and follows adapter power changes.
//
// The model is only ever created as one of its variants, which supply the
// two descriptor parsers: the product's (C7719AudioHal.h) and the generic
// Audio Class 1.0 model (variants/CUac1GenericAudioHal.h).
//
// Threads: parsing, start, stop and power run at PASSIVE_LEVEL on the start
// and power paths; the status thread at priority 24 calls into units and
// nodes concurrently with property requests.
#pragma once

#include "driver/hal/CStatusListener.h"
#include "driver/hal/CUacAudioHal.h"

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

class CUac1AudioHal : public CUacAudioHal {
 public:
  CUac1AudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);
  ~CUac1AudioHal() override;

  // ---- IUsbAudioHal (the variants supply the two parsers)
  NTSTATUS STDMETHODCALLTYPE RefreshSubdevices(ULONG unitId) override;
  NTSTATUS STDMETHODCALLTYPE RestoreHardwareState() override { return STATUS_SUCCESS; }

  // ---- IAudioHal
  NTSTATUS STDMETHODCALLTYPE Start() override;
  NTSTATUS STDMETHODCALLTYPE Stop() override;
  NTSTATUS STDMETHODCALLTYPE GetChannelCaps(ULONG direction, ULONG pinCategory, DeviceCapsRecord* caps) override;

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
};
