// Level 1 of the IIR family: the kernels and the primitive's builds.
#include "primitives/levels/MemoryLevels.h"
#include "primitives/levels/VectorLevels.h"
#include "primitives/unreached/iir/IirLevelKernels.h"

#define IIR_LEVEL_SUFFIX L1
#include "primitives/unreached/iir/IirLevelEntries.inc"

DspStatus IirFilterStateSizeL1(int32_t order, int32_t* bytes) { return iir_level::StateSize(order, bytes); }
