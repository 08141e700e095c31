// Helpers of the level FFT tests: the builds of each level side by side, a
// level's setup in guarded caller memory, and long-double references.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstring>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "primitives/RealFft.h"
#include "primitives/levels/FftLevels.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/levels/LevelTestSupport.h"
#include "tests/support/KernelTest.h"

namespace fft_level_test {

using primitives_test::GuardedBuffer;
using primitives_test::RandomSignal;

// The builds of one level, so that one test body runs every level.
struct LevelApi {
  int level;
  int directThreshold;  // largest complex order without the four-step split
  decltype(&RealFftGetSizeL1) getSize;
  decltype(&RealFftInitL1) init;
  decltype(&RealFftCreateL1) create;
  decltype(&RealFftForwardL1) forward;
  decltype(&RealFftInverseL1) inverse;
  decltype(&RealFftForwardInPlaceL1) forwardInPlace;
  decltype(&RealFftInverseInPlaceL1) inverseInPlace;
  decltype(&PackedSpectrumMulInPlaceL1) packedMul;
  decltype(&ZeroBytesCheckedL1) zeroBytesChecked;
  decltype(&BuildSineTableL1) buildSine;
  decltype(&BuildBitReverseIndexTableL1) buildIndexTable;
  decltype(&BuildBlockBitReverseTableL1) buildBlockTable;
  decltype(&BuildButterflyTwiddlesL1) buildButterfly;
  decltype(&BuildRecombineTwiddlesForwardL1) buildRecombineForward;
  decltype(&BuildRecombineTwiddlesInverseL1) buildRecombineInverse;
  decltype(&BuildFourStepTablesL1) buildFourStep;
  decltype(&FftBitReverseInPlaceL1) bitReverseInPlace;
  decltype(&FftBitReverseCopyL1) bitReverseCopy;
  decltype(&FftBitReverseSwapPairsL1) bitReverseSwapPairs;
  decltype(&FftBitReverseBlockedL1) bitReverseBlocked;
  decltype(&FftButterflyBlockForwardTileL1) forwardTile;
  decltype(&ComplexFftForwardCoreL1) forwardCore;
  decltype(&ComplexFftInverseCoreL1) inverseCore;
  decltype(&FftFourStepForwardL1) fourStepForward;
  decltype(&FftFourStepInverseL1) fourStepInverse;
  decltype(&RealFftRecombineForwardL1) recombineForward;
  decltype(&RealFftRecombineInverseL1) recombineInverse;
  decltype(&ComplexMulInPlaceLoopL1) complexMul;
};

inline const LevelApi kLevelApis[] = {
    {1,
     16,
     RealFftGetSizeL1,
     RealFftInitL1,
     RealFftCreateL1,
     RealFftForwardL1,
     RealFftInverseL1,
     RealFftForwardInPlaceL1,
     RealFftInverseInPlaceL1,
     PackedSpectrumMulInPlaceL1,
     ZeroBytesCheckedL1,
     BuildSineTableL1,
     BuildBitReverseIndexTableL1,
     BuildBlockBitReverseTableL1,
     BuildButterflyTwiddlesL1,
     BuildRecombineTwiddlesForwardL1,
     BuildRecombineTwiddlesInverseL1,
     BuildFourStepTablesL1,
     FftBitReverseInPlaceL1,
     FftBitReverseCopyL1,
     FftBitReverseSwapPairsL1,
     FftBitReverseBlockedL1,
     FftButterflyBlockForwardTileL1,
     ComplexFftForwardCoreL1,
     ComplexFftInverseCoreL1,
     FftFourStepForwardL1,
     FftFourStepInverseL1,
     RealFftRecombineForwardL1,
     RealFftRecombineInverseL1,
     ComplexMulInPlaceLoopL1},
    {2,
     17,
     RealFftGetSizeL2,
     RealFftInitL2,
     RealFftCreateL2,
     RealFftForwardL2,
     RealFftInverseL2,
     RealFftForwardInPlaceL2,
     RealFftInverseInPlaceL2,
     PackedSpectrumMulInPlaceL2,
     ZeroBytesCheckedL2,
     BuildSineTableL2,
     BuildBitReverseIndexTableL2L3,
     BuildBlockBitReverseTableL2L3,
     BuildButterflyTwiddlesL2L3,
     BuildRecombineTwiddlesForwardL2,
     BuildRecombineTwiddlesInverseL2L3,
     BuildFourStepTablesL2,
     FftBitReverseInPlaceL2,
     FftBitReverseCopyL2,
     FftBitReverseSwapPairsL2,
     FftBitReverseBlockedL2,
     FftButterflyBlockForwardTileL2,
     ComplexFftForwardCoreL2,
     ComplexFftInverseCoreL2,
     FftFourStepForwardL2,
     FftFourStepInverseL2,
     RealFftRecombineForwardL2,
     RealFftRecombineInverseL2,
     ComplexMulInPlaceLoopL2},
    {3,
     17,
     RealFftGetSizeL3,
     RealFftInitL3,
     RealFftCreateL3,
     RealFftForwardL3,
     RealFftInverseL3,
     RealFftForwardInPlaceL3,
     RealFftInverseInPlaceL3,
     PackedSpectrumMulInPlaceL3,
     ZeroBytesCheckedL3,
     BuildSineTableL3,
     BuildBitReverseIndexTableL2L3,
     BuildBlockBitReverseTableL2L3,
     BuildButterflyTwiddlesL2L3,
     BuildRecombineTwiddlesForwardL3,
     BuildRecombineTwiddlesInverseL2L3,
     BuildFourStepTablesL3,
     FftBitReverseInPlaceL3,
     FftBitReverseCopyL3,
     FftBitReverseSwapPairsL3,
     FftBitReverseBlockedL3,
     FftButterflyBlockForwardTileL3,
     ComplexFftForwardCoreL3,
     ComplexFftInverseCoreL3,
     FftFourStepForwardL3,
     FftFourStepInverseL3,
     RealFftRecombineForwardL3,
     RealFftRecombineInverseL3,
     ComplexMulInPlaceLoopL3},
};

inline void PrintTo(const LevelApi& api, std::ostream* os) { *os << "level " << api.level; }

inline const LevelApi& Api(int level) { return kLevelApis[level - 1]; }

// A test per level 1..3: GetParam() is the level's builds.
class FftLevelTest : public testsupport::KernelTest, public ::testing::WithParamInterface<LevelApi> {
 protected:
  void SetUp() override {
    testsupport::KernelTest::SetUp();
    if (!leveltest::ProcessorRunsLevel(GetParam().level)) GTEST_SKIP() << "this processor lacks level " << GetParam().level;
  }
  const LevelApi& api() const { return GetParam(); }
};

inline std::string LevelName(const ::testing::TestParamInfo<LevelApi>& info) {
  return "L" + std::to_string(info.param.level);
}

#define INSTANTIATE_FOR_FFT_LEVELS(fixture)                                                    \
  INSTANTIATE_TEST_SUITE_P(Levels, fixture, ::testing::ValuesIn(::fft_level_test::kLevelApis), \
                           ::fft_level_test::LevelName)

// A level's setup in memory of exactly the sizes its query reports,
// with guards around each block.
class LevelSpec {
 public:
  LevelSpec(const LevelApi& api, int32_t order, int32_t flags, size_t misalign = 0) {
    EXPECT_EQ(api.getSize(order, flags, 0, &m_SpecBytes, &m_InitBytes, &m_WorkBytes), DSP_STATUS_OK);
    m_Spec = std::make_unique<GuardedBuffer>(m_SpecBytes, misalign);
    m_Init = std::make_unique<GuardedBuffer>(m_InitBytes, misalign);
    m_Work = std::make_unique<GuardedBuffer>(m_WorkBytes, misalign);
    m_Status = api.init(&m_Record, order, flags, 0, m_Spec->data(), m_InitBytes > 0 ? m_Init->data() : nullptr);
  }
  DspStatus status() const { return m_Status; }
  RealFftSpec* get() const { return m_Record; }
  void* work() { return m_WorkBytes > 0 ? m_Work->data() : nullptr; }
  // The work buffer from its first 32-byte boundary, as the transforms use it.
  float* alignedWork() {
    return reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(m_Work->data()) + 31) & ~uintptr_t{31});
  }
  bool GuardsIntact() const { return m_Spec->GuardsIntact() && m_Init->GuardsIntact() && m_Work->GuardsIntact(); }

 private:
  int32_t m_SpecBytes = 0, m_InitBytes = 0, m_WorkBytes = 0;
  std::unique_ptr<GuardedBuffer> m_Spec, m_Init, m_Work;
  RealFftSpec* m_Record = nullptr;
  DspStatus m_Status = -1;
};

