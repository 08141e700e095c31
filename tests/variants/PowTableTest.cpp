// The table-driven powers behind the software volume's gains.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "variants/PowTable.h"

namespace {

TEST(PowTableTest, PowersOfTenComeFromTheTenthTable) {
  const double root10 = TenthPowers[100];
  EXPECT_NEAR(root10, 3.16227766016838, 1e-14);
  EXPECT_EQ(TenthPowers[0], 1.0);
  EXPECT_EQ(TenthPowers[200], 10.0);
  const struct {
    double exponent, expected;
  } cases[] = {
      {0.0, 1.0},          {1.0, 10.0},          {2.0, 100.0},
      {1.5, root10 * 10},  {-0.5, root10 / 10},  {-1.0, 0.1},
      {-0.3, TenthPowers[140] / 10},  // -6 dB as a gain
      {0.0024, 1.0},                  // below half a step rounds down
      {0.0025, TenthPowers[1]},       // half a step rounds up
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exponent);
    EXPECT_DOUBLE_EQ(PowTable(10.0, c.exponent), c.expected);
  }
}

TEST(PowTableTest, OtherBasesNaNAndExtremes) {
  EXPECT_EQ(PowTable(3.0, 2.0), 0.0);
  EXPECT_EQ(PowTable(std::nan(""), 2.0), 0.0);
  EXPECT_EQ(PowTable(10.0, std::nan("")), 0.0);
  EXPECT_EQ(PowTable(2.0, 3.4), 8.0);
  EXPECT_EQ(PowTable(2.0, 15.0), 32768.0);
  EXPECT_EQ(PowTable(2.0, 16.0), 65536.0);
  // Far beyond the double range: the limits, without running for ever.
  EXPECT_EQ(PowTable(10.0, 1e300), std::numeric_limits<double>::infinity());
  EXPECT_EQ(PowTable(10.0, -1e300), 0.0);
  EXPECT_EQ(PowTableF(10.0f, -1638.4f), 0.0f);  // silence as a level
}

TEST(PowTableTest, RoundToIntTakesHalvesAwayFromZero) {
  const struct {
    double x;
    int32_t expected;
  } cases[] = {{0.5, 1},       {1.49, 1},      {-0.5, -1},         {-1.49, -1},
               {2.5, 3},       {-2.5, -3},     {1e12, INT32_MAX},  {-1e12, INT32_MIN}};
  for (const auto& c : cases) EXPECT_EQ(RoundToInt(c.x), c.expected) << c.x;
  EXPECT_EQ(RoundToInt(std::nan("")), 0);
}

}  // namespace
