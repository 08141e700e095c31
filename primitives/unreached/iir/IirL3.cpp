// Level 3 of the IIR family: the kernels and the primitive's builds.
#include "primitives/levels/MemoryLevels.h"
#include "primitives/levels/VectorLevels.h"
#include "primitives/unreached/iir/IirLevelKernels.h"

#define IIR_LEVEL_SUFFIX L3
#include "primitives/unreached/iir/IirLevelEntries.inc"
