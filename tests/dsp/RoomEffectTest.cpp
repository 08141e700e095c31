#include <cmath>
#include <memory>

#include "dsp/CRoomEffect.h"
#include "tests/dsp/DspTestSupport.h"
#include "tests/support/KernelTest.h"

namespace {

using dsptest::Noise;
using dsptest::ScopedSignalPathMxcsr;

constexpr ULONG kTag = MakeTag("Rtst");

// The network written the plain way: one growing history per signal, read
// by absolute sample index, in the same order of single-precision operations
// as the engine. It shares nothing with the engine but the parameter tables.
class RoomReference {
 public:
  RoomReference(int32_t column, int32_t mode) : t(*RoomTables[column]), m_Mode(mode) {}

  void Step(const float ch[8], float& left, float& right) {
    const long n = static_cast<long>(EA.size());
    float a = 0, b = 0, c = 0, d = 0, e = 0, f = 0, g = 0;
    if (m_Mode == 5 || m_Mode == 7) {
      a = ch[0] + ch[3];
      b = ch[1] + ch[3];
      c = ch[2];
      d = ch[4];
      e = ch[5];
      if (m_Mode == 7) {
        f = ch[6];
        g = ch[7];
      }
    }
    const int T = t.tapsPerLine;
    float S[4];
    for (int k = 0; k < 4; ++k) {
      const long D = static_cast<long>(t.feedback[k].delay);
      float s = 0;
      for (int j = 0; j < T; ++j) {
        const float term = t.lines[k].gains[j] * At(U[k], n - (D - T + 1) - j);
        s = j == 0 ? term : s + term;
      }
      S[k] = s;
    }
    const float* p = t.inputMix;
    const float mix[4] = {p[0] * b + p[1] * e, p[2] * a + p[3] * d, p[4] * f + p[5] * c, p[6] * g + p[7] * c};
    const float* h = t.highpass;
    float y[4], u[4];
    for (int k = 0; k < 4; ++k) {
      y[k] = 2.0f * (h[0] * mix[k] + h[1] * At(M[k], n - 1) + h[2] * At(M[k], n - 2) + h[3] * At(Y[k], n - 1) +
                     h[4] * At(Y[k], n - 2));
      u[k] = y[k] + S[k];
    }
    const float* q = t.direct;
    const float cd = q[0] * c, x1 = q[1] * a + q[2] * S[3], fd = q[5] * f, x2 = q[3] * b + q[4] * S[0];
    const float gd = q[6] * g, x3 = q[7] * d + q[8] * S[1], x4 = q[9] * e + q[10] * S[2];
    const float* z = t.midSide;
    const float r[7] = {cd,
                        z[0] * x1 + z[1] * x2,
                        z[2] * x1 + z[3] * x2,
                        z[4] * fd + z[5] * gd,
                        z[6] * fd + z[7] * gd,
                        z[8] * x3 + z[9] * x4,
                        z[10] * x3 + z[11] * x4};
    for (int k = 0; k < 7; ++k) R[k].push_back(r[k]);
    float ea = 0, eb = 0;
    for (int k = 0; k < 7; ++k) {
      float fk = 0;
      for (int j = 1; j <= static_cast<int>(t.firs[k].length); ++j) {
        const float term = t.firs[k].coefficients[j - 1] * At(R[k], n - 2 * j);
        fk = j == 1 ? term : fk + term;
      }
      ea = k == 0 ? t.rowA[k] * fk : ea + t.rowA[k] * fk;
      eb = k == 0 ? t.rowB[k] * fk : eb + t.rowB[k] * fk;
    }
    EA.push_back(ea);
    EB.push_back(eb);
    X[0].push_back(x1);
    X[1].push_back(x2);
    X[2].push_back(x3);
    X[3].push_back(x4);
    X[4].push_back(fd);
    X[5].push_back(gd);
    left = Output(0, EA, {&R[0], &X[0], &X[4], &X[2]}, n);
    right = Output(1, EB, {&R[0], &X[1], &X[5], &X[3]}, n);
    for (int k = 0; k < 4; ++k) {
      const float* m = t.feedback[k].matrixRow;
      U[k].push_back(m[0] * u[0] + m[1] * u[1] + m[2] * u[2] + m[3] * u[3]);
      M[k].push_back(mix[k]);
      Y[k].push_back(y[k]);
    }
  }

