// The complex FIR kernels: the single-rate block kernel at every tap-count
// path, alignment and level; the polyphase block kernel's windows, rows and
// returned positions; the single-sample kernel's doubled delay line.
#include <algorithm>
#include <complex>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "primitives/unreached/complex_fir/ComplexFir.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using unreached_test::Bits;
using LComplex = std::complex<long double>;

class ComplexFirKernels : public unreached_test::LevelKernelTest {};

std::vector<ComplexF32> RandomComplex(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<ComplexF32> v(n);
  for (ComplexF32& z : v) z = {unit(rng), unit(rng)};
  return v;
}

LComplex L(ComplexF32 z) { return LComplex(z.re, z.im); }

bool SameBits(ComplexF32 a, ComplexF32 b) { return Bits(a.re) == Bits(b.re) && Bits(a.im) == Bits(b.im); }

std::vector<ComplexFirTapEntry> TapTable(const std::vector<ComplexF32>& h) {
  std::vector<ComplexFirTapEntry> table;
  for (const ComplexF32& t : h) table.push_back({{t.re, t.re, t.re, t.re}, {-t.im, t.im, -t.im, t.im}});
  return table;
}

// A window of exactly `samples` complex values `offsetFloats` floats past a
// 16-byte boundary and ending at the end of its heap block, so that a read
// past the window is an out-of-bounds access the sanitizer reports.
class ExactWindow {
 public:
  ExactWindow(const std::vector<ComplexF32>& samples, size_t offsetFloats)
      : m_Storage(new float[offsetFloats + 2 * samples.size()]) {
    m_Data = reinterpret_cast<ComplexF32*>(m_Storage.get() + offsetFloats);
    if (!samples.empty()) std::memcpy(m_Data, samples.data(), samples.size() * sizeof(ComplexF32));
  }
  const ComplexF32* get() const { return m_Data; }

 private:
  std::unique_ptr<float[]> m_Storage;
  ComplexF32* m_Data;
};

using SingleRateFn = decltype(&ComplexFirFilterBlockL1KernelSingleRate);
const SingleRateFn kSingleRate[3] = {ComplexFirFilterBlockL1KernelSingleRate, ComplexFirFilterBlockL2KernelSingleRate,
                                     ComplexFirFilterBlockL3KernelSingleRate};

// Runs level `level` with the destination `dstFloats` floats past a 16-byte
// boundary and returns the outputs; nothing past dst[count - 1] changes.
std::vector<ComplexF32> RunSingleRate(int level, const std::vector<ComplexFirTapEntry>& table,
                                      const ExactWindow& window, uint64_t count, size_t dstFloats) {
  std::vector<ComplexF32> storage(count + 4);
  float* base = &storage[0].re;
  while (reinterpret_cast<uintptr_t>(base) % 16 != 0) ++base;
  ComplexF32* dst = reinterpret_cast<ComplexF32*>(base + dstFloats);
  for (uint64_t i = 0; i <= count; ++i) std::memcpy(dst + i, "\x5A\x5A\x5A\x5A\x5A\x5A\x5A\x5A", 8);
  kSingleRate[level - 1](table.data(), window.get(), dst, count, static_cast<int32_t>(table.size()));
  EXPECT_EQ(Bits(dst[count].re), 0x5A5A5A5Au) << "written past the block";
  std::vector<ComplexF32> out(count);
  if (count > 0) std::memcpy(out.data(), dst, count * sizeof(ComplexF32));
  return out;
}

