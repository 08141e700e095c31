// The hardware model of a USB Audio Class 1.0 device. Besides what CAudioHal
// keeps (nodes, stream engines, the callback object) it owns the unit
// objects the AudioControl parser creates, and runs the status thread: a
// system thread that keeps one interrupt transfer pending on the
// AudioControl interface's status endpoint and turns each status word into
// a re-read of the named unit and a control-change notification per node.
// It also re-registers wave subdevices whose output type changed, answers
// the capability records, follows adapter power changes, and holds the
// graph operations the AudioStreaming parser uses to attach nodes to
// engines.
//
// The model is only ever created as one of its variants, which supply the
// two descriptor parsers: the product's (C7719AudioHal.h) and the generic
// Audio Class 1.0 model (variants/CUac1GenericAudioHal.h).
//
// Threads: parsing, start, stop and power run at PASSIVE_LEVEL on the start
// and power paths; the status thread at priority 24 calls into units and
// nodes concurrently with property requests. Registration changes of wave
// subdevices (status thread, output-type changes, power) are serialised by
// the model's subdevice mutex, which is recursive for its holder.
#pragma once

#include "driver/common/CKernelMutex.h"
#include "driver/hal/CAudioHal.h"

class CUsbStreamEngine;
class CUacUnit;

constexpr ULONG UAC1_HAL_TAG = MakeTag("UAC1");
constexpr ULONG UAC1_HAL_URB_TAG = MakeTag("URB ");
constexpr ULONG UAC1_HAL_NAME_TAG = MakeTag("Temp");

constexpr UCHAR UAC1_NO_STATUS_PIPE = 0xFF;
constexpr KPRIORITY UAC1_STATUS_THREAD_PRIORITY = 24;
// A status word: originator kind in the low nibble of byte 0 (0: the
// AudioControl interface), the unit or terminal id in byte 1.
constexpr ULONG UAC1_STATUS_WORD_BYTES = 2;
constexpr ULONG UAC1_STATUS_URB_BYTES = 128;

// The graph walks queue node ids in a ring of this size.
constexpr ULONG UAC1_WALK_RING = 20;
// Render engines consider at most this many output pins.
constexpr ULONG UAC1_MAX_OUTPUT_PINS = 10;
// Units with more sources than this are not connected.
constexpr ULONG UAC1_MAX_CONNECTED_SOURCES = 9;

// The one device whose capability records differ.
constexpr USHORT UAC1_SPECIAL_CAPS_VENDOR = 0x6B3E;
constexpr USHORT UAC1_SPECIAL_CAPS_PRODUCT = 0x4E18;
constexpr ULONG UAC1_SPECIAL_CAPS_MIC_BIT = 0x800000;

