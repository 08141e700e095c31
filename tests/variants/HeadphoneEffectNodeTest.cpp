// The TQ4187 effects unit and its headphone effect node on a simulated
// feature unit: the nodes the unit builds, the node's settings, and its
// processing (engine rates, the crossfade, the carry between blocks, and the
// blocks it must leave alone).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "tests/driver/support/TestNodes.h"
#include "tests/support/KernelTest.h"
#include "tests/topology/support/Testbed.h"
#include "tests/topology/support/WaveTestbed.h"
#include "topology/CUacLevelNode.h"
#include "variants/effects/CHeadphoneEffectNode.h"
#include "variants/effects/CTQ4187FeatureUnit.h"

namespace {

using topotest::Bytes;
using topotest::FeatureUnitDescriptor;
using topotest::Testbed;

constexpr UCHAR kUnit = 2;
constexpr ULONG kMute = 1u << 0, kVolume = 1u << 1;
constexpr UCHAR kRoomControl = 0x8B, kHeadphoneControl = 0x8C;

// The unit's vendor block with the given vendor controls on the master.
sim::DeviceProfile WithVendorControls(std::vector<UCHAR> controls) {
  sim::DeviceProfile p = sim::DefaultProfile();
  Bytes block(21, 0);
  block[16] = 21;
  block[18] = 2;
  ULONG bitmap = 0;
  for (UCHAR cs : controls) bitmap |= 1u << ((cs & 0x7F) - 1);
  block[19] = static_cast<UCHAR>(bitmap);
  block[20] = static_cast<UCHAR>(bitmap >> 8);
  p.unitMemory[kUnit] = block;
  return p;
}

Bytes EffectsUnit(ULONG master = kMute | kVolume) { return FeatureUnitDescriptor(kUnit, 1, 1, {master}); }

WAVEFORMATEXTENSIBLE Pcm(WORD channels, DWORD rate) { return wavetest::Pcm(channels, rate, 16); }

// Eight channel buffers of exactly one block, as the stream engine has them:
// a write beyond 512 frames is caught.
struct Block {
  Block() {
    for (ULONG c = 0; c < HEADPHONE_CHANNELS; ++c) {
      buffers.emplace_back(new float[HEADPHONE_BLOCK_FRAMES]());
      ptrs[c] = buffers.back().get();
    }
  }
  void Fill(ULONG channels, ULONG frames, ULONG block) {
    for (ULONG c = 0; c < channels; ++c)
      for (ULONG i = 0; i < frames; ++i)
        ptrs[c][i] = 0.25f * std::sin(0.05f * static_cast<float>(block * frames + i) * static_cast<float>(c + 1));
  }
  std::vector<float> Copy(ULONG channel) const {
    return std::vector<float>(ptrs[channel], ptrs[channel] + HEADPHONE_BLOCK_FRAMES);
  }
  std::vector<std::unique_ptr<float[]>> buffers;
  float* ptrs[HEADPHONE_CHANNELS] = {};
};

// The node with its protected steps in reach, counting its crossfades.
class ProbeNode : public CHeadphoneEffectNode {
 public:
  using CHeadphoneEffectNode::CHeadphoneEffectNode;
  using CHeadphoneEffectNode::DeliverWithCarry;
  void Crossfade(float* const* output, ULONG frames, LONG state) override {
    ++crossfades;
    CHeadphoneEffectNode::Crossfade(output, frames, state);
  }
  void RunCrossfade(float* const* output, ULONG frames, LONG state) { CHeadphoneEffectNode::Crossfade(output, frames, state); }
  float* const* Dry() { return m_Dry; }
  float* const* Wet() { return m_Wet; }
  int crossfades = 0;
};

class HeadphoneEffectNodeTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    m_Bed = std::make_unique<Testbed>(std::vector<Bytes>{EffectsUnit()}, WithVendorControls({kHeadphoneControl}));
  }
  void TearDown() override {
    if (m_Node) m_Node->NonDelegatingRelease();
    m_Node = nullptr;
    m_Bed.reset();
    KernelTest::TearDown();
  }
  CTQ4187FeatureUnit* Unit() {
    if (!m_Unit) m_Unit = m_Bed->Build<CTQ4187FeatureUnit>(EffectsUnit());
    return m_Unit;
  }
  // A node of our own on the unit's control 140, with node id 9.
  ProbeNode* MakeNode() {
    m_Node = new (NonPagedPool, TQ4187_NODE_TAG) ProbeNode(nullptr, 9);
    m_Node->NonDelegatingAddRef();
    EXPECT_EQ(m_Node->Init(static_cast<IUacUnit*>(Unit()), kHeadphoneControl, m_Bed->Fdo()), STATUS_SUCCESS);
    return m_Node;
  }
  void Run(ProbeNode* node, const WAVEFORMATEXTENSIBLE& format, Block& block, ULONG frames = HEADPHONE_BLOCK_FRAMES) {
    ASSERT_EQ(node->Process(&format, block.ptrs, frames), STATUS_SUCCESS);
  }

  std::unique_ptr<Testbed> m_Bed;
  CTQ4187FeatureUnit* m_Unit = nullptr;
  ProbeNode* m_Node = nullptr;
};

