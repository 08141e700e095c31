// The level builds of the single-rate FIR filter and of the one-sample
// filter. Their sums are single precision grouped by the vector layout, so
// they are held to a long-double reference within a rounding tolerance
// rather than to the baseline's bits: the direct-form kernel at every tap
// count, output and window alignment; the whole filter through both forms
// and every split of a stream; the state's size and layout in its buffer.
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "primitives/Fir.h"
#include "primitives/levels/FftLevels.h"
#include "primitives/levels/FirLevels.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/levels/LevelTestSupport.h"

namespace {

using leveltest::Arena;
using primitives_test::GuardedBuffer;
using primitives_test::RandomSignal;

using KernelFn = void (*)(const float*, const float*, float*, int64_t, int32_t);
const KernelFn kKernels[4] = {nullptr, FirFilterBlockL1KernelSingleRate, FirFilterBlockL2KernelSingleRate,
                              FirFilterBlockL3KernelSingleRate};
using GetSizeFn = DspStatus (*)(int32_t, int32_t, int32_t, int32_t*, int32_t*, int32_t*);
const GetSizeFn kFftGetSize[4] = {nullptr, RealFftGetSizeL1, RealFftGetSizeL2, RealFftGetSizeL3};

// Single-precision rounding of a sum of `terms` products whose magnitudes
// add up to `magnitude`, with room for the transform's own rounding.
float Tolerance(long double magnitude, int32_t terms) {
  return static_cast<float>(magnitude * 1e-6L * (8 + std::sqrt(static_cast<long double>(terms))) + 1e-30L);
}

class FirLevelsTest : public leveltest::LevelTest {};
INSTANTIATE_LEVELS(FirLevelsTest);

// The kernel by itself: every tap count from 1 to 20 (each shape of pass),
// outputs at every 4-byte offset from a 16-byte boundary and off a 4-byte
// boundary, windows likewise. The window sits at the very end of its
// allocation, so a read past window[n + a - 2] is an error.
TEST_P(FirLevelsTest, DirectKernelAtEveryTapCountAndAlignment) {
  const KernelFn kernel = kKernels[level()];
  std::vector<int32_t> tapCounts;
  for (int32_t a = 1; a <= 20; ++a) tapCounts.push_back(a);
  for (int32_t a : {31, 33, 63}) tapCounts.push_back(a);
  for (int32_t a : tapCounts) {
    const std::vector<float> taps = RandomSignal(static_cast<size_t>(a), static_cast<unsigned>(a));
    std::vector<float> table(4 * static_cast<size_t>(a) + 4);
    float* broadcast = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(table.data()) + 15) & ~uintptr_t{15});
    for (int32_t j = 0; j < a; ++j)
      for (int lane = 0; lane < 4; ++lane) broadcast[4 * j + lane] = taps[static_cast<size_t>(j)];
    for (int64_t n : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 23, 24, 25, 33, 40, 100}) {
      const size_t windowFloats = static_cast<size_t>(n + a - 1);
      const std::vector<float> x = RandomSignal(windowFloats, static_cast<unsigned>(n * 7 + a));
      for (size_t windowOffset : {0u, 4u, 8u, 12u, 2u}) {
        // operator new gives 16-byte aligned memory, and ASan's ends at its
        // size: the window ends exactly where the allocation does.
        std::unique_ptr<unsigned char[]> windowMemory(new unsigned char[windowOffset + 4 * windowFloats]);
        ASSERT_EQ(reinterpret_cast<uintptr_t>(windowMemory.get()) % 16, 0u);
        const float* window = reinterpret_cast<const float*>(windowMemory.get() + windowOffset);
        std::memcpy(windowMemory.get() + windowOffset, x.data(), 4 * windowFloats);
        for (size_t dstOffset : {0u, 4u, 8u, 12u, 2u}) {
          Arena out(4 * static_cast<size_t>(n) + 16);
          float* dst = out.As<float>(dstOffset);
          kernel(broadcast, window, dst, n, a);
          for (int64_t k = 0; k < n; ++k) {
            long double exact = 0, magnitude = 0;
            for (int32_t j = 0; j < a; ++j) {
              const long double p =
                  static_cast<long double>(taps[static_cast<size_t>(j)]) * x[static_cast<size_t>(k + a - 1 - j)];
              exact += p;
              magnitude += std::fabs(p);
            }
            float got;
            std::memcpy(&got, reinterpret_cast<unsigned char*>(dst) + 4 * k, 4);
            ASSERT_NEAR(got, static_cast<double>(exact), Tolerance(magnitude, a))
                << "taps " << a << " outputs " << n << " output " << k << " window +" << windowOffset << " dst +"
                << dstOffset;
          }
          ASSERT_TRUE(out.UntouchedOutside(dst, 4 * static_cast<size_t>(n)));
        }
      }
    }
  }
}

