#include "primitives/Dispatch.h"

int32_t CpuDispatchIndex = 0;

int32_t SetCpuDispatchIndexForTest(int32_t level) {
  if (level < 0 || level >= CPU_LEVEL_COUNT) return -1;
  const int32_t previous = CpuDispatchIndex;
  CpuDispatchIndex = level;
  return previous;
}
