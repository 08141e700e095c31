// The room effect node over render blocks: the dry fold, the wet effect,
// the crossfade a change of value starts, both limiters, streams it leaves
// alone and formats it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/dsp/DspTestSupport.h"
#include "tests/support/KernelTest.h"
#include "tests/topology/support/Testbed.h"
#include "topology/CRoomEffectNode.h"
#include "topology/CUac1FeatureUnit.h"

namespace {

using topotest::Bytes;
using topotest::FeatureUnitDescriptor;
using topotest::Testbed;

constexpr UCHAR kUnit = 5;
constexpr ULONG kRoomControl = 0x8B;  // vendor control 11
constexpr ULONG kBlock = ROOM_NODE_BLOCK_FRAMES;
constexpr ULONG kRamp = 96;  // 2 ms at 48 kHz

WAVEFORMATEXTENSIBLE Pcm(ULONG channels, ULONG rate = 48000, WORD tag = WAVE_FORMAT_PCM) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = tag;
  f.Format.nChannels = static_cast<WORD>(channels);
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = 16;
  f.Format.nBlockAlign = static_cast<WORD>(2 * channels);
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  return f;
}

// Eight channel buffers as the stream engine hands them over.
struct Block {
  explicit Block(ULONG frames = kBlock) : data(8, std::vector<float>(frames)) {
    for (ULONG c = 0; c < 8; ++c) pointers[c] = data[c].data();
  }
  // A different quiet signal on every channel, continuing across blocks.
  void Fill(ULONG channels, ULONG blockIndex, float amplitude = 0.05f) {
    for (ULONG c = 0; c < channels; ++c) {
      const std::vector<float> tone =
          dsptest::Sine(data[c].size() * (blockIndex + 1), 0.003 * (c + 1), amplitude);
      std::copy(tone.end() - static_cast<long>(data[c].size()), tone.end(), data[c].begin());
    }
  }
  std::vector<std::vector<float>> data;
  float* pointers[8] = {};
};

class RoomEffectNodeTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    sim::DeviceProfile profile = sim::DefaultProfile();
    Bytes memory(16, 0);
    memory.insert(memory.end(), {21, 0, 2, 0x00, 0x04});  // vendor control 11 on the master
    profile.unitMemory[kUnit] = memory;
    descriptor_ = FeatureUnitDescriptor(kUnit, 1, 1, {0x01});
    bed_ = std::make_unique<Testbed>(std::vector<Bytes>{descriptor_}, profile);
    unit_ = bed_->Build<CUac1FeatureUnit>(descriptor_);
    ASSERT_NE(unit_, nullptr);
  }
  void TearDown() override {
    for (CRoomEffectNode* node : nodes_) node->NonDelegatingRelease();
    nodes_.clear();
    bed_.reset();
    KernelTest::TearDown();
  }

  CRoomEffectNode* NewNode(NTSTATUS* status = nullptr, bool init = true) {
    auto* node = new (NonPagedPool, MakeTag("Rtst")) CRoomEffectNode(nullptr, 20 + static_cast<ULONG>(nodes_.size()));
    node->NonDelegatingAddRef();
    nodes_.push_back(node);
    if (init) {
      const NTSTATUS result = node->Init(static_cast<ITopoNode*>(unit_), kRoomControl, bed_->Fdo());
      if (status)
        *status = result;
      else
        EXPECT_EQ(result, STATUS_SUCCESS);
    }
    return node;
  }

  // Runs blocks of the same signal through nodes that switch at chosen
  // blocks and returns the last block of each.
  static void Run(CRoomEffectNode* node, const WAVEFORMATEXTENSIBLE& format, ULONG blockIndex, Block& block) {
    block.Fill(format.Format.nChannels, blockIndex);
    ASSERT_EQ(node->Process(&format, block.pointers, kBlock), STATUS_SUCCESS);
  }

  Bytes descriptor_;
  std::unique_ptr<Testbed> bed_;
  CUac1FeatureUnit* unit_ = nullptr;
  std::vector<CRoomEffectNode*> nodes_;
};