// A filter in exactly the bytes its level reports, off a 16-byte boundary,
// with guards around it.
class Filter {
 public:
  Filter(const std::vector<float>& taps, const std::vector<float>* delay, size_t misalign) {
    int32_t bytes = 0;
    EXPECT_EQ(FirFilterStateSize(static_cast<int32_t>(taps.size()), &bytes), DSP_STATUS_OK);
    m_Buffer = std::make_unique<GuardedBuffer>(static_cast<size_t>(bytes), misalign);
    EXPECT_EQ(FirFilterInit(&m_State, taps.data(), static_cast<int32_t>(taps.size()),
                            delay != nullptr ? delay->data() : nullptr, m_Buffer->data()),
              DSP_STATUS_OK);
  }
  FirState* state() const { return m_State; }
  char* end() const { return static_cast<char*>(m_Buffer->data()) + m_Buffer->size(); }
  bool GuardsIntact() const { return m_Buffer->GuardsIntact(); }

  // Runs x through the filter in calls of the given lengths (cycled); each
  // call's input is an exact-size copy, so a read beyond it is an error.
  std::vector<float> Run(const std::vector<float>& x, const std::vector<int32_t>& lengths) {
    std::vector<float> y(x.size());
    size_t done = 0;
    for (size_t call = 0; done < x.size(); ++call) {
      const size_t len = std::min<size_t>(static_cast<size_t>(lengths[call % lengths.size()]), x.size() - done);
      const std::vector<float> in(x.begin() + static_cast<ptrdiff_t>(done),
                                  x.begin() + static_cast<ptrdiff_t>(done + len));
      std::vector<float> out(len);
      EXPECT_EQ(FirFilterBlock(in.data(), out.data(), static_cast<int32_t>(len), m_State), DSP_STATUS_OK);
      std::copy(out.begin(), out.end(), y.begin() + static_cast<ptrdiff_t>(done));
      done += len;
    }
    return y;
  }

 private:
  std::unique_ptr<GuardedBuffer> m_Buffer;
  FirState* m_State = nullptr;
};

// Checks y against sum taps[j] x[n - j] in long double, with x[-1 - j] =
// delay[j] (0 without a delay line). Outputs of the transform form carry the
// rounding of the whole transform, not of their own products: from 64 taps
// on the tolerance has a floor from the norms of the taps and of a
// transform's worth of input.
void ExpectConvolution(const std::vector<float>& taps, const std::vector<float>& x, const std::vector<float>& y,
                       const std::vector<float>* delay, const char* what) {
  const int64_t a = static_cast<int64_t>(taps.size());
  long double floor = 0;
  if (a >= FIR_FFT_MIN_TAPS) {
    long double tapNorm = 0, peak = 0;
    for (float t : taps) tapNorm += static_cast<long double>(t) * t;
    for (float v : x) peak = std::max<long double>(peak, std::fabs(v));
    int32_t order = 1;
    while ((int64_t{1} << order) <= 2 * a) ++order;
    floor = 2e-7L * order * std::sqrt(tapNorm) * std::sqrt(static_cast<long double>(int64_t{1} << order)) * peak;
  }
  for (int64_t n = 0; n < static_cast<int64_t>(x.size()); ++n) {
    long double exact = 0, magnitude = 0;
    for (int64_t j = 0; j < a; ++j) {
      const int64_t at = n - j;
      const float sample =
          at >= 0 ? x[static_cast<size_t>(at)] : (delay != nullptr ? (*delay)[static_cast<size_t>(-1 - at)] : 0.0f);
      const long double p = static_cast<long double>(taps[static_cast<size_t>(j)]) * sample;
      exact += p;
      magnitude += std::fabs(p);
    }
    ASSERT_NEAR(y[static_cast<size_t>(n)], static_cast<double>(exact),
                Tolerance(magnitude, static_cast<int32_t>(a)) + static_cast<double>(floor))
        << what << ": taps " << a << " output " << n;
  }
}

