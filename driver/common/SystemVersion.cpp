#include "driver/common/SystemVersion.h"

namespace {
using PFNRTLISNTDDIVERSIONAVAILABLE = BOOLEAN (*)(ULONG version);
}  // namespace

bool IsSystemAtLeast(ULONG ntddi) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"RtlIsNtDdiVersionAvailable");
  auto isAvailable = reinterpret_cast<PFNRTLISNTDDIVERSIONAVAILABLE>(MmGetSystemRoutineAddress(&name));
  if (isAvailable) return isAvailable(ntddi) != FALSE;
  ULONG major = 0, minor = 0;
  PsGetVersion(&major, &minor, nullptr, nullptr);
  return ((major * 256 + minor) << 16) >= ntddi;
}
