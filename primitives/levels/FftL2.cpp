// The level-2 builds of the real FFT and its complex machinery (declared in
// primitives/levels/FftLevels.h; this file is compiled with level 2's
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

#define FFT_LEVEL_NUMBER 2
#define FFT_LEVEL_SUFFIX L2
#define FFT_LEVEL_SHARED_SUFFIX L2L3
#include "primitives/levels/FftLevelEntries.inc"
