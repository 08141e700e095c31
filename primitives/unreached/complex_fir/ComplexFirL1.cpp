// Level 1 of the complex FIR kernels.
#include "primitives/unreached/complex_fir/ComplexFirKernels.h"

#define CFIR_L(name, variant) name##L1##variant
#include "primitives/unreached/complex_fir/ComplexFirLevelEntries.inc"
