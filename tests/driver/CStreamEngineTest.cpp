#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "driver/common/CStreamEngine.h"
#include "portcls/framework.h"
#include "tests/driver/support/TestAdapter.h"
#include "tests/driver/support/TestAudioHal.h"
#include "tests/driver/support/TestMiniports.h"
#include "tests/driver/support/TestNodes.h"
#include "tests/support/KernelTest.h"

namespace {

using namespace testsupport;

// Lets the tests look at the engine's lists.
class EngineProbe : public CStreamEngine {
 public:
  using CStreamEngine::CStreamEngine;
  CPointerList* NodeProcessors() const { return m_NodeProcessors; }
  CPointerList* Clients(int which) const {
    return which == 0 ? m_RegisteredClients : which == 1 ? m_PreparedClients : m_RunningClients;
  }
  PCALLBACK_OBJECT CallbackObject() const { return m_CallbackObject; }
};

EngineProbe* NewEngine(ULONG direction, bool init = true) {
  auto* engine = new (NonPagedPool, TEST_NODE_TAG) EngineProbe(nullptr, 0);
  engine->NonDelegatingAddRef();
  if (init) {
    EXPECT_EQ(STATUS_SUCCESS, engine->Init(direction));
  }
  return engine;
}

// Attaches a fresh node to the engine; the engine holds the only reference.
template <typename T, typename... Args>
T* Attach(CStreamEngine* engine, Args&&... args) {
  T* node = MakeNode<T>(std::forward<Args>(args)...);
  EXPECT_EQ(STATUS_SUCCESS, engine->AttachNode(node));
  node->Release();
  return node;
}

class CStreamEngineTest : public KernelTest {};

TEST_F(CStreamEngineTest, AttachingANodeTwiceKeepsOneEntryAndProcessorsJoinTheirListOnce) {
  EngineProbe* engine = NewEngine(STREAM_DIRECTION_RENDER);
  TestDspNode* dsp = MakeNode<TestDspNode>(5u);
  ASSERT_EQ(STATUS_SUCCESS, engine->AttachNode(dsp));
  ASSERT_EQ(STATUS_SUCCESS, engine->AttachNode(dsp));
  EXPECT_EQ(1u, engine->GetAttachedNodeCount());
  EXPECT_EQ(1, engine->NodeProcessors()->GetCount());
  // The test's reference, the attached-node entry and the processor entry.
  EXPECT_EQ(3, RefCount(dsp));

  // Another node with the same id counts as attached already.
  TestNode* twin = MakeNode<TestNode>(5u, ULONG(NODE_TYPE_MUTE));
  EXPECT_EQ(STATUS_SUCCESS, engine->AttachNode(twin));
  EXPECT_EQ(1, RefCount(twin));
  EXPECT_EQ(1u, engine->GetAttachedNodeCount());
  EXPECT_EQ(STATUS_INVALID_PARAMETER, engine->AttachNode(nullptr));

  ITopoNode* node = nullptr;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, engine->GetAttachedNode(1, &node));
  EXPECT_EQ(nullptr, node);
  ASSERT_EQ(STATUS_SUCCESS, engine->GetAttachedNode(0, &node));
  EXPECT_EQ(5u, node->GetId());

  engine->Release();
  EXPECT_EQ(1, RefCount(dsp));
  dsp->Release();
  twin->Release();
}

