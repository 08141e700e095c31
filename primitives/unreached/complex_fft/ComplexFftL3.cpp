// The level-3 builds of the complex FFT (declared in ComplexFft.h; this file
// is compiled with level 3's instruction set).
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

#define COMPLEX_FFT_LEVEL_NUMBER 3
#define COMPLEX_FFT_LEVEL_SUFFIX L3
#define COMPLEX_FFT_LEVEL_SHARED_SUFFIX L2L3
#include "primitives/unreached/complex_fft/ComplexFftLevel.inc"
