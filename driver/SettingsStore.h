// The driver's persistent settings: registry values in the "Settings" key
// below the driver's software key (or in one subkey of "Settings"). Every
// value the driver writes is REG_BINARY; readers take the raw bytes back.
// All of it runs at PASSIVE_LEVEL; every call opens and closes its own keys.
#pragma once

#include "kernel/nt.h"

constexpr ULONG SETTINGS_READ = 1;
constexpr ULONG SETTINGS_WRITE = 2;

// Reads (SETTINGS_READ) or writes (SETTINGS_WRITE) one value. Only REG_SZ,
// REG_BINARY and REG_DWORD are accepted. A read copies the value's bytes to
// `data` when they fit in `length` (STATUS_UNSUCCESSFUL and nothing copied
// otherwise) and leaves the bytes beyond them untouched. `deviceObject` is
// the adapter's functional device object.
NTSTATUS AccessSettingsValue(PDEVICE_OBJECT deviceObject, ULONG operation, PCWSTR subkeyName, PCWSTR valueName,
                             ULONG type, PVOID data, ULONG length);
// A value directly in "Settings", REG_BINARY.
NTSTATUS AccessSetting(PDEVICE_OBJECT deviceObject, ULONG operation, PVOID data, ULONG length, PCWSTR valueName);
// A value named "<baseName><index>" (at most 49 characters).
NTSTATUS AccessIndexedSetting(PDEVICE_OBJECT deviceObject, ULONG operation, PVOID data, ULONG length, PCWSTR baseName,
                              ULONG index);