TEST_F(CStreamEngineTest, StereoOutputCategoriesAdvertiseTheirTwoChannelFormats) {
  struct Case {
    ULONG direction;
    PinCategory category;
    bool withStereo;
    ULONG advertised;
  };
  const Case cases[] = {
      {STREAM_DIRECTION_RENDER, PIN_CATEGORY_HP, true, 1},
      {STREAM_DIRECTION_RENDER, PIN_CATEGORY_SPDIF, true, 1},
      {STREAM_DIRECTION_RENDER, PIN_CATEGORY_HEADSET, true, 1},
      {STREAM_DIRECTION_RENDER, PIN_CATEGORY_FHP, true, 1},
      {STREAM_DIRECTION_RENDER, PIN_CATEGORY_SPK, true, 2},
      {STREAM_DIRECTION_CAPTURE, PIN_CATEGORY_HEADSET, true, 2},
      // A headset that announces only 8-channel formats would otherwise
      // offer nothing at all and never start.
      {STREAM_DIRECTION_RENDER, PIN_CATEGORY_HEADSET, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "category " << c.category << " direction " << c.direction);
    EngineProbe* engine = NewEngine(c.direction);
    ULONG pinType = c.direction == STREAM_DIRECTION_RENDER ? NODE_TYPE_OUTPUT_PIN : NODE_TYPE_INPUT_PIN;
    Attach<TestTerminalNode>(engine, 1u, pinType, c.category);
    WAVEFORMATEXTENSIBLE eight = PcmFormat(8, 48000, 16);
    WAVEFORMATEXTENSIBLE stereo = PcmFormat(2, 48000, 16);
    ASSERT_EQ(STATUS_SUCCESS, engine->AddFormat(&eight));
    if (c.withStereo) {
      ASSERT_EQ(STATUS_SUCCESS, engine->AddFormat(&stereo));
    }
    EXPECT_EQ(c.advertised, engine->GetFormatCount());
    WAVEFORMATEXTENSIBLE out{};
    ASSERT_EQ(STATUS_SUCCESS, engine->GetFormat(0, &out));
    bool stereoOnly = c.withStereo && c.advertised == 1;
    EXPECT_EQ(stereoOnly ? 2 : 8, out.Format.nChannels);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, engine->GetFormat(c.advertised, &out));
    engine->Release();
  }
  EngineProbe* bare = NewEngine(STREAM_DIRECTION_RENDER, false);
  EXPECT_EQ(0u, bare->GetFormatCount());
  WAVEFORMATEXTENSIBLE out{};
  EXPECT_EQ(STATUS_UNSUCCESSFUL, bare->GetFormat(0, &out));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, bare->AddFormat(nullptr));
  bare->Release();
}

TEST_F(CStreamEngineTest, FindFormatFillsInAPlainQueryAndComparesWholeExtensibleRecords) {
  EngineProbe* engine = NewEngine(STREAM_DIRECTION_RENDER);
  WAVEFORMATEXTENSIBLE stored = PcmFormat(2, 48000, 16);
  ASSERT_EQ(STATUS_SUCCESS, engine->AddFormat(&stored));

  WAVEFORMATEX plain{WAVE_FORMAT_PCM, 2, 48000, 0, 0, 16, 7};
  ASSERT_EQ(STATUS_SUCCESS, engine->FindFormat(&plain));
  EXPECT_EQ(WAVE_FORMAT_PCM, plain.wFormatTag);
  EXPECT_EQ(192000u, plain.nAvgBytesPerSec);
  EXPECT_EQ(4, plain.nBlockAlign);
  EXPECT_EQ(0, plain.cbSize);
  WAVEFORMATEX floats{WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 0, 0, 16, 0};
  EXPECT_EQ(STATUS_NO_MATCH, engine->FindFormat(&floats));

  // Extensible queries, each in an allocation of exactly its own size, so
  // that a comparison running past the record is caught.
  auto query = std::make_unique<WAVEFORMATEXTENSIBLE>(stored);
  EXPECT_EQ(STATUS_SUCCESS, engine->FindFormat(&query->Format));
  query->dwChannelMask = 0x3F;
  EXPECT_EQ(STATUS_NO_MATCH, engine->FindFormat(&query->Format));
  *query = stored;
  query->Format.cbSize = 0xFFFF;  // claims more than a record holds
  EXPECT_EQ(STATUS_NO_MATCH, engine->FindFormat(&query->Format));
  *query = stored;
  query->dwChannelMask = 0x3F;
  query->Format.cbSize = 0;  // claims to be a bare header: no record to compare
  EXPECT_EQ(STATUS_NO_MATCH, engine->FindFormat(&query->Format));

  EXPECT_EQ(STATUS_INVALID_PARAMETER, engine->FindFormat(nullptr));
  engine->Release();

  EngineProbe* bare = NewEngine(STREAM_DIRECTION_RENDER, false);
  EXPECT_EQ(STATUS_NO_MATCH, bare->FindFormat(&plain));
  bare->Release();
}

