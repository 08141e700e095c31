// Level 2 of the element-wise multiply, divide, absolute value and extremes
// (the add builds and the multiply kernels are shared with level 3:
// VectorL2L3.cpp).
#define VECTOR_LEVEL_NUMBER 2
#define VECTOR_LEVEL_SUFFIX L2
#include "primitives/levels/VectorLevelEntries.inc"
