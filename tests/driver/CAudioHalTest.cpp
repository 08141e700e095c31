#include <gtest/gtest.h>

#include "driver/hal/CAudioHal.h"
#include "tests/driver/support/TestAudioHal.h"
#include "tests/driver/support/TestNodes.h"
#include "tests/support/KernelTest.h"

namespace {

using namespace testsupport;

// A bare model whose inventories a test fills through `build`.
class CAudioHalTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    TestAudioHal::Reset();
  }
  void TearDown() override {
    if (m_Inner) m_Inner->Release();
    KernelTest::TearDown();
  }

  // Creates the model and runs Init with `build` as its topology.
  NTSTATUS Make(std::function<NTSTATUS(TestAudioHal&)> build, std::vector<TestEngineSpec> engines = {},
                NTSTATUS configureStatus = STATUS_SUCCESS) {
    TestHalConfig config;
    config.engines = std::move(engines);
    config.build = std::move(build);
    config.configureStatus = configureStatus;
    TestAudioHal::SetNextConfig(config);
    if (!NT_SUCCESS(TestAudioHal::Create(&m_Inner, nullptr, 0x1209, 0x0002))) return STATUS_UNSUCCESSFUL;
    m_Model = TestAudioHal::Models().back();
    return m_Model->Init(nullptr, nullptr, nullptr, nullptr);
  }

  PUNKNOWN m_Inner = nullptr;
  TestAudioHal* m_Model = nullptr;
};

// Adds a node (the model takes its own reference) and hands it back.
template <typename T, typename... Args>
T* Add(TestAudioHal& hal, Args&&... args) {
  T* node = MakeNode<T>(std::forward<Args>(args)...);
  hal.AddNode(node);
  node->Release();
  return node;
}

template <typename T>
void Feed(T* node, std::initializer_list<ULONG> sources) {
  std::vector<ULONG> ids(sources);
  node->SetSourceIds(static_cast<ULONG>(ids.size()), ids.data());
}

TEST_F(CAudioHalTest, InventoriesAnswerByIndexAndTheLastNodeOfAnIdWins) {
  TestNode* first = nullptr;
  TestNode* second = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Make([&](TestAudioHal& hal) {
              first = Add<TestNode>(hal, 4u, ULONG(NODE_TYPE_MUTE));
              second = Add<TestNode>(hal, 4u, ULONG(NODE_TYPE_VOLUME));
              return STATUS_SUCCESS;
            }, {RenderEngine(PIN_CATEGORY_SPK)}));
  ITopoNode* node = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, m_Model->FindNodeById(4, &node));
  EXPECT_EQ(static_cast<ITopoNode*>(second), node);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, m_Model->FindNodeById(99, &node));
  EXPECT_EQ(nullptr, node);

  ULONG nodes = m_Model->GetNodeCount();
  EXPECT_EQ(4u, nodes);  // the engine's two terminals, then the two above
  EXPECT_EQ(STATUS_INVALID_PARAMETER, m_Model->GetNode(nodes, &node));
  EXPECT_EQ(nullptr, node);
  IStreamEngine* engine = reinterpret_cast<IStreamEngine*>(1);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, m_Model->GetStreamEngine(1, &engine));
  EXPECT_EQ(nullptr, engine);
  ASSERT_EQ(STATUS_SUCCESS, m_Model->GetStreamEngine(0, &engine));
  EXPECT_NE(nullptr, engine);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, m_Model->AddNode(nullptr));

  DeviceCapsRecord caps{};
  EXPECT_EQ(STATUS_SUCCESS, m_Model->CAudioHal::GetStreamEngineCaps(7, &caps));
  EXPECT_EQ(4u, caps.CapabilityMask);
  EXPECT_EQ(8u, caps.ModelValue);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, m_Model->CAudioHal::GetChannelCaps(0, 0, nullptr));
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, m_Model->GetComponentId(nullptr));
  EXPECT_EQ(STATUS_NOT_IMPLEMENTED, m_Model->CAudioHal::ConfigureDevice());
  (void)first;
}

