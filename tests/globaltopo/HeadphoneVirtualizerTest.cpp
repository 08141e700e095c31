// The control object: mode settings to filter keys, format changes, and the
// choice between engine and downmix.
#include <memory>
#include <vector>

#include "globaltopo/common/VSF/HeadphoneVirtualizer.h"
#include "tests/dsp/DspTestSupport.h"
#include "tests/support/KernelTest.h"

namespace {

class HeadphoneVirtualizerTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    m_Vsf = new (NonPagedPool, VSF_CONTROL_TAG) CHeadphoneVirtualizer();
    ASSERT_NE(m_Vsf, nullptr);
  }
  void TearDown() override {
    delete m_Vsf;
    KernelTest::TearDown();
  }
  CHeadphoneFir& Fir() { return m_Vsf->Engine()->Fir(); }

  CHeadphoneVirtualizer* m_Vsf = nullptr;
};

struct EightChannels {
  explicit EightChannels(size_t frames, uint32_t seed) {
    for (uint32_t c = 0; c < 8; ++c) data.push_back(dsptest::Noise(frames, seed + c));
    for (auto& c : data) ptrs.push_back(c.data());
  }
  std::vector<std::vector<float>> data;
  std::vector<float*> ptrs;
};

void ExpectHalfLevelDownmix(const EightChannels& before, const EightChannels& after) {
  for (size_t i = 0; i < before.data[0].size(); ++i) {
    const auto& s = before.data;
    const double l = 0.5 * (s[0][i] + 0.707 * s[2][i] + s[3][i] + s[4][i] + s[6][i]);
    const double r = 0.5 * (s[1][i] + 0.707 * s[2][i] + s[3][i] + s[5][i] + s[7][i]);
    ASSERT_NEAR(after.data[0][i], l, 1e-6) << i;
    ASSERT_NEAR(after.data[1][i], r, 1e-6) << i;
  }
}

TEST_F(HeadphoneVirtualizerTest, AFreshObjectDownmixesAtHalfLevel) {
  EXPECT_EQ(m_Vsf->GetEnable(), 0);
  EXPECT_EQ(m_Vsf->GetHeadphoneRoom(), 1);
  EXPECT_EQ(m_Vsf->GetSpeakerRoom(), 1);
  EXPECT_EQ(m_Vsf->GetCtcAngle(), 20);
  EightChannels x(300, 1);
  const EightChannels before = x;
  m_Vsf->Process(x.ptrs.data(), 300);
  ExpectHalfLevelDownmix(before, x);
}

TEST_F(HeadphoneVirtualizerTest, MapAngleCodeTable) {
  struct Case {
    int32_t angle, flag0, flag1;
  } const cases[] = {{0, 24, 25}, {25, 24, 25}, {1, 29, 30}, {30, 29, 30}, {2, 34, 35}, {35, 34, 35},
                     {3, 39, 40}, {40, 39, 40}, {31, 31, 31}, {4, -1, -1}, {29, -1, -1}};
  for (const Case& c : cases) {
    EXPECT_EQ(MapAngleCode(0, c.angle), c.flag0) << c.angle;
    EXPECT_EQ(MapAngleCode(7, c.angle), c.flag1) << c.angle;
  }
}

TEST_F(HeadphoneVirtualizerTest, EachModeReloadsFiltersOnlyWhileItIsActive) {
  m_Vsf->SetHeadphoneAngle(3);
  EXPECT_EQ(Fir().Room(), 2);
  EXPECT_EQ(Fir().Angle(), 39);

  m_Vsf->SetSpeakerRoom(0);  // headphone mode: stored only
  EXPECT_EQ(Fir().Room(), 2);

  m_Vsf->SetCtcEnable(1);
  EXPECT_EQ(Fir().CtcAngle(), 20) << "the stored cross-talk angle";
  EXPECT_EQ(Fir().Angle(), 39) << "head and tail stay until a speaker setter runs";
  m_Vsf->SetHeadphoneAngle(0);
  EXPECT_EQ(Fir().Angle(), 39);
  EXPECT_EQ(m_Vsf->GetHeadphoneAngle(), 0);
  m_Vsf->SetSpeakerFlag(1);
  EXPECT_EQ(Fir().Room(), 3);
  EXPECT_EQ(Fir().Angle(), 30);

  m_Vsf->SetCtcAngle(7);
  EXPECT_EQ(m_Vsf->GetCtcAngle(), 7);
  EXPECT_EQ(Fir().CtcTaps(), 1) << "no pair for 7 degrees: identity";
  m_Vsf->SetCtcAngle(4);
  EXPECT_EQ(Fir().CtcAngle(), 30);
  m_Vsf->SetCtcEnable(0);
  EXPECT_EQ(Fir().CtcAngle(), 0);
  m_Vsf->SetCtcAngle(0);
  EXPECT_EQ(Fir().CtcAngle(), 0) << "off: the stage stays at the identity";
  EXPECT_EQ(m_Vsf->GetCtcAngle(), 5);
}

