// Level 3 of the memory primitives: the level-2/3 design (palignr for
// sources 4, 8 or 12 bytes off a boundary, streaming from 1 MiB).
#define MEMORY_LEVEL_NUMBER 3
#define MEMORY_LEVEL_SUFFIX L3
#include "primitives/levels/MemoryLevelEntries.inc"