TEST_F(CAudioHalTest, AModelWithoutInventoriesTellsMissingFromOutOfRange) {
  TestAudioHal::SetNextConfig(TestHalConfig{});
  ASSERT_EQ(STATUS_SUCCESS, TestAudioHal::Create(&m_Inner, nullptr, 0, 0));
  m_Model = TestAudioHal::Models().back();
  ITopoNode* node = nullptr;
  IStreamEngine* engine = nullptr;
  EXPECT_EQ(0u, m_Model->GetNodeCount());
  EXPECT_EQ(0u, m_Model->GetStreamEngineCount());
  EXPECT_EQ(STATUS_UNSUCCESSFUL, m_Model->GetNode(0, &node));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, m_Model->GetStreamEngine(0, &engine));
  PVOID registration = nullptr;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, m_Model->RegisterCallback([](PVOID, PVOID, PVOID) {}, nullptr, &registration));
}

TEST_F(CAudioHalTest, SelectorInputsLearnTheirInputNumberDeepestFirst) {
  CallLog log;
  TestSelectorNode* selector = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Make([&](TestAudioHal& hal) {
              // Terminals 10, 11, 12 feed nodes 20, 21, 22 on inputs 1-3;
              // input 2 has a second node 23 between 21 and its terminal.
              for (ULONG t : {10u, 11u, 12u}) Add<TestTerminalNode>(hal, t, ULONG(NODE_TYPE_INPUT_PIN), 7u);
              Feed(Add<TestSelectorInputNode>(hal, 20u, &log), {10});
              Feed(Add<TestSelectorInputNode>(hal, 21u, &log), {23});
              Feed(Add<TestSelectorInputNode>(hal, 23u, &log), {11});
              Feed(Add<TestSelectorInputNode>(hal, 22u, &log), {12});
              selector = Add<TestSelectorNode>(hal, 30u, &log);
              selector->currentInput = 2;
              Feed(selector, {20, 21, 22});
              return STATUS_SUCCESS;
            }));
  EXPECT_EQ((CallLog{"add 20", "index 20 1", "selected 20 2",  //
                     "add 23", "index 23 2", "selected 23 2",  //
                     "add 21", "index 21 2", "selected 21 2",  //
                     "add 22", "index 22 3", "selected 22 2"}),
            log);
}

TEST_F(CAudioHalTest, SelectorsWithMoreThanTenInputsAreLeftAlone) {
  for (ULONG inputs : {10u, 11u}) {
    SCOPED_TRACE(inputs);
    CallLog log;
    TestAudioHal::Reset();
    ASSERT_EQ(STATUS_SUCCESS, Make([&](TestAudioHal& hal) {
                std::vector<ULONG> sources;
                for (ULONG i = 0; i < inputs; ++i) {
                  Feed(Add<TestSelectorInputNode>(hal, 100 + i, &log), {200 + i});
                  sources.push_back(100 + i);
                }
                TestSelectorNode* selector = Add<TestSelectorNode>(hal, 50u, &log);
                selector->SetSourceIds(inputs, sources.data());
                return STATUS_SUCCESS;
              }));
    EXPECT_EQ(inputs <= 10 ? 3 * inputs : 0u, log.size());
    m_Inner->Release();
    m_Inner = nullptr;
  }
}