using ComplexLd = std::complex<long double>;

inline long double Pi() { return std::acos(-1.0L); }

// The DFT of x in long double, exp(-2 pi i j k / N) (or its conjugate): a
// direct sum for short lengths, an iterative radix-2 FFT with long double
// twiddles above (its error stays far below float's).
inline std::vector<ComplexLd> ReferenceDft(std::vector<ComplexLd> x, bool inverse) {
  const size_t n = x.size();
  const long double sign = inverse ? 1.0L : -1.0L;
  if (n <= 256) {
    std::vector<ComplexLd> out(n);
    for (size_t k = 0; k < n; ++k) {
      ComplexLd sum = 0;
      for (size_t t = 0; t < n; ++t) {
        const long double angle = sign * 2.0L * Pi() * static_cast<long double>((k * t) % n) / n;
        sum += x[t] * ComplexLd(std::cos(angle), std::sin(angle));
      }
      out[k] = sum;
    }
    return out;
  }
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(x[i], x[j]);
  }
  std::vector<ComplexLd> roots(n / 2);
  for (size_t j = 0; j < n / 2; ++j) {
    const long double angle = sign * 2.0L * Pi() * static_cast<long double>(j) / n;
    roots[j] = ComplexLd(std::cos(angle), std::sin(angle));
  }
  // Real arithmetic in the butterflies: std::complex's product checks for
  // infinities and would make the reference the slowest part of a test.
  std::vector<long double> re(n), im(n);
  for (size_t i = 0; i < n; ++i) re[i] = x[i].real(), im[i] = x[i].imag();
  for (size_t len = 2; len <= n; len <<= 1) {
    const size_t half = len / 2, step = n / len;
    for (size_t i = 0; i < n; i += len)
      for (size_t j = 0; j < half; ++j) {
        const size_t a = i + j, b = a + half;
        const long double wr = roots[j * step].real(), wi = roots[j * step].imag();
        const long double vr = re[b] * wr - im[b] * wi, vi = re[b] * wi + im[b] * wr;
        re[b] = re[a] - vr;
        im[b] = im[a] - vi;
        re[a] += vr;
        im[a] += vi;
      }
  }
  for (size_t i = 0; i < n; ++i) x[i] = ComplexLd(re[i], im[i]);
  return x;
}

