#include "kernel/irql.h"

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
}

KIRQL KeGetCurrentIrql() { return t_irql; }

void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
  KERNEL_RULE(newIrql >= t_irql, "KeRaiseIrql to a lower IRQL");
  if (oldIrql) *oldIrql = t_irql;
  t_irql = newIrql;
}

void KeLowerIrql(KIRQL newIrql) {
  KERNEL_RULE(newIrql <= t_irql, "KeLowerIrql to a higher IRQL");
  t_irql = newIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
  KIRQL old = PASSIVE_LEVEL;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

namespace platform {
void SetCurrentIrql(KIRQL irql) { t_irql = irql; }
}  // namespace platform
