// Interrupt request levels. Each thread carries its own current IRQL; spin
// locks, DPCs and transfer completions raise it, and pageable code and
// blocking waits check it, which is how pageable code reached from a
// completion path gets caught.
#pragma once

#include "kernel/bugcheck.h"
#include "kernel/ntdef.h"

using KIRQL = UCHAR;
using PKIRQL = KIRQL*;

constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL LOW_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;
constexpr KIRQL HIGH_LEVEL = 15;

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
void KeLowerIrql(KIRQL newIrql);
KIRQL KeRaiseIrqlToDpcLevel();

namespace platform {
// Sets the calling thread's IRQL without the raise/lower ordering rules; for
// the stand-in's own threads (DPC, bus) when they start.
void SetCurrentIrql(KIRQL irql);

// Runs a scope at a raised IRQL and restores the old one on exit.
class IrqlScope {
 public:
  explicit IrqlScope(KIRQL irql) { KeRaiseIrql(irql, &m_old); }
  ~IrqlScope() { KeLowerIrql(m_old); }
  IrqlScope(const IrqlScope&) = delete;
  IrqlScope& operator=(const IrqlScope&) = delete;

 private:
  KIRQL m_old = PASSIVE_LEVEL;
};
}  // namespace platform

// Pageable code may not run at DISPATCH_LEVEL or above.
#define PAGED_CODE() KERNEL_RULE(KeGetCurrentIrql() <= APC_LEVEL, "PAGED_CODE() at raised IRQL")
#define PAGED_CODE_LOCKED() ((void)0)
