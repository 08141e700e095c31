// Cache-aware fills of 16-, 64- and 128-bit elements (the processor-level
// fill kernels; one copy serves levels 1 to 3). Each writes *value into
// count elements from dst and returns dst. Fills of at most 1 MiB use
// regular stores; a larger fill asks the processor for its largest cache and
// bypasses the cache with non-temporal stores when it does not fit. count is
// at least 1; elements are raw bit patterns.
#pragma once

#include <cstdint>

#include "primitives/CpuId.h"  // QueryCacheSize, the size a large fill asks for

struct Element128 {
  uint64_t lo;
  uint64_t hi;
};

uint16_t* FillCacheAwareU16(const uint16_t* value, uint16_t* dst, uint32_t count);
uint64_t* FillCacheAwareU64(const uint64_t* value, uint64_t* dst, uint32_t count);
Element128* FillCacheAwareU128(const Element128* value, Element128* dst, uint32_t count);