// A signal of three complex tones at random bins, with its exact spectrum:
// 2^n times each tone's amplitude at its bin, 0 elsewhere. A reference for
// large orders at the cost of generating the signal; any misplaced point or
// wrong twiddle spreads energy over the other bins.
struct ToneSignal {
  std::vector<float> x;               // interleaved points
  std::vector<long double> spectrum;  // interleaved bins
};
inline ToneSignal Tones(int32_t n, unsigned seed) {
  const int64_t points = int64_t{1} << n;
  const std::vector<float> random = RandomSignal(9, seed);
  ToneSignal t{std::vector<float>(2 * points), std::vector<long double>(2 * points, 0.0L)};
  int64_t bin[3];
  long double ar[3], ai[3], stepCos[3], stepSin[3], c[3], s[3];
  for (int q = 0; q < 3; ++q) {
    bin[q] = static_cast<int64_t>((random[3 * q] + 1.0f) * 0.5f * static_cast<float>(points - 1));
    ar[q] = random[3 * q + 1];
    ai[q] = random[3 * q + 2];
    t.spectrum[2 * bin[q]] += ar[q] * points;
    t.spectrum[2 * bin[q] + 1] += ai[q] * points;
    const long double step = 2 * Pi() * static_cast<long double>(bin[q]) / points;
    stepCos[q] = std::cos(step);
    stepSin[q] = std::sin(step);
  }
  // exp(2 pi i bin j / N) by rotation, taken afresh every 1024 points so
  // that the recurrence's error stays far below float's.
  for (int64_t j = 0; j < points; ++j) {
    long double re = 0, im = 0;
    for (int q = 0; q < 3; ++q) {
      if (j % 1024 == 0) {
        const long double angle = 2 * Pi() * static_cast<long double>((bin[q] * j) % points) / points;
        c[q] = std::cos(angle);
        s[q] = std::sin(angle);
      }
      re += ar[q] * c[q] - ai[q] * s[q];
      im += ar[q] * s[q] + ai[q] * c[q];
      const long double nextCos = c[q] * stepCos[q] - s[q] * stepSin[q];
      s[q] = s[q] * stepCos[q] + c[q] * stepSin[q];
      c[q] = nextCos;
    }
    t.x[2 * j] = static_cast<float>(re);
    t.x[2 * j + 1] = static_cast<float>(im);
  }
  return t;
}