TEST_F(ComplexFirKernels, SingleRateMatchesTheConvolutionOnEveryPath) {
  for (int32_t taps = 1; taps <= 9; ++taps) {
    const std::vector<ComplexF32> h = RandomComplex(taps, taps);
    const std::vector<ComplexFirTapEntry> table = TapTable(h);
    for (uint64_t count : {0u, 1u, 2u, 3u, 5u, 8u, 9u, 17u}) {
      SCOPED_TRACE(testing::Message() << taps << " taps, count " << count);
      const std::vector<ComplexF32> x = RandomComplex(count + taps - 1, 100 + count);
      const ExactWindow aligned(x, 0);
      const std::vector<ComplexF32> reference = RunSingleRate(1, table, aligned, count, 0);
      for (uint64_t n = 0; n < count; ++n) {
        LComplex exact = 0;
        for (int32_t j = 0; j < taps; ++j) exact += L(h[taps - 1 - j]) * L(x[n + j]);
        EXPECT_LT(std::abs(L(reference[n]) - exact), 2e-6) << n;
      }
      for (int level = 1; level <= 3; ++level) {
        if (!unreached_test::CpuRunsLevel(level)) continue;
        for (size_t srcFloats : {0u, 1u, 2u}) {
          const ExactWindow window(x, srcFloats);
          // Any source alignment and a destination 16-byte aligned or off the
          // 8-byte grid: the same bits.
          for (size_t dstFloats : {0u, 1u}) {
            const std::vector<ComplexF32> out = RunSingleRate(level, table, window, count, dstFloats);
            for (uint64_t n = 0; n < count; ++n) EXPECT_TRUE(SameBits(out[n], reference[n])) << n;
          }
          // 8 bytes past a boundary: the first output in the scalar form,
          // the others the shifted block's own (one tap at a time for an odd
          // leftover from 5 taps on).
          const std::vector<ComplexF32> shifted = RunSingleRate(level, table, window, count, 2);
          for (uint64_t n = 0; n < count; ++n) {
            const bool sameSums = n > 0 && (taps <= 4 || n + 1 < count);
            if (sameSums) {
              EXPECT_TRUE(SameBits(shifted[n], reference[n])) << n;
            } else {
              EXPECT_NEAR(shifted[n].re, reference[n].re, 1e-6) << n;
              EXPECT_NEAR(shifted[n].im, reference[n].im, 1e-6) << n;
            }
          }
        }
      }
    }
  }
}

TEST_F(ComplexFirKernels, SingleTapIsOneComplexProduct) {
  const ComplexF32 h = {0.5f, -2.0f};
  const std::vector<ComplexFirTapEntry> table = TapTable({h});
  const std::vector<ComplexF32> x = {{1, 2}, {3, -4}, {-0.25f, 8}};
  ComplexF32 y[3];
  ComplexFirFilterBlockL2KernelSingleRate(table.data(), x.data(), y, 3, 1);
  for (int n = 0; n < 3; ++n) {
    EXPECT_EQ(y[n].re, h.re * x[n].re - h.im * x[n].im);
    EXPECT_EQ(y[n].im, h.re * x[n].im + h.im * x[n].re);
  }
}

// ---------------------------------------------------------------------------
// Polyphase

struct Polyphase {
  int32_t up, taps, rowLen;
  std::vector<float> table;                 // 2 halves x 4u rows x rowLen slots x 2 floats
  std::vector<std::vector<LComplex>> rows;  // the coefficients of each row
  std::vector<int32_t> offsets;             // bytes

  Polyphase(int32_t u, int32_t b, unsigned seed) : up(u), taps(b), rowLen((b + 1) & ~1) {
    const int32_t rowCount = 4 * u;
    table.assign(2 * rowCount * rowLen * 2 + 4, 0.0f);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int32_t> step(-1, 4);
    for (int32_t r = 0; r < rowCount; ++r) {
      const std::vector<ComplexF32> h = RandomComplex(b, seed + r);
      rows.emplace_back();
      for (int32_t i = 0; i < b; ++i) {
        rows.back().push_back(L(h[i]));
        float* re = Slot(r, i);
        float* im = Slot(rowCount + r, i);
        re[0] = h[i].re, re[1] = -h[i].im;
        im[0] = h[i].im, im[1] = h[i].re;
      }
    }
    const int32_t entries = u == 1 ? 2 : 4 * u + 1;
    for (int32_t e = 0; e < entries; ++e) offsets.push_back(8 * step(rng));
  }
  float* Slot(int32_t row, int32_t slot) { return Aligned() + 2 * (static_cast<int64_t>(row) * rowLen + slot); }
  float* Aligned() {
    float* p = table.data();
    while (reinterpret_cast<uintptr_t>(p) % 16 != 0) ++p;
    return p;
  }

