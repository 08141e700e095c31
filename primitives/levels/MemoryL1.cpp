// Level 1 of the memory primitives: lddqu for sources off a 16-byte boundary,
// streaming from 512 KiB against the cache share of one core.
#define MEMORY_LEVEL_NUMBER 1
#define MEMORY_LEVEL_SUFFIX L1
#include "primitives/levels/MemoryLevelEntries.inc"
