// Level 3 of the spare conversion kernels.
#include "primitives/unreached/conversion_kernels/ConvKernels.h"
#include "primitives/unreached/conversion_kernels/ConvKernelsImpl.h"

#define CONV_LEVEL 3
// Names put the level before the word Kernel and the variant after it.
#define CONV_L(name) name##L3Kernel
#define CONV_LZE(name) name##L3KernelZeroOrEven
#define CONV_LAWAY(name) name##L3KernelAway
#define CONV_LSCALED(name, variant) name##L3Kernel##variant
#include "primitives/unreached/conversion_kernels/ConvKernelEntries.inc"
