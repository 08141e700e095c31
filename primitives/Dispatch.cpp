#include "primitives/Dispatch.h"

int32_t CpuDispatchIndex = 0;
