// The driver's private COM-style interfaces and the records they exchange,
// declared once so that every object agrees on the interface IDs and on the
// order of the slots. Slots are listed in table order after the three
// IUnknown slots; an interface's users depend on that order, so new
// operations go at the end of an interface or into a new one.
//
// Ownership conventions shared by every interface here:
// - "no reference" out pointers (GetStreamEngine, GetNode, GetAttachedNode)
//   stay valid only as long as their owner keeps the object;
// - every other interface pointer handed out carries one reference.
#pragma once

#include "kernel/nt.h"
#include "ks/ks.h"
#include "ks/ksmedia.h"
#include "portcls/portcls.h"
#include "usb/usbdi.h"
#include "usb/usbspec.h"

// Declared by its own class's header.
struct IOutputTypeSink;

struct IAudioHal;
struct IStreamEngine;
struct ITopoNode;
struct ISelectorInputNode;

// ============================================================================
// Shared records
// ============================================================================

// Per stream engine, and per direction and pin category: what the hardware
// model reports about a stream. Copied whole.
struct DeviceCapsRecord {
  ULONG CapabilityMask;  // 4 for the product models
  ULONG Reserved0[3];
  ULONG ModelValue;  // handed to user mode unchanged
  ULONG Reserved1;
  ULONG Flags;  // DEVICE_CAPS_FLAG_ASIO: the engine serves the ASIO client
  ULONG Reserved2;
};
static_assert(sizeof(DeviceCapsRecord) == 32);
static_assert(offsetof(DeviceCapsRecord, ModelValue) == 16);
static_assert(offsetof(DeviceCapsRecord, Flags) == 24);
constexpr ULONG DEVICE_CAPS_FLAG_ASIO = 0x2;

// The argument of every notification on a hardware model's callback object
// (Argument1 of ExNotifyCallback; Argument2 is null). A receiver acts only
// when both leading words are 1.
struct AudioHalNotify {
  ULONG Kind;    // AUDIOHAL_NOTIFY_CONTROL_CHANGE
  ULONG Second;  // 1
  ULONG NodeId;
  ULONGLONG Reserved;  // 0
};
static_assert(sizeof(AudioHalNotify) == 24);
constexpr ULONG AUDIOHAL_NOTIFY_CONTROL_CHANGE = 1;

// One jack of a terminal, in the field order of KSJACK_DESCRIPTION followed
// by the driver's own presence fields.
struct JackRecord {
  ULONG ChannelMapping;
  ULONG Color;  // 0x00RRGGBB
  ULONG ConnectionType;
  ULONG GeoLocation;
  ULONG GenLocation;
  ULONG PortConnection;
  ULONG NoPresenceDetectCapability;  // bit 0: the jack cannot report presence
  ULONG IsConnected;
  ULONG PresenceReported;  // 1: IsConnected follows the device's presence mask
};
static_assert(sizeof(JackRecord) == 36);

// ---- Pin categories -----------------------------------------------------------
// A pin category names what a terminal is connected to. It indexes the
// prefix table of engine names and the device extension's name counters.
using PinCategory = ULONG;
enum : ULONG {
  PIN_CATEGORY_STREAM = 0,
  PIN_CATEGORY_SPK = 1,
  PIN_CATEGORY_HP = 2,
  PIN_CATEGORY_SPDIF = 3,
  PIN_CATEGORY_HDMI = 4,
  PIN_CATEGORY_DISPLAYPORT = 5,
  PIN_CATEGORY_LINE = 6,
  PIN_CATEGORY_MIC = 7,
  PIN_CATEGORY_AUX = 8,
  PIN_CATEGORY_CD = 9,
  PIN_CATEGORY_VIDEO = 10,
  PIN_CATEGORY_FMIC = 11,
  PIN_CATEGORY_TELEPHONE = 12,
  PIN_CATEGORY_HANDSET = 13,
  PIN_CATEGORY_HEADSET = 14,
  PIN_CATEGORY_SPEAKERPHONE = 15,
  PIN_CATEGORY_STEREOMIX = 16,
  PIN_CATEGORY_FHP = 17,
  PIN_CATEGORY_REC = 18,
};
constexpr ULONG PIN_CATEGORY_COUNT = 19;
// The device extension keeps a few spare counters beyond the table.
constexpr ULONG PIN_NAME_COUNTER_COUNT = 22;