TEST_F(CStreamEngineTest, PinCategoryFollowsTheEnginesTerminals) {
  struct Case {
    const char* name;
    ULONG direction;
    std::vector<std::pair<ULONG, PinCategory>> nodes;  // (type, category)
    ULONG expected;
  };
  const Case cases[] = {
      {"capture Mic+Line", STREAM_DIRECTION_CAPTURE, {{0, PIN_CATEGORY_MIC}, {0, PIN_CATEGORY_LINE}}, PIN_CATEGORY_REC},
      {"capture SPDIF then Mic", STREAM_DIRECTION_CAPTURE, {{0, PIN_CATEGORY_SPDIF}, {0, PIN_CATEGORY_MIC}},
       PIN_CATEGORY_MIC},
      {"capture Mic then SPDIF", STREAM_DIRECTION_CAPTURE, {{0, PIN_CATEGORY_MIC}, {0, PIN_CATEGORY_SPDIF}},
       PIN_CATEGORY_REC},
      {"capture Stream only", STREAM_DIRECTION_CAPTURE, {{0, PIN_CATEGORY_STREAM}, {1, PIN_CATEGORY_SPK}},
       PIN_CATEGORY_STREAM},
      {"capture Stream and Mic", STREAM_DIRECTION_CAPTURE, {{0, PIN_CATEGORY_STREAM}, {0, PIN_CATEGORY_MIC}},
       PIN_CATEGORY_MIC},
      {"render later output pin", STREAM_DIRECTION_RENDER, {{1, PIN_CATEGORY_SPK}, {1, PIN_CATEGORY_HP}},
       PIN_CATEGORY_HP},
      {"render output type ends the walk", STREAM_DIRECTION_RENDER,
       {{1, PIN_CATEGORY_SPK}, {NODE_TYPE_OUTPUT_TYPE, PIN_CATEGORY_HEADSET}, {1, PIN_CATEGORY_HP}},
       PIN_CATEGORY_HEADSET},
      {"render category beyond the table", STREAM_DIRECTION_RENDER, {{1, 25}}, PIN_CATEGORY_STREAM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EngineProbe* engine = NewEngine(c.direction);
    ULONG id = 0;
    for (auto [type, category] : c.nodes) {
      if (type == NODE_TYPE_OUTPUT_TYPE)
        Attach<TestOutputTypeNode>(engine, id++, category);
      else
        Attach<TestTerminalNode>(engine, id++, type, category);
    }
    EXPECT_EQ(c.expected, engine->GetPinCategory());
    engine->Release();
  }

  // Without a node list the engine is a plain stream, not a status value
  // that its callers would use as a table index.
  EngineProbe* bare = NewEngine(STREAM_DIRECTION_RENDER, false);
  EXPECT_EQ(ULONG(PIN_CATEGORY_STREAM), bare->GetPinCategory());
  bare->Release();
}

TEST_F(CStreamEngineTest, TerminalPresenceFollowsTheJacks) {
  struct Case {
    const char* name;
    PinCategory category;
    std::vector<bool> jacks;
    bool present;
  };
  const Case cases[] = {
      {"no jacks", PIN_CATEGORY_HEADSET, {}, true},
      {"second of two connected", PIN_CATEGORY_HEADSET, {false, true}, true},
      {"none connected", PIN_CATEGORY_HEADSET, {false, false}, false},
      {"Stream terminal", PIN_CATEGORY_STREAM, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EngineProbe* engine = NewEngine(STREAM_DIRECTION_RENDER);
    // Terminals of the other kind do not count.
    Attach<TestTerminalNode>(engine, 0u, ULONG(NODE_TYPE_INPUT_PIN), PinCategory(PIN_CATEGORY_MIC));
    auto* terminal = Attach<TestTerminalNode>(engine, 1u, ULONG(NODE_TYPE_OUTPUT_PIN), c.category);
    for (bool connected : c.jacks) terminal->AddJack(connected);
    BOOLEAN present = FALSE;
    EXPECT_EQ(engine->IsTerminalPresent(&present), STATUS_SUCCESS);
    EXPECT_EQ(c.present, present != FALSE);
    if (!c.jacks.empty()) {
      // Without room for the jack records the terminal cannot be judged:
      // that is no answer, not an absent terminal.
      platform::pool::FailAllocationsWithTag(STREAM_ENGINE_TAG);
      EXPECT_EQ(engine->IsTerminalPresent(&present), STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_FALSE(present);
      platform::pool::ClearFailures();
    }
    engine->Release();
  }
}

TEST_F(CStreamEngineTest, NamesHoldFiftyCharacters) {
  EngineProbe* engine = NewEngine(STREAM_DIRECTION_RENDER);
  std::u16string fifty(50, u'x');
  EXPECT_EQ(STATUS_SUCCESS, engine->SetName(fifty.c_str()));
  WCHAR name[STREAM_ENGINE_NAME_CHARS];
  ASSERT_EQ(STATUS_SUCCESS, engine->GetName(name));
  EXPECT_EQ(fifty, std::u16string(name));
  std::u16string fiftyOne(51, u'y');
  EXPECT_EQ(STATUS_INVALID_PARAMETER, engine->SetName(fiftyOne.c_str()));
  ASSERT_EQ(STATUS_SUCCESS, engine->GetName(name));
  EXPECT_EQ(fifty, std::u16string(name));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, engine->SetName(nullptr));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, engine->GetName(nullptr));
  engine->Release();
}

TEST_F(CStreamEngineTest, EveryAllocationOfInitMayFailWithoutLeaking) {
  for (size_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    EngineProbe* engine = NewEngine(STREAM_DIRECTION_RENDER, false);
    platform::pool::FailNthAllocation(n);
    NTSTATUS status = engine->Init(STREAM_DIRECTION_RENDER);
    if (NT_SUCCESS(status)) status = engine->AllocateWorkBuffers();
    platform::pool::ClearFailures();
    engine->Release();
    if (NT_SUCCESS(status)) break;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
    ASSERT_LT(n, 40u);
  }
}

TEST_F(CStreamEngineTest, CallbackObjectIsNamedAfterTheEngineAndGoesWithIt) {
  EngineProbe* engine = NewEngine(STREAM_DIRECTION_RENDER);
  WCHAR expected[64];
  RtlStringCchPrintfW(expected, 64, u"\\Callback\\StreamEngineAddr%p", static_cast<IStreamEngine*>(engine));
  auto names = platform::callback::Names();
  EXPECT_NE(names.end(), std::find(names.begin(), names.end(), std::u16string(expected)));

  struct Seen {
    int calls = 0;
    PVOID argument = nullptr;
  } seen;
  PVOID registration = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, engine->RegisterCallback(
                                [](PVOID context, PVOID argument, PVOID) {
                                  auto* s = static_cast<Seen*>(context);
                                  ++s->calls;
                                  s->argument = argument;
                                },
                                &seen, &registration));
  int token = 0;
  ExNotifyCallback(engine->CallbackObject(), &token, nullptr);
  EXPECT_EQ(1, seen.calls);
  EXPECT_EQ(&token, seen.argument);
  EXPECT_EQ(STATUS_SUCCESS, engine->UnregisterCallback(registration));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, engine->RegisterCallback(nullptr, nullptr, nullptr));

  // The object was created permanent; its owner's release must still take
  // it out of the namespace, or every device arrival would leave one.
  engine->Release();
  names = platform::callback::Names();
  EXPECT_EQ(names.end(), std::find(names.begin(), names.end(), std::u16string(expected)));

  EngineProbe* bare = NewEngine(STREAM_DIRECTION_RENDER, false);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, bare->RegisterCallback([](PVOID, PVOID, PVOID) {}, nullptr, &registration));
  bare->Release();
}