TEST_F(RoomEffectNodeTest, InitNamesTheNodeAndAnswersAsAProcessor) {
  CRoomEffectNode* node = NewNode();
  GUID name{};
  ASSERT_EQ(node->GetNameGuid(&name), STATUS_SUCCESS);
  EXPECT_TRUE(IsEqualGUIDAligned(name, NODE_NAME_ROOM_EFFECT));
  IDspProcessor* processor = nullptr;
  ASSERT_EQ(node->NonDelegatingQueryInterface(IID_IDspProcessor, reinterpret_cast<PVOID*>(&processor)),
            STATUS_SUCCESS);
  EXPECT_EQ(processor, static_cast<IDspProcessor*>(node));
  processor->Release();
}

// A 6-channel stream with the effect off: the front pair becomes the fold
// (FL + 0.707 C + LFE + SL, FR + 0.707 C + LFE + SR) after the limiter's
// 256-sample delay, the other channels only gain the denormal guard.
TEST_F(RoomEffectNodeTest, DryPathFoldsIntoTheFrontPairAndLeavesTheRest) {
  CRoomEffectNode* node = NewNode();
  const WAVEFORMATEXTENSIBLE format = Pcm(6);
  node->SetFormat(&format);
  Block previous, block, input;
  Run(node, format, 0, previous);
  previous.Fill(6, 0);
  input.Fill(6, 1);
  Run(node, format, 1, block);
  auto fold = [&](ULONG i, int side) {
    const auto& src = i >= 256 ? input.data : previous.data;
    const ULONG k = i >= 256 ? i - 256 : i + kBlock - 256;
    auto at = [&](int c) { return src[c][k] + ROOM_DENORMAL_GUARD; };
    return at(side) + 0.707f * at(2) + at(3) + at(4 + side);
  };
  for (ULONG i = 0; i < kBlock; ++i) {
    ASSERT_NEAR(block.data[0][i], fold(i, 0), 1e-6f) << i;
    ASSERT_NEAR(block.data[1][i], fold(i, 1), 1e-6f) << i;
    for (ULONG c = 2; c < 6; ++c) ASSERT_EQ(block.data[c][i], input.data[c][i] + ROOM_DENORMAL_GUARD) << c;
  }
}