// "Stream", "SPK", ... "Rec", indexed by pin category.
extern const WCHAR* const PinCategoryPrefixes[PIN_CATEGORY_COUNT];

// A category outside the table (including a failure status returned in a
// category's place) counts as Stream wherever it indexes a table.
constexpr ULONG ClampPinCategory(ULONG category) {
  return category < PIN_CATEGORY_COUNT ? category : PIN_CATEGORY_STREAM;
}
inline const WCHAR* PinCategoryPrefix(ULONG category) { return PinCategoryPrefixes[ClampPinCategory(category)]; }

// ---- Node type codes ------------------------------------------------------------
// ITopoNode::GetType of the control nodes. Unit objects report their
// descriptor subtype instead (2 input terminal ... 6 feature unit).
enum : ULONG {
  NODE_TYPE_INPUT_PIN = 0,
  NODE_TYPE_OUTPUT_PIN = 1,
  NODE_TYPE_MUTE = 2,
  NODE_TYPE_VOLUME = 3,
  NODE_TYPE_SELECTOR = 4,
  NODE_TYPE_SUM = 5,
  NODE_TYPE_AGC = 6,
  NODE_TYPE_LOUDNESS = 7,
  NODE_TYPE_INPUT_GAIN_PAD = 8,
  NODE_TYPE_BASS = 9,
  NODE_TYPE_MID = 10,
  NODE_TYPE_TREBLE = 11,
  NODE_TYPE_CLOCK = 12,
  NODE_TYPE_OUTPUT_TYPE = 13,
  NODE_TYPE_DEVICE_SWITCH = 18,
  NODE_TYPE_BOARD_SWITCH = 22,
  NODE_TYPE_PROCESSING = 23,
};

// ---- Stream directions --------------------------------------------------------
constexpr ULONG STREAM_DIRECTION_RENDER = 0;
constexpr ULONG STREAM_DIRECTION_CAPTURE = 1;

// ---- Miniport factories ---------------------------------------------------------
// The topology miniport's factory shape, and the wave miniport's, which also
// gets the index of its stream engine in the hardware model's engine list.
using PFNCREATEMINIPORT = NTSTATUS (*)(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outerUnknown,
                                       POOL_TYPE poolType);
using PFNCREATEWAVEMINIPORT = NTSTATUS (*)(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outerUnknown,
                                           POOL_TYPE poolType, ULONG engineIndex);

// ============================================================================
// Device object and hardware model
// ============================================================================

// The device object's USB services.
inline constexpr GUID IID_IUsbDevice =
    DEFINE_GUID_VALUE(0x4E0BFAF2, 0x66CC, 0x40AC, 0x82, 0x03, 0xC3, 0xC4, 0xD0, 0x8C, 0xD4, 0xFF);
struct IUsbDevice : IUnknown {
  virtual PUSB_CONFIGURATION_DESCRIPTOR STDMETHODCALLTYPE GetConfigurationDescriptor() = 0;
  virtual USBD_CONFIGURATION_HANDLE STDMETHODCALLTYPE GetConfigurationHandle() = 0;
  virtual UCHAR STDMETHODCALLTYPE GetControlInterfaceNumber() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetDevicePresent(UCHAR present) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE CallLowerDriver(PIRP irp) = 0;
  // Synchronous: 500 ms, then the request is cancelled.
  virtual NTSTATUS STDMETHODCALLTYPE SubmitUrb(PURB urb) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE QueryBusTime(PULONG currentFrame) = 0;
  virtual PIRP STDMETHODCALLTYPE AllocateIrp() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE FreeIrp(PIRP irp) = 0;
  virtual BOOLEAN STDMETHODCALLTYPE IsHighSpeed() = 0;
  virtual BOOLEAN STDMETHODCALLTYPE IsDeviceRemoved() = 0;
  virtual BOOLEAN STDMETHODCALLTYPE CyclePort() = 0;
  virtual PDEVICE_OBJECT STDMETHODCALLTYPE GetLowerDevice() = 0;
  virtual LONG STDMETHODCALLTYPE AddBusy() = 0;
  virtual LONG STDMETHODCALLTYPE ReleaseBusy() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE CreateAudioHal() = 0;
};

