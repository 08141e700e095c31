// The level-1 builds of the real FFT and its complex machinery (declared in
// primitives/levels/FftLevels.h; this file is compiled with level 1's
// instruction set).
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "primitives/Memory.h"
#include "primitives/RealFftSetup.h"
#include "primitives/levels/FftLevels.h"
#include "primitives/levels/MemoryLevels.h"
#include "primitives/levels/VectorLevels.h"

namespace {
#include "primitives/levels/FftLevelKernels.inc"
}  // namespace

#define FFT_LEVEL_NUMBER 1
#define FFT_LEVEL_SUFFIX L1
#define FFT_LEVEL_SHARED_SUFFIX L1
#include "primitives/levels/FftLevelEntries.inc"

// Level 1's builds of the table builders that levels 2 and 3 share
// (FftTablesL2L3.cpp); its swap list is the baseline's (primitives/RealFftSetup.h).
#define FFT_SHARED_SUFFIX L1
#define FFT_SHARED_PLAN_LEVEL 1
#define FFT_SHARED_SWAP_LIST BuildBitReverseSwapList
#include "primitives/levels/FftSharedTableBuilders.inc"
