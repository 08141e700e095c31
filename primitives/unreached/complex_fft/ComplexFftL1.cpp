// The level-1 builds of the complex FFT (declared in ComplexFft.h; this file
// is compiled with level 1's instruction set).
#include <cmath>
#include <cstdint>

#include "primitives/Memory.h"
#include "primitives/RealFft.h"
#include "primitives/levels/FftLevels.h"
#include "primitives/levels/VectorLevels.h"
#include "primitives/unreached/complex_fft/ComplexFft.h"

namespace {
#include "primitives/unreached/complex_fft/ComplexFftBuild.inc"
#include "primitives/unreached/complex_fft/ComplexFftSmallOrder.inc"
}  // namespace

#define COMPLEX_FFT_LEVEL_NUMBER 1
#define COMPLEX_FFT_LEVEL_SUFFIX L1
#define COMPLEX_FFT_LEVEL_SHARED_SUFFIX L1
#include "primitives/unreached/complex_fft/ComplexFftLevel.inc"

// Level 1's own build of the order-2 kernels.
void ComplexFftSmallOrderKernelO2L1(const float* src, float* dst) { ComplexDft4<false>(src, dst, 1.0f); }
void ComplexFftSmallOrderKernelO2ScaledL1(const float* src, float* dst, float s) { ComplexDft4<true>(src, dst, s); }