// The ASIO host's private interface on the device object. Every operation
// but the reserved slot takes the file object as the client's key.
inline constexpr GUID IID_IAsioPrivate =
    DEFINE_GUID_VALUE(0xDB4D55AC, 0xCB0E, 0x4611, 0x8C, 0xEB, 0x16, 0xE3, 0x23, 0x36, 0x87, 0x6D);
struct IAsioPrivate : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE Open(PFILE_OBJECT fileObject) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Reserved() = 0;  // STATUS_UNSUCCESSFUL
  virtual NTSTATUS STDMETHODCALLTYPE Close(PFILE_OBJECT fileObject) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetDriverName(PFILE_OBJECT fileObject, PCHAR buffer, PULONG length) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetChannels(PFILE_OBJECT fileObject, PVOID record, ULONG length) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetChannelInfo(PFILE_OBJECT fileObject, PVOID record, ULONG length) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetNotifyEvent(PFILE_OBJECT fileObject, PHANDLE eventHandle) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE ReleaseNotifyEvent(PFILE_OBJECT fileObject) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetBuffersCreated(PFILE_OBJECT fileObject, PULONG created) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetSampleTypes(PFILE_OBJECT fileObject, PVOID record, PULONG length) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetLatencyTable(PFILE_OBJECT fileObject, PVOID record, PULONG length) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetSampleType(PFILE_OBJECT fileObject, ULONG sampleType) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetLatencyIndex(PFILE_OBJECT fileObject, ULONG index) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetLatencies(PFILE_OBJECT fileObject, PVOID record) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetSampleRate(PFILE_OBJECT fileObject, PULONG rate) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE CanSampleRate(PFILE_OBJECT fileObject, PULONG rate) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetSampleRate(PFILE_OBJECT fileObject, PULONG rate) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetBufferSize(PFILE_OBJECT fileObject, PVOID record) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE CreateBuffers(PFILE_OBJECT fileObject, PVOID request, PVOID addresses,
                                                   PULONG length) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE DisposeBuffers(PFILE_OBJECT fileObject) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Start(PFILE_OBJECT fileObject, PHANDLE eventHandle) = 0;
  // May answer STATUS_PENDING and keep the request until the device is in D0.
  virtual NTSTATUS STDMETHODCALLTYPE Stop(PFILE_OBJECT fileObject, PIRP irp) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE CanIoFormat(PFILE_OBJECT fileObject, PULONG mode) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetIoFormat(PFILE_OBJECT fileObject, PULONG mode) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetIoFormat(PFILE_OBJECT fileObject, PULONG mode) = 0;
};

// The hardware model as StartDevice, the miniports and the nodes see it.
inline constexpr GUID IID_IAudioHal =
    DEFINE_GUID_VALUE(0x7284B608, 0x74F9, 0x4B95, 0xA5, 0xBB, 0xEC, 0x6D, 0xDD, 0x0B, 0x6F, 0x58);
struct IAudioHal : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetStreamEngineCaps(ULONG engineIndex, DeviceCapsRecord* caps) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetComponentId(PKSCOMPONENTID componentId) = 0;
  virtual ULONG STDMETHODCALLTYPE GetStreamEngineCount() = 0;
  // No reference is added to the engine handed out.
  virtual NTSTATUS STDMETHODCALLTYPE GetStreamEngine(ULONG index, IStreamEngine** engine) = 0;
  virtual ULONG STDMETHODCALLTYPE GetNodeCount() = 0;
  // No reference is added to the node handed out.
  virtual NTSTATUS STDMETHODCALLTYPE GetNode(ULONG index, ITopoNode** node) = 0;
  virtual PDEVICE_OBJECT STDMETHODCALLTYPE GetDeviceObject() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Init(PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject,
                                          PDEVICE_OBJECT lowerDeviceObject, PDEVICE_OBJECT physicalDeviceObject) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Start() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Stop() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context,
                                                      PVOID* registration) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE UnregisterCallback(PVOID registration) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE CancelIdleRequest() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE ConfigureDevice() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE BuildTopology() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetChannelCaps(ULONG direction, ULONG pinCategory, DeviceCapsRecord* caps) = 0;
};

