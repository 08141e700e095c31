// The port-class audio framework as driver code sees it: descriptor
// structures, the miniport interfaces a driver implements, the port
// interfaces it calls, and the Pc* services. Declared for the stand-in from
// the documented shapes; the implementation lives beside this header.
#pragma once

#include "kernel/nt.h"
#include "ks/ks.h"
#include "ks/ksmedia.h"
#if __has_include("portcls/registrykey.h")
#include "portcls/registrykey.h"
#endif

// ---- Basic types -------------------------------------------------------------------

using PLONGLONG = LONGLONG*;
using PHYSICAL_ADDRESS = LARGE_INTEGER;
using PPHYSICAL_ADDRESS = PHYSICAL_ADDRESS*;
struct ADAPTER_OBJECT;
using PADAPTER_OBJECT = ADAPTER_OBJECT*;

// The framework's share of the adapter device extension: a driver that asks
// PcAddAdapterDevice for more keeps its own data after these bytes.
constexpr ULONG PORT_CLASS_DEVICE_EXTENSION_SIZE = 64 * sizeof(ULONG_PTR);
static_assert(PORT_CLASS_DEVICE_EXTENSION_SIZE == 512);

// ---- Descriptors -----------------------------------------------------------------------

struct IRegistryKey;
struct PCPROPERTY_REQUEST;
struct PCMETHOD_REQUEST;
struct PCEVENT_REQUEST;
using PPCPROPERTY_REQUEST = PCPROPERTY_REQUEST*;
using PPCMETHOD_REQUEST = PCMETHOD_REQUEST*;
using PPCEVENT_REQUEST = PCEVENT_REQUEST*;

using PCPFNPROPERTY_HANDLER = NTSTATUS (*)(PPCPROPERTY_REQUEST propertyRequest);
using PCPFNMETHOD_HANDLER = NTSTATUS (*)(PPCMETHOD_REQUEST methodRequest);
using PCPFNEVENT_HANDLER = NTSTATUS (*)(PPCEVENT_REQUEST eventRequest);

struct PCPROPERTY_ITEM {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PCPFNPROPERTY_HANDLER Handler;
};
using PPCPROPERTY_ITEM = PCPROPERTY_ITEM*;
static_assert(sizeof(PCPROPERTY_ITEM) == 24);

constexpr ULONG PCPROPERTY_ITEM_FLAG_GET = KSPROPERTY_TYPE_GET;
constexpr ULONG PCPROPERTY_ITEM_FLAG_SET = KSPROPERTY_TYPE_SET;
constexpr ULONG PCPROPERTY_ITEM_FLAG_BASICSUPPORT = KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG PCPROPERTY_ITEM_FLAG_DEFAULTVALUES = KSPROPERTY_TYPE_DEFAULTVALUES;
constexpr ULONG PCPROPERTY_ITEM_FLAG_SERIALIZESET = KSPROPERTY_TYPE_SERIALIZESET;

struct PCMETHOD_ITEM {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PCPFNMETHOD_HANDLER Handler;
};
using PPCMETHOD_ITEM = PCMETHOD_ITEM*;

struct PCEVENT_ITEM {
  const GUID* Set;
  ULONG Id;
  ULONG Flags;
  PCPFNEVENT_HANDLER Handler;
};
using PPCEVENT_ITEM = PCEVENT_ITEM*;
static_assert(sizeof(PCEVENT_ITEM) == 24);

constexpr ULONG PCEVENT_ITEM_FLAG_ENABLE = KSEVENT_TYPE_ENABLE;
constexpr ULONG PCEVENT_ITEM_FLAG_ONESHOT = KSEVENT_TYPE_ONESHOT;
constexpr ULONG PCEVENT_ITEM_FLAG_BASICSUPPORT = KSEVENT_TYPE_BASICSUPPORT;

constexpr ULONG PCEVENT_VERB_NONE = 0;
constexpr ULONG PCEVENT_VERB_ADD = 1;
constexpr ULONG PCEVENT_VERB_REMOVE = 2;
constexpr ULONG PCEVENT_VERB_SUPPORT = 4;

struct PCAUTOMATION_TABLE {
  ULONG PropertyItemSize;
  ULONG PropertyCount;
  const PCPROPERTY_ITEM* Properties;
  ULONG MethodItemSize;
  ULONG MethodCount;
  const PCMETHOD_ITEM* Methods;
  ULONG EventItemSize;
  ULONG EventCount;
  const PCEVENT_ITEM* Events;
  ULONG Reserved;
};
using PPCAUTOMATION_TABLE = PCAUTOMATION_TABLE*;

