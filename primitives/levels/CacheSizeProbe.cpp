// The cache measure of the level builds' streaming decision. Plain x86-64
// code: every level calls this one build.
#include "primitives/CpuId.h"
#include "primitives/levels/MemoryLevels.h"

uint64_t CacheSizeProbe(bool perCore) {
  if (CpuIsReferenceVendor() == 0) return CACHE_SIZE_NONE;
  const int32_t cores = perCore ? CpuCoresPerPackage() : 1;
  // The descriptor table in the word-pair form of the lookup; its order, the
  // largest cache first, makes the first match the largest cache listed.
  uint32_t sizeCodes[29][2];
  for (int row = 0; row < 29; ++row) {
    sizeCodes[row][0] = CacheDescriptorTable[row][0];
    sizeCodes[row][1] = CacheDescriptorTable[row][1];
  }
  const int32_t code = CacheDescriptorLookup(sizeCodes);
  if (code < 0) return CACHE_SIZE_NONE;
  return CacheSizeFromCode(static_cast<uint8_t>(code)) / static_cast<uint64_t>(cores);
}