// Why a hardware model refused its device: the configuration step, what
// was wrong (a static text, or null), the status and the device's IDs.
// Empty until a configuration fails; the first reason of a configuration
// wins. The record outlives the model, so the reason names the unit,
// interface or request that failed by numbers kept beside it: each "%u" in
// the text stands for the next of `values` (no other conversion is used).
struct ModelRefusal {
  const char* step = nullptr;
  const char* reason = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  USHORT vendorId = 0;
  USHORT productId = 0;
  ULONG values[3] = {};
};

// The USB side of a hardware model.
inline constexpr GUID IID_IUsbAudioHal =
    DEFINE_GUID_VALUE(0xB00C6788, 0x253F, 0x4638, 0x94, 0x60, 0x33, 0x6A, 0x8B, 0xE6, 0xEE, 0x9A);
struct IUsbAudioHal : IUnknown {
  // The unit id tells which unit's output type changed; the models re-check
  // every engine.
  virtual NTSTATUS STDMETHODCALLTYPE RefreshSubdevices(ULONG unitId) = 0;
  // No reference is taken on the object handed out.
  virtual NTSTATUS STDMETHODCALLTYPE GetCallbackObject(PCALLBACK_OBJECT* callbackObject) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                                   ULONG bytesToEnd) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE UsbParseAudioStreamInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                                  PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                                  ULONG bytesToEnd) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE RestoreHardwareState() = 0;
  // The model's refusal record; a model that keeps none answers an empty
  // one.
  virtual NTSTATUS STDMETHODCALLTYPE GetRefusal(ModelRefusal* refusal) = 0;
};

// ============================================================================
// Topology nodes and stream engines
// ============================================================================

// Every unit and node of the topology: an id, a node type code and the ids
// of its sources.
inline constexpr GUID IID_ITopoNode =
    DEFINE_GUID_VALUE(0x200AFF7F, 0x71A4, 0x4FFC, 0xBF, 0x4F, 0x61, 0xF2, 0xB8, 0xA5, 0x22, 0xB5);
struct ITopoNode : IUnknown {
  virtual ULONG STDMETHODCALLTYPE GetId() = 0;
  virtual ULONG STDMETHODCALLTYPE GetType() = 0;
  virtual ULONG STDMETHODCALLTYPE GetSourceCount() = 0;
  // `count` in: room in `ids`; out: the ids copied.
  virtual NTSTATUS STDMETHODCALLTYPE GetSourceIds(PULONG count, PULONG ids) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE ApplyToDevice(ULONG nodeIndex, PVOID context) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE OnHalStart(ULONG nodeIndex, PVOID context) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE OnHalStop(ULONG nodeIndex, PVOID context) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetSourceIds(ULONG count, const ULONG* ids) = 0;
};

// The source id a node keeps in the place of a source that the device's
// descriptors name but do not describe: no node has it, and the sources
// after it keep their numbers.
constexpr ULONG MISSING_SOURCE_ID = MAXULONG;

// One stream engine per AudioStreaming interface.
inline constexpr GUID IID_IStreamEngine =
    DEFINE_GUID_VALUE(0x3D64C291, 0x9F42, 0x43E5, 0xA4, 0x68, 0x2C, 0x5D, 0xC9, 0xBB, 0x23, 0x53);
