#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <string>

#include "dsp/CDspSrc.h"
#include "dsp/SrcTables.h"
#include "tests/dsp/DspTestSupport.h"
#include "tests/support/DispatchLevel.h"
#include "tests/support/KernelTest.h"

namespace {

using dsptest::Db;
using dsptest::FitSines;
using dsptest::ScopedSignalPathMxcsr;

template <typename Stage>
std::unique_ptr<Stage> MakeStage(bool up) {
  std::unique_ptr<Stage> stage(new (NonPagedPool, DSP_OBJECT_TAG) Stage);
  EXPECT_TRUE(stage->Init());
  stage->SetRaisesRate(up);
  stage->Reset();
  return stage;
}

// Feeds a stage as the chain does: what a call leaves unconsumed is offered
// again in front of the next chunk, and the output is taken after every call.
std::vector<float> RunStage(CDspStage& stage, const std::vector<float>& in, const std::vector<uint32_t>& chunks,
                            uint32_t channel = 0) {
  std::vector<float> queue, out;
  size_t pos = 0;
  for (uint32_t len : chunks) {
    queue.insert(queue.end(), in.begin() + pos, in.begin() + pos + len);
    pos += len;
    uint32_t count = static_cast<uint32_t>(queue.size());
    EXPECT_TRUE(stage.Process(channel, queue.data(), &count));
    queue.erase(queue.begin(), queue.begin() + count);
    const uint32_t pending = stage.Pending(channel);
    out.insert(out.end(), stage.Buffer(channel), stage.Buffer(channel) + pending);
    EXPECT_TRUE(stage.ShiftChannel(channel, pending));
  }
  return out;
}

std::vector<float> RunWhole(CDspStage& stage, const std::vector<float>& in) {
  // Whole calls no longer than half a buffer, so nothing is left behind for want of room.
  std::vector<uint32_t> chunks;
  for (size_t left = in.size(); left > 0;) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(left, 1600));
    chunks.push_back(n);
    left -= n;
  }
  return RunStage(stage, in, chunks);
}

// Which stage, which way, and the rate ratio out/in.
struct StageCase {
  const char* name;
  int kind;  // 2, 4 or 147
  bool up;
  double ratio;
};
void PrintTo(const StageCase& c, std::ostream* os) { *os << c.name; }

const StageCase kStages[] = {
    {"x2_up", 2, true, 2.0},     {"x2_down", 2, false, 0.5},          {"x4_up", 4, true, 4.0},
    {"x4_down", 4, false, 0.25}, {"x147_up", 147, true, 160.0 / 147}, {"x147_down", 147, false, 147.0 / 160},
};

std::unique_ptr<CDspStage> MakeCase(const StageCase& c) {
  if (c.kind == 2) return MakeStage<CDspSrcX2>(c.up);
  if (c.kind == 4) return MakeStage<CDspSrcX4>(c.up);
  return MakeStage<CDspSrc147>(c.up);
}

class SrcStageTest : public testsupport::KernelTest {};
class SrcStageEachTest : public SrcStageTest, public ::testing::WithParamInterface<StageCase> {};

// The sizes of the baseline builds; the level builds size their filters'
// states their own way.
TEST_F(SrcStageTest, StateSizesAreThoseOfTheirFilters) {
  testsupport::ScopedDispatchLevel baseline(0);
  const struct {
    std::unique_ptr<CDspStage> stage;
    int32_t up, down;
  } cases[] = {
      {MakeStage<CDspSrcX2>(true), 18272, 18624},
      {MakeStage<CDspSrcX4>(true), 19600, 20640},
      {MakeStage<CDspSrc147>(true), 16912, 16976},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.stage->GetUpStateSize(), c.up);
    EXPECT_EQ(c.stage->GetDownStateSize(), c.down);
  }
  CDspStage base;
  EXPECT_FALSE(base.Init());  // a stage without state sizes cannot start
}

TEST_F(SrcStageTest, PowerOfTwoTablesAreSymmetricWithTheirBranchSums) {
  const struct {
    const float* taps;
    int n;
    double sum;
    std::vector<double> branches;
  } cases[] = {
      {HalfRateTaps66, 66, 1.001007, {0.500503, 0.500503}},
      {QuarterRateTaps132, 132, 1.000998, {0.25002, 0.25048, 0.25048, 0.25002}},
  };
  for (const auto& c : cases) {
    double sum = 0;
    std::vector<double> branch(c.branches.size(), 0.0);
    for (int k = 0; k < c.n; ++k) {
      EXPECT_EQ(c.taps[k], c.taps[c.n - 1 - k]) << k;
      sum += c.taps[k];
      branch[k % branch.size()] += c.taps[k];
    }
    EXPECT_NEAR(sum, c.sum, 1e-6);
    for (size_t b = 0; b < branch.size(); ++b) EXPECT_NEAR(branch[b], c.branches[b], 1e-5) << b;
  }
}