TEST_F(CAudioHalTest, ALoopingChainIsSkippedAndTheRestOfTheTopologyIsBuilt) {
  CallLog log;
  TestNode* plain = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Make([&](TestAudioHal& hal) {
              // Input 1: node 40 names itself. Input 2: 41 -> 42 -> 41.
              // Input 3: a proper chain 43 <- terminal 44.
              Feed(Add<TestSelectorInputNode>(hal, 40u, &log), {40});
              Feed(Add<TestSelectorInputNode>(hal, 41u, &log), {42});
              Feed(Add<TestSelectorInputNode>(hal, 42u, &log), {41});
              Feed(Add<TestSelectorInputNode>(hal, 43u, &log), {44});
              Add<TestTerminalNode>(hal, 44u, ULONG(NODE_TYPE_INPUT_PIN), 6u);
              Feed(Add<TestSelectorNode>(hal, 45u, &log), {40, 41, 43});
              plain = Add<TestNode>(hal, 46u, ULONG(NODE_TYPE_MUTE));
              return STATUS_SUCCESS;
            }));
  EXPECT_EQ((CallLog{"add 43", "index 43 3", "selected 43 1"}), log);
  EXPECT_EQ(1, plain->applyCount);  // the build went on to push the values
}

TEST_F(CAudioHalTest, BuildTopologyBindsRenderEnginesThenReturnsTheFirstApplyFailure) {
  TestBindingNode* renderBinding = nullptr;
  TestBindingNode* captureBinding = nullptr;
  TestNode* failing = nullptr;
  TestNode* after = nullptr;
  NTSTATUS status = Make(
      [&](TestAudioHal& hal) {
        renderBinding = Add<TestBindingNode>(hal, 60u);
        captureBinding = Add<TestBindingNode>(hal, 61u);
        hal.Engine(0)->AttachNode(renderBinding);
        hal.Engine(1)->AttachNode(captureBinding);
        failing = Add<TestNode>(hal, 62u, ULONG(NODE_TYPE_VOLUME));
        failing->applyStatus = STATUS_DEVICE_NOT_READY;
        after = Add<TestNode>(hal, 63u, ULONG(NODE_TYPE_VOLUME));
        // The nodes stay alive past the failed Init for the checks below.
        for (TestNode* n : {static_cast<TestNode*>(renderBinding), static_cast<TestNode*>(captureBinding), failing,
                            after})
          n->AddRef();
        return STATUS_SUCCESS;
      },
      {RenderEngine(PIN_CATEGORY_SPK), CaptureEngine(PIN_CATEGORY_MIC)});
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, status);
  EXPECT_EQ(1, renderBinding->bindCount);
  EXPECT_EQ(0, captureBinding->bindCount);
  EXPECT_EQ(1, failing->applyCount);
  EXPECT_EQ(0, after->applyCount);
  // A failed Init leaves the model with empty inventories, every node
  // released: only the test's own references remain.
  EXPECT_EQ(0u, m_Model->GetNodeCount());
  EXPECT_EQ(0u, m_Model->GetStreamEngineCount());
  for (TestNode* n : {static_cast<TestNode*>(renderBinding), static_cast<TestNode*>(captureBinding), failing, after}) {
    EXPECT_EQ(1, RefCount(n));
    n->Release();
  }
  // The callback object stays until the model goes.
  EXPECT_NE(nullptr, m_Model->GetHalCallbackObject());
}

TEST_F(CAudioHalTest, StartAndStopReachEveryNodeAndIgnoreTheirAnswers) {
  TestNode* a = nullptr;
  TestNode* b = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Make([&](TestAudioHal& hal) {
              a = Add<TestNode>(hal, 1u, ULONG(NODE_TYPE_MUTE));
              b = Add<TestNode>(hal, 2u, ULONG(NODE_TYPE_MUTE));
              return STATUS_SUCCESS;
            }));
  EXPECT_EQ(STATUS_SUCCESS, m_Model->Start());
  EXPECT_EQ(STATUS_SUCCESS, m_Model->Stop());
  for (TestNode* n : {a, b}) {
    EXPECT_EQ(1, n->startCount);
    EXPECT_EQ(1, n->stopCount);
  }
}

