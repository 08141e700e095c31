// Tables of the real FFT and the construction of its setup record.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "primitives/Dispatch.h"
#include "primitives/Memory.h"
#include "primitives/RealFft.h"
#include "primitives/Vector.h"
#include "primitives/levels/FftLevels.h"

// Complex orders 11..30 split as 2^k rows x 2^(n-k) points; below 11 no order
// is split.
const int32_t FftSplitTable[31] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0..10
    0, 0, 5, 6, 7, 8, 8, 8, 10, 10,   // 11..20
    10, 10, 8, 8, 10, 10, 10, 10, 10, 10,  // 21..30
};

namespace {

constexpr int32_t kHeaderBytes = static_cast<int32_t>(sizeof(RealFftSpec));
// Largest block transformed with radix-4 butterflies from one table.
constexpr int32_t kBlockOrder = 10;
constexpr int32_t kBlockPoints = 1 << kBlockOrder;
// Room reserved for the block twiddles of a 1024-point block plus alignment.
constexpr int64_t kBlockTableRoom = 8 * kBlockPoints + 32;

constexpr int64_t Align32(int64_t x) { return (x + 31) & ~int64_t{31}; }

template <typename T>
T* AlignUp32(void* p) {
  return reinterpret_cast<T*>((reinterpret_cast<uintptr_t>(p) + 31) & ~uintptr_t{31});
}

// Room of the radix-4 twiddles of a block of 2^r points (r <= 10), with slack
// to start it on a 32-byte boundary.
constexpr int64_t BlockTableBytes(int32_t r) { return (8 * (int64_t{1} << r) + 39) & ~int64_t{31}; }

// Reads sin and cos of the angle 2 pi u / 2^order from a quarter-wave table of
// that order by folding the quadrants; no sine is computed. A negated entry is
// formed as 0 - value so that a zero stays +0.0.
class SineSource {
 public:
  SineSource(const float* table, int32_t order) : m_Table(table), m_Points(int64_t{1} << order) {}

  float Sin(int64_t u) const {
    const int64_t quarter = m_Points / 4;
    u &= m_Points - 1;
    if (u <= quarter) return m_Table[u];
    if (u <= 2 * quarter) return m_Table[2 * quarter - u];
    if (u <= 3 * quarter) return 0.0f - m_Table[u - 2 * quarter];
    return 0.0f - m_Table[m_Points - u];
  }
  float Cos(int64_t u) const { return Sin(u + m_Points / 4); }
  // exp(-2 pi i u / 2^order) stored as (cos, -sin).
  void StoreTwiddle(int64_t u, float* dst) const {
    dst[0] = Cos(u);
    dst[1] = 0.0f - Sin(u);
  }
  // Angle step of a transform of 2^order points in this table's units.
  int64_t Stride(int32_t order) const { return m_Points >> order; }

 private:
  const float* m_Table;
  int64_t m_Points;
};

int32_t ReverseBits(int32_t value, int32_t bits) {
  int32_t r = 0;
  for (int32_t i = 0; i < bits; ++i) r |= ((value >> i) & 1) << (bits - 1 - i);
  return r;
}

// The pairs (cos, -sin) of exp(-2 pi i j / 2^n), j < 2^n / 4: the twiddles of
// the radix-2 passes above the 1024-point blocks.
float* BuildPassTwiddles(int32_t n, const SineSource& sines, float* dst) {
  const int64_t count = (int64_t{1} << n) / 4;
  const int64_t stride = sines.Stride(n);
  for (int64_t j = 0; j < count; ++j) sines.StoreTwiddle(j * stride, dst + 2 * j);
  return AlignUp32<float>(dst + 2 * count);
}

// The tables of a transform of 2^n points transformed without a split: one
// radix-4 table, and for more than 1024 points also the radix-2 passes.
float* BuildUnsplitTables(RealFftSpec* spec, int32_t n, const float* sines, int32_t sineOrder, float* p) {
  spec->blockTwiddles = p;
  if (n <= kBlockOrder) return BuildButterflyTwiddles(n, sines, sineOrder, p);
  p = BuildButterflyTwiddles(kBlockOrder, sines, sineOrder, p);
  spec->passTwiddles = p;
  return BuildPassTwiddles(n, SineSource(sines, sineOrder), p);
}

bool ValidScaleFlag(int32_t flags) {
  return flags == FFT_SCALE_FORWARD || flags == FFT_SCALE_INVERSE || flags == FFT_SCALE_SQRT_BOTH ||
         flags == FFT_SCALE_NONE;
}

struct RealFftSizes {
  int64_t specBytes;
  int64_t initBytes;
  int64_t workBytes;
};

RealFftSizes ComputeRealFftSizes(int32_t order) {
  if (order <= 3) return {168, 0, 0};
  const int64_t points = int64_t{1} << order;
  const int64_t halfPoints = points / 2;
  const int32_t n = order - 1;
  FftCoreSizes core{};
  if (n <= kBlockOrder)
    core.specBytes = BlockTableBytes(n);
  else
    FftSpecSize(n, &core);
  RealFftSizes sizes{};
  // Header and alignment slack, swap list, both recombination tables.
  sizes.specBytes = core.specBytes + Align32(halfPoints + 4) + 2 * Align32(2 * points) + 192;
  sizes.initBytes = core.initBytes;
  if (order > kBlockOrder) sizes.initBytes += Align32(points + 4) + 32;  // the sine table
  sizes.workBytes = core.workBytes > 0 ? core.workBytes + 32 : 0;
  return sizes;
}

bool FitsInt32(int64_t v) { return v >= 0 && v <= INT32_MAX; }

}  // namespace