  // The outputs and the returned position by the kernel's addressing, in
  // long double.
  std::vector<LComplex> Expected(const std::vector<ComplexF32>& history, int64_t origin, int32_t start, uint64_t count,
                                 int32_t* next) const {
    std::vector<LComplex> out;
    auto sum = [&](int64_t w, int32_t row) {
      LComplex s = 0;
      for (int32_t i = 0; i < taps; ++i) s += rows[row][i] * L(history[origin + w + i]);
      return s;
    };
    int64_t w = start;
    if (up == 1) {
      w += offsets[0] / 8;
      for (uint64_t k = 0; k < count / 2; ++k, w += 2 * (offsets[1] / 8)) {
        out.push_back(sum(w, 0));
        out.push_back(sum(w + offsets[1] / 8, 0));
      }
      *next = static_cast<int32_t>(w - offsets[0] / 8);
      return out;
    }
    for (uint64_t k = 0; k < count / 2; ++k) {
      const int32_t p = static_cast<int32_t>(k % (2 * up));
      w += offsets[2 * p] / 8;
      out.push_back(sum(w, 2 * p));
      w += offsets[2 * p + 1] / 8;
      out.push_back(sum(w, 2 * p + 1));
      if (p == 2 * up - 1) w += offsets[4 * up] / 8;
    }
    *next = static_cast<int32_t>(w);
    return out;
  }
};

using MultirateFn = decltype(&ComplexFirFilterBlockL1KernelMultirate);
const MultirateFn kMultirate[3] = {ComplexFirFilterBlockL1KernelMultirate, ComplexFirFilterBlockL2KernelMultirate,
                                   ComplexFirFilterBlockL3KernelMultirate};

TEST_F(ComplexFirKernels, PolyphaseWindowsRowsAndPositions) {
  // The history's base sits 128 samples into it, so windows may also move
  // back before it.
  const std::vector<ComplexF32> history = RandomComplex(640, 9);
  const int64_t origin = 128;
  for (int32_t up : {1, 2, 3}) {
    for (int32_t taps : {1, 3, 4, 8, 9, 11, 16}) {
      Polyphase poly(up, taps, 10 * up + taps);
      for (uint64_t count : {uint64_t{0}, uint64_t{2}, uint64_t{4} * up, uint64_t{12} * up + 2}) {
        SCOPED_TRACE(testing::Message() << "u " << up << ", b " << taps << ", count " << count);
        int32_t next = 0;
        const int32_t start = 5;
        const std::vector<LComplex> expected = poly.Expected(history, origin, start, count, &next);
        std::vector<uint32_t> first;
        for (int level = 1; level <= 3; ++level) {
          if (!unreached_test::CpuRunsLevel(level)) continue;
          std::vector<ComplexF32> out(count + 1, ComplexF32{-7.0f, -7.0f});
          const int32_t result = kMultirate[level - 1](poly.Aligned(), history.data() + origin, out.data(), count,
                                                       poly.offsets.data(), up, start, taps, poly.rowLen);
          EXPECT_EQ(result, count == 0 ? start : next);
          EXPECT_EQ(out[count].re, -7.0f);
          std::vector<uint32_t> bits;
          for (uint64_t n = 0; n < count; ++n) {
            EXPECT_LT(std::abs(L(out[n]) - expected[n]), 1e-5) << n;
            bits.push_back(Bits(out[n].re));
            bits.push_back(Bits(out[n].im));
          }
          if (first.empty()) first = bits;
          EXPECT_EQ(bits, first) << "level " << level;
        }
      }
    }
  }
}