  static float Quantise(float v) {
    double s = std::floor(static_cast<double>(v) * 32768.0 + 0.5);
    if (s > 32767.0) s = 32767.0;
    if (v < -32767.5 / 32768.0) s = -32768.0;
    return static_cast<float>(s / 32768.0);
  }

 private:
  static float At(const std::vector<float>& v, long i) { return i < 0 ? 0.0f : v[i]; }

  float Output(int row, const std::vector<float>& E, std::initializer_list<const std::vector<float>*> direct, long n) {
    const float* o = t.outputRows[row];
    float v = o[0] * At(E, n);
    v += o[1] * At(E, n - 1);
    v += o[2] * At(E, n - 2);
    int i = 3;
    for (const std::vector<float>* s : direct)
      for (int back = 0; back < 3; ++back) v += o[i++] * At(*s, n - back);
    return Quantise(v);
  }

  const RoomTable& t;
  int32_t m_Mode;
  std::vector<float> U[4], M[4], Y[4], R[7], EA, EB, X[6];
};

class RoomEffectTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    m_Effect.reset(new (NonPagedPool, kTag) CRoomEffect);
    ASSERT_NE(m_Effect, nullptr);
    m_Effect->Init();
  }
  void TearDown() override {
    m_Effect.reset();
    KernelTest::TearDown();
  }

  // Runs frames of the given 8 channels through the effect in blocks; the
  // input vectors are left as the effect leaves them.
  std::vector<float> Run(CRoomEffect& fx, std::vector<std::vector<float>>& ch, const std::vector<uint32_t>& blocks,
                         std::vector<float>* right = nullptr) {
    std::vector<float> outL(ch[0].size()), outR(ch[0].size());
    size_t pos = 0;
    for (uint32_t len : blocks) {
      float* in[8];
      for (int c = 0; c < 8; ++c) in[c] = ch[c].data() + pos;
      float* out[2] = {outL.data() + pos, outR.data() + pos};
      fx.Process(in, out, len);
      pos += len;
    }
    if (right) *right = outR;
    return outL;
  }

  static std::vector<std::vector<float>> Channels(size_t n, uint32_t seed, float amplitude = 0.5f) {
    std::vector<std::vector<float>> ch;
    for (int c = 0; c < 8; ++c) ch.push_back(Noise(n, seed + c, amplitude));
    return ch;
  }

  std::unique_ptr<CRoomEffect> m_Effect;
};

struct ReferenceCase {
  uint32_t rate;
  int32_t column;
  int32_t mode;
};
void PrintTo(const ReferenceCase& c, std::ostream* os) { *os << c.rate << " Hz, mode " << c.mode; }

class RoomEffectReferenceTest : public RoomEffectTest, public ::testing::WithParamInterface<ReferenceCase> {};

TEST_P(RoomEffectReferenceTest, MatchesSeparateDelayLinesSampleForSample) {
  ScopedSignalPathMxcsr mxcsr;
  const ReferenceCase tc = GetParam();
  // Longer than two memory lengths, so the cursor wraps and the tail of
  // every line is well under way; odd block lengths cross the wrap anywhere.
  const size_t n = 9000;
  auto ch = Channels(n, 100 + tc.mode);
  const auto original = ch;
  m_Effect->SetFormat(tc.rate, tc.mode);
  std::vector<float> right;
  std::vector<float> left = Run(*m_Effect, ch, dsptest::RandomSplits(n, 700, tc.rate), &right);
  EXPECT_EQ(m_Effect->ActiveColumn(), tc.column);

  RoomReference ref(tc.column, tc.mode);
  size_t mismatches = 0;
  for (size_t i = 0; i < n; ++i) {
    float in[8], l, r;
    for (int c = 0; c < 8; ++c) in[c] = original[c][i];
    ref.Step(in, l, r);
    if (l != left[i] || r != right[i]) {
      if (mismatches++ < 5)
        ADD_FAILURE() << "sample " << i << ": " << left[i] << "/" << right[i] << " != " << l << "/" << r;
    }
  }
  EXPECT_EQ(mismatches, 0u);
  // The inputs stay in 16-bit scale.
  for (int c = 0; c < 8; ++c) EXPECT_EQ(ch[c][1234], original[c][1234] * 32768.0f) << "channel " << c;
}