// ---------------------------------------------------------------------------
// Sizes

void FftSpecSizeRecursive(int32_t n, int32_t depth, FftCoreSizes* sizes) {
  const int32_t k = FftSplitTable[n];
  if (k == 0) {
    sizes->specBytes += Align32(8 * (int64_t{1} << n) / 4) + kBlockTableRoom;
    return;
  }
  const int32_t rowOrder = n - k;
  if (rowOrder > kBlockOrder)
    FftSpecSizeRecursive(rowOrder, depth + 1, sizes);
  else
    sizes->specBytes += BlockTableBytes(rowOrder);
  const int64_t rows = int64_t{1} << k;
  sizes->specBytes += 8 * rows + 8 * (int64_t{1} << n) + 32;
  sizes->initBytes += 32 * (rows / 32) + 32 * rows + 32;
  if (32 * rows > sizes->workBytes) sizes->workBytes = 32 * rows;
}

void FftSpecSize(int32_t n, FftCoreSizes* sizes) {
  *sizes = FftCoreSizes{};
  FftSpecSizeRecursive(n, 0, sizes);
}

DspStatus RealFftGetSize(int32_t order, int32_t flags, int32_t /*hint*/, int32_t* specBytes, int32_t* initBytes,
                         int32_t* workBytes) {
  if (order < 0 || order > REAL_FFT_MAX_ORDER) return DSP_STATUS_BAD_ORDER;
  if (specBytes == nullptr || initBytes == nullptr || workBytes == nullptr) return DSP_STATUS_NULL_POINTER;
  if (!ValidScaleFlag(flags)) return DSP_STATUS_BAD_SCALE_FLAG;
  const RealFftSizes sizes = ComputeRealFftSizes(order);
  // Orders whose memory cannot be counted in 32 bits are refused like orders
  // outside the range: a wrapped count would lay tables past the allocation.
  if (!FitsInt32(sizes.specBytes) || !FitsInt32(sizes.initBytes) || !FitsInt32(sizes.workBytes))
    return DSP_STATUS_BAD_ORDER;
  *specBytes = static_cast<int32_t>(sizes.specBytes);
  *initBytes = static_cast<int32_t>(sizes.initBytes);
  *workBytes = static_cast<int32_t>(sizes.workBytes);
  return DSP_STATUS_OK;
}

// ---------------------------------------------------------------------------
// Table builders

float* BuildSineTable(int32_t order, float* dst) {
  const int64_t quarter = (int64_t{1} << order) / 4;
  if (order <= kBlockOrder) {
    const int64_t stride = int64_t{1} << (kBlockOrder - order);
    for (int64_t k = 0; k <= quarter; ++k) dst[k] = QuarterSineTable1024[k * stride];
  } else {
    // The sine below pi/4 and the cosine of the complement above it keep every
    // argument small, where the library functions are most accurate.
    const double step = 6.283185307179586 / static_cast<double>(int64_t{1} << order);
    const int64_t eighth = quarter / 2;
    for (int64_t k = 0; k <= eighth; ++k) dst[k] = static_cast<float>(std::sin(static_cast<double>(k) * step));
    for (int64_t k = eighth + 1; k <= quarter; ++k)
      dst[k] = static_cast<float>(std::cos(static_cast<double>(quarter - k) * step));
  }
  return AlignUp32<float>(dst + quarter + 1);
}

