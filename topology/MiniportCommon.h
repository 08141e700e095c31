// What both miniports do alike: their paged description tables, and the
// device power state they keep from the port's notifications.
#pragma once

#include "kernel/nt.h"

namespace miniport_common {

// `count` zeroed entries of paged pool, or null when the pool is out.
template <typename T>
T* AllocateZeroed(ULONG tag, SIZE_T count = 1) {
  const SIZE_T bytes = count * sizeof(T);
  auto* p = static_cast<T*>(ExAllocatePoolWithTag(PagedPool, bytes, tag));
  if (p) RtlZeroMemory(p, bytes);
  return p;
}

template <typename T>
void FreeAndClear(T*& p) {
  if (p) ExFreePool(const_cast<void*>(static_cast<const void*>(p)));
  p = nullptr;
}

// A new state is kept when it differs and is a real device state (D0-D3).
inline ULONG NextDevicePowerState(ULONG current, POWER_STATE requested) {
  const ULONG state = requested.DeviceState;
  return state != current && state >= PowerDeviceD0 && state <= PowerDeviceD3 ? state : current;
}

}  // namespace miniport_common
