// The convolution stage against a direct convolution of the same filters,
// computed here in double precision.
#include <cmath>
#include <memory>
#include <vector>

#include "globaltopo/common/VSF/headphonefir.h"
#include "tests/dsp/DspTestSupport.h"
#include "tests/support/KernelTest.h"

namespace {

using Channels = std::vector<std::vector<float>>;

class HeadphoneFirTest : public testsupport::KernelTest {
 protected:
  // Runs whole blocks of in through the stage; returns left and right.
  static Channels Run(CHeadphoneFir& fir, Channels in) {
    const size_t total = in[0].size();
    Channels out(2, std::vector<float>(total));
    for (size_t pos = 0; pos < total; pos += HEADPHONEFIR_N) {
      std::vector<float*> ip, op = {out[0].data() + pos, out[1].data() + pos};
      for (auto& c : in) ip.push_back(c.data() + pos);
      fir.Process(op.data(), 2, ip.data(), int32_t(in.size()), HEADPHONEFIR_N);
    }
    return out;
  }
};

// Each ear: 2 x (sum over sources of head filter * source + tail filter *
// (sum of sources) 1,024 samples later), then the cross-talk pair.
Channels Reference(const Channels& x, int32_t roomSet, int32_t code, int32_t ctcAngle) {
  const size_t total = x[0].size();
  Channels src;
  if (x.size() == 2) {
    src = x;
  } else {
    std::vector<float> s3 = x[4], s4 = x[5];
    if (x.size() == 8)
      for (size_t n = 0; n < total; ++n) {
        s3[n] = 0.871f * x[4][n] + 0.49f * x[5][n] + x[6][n];
        s4[n] = 0.49f * x[4][n] + 0.871f * x[5][n] + x[7][n];
      }
    std::vector<float> s0(total), s1(total);
    for (size_t n = 0; n < total; ++n) {
      s0[n] = x[0][n] + x[3][n];
      s1[n] = x[1][n] + x[3][n];
    }
    src = {s0, s1, x[2], s3, s4};
  }
  HeadphoneFilterSet set;
  EXPECT_TRUE(FindHeadphoneFilterSet(roomSet, code, &set));
  std::vector<double> all(total, 0.0);
  for (auto& s : src)
    for (size_t n = 0; n < total; ++n) all[n] += s[n];
  std::vector<std::vector<double>> ear(2, std::vector<double>(total, 0.0));
  for (int e = 0; e < 2; ++e)
    for (size_t n = 0; n < total; ++n) {
      double acc = 0;
      for (size_t s = 0; s < src.size(); ++s) {
        const float* h = set.head + (2 * s + e) * VSF_HEAD_TAPS;
        for (size_t k = 0; k < VSF_HEAD_TAPS && k <= n; ++k) acc += double(h[k]) * src[s][n - k];
      }
      const float* t = set.tail + e * set.tailTaps;
      for (size_t k = 0; k < size_t(set.tailTaps) && k + 1024 <= n; ++k) acc += double(t[k]) * all[n - 1024 - k];
      ear[e][n] = 2 * acc;
    }
  Channels out(2, std::vector<float>(total));
  const float* pair = CtcFilterPair(ctcAngle);
  for (size_t n = 0; n < total; ++n) {
    if (!pair) {
      out[0][n] = float(ear[0][n]);
      out[1][n] = float(ear[1][n]);
      continue;
    }
    double l = 0, r = 0;
    for (size_t k = 0; k < VSF_CTC_TAPS && k <= n; ++k) {
      const double a = pair[k], b = pair[VSF_CTC_TAPS + k];
      l += a * ear[0][n - k] + b * ear[1][n - k];
      r += b * ear[0][n - k] + a * ear[1][n - k];
    }
    out[0][n] = float(l);
    out[1][n] = float(r);
  }
  return out;
}

Channels NoiseChannels(size_t count, size_t total, uint32_t seed) {
  Channels x;
  for (size_t c = 0; c < count; ++c) x.push_back(dsptest::Noise(total, seed + uint32_t(c), 0.5f));
  return x;
}

TEST_F(HeadphoneFirTest, StartsWithRoomSetOneCode29AndTheIdentityCrossTalkPair) {
  auto fir = std::make_unique<CHeadphoneFir>();
  ASSERT_TRUE(fir->IsValid());
  EXPECT_EQ(fir->Room(), 1);
  EXPECT_EQ(fir->Angle(), 29);
  EXPECT_EQ(fir->HeadPartitions(), 2);
  EXPECT_EQ(fir->TailPartitions(), 6);
  EXPECT_EQ(fir->CtcAngle(), 0);
  EXPECT_EQ(fir->CtcTaps(), 1);
}

TEST_F(HeadphoneFirTest, ImpulseOnTheLeftFrontGivesTheHeadThenTheTailFilters) {
  auto fir = std::make_unique<CHeadphoneFir>();
  Channels x(2, std::vector<float>(10 * HEADPHONEFIR_N, 0.0f));
  x[0][0] = 1.0f;
  const Channels y = Run(*fir, x);
  HeadphoneFilterSet set;
  ASSERT_TRUE(FindHeadphoneFilterSet(1, 29, &set));
  ASSERT_EQ(set.tailTaps, 3072);
  for (int e = 0; e < 2; ++e)
    for (size_t n = 0; n < y[e].size(); ++n) {
      const float expected = n < 1024 ? 2 * set.head[e * 1024 + n]
                             : n < 1024 + 3072 ? 2 * set.tail[e * 3072 + n - 1024]
                                               : 0.0f;
      ASSERT_NEAR(y[e][n], expected, 2e-6) << "ear " << e << " sample " << n;
    }
}

// Float tolerance: outputs of order 1 are sums of a few thousand products,
// each passed through 1,024-point float transforms; their rounding stays
// near 1e-6 of the output level (measured below 1e-6 here), so 1e-5 leaves a
// margin of ten and is still far below a single misplaced tap (~1e-2).
TEST_F(HeadphoneFirTest, PartitionedConvolutionEqualsDirectConvolution) {
  struct Case {
    const char* name;
    size_t channels;
    int32_t roomIndex, code, roomSet, ctc;
  } const cases[] = {
      {"stereo, large room, code 24", 2, 0, 24, 3, 0},
      {"5.1, medium room, variant code 30, 5,120-tap tail", 6, 1, 30, 2, 0},
      {"7.1 folded, small room, code 31", 8, 2, 31, 1, 0},
      {"5.1 with cross-talk cancellation at 20 degrees", 6, 1, 39, 2, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto fir = std::make_unique<CHeadphoneFir>();
    fir->SelectRoom(c.roomIndex, c.code);
    fir->SetCtcAngle(c.ctc);
    ASSERT_EQ(fir->Room(), c.roomSet);
    const Channels x = NoiseChannels(c.channels, 12 * HEADPHONEFIR_N, 40);
    const Channels y = Run(*fir, x);
    const Channels ref = Reference(x, c.roomSet, c.code, c.ctc);
    for (int e = 0; e < 2; ++e)
      for (size_t n = 0; n < y[e].size(); ++n) ASSERT_NEAR(y[e][n], ref[e][n], 1e-5) << "ear " << e << " " << n;
  }
}

TEST_F(HeadphoneFirTest, EightChannelsFoldTheSidesIntoTheCallersBackChannels) {
  auto fir = std::make_unique<CHeadphoneFir>();
  Channels x = NoiseChannels(8, HEADPHONEFIR_N, 7);
  const Channels before = x;
  std::vector<float*> ip, op;
  std::vector<float> l(HEADPHONEFIR_N), r(HEADPHONEFIR_N);
  for (auto& c : x) ip.push_back(c.data());
  op = {l.data(), r.data()};
  fir->Process(op.data(), 2, ip.data(), 8, HEADPHONEFIR_N);
  for (int n = 0; n < HEADPHONEFIR_N; ++n) {
    EXPECT_FLOAT_EQ(x[4][n], 0.871f * before[4][n] + 0.49f * before[5][n] + before[6][n]);
    EXPECT_FLOAT_EQ(x[5][n], 0.49f * before[4][n] + 0.871f * before[5][n] + before[7][n]);
  }
}

TEST_F(HeadphoneFirTest, CrossTalkHistoryRestartsOnlyWhenTheAngleChanges) {
  const Channels x = NoiseChannels(2, 4 * HEADPHONEFIR_N, 3);
  const Channels ref = Reference(x, 1, 29, 15);
  auto fir = std::make_unique<CHeadphoneFir>();
  fir->SetCtcAngle(15);
  Channels first(x.begin(), x.end());
  for (auto& c : first) c.resize(2 * HEADPHONEFIR_N);
  Run(*fir, first);
  fir->SetCtcAngle(15);  // same angle: nothing restarts
  Channels second;
  for (auto& c : x) second.emplace_back(c.begin() + 2 * HEADPHONEFIR_N, c.end());
  const Channels y = Run(*fir, second);
  for (int e = 0; e < 2; ++e)
    for (size_t n = 0; n < y[e].size(); ++n) ASSERT_NEAR(y[e][n], ref[e][2 * HEADPHONEFIR_N + n], 1e-5) << n;

  fir->SetCtcAngle(7);  // no pair: the identity, with fresh histories
  EXPECT_EQ(fir->CtcTaps(), 1);
  fir->SetCtcAngle(5);
  EXPECT_EQ(fir->CtcTaps(), VSF_CTC_TAPS);
}

TEST_F(HeadphoneFirTest, SelectRoomMapsIndexesAndFallsBackOnUnknownValues) {
  struct Case {
    int32_t index, code, roomSet, angle, tailParts;
  } const cases[] = {{5, 31, 2, 31, 12}, {0, 99, 3, 24, 14}, {1, 30, 2, 30, 10}, {2, -1, 1, 24, 6}};
  auto fir = std::make_unique<CHeadphoneFir>();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index * 100 + c.code);
    EXPECT_EQ(fir->SelectRoom(c.index, c.code), 1);
    EXPECT_EQ(fir->Room(), c.roomSet);
    EXPECT_EQ(fir->Angle(), c.angle);
    EXPECT_EQ(fir->TailPartitions(), c.tailParts);
  }
  EXPECT_EQ(fir->LoadRoom(4, 29), 1);
  EXPECT_EQ(fir->Room(), 1) << "a pair without filters keeps the loaded ones";
}