struct PCPIN_DESCRIPTOR {
  ULONG MaxGlobalInstanceCount;
  ULONG MaxFilterInstanceCount;
  ULONG MinFilterInstanceCount;
  const PCAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR KsPinDescriptor;
};
using PPCPIN_DESCRIPTOR = PCPIN_DESCRIPTOR*;
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112);

struct PCNODE_DESCRIPTOR {
  ULONG Flags;
  const PCAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
};
using PPCNODE_DESCRIPTOR = PCNODE_DESCRIPTOR*;
static_assert(sizeof(PCNODE_DESCRIPTOR) == 32);

struct PCCONNECTION_DESCRIPTOR {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
};
using PPCCONNECTION_DESCRIPTOR = PCCONNECTION_DESCRIPTOR*;
static_assert(sizeof(PCCONNECTION_DESCRIPTOR) == 16);

constexpr ULONG PCFILTER_NODE = KSFILTER_NODE;

struct PCFILTER_DESCRIPTOR {
  ULONG Version;
  const PCAUTOMATION_TABLE* AutomationTable;
  ULONG PinSize;
  ULONG PinCount;
  const PCPIN_DESCRIPTOR* Pins;
  ULONG NodeSize;
  ULONG NodeCount;
  const PCNODE_DESCRIPTOR* Nodes;
  ULONG ConnectionCount;
  const PCCONNECTION_DESCRIPTOR* Connections;
  ULONG CategoryCount;
  const GUID* Categories;
};
using PPCFILTER_DESCRIPTOR = PCFILTER_DESCRIPTOR*;
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80);
static_assert(offsetof(PCFILTER_DESCRIPTOR, Pins) == 24);
static_assert(offsetof(PCFILTER_DESCRIPTOR, Categories) == 72);

// ---- Requests ----------------------------------------------------------------------------

struct PCPROPERTY_REQUEST {
  IUnknown* MajorTarget;  // the miniport
  IUnknown* MinorTarget;  // the stream of a pin request, else null
  ULONG Node;             // ULONG(-1) for a filter or pin property
  const PCPROPERTY_ITEM* PropertyItem;
  ULONG Verb;  // one of KSPROPERTY_TYPE_GET, _SET, _BASICSUPPORT
  ULONG InstanceSize;
  PVOID Instance;
  ULONG ValueSize;  // in: the buffer size; out: the bytes answered
  PVOID Value;
  PIRP Irp;
};

struct PCMETHOD_REQUEST {
  IUnknown* MajorTarget;
  IUnknown* MinorTarget;
  ULONG Node;
  const PCMETHOD_ITEM* MethodItem;
  ULONG Verb;
};

// The framework's record of one enabled event; the handler of an ADD links it
// with IPortEvents::AddEventToEventList.
struct PCEVENT_ENTRY {
  KSEVENT_ENTRY EventEntry;
  const PCEVENT_ITEM* EventItem;
  ULONG PinId;   // ULONG(-1) when not a pin event
  ULONG NodeId;  // ULONG(-1) when not a node event
  BOOLEAN InList;
  ULONG Delivered;
  PVOID Owner;  // the open filter the subscription belongs to
};
using PPCEVENT_ENTRY = PCEVENT_ENTRY*;

struct PCEVENT_REQUEST {
  IUnknown* MajorTarget;
  IUnknown* MinorTarget;
  ULONG Node;
  const PCEVENT_ITEM* EventItem;
  PPCEVENT_ENTRY EventEntry;
  ULONG Verb;
  PIRP Irp;
};

// ---- DRM ------------------------------------------------------------------------------------

struct DRMRIGHTS {
  BOOL CopyProtect;
  ULONG Reserved;
  BOOL DigitalOutputDisable;
};
using PDRMRIGHTS = DRMRIGHTS*;
using PCDRMRIGHTS = const DRMRIGHTS*;

struct DRMFORWARD {
  DWORD Flags;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PVOID Context;
};
using PDRMFORWARD = DRMFORWARD*;
using PCDRMFORWARD = const DRMFORWARD*;

// ---- Interfaces ------------------------------------------------------------------------------

// The resources of a device (none for a USB function: an empty list).
struct IResourceList : IUnknown {
  virtual ULONG STDMETHODCALLTYPE NumberOfEntries() = 0;
};
using PRESOURCELIST = IResourceList*;

struct IServiceSink : IUnknown {
  virtual void STDMETHODCALLTYPE RequestService() = 0;
};
using PSERVICESINK = IServiceSink*;

