// The product's feature units and their room effect nodes: the standard
// control nodes allocated as the product's own, then the room effect node
// (on the vendor control 0x8B for the product model, always for the
// fixed-ID device); how each variant sets, applies and refreshes its value,
// plays its prompt, binds its tone node and stops it.
#include <gtest/gtest.h>

#include "tests/support/KernelTest.h"
#include "tests/topology/support/Testbed.h"
#include "tests/topology/support/WaveTestbed.h"
#include "topology/CProductFeatureUnits.h"
#include "topology/CProductRoomEffectNodes.h"
#include "topology/CToneNode.h"

namespace {

using topotest::Bytes;
using topotest::FeatureUnitDescriptor;
using topotest::Testbed;
// The render engine the prompt plays on.
using ToneEngine = wavetest::FakeEngine;

constexpr UCHAR kUnit = 2;
constexpr ULONG kEngineTag = MakeTag("PFUt");

// A vendor block naming controls 0x8B and 0x8C on the master.
Bytes VendorBlock() {
  Bytes block(21, 0);
  block[16] = 21;
  block[18] = 2;
  block[20] = 0x0C;
  return block;
}

size_t BlocksWithTag(ULONG tag) {
  for (const auto& usage : platform::pool::Outstanding())
    if (usage.tag == tag) return usage.allocations;
  return 0;
}

// Mute and volume on the master.
const Bytes kDescriptor = FeatureUnitDescriptor(kUnit, 1, 1, {0x03});

sim::DeviceProfile ProfileWithVendorBlock() {
  sim::DeviceProfile profile = sim::DefaultProfile();
  profile.unitMemory[kUnit] = VendorBlock();
  return profile;
}

class ProductFeatureUnitTest : public testsupport::KernelTest {
 protected:
  void TearDown() override {
    platform::workitem::Drain();
    for (IStreamEngine* engine : engines_) engine->Release();
    engines_.clear();
    KernelTest::TearDown();
  }

  // A render engine of the tone prompt's test kind, in the model's list.
  ToneEngine* AddRenderEngine(Testbed& bed) {
    auto* engine = new (NonPagedPool, kEngineTag) ToneEngine(STREAM_DIRECTION_RENDER);
    engine->takesProcessor = true;
    engine->NonDelegatingAddRef();
    EXPECT_EQ(engine->Init(STREAM_DIRECTION_RENDER), STATUS_SUCCESS);
    const WAVEFORMATEXTENSIBLE format = wavetest::Pcm(8, 48000, 16);
    EXPECT_EQ(engine->AddFormat(&format), STATUS_SUCCESS);
    EXPECT_EQ(bed.Model().AddStreamEngine(engine), STATUS_SUCCESS);
    engines_.push_back(engine);
    return engine;
  }
  void AddCaptureEngine(Testbed& bed) {
    auto* engine = new (NonPagedPool, kEngineTag) wavetest::FakeEngine(STREAM_DIRECTION_CAPTURE);
    engine->NonDelegatingAddRef();
    EXPECT_EQ(engine->Init(STREAM_DIRECTION_CAPTURE), STATUS_SUCCESS);
    EXPECT_EQ(bed.Model().AddStreamEngine(engine), STATUS_SUCCESS);
    engines_.push_back(engine);
  }

  template <typename TUnit>
  C7719RoomEffectNode* BuildRoomNode(Testbed& bed) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    bed.Build<TUnit>(kDescriptor, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(bed.NodeCount(), 3u);
    auto* processing = bed.NodeAs<IProcessingNode>(2, IID_IProcessingNode);
    return processing ? static_cast<C7719RoomEffectNode*>(static_cast<CProcessingNode*>(processing)) : nullptr;
  }

  static std::vector<SHORT> FirstBurst(C7719RoomEffectNode* node) {
    const auto* tone = static_cast<CToneNode*>(node->GetToneNode());
    const SHORT* prompt = tone->PromptSamples();
    return std::vector<SHORT>(prompt + TONE_FIRST_BURST_AT, prompt + TONE_FIRST_BURST_AT + 16);
  }
  static std::vector<SHORT> BurstStart(const SHORT* burst) { return std::vector<SHORT>(burst, burst + 16); }