// The 160/147 rows, rebuilt here from their prototype formulas.
double BesselI0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1;; ++k) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
    if (term < 1e-20 * sum) return sum;
  }
}
double Kaiser(double m) {
  const double r = m / 1600.0;
  return BesselI0(10 * std::sqrt(std::max(0.0, 1 - r * r))) / BesselI0(10);
}
double Sinc(double x) { return x == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x); }
double UpPrototype(int n) { return Sinc((n - 1600) / 160.0) * Kaiser(n - 1600); }
double DownPrototype(int n) {
  return n > 3200 ? 0.0 : 1.03 * (147 / 160.0) * Sinc(1.03 * (n - 1600) / 160.0) * Kaiser(n - 1600);
}

int32_t UlpDistance(float a, float b) {
  int32_t ia, ib;
  memcpy(&ia, &a, 4);
  memcpy(&ib, &b, 4);
  if (ia < 0) ia = INT32_MIN - ia;
  if (ib < 0) ib = INT32_MIN - ib;
  return std::abs(ia - ib);
}

// A printed value matches to its last printed digit.
void ExpectPrinted(float value, const std::string& printed) {
  const double v = std::stod(printed);
  const size_t e = printed.find('e');
  const std::string mantissa = printed.substr(0, e);
  const size_t dot = mantissa.find('.');
  const int decimals = dot == std::string::npos ? 0 : static_cast<int>(mantissa.size() - dot - 1);
  const int exponent = e == std::string::npos ? 0 : std::stoi(printed.substr(e + 1));
  EXPECT_NEAR(value, v, 0.5 * std::pow(10.0, exponent - decimals) + 1e-12) << printed;
}

TEST_F(SrcStageTest, Src147TablesFollowTheirPrototypes) {
  for (int p = 0; p < SRC147_UP_PHASES; ++p) {
    double sum = 0;
    for (int k = 0; k < SRC147_UP_TAPS; ++k) {
      const float t = Src147UpTaps[p][k];
      const float expected = p == 0 ? (k == 10 ? 1.0f : 0.0f) : static_cast<float>(UpPrototype(160 * k + p));
      ASSERT_LE(UlpDistance(t, expected), 1) << "up phase " << p << " tap " << k;
      if (p > 0) {
        ASSERT_EQ(t, Src147UpTaps[160 - p][SRC147_UP_TAPS - 1 - k]) << "mirror of phase " << p;
      }
      sum += t;
    }
    EXPECT_GE(sum, 0.9999982 - 1e-9) << p;
    EXPECT_LE(sum, 1.0000039 + 1e-9) << p;
  }
  for (int p = 0; p < SRC147_DOWN_PHASES; ++p) {
    double sum = 0;
    int zeros = 0;
    for (int k = 0; k < SRC147_DOWN_TAPS; ++k) {
      const float t = Src147DownTaps[p][k];
      ASSERT_LE(UlpDistance(t, static_cast<float>(DownPrototype(147 * k + p))), 1)
          << "down phase " << p << " tap " << k;
      sum += t;
      zeros = t == 0.0f ? zeros + 1 : 0;
    }
    EXPECT_TRUE(zeros == 2 || zeros == 3) << p;
    EXPECT_GE(sum, 0.9999831 - 1e-9) << p;
    EXPECT_LE(sum, 1.0000010 + 1e-9) << p;
  }
  const char* up80[] = {"-6.42e-05", "0.0004606",  "-0.00178",  "0.0051159", "-0.0122165", "0.0257258", "-0.0499678",
                        "0.0942346", "-0.190618",  "0.629111",  "0.629111",  "-0.190618",  "0.0942346", "-0.0499678",
                        "0.0257258", "-0.0122165", "0.0051159", "-0.00178",  "0.0004606",  "-6.42e-05"};
  for (int k = 0; k < 20; ++k) ExpectPrinted(Src147UpTaps[80][k], up80[k]);
  const char* down0[] = {"8.4e-06",    "-0.0001362", "0.0006689", "-0.0021753", "0.00553",   "-0.0118127",
                         "0.0221088",  "-0.0373994", "0.0590734", "-0.0921772", "0.171039",  "0.927283",
                         "-0.0472934", "0.0008136",  "0.0110975", "-0.0124419", "0.0098317", "-0.0063183",
                         "0.0033674",  "-0.0014536", "0.0004729", "-9.44e-05",  "0",         "0"};
  for (int k = 0; k < 24; ++k) ExpectPrinted(Src147DownTaps[0][k], down0[k]);
}