struct IStreamEngine : IUnknown {
  virtual ULONG STDMETHODCALLTYPE IsCapture() = 0;
  virtual ULONG STDMETHODCALLTYPE GetPinCategory() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetName(PCWSTR name) = 0;
  // `name` has room for STREAM_ENGINE_NAME_CHARS characters.
  virtual NTSTATUS STDMETHODCALLTYPE GetName(PWSTR name) = 0;
  virtual ULONG STDMETHODCALLTYPE GetFormatCount() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetFormat(ULONG index, PWAVEFORMATEXTENSIBLE format) = 0;
  virtual ULONG STDMETHODCALLTYPE GetAttachedNodeCount() = 0;
  // No reference is added to the node handed out.
  virtual NTSTATUS STDMETHODCALLTYPE GetAttachedNode(ULONG index, ITopoNode** node) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetWaveMiniportFactory(PFNCREATEWAVEMINIPORT factory, REFCLSID classId) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetTopology(PUNKNOWN topologyPort, PUNKNOWN topologyMiniport) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE UpdateSubdevice(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN adapter) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE RemoveSubdevice(PDEVICE_OBJECT deviceObject) = 0;
  // In/out: a WAVEFORMATEX, or a WAVEFORMATEXTENSIBLE when the tag says so.
  virtual NTSTATUS STDMETHODCALLTYPE FindFormat(PWAVEFORMATEX format) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context,
                                                      PVOID* registration) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE UnregisterCallback(PVOID registration) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE PowerChangeState(DEVICE_POWER_STATE newState) = 0;
  // The software signal path over one buffer.
  virtual NTSTATUS STDMETHODCALLTYPE ProcessBuffer(PVOID buffer, LONG bufferBytes) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE RunNodeProcessors(PVOID buffer, LONG bufferBytes) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE RunNodeProcessorsFloat(PVOID buffer, ULONG frames, ULONG formatTag) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE RunCaptureProcessors(PVOID buffer, LONG bufferBytes) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE RunCaptureProcessorsFloat(ULONG frames) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE RunRenderProcessors(PVOID buffer, LONG bufferBytes) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE RunRenderProcessorsFloat(ULONG frames) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Init(ULONG direction) = 0;
};
// An engine name holds at most 50 characters and its terminator.
constexpr ULONG STREAM_ENGINE_NAME_CHARS = 51;

// Every node that processes audio in software.
inline constexpr GUID IID_IDspProcessor =
    DEFINE_GUID_VALUE(0x1EDBBC0C, 0xAA74, 0x4046, 0x91, 0x1E, 0xC8, 0xBD, 0xE6, 0x4A, 0x66, 0xFF);
struct IDspProcessor : IUnknown {
  // Never called; implementations answer success or STATUS_NOT_IMPLEMENTED.
  virtual NTSTATUS STDMETHODCALLTYPE Reserved1() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Reserved2() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetFormat(const WAVEFORMATEXTENSIBLE* format) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE ResetLimiters() = 0;
  // For PCM `data` is the array of per-channel float buffers, for any other
  // tag the interleaved buffer in the device format. In place.
  virtual NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Reset() = 0;
};

// Terminals (units and terminal nodes). Classes append their own operation
// after these slots.
inline constexpr GUID IID_ITerminal =
    DEFINE_GUID_VALUE(0x540C5664, 0x4620, 0x4FDB, 0x9B, 0x81, 0x7E, 0x21, 0x45, 0xD9, 0x5B, 0xE3);
struct ITerminal : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetCategory(PinCategory* category) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetTypeCount(PULONG count) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetTypeList(PULONG categories) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SelectType(PinCategory category) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetJackCount(PULONG count, ULONG typeIndex) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetJackDescriptions(ULONG bufferBytes, JackRecord* jacks, ULONG typeIndex) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetDeviceCaps(DeviceCapsRecord* caps) = 0;
};

// Selector units and nodes. Units append their node builder.
inline constexpr GUID IID_ISelector =
    DEFINE_GUID_VALUE(0x524FA5C2, 0x9FBF, 0x4FC8, 0xB8, 0xD2, 0xDC, 0x30, 0x2D, 0xED, 0xB0, 0xDF);
struct ISelector : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetInput(PULONG input) = 0;  // 1-based
  virtual NTSTATUS STDMETHODCALLTYPE SetInput(ULONG input) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetInputCount(PULONG count) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE AddInputNode(ISelectorInputNode* node) = 0;
};

// A node that feeds one input of a selector.
inline constexpr GUID IID_ISelectorInputNode =
    DEFINE_GUID_VALUE(0xD31296ED, 0x008B, 0x4C8C, 0xA2, 0x39, 0x4E, 0x6B, 0x32, 0x2E, 0x96, 0x26);