  std::vector<IStreamEngine*> engines_;
};

// Mute and volume come first with consecutive ids, the room effect node
// after them, fed by the volume node and standing for the unit's output;
// its value is stored under its own id. 0x8C never gets a node.
TEST_F(ProductFeatureUnitTest, TheRoomEffectNodeFollowsTheStandardNodes) {
  struct Case {
    const char* what;
    bool vendorBlock;
    bool fixedId;
    bool roomNode;
  };
  for (const Case& c : {Case{"product model with 0x8B", true, false, true},
                        Case{"product model without 0x8B", false, false, false},
                        Case{"fixed-ID device without 0x8B", false, true, true}}) {
    SCOPED_TRACE(c.what);
    Testbed bed({kDescriptor}, c.vendorBlock ? ProfileWithVendorBlock() : sim::DefaultProfile());
    const size_t before = BlocksWithTag(PRODUCT_FEATURE_NODE_TAG);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    CUac1FeatureUnit* unit = c.fixedId ? static_cast<CUac1FeatureUnit*>(bed.Build<CK784FeatureUnit>(kDescriptor, &status))
                                       : bed.Build<C7719FeatureUnit>(kDescriptor, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    const ULONG count = c.roomNode ? 3 : 2;
    ASSERT_EQ(bed.NodeCount(), count);
    EXPECT_EQ(BlocksWithTag(PRODUCT_FEATURE_NODE_TAG), before + count);
    EXPECT_EQ(bed.Node(0)->GetType(), NODE_TYPE_MUTE);
    EXPECT_EQ(bed.Node(1)->GetType(), NODE_TYPE_VOLUME);
    ULONG output = 99;
    EXPECT_EQ(unit->GetOutputNodeId(&output), STATUS_SUCCESS);
    EXPECT_EQ(output, count - 1);
    if (!c.roomNode) continue;

    ITopoNode* room = bed.Node(2);
    EXPECT_EQ(room->GetId(), 2u);
    EXPECT_EQ(room->GetType(), NODE_TYPE_PROCESSING);
    ULONG source = 99, one = 1;
    ASSERT_EQ(room->GetSourceIds(&one, &source), STATUS_SUCCESS);
    EXPECT_EQ(source, 1u);
    auto* processing = bed.NodeAs<IProcessingNode>(2, IID_IProcessingNode);
    GUID name{};
    ASSERT_EQ(processing->GetNameGuid(&name), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUIDAligned(name, NODE_NAME_ROOM_EFFECT));
    EXPECT_NE(bed.NodeAs<IDspProcessor>(2, IID_IDspProcessor), nullptr);
    EXPECT_NE(bed.NodeAs<IStreamEngineBinding>(2, IID_IStreamEngineBinding), nullptr);
    EXPECT_EQ(processing->SetValue(1), STATUS_SUCCESS);
    EXPECT_EQ(bed.Setting(u"Unit02_"), (std::vector<UCHAR>{1}));
  }
}

TEST_F(ProductFeatureUnitTest, WithoutAMuteNothingIsBuilt) {
  const Bytes descriptor = FeatureUnitDescriptor(kUnit, 1, 1, {0x02});  // volume only
  for (bool fixedId : {false, true}) {
    Testbed bed({descriptor}, ProfileWithVendorBlock());
    NTSTATUS status = STATUS_SUCCESS;
    if (fixedId)
      bed.Build<CK784FeatureUnit>(descriptor, &status);
    else
      bed.Build<C7719FeatureUnit>(descriptor, &status);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(bed.NodeCount(), 0u);
  }
}

// A room effect node that cannot have its processing is left out; the unit
// builds and works without it, whichever part was missing.
TEST_F(ProductFeatureUnitTest, ARoomEffectNodeShortOfMemoryIsLeftOut) {
  for (bool fixedId : {false, true}) {
    for (ULONG tag : {ROOM_NODE_BUFFER_TAG, ROOM_NODE_LIMITER_TAG, DSP_OBJECT_TAG, PRODUCT_FEATURE_NODE_TAG}) {
      SCOPED_TRACE(testing::Message() << (fixedId ? "fixed-ID" : "product model") << ", tag " << std::hex << tag);
      Testbed bed({kDescriptor}, ProfileWithVendorBlock());
      // The third block of the product's tag is the room effect node itself.
      if (tag == PRODUCT_FEATURE_NODE_TAG)
        platform::pool::FailNthAllocationWithTag(tag, 3);
      else
        platform::pool::FailAllocationsWithTag(tag);
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      if (fixedId)
        bed.Build<CK784FeatureUnit>(kDescriptor, &status);
      else
        bed.Build<C7719FeatureUnit>(kDescriptor, &status);
      platform::pool::ClearFailures();
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(bed.NodeCount(), 2u);
    }
  }
}

// The fixed-ID device keeps the value in the driver: the same value again
// does nothing; a new one is kept, stored, flagged for the processing and
// announced by the rising (on) or falling (off) prompt.
TEST_F(ProductFeatureUnitTest, FixedIdSetPromptsOnlyOnAChange) {
  Testbed bed({kDescriptor});
  bed.PutSetting(u"Unit02_", UCHAR(0));
  ToneEngine* engine = AddRenderEngine(bed);
  C7719RoomEffectNode* node = BuildRoomNode<CK784FeatureUnit>(bed);
  ASSERT_NE(node, nullptr);
  ASSERT_EQ(node->BindStreamEngines(0), STATUS_SUCCESS);
  bed.TakeRequests();

  EXPECT_EQ(node->SetValue(0), STATUS_SUCCESS);
  EXPECT_TRUE(engine->calls.empty());
  EXPECT_FALSE(node->TakeReconfigureFlag(0));
  EXPECT_FALSE(node->TakeReconfigureFlag(1));

  for (UCHAR value : {UCHAR(1), UCHAR(0)}) {
    SCOPED_TRACE(int(value));
    engine->calls.clear();
    EXPECT_EQ(node->SetValue(value), STATUS_SUCCESS);
    EXPECT_EQ(engine->calls, (std::vector<std::string>{"register", "prepare", "start"}));
    EXPECT_EQ(FirstBurst(node), BurstStart(value ? ToneBurstA() : ToneBurstB()));
    EXPECT_TRUE(node->TakeReconfigureFlag(0));
    EXPECT_TRUE(node->TakeReconfigureFlag(1));
    EXPECT_EQ(bed.Setting(u"Unit02_"), (std::vector<UCHAR>{value}));
    EXPECT_EQ(node->OnHalStop(0, nullptr), STATUS_SUCCESS);  // the prompt stops
  }
  EXPECT_TRUE(bed.TakeRequests().empty());  // nothing ever reached the device
  EXPECT_EQ(node->OnHalStop(0, nullptr), STATUS_UNSUCCESSFUL);  // nothing plays
  EXPECT_EQ(node->RefreshFromDevice(), STATUS_SUCCESS);
  EXPECT_EQ(node->ApplyToDevice(0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(engine->calls.size(), 6u);  // neither played a prompt

  // Unbound (no render engine), a set still takes effect.
  Testbed unbound({kDescriptor});
  C7719RoomEffectNode* lone = BuildRoomNode<CK784FeatureUnit>(unbound);
  ASSERT_EQ(lone->BindStreamEngines(0), STATUS_SUCCESS);
  EXPECT_FALSE(lone->IsBound());
  EXPECT_EQ(lone->SetValue(1), STATUS_SUCCESS);
  EXPECT_EQ(unbound.Setting(u"Unit02_"), (std::vector<UCHAR>{1}));
  EXPECT_EQ(lone->OnHalStop(0, nullptr), STATUS_SUCCESS);
}

// The product model sends the value to the device: a refused set keeps
// nothing and plays nothing but still flags the processing; a set that took
// effect succeeds whether or not its prompt can play; apply sends without a
// prompt; a value the device changed is taken over with one.
TEST_F(ProductFeatureUnitTest, ProductModelSetApplyAndRefresh) {
  Testbed bed({kDescriptor}, ProfileWithVendorBlock());
  ToneEngine* engine = AddRenderEngine(bed);
  C7719RoomEffectNode* node = BuildRoomNode<C7719FeatureUnit>(bed);
  ASSERT_NE(node, nullptr);

  // Not bound yet: the set takes effect all the same.
  EXPECT_EQ(node->SetValue(1), STATUS_SUCCESS);
  EXPECT_EQ(bed.Device().ControlValue(kUnit, 0x8B, 0), (Bytes{1}));
  EXPECT_EQ(bed.Setting(u"Unit02_"), (std::vector<UCHAR>{1}));
  node->TakeReconfigureFlag(0);
  node->TakeReconfigureFlag(1);

  ASSERT_EQ(node->BindStreamEngines(0), STATUS_SUCCESS);
  sim::ControlFault refuse;
  refuse.match = sim::RequestMatch::VendorToUnit(kUnit, 0x01);
  refuse.times = 1;
  bed.Device().AddFault(refuse);
  EXPECT_NE(node->SetValue(0), STATUS_SUCCESS);
  EXPECT_TRUE(engine->calls.empty());
  EXPECT_EQ(bed.Setting(u"Unit02_"), (std::vector<UCHAR>{1}));
  UCHAR value = 9;
  EXPECT_EQ(node->GetValue(&value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(node->TakeReconfigureFlag(0));
  EXPECT_TRUE(node->TakeReconfigureFlag(1));

  EXPECT_EQ(node->SetValue(0), STATUS_SUCCESS);
  EXPECT_EQ(engine->calls, (std::vector<std::string>{"register", "prepare", "start"}));
  EXPECT_EQ(FirstBurst(node), BurstStart(ToneBurstB()));
  EXPECT_EQ(node->OnHalStop(0, nullptr), STATUS_SUCCESS);
  engine->calls.clear();

  bed.TakeRequests();
  EXPECT_EQ(node->ApplyToDevice(0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(bed.TakeRequests().size(), 1u);
  EXPECT_TRUE(engine->calls.empty());

  // The device's own change: taken over, stored and announced once.
  node->TakeReconfigureFlag(0);
  node->TakeReconfigureFlag(1);
  ASSERT_TRUE(bed.Device().SetControlValue(kUnit, 0x8B, 0, {1}, false));
  EXPECT_EQ(node->RefreshFromDevice(), STATUS_SUCCESS);
  EXPECT_EQ(node->GetValue(&value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(bed.Setting(u"Unit02_"), (std::vector<UCHAR>{1}));
  EXPECT_EQ(engine->calls, (std::vector<std::string>{"register", "prepare", "start"}));
  EXPECT_EQ(FirstBurst(node), BurstStart(ToneBurstA()));
  EXPECT_TRUE(node->TakeReconfigureFlag(0));
  EXPECT_TRUE(node->TakeReconfigureFlag(1));
  EXPECT_EQ(node->OnHalStop(0, nullptr), STATUS_SUCCESS);
  engine->calls.clear();
  EXPECT_EQ(node->RefreshFromDevice(), STATUS_SUCCESS);  // unchanged: nothing
  EXPECT_TRUE(engine->calls.empty());
  EXPECT_FALSE(node->TakeReconfigureFlag(0));
}

// The tone node plays on the model's first render engine, whichever engine
// asks; later calls find the node bound. No render engine: unbound, success.
TEST_F(ProductFeatureUnitTest, BindingTakesTheFirstRenderEngineOnce) {
  Testbed bed({kDescriptor}, ProfileWithVendorBlock());
  AddCaptureEngine(bed);
  ToneEngine* first = AddRenderEngine(bed);
  ToneEngine* second = AddRenderEngine(bed);
  C7719RoomEffectNode* node = BuildRoomNode<C7719FeatureUnit>(bed);
  ASSERT_NE(node, nullptr);
  ASSERT_EQ(node->BindStreamEngines(0), STATUS_SUCCESS);
  ASSERT_TRUE(node->IsBound());
  IToneNode* tone = node->GetToneNode();
  EXPECT_EQ(node->BindStreamEngines(0), STATUS_SUCCESS);
  EXPECT_EQ(node->GetToneNode(), tone);
  EXPECT_EQ(node->SetValue(1), STATUS_SUCCESS);
  EXPECT_EQ(first->calls, (std::vector<std::string>{"register", "prepare", "start"}));
  EXPECT_TRUE(second->calls.empty());
  EXPECT_EQ(node->OnHalStop(0, nullptr), STATUS_SUCCESS);

  Testbed captureOnly({kDescriptor}, ProfileWithVendorBlock());
  AddCaptureEngine(captureOnly);
  C7719RoomEffectNode* lone = BuildRoomNode<C7719FeatureUnit>(captureOnly);
  ASSERT_NE(lone, nullptr);
  EXPECT_EQ(lone->BindStreamEngines(0), STATUS_SUCCESS);
  EXPECT_FALSE(lone->IsBound());
  EXPECT_EQ(lone->GetToneNode(), nullptr);
}

}  // namespace