TEST_F(CAudioHalTest, PowerReturnsToD0OnlyOnceAndPushesTheValues) {
  TestNode* node = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, Make([&](TestAudioHal& hal) {
              node = Add<TestNode>(hal, 1u, ULONG(NODE_TYPE_VOLUME));
              return STATUS_SUCCESS;
            }));
  int applied = node->applyCount;  // once by the build
  auto power = [&](int state) {
    POWER_STATE s;
    s.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    m_Model->CAudioHal::PowerChangeState(s);
  };
  power(PowerDeviceD0);
  EXPECT_EQ(applied, node->applyCount);
  power(PowerDeviceD3);
  EXPECT_EQ(PowerDeviceD3, m_Model->GetDevicePowerState());
  power(5);
  EXPECT_EQ(PowerDeviceD3, m_Model->GetDevicePowerState());
  power(PowerDeviceD0);
  EXPECT_EQ(applied + 1, node->applyCount);
  EXPECT_EQ(PowerDeviceD0, m_Model->GetDevicePowerState());

  DEVICE_CAPABILITIES caps{};
  EXPECT_EQ(STATUS_SUCCESS, m_Model->QueryDeviceCapabilities(&caps));
  EXPECT_EQ(1u, caps.SurpriseRemovalOK);
}

TEST_F(CAudioHalTest, NotificationsReachEveryRegistrationAndTheObjectGoesWithTheModel) {
  ASSERT_EQ(STATUS_SUCCESS, Make(nullptr));
  std::vector<AudioHalNotify> seen;
  PVOID first = nullptr;
  PVOID second = nullptr;
  auto record = [](PVOID context, PVOID argument, PVOID) {
    static_cast<std::vector<AudioHalNotify>*>(context)->push_back(*static_cast<AudioHalNotify*>(argument));
  };
  ASSERT_EQ(STATUS_SUCCESS, m_Model->RegisterCallback(record, &seen, &first));
  ASSERT_EQ(STATUS_SUCCESS, m_Model->RegisterCallback(record, &seen, &second));
  m_Model->NotifyControlChange(17);
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(1u, seen[0].Kind);
  EXPECT_EQ(1u, seen[0].Second);
  EXPECT_EQ(17u, seen[0].NodeId);
  EXPECT_EQ(0u, seen[0].Reserved);
  m_Model->UnregisterCallback(first);
  m_Model->UnregisterCallback(second);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, m_Model->RegisterCallback(record, &seen, nullptr));

  WCHAR name[64];
  RtlStringCchPrintfW(name, 64, u"\\Callback\\AudioHalAddr%p", static_cast<IAudioHal*>(m_Model));
  auto names = platform::callback::Names();
  EXPECT_NE(names.end(), std::find(names.begin(), names.end(), std::u16string(name)));
  m_Inner->Release();
  m_Inner = nullptr;
  names = platform::callback::Names();
  EXPECT_EQ(names.end(), std::find(names.begin(), names.end(), std::u16string(name)));
}

TEST_F(CAudioHalTest, InitFailuresOfItsOwnAllocationsLeaveNothingBehind) {
  struct Case {
    ULONG tag;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {AUDIO_HAL_TAG, STATUS_INSUFFICIENT_RESOURCES},
      {AUDIO_HAL_NAME_TAG, STATUS_INSUFFICIENT_RESOURCES},
      {platform::callback::kObjectTag, STATUS_INSUFFICIENT_RESOURCES},
  };
  for (const Case& c : cases) {
    TestAudioHal::Reset();
    TestHalConfig config;
    config.engines = {RenderEngine(PIN_CATEGORY_HEADSET)};
    TestAudioHal::SetNextConfig(config);
    ASSERT_EQ(STATUS_SUCCESS, TestAudioHal::Create(&m_Inner, nullptr, 0, 0));
    m_Model = TestAudioHal::Models().back();
    platform::pool::FailAllocationsWithTag(c.tag);
    EXPECT_EQ(c.expected, m_Model->Init(nullptr, nullptr, nullptr, nullptr));
    platform::pool::ClearFailures();
    EXPECT_EQ(0u, m_Model->GetStreamEngineCount());
    m_Inner->Release();
    m_Inner = nullptr;
  }
}

}  // namespace