struct ISelectorInputNode : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE OnSelectionChange(ULONG newInput, ULONG oldInput) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetSelectedInput(ULONG input) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetInputIndex(ULONG inputNumber) = 0;
};

// The switchable output type after an output terminal.
inline constexpr GUID IID_IOutputTypeNode =
    DEFINE_GUID_VALUE(0xDC7604D8, 0xC1F4, 0x4EA1, 0x81, 0x8C, 0xF7, 0x44, 0x19, 0x1B, 0x5B, 0x18);
struct IOutputTypeNode : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetCategory(PinCategory* category) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetTypeCount(PULONG count) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetTypeList(PULONG categories) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SelectType(PinCategory category) = 0;
  virtual ULONG STDMETHODCALLTYPE IsChangePending() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE AckChange() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE AddListener(IOutputTypeSink* sink) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Init(ULONG sourceId, ULONG typeCount, const PinCategory* categories) = 0;
};

// Nodes that need the render engines once the topology is built.
inline constexpr GUID IID_IStreamEngineBinding =
    DEFINE_GUID_VALUE(0x20C8868C, 0xE090, 0x4CEF, 0xB8, 0x03, 0xB8, 0x0F, 0x0E, 0xCD, 0x7C, 0x19);
struct IStreamEngineBinding : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE BindStreamEngines(ULONG unused) = 0;
};

// Both miniports: the subdevice name, and the connection point of a wave
// filter on the topology filter.
inline constexpr GUID IID_ISubdeviceInfo =
    DEFINE_GUID_VALUE(0x1C704CEB, 0x6111, 0x4878, 0xA9, 0xAF, 0x05, 0x75, 0xE1, 0xC7, 0x9F, 0x76);
struct ISubdeviceInfo : IUnknown {
  // Topology miniport: in a terminal node id, out its pin. Wave miniport:
  // out the id of the engine's Stream terminal node.
  virtual NTSTATUS STDMETHODCALLTYPE GetConnectionId(PULONG id) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetName(PWSTR* name) = 0;
};

// ============================================================================
// Stream clients
// ============================================================================

constexpr ULONG CYCLIC_CLIENT_TONE = 1;
constexpr ULONG CYCLIC_CLIENT_WAVE = 3;
constexpr ULONG CYCLIC_CLIENT_ASIO = 5;

constexpr ULONG CYCLIC_COMMAND_POSITION = 1;
constexpr ULONG CYCLIC_COMMAND_FORMAT = 2;
constexpr ULONG CYCLIC_COMMAND_RENDER_FILL = 3;
constexpr ULONG CYCLIC_COMMAND_CAPTURE_DATA = 4;
// The stream stopped by itself (the device is gone, or its transfers keep
// failing); the clients stay registered and stop as usual.
constexpr ULONG CYCLIC_COMMAND_ERROR = 5;
constexpr ULONG CYCLIC_FORMAT_CHANGED = 0x80000000;

// One per registered client, owned by the engine.
struct StreamClientRecord {
  ULONG Kind;
  PVOID Handle;  // the ExRegisterCallback registration; the client's key
  ULONG MsPerUrb;
  ULONG UrbCount;
  WAVEFORMATEXTENSIBLE Format;
  ULONG Direction;
  UCHAR Started;
};

// The argument of every stream-engine notification, built on the sender's
// stack.
struct CyclicControlNotify {
  StreamClientRecord* Client;
  ULONG Command;
  union {
    ULONG Bytes;  // CYCLIC_COMMAND_POSITION
    struct {
      ULONG MsPerUrb;  // | CYCLIC_FORMAT_CHANGED
      ULONG UrbCount;
    } Format;       // CYCLIC_COMMAND_FORMAT
    PVOID Buffer;   // CYCLIC_COMMAND_RENDER_FILL, CYCLIC_COMMAND_CAPTURE_DATA
    NTSTATUS Status;  // CYCLIC_COMMAND_ERROR
  } Value;
  ULONG Length;
};
static_assert(sizeof(((CyclicControlNotify*)nullptr)->Value) == 8);

