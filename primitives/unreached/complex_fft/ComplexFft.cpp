// The complex FFT: dispatch stubs, the baseline builds, the written-out
// kernels of orders 0 and 1 that every level shares, and the table through
// which every level's forward reaches the kernels of orders 0 to 3.
#include "primitives/unreached/complex_fft/ComplexFft.h"

#include <cmath>
#include <cstdint>

#include "primitives/Dispatch.h"
#include "primitives/Memory.h"
#include "primitives/RealFft.h"
#include "primitives/Vector.h"

namespace {
#include "primitives/unreached/complex_fft/ComplexFftBuild.inc"
#include "primitives/unreached/complex_fft/ComplexFftSmallOrder.inc"

// Up to order 10 the permutation is the swap list and the butterflies are one
// radix-4 block; above, the baseline's cache-blocked core.
void Level0Transform(const ComplexFftSpec* spec, const float* src, float* dst, int32_t order, float* work) {
  if (order > InlineLimit(0)) {
    ComplexFftForwardCore(spec, src, dst, order, work);  // scales by itself
    return;
  }
  const int32_t points = 1 << order;
  if (src == dst)
    FftBitReverseInPlace(dst, points, spec->bitReverseTable);
  else
    FftBitReverseCopy(src, dst, points, spec->bitReverseTable);
  FftButterflyBlockForward(dst, points, spec->blockTwiddles);
  if (spec->forwardScaled == 1) VecMulConstF32InPlaceL0(spec->scaleFactor, dst, 2 * points);
}

struct Level0Calls {
  static constexpr int32_t kLevel = 0;
  static void SpecSize(int32_t order, FftCoreSizes* sizes) { FftSpecSize(order, sizes); }
  static DspStatus ZeroBytesChecked(void* dst, int32_t bytes) { return ::ZeroBytesChecked(dst, bytes); }
  static float* BuildSineTable(int32_t order, float* dst) { return ::BuildSineTable(order, dst); }
  static int32_t* BuildPermutation(int32_t order, int32_t* table) { return BuildBitReverseSwapList(order, table); }
  static float* BuildButterflyTwiddles(int32_t order, const float* sines, int32_t sineOrder, float* dst) {
    return ::BuildButterflyTwiddles(order, sines, sineOrder, dst);
  }
  static void BuildComplexFftTables(RealFftSpec* spec, int32_t order, const float* sines, int32_t sineOrder,
                                    float* tables, void* scratch) {
    ::BuildComplexFftTables(spec, order, sines, sineOrder, tables, scratch);
  }
  static constexpr auto& GetSize = ComplexFftGetSizeL0;
  static constexpr auto& Init = ComplexFftInitL0;
  static constexpr auto& Transform = Level0Transform;
};

using Level0 = ComplexFftBuild<Level0Calls>;

}  // namespace

// ---------------------------------------------------------------------------
// Kernels of orders 0 to 3 at level 0; orders 0 and 1 serve every level.

void ComplexFftSmallOrderKernelO0(const float* src, float* dst) { ComplexDft1<false>(src, dst, 1.0f); }
void ComplexFftSmallOrderKernelO0Scaled(const float* src, float* dst, float s) { ComplexDft1<true>(src, dst, s); }
void ComplexFftSmallOrderKernelO1(const float* src, float* dst) { ComplexDft2<false>(src, dst, 1.0f); }
void ComplexFftSmallOrderKernelO1Scaled(const float* src, float* dst, float s) { ComplexDft2<true>(src, dst, s); }
void ComplexFftSmallOrderKernelO2L0(const float* src, float* dst) { ComplexDft4<false>(src, dst, 1.0f); }
void ComplexFftSmallOrderKernelO2ScaledL0(const float* src, float* dst, float s) { ComplexDft4<true>(src, dst, s); }
void ComplexFftSmallOrderKernelO3L0(const float* src, float* dst) { ComplexDft8<false>(src, dst, 1.0f); }
void ComplexFftSmallOrderKernelO3ScaledL0(const float* src, float* dst, float s) { ComplexDft8<true>(src, dst, s); }