INSTANTIATE_TEST_SUITE_P(Columns, RoomEffectReferenceTest,
                         ::testing::Values(ReferenceCase{48000, 0, 7}, ReferenceCase{48000, 0, 5},
                                           ReferenceCase{44100, 1, 7}, ReferenceCase{44100, 1, 5},
                                           ReferenceCase{32000, 2, 7}, ReferenceCase{32000, 2, 5}),
                         [](const auto& info) {
                           return std::to_string(info.param.rate) + "Hz_" + std::to_string(info.param.mode + 1) + "ch";
                         });

TEST_F(RoomEffectTest, CentreImpulseReachesBothOutputsThenEarlyReflectionsThenTail) {
  ScopedSignalPathMxcsr mxcsr;
  const size_t n = 700;
  std::vector<std::vector<float>> ch(8, std::vector<float>(n, 0.0f));
  ch[2][0] = 1.0f;
  m_Effect->SetFormat(48000, 7);
  std::vector<float> right;
  std::vector<float> left = Run(*m_Effect, ch, {n}, &right);

  auto q = [](double v) { return static_cast<float>(std::floor(v * 32768.0 + 0.5) / 32768.0); };
  // Direct path through the first tone filter.
  EXPECT_EQ(left[0], q(0.278351f));
  EXPECT_EQ(left[1], q(0.00827026f));
  EXPECT_EQ(right[0], left[0]);
  EXPECT_EQ(right[1], left[1]);
  // From sample 2 the first early-reflection filter adds half its first tap.
  const float early = 0.5f * (4907.0f / 32768.0f);
  EXPECT_EQ(left[2], q(early + -0.147308f));
  EXPECT_EQ(right[2], left[2]);
  // The reflections end with the longest filter; the tail starts at 600.
  for (size_t i = 43; i < 600; ++i) {
    ASSERT_EQ(left[i], 0.0f) << i;
    ASSERT_EQ(right[i], 0.0f) << i;
  }
  EXPECT_NE(right[600], 0.0f);
}

TEST_F(RoomEffectTest, StereoInputGivesSilence) {
  auto ch = Channels(4000, 7);
  m_Effect->SetFormat(48000, 1);
  std::vector<float> right;
  std::vector<float> left = Run(*m_Effect, ch, {4000}, &right);
  for (size_t i = 0; i < left.size(); ++i) {
    ASSERT_EQ(left[i], 0.0f);
    ASSERT_EQ(right[i], 0.0f);
  }
}

TEST_F(RoomEffectTest, RateChangeClearsAtTheNextBlockWithTheNewLength) {
  ScopedSignalPathMxcsr mxcsr;
  auto first = Channels(5000, 11);
  m_Effect->SetFormat(48000, 7);
  Run(*m_Effect, first, {5000});
  m_Effect->SetFormat(44100, 7);
  EXPECT_EQ(m_Effect->MemoryLength(), 3588);  // not before the next block

  auto second = Channels(4000, 12);
  auto copy = second;
  std::vector<float> right, freshRight;
  std::vector<float> left = Run(*m_Effect, second, {4000}, &right);
  EXPECT_EQ(m_Effect->MemoryLength(), 3307);
  EXPECT_EQ(m_Effect->ActiveColumn(), 1);

  std::unique_ptr<CRoomEffect> fresh(new (NonPagedPool, kTag) CRoomEffect);
  fresh->Init();
  fresh->SetFormat(44100, 7);
  EXPECT_EQ(Run(*fresh, copy, {4000}, &freshRight), left);
  EXPECT_EQ(freshRight, right);
}

// A rate change followed at once by a reset (a stream started and stopped
// again) must leave the effect configured for the new rate.
TEST_F(RoomEffectTest, ResetAfterRateChangeRunsTheNewColumnFromSilence) {
  ScopedSignalPathMxcsr mxcsr;
  auto first = Channels(3000, 21);
  m_Effect->SetFormat(48000, 7);
  Run(*m_Effect, first, {3000});
  m_Effect->SetFormat(96000, 5);
  m_Effect->Reset();
  EXPECT_EQ(m_Effect->MemoryLength(), 7155);
  EXPECT_EQ(m_Effect->ActiveChannelMode(), 5);
  EXPECT_EQ(m_Effect->CursorOffset(), 0);
  for (int32_t i = 0; i < 7155; ++i) ASSERT_EQ(m_Effect->Memory()[i], 0.0f) << i;

  auto second = Channels(8000, 22);
  auto copy = second;
  std::unique_ptr<CRoomEffect> fresh(new (NonPagedPool, kTag) CRoomEffect);
  fresh->Init();
  fresh->SetFormat(96000, 5);
  EXPECT_EQ(Run(*m_Effect, second, {8000}), Run(*fresh, copy, {8000}));
}