struct IServiceGroup : IServiceSink {
  virtual NTSTATUS STDMETHODCALLTYPE AddMember(PSERVICESINK serviceSink) = 0;
  virtual void STDMETHODCALLTYPE RemoveMember(PSERVICESINK serviceSink) = 0;
  virtual void STDMETHODCALLTYPE SupportDelayedService() = 0;
  virtual void STDMETHODCALLTYPE RequestDelayedService(ULONGLONG timeInterval) = 0;
  virtual void STDMETHODCALLTYPE CancelDelayedService() = 0;
};
using PSERVICEGROUP = IServiceGroup*;

struct IDmaChannel : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS physicalAddressConstraint) = 0;
  virtual void STDMETHODCALLTYPE FreeBuffer() = 0;
  virtual ULONG STDMETHODCALLTYPE TransferCount() = 0;
  virtual ULONG STDMETHODCALLTYPE MaximumBufferSize() = 0;
  virtual ULONG STDMETHODCALLTYPE AllocatedBufferSize() = 0;
  virtual ULONG STDMETHODCALLTYPE BufferSize() = 0;
  virtual void STDMETHODCALLTYPE SetBufferSize(ULONG bufferSize) = 0;
  virtual PVOID STDMETHODCALLTYPE SystemAddress() = 0;
  virtual PHYSICAL_ADDRESS STDMETHODCALLTYPE PhysicalAddress() = 0;
  virtual PADAPTER_OBJECT STDMETHODCALLTYPE GetAdapterObject() = 0;
  virtual void STDMETHODCALLTYPE CopyTo(PVOID destination, PVOID source, ULONG byteCount) = 0;
  virtual void STDMETHODCALLTYPE CopyFrom(PVOID destination, PVOID source, ULONG byteCount) = 0;
};
using PDMACHANNEL = IDmaChannel*;

struct IPort : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                                          PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetDeviceProperty(DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                                                       PVOID propertyBuffer, PULONG resultLength) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE NewRegistryKey(IRegistryKey** outRegistryKey, PUNKNOWN outerUnknown,
                                                    ULONG registryKeyType, ACCESS_MASK desiredAccess,
                                                    PVOID objectAttributes, ULONG createOptions,
                                                    PULONG disposition) = 0;
};
using PPORT = IPort*;

struct IPortTopology : IPort {};
using PPORTTOPOLOGY = IPortTopology*;

struct IPortWaveCyclic : IPort {
  virtual void STDMETHODCALLTYPE Notify(PSERVICEGROUP serviceGroup) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE NewSlaveDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outerUnknown,
                                                        PRESOURCELIST resourceList, ULONG dmaIndex,
                                                        ULONG maximumLength, BOOLEAN demandMode,
                                                        ULONG dmaSpeed) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outerUnknown,
                                                         PRESOURCELIST resourceList, ULONG maximumLength,
                                                         BOOLEAN dma32BitAddresses, BOOLEAN dma64BitAddresses,
                                                         ULONG dmaWidth, ULONG dmaSpeed) = 0;
};
using PPORTWAVECYCLIC = IPortWaveCyclic*;

struct IMiniport : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetDescription(PPCFILTER_DESCRIPTOR* description) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange,
                                                           PKSDATARANGE matchingDataRange, ULONG outputBufferLength,
                                                           PVOID resultantFormat, PULONG resultantFormatLength) = 0;
};
using PMINIPORT = IMiniport*;

struct IMiniportTopology : IMiniport {
  virtual NTSTATUS STDMETHODCALLTYPE Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList,
                                          PPORTTOPOLOGY port) = 0;
};
using PMINIPORTTOPOLOGY = IMiniportTopology*;

struct IMiniportWaveCyclicStream : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE SetFormat(PKSDATAFORMAT dataFormat) = 0;
  virtual ULONG STDMETHODCALLTYPE SetNotificationFreq(ULONG interval, PULONG framingSize) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetState(KSSTATE state) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetPosition(PULONG position) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE NormalizePhysicalPosition(PLONGLONG physicalPosition) = 0;
  virtual void STDMETHODCALLTYPE Silence(PVOID buffer, ULONG byteCount) = 0;
};
using PMINIPORTWAVECYCLICSTREAM = IMiniportWaveCyclicStream*;

