// Level 2 of the spare conversion kernels.
#include "primitives/unreached/conversion_kernels/ConvKernels.h"
#include "primitives/unreached/conversion_kernels/ConvKernelsImpl.h"

#define CONV_LEVEL 2
// Names put the level before the word Kernel and the variant after it.
#define CONV_L(name) name##L2Kernel
#define CONV_LZE(name) name##L2KernelZeroOrEven
#define CONV_LAWAY(name) name##L2KernelAway
#define CONV_LSCALED(name, variant) name##L2Kernel##variant
#include "primitives/unreached/conversion_kernels/ConvKernelEntries.inc"
