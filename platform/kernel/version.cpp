#include "kernel/version.h"

#include <atomic>
#include <string>

#include "kernel/irql.h"
#include "kernel/rtl.h"

namespace {

constexpr ULONG kDefaultSystem = NTDDI_WIN7 | 0x0100;  // Windows 7 SP1
std::atomic<ULONG> g_system{kDefaultSystem};

ULONG Major(ULONG ntddi) { return ntddi >> 24; }
ULONG Minor(ULONG ntddi) { return (ntddi >> 16) & 0xFF; }
ULONG ServicePack(ULONG ntddi) { return (ntddi >> 8) & 0xFF; }

ULONG BuildNumber(ULONG ntddi) {
  const ULONG release = ntddi & 0xFFFF0000;
  const ULONG sp = ServicePack(ntddi);
  switch (release) {
    case NTDDI_WIN2K:
      return 2195;
    case NTDDI_WINXP:
      return 2600;
    case NTDDI_WS03:
      return 3790;
    case NTDDI_VISTA:
      return 6000 + sp;
    case NTDDI_WIN7:
      return 7600 + sp;
    case NTDDI_WIN8:
      return 9200;
    case NTDDI_WINBLUE:
      return 9600;
    default:
      return 19041;
  }
}

struct Routine {
  const char16_t* name;
  PVOID address;
  ULONG since;  // first NTDDI that has it
};

// The routines a driver looks up at run time. Everything else the stand-in
// offers is linked directly.
const Routine kRoutines[] = {
    {u"RtlIsNtDdiVersionAvailable", reinterpret_cast<PVOID>(&RtlIsNtDdiVersionAvailable), NTDDI_VISTA},
    {u"PsGetVersion", reinterpret_cast<PVOID>(&PsGetVersion), NTDDI_WIN2K},
};

}  // namespace

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG version) { return version <= g_system.load(); }

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING systemRoutineName) {
  KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "MmGetSystemRoutineAddress above PASSIVE_LEVEL");
  std::u16string name = platform::ToU16(systemRoutineName);
  for (const Routine& r : kRoutines)
    if (name == r.name) return g_system.load() >= r.since ? r.address : nullptr;
  return nullptr;
}

BOOLEAN PsGetVersion(PULONG majorVersion, PULONG minorVersion, PULONG buildNumber, PUNICODE_STRING csdVersion) {
  const ULONG system = g_system.load();
  if (majorVersion) *majorVersion = Major(system);
  if (minorVersion) *minorVersion = Minor(system);
  if (buildNumber) *buildNumber = BuildNumber(system);
  if (csdVersion) {
    static const char16_t* const kServicePacks[] = {u"", u"Service Pack 1", u"Service Pack 2", u"Service Pack 3"};
    ULONG sp = ServicePack(system);
    RtlInitUnicodeString(csdVersion, kServicePacks[sp < 4 ? sp : 0]);
  }
  return FALSE;
}

namespace platform::version {
void SetSystem(ULONG ntddi) { g_system = ntddi; }
ULONG GetSystem() { return g_system.load(); }
void ResetForTest() { g_system = kDefaultSystem; }
}  // namespace platform::version