struct IMiniportWaveCyclic : IMiniport {
  virtual NTSTATUS STDMETHODCALLTYPE Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList,
                                          PPORTWAVECYCLIC port) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN outerUnknown,
                                               POOL_TYPE poolType, ULONG pin, BOOLEAN capture,
                                               PKSDATAFORMAT dataFormat, PDMACHANNEL* dmaChannel,
                                               PSERVICEGROUP* serviceGroup) = 0;
};
using PMINIPORTWAVECYCLIC = IMiniportWaveCyclic*;

struct IPortEvents : IUnknown {
  virtual void STDMETHODCALLTYPE AddEventToEventList(PKSEVENT_ENTRY eventEntry) = 0;
  virtual void STDMETHODCALLTYPE GenerateEventList(GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId,
                                                   BOOL nodeEvent, ULONG nodeId) = 0;
};
using PPORTEVENTS = IPortEvents*;

struct IPortClsVersion : IUnknown {
  virtual DWORD STDMETHODCALLTYPE GetVersion() = 0;
};
using PPORTCLSVERSION = IPortClsVersion*;

// Port-class versions as IPortClsVersion reports them.
constexpr DWORD kVersionInvalid = ULONG(-1);
constexpr DWORD kVersionWin98 = 1;
constexpr DWORD kVersionWin98SE = 2;
constexpr DWORD kVersionWin2K = 3;
constexpr DWORD kVersionWin98SE_QFE2 = 4;
constexpr DWORD kVersionWin2K_SP2 = 5;
constexpr DWORD kVersionWinME = 6;
constexpr DWORD kVersionWin98SE_QFE3 = 7;
constexpr DWORD kVersionWinME_QFE1 = 8;
constexpr DWORD kVersionWinXP = 9;
constexpr DWORD kVersionWinXPSP1 = 10;
constexpr DWORD kVersionWinServer2003 = 11;
constexpr DWORD kVersionWin2K3SP1 = 12;
constexpr DWORD kVersionWinXPSP2 = 12;
constexpr DWORD kVersionWinVista = 13;

struct IPowerNotify : IUnknown {
  virtual void STDMETHODCALLTYPE PowerChangeNotify(POWER_STATE powerState) = 0;
};
using PPOWERNOTIFY = IPowerNotify*;

struct IAdapterPowerManagement : IUnknown {
  virtual void STDMETHODCALLTYPE PowerChangeState(POWER_STATE newState) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE QueryPowerChangeState(POWER_STATE newStateQuery) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE QueryDeviceCapabilities(PDEVICE_CAPABILITIES powerDeviceCaps) = 0;
};
using PADAPTERPOWERMANAGEMENT = IAdapterPowerManagement*;

struct IUnregisterSubdevice : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE UnregisterSubdevice(PDEVICE_OBJECT deviceObject, PUNKNOWN unknown) = 0;
};
using PUNREGISTERSUBDEVICE = IUnregisterSubdevice*;

struct IUnregisterPhysicalConnection : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE UnregisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown,
                                                                  ULONG fromPin, PUNKNOWN toUnknown,
                                                                  ULONG toPin) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE UnregisterPhysicalConnectionToExternal(PDEVICE_OBJECT deviceObject,
                                                                            PUNKNOWN fromUnknown, ULONG fromPin,
                                                                            PUNICODE_STRING toString,
                                                                            ULONG toPin) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE UnregisterPhysicalConnectionFromExternal(PDEVICE_OBJECT deviceObject,
                                                                              PUNICODE_STRING fromString,
                                                                              ULONG fromPin, PUNKNOWN toUnknown,
                                                                              ULONG toPin) = 0;
};
using PUNREGISTERPHYSICALCONNECTION = IUnregisterPhysicalConnection*;

struct IDrmAudioStream : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE SetContentId(ULONG contentId, PCDRMRIGHTS drmRights) = 0;
};
using PDRMAUDIOSTREAM = IDrmAudioStream*;

// ---- Interface and class ids ------------------------------------------------------------------