// A change of value crossfades the front pair over 2 x 2 ms (R = 2 ms of
// frames, h = R - 1). Both paths run on every block whatever the switch, so
// nodes fed the same signal that stay dry or went wet earlier show what the
// fading node must mix.
TEST_F(RoomEffectNodeTest, AChangeCrossfadesTheFrontPairOverFourMilliseconds) {
  const struct {
    ULONG channels;
    ULONG rate;
    UCHAR from, to;
  } cases[] = {
      {8, 48000, 0, 1}, {8, 48000, 1, 0}, {6, 48000, 0, 1}, {6, 48000, 1, 0}, {8, 44100, 0, 1}, {8, 44100, 1, 0},
      // A set that leaves the switch where it was (a refused set raises the
      // flags too) fades nothing.
      {8, 48000, 1, 1}, {8, 48000, 0, 0},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(testing::Message() << test.channels << " channels at " << test.rate << ", " << int(test.from)
                                    << " -> " << int(test.to));
    const ULONG ramp = 2 * (test.rate / 1000);
    CRoomEffectNode* dry = NewNode();
    CRoomEffectNode* wet = NewNode();
    CRoomEffectNode* fading = NewNode();
    const WAVEFORMATEXTENSIBLE format = Pcm(test.channels, test.rate);
    for (CRoomEffectNode* node : {dry, wet, fading}) node->SetFormat(&format);
    ASSERT_EQ(wet->SetValue(1), STATUS_SUCCESS);
    ASSERT_EQ(fading->SetValue(test.from), STATUS_SUCCESS);
    Block d, w, f;
    for (ULONG b = 0; b < 2; ++b) {
      Run(dry, format, b, d);
      Run(wet, format, b, w);
      Run(fading, format, b, f);
    }
    ASSERT_EQ(fading->SetValue(test.to), STATUS_SUCCESS);
    Run(dry, format, 2, d);
    Run(wet, format, 2, w);
    Run(fading, format, 2, f);
    EXPECT_EQ(fading->Crossfade(), CRoomEffectNode::CROSSFADE_STEADY);
    EXPECT_EQ(fading->EffectSwitch(), test.to);

    const auto& from = test.from ? w.data : d.data;
    const auto& to = test.to ? w.data : d.data;
    const float h = static_cast<float>(ramp) - 1;
    for (ULONG c = 0; c < 2; ++c) {
      for (ULONG i = 0; i < kBlock; ++i) {
        float expected = to[c][i];
        if (test.from != test.to && i < ramp) expected = from[c][i] * (1.0f - static_cast<float>(i) / h);
        if (test.from != test.to && i >= ramp && i < 2 * ramp)
          expected = to[c][i] * (static_cast<float>(i - ramp) / h);
        ASSERT_NEAR(f.data[c][i], expected, 1e-6f) << "channel " << c << " sample " << i;
      }
    }
    // Wet or dry, the channels past the pair come through as they were: the
    // effect's own copies of them (at 32,768 times their scale) stay inside.
    Block input;
    input.Fill(test.channels, 2);
    for (ULONG c = 2; c < test.channels; ++c) {
      for (ULONG i = 0; i < kBlock; ++i) {
        ASSERT_EQ(w.data[c][i], input.data[c][i] + ROOM_DENORMAL_GUARD) << c;
        ASSERT_EQ(f.data[c][i], input.data[c][i] + ROOM_DENORMAL_GUARD) << c;
      }
    }
  }
}

// Layouts the effect has no network for would come out of it as silence:
// with the effect on they keep the dry fold, and a switch fades nothing.
TEST_F(RoomEffectNodeTest, LayoutsTheEffectDoesNotTakeKeepTheDryFold) {
  for (ULONG channels : {1u, 3u, 4u, 5u, 7u}) {
    SCOPED_TRACE(testing::Message() << channels << " channels");
    CRoomEffectNode* off = NewNode();
    CRoomEffectNode* on = NewNode();
    const WAVEFORMATEXTENSIBLE format = Pcm(channels);
    for (CRoomEffectNode* node : {off, on}) node->SetFormat(&format);
    Block a, b;
    Run(off, format, 0, a);
    Run(on, format, 0, b);
    ASSERT_EQ(on->SetValue(1), STATUS_SUCCESS);
    float peak = 0;
    for (ULONG block = 1; block < 3; ++block) {
      Run(off, format, block, a);
      Run(on, format, block, b);
      EXPECT_EQ(b.data, a.data);
      for (float v : b.data[0]) peak = std::max(peak, std::fabs(v));
    }
    EXPECT_GT(peak, 0.01f);
  }
}

TEST_F(RoomEffectNodeTest, BothLimitersHoldLoudInputUnderFullScale) {
  for (bool wetPath : {false, true}) {
    SCOPED_TRACE(wetPath ? "wet" : "dry");
    CRoomEffectNode* node = NewNode();
    const WAVEFORMATEXTENSIBLE format = Pcm(6);
    node->SetFormat(&format);
    if (wetPath) {
      ASSERT_EQ(node->SetValue(1), STATUS_SUCCESS);
    }
    float peak = 0;
    Block block;
    for (ULONG b = 0; b < 8; ++b) {
      block.Fill(6, b, 0.9f);  // the fold alone sums to well over full scale
      ASSERT_EQ(node->Process(&format, block.pointers, kBlock), STATUS_SUCCESS);
      for (ULONG c = 0; c < 2; ++c)
        for (float v : block.data[c]) peak = std::max(peak, std::fabs(v));
    }
    EXPECT_LE(peak, 1.0f + 1e-5f);  // the limiter's own gain-ramp precision
    EXPECT_GT(peak, 0.5f);
    EXPECT_EQ(node->ResetLimiters(), STATUS_SUCCESS);
    EXPECT_EQ(node->Reset(), STATUS_SUCCESS);
  }
}