// The tone prompt: a render client that mixes its prompt into the stream
// as the engine's client processor.
inline constexpr GUID IID_IToneNode =
    DEFINE_GUID_VALUE(0x608D1E32, 0x7B90, 0x44BB, 0xB7, 0xCE, 0x35, 0xAE, 0x4A, 0x8A, 0x02, 0x33);
struct IToneNode : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE Init() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetRenderEngine(IStreamEngine* engine) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Play() = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Stop() = 0;
  // The client-processor entries: called by the engine with its spin lock
  // held, on its float channel buffers (nChannels of them), in place.
  virtual NTSTATUS STDMETHODCALLTYPE ProcessCapture(const WAVEFORMATEXTENSIBLE* format, float* const* channels,
                                                    ULONG frames) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, float* const* channels,
                                             ULONG frames) = 0;
};

inline constexpr GUID IID_ICyclicControl =
    DEFINE_GUID_VALUE(0x7C4D1930, 0x875A, 0x418C, 0xA0, 0xA4, 0x3A, 0x30, 0x45, 0x6A, 0x89, 0x96);
struct ICyclicControl : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE RegisterClient(ULONG kind, const WAVEFORMATEXTENSIBLE* format, ULONG msPerUrb,
                                                    ULONG urbCount, PCALLBACK_FUNCTION callback, PVOID context,
                                                    StreamClientRecord** record) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE UnregisterClient(PVOID handle) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE StartClient(PVOID handle, ULONG startFrame, PULONG msPerUrb,
                                                 IToneNode* processor) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE StopClient(PVOID handle, IToneNode* processor) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE PrepareClient(PVOID handle, PULONG msPerUrb, PULONG currentFrame) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE UnprepareClient(PVOID handle) = 0;
};

// ============================================================================
// The adapter device extension
// ============================================================================

// The driver's share of the adapter's device extension, after the port
// class driver's PORT_CLASS_DEVICE_EXTENSION_SIZE bytes.
struct DeviceExtension {
  IAudioHal* Adapter;  // one reference; set by a successful start
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT LowerDeviceObject;  // one object reference
  PDEVICE_OBJECT PhysicalDeviceObject;
  UCHAR OutputNameCounters[PIN_NAME_COUNTER_COUNT];
  UCHAR InputNameCounters[PIN_NAME_COUNTER_COUNT];
  UCHAR AsioInterfaceRegistered;
  UNICODE_STRING AsioInterfaceLink;
  UCHAR AsioInterfaceEnabled;
  UCHAR EnumInterfaceRegistered;
  UNICODE_STRING EnumInterfaceLink;
  UCHAR EnumInterfaceEnabled;
  // Taken by the wave miniport while it tears itself down. The space is that
  // of the system's mutex, which is larger than the stand-in's.
  union {
    KMUTEX Mutex;
    UCHAR MutexSpace[56];
  };
  // The topology filter's port (one reference), kept from a successful
  // start so that a stop can take the filter down again.
  PUNKNOWN TopologyPort;
  // Why the last start's hardware model refused the device (empty when it
  // did not), for whoever looks after a failed start; the device object and
  // its model are gone by then.
  ModelRefusal StartRefusal;
};
static_assert(sizeof(KMUTEX) <= 56);
static_assert(offsetof(DeviceExtension, OutputNameCounters) == 32);
static_assert(offsetof(DeviceExtension, AsioInterfaceLink) == 80);
static_assert(offsetof(DeviceExtension, EnumInterfaceLink) == 104);
static_assert(offsetof(DeviceExtension, Mutex) == 128);
static_assert(offsetof(DeviceExtension, TopologyPort) == 184);
static_assert(offsetof(DeviceExtension, StartRefusal) == 192);
static_assert(sizeof(DeviceExtension) == 232);

inline DeviceExtension* GetDeviceExtension(PDEVICE_OBJECT deviceObject) {
  return reinterpret_cast<DeviceExtension*>(static_cast<PUCHAR>(deviceObject->DeviceExtension) +
                                            PORT_CLASS_DEVICE_EXTENSION_SIZE);
}
