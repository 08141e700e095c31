// The level-3 builds of the transform kernels for other data layouts
// (declared in FftKernels.h; this file is compiled with level 3's
// instruction set).
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "primitives/Memory.h"
#include "primitives/RealFft.h"
#include "primitives/Vector.h"
#include "primitives/levels/FftLevels.h"
#include "primitives/unreached/fft_kernels/FftKernels.h"

namespace {
#include "primitives/levels/FftLevelKernels.inc"
#include "primitives/unreached/fft_kernels/FftBitReverseKernels.inc"
#include "primitives/unreached/fft_kernels/FftLaneKernels.inc"
#include "primitives/unreached/fft_kernels/FftSplitKernels.inc"
}  // namespace

#define FFT_KERNELS_LEVEL_NUMBER 3
#define FFT_KERNELS_LEVEL_SUFFIX L3
#include "primitives/unreached/fft_kernels/FftKernelEntries.inc"
