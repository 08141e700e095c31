// Level 3 of the FIR filters.
#define FIR_LEVEL_SUFFIX L3
#include "primitives/levels/FirLevelEntries.inc"
