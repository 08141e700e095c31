// Level 1 of the FIR filters.
#define FIR_LEVEL_SUFFIX L1
#include "primitives/levels/FirLevelEntries.inc"