TEST_F(RoomEffectTest, InvalidRequestKeepsTheActiveSettings) {
  m_Effect->SetFormat(32000, 8);  // 9 channels
  EXPECT_FALSE(m_Effect->IsValid());
  auto ch = Channels(10, 3);
  Run(*m_Effect, ch, {10});
  EXPECT_EQ(m_Effect->ActiveColumn(), 0);
  EXPECT_EQ(m_Effect->ActiveChannelMode(), 0);
  EXPECT_TRUE(m_Effect->IsValid());  // the request fell back to the active values
}

TEST_F(RoomEffectTest, RatesMapToColumns) {
  const std::pair<uint32_t, int32_t> cases[] = {{48000, 0},  {44100, 1},  {32000, 2},  {96000, 16},
                                                {88200, 17}, {176400, 1}, {192000, 1}, {8000, 1}};
  for (auto [rate, column] : cases) EXPECT_EQ(CRoomEffect::ColumnForRate(rate), column) << rate;
}

// Every column: the table's structure and, run loud enough to saturate, the
// outputs' range and 16-bit steps.
TEST_F(RoomEffectTest, EveryColumnHoldsItsStructureAndOutputRange) {
  ScopedSignalPathMxcsr mxcsr;
  const struct {
    uint32_t rate;
    int32_t column, taps, length;
    int32_t firLengths[7];
  } cases[] = {
      {48000, 0, 2, 3588, {16, 16, 16, 20, 20, 18, 18}},  {44100, 1, 2, 3307, {15, 15, 15, 19, 19, 17, 17}},
      {32000, 2, 3, 2408, {10, 10, 10, 13, 13, 12, 12}},  {96000, 16, 4, 7155, {34, 34, 34, 42, 42, 38, 38}},
      {88200, 17, 4, 6595, {32, 32, 32, 40, 40, 36, 36}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.rate);
    const RoomTable& t = *RoomTables[tc.column];
    EXPECT_EQ(RoomTableLengths[tc.column], tc.length);
    EXPECT_EQ(t.tapsPerLine, tc.taps);
    int32_t delays = 0, firs = 0;
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(t.lines[k].readOffset, t.feedback[k].delay - tc.taps);
      delays += static_cast<int32_t>(t.feedback[k].delay);
    }
    for (int k = 0; k < 7; ++k) {
      EXPECT_EQ(t.firs[k].length, tc.firLengths[k]);
      firs += tc.firLengths[k];
      for (int j = 0; j < tc.firLengths[k]; ++j) {
        const float c = t.firs[k].coefficients[j] * 32768.0f;
        ASSERT_EQ(c, std::floor(c)) << "FIR " << k + 1 << " tap " << j;
      }
    }
    EXPECT_EQ(delays + 2 * firs + 52, tc.length);

    m_Effect->SetFormat(tc.rate, 7);
    auto ch = Channels(tc.length + 3000, 40 + tc.column, 4.0f);
    std::vector<float> right;
    std::vector<float> left = Run(*m_Effect, ch, dsptest::RandomSplits(tc.length + 3000, 512, 5), &right);
    EXPECT_EQ(m_Effect->MemoryLength(), tc.length);
    bool top = false, bottom = false;
    for (const auto* out : {&left, &right}) {
      for (float v : *out) {
        ASSERT_GE(v, -1.0f);
        ASSERT_LE(v, 32767.0f / 32768.0f);
        ASSERT_EQ(v * 32768.0f, std::floor(v * 32768.0f));
        top |= v == 32767.0f / 32768.0f;
        bottom |= v == -1.0f;
      }
    }
    EXPECT_TRUE(top && bottom);
    m_Effect->Reset();
    for (int32_t i = 0; i < tc.length; ++i) ASSERT_EQ(m_Effect->Memory()[i], 0.0f) << i;
  }
}

}  // namespace
