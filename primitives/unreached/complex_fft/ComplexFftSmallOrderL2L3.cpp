// The order-2 complex FFT kernels that levels 2 and 3 share (declared in
// ComplexFft.h; compiled with level 2's instruction set, which level 3
// includes).
#include "primitives/unreached/complex_fft/ComplexFft.h"

namespace {
#include "primitives/unreached/complex_fft/ComplexFftSmallOrder.inc"
}  // namespace

void ComplexFftSmallOrderKernelO2L2L3(const float* src, float* dst) { ComplexDft4<false>(src, dst, 1.0f); }
void ComplexFftSmallOrderKernelO2ScaledL2L3(const float* src, float* dst, float s) { ComplexDft4<true>(src, dst, s); }