// Both forms and every transition between them: blocks shorter and longer
// than the direct form's copy threshold, transform blocks that fill the
// buffer exactly, just over it, and long ones read straight from the input.
TEST_P(FirLevelsTest, FilterFollowsTheConvolutionForEverySplitOfTheStream) {
  for (int32_t a : {1, 2, 3, 4, 5, 7, 8, 13, 63, 64, 65, 127, 128, 300}) {
    const std::vector<float> taps = RandomSignal(static_cast<size_t>(a), static_cast<unsigned>(100 + a));
    const std::vector<float> delay = RandomSignal(static_cast<size_t>(a), static_cast<unsigned>(200 + a));
    const std::vector<float> x = RandomSignal(6000, static_cast<unsigned>(a));
    const int32_t threshold = ((a + 3) & ~3) + 1;
    const std::vector<std::vector<int32_t>> splits = {
        {6000}, {1}, {5, 511, 512, 2000}, {threshold, threshold + 1, 3}, {513, 1024, 725, 726, 4097}, {511, 7}};
    for (const auto& split : splits) {
      for (const std::vector<float>* d : {static_cast<const std::vector<float>*>(nullptr), &delay}) {
        Filter filter(taps, d, 4);
        const std::vector<float> y = filter.Run(x, split);
        ExpectConvolution(taps, x, y, d, d != nullptr ? "with a delay line" : "from silence");
        EXPECT_TRUE(filter.GuardsIntact()) << "taps " << a;
        if (HasFatalFailure()) return;
      }
    }
  }
}

// The state fits the reported size at every buffer misalignment and takes
// the transform form from 64 taps on.
TEST_P(FirLevelsTest, StateSizeAndLayoutAtTheLevel) {
  struct Row {
    int32_t taps;
    int32_t directBytes;  // without the transform's own sizes
    int32_t fftLength;
  };
  const Row rows[] = {{1, 80 + 32 + 16576, -1},
                      {20, 400 + 256 + 16576, -1},
                      {63, 1280 + 784 + 16576, -1},
                      {64, 1280 + 784 + 2048 + 16576, 256},
                      {127, 2560 + 1552 + 2048 + 16576, 256},
                      {128, 2560 + 1552 + 4096 + 16576, 512}};
  for (const Row& row : rows) {
    int32_t bytes = 0;
    ASSERT_EQ(FirFilterStateSize(row.taps, &bytes), DSP_STATUS_OK);
    int32_t spec = 0, init = 0, work = 0;
    if (row.fftLength > 0) {
      const int32_t order = row.fftLength == 256 ? 8 : 9;
      ASSERT_EQ(kFftGetSize[level()](order, FFT_SCALE_INVERSE, 0, &spec, &init, &work), DSP_STATUS_OK);
    }
    EXPECT_EQ(bytes, row.directBytes + spec + init + work) << row.taps;
    int32_t baseline = 0;
    ASSERT_EQ(FirFilterStateSizeL0(row.taps, &baseline), DSP_STATUS_OK);
    if (row.fftLength < 0) {
      EXPECT_EQ(bytes - baseline, 4 * ((4 * row.taps + 15) / 16 * 16)) << "the broadcast table";
    }

    const std::vector<float> taps = RandomSignal(static_cast<size_t>(row.taps), 9);
    for (size_t misalign = 0; misalign < 16; ++misalign) {
      Filter filter(taps, nullptr, misalign);
      FirState* state = filter.state();
      ASSERT_NE(state, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(state) % 16, 0u);
      EXPECT_EQ(state->tag, FIR_STATE_TAG);
      EXPECT_EQ(state->fftLength, row.fftLength);
      EXPECT_EQ(state->directThreshold, ((row.taps + 3) & ~3) + 1);
      for (int32_t j = 0; j < row.taps; ++j)
        for (int lane = 0; lane < 4; ++lane)
          ASSERT_EQ(state->broadcastTaps[4 * j + lane], taps[static_cast<size_t>(j)]);
      EXPECT_LE(static_cast<char*>(state->reserveBuffer) + 16384, filter.end()) << "the reserve";
      const std::vector<float> x = RandomSignal(1500, 3);
      filter.Run(x, {700, 800});
      EXPECT_TRUE(filter.GuardsIntact()) << row.taps << " +" << misalign;
    }
  }
}