// Interleaved float points to long double and back.
inline std::vector<ComplexLd> ToComplex(const std::vector<float>& interleaved) {
  std::vector<ComplexLd> c(interleaved.size() / 2);
  for (size_t k = 0; k < c.size(); ++k) c[k] = ComplexLd(interleaved[2 * k], interleaved[2 * k + 1]);
  return c;
}
inline std::vector<long double> ToInterleaved(const std::vector<ComplexLd>& c) {
  std::vector<long double> v(2 * c.size());
  for (size_t k = 0; k < c.size(); ++k) {
    v[2 * k] = c[k].real();
    v[2 * k + 1] = c[k].imag();
  }
  return v;
}

// The packed spectrum of the real signal x.
inline std::vector<long double> ReferencePackedSpectrum(const std::vector<float>& x) {
  const size_t n = x.size();
  std::vector<ComplexLd> c(x.begin(), x.end());
  const std::vector<ComplexLd> spectrum = ReferenceDft(c, false);
  std::vector<long double> packed(n);
  packed[0] = spectrum[0].real();
  if (n == 1) return packed;
  packed[1] = spectrum[n / 2].real();
  for (size_t k = 1; k < n / 2; ++k) {
    packed[2 * k] = spectrum[k].real();
    packed[2 * k + 1] = spectrum[k].imag();
  }
  return packed;
}

// The unscaled inverse of a packed spectrum: sum over all N bins of the
// Hermitian spectrum it stands for, times exp(+2 pi i j k / N).
inline std::vector<long double> ReferenceInversePacked(const std::vector<float>& packed) {
  const size_t n = packed.size();
  std::vector<ComplexLd> spectrum(n);
  spectrum[0] = packed[0];
  if (n > 1) spectrum[n / 2] = packed[1];
  for (size_t k = 1; k < n / 2; ++k) {
    spectrum[k] = ComplexLd(packed[2 * k], packed[2 * k + 1]);
    spectrum[n - k] = std::conj(spectrum[k]);
  }
  const std::vector<ComplexLd> signal = ReferenceDft(spectrum, true);
  std::vector<long double> x(n);
  for (size_t t = 0; t < n; ++t) x[t] = signal[t].real();
  return x;
}

// sqrt(sum |actual - scale * expected|^2 / sum |scale * expected|^2).
inline double RelativeRmsError(const float* actual, const std::vector<long double>& expected,
                               long double scale = 1.0L) {
  long double error = 0, energy = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    const long double e = expected[i] * scale;
    error += (actual[i] - e) * (actual[i] - e);
    energy += e * e;
  }
  return static_cast<double>(energy == 0 ? std::sqrt(error) : std::sqrt(error / energy));
}

// Float transforms lose about one unit of 2^-24 (6e-8) per stage in the
// root-mean-square; the bound is about three times what the levels reach.
inline double Tolerance(int32_t order) { return 3e-8 * (order + 2); }

inline uint32_t Bits(float f) { return std::bit_cast<uint32_t>(f); }

inline bool SameBits(const float* a, const float* b, size_t count) { return std::memcmp(a, b, 4 * count) == 0; }

// Floats in a buffer that starts `misalignBytes` past a 64-byte boundary.
class FloatArray {
 public:
  FloatArray(size_t count, size_t misalignBytes) : m_Storage(count + 32) {
    const uintptr_t base = (reinterpret_cast<uintptr_t>(m_Storage.data()) + 63) & ~uintptr_t{63};
    m_Data = reinterpret_cast<float*>(base + misalignBytes);
    m_Count = count;
  }
  FloatArray(const std::vector<float>& values, size_t misalignBytes) : FloatArray(values.size(), misalignBytes) {
    std::copy(values.begin(), values.end(), m_Data);
  }
  float* data() { return m_Data; }
  std::vector<float> ToVector() const { return std::vector<float>(m_Data, m_Data + m_Count); }

 private:
  std::vector<float> m_Storage;
  float* m_Data;
  size_t m_Count;
};

}  // namespace fft_level_test