TEST_F(SrcStageTest, Src147Gives480For441AndBack) {
  auto up = MakeStage<CDspSrc147>(true);
  std::vector<float> in(441, 0.25f);
  uint32_t count = 441;
  up->Process(0, in.data(), &count);
  EXPECT_EQ(count, 441u);
  EXPECT_EQ(up->Pending(0), 480u);
  EXPECT_EQ(up->Phase(0), 0);

  auto down = MakeStage<CDspSrc147>(false);
  in.assign(480, 0.25f);
  count = 480;
  down->Process(0, in.data(), &count);
  EXPECT_EQ(count, 480u);
  EXPECT_EQ(down->Pending(0), 441u);
  EXPECT_EQ(down->Phase(0), 0);
}

TEST_F(SrcStageTest, LoweringLeavesTheOddSamplesWithThePreviousStage) {
  for (int factor : {2, 4}) {
    std::unique_ptr<CDspStage> stage = factor == 2 ? std::unique_ptr<CDspStage>(MakeStage<CDspSrcX2>(false))
                                                   : std::unique_ptr<CDspStage>(MakeStage<CDspSrcX4>(false));
    std::vector<float> in(11, 1.0f);
    uint32_t count = 11;
    stage->Process(0, in.data(), &count);
    EXPECT_EQ(count, 11u - 11u % factor) << factor;
    EXPECT_EQ(stage->Pending(0), 11u / factor);
  }
}

TEST_P(SrcStageEachTest, FullBufferTakesNothing) {
  auto stage = MakeCase(GetParam());
  std::vector<float> in(20000, 0.5f);
  uint32_t total = 0;
  for (int i = 0; i < 100 && stage->Pending(0) < DSP_STAGE_CAPACITY; ++i) {
    uint32_t count = 1000;
    stage->Process(0, in.data(), &count);
    total += count;
  }
  ASSERT_GE(stage->Pending(0) + (GetParam().up ? GetParam().kind == 147 ? 0 : GetParam().kind - 1 : 0),
            static_cast<uint32_t>(DSP_STAGE_CAPACITY));
  const uint32_t before = stage->Pending(0);
  uint32_t count = 1000;
  EXPECT_TRUE(stage->Process(0, in.data(), &count));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(stage->Pending(0), before);
  EXPECT_GT(total, 0u);
}

TEST_F(SrcStageTest, AnOwedInputIsTakenWithoutOutputByTheNextCall) {
  auto stage = MakeStage<CDspSrc147>(false);
  std::vector<float> in(1, 0.5f);
  int calls = 0;
  while (stage->Phase(0) <= 146 && calls++ < 200) {
    uint32_t count = 1;
    stage->Process(0, in.data(), &count);
    ASSERT_EQ(count, 1u);
  }
  ASSERT_GT(stage->Phase(0), 146);
  const uint32_t before = stage->Pending(0);
  uint32_t count = 1;
  stage->Process(0, in.data(), &count);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(stage->Pending(0), before);
  EXPECT_LE(stage->Phase(0), 12);
  count = 0;  // nothing offered: nothing owed is taken either
  stage->Process(0, in.data(), &count);
  EXPECT_EQ(count, 0u);
}

TEST_P(SrcStageEachTest, DcComesOutAtOne) {
  ScopedSignalPathMxcsr mxcsr;
  auto stage = MakeCase(GetParam());
  const std::vector<float> out = RunWhole(*stage, std::vector<float>(8000, 1.0f));
  ASSERT_GE(out.size(), 2000u);
  for (size_t i = out.size() / 2; i < out.size(); ++i) ASSERT_NEAR(out[i], 1.0f, 0.002f) << i;
}

TEST_P(SrcStageEachTest, SplitCallsMatchOneCall) {
  ScopedSignalPathMxcsr mxcsr;
  const auto in = dsptest::Noise(12000, 9);
  auto whole = MakeCase(GetParam()), split = MakeCase(GetParam());
  const std::vector<float> a = RunWhole(*whole, in);
  const std::vector<float> b = RunStage(*split, in, dsptest::RandomSplits(12000, 257, 4));
  ASSERT_LE(b.size(), a.size());
  ASSERT_GE(b.size() + 4, a.size());  // a lowering stage may still hold up to 3 inputs
  EXPECT_TRUE(dsptest::SameSamples(a, b, dsptest::SplitTolerance(1.0)));
}