TEST_F(HeadphoneFirTest, RefusesShapesWithoutASourceTable) {
  auto fir = std::make_unique<CHeadphoneFir>();
  Channels x = NoiseChannels(4, HEADPHONEFIR_N, 1);
  std::vector<float*> ip;
  for (auto& c : x) ip.push_back(c.data());
  std::vector<float> l(HEADPHONEFIR_N, 3.0f), r(HEADPHONEFIR_N, 3.0f);
  float* op[2] = {l.data(), r.data()};
  fir->Process(op, 2, ip.data(), 4, HEADPHONEFIR_N);
  EXPECT_EQ(l, std::vector<float>(HEADPHONEFIR_N, 0.0f));
  EXPECT_EQ(r, std::vector<float>(HEADPHONEFIR_N, 0.0f));
}

TEST_F(HeadphoneFirTest, MirrorCodesHaveMirroredHeadSets) {
  for (int32_t code : {24, 29, 34, 39, 25}) {
    HeadphoneFilterSet set;
    ASSERT_TRUE(FindHeadphoneFilterSet(2, code, &set));
    auto filter = [&](int f) { return std::vector<float>(set.head + f * 1024, set.head + (f + 1) * 1024); };
    const bool mirrored = filter(3) == filter(0) && filter(2) == filter(1) && filter(5) == filter(4) &&
                          filter(9) == filter(6) && filter(8) == filter(7);
    EXPECT_EQ(mirrored, code != 25) << code;
  }
  HeadphoneFilterSet set;
  ASSERT_TRUE(FindHeadphoneFilterSet(3, 24, &set));
  EXPECT_EQ(set.head[2], -0.148865f);
  EXPECT_EQ(set.tail[0], 0.004303f);
  EXPECT_EQ(set.head, HeadphoneFilterStore()) << "storage begins with room set 3, code 24";
}

}  // namespace
