// Registry keys as the port-class framework hands them to a driver:
// PcNewRegistryKey opens a device's driver, device or hardware-profile key
// (or any key by name) and wraps the handle in an IRegistryKey object.
#pragma once

#include "kernel/nt.h"

// The kinds of key PcNewRegistryKey opens.
enum {
  GeneralRegistryKey = 0,    // by object attributes
  DeviceRegistryKey = 1,     // the device instance's "Device Parameters"
  DriverRegistryKey = 2,     // the driver's software key
  HwProfileRegistryKey = 3,  // the instance key of the current hardware profile
  DeviceInterfaceRegistryKey = 4,
};

struct RTL_QUERY_REGISTRY_TABLE;
using PRTL_QUERY_REGISTRY_TABLE = RTL_QUERY_REGISTRY_TABLE*;

inline constexpr GUID IID_IRegistryKey =
    DEFINE_GUID_VALUE(0xE8DA4302, 0xF304, 0x11D0, 0x95, 0x8B, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);

// Every operation runs at PASSIVE_LEVEL and answers as the Zw routine it
// wraps does (size queries included).
struct IRegistryKey : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE QueryKey(KEY_INFORMATION_CLASS keyInformationClass, PVOID keyInformation,
                                              ULONG length, PULONG resultLength) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE EnumerateKey(ULONG index, KEY_INFORMATION_CLASS keyInformationClass,
                                                  PVOID keyInformation, ULONG length, PULONG resultLength) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE QueryValueKey(PUNICODE_STRING valueName,
                                                   KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                                                   PVOID keyValueInformation, ULONG length, PULONG resultLength) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE EnumerateValueKey(ULONG index,
                                                       KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                                                       PVOID keyValueInformation, ULONG length,
                                                       PULONG resultLength) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetValueKey(PUNICODE_STRING valueName, ULONG type, PVOID data, ULONG dataSize) = 0;
  // Not offered by the stand-in: STATUS_NOT_IMPLEMENTED.
  virtual NTSTATUS STDMETHODCALLTYPE QueryRegistryValues(PRTL_QUERY_REGISTRY_TABLE queryTable, PVOID context) = 0;
  // Opens the subkey, creating it when absent.
  virtual NTSTATUS STDMETHODCALLTYPE NewSubKey(IRegistryKey** registrySubKey, PUNKNOWN outerUnknown,
                                               ACCESS_MASK desiredAccess, PUNICODE_STRING subKeyName,
                                               ULONG createOptions, PULONG disposition) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE DeleteKey() = 0;
};
using PREGISTRYKEY = IRegistryKey*;

// Opens a key and hands out its IRegistryKey with one reference. For the
// device-bound kinds `deviceObject` is any device of the adapter's stack: the
// key belongs to the physical device at its bottom. The object is never
// aggregated: `outerUnknown` must be null.
NTSTATUS PcNewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown, ULONG registryKeyType,
                          ACCESS_MASK desiredAccess, PVOID deviceObject, PVOID subDevice,
                          POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions, PULONG disposition);