// Streams the node does not carry stay bit for bit as they came; a pending
// change is still taken over so that it is not lost.
TEST_F(RoomEffectNodeTest, StreamsItDoesNotCarryPassUntouched) {
  const struct {
    const char* what;
    WAVEFORMATEXTENSIBLE format;
    ULONG frames;
    NTSTATUS status;
  } cases[] = {
      {"float", Pcm(6, 48000, WAVE_FORMAT_IEEE_FLOAT), kBlock, STATUS_SUCCESS},
      {"stereo", Pcm(2), kBlock, STATUS_SUCCESS},
      {"nine channels", Pcm(9), kBlock, STATUS_INVALID_PARAMETER},
      {"no channels", Pcm(0), kBlock, STATUS_INVALID_PARAMETER},
      {"over a block", Pcm(6), kBlock + 1, STATUS_INVALID_PARAMETER},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    CRoomEffectNode* node = NewNode();
    node->SetFormat(&test.format);
    ASSERT_EQ(node->SetValue(1), STATUS_SUCCESS);
    Block block(kBlock + 1);
    block.Fill(8, 0);
    const auto before = block.data;
    EXPECT_EQ(node->Process(&test.format, block.pointers, test.frames), test.status);
    EXPECT_EQ(block.data, before);
    EXPECT_EQ(node->EffectSwitch(), 1u);
    EXPECT_EQ(node->Crossfade(), CRoomEffectNode::CROSSFADE_TO_WET);
  }
  CRoomEffectNode* node = NewNode();
  const WAVEFORMATEXTENSIBLE format = Pcm(6);
  EXPECT_EQ(node->Process(&format, nullptr, kBlock), STATUS_INVALID_PARAMETER);
  Block block;
  block.pointers[3] = nullptr;
  EXPECT_EQ(node->Process(&format, block.pointers, kBlock), STATUS_INVALID_PARAMETER);
}

// A node short of any part (a dry-only variant, a failed allocation) keeps
// every operation safe and leaves the stream alone.
TEST_F(RoomEffectNodeTest, ANodeShortOfAPartFailsInitAndLeavesTheStreamAlone) {
  for (ULONG tag : {ROOM_NODE_BUFFER_TAG, ROOM_NODE_LIMITER_TAG, DSP_LIMITER_TAG, DSP_OBJECT_TAG}) {
    platform::pool::FailAllocationsWithTag(tag);
    NTSTATUS status = STATUS_SUCCESS;
    CRoomEffectNode* failed = NewNode(&status);
    platform::pool::ClearFailures();
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    // Bound all the same: a builder leaves such a node out rather than
    // fail its unit.
    EXPECT_TRUE(failed->IsBoundToUnit());
    EXPECT_FALSE(failed->HasEveryPart());
  }
  CRoomEffectNode* bare = NewNode(nullptr, false);
  for (CRoomEffectNode* node : nodes_) {
    const WAVEFORMATEXTENSIBLE format = Pcm(6);
    EXPECT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
    EXPECT_EQ(node->ResetLimiters(), STATUS_SUCCESS);
    Block block;
    block.Fill(6, 0);
    const auto before = block.data;
    EXPECT_EQ(node->Process(&format, block.pointers, kBlock), STATUS_SUCCESS);
    EXPECT_EQ(block.data, before);
    EXPECT_EQ(node->Reset(), STATUS_SUCCESS);
  }
  (void)bare;
}

}  // namespace
