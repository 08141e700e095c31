// The FFT table builders that levels 2 and 3 share (declared in
// primitives/levels/FftLevels.h).
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "primitives/Memory.h"
#include "primitives/RealFftSetup.h"
#include "primitives/levels/FftLevels.h"

namespace {
#include "primitives/levels/FftLevelKernels.inc"
}  // namespace

int32_t* BuildBitReverseSwapListL2L3(int32_t order, int32_t* table) { return SwapListBody(order, table); }

#define FFT_SHARED_SUFFIX L2L3
#define FFT_SHARED_PLAN_LEVEL 2
#define FFT_SHARED_SWAP_LIST BuildBitReverseSwapListL2L3
#include "primitives/levels/FftSharedTableBuilders.inc"