class CUac1AudioHal : public IUsbAudioHal, public CAudioHal {
 public:
  CUac1AudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);
  ~CUac1AudioHal() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IUsbAudioHal (the variants supply the two parsers)
  NTSTATUS STDMETHODCALLTYPE RefreshSubdevices(ULONG unitId) override;
  NTSTATUS STDMETHODCALLTYPE GetCallbackObject(PCALLBACK_OBJECT* callbackObject) override;
  NTSTATUS STDMETHODCALLTYPE RestoreHardwareState() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE GetRefusal(ModelRefusal* refusal) override;

  // ---- IAudioHal
  NTSTATUS STDMETHODCALLTYPE GetStreamEngineCaps(ULONG engineIndex, DeviceCapsRecord* caps) override;
  NTSTATUS STDMETHODCALLTYPE Init(PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject,
                                  PDEVICE_OBJECT lowerDeviceObject, PDEVICE_OBJECT physicalDeviceObject) override;
  NTSTATUS STDMETHODCALLTYPE Start() override;
  NTSTATUS STDMETHODCALLTYPE Stop() override;
  NTSTATUS STDMETHODCALLTYPE GetChannelCaps(ULONG direction, ULONG pinCategory, DeviceCapsRecord* caps) override;

  // ---- IAdapterPowerManagement
  void STDMETHODCALLTYPE PowerChangeState(POWER_STATE newState) override;

  // ---- Units
  // The last unit with that id (no reference added).
  NTSTATUS FindUnitById(ULONG unitId, ITopoNode** unit);
  NTSTATUS AddUnit(ITopoNode* unit);
  void ReleaseUnits();
  ULONG GetUnitCount() const;
  // No reference is added.
  NTSTATUS GetUnit(ULONG index, ITopoNode** unit);

  // ---- Status words
  // Re-reads what the unit shows: a terminal's subdevices follow its state,
  // any other unit's nodes re-read their values and are announced.
  NTSTATUS HandleUnitStatus(ULONG unitId);

  // ---- Parsing: finds the first AudioControl (AudioStreaming) interface of
  // the configuration and hands it to the model's IUsbAudioHal parser.
  NTSTATUS UsbParseAudioControlInterface();
  NTSTATUS UsbParseAudioStreamInterface();
  using IUsbAudioHal::UsbParseAudioControlInterface;
  using IUsbAudioHal::UsbParseAudioStreamInterface;

  // ---- Graph operations of the AudioStreaming parser
  // Attaches the nodes of the engine's path: for capture everything upstream
  // of the terminal node; for render the path of every output pin whose
  // upstream reaches the terminal node.
  NTSTATUS AttachEngineNodes(CUsbStreamEngine* engine, ULONG terminalNodeId);
  // Breadth-first over source ids from `startNodeId`; a sum node and a node
  // without sources end a branch, a node already attached is not followed.
  NTSTATUS AttachPathNodes(CUsbStreamEngine* engine, ULONG startNodeId);
  // Software nodes where a path has no controls: a mute between two bare
  // terminals, and before Windows Vista a pass-through selector in front of
  // a capture engine's output pin.
  NTSTATUS FixUpStreamGraph(CUsbStreamEngine* engine);
  // Every output-type node tells the single-source nodes upstream of it
  // which terminal type is in use and keeps them as listeners.
  void WireOutputTypes();

  USHORT GetVendorId() const { return m_VendorId; }
  USHORT GetProductId() const { return m_ProductId; }
  UCHAR GetControlInterfaceNumber() const { return m_ControlInterfaceNumber; }
  UCHAR GetStatusPipeIndex() const { return m_StatusPipeIndex; }
  PKTHREAD GetStatusThread() const { return m_StatusThread; }

 protected:
  IUsbDevice* QueryUsbDevice();
  // A unit whose output node is `nodeId` and whose type code is `unitType`.
  CUacUnit* FindUnitByOutputNode(ULONG unitType, ULONG nodeId);
  NTSTATUS InsertSoftwareMute(CUsbStreamEngine* engine);
  NTSTATUS CreateSoftwareMuteNode(CUsbStreamEngine* engine, ULONG sourceId, ULONG* muteNodeId);
  NTSTATUS CreatePassThroughSelector(CUsbStreamEngine* engine, ULONG sourceId, ULONG* selectorNodeId);
  // Searches upstream of `pinId` for `terminalNodeId`; *reached tells.
  NTSTATUS SearchUpstream(ULONG pinId, ULONG terminalNodeId, bool* reached);
  // The engine's pending output-type change, acknowledged.
  BOOLEAN TakeOutputTypeChange(IStreamEngine* engine);
  // "<prefix>Out<nn>" / "<prefix>In<nn>" for the engine's category.
  NTSTATUS NameEngine(IStreamEngine* engine, PWSTR name, size_t chars);
  // Re-registers every engine's wave subdevice after a terminal changed.
  NTSTATUS UpdateAllSubdevices();
  // Runs after RefreshSubdevices re-registered an engine; `unitId` names
  // the unit whose output type changed.
  virtual void AfterSubdeviceRefresh(ULONG /*unitId*/) {}

  // ---- The model's system thread: the status thread here, a thread of its
  // own in a derived model that replaces it. One at a time, referenced in
  // m_StatusThread; it ends on m_StopEvent and signals m_ExitedEvent.
  // Starts it at `priority`; on failure nothing is set.
  NTSTATUS StartModelThread(KPRIORITY priority);
  // Stops it and waits until it has ended; both events are clear after.
  void EndModelThread();
  virtual void ModelThreadMain() { StatusThreadMain(); }
  static void ModelThreadStart(PVOID context);

  // ---- Status thread
  void StatusThreadMain();
  static NTSTATUS StatusIrpCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
  void PrepareStatusTransfer(PIRP irp, PURB urb, PUCHAR buffer, PKEVENT event);
  // Ends the thread (when one runs) and returns to the no-thread state.
  void StopStatusThread();

  // Notes why the configuration refused the device (the first reason of a
  // configuration wins; a configuration starts by emptying the record).
  void Refuse(const char* step, const char* reason, NTSTATUS status);

  USHORT m_VendorId;
  USHORT m_ProductId;
  CPointerList* m_Units = nullptr;  // ITopoNode* of IUacUnit, one reference each
  UCHAR m_ControlInterfaceNumber = 0;
  PUSBD_INTERFACE_INFORMATION m_PipeInformation = nullptr;
  UCHAR m_StatusPipeIndex = UAC1_NO_STATUS_PIPE;
  PKTHREAD m_StatusThread = nullptr;  // referenced while a thread runs
  KEVENT m_StopEvent;
  KEVENT m_ExitedEvent;
  CKernelMutex m_SubdeviceMutex;
  ModelRefusal m_Refusal;
};
