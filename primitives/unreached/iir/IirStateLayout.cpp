// The size of an IIR state, one computation for the baseline and every level.
#include "primitives/unreached/iir/IirStateLayout.h"

int64_t IirStateBytes(int32_t order, int32_t tag, CpuLevel level) {
  const int64_t n = order;
  const int64_t common = 16 * (n / 2) + 16 * (n / 4);
  if (level == CPU_LEVEL_BASELINE) return common + 144;
  return 32 * n + common + 4344 + (tag == IIR_STATE_TAG ? 0 : IIR_WORK_BYTES);
}
