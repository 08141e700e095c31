// Values of the device instance's own registry keys, which the system keeps
// per device rather than per driver: the "Device Parameters" values the
// selective-suspend switch lives in, and the instance key that the driver's
// friendly name goes to. The key is found by absolute path from the device's
// hardware IDs and its instance key name.
#pragma once

#include "kernel/nt.h"

// Value indexes of ReadDeviceInstanceParameter.
constexpr ULONG DEVICE_PARAMETER_SELECTIVE_SUSPENDED = 0;        // "DeviceSelectiveSuspended"
constexpr ULONG DEVICE_PARAMETER_SELECTIVE_SUSPEND_ENABLED = 1;  // "SelectiveSuspendEnabled"

// The hardware IDs of a physical device and the name of its instance key,
// and the instance keys they lead to.
class CDeviceInstanceKeys {
 public:
  CDeviceInstanceKeys() = default;
  ~CDeviceInstanceKeys();
  CDeviceInstanceKeys(const CDeviceInstanceKeys&) = delete;
  CDeviceInstanceKeys& operator=(const CDeviceInstanceKeys&) = delete;

  // Reads both from the PDO. STATUS_NO_MEMORY when a buffer cannot be had,
  // otherwise the status of the failing system call.
  NTSTATUS Init(PDEVICE_OBJECT physicalDeviceObject);

  // The hardware IDs in order: NextHardwareId(nullptr) is the first, null
  // after the last. The first ID ends at its first comma.
  PCWSTR NextHardwareId(PCWSTR previous) const;
  PCWSTR GetKeyName() const { return m_KeyName; }

  // Opens "\Registry\Machine\SYSTEM\CurrentControlSet\Enum\<id>\<key name>",
  // followed by "\<tail>" when a tail is given, and falls back to the same
  // path below "\Registry\Machine\Enum". Paths too long for a counted string
  // fail with STATUS_NAME_TOO_LONG.
  NTSTATUS OpenInstanceKey(PCWSTR hardwareId, PCWSTR tail, HANDLE* key) const;

 private:
  PWCHAR m_HardwareIds = nullptr;  // the multi-string, with two extra terminators
  size_t m_HardwareIdChars = 0;    // characters in m_HardwareIds, extra terminators included
  size_t m_FirstIdChars = 0;       // the first ID's length before its comma was cut
  PWCHAR m_KeyName = nullptr;
};

// Reads a "Device Parameters" value of the device by index into `buffer`:
// the first hardware ID whose key holds the value decides; a value longer
// than `length` is STATUS_UNSUCCESSFUL. Any other index is
// STATUS_INVALID_PARAMETER.
NTSTATUS ReadDeviceInstanceParameter(PDEVICE_OBJECT physicalDeviceObject, ULONG parameterIndex, ULONG length,
                                     PVOID buffer);