// Whole cycles continue one stream from call to call; for u = 1 the returned
// position continues it for any count, including one that ends with the
// window back at the history's base.
TEST_F(ComplexFirKernels, PolyphaseCallsContinueTheStream) {
  const std::vector<ComplexF32> history = RandomComplex(256, 3);
  const ComplexF32* base = history.data() + 64;
  for (int32_t up : {1, 2}) {
    Polyphase poly(up, 5, 40 + up);
    if (up == 1) poly.offsets = {32, -8};  // windows 4, 3, 2, 1, then 0, -1, ...
    const uint64_t part = 4 * up;
    std::vector<ComplexF32> once(2 * part), split(2 * part);
    const int32_t start = 0;
    const int32_t end = ComplexFirFilterBlockL1KernelMultirate(poly.Aligned(), base, once.data(), 2 * part,
                                                               poly.offsets.data(), up, start, 5, poly.rowLen);
    const int32_t middle = ComplexFirFilterBlockL1KernelMultirate(poly.Aligned(), base, split.data(), part,
                                                                  poly.offsets.data(), up, start, 5, poly.rowLen);
    if (up == 1) {
      EXPECT_EQ(middle, -4) << "the window ends on the base; the stream goes on below it";
    }
    EXPECT_EQ(ComplexFirFilterBlockL1KernelMultirate(poly.Aligned(), base, split.data() + part, part,
                                                     poly.offsets.data(), up, middle, 5, poly.rowLen),
              end);
    for (uint64_t n = 0; n < 2 * part; ++n) EXPECT_TRUE(SameBits(once[n], split[n])) << "u " << up << ", " << n;
  }
}

// ---------------------------------------------------------------------------
// Single sample

TEST_F(ComplexFirKernels, SingleSampleRunsTheConvolutionOverADoubledLine) {
  using SampleFn = decltype(&ComplexFirFilterSampleL1Kernel);
  const SampleFn levels[3] = {ComplexFirFilterSampleL1Kernel, ComplexFirFilterSampleL2Kernel,
                              ComplexFirFilterSampleL3Kernel};
  for (int32_t taps : {1, 2, 3, 4, 5, 7, 9}) {
    const std::vector<ComplexF32> h = RandomComplex(taps, taps + 1), x = RandomComplex(25, taps + 2);
    std::vector<uint32_t> first;
    for (int level = 1; level <= 3; ++level) {
      if (!unreached_test::CpuRunsLevel(level)) continue;
      SCOPED_TRACE(testing::Message() << taps << " taps, level " << level);
      std::vector<ComplexF32> line(2 * taps, ComplexF32{0, 0});
      int32_t index = 0;
      std::vector<uint32_t> bits;
      for (size_t t = 0; t < x.size(); ++t) {
        ComplexF32 y;
        levels[level - 1](&x[t], &y, h.data(), taps, line.data(), &index);
        EXPECT_EQ(index, static_cast<int32_t>((t + 1) % taps));
        for (int32_t q = 0; q < taps; ++q) EXPECT_TRUE(SameBits(line[q], line[q + taps]));
        LComplex exact = 0;
        for (int32_t k = 0; k < taps && k <= static_cast<int32_t>(t); ++k) exact += L(h[k]) * L(x[t - k]);
        EXPECT_LT(std::abs(L(y) - exact), 2e-6) << t;
        bits.push_back(Bits(y.re));
        bits.push_back(Bits(y.im));
      }
      if (first.empty()) first = bits;
      EXPECT_EQ(bits, first);
    }
  }
  // The real part is the difference of two separate sums.
  const ComplexF32 h[2] = {{1e8f, 1}, {1, 1e8f}}, x[2] = {{1, 0}, {0, 1}};
  ComplexF32 line[4] = {}, y;
  int32_t index = 0;
  ComplexFirFilterSampleL1Kernel(&x[0], &y, h, 2, line, &index);
  ComplexFirFilterSampleL1Kernel(&x[1], &y, h, 2, line, &index);
  EXPECT_EQ(index, 0);
  // y = h0 x1 + h1 x0 = (-1 + 1e8 i) + (1 + 1e8 i): the sums of d_re t_re
  // and of d_im t_im are 1 each, so the real part is exactly 0.
  EXPECT_EQ(y.re, 0.0f);
  EXPECT_EQ(y.im, 2e8f);
}

}  // namespace