const ComplexFftSmallKernel ComplexFftSmallKernelTable[COMPLEX_FFT_SMALL_KERNEL_ROWS][COMPLEX_FFT_SMALL_ORDERS] = {
    {{ComplexFftSmallOrderKernelO0, nullptr},
     {ComplexFftSmallOrderKernelO1, nullptr},
     {ComplexFftSmallOrderKernelO2L0, nullptr},
     {ComplexFftSmallOrderKernelO3L0, nullptr}},
    {{nullptr, ComplexFftSmallOrderKernelO0Scaled},
     {nullptr, ComplexFftSmallOrderKernelO1Scaled},
     {nullptr, ComplexFftSmallOrderKernelO2ScaledL0},
     {nullptr, ComplexFftSmallOrderKernelO3ScaledL0}},
    {{ComplexFftSmallOrderKernelO0, nullptr},
     {ComplexFftSmallOrderKernelO1, nullptr},
     {ComplexFftSmallOrderKernelO2L1, nullptr},
     {ComplexFftSmallOrderKernelO3L1, nullptr}},
    {{nullptr, ComplexFftSmallOrderKernelO0Scaled},
     {nullptr, ComplexFftSmallOrderKernelO1Scaled},
     {nullptr, ComplexFftSmallOrderKernelO2ScaledL1},
     {nullptr, ComplexFftSmallOrderKernelO3ScaledL1}},
    {{ComplexFftSmallOrderKernelO0, nullptr},
     {ComplexFftSmallOrderKernelO1, nullptr},
     {ComplexFftSmallOrderKernelO2L2L3, nullptr},
     {ComplexFftSmallOrderKernelO3L2, nullptr}},
    {{nullptr, ComplexFftSmallOrderKernelO0Scaled},
     {nullptr, ComplexFftSmallOrderKernelO1Scaled},
     {nullptr, ComplexFftSmallOrderKernelO2ScaledL2L3},
     {nullptr, ComplexFftSmallOrderKernelO3ScaledL2}},
    {{ComplexFftSmallOrderKernelO0, nullptr},
     {ComplexFftSmallOrderKernelO1, nullptr},
     {ComplexFftSmallOrderKernelO2L2L3, nullptr},
     {ComplexFftSmallOrderKernelO3L3, nullptr}},
    {{nullptr, ComplexFftSmallOrderKernelO0Scaled},
     {nullptr, ComplexFftSmallOrderKernelO1Scaled},
     {nullptr, ComplexFftSmallOrderKernelO2ScaledL2L3},
     {nullptr, ComplexFftSmallOrderKernelO3ScaledL3}},
};

// ---------------------------------------------------------------------------
// Baseline builds.

DspStatus ComplexFftGetSizeL0(int32_t order, int32_t flags, int32_t /*hint*/, int32_t* specBytes, int32_t* initBufBytes,
                              int32_t* workBufBytes) {
  return Level0::GetSize(order, flags, specBytes, initBufBytes, workBufBytes);
}

DspStatus ComplexFftInitL0(ComplexFftSpec** specOut, int32_t order, int32_t flags, int32_t hint, uint8_t* specMem,
                           uint8_t* initBuf) {
  return Level0::Init(specOut, order, flags, hint, specMem, initBuf);
}

DspStatus ComplexFftCreateL0(ComplexFftSpec** specOut, int32_t order, int32_t flags, int32_t hint) {
  return Level0::Create(specOut, order, flags, hint);
}

DspStatus ComplexFftForwardL0(const float* src, float* dst, const ComplexFftSpec* spec, uint8_t* workBuf) {
  return Level0::Forward(src, dst, spec, workBuf);
}

DspStatus ComplexFftDestroyL0(ComplexFftSpec* spec) {
  if (spec == nullptr) return DSP_STATUS_NULL_POINTER;
  if (spec->kind != COMPLEX_FFT_SPEC_ID) return DSP_STATUS_WRONG_KIND;
  const int32_t allocated = spec->allocated;
  // Invalid before it is released, so a second destroy of a record in caller
  // memory is refused.
  spec->kind = 0;
  if (allocated == 1) DspFree(spec);
  return DSP_STATUS_OK;
}

// ---------------------------------------------------------------------------
// Dispatch stubs.

DSP_DISPATCH_TABLE(ComplexFftCreate, ComplexFftCreateL0, ComplexFftCreateL1, ComplexFftCreateL2, ComplexFftCreateL3);
DspStatus ComplexFftCreate(ComplexFftSpec** specOut, int32_t order, int32_t flags, int32_t hint) {
  return DspDispatch(ComplexFftCreateTable, specOut, order, flags, hint);
}

// One build serves every level.
DSP_DISPATCH_TABLE(ComplexFftDestroy, ComplexFftDestroyL0, ComplexFftDestroyL0, ComplexFftDestroyL0,
                   ComplexFftDestroyL0);
DspStatus ComplexFftDestroy(ComplexFftSpec* spec) { return DspDispatch(ComplexFftDestroyTable, spec); }

DSP_DISPATCH_TABLE(ComplexFftForward, ComplexFftForwardL0, ComplexFftForwardL1, ComplexFftForwardL2,
                   ComplexFftForwardL3);
DspStatus ComplexFftForward(const float* src, float* dst, const ComplexFftSpec* spec, uint8_t* workBuf) {
  return DspDispatch(ComplexFftForwardTable, src, dst, spec, workBuf);
}
