// The system version the driver runs on. A test picks it (XP, Vista, 7, ...);
// RtlIsNtDdiVersionAvailable exists only from Vista on, so a driver finds it
// through MmGetSystemRoutineAddress and falls back to PsGetVersion.
#pragma once

#include "kernel/ntdef.h"

// NTDDI values: major, minor, service pack and sub-version, a byte each.
constexpr ULONG NTDDI_WIN2K = 0x05000000;
constexpr ULONG NTDDI_WINXP = 0x05010000;
constexpr ULONG NTDDI_WINXPSP1 = 0x05010100;
constexpr ULONG NTDDI_WINXPSP2 = 0x05010200;
constexpr ULONG NTDDI_WINXPSP3 = 0x05010300;
constexpr ULONG NTDDI_WS03 = 0x05020000;
constexpr ULONG NTDDI_VISTA = 0x06000000;
constexpr ULONG NTDDI_VISTASP1 = 0x06000100;
constexpr ULONG NTDDI_VISTASP2 = 0x06000200;
constexpr ULONG NTDDI_WIN7 = 0x06010000;
constexpr ULONG NTDDI_WIN8 = 0x06020000;
constexpr ULONG NTDDI_WINBLUE = 0x06030000;
constexpr ULONG NTDDI_WIN10 = 0x0A000000;

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG version);
// The address of a kernel routine by its exported name, or NULL when the
// configured system does not have it.
PVOID MmGetSystemRoutineAddress(PUNICODE_STRING systemRoutineName);
// Returns FALSE (a free build). `csdVersion` is pointed at the service pack
// text, empty without a service pack.
BOOLEAN PsGetVersion(PULONG majorVersion, PULONG minorVersion, PULONG buildNumber, PUNICODE_STRING csdVersion);

namespace platform::version {
// Configures the system by NTDDI value (a service pack in the third byte);
// the build number follows the release. Default: Windows 7 SP1.
void SetSystem(ULONG ntddi);
ULONG GetSystem();
void ResetForTest();
}  // namespace platform::version