TEST_P(SrcStageEachTest, ChannelsAreIndependent) {
  ScopedSignalPathMxcsr mxcsr;
  auto stage = MakeCase(GetParam());
  const auto a = dsptest::Noise(3000, 1), b = dsptest::Noise(3000, 2);
  const auto outA = RunStage(*stage, a, {1000, 1000, 1000}, 0);
  const auto outB = RunStage(*stage, b, {1000, 1000, 1000}, 7);
  auto fresh = MakeCase(GetParam());
  EXPECT_EQ(RunStage(*fresh, b, {1000, 1000, 1000}, 3), outB);
  EXPECT_NE(outA, outB);
}

INSTANTIATE_TEST_SUITE_P(Stages, SrcStageEachTest, ::testing::ValuesIn(kStages),
                         [](const auto& info) { return std::string(info.param.name); });

// Frequency response against the filters' design: a flat passband, and the
// images (raising) or aliases (lowering) of a tone above the stop edge far
// down. Frequencies are in units of the lower rate of the pair.
TEST_P(SrcStageEachTest, PassbandIsFlatAndImagesAreRejected) {
  ScopedSignalPathMxcsr mxcsr;
  const StageCase c = GetParam();
  const double hi = c.kind == 147 ? 160.0 / 147 : c.kind;
  const double inRate = c.up ? 1.0 : hi, outRate = c.up ? hi : 1.0;
  // The power-of-two filters are flat to 0.45 within 0.02 dB around their
  // DC gain of 1.001 and keep 59 dB from 0.6 on; the 160/147 prototype is
  // flat to 10 kHz within 0.01 dB and 100 dB down from 30 kHz on.
  const bool pow2 = c.kind != 147;
  const double rippleDb = pow2 ? 0.02 : 0.01, gainDb = pow2 ? Db(1.001) : 0.0;
  const double rejectDb = pow2 ? 59.0 : 95.0;
  const std::vector<double> passband =
      pow2 ? std::vector<double>{0.02, 0.1, 0.3, 0.4, 0.45} : std::vector<double>{1000.0 / 44100, 10000.0 / 44100};

  for (double f : passband) {
    SCOPED_TRACE(testing::Message() << c.name << " at " << f);
    std::vector<float> in = dsptest::Sine(30000, f / inRate, 0.5f);
    // Every image or alias is fitted; those beyond the stop edge must be far down.
    std::vector<double> unwanted;
    std::vector<bool> mustReject;
    if (c.up) {
      // Every image k +- f below the higher rate, folded into its half.
      const double stopEdge = pow2 ? 0.6 : 30000.0 / 44100;
      for (int k = 1; k <= static_cast<int>(std::ceil(hi)); ++k) {
        for (double img : {k - f, k + f}) {
          if (img <= 0 || img >= hi) continue;
          const double folded = img <= hi / 2 ? img : hi - img;
          bool seen = std::fabs(folded - f) < 1e-6;
          for (double u : unwanted) seen |= std::fabs(u - folded) < 1e-6;
          if (seen) continue;
          unwanted.push_back(folded);
          // The power-of-two filters run at the higher rate and see the
          // folded image; the 160/147 prototype sees it where it lies.
          mustReject.push_back((pow2 ? folded : img) >= stopEdge);
        }
      }
    } else if (pow2) {
      // Tones above the stop edge, which would alias into the passband.
      for (double stop : {0.65, hi == 4 ? 1.62 : 0.85}) {
        const auto extra = dsptest::Sine(30000, stop / inRate, 0.5f);
        for (size_t i = 0; i < in.size(); ++i) in[i] += extra[i];
        unwanted.push_back(std::fabs(stop - std::round(stop)));
        mustReject.push_back(true);
      }
    }
    std::vector<double> freqs = {f / outRate};
    for (double u : unwanted) freqs.push_back(u / outRate);
    auto stage = MakeCase(c);
    const std::vector<float> out = RunWhole(*stage, in);
    double residual = 0;
    const auto amp = FitSines(out, 2000, out.size() - 200, freqs, &residual);
    EXPECT_NEAR(Db(amp[0] / 0.5), gainDb, rippleDb);
    for (size_t k = 1; k < amp.size(); ++k) {
      if (mustReject[k - 1]) {
        EXPECT_LT(Db(amp[k] / 0.5), -rejectDb) << "unwanted at " << freqs[k];
      }
    }
    EXPECT_LT(Db(residual / 0.5), -rejectDb);
  }
}

}  // namespace