TEST_F(CStreamEngineTest, DestructionWaitsUntilTheClientsHaveLeft) {
  EngineProbe* engine = NewEngine(STREAM_DIRECTION_RENDER);
  StreamClientRecord record{};
  // The lists belong to the base, which outlives the derived part while its
  // destructor waits: take them before the release starts.
  CPointerList* registered = engine->Clients(0);
  CPointerList* running = engine->Clients(2);
  ASSERT_NE(nullptr, registered->AddTail(&record));
  ASSERT_NE(nullptr, running->AddTail(&record));

  std::atomic<bool> destroyed{false};
  std::thread releaser([&] {
    engine->Release();
    destroyed = true;
  });
  platform::clock::AdvanceMs(200);
  EXPECT_FALSE(destroyed);
  PVOID item = nullptr;
  running->RemoveHead(&item);  // the running list is waited for first
  platform::clock::AdvanceMs(200);
  EXPECT_FALSE(destroyed);
  registered->RemoveHead(&item);
  while (!destroyed) platform::clock::AdvanceMs(50);
  releaser.join();
}

// ---- The engine's wave filter -------------------------------------------------------------

class EngineSubdeviceTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::portcls::ResetForTest();
    ResetMiniportControl();
    TestAudioHal::Reset();
    TestHalConfig config;
    config.engines = {RenderEngine(PIN_CATEGORY_HEADSET), CaptureEngine(PIN_CATEGORY_MIC)};
    config.engines[0].jacks = {true};
    TestAudioHal::SetNextConfig(config);
    m_Adapter = std::make_unique<TestAdapter>();
    ASSERT_NE(nullptr, m_Adapter->Fdo());
    PUNKNOWN inner = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, TestAudioHal::Create(&inner, nullptr, 0x1209, 0x0002));
    m_Inner = inner;
    m_Model = TestAudioHal::Models().back();
    ASSERT_EQ(STATUS_SUCCESS, m_Model->Init(nullptr, m_Adapter->Fdo(), m_Adapter->Lower(), m_Adapter->Pdo()));
    ASSERT_EQ(STATUS_SUCCESS, m_Adapter->InstallTopology(Hal()));
    const char16_t* names[] = {u"HeadSetOut00", u"MicIn00"};
    for (ULONG i = 0; i < 2; ++i) {
      CStreamEngine* engine = m_Model->Engine(i);
      ASSERT_EQ(STATUS_SUCCESS, engine->SetName(names[i]));
      ASSERT_EQ(STATUS_SUCCESS, engine->SetWaveMiniportFactory(CreateTestWaveMiniport, CLSID_PortWaveCyclic));
      ASSERT_EQ(STATUS_SUCCESS, engine->SetTopology(m_Adapter->TopologyPort(), m_Adapter->TopologyMiniport()));
    }
  }
  void TearDown() override {
    if (m_Model) {
      for (ULONG i = 0; i < 2; ++i) EXPECT_EQ(STATUS_SUCCESS, m_Model->Engine(i)->RemoveSubdevice(Fdo()));
      EXPECT_EQ(1u, Subdevices().size());
    }
    if (m_Inner) m_Inner->Release();
    m_Adapter.reset();
    platform::portcls::ResetForTest();
    KernelTest::TearDown();
  }

  PDEVICE_OBJECT Fdo() const { return m_Adapter->Fdo(); }
  PUNKNOWN Hal() const { return static_cast<IAudioHal*>(m_Model); }
  NTSTATUS Update(ULONG engine) { return m_Model->Engine(engine)->UpdateSubdevice(Fdo(), nullptr, Hal()); }
  std::vector<std::u16string> Subdevices() const {
    std::vector<std::u16string> names;
    for (const auto& s : platform::portcls::Subdevices(Fdo())) names.push_back(s.name);
    return names;
  }
  std::vector<platform::portcls::PhysicalConnectionInfo> Connections() const {
    return platform::portcls::PhysicalConnections(Fdo());
  }

  std::unique_ptr<TestAdapter> m_Adapter;
  PUNKNOWN m_Inner = nullptr;
  TestAudioHal* m_Model = nullptr;
};

