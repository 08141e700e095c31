// Level 2 of the FIR filters.
#define FIR_LEVEL_SUFFIX L2
#include "primitives/levels/FirLevelEntries.inc"
