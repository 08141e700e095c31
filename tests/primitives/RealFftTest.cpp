#include <cmath>
#include <complex>
#include <cstdlib>
#include <vector>

#include "primitives/RealFft.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/support/KernelTest.h"

namespace {

using primitives_test::CountingAllocHooks;
using primitives_test::GuardedBuffer;
using primitives_test::RandomSignal;

class RealFftTest : public primitives_test::BaselineTest {};

constexpr int32_t kAllFlags[] = {FFT_SCALE_FORWARD, FFT_SCALE_INVERSE, FFT_SCALE_SQRT_BOTH, FFT_SCALE_NONE};

// A setup built in memory of exactly the sizes the query reports.
class SpecInMemory {
 public:
  SpecInMemory(int32_t order, int32_t flags, size_t misalign = 0) {
    EXPECT_EQ(RealFftGetSize(order, flags, 0, &m_SpecBytes, &m_InitBytes, &m_WorkBytes), DSP_STATUS_OK);
    m_Spec = std::make_unique<GuardedBuffer>(m_SpecBytes, misalign);
    m_Init = std::make_unique<GuardedBuffer>(m_InitBytes, misalign);
    m_Work = std::make_unique<GuardedBuffer>(m_WorkBytes, misalign);
    m_Status = RealFftInit(&m_Record, order, flags, 0, m_Spec->data(), m_InitBytes > 0 ? m_Init->data() : nullptr);
  }
  DspStatus status() const { return m_Status; }
  RealFftSpec* get() const { return m_Record; }
  void* work() { return m_WorkBytes > 0 ? m_Work->data() : nullptr; }
  bool GuardsIntact() const { return m_Spec->GuardsIntact() && m_Init->GuardsIntact() && m_Work->GuardsIntact(); }
  int32_t workBytes() const { return m_WorkBytes; }

 private:
  int32_t m_SpecBytes = 0, m_InitBytes = 0, m_WorkBytes = 0;
  std::unique_ptr<GuardedBuffer> m_Spec, m_Init, m_Work;
  RealFftSpec* m_Record = nullptr;
  DspStatus m_Status = -1;
};

// The packed spectrum of x by a direct DFT in double precision.
std::vector<double> DirectDft(const std::vector<float>& x) {
  const size_t n = x.size();
  std::vector<double> cosines(n), sines(n);
  for (size_t j = 0; j < n; ++j) {
    const long double angle = 2.0L * 3.14159265358979323846264338327950288L * j / n;
    cosines[j] = static_cast<double>(std::cos(angle));
    sines[j] = static_cast<double>(std::sin(angle));
  }
  auto bin = [&](size_t k) {
    double re = 0, im = 0;
    for (size_t t = 0; t < n; ++t) {
      const size_t j = (k * t) % n;
      re += x[t] * cosines[j];
      im -= x[t] * sines[j];
    }
    return std::complex<double>(re, im);
  };
  std::vector<double> packed(n);
  packed[0] = bin(0).real();
  if (n == 1) return packed;
  packed[1] = bin(n / 2).real();
  for (size_t k = 1; k < n / 2; ++k) {
    const auto c = bin(k);
    packed[2 * k] = c.real();
    packed[2 * k + 1] = c.imag();
  }
  return packed;
}

// The packed spectrum of x by an iterative radix-2 FFT in double precision,
// with twiddles from the library's sine and cosine.
std::vector<double> ReferenceFft(const std::vector<float>& x) {
  const size_t n = x.size();
  std::vector<double> re(x.begin(), x.end()), im(n, 0.0);
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(re[i], re[j]);
  }
  std::vector<double> cosines(n / 2), sines(n / 2);
  for (size_t j = 0; j < n / 2; ++j) {
    const double angle = 2.0 * 3.14159265358979323846 * static_cast<double>(j) / static_cast<double>(n);
    cosines[j] = std::cos(angle);
    sines[j] = std::sin(angle);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const size_t half = len / 2, step = n / len;
    for (size_t i = 0; i < n; i += len)
      for (size_t j = 0; j < half; ++j) {
        const double c = cosines[j * step], s = -sines[j * step];
        const size_t a = i + j, b = a + half;
        const double vr = re[b] * c - im[b] * s, vi = re[b] * s + im[b] * c;
        re[b] = re[a] - vr;
        im[b] = im[a] - vi;
        re[a] += vr;
        im[a] += vi;
      }
  }
  std::vector<double> packed(n);
  packed[0] = re[0];
  packed[1] = re[n / 2];
  for (size_t k = 1; k < n / 2; ++k) {
    packed[2 * k] = re[k];
    packed[2 * k + 1] = im[k];
  }
  return packed;
}