TEST_F(EngineSubdeviceTest, PresentTerminalsGetTheirFilterAndConnectionOnce) {
  ASSERT_EQ(STATUS_SUCCESS, Update(0));
  ASSERT_EQ(STATUS_SUCCESS, Update(1));
  EXPECT_EQ((std::vector<std::u16string>{u"GlobalTopo", u"HeadSetOut00Wave", u"MicIn00Wave"}), Subdevices());
  auto connections = Connections();
  ASSERT_EQ(2u, connections.size());
  // Render: from the wave filter's bridge pin to the topology pin of the
  // engine's Stream terminal (node 0); capture the other way (node 3).
  EXPECT_EQ(u"HeadSetOut00Wave", connections[0].fromSubdevice);
  EXPECT_EQ(WAVE_FILTER_BRIDGE_PIN, connections[0].fromPin);
  EXPECT_EQ(u"GlobalTopo", connections[0].toSubdevice);
  EXPECT_EQ(0u, connections[0].toPin);
  EXPECT_EQ(u"GlobalTopo", connections[1].fromSubdevice);
  EXPECT_EQ(3u, connections[1].fromPin);
  EXPECT_EQ(u"MicIn00Wave", connections[1].toSubdevice);
  EXPECT_EQ(WAVE_FILTER_BRIDGE_PIN, connections[1].toPin);

  EXPECT_EQ(STATUS_SUCCESS, Update(0));
  EXPECT_EQ(3u, Subdevices().size());
  EXPECT_EQ(2u, MiniportControl().waveMiniportsCreated);
}