float* BuildButterflyTwiddles(int32_t order, const float* sines, int32_t sineOrder, float* dst) {
  if (order < 2) return dst;
  const SineSource source(sines, sineOrder);
  const int64_t entries = (int64_t{1} << order) / 4 + 1;
  const int64_t stride = source.Stride(order);
  for (int64_t l = 0; l < entries; ++l) {
    float* entry = dst + 6 * l;
    for (int64_t power = 1; power <= 3; ++power) source.StoreTwiddle(power * l * stride, entry + 2 * (power - 1));
  }
  return AlignUp32<float>(dst + 6 * entries);
}

float* BuildRecombineTwiddlesForward(int32_t order, const float* sines, int32_t sineOrder, float* dst) {
  const int64_t quarter = (int64_t{1} << order) / 4;
  const int64_t stride = int64_t{1} << (sineOrder - order);
  // The 0.5 factors of the split into even and odd halves live in the table.
  for (int64_t k = 0; k < quarter; ++k) {
    dst[2 * k] = 0.5f * sines[(quarter - k) * stride];
    dst[2 * k + 1] = 0.5f - 0.5f * sines[k * stride];
  }
  return AlignUp32<float>(dst + 2 * quarter);
}

float* BuildRecombineTwiddlesInverse(int32_t order, const float* sines, int32_t sineOrder, float* dst) {
  const int64_t quarter = (int64_t{1} << order) / 4;
  const int64_t stride = int64_t{1} << (sineOrder - order);
  for (int64_t k = 0; k < quarter; ++k) {
    dst[2 * k] = sines[(quarter - k) * stride];
    dst[2 * k + 1] = 0.0f - sines[k * stride];
  }
  return AlignUp32<float>(dst + 2 * quarter);
}

float* BuildFourStepTables(RealFftSpec* spec, int32_t n, const float* sines, int32_t sineOrder, int32_t depth,
                           float* tables, void* scratch) {
  const int32_t k = FftSplitTable[n];
  const int32_t rows = 1 << k;
  const int64_t rowPoints = int64_t{1} << (n - k);
  const SineSource source(sines, sineOrder);
  const int64_t stride = source.Stride(n);

  spec->fourStepColumnTwiddles[depth] = tables;
  float* p = BuildButterflyTwiddles(k, sines, sineOrder, tables);

  // For every group of four columns c..c+3 and every row j, the twiddles
  // exp(-2 pi i rev(j) (c + q) / 2^n) of the four columns side by side.
  int32_t* reversed = AlignUp32<int32_t>(scratch);
  for (int32_t j = 0; j < rows; ++j) reversed[j] = ReverseBits(j, k);
  spec->fourStepTwiddles[depth] = p;
  for (int64_t column = 0; column < rowPoints; column += 4) {
    for (int32_t j = 0; j < rows; ++j) {
      for (int64_t q = 0; q < 4; ++q) source.StoreTwiddle(reversed[j] * (column + q) * stride, p + 2 * q);
      p += 8;
    }
  }
  if (32 * rows > spec->workBytes) spec->workBytes = 32 * rows;

  const int32_t rowOrder = n - k;
  if (FftSplitTable[rowOrder] != 0)
    return BuildFourStepTables(spec, rowOrder, sines, sineOrder, depth + 1, p, scratch);
  return BuildUnsplitTables(spec, rowOrder, sines, sineOrder, p);
}

void* BuildComplexFftTables(RealFftSpec* spec, int32_t n, const float* sines, int32_t sineOrder, float* tables,
                            void* scratch) {
  BuildBitReverseSwapList(n, spec->bitReverseTable);
  if (FftSplitTable[n] == 0) {
    spec->workBytes = 0;
    return BuildUnsplitTables(spec, n, sines, sineOrder, tables);
  }
  spec->workBytes = 0;
  return BuildFourStepTables(spec, n, sines, sineOrder, 0, tables, scratch);
}

// ---------------------------------------------------------------------------
// Transform setup records