TEST_F(HeadphoneVirtualizerTest, EnabledProcessRunsTheEngineOnChannelsZeroAndOne) {
  WAVEFORMATEX format = {};
  format.nSamplesPerSec = 48000;
  format.nChannels = 2;
  EXPECT_EQ(m_Vsf->SetFormat(&format), 1);
  EXPECT_EQ(m_Vsf->Engine()->DeviceRate(), 48000);
  EXPECT_EQ(m_Vsf->Engine()->InputChannels(), 8);
  m_Vsf->SetEnable(1);

  auto* reference = new (NonPagedPool, VSF_POOL_TAG) CHeadphoneEngine();
  reference->Configure(48000, 8, 2);
  EightChannels x(1500, 30), y = x;
  std::vector<float> l(1500), r(1500);
  float* out[2] = {l.data(), r.data()};
  reference->ProcessFrames(out, 2, y.ptrs.data(), 8, 1500);
  for (int32_t pos : {0, 700}) {
    std::vector<float*> p;
    for (auto& c : x.data) p.push_back(c.data() + pos);
    m_Vsf->Process(p.data(), pos == 0 ? 700 : 800);
  }
  EXPECT_EQ(x.data[0], l);
  EXPECT_EQ(x.data[1], r);
  EXPECT_EQ(x.data[2], y.data[2]) << "other channels untouched";
  delete reference;
}

TEST_F(HeadphoneVirtualizerTest, WithoutAnEngineSettersOnlyStoreAndProcessDownmixes) {
  platform::pool::FailAllocationsWithTag(VSF_POOL_TAG);
  auto* vsf = new (NonPagedPool, VSF_CONTROL_TAG) CHeadphoneVirtualizer();
  platform::pool::ClearFailures();
  ASSERT_NE(vsf, nullptr);
  EXPECT_EQ(vsf->Engine(), nullptr);
  WAVEFORMATEX format = {};
  format.nSamplesPerSec = 44100;
  format.nChannels = 2;
  EXPECT_EQ(vsf->SetFormat(&format), -1);
  vsf->SetEnable(1);
  vsf->SetCtcEnable(1);
  vsf->SetSpeakerRoom(2);
  vsf->SetHeadphoneFlag(1);
  EXPECT_EQ(vsf->GetSpeakerRoom(), 2);
  EXPECT_EQ(vsf->GetHeadphoneFlag(), 1);
  EightChannels x(200, 5);
  const EightChannels before = x;
  vsf->Process(x.ptrs.data(), 200);
  ExpectHalfLevelDownmix(before, x);
  delete vsf;
  EXPECT_EQ(m_Vsf->SetFormat(nullptr), -1);
}

TEST_F(HeadphoneVirtualizerTest, MixdownCopiesOrMatrixesByChannelCount) {
  std::vector<float> a = {1, 2}, b = {3, 4}, c = {5, 6}, d(2, 9.0f), e(2, 9.0f);
  {
    const float* src[2] = {a.data(), b.data()};
    float* dst[2] = {d.data(), e.data()};
    MixdownTo2(dst, 2, src, 2, 2, 2.0f);
    EXPECT_EQ(d, a);
    EXPECT_EQ(e, b);
  }
  {
    const float* src[3] = {a.data(), b.data(), c.data()};
    float* dst[2] = {d.data(), e.data()};
    MixdownTo2(dst, 2, src, 3, 2, 1.0f);  // missing channels count as silence
    EXPECT_FLOAT_EQ(d[0], 1 + 0.707f * 5);
    EXPECT_FLOAT_EQ(e[1], 4 + 0.707f * 6);
  }
  {
    std::vector<float> f(2, 9.0f), g(2, 9.0f), h(2, 9.0f);
    const float* src[2] = {a.data(), b.data()};
    float* dst[3] = {f.data(), g.data(), h.data()};
    MixdownTo2(dst, 3, src, 2, 2, 2.0f);  // two sources: plain copy, third untouched
    EXPECT_EQ(f, a);
    EXPECT_EQ(h, std::vector<float>(2, 9.0f));
  }
}

}  // namespace