TEST_F(EngineSubdeviceTest, AnAbsentTerminalTakesTheFilterAwayConnectionFirst) {
  ASSERT_EQ(STATUS_SUCCESS, Update(0));
  m_Model->Terminal(1)->jacks[0].IsConnected = 0;
  ASSERT_EQ(STATUS_SUCCESS, Update(0));
  EXPECT_EQ(nullptr, m_Model->Engine(0)->GetWavePort());
  EXPECT_EQ((std::vector<std::u16string>{u"GlobalTopo"}), Subdevices());
  EXPECT_TRUE(Connections().empty());
  // Absent and without a filter: nothing to do.
  EXPECT_EQ(STATUS_SUCCESS, Update(0));
  EXPECT_EQ(STATUS_SUCCESS, m_Model->Engine(0)->RemoveSubdevice(Fdo()));
  // Back again: registered anew.
  m_Model->Terminal(1)->jacks[0].IsConnected = 1;
  ASSERT_EQ(STATUS_SUCCESS, Update(0));
  EXPECT_EQ(2u, Subdevices().size());
}

TEST_F(EngineSubdeviceTest, AFailedConnectionDoesNotLeaveTheFilterBehind) {
  MiniportControl().topologyPinOverride = 9;  // no such topology pin
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Update(0));
  EXPECT_EQ(nullptr, m_Model->Engine(0)->GetWavePort());
  EXPECT_EQ((std::vector<std::u16string>{u"GlobalTopo"}), Subdevices());
  // Removal has nothing left that it cannot take away ...
  EXPECT_EQ(STATUS_SUCCESS, m_Model->Engine(0)->RemoveSubdevice(Fdo()));
  // ... and the next update registers the filter properly.
  MiniportControl().topologyPinOverride = -1;
  ASSERT_EQ(STATUS_SUCCESS, Update(0));
  EXPECT_EQ(1u, Connections().size());
}

TEST_F(EngineSubdeviceTest, InstallationFailuresLeaveNoFilter) {
  MiniportControl().waveInitStatus = STATUS_DEVICE_NOT_READY;
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, Update(0));
  EXPECT_EQ(nullptr, m_Model->Engine(0)->GetWavePort());
  MiniportControl().waveInitStatus = STATUS_SUCCESS;

  // An engine that its adapter does not list has no index for its miniport.
  EngineProbe* stray = NewEngine(STREAM_DIRECTION_RENDER);
  Attach<TestTerminalNode>(stray, 1u, ULONG(NODE_TYPE_OUTPUT_PIN), PinCategory(PIN_CATEGORY_SPK));
  ASSERT_EQ(STATUS_SUCCESS, stray->SetWaveMiniportFactory(CreateTestWaveMiniport, CLSID_PortWaveCyclic));
  // Without a format there is no filter to install, and no failure either.
  EXPECT_EQ(STATUS_SUCCESS, stray->UpdateSubdevice(Fdo(), nullptr, Hal()));
  const WAVEFORMATEXTENSIBLE stereo = PcmFormat(2, 48000, 16);
  ASSERT_EQ(STATUS_SUCCESS, stray->AddFormat(&stereo));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, stray->UpdateSubdevice(Fdo(), nullptr, Hal()));
  stray->Release();
  CStreamEngine* engine = m_Model->Engine(0);
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, engine->SetTopology(nullptr, m_Adapter->TopologyMiniport()));
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, engine->SetWaveMiniportFactory(nullptr, CLSID_PortWaveCyclic));
  EngineProbe* noFactory = NewEngine(STREAM_DIRECTION_RENDER);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, noFactory->UpdateSubdevice(Fdo(), nullptr, Hal()));
  noFactory->Release();

  // Pool failures anywhere in the installation, the jacks' read included,
  // leave nothing registered and nothing allocated.
  for (size_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    platform::pool::FailNthAllocation(n);
    Update(0);
    platform::pool::ClearFailures();
    if (engine->GetWavePort()) break;
    EXPECT_EQ(1u, Subdevices().size());
    ASSERT_LT(n, 40u);
  }
  EXPECT_EQ(2u, Subdevices().size());
}

}  // namespace
