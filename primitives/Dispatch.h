// Processor-level dispatch of the public primitives.
//
// How a primitive is declared
// ---------------------------
// Every public primitive has up to four builds, one per CpuLevel, that share
// one signature, and one read-only table of four entries. The public name is
// a stub that jumps through entry [CpuDispatchIndex] with the caller's
// arguments untouched; it has no checks of its own.
//
//   // Family header (e.g. primitives/Vector.h): the public name and the
//   // baseline build, which other builds of level 0 call directly.
//   DspStatus VecZeroF32(float* dst, int32_t len);
//   DspStatus VecZeroF32L0(float* dst, int32_t len);
//
//   // Family source (e.g. primitives/Vector.cpp), beside the baseline build:
//   DSP_DISPATCH_TABLE(VecZeroF32, VecZeroF32L0, VecZeroF32L0, VecZeroF32L0, VecZeroF32L0);
//   DspStatus VecZeroF32(float* dst, int32_t len) { return DspDispatch(VecZeroF32Table, dst, len); }
//
// Entry k is the level-k build. Until a level build exists its entry names the
// baseline; adding one is a one-line change of that entry, e.g.
// VecZeroF32L0 -> VecZeroF32L1 once primitives/levels/VecZeroF32L1.cpp and its
// declaration (primitives/levels/*.h) exist. Where levels share one build the
// same name stands in several entries (VecAddF32L2L3 in entries 2 and 3).
//
// Inside the library a build never calls through a stub: it calls the builds
// of its own level by name (VecMulConstF32InPlaceL0 calls VecZeroF32L0), so a
// call never changes level half-way. Internal routines have no table.
//
// CpuDispatchIndex is written only by the initialisers (InitDispatchAuto,
// InitDispatchForCpu in primitives/CpuId.h); the driver itself never calls
// them, so the baseline runs.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"

// The level whose builds the stubs run. 0 at load; only 0..3 are ever stored.
extern int32_t CpuDispatchIndex;

template <typename Fn>
struct DspDispatchTable {
  Fn* entry[CPU_LEVEL_COUNT];
};

// Declares the constant table `<name>Table` of primitive `name`, whose
// signature is taken from the primitive's own declaration.
#define DSP_DISPATCH_TABLE(name, l0, l1, l2, l3) \
  constinit const DspDispatchTable<decltype(name)> name##Table = {{l0, l1, l2, l3}}

// The body of a stub: one load of the index, one indirect call in tail
// position.
template <typename Fn, typename... Args>
[[gnu::always_inline]] inline decltype(auto) DspDispatch(const DspDispatchTable<Fn>& table, Args... args) {
  return table.entry[CpuDispatchIndex](args...);
}