TEST_P(FirLevelsTest, ChecksComeInOrderAndWriteNothing) {
  const float taps[4] = {1, 2, 3, 4};
  alignas(16) unsigned char buffer[20000];
  std::memset(buffer, 0x77, sizeof(buffer));
  FirState* state = nullptr;
  int32_t bytes = -1;
  EXPECT_EQ(FirFilterInit(nullptr, taps, 4, nullptr, buffer), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterInit(&state, nullptr, 0, nullptr, buffer), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterInit(&state, taps, 4, nullptr, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterInit(&state, taps, 0, nullptr, buffer), DSP_STATUS_BAD_TAP_COUNT);
  EXPECT_EQ(FirFilterInit(&state, taps, INT32_MAX, nullptr, buffer), DSP_STATUS_BAD_TAP_COUNT) << "too large to count";
  EXPECT_EQ(FirFilterStateSize(4, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterStateSize(-1, &bytes), DSP_STATUS_BAD_TAP_COUNT);
  EXPECT_EQ(FirFilterStateSize(INT32_MAX / 4, &bytes), DSP_STATUS_BAD_TAP_COUNT);
  EXPECT_EQ(bytes, -1);
  EXPECT_EQ(state, nullptr);
  for (unsigned char b : buffer) ASSERT_EQ(b, 0x77);

  ASSERT_EQ(FirFilterInit(&state, taps, 4, nullptr, buffer), DSP_STATUS_OK);
  float x[8] = {1, 1, 1, 1, 1, 1, 1, 1}, y[8] = {};
  EXPECT_EQ(FirFilterBlock(x, y, 8, nullptr), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterBlock(nullptr, y, 0, state), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterBlock(x, nullptr, 8, state), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterBlock(x, y, 0, state), DSP_STATUS_BAD_LENGTH);
  state->tag = 0x12345678;
  EXPECT_EQ(FirFilterBlock(x, y, 0, state), DSP_STATUS_BAD_LENGTH) << "the length before the tag";
  EXPECT_EQ(FirFilterBlock(x, y, 8, state), DSP_STATUS_WRONG_KIND);
  for (float v : y) EXPECT_EQ(v, 0.0f);
}

// ---------------------------------------------------------------------------
// One-sample filter

TEST_P(FirLevelsTest, SampleFilterFollowsTheConvolutionForEveryAlignment) {
  for (int32_t n = 1; n <= 40; n += (n < 20 ? 1 : 3)) {
    const std::vector<float> taps = RandomSignal(static_cast<size_t>(n), static_cast<unsigned>(n));
    const std::vector<float> x = RandomSignal(3 * static_cast<size_t>(n) + 5, static_cast<unsigned>(n + 1));
    for (size_t tapOffset : {0u, 4u, 8u, 12u, 1u}) {
      for (size_t delayOffset : {0u, 4u, 8u, 12u, 2u}) {
        Arena tapArena(4 * static_cast<size_t>(n) + 16), delayArena(8 * static_cast<size_t>(n) + 16);
        float* t = tapArena.As<float>(tapOffset);
        std::memcpy(t, taps.data(), 4 * taps.size());
        float* delay = delayArena.As<float>(delayOffset);
        std::memset(delay, 0, 8 * static_cast<size_t>(n));
        int32_t index = 0;
        std::vector<float> y(x.size());
        for (size_t i = 0; i < x.size(); ++i) {
          float out;
          ASSERT_EQ(FirFilterSample(x[i], &out, t, n, delay, &index), DSP_STATUS_OK);
          y[i] = out;
          ASSERT_EQ(index, static_cast<int32_t>((i + 1) % static_cast<size_t>(n)));
        }
        ExpectConvolution(taps, x, y, nullptr, "one sample at a time");
        // Every sample twice, n apart.
        for (int32_t j = 0; j < n; ++j)
          EXPECT_EQ(0, std::memcmp(reinterpret_cast<unsigned char*>(delay) + 4 * j,
                                   reinterpret_cast<unsigned char*>(delay) + 4 * (n + j), 4));
        EXPECT_TRUE(delayArena.UntouchedOutside(delay, 8 * static_cast<size_t>(n)));
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST_P(FirLevelsTest, SampleFilterEdgesAndChecks) {
  // One tap: y = x t, the index stays 0, both copies hold x.
  const float tap = 0.5f;
  float delay[2] = {0, 0};
  int32_t index = 0;
  float y = 0;
  ASSERT_EQ(FirFilterSample(3.0f, &y, &tap, 1, delay, &index), DSP_STATUS_OK);
  EXPECT_EQ(y, 1.5f);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(delay[0], 3.0f);
  EXPECT_EQ(delay[1], 3.0f);

  const float taps[3] = {1, 2, 3};
  float line[6] = {};
  int32_t at = 0;
  y = 7.0f;
  EXPECT_EQ(FirFilterSample(1.0f, nullptr, taps, 3, line, &at), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterSample(1.0f, &y, nullptr, 0, line, &at), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterSample(1.0f, &y, taps, 0, nullptr, &at), DSP_STATUS_BAD_TAP_COUNT) << "count before delay";
  EXPECT_EQ(FirFilterSample(1.0f, &y, taps, 3, nullptr, &at), DSP_STATUS_NULL_POINTER);
  EXPECT_EQ(FirFilterSample(1.0f, &y, taps, 3, line, nullptr), DSP_STATUS_NULL_POINTER);
  // An index outside the line would write outside it: refused as the
  // baseline refuses it.
  at = 3;
  EXPECT_EQ(FirFilterSample(1.0f, &y, taps, 3, line, &at), DSP_STATUS_BAD_LENGTH);
  at = -1;
  EXPECT_EQ(FirFilterSample(1.0f, &y, taps, 3, line, &at), DSP_STATUS_BAD_LENGTH);
  EXPECT_EQ(y, 7.0f);
  for (float v : line) EXPECT_EQ(v, 0.0f);
}

}  // namespace