double RelativeRmsError(const std::vector<float>& actual, const std::vector<double>& expected, double scale = 1.0) {
  double error = 0, energy = 0;
  for (size_t i = 0; i < actual.size(); ++i) {
    const double e = expected[i] * scale;
    error += (actual[i] - e) * (actual[i] - e);
    energy += e * e;
  }
  return energy == 0 ? std::sqrt(error) : std::sqrt(error / energy);
}

// Float error of a transform grows slowly with the number of stages; the
// bound is about four times what the transforms reach (1.7e-7 at order 20).
double ForwardTolerance(int32_t order) { return 3e-8 * (order + 2); }

// ---------------------------------------------------------------------------
// Sizes and records

TEST_F(RealFftTest, SizeQueryReportsTheLayoutSizes) {
  struct Row {
    const char* name;
    int32_t order;
    int32_t spec, init, work;
  };
  const Row rows[] = {
      {"order 0: no tables", 0, 168, 0, 0},
      {"order 3: largest written-out kernel", 3, 168, 0, 0},
      {"order 4: smallest table-driven order", 4, 384, 0, 0},
      {"order 8: the 101-tap filter's transform", 8, 2432, 0, 0},
      {"order 10: last order on the quarter-wave table", 10, 8960, 0, 0},
      {"order 11: sine table built at init", 11, 17664, 2112, 0},
      {"order 12: 1024-point tiles and radix-2 passes", 12, 30976, 4160, 0},
      {"order 14: four-step, one depth", 14, 141856, 17536, 1056},
      {"order 26: four-step, two depths", 26, 570699072, 67147008, 32800},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int32_t spec = -1, init = -1, work = -1;
    ASSERT_EQ(RealFftGetSize(row.order, FFT_SCALE_INVERSE, 0, &spec, &init, &work), DSP_STATUS_OK);
    EXPECT_EQ(spec, row.spec);
    EXPECT_EQ(init, row.init);
    EXPECT_EQ(work, row.work);
  }
}

