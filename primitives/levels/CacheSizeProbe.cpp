// The cache measure of the level builds' streaming decision. Plain x86-64
// code: every level calls this one build.
#include "primitives/CpuId.h"
#include "primitives/levels/MemoryLevels.h"

uint64_t CacheSizeProbe(bool perCore) {
  const uint64_t bytes = QueryCacheSize();
  if (bytes == 0) return CACHE_SIZE_NONE;
  const int32_t cores = perCore ? CpuCoresPerPackage() : 1;
  return bytes / static_cast<uint64_t>(cores);
}