inline constexpr GUID IID_IMiniport =
    DEFINE_GUID_VALUE(0xB4C90A24, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
inline constexpr GUID IID_IPort =
    DEFINE_GUID_VALUE(0xB4C90A25, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
inline constexpr GUID IID_IPortWaveCyclic =
    DEFINE_GUID_VALUE(0xB4C90A26, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
inline constexpr GUID IID_IMiniportWaveCyclic =
    DEFINE_GUID_VALUE(0xB4C90A27, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
inline constexpr GUID IID_IMiniportWaveCyclicStream =
    DEFINE_GUID_VALUE(0xB4C90A28, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
inline constexpr GUID IID_IPortTopology =
    DEFINE_GUID_VALUE(0xB4C90A30, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
inline constexpr GUID IID_IMiniportTopology =
    DEFINE_GUID_VALUE(0xB4C90A31, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
inline constexpr GUID IID_IResourceList =
    DEFINE_GUID_VALUE(0x22C6AC60, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
inline constexpr GUID IID_IDmaChannel =
    DEFINE_GUID_VALUE(0x22C6AC61, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
inline constexpr GUID IID_IServiceSink =
    DEFINE_GUID_VALUE(0x22C6AC64, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
inline constexpr GUID IID_IServiceGroup =
    DEFINE_GUID_VALUE(0x22C6AC65, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
inline constexpr GUID IID_IAdapterPowerManagement =
    DEFINE_GUID_VALUE(0x793417D0, 0x35FE, 0x11D1, 0xAD, 0x08, 0x00, 0xA0, 0xC9, 0x0A, 0xB1, 0xB0);
inline constexpr GUID IID_IPowerNotify =
    DEFINE_GUID_VALUE(0x3DD648B8, 0x969F, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
inline constexpr GUID IID_IPortEvents =
    DEFINE_GUID_VALUE(0xA80F29C4, 0x5498, 0x11D2, 0x95, 0xD9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
inline constexpr GUID IID_IPortClsVersion =
    DEFINE_GUID_VALUE(0x7D89A7BB, 0x869B, 0x4567, 0x8D, 0xBE, 0x1E, 0x16, 0x8C, 0xC8, 0x53, 0xDE);
inline constexpr GUID IID_IUnregisterSubdevice =
    DEFINE_GUID_VALUE(0x16738177, 0xE199, 0x41F9, 0x9A, 0x87, 0xAB, 0xB2, 0xA5, 0x43, 0x2F, 0x21);
inline constexpr GUID IID_IUnregisterPhysicalConnection =
    DEFINE_GUID_VALUE(0x6C38E231, 0x2A0D, 0x428D, 0x81, 0xF8, 0x07, 0xCC, 0x42, 0x8B, 0xB9, 0xA4);
inline constexpr GUID IID_IDrmAudioStream =
    DEFINE_GUID_VALUE(0x1915C967, 0x3299, 0x48CB, 0xA3, 0xE4, 0x69, 0xFD, 0x1D, 0x1B, 0x30, 0x6E);

inline constexpr GUID CLSID_PortTopology =
    DEFINE_GUID_VALUE(0xB4C90A32, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
inline constexpr GUID CLSID_PortWaveCyclic =
    DEFINE_GUID_VALUE(0xB4C90A2A, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);

// ---- Services ------------------------------------------------------------------------------------

using PCPFNSTARTDEVICE = NTSTATUS (*)(PDEVICE_OBJECT deviceObject, PIRP irp, PRESOURCELIST resourceList);

NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPathName,
                                   PDRIVER_ADD_DEVICE addDevice);
NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                            PCPFNSTARTDEVICE startDevice, ULONG maxObjects, ULONG deviceExtensionSize);
NTSTATUS PcDispatchIrp(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS PcCompleteIrp(PDEVICE_OBJECT deviceObject, PIRP irp, NTSTATUS ntStatus);
NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN unknown, PVOID deviceObject);
NTSTATUS PcUnregisterAdapterPowerManagement(PDEVICE_OBJECT deviceObject);
NTSTATUS PcGetDeviceProperty(PVOID deviceObject, DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                             PVOID propertyBuffer, PULONG resultLength);
NTSTATUS PcNewPort(PPORT* outPort, REFCLSID classId);
NTSTATUS PcNewServiceGroup(PSERVICEGROUP* outServiceGroup, PUNKNOWN outerUnknown);
NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT deviceObject, PWSTR name, PUNKNOWN unknown);
NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown, ULONG fromPin,
                                      PUNKNOWN toUnknown, ULONG toPin);
NTSTATUS PcForwardContentToDeviceObject(ULONG contentId, PVOID reserved, PCDRMFORWARD drmForward);

// ---- Kernel-streaming I/O controls on filter and pin files ---------------------------------------
constexpr ULONG IOCTL_KS_PROPERTY = CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_KS_ENABLE_EVENT = CTL_CODE(FILE_DEVICE_KS, 0x001, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_KS_DISABLE_EVENT = CTL_CODE(FILE_DEVICE_KS, 0x002, METHOD_NEITHER, FILE_ANY_ACCESS);
static_assert(IOCTL_KS_PROPERTY == 0x002F0003);