// ---- The effects unit --------------------------------------------------------------------------

TEST_F(HeadphoneEffectNodeTest, UnitBuildsTheStandardNodesThenTheHeadphoneNode) {
  struct Case {
    const char* name;
    std::vector<UCHAR> vendor;
    ULONG master;
    NTSTATUS status;
    std::vector<ULONG> types;  // of the nodes built after the five the model holds
  };
  const Case cases[] = {
      // The room effect node (139) is not part of this build: the headphone
      // node takes the next id.
      {"mute, volume, 139 and 140", {kRoomControl, kHeadphoneControl}, kMute | kVolume, STATUS_SUCCESS,
       {NODE_TYPE_MUTE, NODE_TYPE_VOLUME, NODE_TYPE_PROCESSING}},
      {"140 without 139", {kHeadphoneControl}, kMute, STATUS_SUCCESS, {NODE_TYPE_MUTE, NODE_TYPE_PROCESSING}},
      {"139 alone", {kRoomControl}, kMute, STATUS_SUCCESS, {NODE_TYPE_MUTE}},
      {"no mute", {kHeadphoneControl}, kVolume, STATUS_INSUFFICIENT_RESOURCES, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Testbed bed({EffectsUnit(c.master)}, WithVendorControls(c.vendor));
    for (ULONG i = 0; i < 5; ++i) {
      auto* held = testsupport::MakeNode<testsupport::TestNode>(i, ULONG(NODE_TYPE_SUM));
      ASSERT_EQ(bed.Model().AddNode(held), STATUS_SUCCESS);
      held->NonDelegatingRelease();
    }
    NTSTATUS status = STATUS_SUCCESS;
    CTQ4187FeatureUnit* unit = bed.Build<CTQ4187FeatureUnit>(EffectsUnit(c.master), &status);
    EXPECT_EQ(status, c.status);
    ASSERT_EQ(bed.NodeCount(), 5 + c.types.size());
    ULONG count = 0;
    unit->GetNodeCount(&count);
    EXPECT_EQ(count, c.types.size());
    for (ULONG i = 0; i < c.types.size(); ++i) {
      EXPECT_EQ(bed.Node(5 + i)->GetId(), 5 + i);
      EXPECT_EQ(bed.Node(5 + i)->GetType(), c.types[i]);
    }
    if (!c.types.empty() && c.types.back() == NODE_TYPE_PROCESSING) {
      auto* node = bed.NodeAs<IProcessingNode>(5 + ULONG(c.types.size()) - 1, IID_IProcessingNode);
      GUID name{};
      ASSERT_NE(node, nullptr);
      node->GetNameGuid(&name);
      EXPECT_EQ(name, NODENAME_HeadphoneEffect);
    }
  }
}

TEST_F(HeadphoneEffectNodeTest, UnitStopsAtAFailingBindingAndKeepsWhatItBuilt) {
  m_Bed->Device().AddFault({sim::RequestMatch::ClassToUnit(kUnit, 0x82), sim::FaultAction::Stall});  // GET_MIN
  NTSTATUS status = STATUS_SUCCESS;
  CTQ4187FeatureUnit* unit = m_Bed->Build<CTQ4187FeatureUnit>(EffectsUnit(), &status);
  EXPECT_NE(status, STATUS_SUCCESS);
  ASSERT_EQ(m_Bed->NodeCount(), 1u);
  EXPECT_EQ(m_Bed->Node(0)->GetType(), ULONG(NODE_TYPE_MUTE));
  ULONG count = 0;
  unit->GetNodeCount(&count);
  EXPECT_EQ(count, 1u);
}

// ---- Settings ----------------------------------------------------------------------------------

TEST_F(HeadphoneEffectNodeTest, SettingsAreValidatedStoredAndPersisted) {
  ProbeNode* node = MakeNode();
  CHeadphoneVirtualizer* v = node->Virtualizer();
  ASSERT_NE(v, nullptr);
  ULONG values[2] = {};
  ASSERT_EQ(node->GetParameters(0, 2, values), STATUS_SUCCESS);
  EXPECT_EQ(values[0], 1u);  // the virtualiser's own start values
  EXPECT_EQ(values[1], 0u);

  // A room the virtualiser cannot take is kept anyway when the block has
  // another value it took.
  const ULONG roomAndFlag[2] = {5, 1};
  EXPECT_EQ(node->SetParameters(0, 2, roomAndFlag), STATUS_SUCCESS);
  EXPECT_EQ(v->GetHeadphoneRoom(), 1);
  EXPECT_EQ(v->GetHeadphoneFlag(), 1);
  EXPECT_EQ(v->GetSpeakerFlag(), 1);
  EXPECT_EQ(m_Bed->SettingAs<LONG>(u"Unit09_0"), 5);
  EXPECT_EQ(m_Bed->SettingAs<LONG>(u"Unit09_1"), 1);

  const ULONG seven = 7, room = 2;
  EXPECT_EQ(node->SetParameters(1, 1, &seven), STATUS_SUCCESS);
  EXPECT_EQ(m_Bed->SettingAs<LONG>(u"Unit09_1"), 7);
  EXPECT_EQ(node->SetParameters(0, 1, &room), STATUS_SUCCESS);
  EXPECT_EQ(v->GetHeadphoneRoom(), 2);

  // Blocks outside the two settings, an empty one, one whose only value was
  // refused, and index + count that wraps.
  const ULONG big[2] = {9, 9};
  const struct {
    ULONG first, count;
  } refused[] = {{2, 1}, {0, 0}, {0, 3}, {1, 2}, {0xFFFFFFFF, 2}, {0xFFFFFFFE, 4}};
  for (const auto& r : refused) {
    SCOPED_TRACE(testing::Message() << r.first << "+" << r.count);
    EXPECT_EQ(node->SetParameters(r.first, r.count, big), STATUS_INVALID_PARAMETER);
    ULONG out[4] = {0x55, 0x55, 0x55, 0x55};
    if (r.count) {
      EXPECT_EQ(node->GetParameters(r.first, r.count, out), STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(out[0], 0x55u);
  }
  EXPECT_EQ(node->SetParameters(0, 1, big), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(node->GetParameters(0, 2, values), STATUS_SUCCESS);
  EXPECT_EQ(values[0], 2u);
  EXPECT_EQ(values[1], 7u);
  EXPECT_EQ(m_Bed->SettingAs<LONG>(u"Unit09_0"), 2);
}

TEST_F(HeadphoneEffectNodeTest, PersistedSettingsAreAppliedAtInit) {
  m_Bed->PutSetting(u"Unit09_0", LONG(0));
  m_Bed->PutSetting(u"Unit09_1", LONG(1));
  ProbeNode* node = MakeNode();
  ULONG values[2] = {};
  ASSERT_EQ(node->GetParameters(0, 2, values), STATUS_SUCCESS);
  EXPECT_EQ(values[0], 0u);
  EXPECT_EQ(values[1], 1u);
  EXPECT_EQ(node->Virtualizer()->GetHeadphoneRoom(), 0);
  EXPECT_EQ(node->Virtualizer()->GetHeadphoneFlag(), 1);
  EXPECT_EQ(node->Virtualizer()->GetSpeakerFlag(), 1);
  EXPECT_EQ(node->Virtualizer()->GetHeadphoneAngle(), 3);
}

// A node whose limiters or virtualiser could not be made still takes its
// settings, and its resets and blocks do nothing.
TEST_F(HeadphoneEffectNodeTest, NodeWithoutItsPartsKeepsSettingsAndLeavesStreamsAlone) {
  struct Case {
    const char* name;
    ULONG tag;
    size_t nth;
    bool limiters;
  };
  const Case cases[] = {
      {"the wet limiter", HEADPHONE_LIMITER_TAG, 1, false},
      {"the virtualiser", HEADPHONE_LIMITER_TAG, 3, true},
      {"a buffer", HEADPHONE_NODE_TAG, 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (m_Node) m_Node->NonDelegatingRelease();
    Unit();  // its own headphone node is whole
    platform::pool::FailNthAllocationWithTag(c.tag, c.nth);
    ProbeNode* node = MakeNode();
    platform::pool::ClearFailures();
    EXPECT_EQ(node->Virtualizer(), nullptr);
    EXPECT_EQ(node->WetLimiter() != nullptr, c.limiters);
    const ULONG room = 2;
    EXPECT_EQ(node->SetParameters(0, 1, &room), STATUS_SUCCESS);
    EXPECT_EQ(m_Bed->SettingAs<LONG>(u"Unit09_0"), 2);
    const ULONG tooBig = 3;
    EXPECT_EQ(node->SetParameters(0, 1, &tooBig), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->Reset(), STATUS_SUCCESS);
    EXPECT_EQ(node->ResetLimiters(), STATUS_SUCCESS);
    const WAVEFORMATEXTENSIBLE format = Pcm(8, 48000);
    EXPECT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
    Block block;
    block.Fill(8, HEADPHONE_BLOCK_FRAMES, 0);
    const std::vector<float> before = block.Copy(0);
    Run(node, format, block);
    EXPECT_EQ(block.Copy(0), before);
    m_Bed->PutSetting(u"Unit09_0", LONG(1));
  }
}

// ---- Formats -----------------------------------------------------------------------------------

TEST_F(HeadphoneEffectNodeTest, EngineRateFollowsTheStreamsRateFamily) {
  ProbeNode* node = MakeNode();
  struct Case {
    DWORD rate;
    ULONG engineRate;
    bool ready;
  };
  for (const Case& c : {Case{96000, 48000, true}, Case{88200, 44100, true}, Case{192000, 48000, true},
                        Case{44100, 44100, true}, Case{48000, 48000, true}, Case{32000, 48000, false}}) {
    SCOPED_TRACE(c.rate);
    const WAVEFORMATEXTENSIBLE format = Pcm(8, c.rate);
    ASSERT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
    EXPECT_EQ(node->EngineRate(), c.engineRate);
    EXPECT_EQ(node->ConvertersReady(), c.ready);
    EXPECT_EQ(node->EngineSideFormat().Format.nSamplesPerSec, c.engineRate);
    EXPECT_EQ(node->EngineSideFormat().SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    EXPECT_EQ(node->EngineSideFormat().Format.nBlockAlign, 32u);
    EXPECT_EQ(node->StreamSideFormat().Format.nSamplesPerSec, c.rate);
    EXPECT_EQ(node->EngineFormat().nChannels, 8);
    EXPECT_EQ(node->EngineFormat().nSamplesPerSec, c.engineRate);
    // At an engine rate the two sides are the same record: nothing converts.
    const bool same = std::memcmp(&node->EngineSideFormat(), &node->StreamSideFormat(), sizeof(WAVEFORMATEXTENSIBLE)) == 0;
    EXPECT_EQ(same, c.rate == c.engineRate);
  }
}

// Stereo streams keep their samples, other formats are not touched, and a
// rate the converters cannot take leaves the stream as it was (the node
// would otherwise convert into more than a block).
TEST_F(HeadphoneEffectNodeTest, BlocksTheNodeLeavesAlone) {
  ProbeNode* node = MakeNode();
  ASSERT_EQ(node->SetValue(1), STATUS_SUCCESS);
  struct Case {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
  };
  const WAVEFORMATEXTENSIBLE floats = wavetest::Float(8, 48000);
  const Case cases[] = {
      {"stereo at 48 kHz", Pcm(2, 48000)},
      {"stereo at 96 kHz", Pcm(2, 96000)},
      {"float", floats},
      {"6 channels at 32 kHz", Pcm(6, 32000)},
      {"8 channels at 16 kHz", Pcm(8, 16000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(node->SetFormat(&c.format), STATUS_SUCCESS);
    for (ULONG b = 0; b < 4; ++b) {
      Block block;
      block.Fill(c.format.Format.nChannels, HEADPHONE_BLOCK_FRAMES, b);
      std::vector<std::vector<float>> before;
      for (ULONG ch = 0; ch < HEADPHONE_CHANNELS; ++ch) before.push_back(block.Copy(ch));
      Run(node, c.format, block);
      for (ULONG ch = 0; ch < HEADPHONE_CHANNELS; ++ch) EXPECT_EQ(block.Copy(ch), before[ch]) << "channel " << ch;
    }
  }
}

// ---- Processing --------------------------------------------------------------------------------

TEST_F(HeadphoneEffectNodeTest, CrossfadeRampsOverFourFifthsOfTheBlock) {
  ProbeNode* node = MakeNode();
  std::vector<float> out0, out1;
  auto fade = [&](ULONG frames, LONG state) {
    out0.assign(frames, 2.0f);
    out1.assign(frames, 2.0f);
    for (ULONG c = 0; c < 2; ++c) std::fill(node->Dry()[c], node->Dry()[c] + frames, 1.0f);
    float* output[2] = {out0.data(), out1.data()};
    node->RunCrossfade(output, frames, state);
  };
  // 480 frames: h = 96, 192 out, 192 in, 96 of the new signal.
  fade(480, HEADPHONE_TO_WET);
  for (ULONG i = 0; i < 480; ++i) {
    const float expected = i < 192 ? 1.0f * (1.0f - i / 191.0f) : i < 384 ? 2.0f * ((i - 192) / 191.0f) : 2.0f;
    EXPECT_NEAR(out0[i], expected, 2e-7f) << i;
    EXPECT_EQ(out1[i], out0[i]) << i;
  }
  fade(480, HEADPHONE_TO_DRY);
  for (ULONG i = 0; i < 480; ++i) {
    const float expected = i < 192 ? 2.0f * (1.0f - i / 191.0f) : i < 384 ? 1.0f * ((i - 192) / 191.0f) : 1.0f;
    EXPECT_NEAR(out0[i], expected, 2e-7f) << i;
  }
  // Fewer than five frames: no ramp at all.
  fade(4, HEADPHONE_TO_WET);
  EXPECT_EQ(out0, std::vector<float>(4, 2.0f));
  fade(4, HEADPHONE_TO_DRY);
  EXPECT_EQ(out0, std::vector<float>(4, 1.0f));
}

TEST_F(HeadphoneEffectNodeTest, SwitchingGivesExactlyOneCrossfadedBlock) {
  ProbeNode* node = MakeNode();
  const WAVEFORMATEXTENSIBLE format = Pcm(6, 48000);
  ASSERT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
  ULONG b = 0;
  auto blocks = [&](int count) {
    for (int i = 0; i < count; ++i) {
      Block block;
      block.Fill(6, HEADPHONE_BLOCK_FRAMES, b++);
      Run(node, format, block);
      EXPECT_EQ(node->CrossfadeState(), HEADPHONE_STEADY);
    }
  };
  blocks(3);
  EXPECT_EQ(node->crossfades, 0);
  ASSERT_EQ(node->SetValue(1), STATUS_SUCCESS);
  blocks(3);
  EXPECT_EQ(node->crossfades, 1);
  ASSERT_EQ(node->SetValue(0), STATUS_SUCCESS);
  blocks(3);
  EXPECT_EQ(node->crossfades, 2);
}

// The stream's channels 6 and 7 of a 6-channel block are not the stream's:
// what the node left there from other work must not reach the virtualiser.
TEST_F(HeadphoneEffectNodeTest, WetChannelsTheStreamLacksAreSilent) {
  ProbeNode* node = MakeNode();
  ASSERT_EQ(node->SetValue(1), STATUS_SUCCESS);
  const WAVEFORMATEXTENSIBLE format = Pcm(6, 48000);
  ASSERT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
  for (ULONG b = 0; b < 4; ++b) {
    for (ULONG c = 6; c < 8; ++c) std::fill(node->Wet()[c], node->Wet()[c] + HEADPHONE_BLOCK_FRAMES, NAN);
    Block block;
    block.Fill(6, HEADPHONE_BLOCK_FRAMES, b);
    Run(node, format, block);
    for (ULONG c = 0; c < 6; ++c)
      for (ULONG i = 0; i < HEADPHONE_BLOCK_FRAMES; ++i) ASSERT_TRUE(std::isfinite(block.ptrs[c][i])) << c << " " << i;
  }
}

// Eight channels at 96 kHz, through both conversions, with the effect
// switched: every block stays within the stream's 512 frames and the carry
// within its buffers.
TEST_F(HeadphoneEffectNodeTest, ConvertedStreamsStayWithinTheirBlocks) {
  ProbeNode* node = MakeNode();
  for (DWORD rate : {96000u, 88200u, 192000u}) {
    SCOPED_TRACE(rate);
    const WAVEFORMATEXTENSIBLE format = Pcm(8, rate);
    ASSERT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
    for (ULONG b = 0; b < 60; ++b) {
      if (b % 20 == 10) {
        ASSERT_EQ(node->SetValue(b % 40 == 10 ? 1 : 0), STATUS_SUCCESS);
      }
      Block block;
      const ULONG frames = b % 3 == 0 ? HEADPHONE_BLOCK_FRAMES : 480 + b % 32;
      block.Fill(8, frames, b);
      Run(node, format, block, frames);
      EXPECT_LE(node->CarryCount(), HEADPHONE_BLOCK_FRAMES);
    }
  }
}

// The carry keeps every sample the conversions produced, in order: blocks
// the return conversion overfills feed later blocks it underfills.
TEST_F(HeadphoneEffectNodeTest, CarryKeepsEverySampleInOrder) {
  ProbeNode* node = MakeNode();
  const WAVEFORMATEXTENSIBLE format = Pcm(6, 96000);
  ASSERT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
  constexpr ULONG N = 100;
  float next = 1.0f;
  std::vector<float> delivered;
  // Produced per block: N+3, N-3, N+3, N+3, N-6, N, N-2 (the last block
  // runs short by two, which is silence at its start).
  for (ULONG produced : {N + 3, N - 3, N + 3, N + 3, N - 6, N, N - 2}) {
    Block fresh, stream;
    for (ULONG c = 0; c < 6; ++c)
      for (ULONG i = 0; i < produced; ++i) fresh.ptrs[c][i] = next + i + 1000.0f * c;
    next += static_cast<float>(produced);
    node->DeliverWithCarry(fresh.ptrs, stream.ptrs, 6, N, produced);
    for (ULONG i = 0; i < N; ++i) {
      delivered.push_back(stream.ptrs[0][i]);
      EXPECT_EQ(stream.ptrs[5][i], stream.ptrs[0][i] == 0.0f ? 0.0f : stream.ptrs[0][i] + 5000.0f);
    }
  }
  // 1 .. 600, then the last block's two samples of silence and 601 .. 698.
  std::vector<float> want;
  for (ULONG i = 1; i <= 6 * N; ++i) want.push_back(static_cast<float>(i));
  want.insert(want.end(), 2, 0.0f);
  for (ULONG i = 6 * N + 1; i <= 7 * N - 2; ++i) want.push_back(static_cast<float>(i));
  EXPECT_EQ(delivered, want);
  EXPECT_EQ(node->CarryCount(), 0u);
}

}  // namespace