DspStatus RealFftInit(RealFftSpec** specOut, int32_t order, int32_t flags, int32_t hint, void* specMem,
                      void* initBuf) {
  if (specOut == nullptr) return DSP_STATUS_NULL_POINTER;
  if (order < 0 || order > REAL_FFT_MAX_ORDER) return DSP_STATUS_BAD_ORDER;
  if (specMem == nullptr) return DSP_STATUS_NULL_POINTER;
  RealFftSpec* spec = AlignUp32<RealFftSpec>(specMem);
  if (!ValidScaleFlag(flags)) {
    ZeroBytesChecked(spec, kHeaderBytes);  // a rejected record reads as invalid
    return DSP_STATUS_BAD_SCALE_FLAG;
  }
  // Checked before the header is written, so that a refused call never leaves
  // a record that claims to be valid without its tables.
  if (order > kBlockOrder && initBuf == nullptr) return DSP_STATUS_NULL_POINTER;

  ZeroBytesChecked(spec, kHeaderBytes);
  spec->order = order;
  spec->hint = hint;
  spec->allocated = 0;
  const int64_t points = int64_t{1} << order;
  switch (flags) {
    case FFT_SCALE_SQRT_BOTH:
      spec->forwardScaled = 1;
      spec->inverseScaled = 1;
      spec->scaleFactor = static_cast<float>(1.0 / std::sqrt(static_cast<double>(points)));
      break;
    case FFT_SCALE_FORWARD:
      spec->forwardScaled = 1;
      spec->scaleFactor = 1.0f / static_cast<float>(points);
      break;
    case FFT_SCALE_INVERSE:
      spec->inverseScaled = 1;
      spec->scaleFactor = 1.0f / static_cast<float>(points);
      break;
    default:
      break;
  }
  if (order > 3) {
    const float* sines = QuarterSineTable1024;
    int32_t sineOrder = kBlockOrder;
    void* scratch = nullptr;
    if (order > kBlockOrder) {
      float* table = AlignUp32<float>(initBuf);
      scratch = BuildSineTable(order, table);
      sines = table;
      sineOrder = order;
    }
    const int32_t n = order - 1;
    spec->bitReverseTable = reinterpret_cast<int32_t*>(reinterpret_cast<char*>(spec) + kHeaderBytes);
    float* end;
    if (n <= kBlockOrder) {
      spec->blockTwiddles = reinterpret_cast<float*>(BuildBitReverseSwapList(n, spec->bitReverseTable));
      end = BuildButterflyTwiddles(n, sines, sineOrder, spec->blockTwiddles);
    } else {
      float* tables = AlignUp32<float>(spec->bitReverseTable + (int64_t{1} << n) / 4 + 1);
      end = static_cast<float*>(BuildComplexFftTables(spec, n, sines, sineOrder, tables, scratch));
    }
    spec->recombineForward = end;
    spec->recombineInverse = BuildRecombineTwiddlesForward(order, sines, sineOrder, end);
    BuildRecombineTwiddlesInverse(order, sines, sineOrder, spec->recombineInverse);
  }
  spec->kind = REAL_FFT_SPEC_ID;
  *specOut = spec;
  return DSP_STATUS_OK;
}

DspStatus RealFftCreateL0(RealFftSpec** specOut, int32_t order, int32_t flags, int32_t hint) {
  if (specOut == nullptr) return DSP_STATUS_NULL_POINTER;
  int32_t specBytes = 0;
  int32_t initBytes = 0;
  int32_t workBytes = 0;
  DspStatus status = RealFftGetSize(order, flags, hint, &specBytes, &initBytes, &workBytes);
  if (status != DSP_STATUS_OK) return status;
  void* specMem = DspMalloc(specBytes);
  if (specMem == nullptr) return DSP_STATUS_NO_MEMORY;
  void* initBuf = nullptr;
  if (initBytes > 0) {
    initBuf = DspMalloc(initBytes);
    if (initBuf == nullptr) {
      DspFree(specMem);
      return DSP_STATUS_NO_MEMORY;
    }
  }
  RealFftSpec* spec = nullptr;
  status = RealFftInit(&spec, order, flags, hint, specMem, initBuf);
  DspFree(initBuf);
  if (status != DSP_STATUS_OK) {
    DspFree(specMem);
    return status;
  }
  spec->allocated = 1;
  *specOut = spec;
  return DSP_STATUS_OK;
}

DspStatus RealFftDestroyL0(RealFftSpec* spec) {
  if (spec == nullptr) return DSP_STATUS_NULL_POINTER;
  if (spec->kind != REAL_FFT_SPEC_ID) return DSP_STATUS_WRONG_KIND;
  spec->kind = 0;
  // DspMalloc blocks are 32-byte aligned, so a created record starts its block.
  if (spec->allocated == 1) DspFree(spec);
  return DSP_STATUS_OK;
}

DSP_DISPATCH_TABLE(RealFftCreate, RealFftCreateL0, RealFftCreateL1, RealFftCreateL2, RealFftCreateL3);
DspStatus RealFftCreate(RealFftSpec** spec, int32_t order, int32_t flags, int32_t hint) {
  return DspDispatch(RealFftCreateTable, spec, order, flags, hint);
}

// One build serves every level.
DSP_DISPATCH_TABLE(RealFftDestroy, RealFftDestroyL0, RealFftDestroyL0, RealFftDestroyL0, RealFftDestroyL0);
DspStatus RealFftDestroy(RealFftSpec* spec) { return DspDispatch(RealFftDestroyTable, spec); }