TEST_F(RealFftTest, SizeQueryChecksOrderFirstAndRefusesSizesBeyond32Bits) {
  int32_t spec = 7, init = 7, work = 7;
  EXPECT_EQ(RealFftGetSize(31, FFT_SCALE_INVERSE, 0, nullptr, nullptr, nullptr), DSP_STATUS_BAD_ORDER);
  EXPECT_EQ(RealFftGetSize(-1, 3, 0, &spec, &init, &work), DSP_STATUS_BAD_ORDER);
  EXPECT_EQ(RealFftGetSize(8, FFT_SCALE_INVERSE, 0, &spec, nullptr, &work), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(RealFftGetSize(8, 3, 0, &spec, &init, &work), DSP_STATUS_BAD_SCALE_FLAG);
  EXPECT_EQ(RealFftGetSize(8, 0, 0, &spec, &init, &work), DSP_STATUS_BAD_SCALE_FLAG);
  // From order 28 the setup memory exceeds INT32_MAX bytes: no
  // wrapped count is reported and nothing is written.
  EXPECT_EQ(RealFftGetSize(27, FFT_SCALE_NONE, 0, &spec, &init, &work), DSP_STATUS_OK);
  spec = init = work = 7;
  for (int32_t order : {28, 29, 30}) {
    EXPECT_EQ(RealFftGetSize(order, FFT_SCALE_NONE, 0, &spec, &init, &work), DSP_STATUS_BAD_ORDER) << order;
    EXPECT_EQ(spec, 7);
  }
}

TEST_F(RealFftTest, InitStaysInsideReportedMemoryForEveryOrderAndFlag) {
  for (int32_t order = 0; order <= 20; ++order) {
    for (int32_t flags : kAllFlags) {
      // The largest orders once each, every flag among them.
      if (order > 16 && flags != kAllFlags[order % 4]) continue;
      SCOPED_TRACE(testing::Message() << "order " << order << " flags " << flags);
      SpecInMemory spec(order, flags, 4 + order % 28);
      ASSERT_EQ(spec.status(), DSP_STATUS_OK);
      EXPECT_TRUE(spec.GuardsIntact());
      EXPECT_EQ(reinterpret_cast<uintptr_t>(spec.get()) % 32, 0u);
      EXPECT_EQ(spec.get()->kind, REAL_FFT_SPEC_ID);
      EXPECT_EQ(spec.get()->order, order);
      EXPECT_EQ(spec.get()->allocated, 0);
      EXPECT_EQ(spec.get()->forwardScaled, flags == FFT_SCALE_FORWARD || flags == FFT_SCALE_SQRT_BOTH);
      EXPECT_EQ(spec.get()->inverseScaled, flags == FFT_SCALE_INVERSE || flags == FFT_SCALE_SQRT_BOTH);
      EXPECT_LE(spec.get()->workBytes + 32, std::max(spec.workBytes(), 32));
      if (order >= 14 && order <= 16) {
        // The transforms use the work buffer from its first 32-byte boundary.
        std::vector<float> x = RandomSignal(size_t{1} << order, order);
        EXPECT_EQ(RealFftForward(x.data(), x.data(), spec.get(), spec.work()), DSP_STATUS_OK);
        EXPECT_EQ(RealFftInverse(x.data(), x.data(), spec.get(), spec.work()), DSP_STATUS_OK);
        EXPECT_TRUE(spec.GuardsIntact());
      }
    }
  }
}

TEST_F(RealFftTest, ScaleFactorFollowsTheFlag) {
  struct Row {
    int32_t order, flags;
    float factor;
  };
  const Row rows[] = {
      {10, FFT_SCALE_SQRT_BOTH, 1.0f / 32.0f},
      {8, FFT_SCALE_INVERSE, 1.0f / 256.0f},
      {5, FFT_SCALE_FORWARD, 1.0f / 32.0f},
      {9, FFT_SCALE_SQRT_BOTH, static_cast<float>(1.0 / std::sqrt(512.0))},
      {6, FFT_SCALE_NONE, 0.0f},
  };
  for (const Row& row : rows) {
    SpecInMemory spec(row.order, row.flags);
    ASSERT_EQ(spec.status(), DSP_STATUS_OK);
    EXPECT_EQ(spec.get()->scaleFactor, row.factor) << row.order << "/" << row.flags;
  }
}

TEST_F(RealFftTest, InitRefusesArgumentsInOrder) {
  std::vector<unsigned char> memory(4096);
  RealFftSpec* spec = nullptr;
  EXPECT_EQ(RealFftInit(nullptr, 8, FFT_SCALE_INVERSE, 0, memory.data(), nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(RealFftInit(&spec, 31, FFT_SCALE_INVERSE, 0, nullptr, nullptr), DSP_STATUS_BAD_ORDER);
  EXPECT_EQ(RealFftInit(&spec, 8, FFT_SCALE_INVERSE, 0, nullptr, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(spec, nullptr);

  // A rejected flag leaves a header that reads as invalid.
  std::fill(memory.begin(), memory.end(), 0xFF);
  EXPECT_EQ(RealFftInit(&spec, 8, 3, 0, memory.data(), nullptr), DSP_STATUS_BAD_SCALE_FLAG);
  auto* header = reinterpret_cast<RealFftSpec*>((reinterpret_cast<uintptr_t>(memory.data()) + 31) & ~uintptr_t{31});
  EXPECT_EQ(header->kind, 0);
  EXPECT_EQ(spec, nullptr);

  // Above order 10 the init buffer is required; the refusal leaves the
  // memory as it was rather than a record that claims to be valid.
  std::fill(memory.begin(), memory.end(), 0xFF);
  EXPECT_EQ(RealFftInit(&spec, 11, FFT_SCALE_INVERSE, 0, memory.data(), nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(header->kind, -1);
  EXPECT_EQ(spec, nullptr);
}

TEST_F(RealFftTest, CreateAllocatesAndDestroyFreesOnce) {
  CountingAllocHooks hooks;
  RealFftSpec* spec = nullptr;
  ASSERT_EQ(RealFftCreate(&spec, 10, FFT_SCALE_INVERSE, 0), DSP_STATUS_OK);
  EXPECT_EQ(spec->allocated, 1);
  EXPECT_EQ(hooks.allocations(), 1);  // order 10 needs no init buffer
  ASSERT_EQ(RealFftDestroy(spec), DSP_STATUS_OK);
  EXPECT_EQ(hooks.frees(), 1);

  ASSERT_EQ(RealFftCreate(&spec, 12, FFT_SCALE_NONE, 0), DSP_STATUS_OK);
  EXPECT_EQ(hooks.allocations(), 3);  // the init buffer is freed before returning
  EXPECT_EQ(hooks.frees(), 2);
  ASSERT_EQ(RealFftDestroy(spec), DSP_STATUS_OK);
  EXPECT_EQ(hooks.frees(), 3);
}

TEST_F(RealFftTest, CreateReportsEachFailureAndLeavesNothingAllocated) {
  CountingAllocHooks hooks;
  RealFftSpec* spec = nullptr;
  EXPECT_EQ(RealFftCreate(nullptr, 8, FFT_SCALE_INVERSE, 0), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(RealFftCreate(&spec, 31, FFT_SCALE_INVERSE, 0), DSP_STATUS_BAD_ORDER);
  EXPECT_EQ(RealFftCreate(&spec, 8, 0, 0), DSP_STATUS_BAD_SCALE_FLAG);
  EXPECT_EQ(hooks.allocations(), 0);

  hooks.FailNth(1);  // the record
  EXPECT_EQ(RealFftCreate(&spec, 8, FFT_SCALE_INVERSE, 0), DSP_STATUS_NO_MEMORY);
  hooks.FailNth(2);  // the init buffer, after the record
  EXPECT_EQ(RealFftCreate(&spec, 12, FFT_SCALE_INVERSE, 0), DSP_STATUS_NO_MEMORY);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(hooks.frees(), 1);  // the record of the second attempt
}

TEST_F(RealFftTest, DestroyOnlyInvalidatesCallerMemoryAndRefusesTwice) {
  CountingAllocHooks hooks;
  SpecInMemory spec(8, FFT_SCALE_INVERSE);
  EXPECT_EQ(RealFftDestroy(nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(RealFftDestroy(spec.get()), DSP_STATUS_OK);
  EXPECT_EQ(spec.get()->kind, 0);
  EXPECT_EQ(RealFftDestroy(spec.get()), DSP_STATUS_WRONG_KIND);
  EXPECT_EQ(hooks.frees(), 0);
}

// ---------------------------------------------------------------------------
// Tables

TEST_F(RealFftTest, QuarterSineTableIsCorrectlyRounded) {
  for (int k = 0; k <= 256; ++k) {
    const long double exact = std::sin(2.0L * 3.14159265358979323846264338327950288L * k / 1024.0L);
    const float below = std::nextafter(QuarterSineTable1024[k], -2.0f);
    const float above = std::nextafter(QuarterSineTable1024[k], 2.0f);
    const long double error = std::fabs(exact - QuarterSineTable1024[k]);
    EXPECT_LE(error, std::fabs(exact - below)) << k;
    EXPECT_LE(error, std::fabs(exact - above)) << k;
  }
  EXPECT_EQ(QuarterSineTable1024[0], 0.0f);
  EXPECT_EQ(QuarterSineTable1024[256], 1.0f);
}

TEST_F(RealFftTest, SwapListPairsThenSelfReversedEntries) {
  int32_t list[16];
  std::fill(std::begin(list), std::end(list), -7);
  BuildBitReverseSwapList(4, list);  // 16 points
  EXPECT_EQ(std::vector<int32_t>(list, list + 5), (std::vector<int32_t>{4, 8, 0, 12, 0}));
  BuildBitReverseSwapList(5, list);  // 32 points
  EXPECT_EQ(std::vector<int32_t>(list, list + 9), (std::vector<int32_t>{4, 16, 12, 24, 0, 28, 20, 8, 0}));
  BuildBitReverseSwapList(3, list);
  EXPECT_EQ(std::vector<int32_t>(list, list + 3), (std::vector<int32_t>{0, 4, 0}));
}

TEST_F(RealFftTest, SwapListDrivesTheFullBitReversal) {
  for (int32_t order = 2; order <= 12; ++order) {
    const int32_t points = 1 << order;
    std::vector<int32_t> list(points / 4 + 16);
    BuildBitReverseSwapList(order, list.data());
    std::vector<float> natural(2 * points), copied(2 * points), inPlace(2 * points);
    for (int32_t p = 0; p < points; ++p) natural[2 * p] = static_cast<float>(p), natural[2 * p + 1] = -1.0f * p;
    inPlace = natural;
    FftBitReverseCopy(natural.data(), copied.data(), points, list.data());
    FftBitReverseInPlace(inPlace.data(), points, list.data());
    for (int32_t p = 0; p < points; ++p) {
      int32_t reversed = 0;
      for (int32_t b = 0; b < order; ++b) reversed |= ((p >> b) & 1) << (order - 1 - b);
      ASSERT_EQ(copied[2 * reversed], static_cast<float>(p)) << "order " << order << " point " << p;
      ASSERT_EQ(copied[2 * reversed + 1], -1.0f * p);
      ASSERT_EQ(inPlace[2 * reversed], static_cast<float>(p)) << "order " << order << " point " << p;
    }
  }
}

TEST_F(RealFftTest, ButterflyTwiddlesOfAnOrder8Transform) {
  SpecInMemory spec(8, FFT_SCALE_INVERSE);
  const float* table = spec.get()->blockTwiddles;
  // Entry 0 is w^0 three times; entries run to 128/4, 33 in all.
  EXPECT_EQ(std::vector<float>(table, table + 6), (std::vector<float>{1, 0, 1, 0, 1, 0}));
  EXPECT_FALSE(std::signbit(table[1]));
  std::vector<float> built(6 * 40, -9.0f);
  float* end = BuildButterflyTwiddles(7, QuarterSineTable1024, 10, built.data());
  EXPECT_EQ(built[6 * 33], -9.0f);
  EXPECT_EQ(end, reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(built.data() + 6 * 33) + 31) & ~uintptr_t{31}));
  // Entry 32 = w^(B/4): -i, then -1, then +i.
  EXPECT_FLOAT_EQ(built[6 * 32 + 0], 0.0f);
  EXPECT_FLOAT_EQ(built[6 * 32 + 1], -1.0f);
  EXPECT_FLOAT_EQ(built[6 * 32 + 2], -1.0f);
  EXPECT_FLOAT_EQ(built[6 * 32 + 5], 1.0f);
}

TEST_F(RealFftTest, SineTableAboveOrder10IsComputedBothWays) {
  std::vector<float> table(2048 / 4 + 1 + 8);
  BuildSineTable(11, table.data());
  for (int k = 0; k <= 512; ++k)
    EXPECT_NEAR(table[k], std::sin(2.0 * 3.141592653589793 * k / 2048.0), 6e-8) << k;
  EXPECT_EQ(table[512], 1.0f);
  std::vector<float> small(5);
  BuildSineTable(4, small.data());
  for (int k = 0; k <= 4; ++k) EXPECT_EQ(small[k], QuarterSineTable1024[64 * k]);
}

// ---------------------------------------------------------------------------
// Transforms

TEST_F(RealFftTest, SmallOrdersGiveTheirExactSpectra) {
  {
    SpecInMemory spec(3, FFT_SCALE_NONE);
    float x[8] = {1, 0, 0, 0, 0, 0, 0, 0}, X[8];
    ASSERT_EQ(RealFftForward(x, X, spec.get(), nullptr), DSP_STATUS_OK);
    EXPECT_EQ(std::vector<float>(X, X + 8), (std::vector<float>{1, 1, 1, 0, 1, 0, 1, 0}));
  }
  {
    SpecInMemory spec(2, FFT_SCALE_NONE);
    float x[4] = {1, 2, 3, 4};
    ASSERT_EQ(RealFftForwardInPlace(x, spec.get(), nullptr), DSP_STATUS_OK);
    EXPECT_EQ(std::vector<float>(x, x + 4), (std::vector<float>{10, -2, -2, 2}));
    ASSERT_EQ(RealFftInverseInPlace(x, spec.get(), nullptr), DSP_STATUS_OK);
    EXPECT_EQ(std::vector<float>(x, x + 4), (std::vector<float>{4, 8, 12, 16}));
  }
  {
    SpecInMemory spec(1, FFT_SCALE_FORWARD);
    float x[2] = {3, 1};
    ASSERT_EQ(RealFftForwardInPlace(x, spec.get(), nullptr), DSP_STATUS_OK);
    EXPECT_EQ(std::vector<float>(x, x + 2), (std::vector<float>{2, 1}));
  }
}

TEST_F(RealFftTest, CosineLandsInItsBin) {
  SpecInMemory spec(8, FFT_SCALE_INVERSE);
  std::vector<float> x(256), X(256), back(256);
  for (int n = 0; n < 256; ++n) x[n] = static_cast<float>(std::cos(2.0 * 3.141592653589793 * 5 * n / 256));
  ASSERT_EQ(RealFftForward(x.data(), X.data(), spec.get(), nullptr), DSP_STATUS_OK);
  for (int i = 0; i < 256; ++i) EXPECT_NEAR(X[i], i == 10 ? 128.0f : 0.0f, 2e-5f) << i;
  ASSERT_EQ(RealFftInverse(X.data(), back.data(), spec.get(), nullptr), DSP_STATUS_OK);
  for (int n = 0; n < 256; ++n) EXPECT_NEAR(back[n], x[n], 1e-6f) << n;
}

TEST_F(RealFftTest, ForwardMatchesDirectDftUpToOrder12) {
  for (int32_t order = 0; order <= 12; ++order) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    SpecInMemory spec(order, FFT_SCALE_NONE);
    const std::vector<float> x = RandomSignal(size_t{1} << order, 100 + order);
    std::vector<float> X(x.size());
    ASSERT_EQ(RealFftForward(x.data(), X.data(), spec.get(), nullptr), DSP_STATUS_OK);
    EXPECT_LT(RelativeRmsError(X, DirectDft(x)), ForwardTolerance(order));
  }
}

TEST_F(RealFftTest, ForwardMatchesReferenceFftUpToOrder20) {
  for (int32_t order = 13; order <= 20; ++order) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    SpecInMemory spec(order, FFT_SCALE_FORWARD);
    const std::vector<float> x = RandomSignal(size_t{1} << order, 200 + order);
    std::vector<float> X(x.size());
    ASSERT_EQ(RealFftForward(x.data(), X.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    EXPECT_LT(RelativeRmsError(X, ReferenceFft(x), 1.0 / static_cast<double>(x.size())), ForwardTolerance(order));
  }
}

// Forward then inverse gives N x back unscaled, x itself under every scaling
// flag.
void ExpectRoundTrip(int32_t order, int32_t flags) {
  SCOPED_TRACE(testing::Message() << "order " << order << " flags " << flags);
  SpecInMemory spec(order, flags);
  const std::vector<float> x = RandomSignal(size_t{1} << order, 300 + order);
  std::vector<float> X(x.size()), back(x.size());
  ASSERT_EQ(RealFftForward(x.data(), X.data(), spec.get(), spec.work()), DSP_STATUS_OK);
  ASSERT_EQ(RealFftInverse(X.data(), back.data(), spec.get(), spec.work()), DSP_STATUS_OK);
  const double scale = flags == FFT_SCALE_NONE ? static_cast<double>(x.size()) : 1.0;
  std::vector<double> expected(x.begin(), x.end());
  EXPECT_LT(RelativeRmsError(back, expected, scale), 2 * ForwardTolerance(order));
}

TEST_F(RealFftTest, RoundTripUnderEveryFlag) {
  for (int32_t order = 0; order <= 16; ++order)
    for (int32_t flags : kAllFlags) ExpectRoundTrip(order, flags);
  // The largest orders once each, every flag among them.
  ExpectRoundTrip(17, FFT_SCALE_FORWARD);
  ExpectRoundTrip(18, FFT_SCALE_INVERSE);
  ExpectRoundTrip(19, FFT_SCALE_SQRT_BOTH);
  ExpectRoundTrip(20, FFT_SCALE_NONE);
}

// Opt-in (--gtest_also_run_disabled_tests): minutes under the sanitizers.
TEST_F(RealFftTest, DISABLED_LargestOrdersRoundTripAndMatchReference) {
  for (int32_t order = 21; order <= 24; ++order) {
    ExpectRoundTrip(order, FFT_SCALE_INVERSE);
    SpecInMemory spec(order, FFT_SCALE_NONE);
    const std::vector<float> x = RandomSignal(size_t{1} << order, 400 + order);
    std::vector<float> X(x.size());
    ASSERT_EQ(RealFftForward(x.data(), X.data(), spec.get(), nullptr), DSP_STATUS_OK);
    EXPECT_LT(RelativeRmsError(X, ReferenceFft(x)), ForwardTolerance(order)) << order;
  }
}

TEST_F(RealFftTest, ParsevalAndLinearityHold) {
  for (int32_t order : {5, 11, 14}) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    SpecInMemory spec(order, FFT_SCALE_NONE);
    const size_t n = size_t{1} << order;
    const std::vector<float> a = RandomSignal(n, 1), b = RandomSignal(n, 2);
    std::vector<float> sum(n), A(n), B(n), S(n);
    for (size_t i = 0; i < n; ++i) sum[i] = a[i] + b[i];
    ASSERT_EQ(RealFftForward(a.data(), A.data(), spec.get(), nullptr), DSP_STATUS_OK);
    ASSERT_EQ(RealFftForward(b.data(), B.data(), spec.get(), nullptr), DSP_STATUS_OK);
    ASSERT_EQ(RealFftForward(sum.data(), S.data(), spec.get(), nullptr), DSP_STATUS_OK);
    double timeEnergy = 0, spectrumEnergy = double{A[0]} * A[0] + double{A[1]} * A[1];
    for (size_t i = 0; i < n; ++i) timeEnergy += double{a[i]} * a[i];
    for (size_t i = 2; i < n; ++i) spectrumEnergy += 2.0 * A[i] * A[i];
    EXPECT_NEAR(spectrumEnergy / static_cast<double>(n), timeEnergy, timeEnergy * 1e-5);
    std::vector<double> expected(n);
    for (size_t i = 0; i < n; ++i) expected[i] = double{A[i]} + B[i];
    EXPECT_LT(RelativeRmsError(S, expected), 1e-6);
  }
}

// The spectra of every path, pinned bit for bit: a faster schedule of the
// same operations keeps every hash, while a changed operation or a changed
// order of operations moves one. Scaled directions are among them, since the
// scale factor rides on the last stage of a block.
TEST_F(RealFftTest, SpectraKeepTheirBits) {
  struct Row {
    const char* name;
    int32_t order, flags;
    uint64_t forward, inverse;
  };
  const Row rows[] = {
      {"8 points: the scalar stages", 4, FFT_SCALE_INVERSE, 0x48bd024cdac67252u, 0x24e4fd6b8b482d95u},
      {"16 points: quads from the first stage", 5, FFT_SCALE_INVERSE, 0x4fb6b20f38ca9463u, 0x10ebb48bc425c738u},
      {"32 points: the radix-2 stage on quads", 6, FFT_SCALE_INVERSE, 0x35954d068129396au, 0xe9542feae48327fbu},
      {"128 points, the forward scaled", 8, FFT_SCALE_FORWARD, 0x5f31c028bd80a481u, 0x1de576f937611a26u},
      {"256 points", 9, FFT_SCALE_INVERSE, 0x05abc49783cad3cdu, 0xe5a175ad59cf1db0u},
      {"512 points", 10, FFT_SCALE_INVERSE, 0x7e77cf0c423ee6dau, 0xd12e08e1108bd318u},
      {"one whole 1024-point block", 11, FFT_SCALE_INVERSE, 0x1d215df89bd47dcau, 0x440e070d4532c8e9u},
      {"two blocks and a radix-2 pass", 12, FFT_SCALE_INVERSE, 0x2fd7205d7ddacd35u, 0x3e753ebd8a529507u},
      {"four blocks and two radix-2 passes", 13, FFT_SCALE_INVERSE, 0xbc53ad55f155acc5u, 0xc049097f60cccdf2u},
      {"four-step: 32 rows", 14, FFT_SCALE_INVERSE, 0x33ea91feb21a869au, 0x3bb64fa38cc5ca7au},
      {"four-step, both directions scaled", 15, FFT_SCALE_SQRT_BOTH, 0x3d8ba22f03eea115u, 0x40b2f2c84c57a1a7u},
      {"four-step: 128 rows", 16, FFT_SCALE_INVERSE, 0x70ca44a6ef027a30u, 0x5a73f99090585bfbu},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SpecInMemory spec(row.order, row.flags);
    const std::vector<float> x = primitives_test::PinnedSignal(size_t{1} << row.order, 1000 + row.order);
    std::vector<float> forward(x.size()), inverse(x.size());
    ASSERT_EQ(RealFftForward(x.data(), forward.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    ASSERT_EQ(RealFftInverse(x.data(), inverse.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    EXPECT_EQ(primitives_test::BitsHash(forward.data(), x.size()), row.forward);
    EXPECT_EQ(primitives_test::BitsHash(inverse.data(), x.size()), row.inverse);
  }
}

TEST_F(RealFftTest, InPlaceAndOutOfPlaceAreBitIdentical) {
  for (int32_t order : {3, 4, 9, 11, 12, 13, 15}) {
    SCOPED_TRACE(testing::Message() << "order " << order);
    SpecInMemory spec(order, FFT_SCALE_SQRT_BOTH);
    const std::vector<float> x = RandomSignal(size_t{1} << order, 500 + order);
    std::vector<float> outOfPlace(x.size()), inPlace = x;
    ASSERT_EQ(RealFftForward(x.data(), outOfPlace.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    ASSERT_EQ(RealFftForwardInPlace(inPlace.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    EXPECT_EQ(inPlace, outOfPlace);
    std::vector<float> back(x.size());
    ASSERT_EQ(RealFftInverse(outOfPlace.data(), back.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    ASSERT_EQ(RealFftInverseInPlace(inPlace.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    EXPECT_EQ(inPlace, back);
  }
}

TEST_F(RealFftTest, TransformChecksSpecBeforeBuffers) {
  SpecInMemory spec(6, FFT_SCALE_NONE);
  std::vector<float> x(64, 1.0f);
  EXPECT_EQ(RealFftForward(nullptr, nullptr, nullptr, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(RealFftForward(x.data(), nullptr, spec.get(), nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(RealFftInverse(nullptr, x.data(), spec.get(), nullptr), DSP_STATUS_NULL_POINTER);
  ASSERT_EQ(RealFftDestroy(spec.get()), DSP_STATUS_OK);
  EXPECT_EQ(RealFftForward(nullptr, nullptr, spec.get(), nullptr), DSP_STATUS_WRONG_KIND);
  EXPECT_EQ(RealFftInverseInPlace(x.data(), spec.get(), nullptr), DSP_STATUS_WRONG_KIND);
}

TEST_F(RealFftTest, MissingWorkBufferIsAllocatedForTheCallOnly) {
  SpecInMemory spec(14, FFT_SCALE_INVERSE);
  ASSERT_GT(spec.get()->workBytes, 0);
  const std::vector<float> x = RandomSignal(size_t{1} << 14, 7);
  std::vector<float> withCallerBuffer(x.size()), withOwnBuffer(x.size());
  ASSERT_EQ(RealFftForward(x.data(), withCallerBuffer.data(), spec.get(), spec.work()), DSP_STATUS_OK);
  CountingAllocHooks hooks;
  ASSERT_EQ(RealFftForward(x.data(), withOwnBuffer.data(), spec.get(), nullptr), DSP_STATUS_OK);
  EXPECT_EQ(hooks.allocations(), 1);
  EXPECT_EQ(hooks.frees(), 1);
  EXPECT_EQ(withOwnBuffer, withCallerBuffer);

  hooks.FailNth(1);
  std::vector<float> untouched(x.size(), 5.0f);
  EXPECT_EQ(RealFftInverse(x.data(), untouched.data(), spec.get(), nullptr), DSP_STATUS_NO_MEMORY);
  EXPECT_EQ(untouched, std::vector<float>(x.size(), 5.0f));
  EXPECT_EQ(hooks.frees(), 1);

  // Below order 14 no transform needs a work buffer.
  SpecInMemory small(13, FFT_SCALE_INVERSE);
  std::vector<float> y = RandomSignal(size_t{1} << 13, 8);
  EXPECT_EQ(RealFftForwardInPlace(y.data(), small.get(), nullptr), DSP_STATUS_OK);
  EXPECT_EQ(hooks.allocations(), 2);
}

TEST_F(RealFftTest, PackedSpectrumMultiplyByLayout) {
  struct Row {
    const char* name;
    std::vector<float> a, b, product;
  };
  const Row rows[] = {
      {"len 1: one real", {3}, {-2}, {-6}},
      {"len 3: real, then one complex", {2, 1, 2}, {3, 3, 4}, {6, -5, 10}},
      {"len 4: two reals, then one complex", {2, 5, 1, 2}, {3, -1, 3, 4}, {6, -5, -5, 10}},
      {"len 6: two reals, two complex", {1, 1, 0, 1, 1, 1}, {1, 1, 0, 1, 1, -1}, {1, 1, -1, 0, 2, 0}},
  };
  for (const Row& row : rows) {
    std::vector<float> srcDst = row.b;
    ASSERT_EQ(PackedSpectrumMulInPlace(row.a.data(), srcDst.data(), static_cast<int32_t>(row.a.size())),
              DSP_STATUS_OK);
    EXPECT_EQ(srcDst, row.product) << row.name;
  }
  float v[2] = {1, 1};
  EXPECT_EQ(PackedSpectrumMulInPlace(nullptr, v, 0), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(PackedSpectrumMulInPlace(v, v, 0), DSP_STATUS_BAD_LENGTH);
}

}  // namespace
