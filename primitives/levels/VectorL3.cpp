// Level 3 of the element-wise multiply, divide, absolute value and extremes
// (the add builds and the multiply kernels are shared with level 2:
// VectorL2L3.cpp).
#define VECTOR_LEVEL_NUMBER 3
#define VECTOR_LEVEL_SUFFIX L3
#include "primitives/levels/VectorLevelEntries.inc"
