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

// sin(2 pi k / 1024), k = 0..256, each correctly rounded to single precision.
const float QuarterSineTable1024[257] = {
    0.0f, 0x1.921f1p-8f, 0x1.921d2p-7f, 0x1.2d936cp-6f,
    0x1.92156p-6f, 0x1.f69374p-6f, 0x1.2d8658p-5f, 0x1.5fc00ep-5f,
    0x1.91f66p-5f, 0x1.c428d2p-5f, 0x1.f656e8p-5f, 0x1.144014p-4f,
    0x1.2d520ap-4f, 0x1.466118p-4f, 0x1.5f6dp-4f, 0x1.787586p-4f,
    0x1.917a6cp-4f, 0x1.aa7b72p-4f, 0x1.c3785cp-4f, 0x1.dc70ecp-4f,
    0x1.f564e6p-4f, 0x1.072a04p-3f, 0x1.139f0cp-3f, 0x1.20116ep-3f,
    0x1.2c8106p-3f, 0x1.38edbcp-3f, 0x1.45576cp-3f, 0x1.51bdf8p-3f,
    0x1.5e2144p-3f, 0x1.6a813p-3f, 0x1.76dd9ep-3f, 0x1.83366ep-3f,
    0x1.8f8b84p-3f, 0x1.9bdccp-3f, 0x1.a82a02p-3f, 0x1.b4732ep-3f,
    0x1.c0b826p-3f, 0x1.ccf8ccp-3f, 0x1.d934fep-3f, 0x1.e56ca2p-3f,
    0x1.f19f98p-3f, 0x1.fdcdc2p-3f, 0x1.04fb8p-2f, 0x1.0b0d9cp-2f,
    0x1.111d26p-2f, 0x1.172a0ep-2f, 0x1.1d3444p-2f, 0x1.233bbap-2f,
    0x1.294062p-2f, 0x1.2f422ep-2f, 0x1.35410cp-2f, 0x1.3b3cfp-2f,
    0x1.4135cap-2f, 0x1.472b8ap-2f, 0x1.4d1e24p-2f, 0x1.530d88p-2f,
    0x1.58f9a8p-2f, 0x1.5ee274p-2f, 0x1.64c7dep-2f, 0x1.6aa9d8p-2f,
    0x1.708854p-2f, 0x1.76634p-2f, 0x1.7c3a94p-2f, 0x1.820e3cp-2f,
    0x1.87de2ap-2f, 0x1.8daa52p-2f, 0x1.9372a6p-2f, 0x1.993716p-2f,
    0x1.9ef794p-2f, 0x1.a4b412p-2f, 0x1.aa6c82p-2f, 0x1.b020d6p-2f,
    0x1.b5d1p-2f, 0x1.bb7cf2p-2f, 0x1.c1249ep-2f, 0x1.c6c7f4p-2f,
    0x1.cc66eap-2f, 0x1.d2016ep-2f, 0x1.d79776p-2f, 0x1.dd28f2p-2f,
    0x1.e2b5d4p-2f, 0x1.e83e0ep-2f, 0x1.edc196p-2f, 0x1.f3405ap-2f,
    0x1.f8ba4ep-2f, 0x1.fe2f64p-2f, 0x1.01cfc8p-1f, 0x1.048562p-1f,
    0x1.07387ap-1f, 0x1.09e908p-1f, 0x1.0c9704p-1f, 0x1.0f426cp-1f,
    0x1.11eb36p-1f, 0x1.14915ap-1f, 0x1.1734d6p-1f, 0x1.19d5ap-1f,
    0x1.1c73b4p-1f, 0x1.1f0f08p-1f, 0x1.21a79ap-1f, 0x1.243d6p-1f,
    0x1.26d054p-1f, 0x1.296072p-1f, 0x1.2bedb2p-1f, 0x1.2e780ep-1f,
    0x1.30ff8p-1f, 0x1.3384p-1f, 0x1.36058cp-1f, 0x1.388418p-1f,
    0x1.3affa2p-1f, 0x1.3d7824p-1f, 0x1.3fed96p-1f, 0x1.425ff2p-1f,
    0x1.44cf32p-1f, 0x1.473b52p-1f, 0x1.49a44ap-1f, 0x1.4c0a14p-1f,
    0x1.4e6cacp-1f, 0x1.50cc0ap-1f, 0x1.53282ap-1f, 0x1.558104p-1f,
    0x1.57d694p-1f, 0x1.5a28d2p-1f, 0x1.5c77bcp-1f, 0x1.5ec34ap-1f,
    0x1.610b76p-1f, 0x1.63503ap-1f, 0x1.659192p-1f, 0x1.67cf78p-1f,
    0x1.6a09e6p-1f, 0x1.6c40d8p-1f, 0x1.6e7446p-1f, 0x1.70a42cp-1f,
    0x1.72d084p-1f, 0x1.74f948p-1f, 0x1.771e76p-1f, 0x1.794006p-1f,
    0x1.7b5df2p-1f, 0x1.7d7836p-1f, 0x1.7f8ecep-1f, 0x1.81a1b4p-1f,
    0x1.83b0ep-1f, 0x1.85bc52p-1f, 0x1.87c4p-1f, 0x1.89c7eap-1f,
    0x1.8bc806p-1f, 0x1.8dc454p-1f, 0x1.8fbccap-1f, 0x1.91b166p-1f,
    0x1.93a224p-1f, 0x1.958efep-1f, 0x1.9777fp-1f, 0x1.995cf2p-1f,
    0x1.9b3e04p-1f, 0x1.9d1b2p-1f, 0x1.9ef43ep-1f, 0x1.a0c95ep-1f,
    0x1.a29a7ap-1f, 0x1.a4678cp-1f, 0x1.a63092p-1f, 0x1.a7f586p-1f,
    0x1.a9b662p-1f, 0x1.ab7326p-1f, 0x1.ad2bcap-1f, 0x1.aee04cp-1f,
    0x1.b090a6p-1f, 0x1.b23cd4p-1f, 0x1.b3e4d4p-1f, 0x1.b588ap-1f,
    0x1.b72834p-1f, 0x1.b8c38ep-1f, 0x1.ba5aa6p-1f, 0x1.bbed7cp-1f,
    0x1.bd7c0ap-1f, 0x1.bf064ep-1f, 0x1.c08c42p-1f, 0x1.c20de4p-1f,
    0x1.c38b3p-1f, 0x1.c5042p-1f, 0x1.c678b4p-1f, 0x1.c7e8e6p-1f,
    0x1.c954b2p-1f, 0x1.cabc16p-1f, 0x1.cc1f1p-1f, 0x1.cd7d98p-1f,
    0x1.ced7bp-1f, 0x1.d02d5p-1f, 0x1.d17e78p-1f, 0x1.d2cb22p-1f,
    0x1.d4134ep-1f, 0x1.d556f6p-1f, 0x1.d69618p-1f, 0x1.d7d0bp-1f,
    0x1.d906bcp-1f, 0x1.da383ap-1f, 0x1.db6526p-1f, 0x1.dc8d7cp-1f,
    0x1.ddb13cp-1f, 0x1.ded06p-1f, 0x1.dfeae6p-1f, 0x1.e100ccp-1f,
    0x1.e2121p-1f, 0x1.e31eaep-1f, 0x1.e426a4p-1f, 0x1.e529fp-1f,
    0x1.e6288ep-1f, 0x1.e7227ep-1f, 0x1.e817bap-1f, 0x1.e90844p-1f,
    0x1.e9f416p-1f, 0x1.eadb2ep-1f, 0x1.ebbd8cp-1f, 0x1.ec9b2ep-1f,
    0x1.ed740ep-1f, 0x1.ee482ep-1f, 0x1.ef178ap-1f, 0x1.efe22p-1f,
    0x1.f0a7fp-1f, 0x1.f168f6p-1f, 0x1.f2253p-1f, 0x1.f2dc9cp-1f,
    0x1.f38f3ap-1f, 0x1.f43d08p-1f, 0x1.f4e604p-1f, 0x1.f58a2cp-1f,
    0x1.f6297cp-1f, 0x1.f6c3f8p-1f, 0x1.f7599ap-1f, 0x1.f7ea62p-1f,
    0x1.f8765p-1f, 0x1.f8fd6p-1f, 0x1.f97f92p-1f, 0x1.f9fce6p-1f,
    0x1.fa7558p-1f, 0x1.fae8e8p-1f, 0x1.fb5798p-1f, 0x1.fbc162p-1f,
    0x1.fc2648p-1f, 0x1.fc8646p-1f, 0x1.fce16p-1f, 0x1.fd3792p-1f,
    0x1.fd88dap-1f, 0x1.fdd53ap-1f, 0x1.fe1cbp-1f, 0x1.fe5f3ap-1f,
    0x1.fe9cdap-1f, 0x1.fed58ep-1f, 0x1.ff0956p-1f, 0x1.ff383p-1f,
    0x1.ff621ep-1f, 0x1.ff871ep-1f, 0x1.ffa72ep-1f, 0x1.ffc252p-1f,
    0x1.ffd886p-1f, 0x1.ffe9ccp-1f, 0x1.fff622p-1f, 0x1.fffd88p-1f,
    0x1p+0f,
};

// Complex orders 11..30 split as 2^k rows x 2^(n-k) points; below 11 no order
// is split.
const int32_t FftSplitTable[31] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0..10
    0, 0, 5, 6, 7, 8, 8, 8, 10, 10,   // 11..20
    10, 10, 8, 8, 10, 10, 10, 10, 10, 10,  // 21..30
};

namespace {

#include "primitives/BitReversal.inc"

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

int32_t* BuildBitReverseSwapList(int32_t order, int32_t* list) { return SwapListBody(order, list); }

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
