// The library's memory hooks and the 32-byte aligned blocks built on them.
//
// The library allocates only through DspAllocHooks; the defaults take
// nonpaged pool with the tag "PRIM". A DspMalloc block starts on a 32-byte
// boundary and the 8 bytes just below it hold the pointer the allocate hook
// returned, which DspFree hands back to the free hook.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"

struct DspAllocHookTable {
  void* (*allocate)(uint32_t bytes);
  // Never called by the library; kept for callers that install their own set.
  void* (*allocateArray)(uint32_t count, uint32_t elementBytes);
  // Reserved: the default answers 0 for any argument and nothing calls it.
  uintptr_t (*reserved)(uintptr_t argument);
  void (*free)(void* raw);
};

// The hooks in force. Nothing in the driver replaces the defaults; a caller
// that installs its own set puts the previous one back when it is done.
extern DspAllocHookTable DspAllocHooks;

void* DspPoolAlloc(uint32_t bytes);
void* DspPoolAllocArray(uint32_t count, uint32_t elementBytes);
uintptr_t DspPoolReserved(uintptr_t argument);
void DspPoolFree(void* raw);

// size <= 0, or an allocation failure: null. The caller turns null into
// DSP_STATUS_NO_MEMORY.
void* DspMalloc(int32_t size);
// null does nothing.
void DspFree(void* block);

// A DspMalloc block of len floats; null for len <= 0 or when 4 * len plus the
// block overhead does not fit the allocate hook's 32-bit byte count.
float* VecAllocF32(int32_t len);
float* VecAllocF32L0(int32_t len);

