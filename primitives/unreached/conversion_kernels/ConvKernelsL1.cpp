// Level 1 of the spare conversion kernels.
#include "primitives/unreached/conversion_kernels/ConvKernels.h"
#include "primitives/unreached/conversion_kernels/ConvKernelsImpl.h"

#define CONV_LEVEL 1
// Names put the level before the word Kernel and the variant after it.
#define CONV_L(name) name##L1Kernel
#define CONV_LZE(name) name##L1KernelZeroOrEven
#define CONV_LAWAY(name) name##L1KernelAway
#define CONV_LSCALED(name, variant) name##L1Kernel##variant
#include "primitives/unreached/conversion_kernels/ConvKernelEntries.inc"
