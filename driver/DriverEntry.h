// The driver's outer shell inside the port-class framework: the entry
// routine, the adapter's AddDevice and StartDevice, and the four dispatch
// routines the driver takes over (plug and play, create, close, device I/O
// control). Everything else stays with the port class driver.
#pragma once

#include "driver/common/PrivateInterfaces.h"

// The two private device interfaces. Opens of the ASIO interface are served
// by the device object's IAsioPrivate; opens of the enumeration interface go
// to the port class driver like any other request.
inline constexpr GUID GUID_ASIO_PRIVATE_INTERFACE =
    DEFINE_GUID_VALUE(0x519F2570, 0xA253, 0x4E10, 0x8B, 0xA1, 0xB3, 0xBC, 0x84, 0x45, 0xAE, 0xCE);
inline constexpr GUID GUID_ENUM_PRIVATE_INTERFACE =
    DEFINE_GUID_VALUE(0x4FB0624C, 0x52B6, 0x4ABF, 0x93, 0x85, 0x1D, 0x9E, 0x27, 0xD0, 0x8E, 0x90);
inline constexpr WCHAR ASIO_REFERENCE_STRING[] = u"VZASIOPrivateInterface";
inline constexpr WCHAR ASIO_FILE_NAME[] = u"\\VZASIOPrivateInterface";
inline constexpr WCHAR ENUM_REFERENCE_STRING[] = u"VZEnumPrivateInterface";

// The oldest system the driver runs on.
constexpr ULONG DRIVER_MINIMUM_DDI_VERSION = 0x05010000;
// The oldest port class driver that has what the filters need.
constexpr DWORD DRIVER_MINIMUM_PORTCLS_VERSION = 11;
constexpr ULONG DRIVER_MAX_SUBDEVICES = 20;
constexpr ULONG DRIVER_EXTENSION_SIZE = PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(DeviceExtension);
constexpr ULONG ENGINE_NAME_TAG = MakeTag("Temp");

// The miniports StartDevice installs its filters with: the topology
// miniport's factory and the wave miniport's, handed to every stream
// engine. They are the driver's own (CMiniportTopology, CMiniportWaveCyclic)
// unless a test puts miniports of its own in their place. Returns the
// previous setting.
struct MiniportFactories {
  PFNCREATEMINIPORT topology;
  PFNCREATEWAVEMINIPORT wave;
};
MiniportFactories SetMiniportFactories(const MiniportFactories& factories);
MiniportFactories GetMiniportFactories();

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject, PIRP irp, PRESOURCELIST resourceList);

// Creates a port of `portClassId`, its miniport through `factory`, binds
// them and registers the pair under the miniport's name. `port` (optional)
// gets the port's IUnknown with a reference of the caller's own; `miniport`
// gets the miniport's IUnknown without one (the port keeps it alive).
NTSTATUS InstallSubdevice(PDEVICE_OBJECT deviceObject, PIRP irp, REFCLSID portClassId, REFCLSID miniportClassId,
                          PFNCREATEMINIPORT factory, PUNKNOWN adapter, PUNKNOWN* port, PUNKNOWN* miniport);

NTSTATUS DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);

// The name StartDevice gives a stream engine: the category's prefix, "Out"
// or "In", and a two-digit number per direction and category, taken from
// and advancing the extension's counters. A category outside the prefix
// table counts as Stream. `name` has room for STREAM_ENGINE_NAME_CHARS
// characters.
NTSTATUS FormatEngineName(DeviceExtension* extension, ULONG isCapture, ULONG pinCategory, PWSTR name);
