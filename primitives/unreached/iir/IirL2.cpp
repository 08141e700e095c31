// Level 2 of the IIR family: the kernels and the primitive's builds.
#include "primitives/levels/MemoryLevels.h"
#include "primitives/levels/VectorLevels.h"
#include "primitives/unreached/iir/IirLevelKernels.h"

#define IIR_LEVEL_SUFFIX L2
#include "primitives/unreached/iir/IirLevelEntries.inc"

// Levels 2 and 3 share this build.
DspStatus IirFilterStateSizeL2L3(int32_t order, int32_t* bytes) { return iir_level::StateSize(order, bytes); }
