// The level 1-3 builds of the real FFT entries: sizes, statuses, accuracy
// against long-double references, and where levels agree bit for bit.
#include <cstring>
#include <vector>

#include "primitives/Dispatch.h"
#include "primitives/Memory.h"
#include "primitives/RealFft.h"
#include "primitives/levels/FftLevels.h"
#include "tests/primitives/levels/FftLevelTestSupport.h"

namespace fft_level_test {
namespace {

using primitives_test::CountingAllocHooks;

constexpr int32_t kAllFlags[] = {FFT_SCALE_FORWARD, FFT_SCALE_INVERSE, FFT_SCALE_SQRT_BOTH, FFT_SCALE_NONE};

class FftLevelsTest : public FftLevelTest {};
INSTANTIATE_FOR_FFT_LEVELS(FftLevelsTest);

// Forward transform of a random signal of 2^order samples at the level, in
// place, with the specification's own work size.
std::vector<float> LevelForward(const LevelApi& api, int32_t order, const std::vector<float>& x,
                                int32_t flags = FFT_SCALE_NONE) {
  LevelSpec spec(api, order, flags);
  EXPECT_EQ(spec.status(), DSP_STATUS_OK);
  std::vector<float> y = x;
  EXPECT_EQ(api.forward(y.data(), y.data(), spec.get(), spec.work()), DSP_STATUS_OK);
  EXPECT_TRUE(spec.GuardsIntact()) << "order " << order;
  return y;
}

// ---------------------------------------------------------------------------
// Accuracy

// Orders 0 to 17 cover the small kernels, every whole-transform pass plan,
// the tile path at level 2 and 3's threshold and level 1's four-step split.
TEST_P(FftLevelsTest, ForwardMatchesTheLongDoubleDft) {
  for (int32_t order = 0; order <= 17; ++order) {
    const std::vector<float> x = RandomSignal(size_t{1} << order, 100 + order);
    const std::vector<float> y = LevelForward(api(), order, x);
    EXPECT_LT(RelativeRmsError(y.data(), ReferencePackedSpectrum(x)), Tolerance(order)) << "order " << order;
  }
}

TEST_P(FftLevelsTest, InverseMatchesTheLongDoubleInverseDft) {
  for (int32_t order = 0; order <= 17; ++order) {
    const std::vector<float> packed = RandomSignal(size_t{1} << order, 200 + order);
    LevelSpec spec(api(), order, FFT_SCALE_NONE);
    std::vector<float> y(packed.size());
    ASSERT_EQ(api().inverse(packed.data(), y.data(), spec.get(), spec.work()), DSP_STATUS_OK);
    EXPECT_LT(RelativeRmsError(y.data(), ReferenceInversePacked(packed)), Tolerance(order)) << "order " << order;
  }
}

}  // namespace
}  // namespace fft_level_test
