// Every allocation of a device start, of a stream's open, run and stop (the
// headset's and the Audio Class 2.0 device's), and of a room-effect switch
// during play, failing in turn: each attempt either succeeds or fails with a
// status, leaves nothing behind and nothing running, and the next attempt
// succeeds.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "driver/hal/CUacAudioHal.h"
#include "sim/ModelReport.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/device/EmbeddedDevices.h"
#include "sim/host/RunningDriver.h"
#include "sim/host/TopologyView.h"
#include "streaming/CUsbStreamEngine.h"
#include "tests/sim/host/support/HostBench.h"
#include "topology/CMiniportWaveCyclic.h"
#include "topology/CProductRoomEffectNodes.h"
#include "topology/CToneNode.h"

namespace {

class AllocationSweepTest : public hosttest::HostTest {};

// Runs `attempt` with allocation n failing, for n = 1, 2, ... until an
// attempt makes fewer than n allocations, and `after` with the pool whole
// again; returns how many attempts failed, and in *points how many
// allocations were made to fail.
template <typename Before, typename Attempt, typename After>
size_t Sweep(Before before, Attempt attempt, After after, size_t* points = nullptr) {
  size_t failures = 0;
  for (size_t n = 1;; ++n) {
    if (points) *points = n - 1;
    SCOPED_TRACE(n);
    before();
    const size_t first = platform::pool::AllocationCount();
    platform::pool::FailNthAllocation(n);
    const NTSTATUS status = attempt();
    const bool hit = platform::pool::AllocationCount() - first >= n;
    platform::pool::ClearFailures();
    after(status);
    failures += !NT_SUCCESS(status);
    if (!hit || testing::Test::HasFailure()) return failures;
  }
}

TEST_F(AllocationSweepTest, EveryAllocationOfTheDeviceStartFailsCleanly) {
  hosttest::HostBench bench;
  ASSERT_EQ(bench.loadStatus, STATUS_SUCCESS);
  const size_t baseline = platform::pool::OutstandingCount();
  const size_t failures = Sweep(
      [&] {
        bench.Plug();
        EXPECT_EQ(bench.HostSide().AddDevice(bench.Port().Pdo()), STATUS_SUCCESS);
      },
      [&] { return bench.HostSide().Start(); },
      [&](NTSTATUS status) {
        // A start that met its failure and still succeeded has every filter
        // it should have.
        if (NT_SUCCESS(status)) {
          EXPECT_EQ(bench.HostSide().Filters().size(), 3u);
        }
        EXPECT_EQ(bench.RemoveAndUnplug(), STATUS_SUCCESS);
        EXPECT_EQ(platform::pool::OutstandingCount(), baseline)
            << platform::pool::Describe(platform::pool::Outstanding());
      });
  EXPECT_GT(failures, 0u);
  // The next attempt succeeds and streams.
  bench.Plug();
  ASSERT_EQ(bench.AddAndStart(), STATUS_SUCCESS);
  EXPECT_EQ(bench.Stream(true, 0.05), STATUS_SUCCESS);
  EXPECT_EQ(bench.RemoveAndUnplug(), STATUS_SUCCESS);
}

TEST_F(AllocationSweepTest, EveryAllocationOfAStreamFailsCleanlyAndTheNextStreamPlays) {
  hosttest::HostBench bench;
  ASSERT_EQ(bench.loadStatus, STATUS_SUCCESS);
  bench.Plug();
  ASSERT_EQ(bench.AddAndStart(), STATUS_SUCCESS);
  // What the started device keeps (its status thread's transfer, what the
  // first streams make once) is in place before the sweep counts.
  ASSERT_EQ(bench.Stream(true, 0.02), STATUS_SUCCESS);
  ASSERT_EQ(bench.Stream(false, 0.02), STATUS_SUCCESS);
  for (bool render : {true, false}) {
    SCOPED_TRACE(render ? "render" : "capture");
    const size_t baseline = platform::pool::OutstandingCount();
    const size_t failures = Sweep([] {}, [&] { return bench.Stream(render, 0.05); }, [&](NTSTATUS) {
      EXPECT_EQ(platform::pool::OutstandingCount(), baseline) << platform::pool::Describe(platform::pool::Outstanding());
      // Whatever the failure did, the next stream plays.
      EXPECT_EQ(bench.Stream(render, 0.02), STATUS_SUCCESS);
    });
    EXPECT_GT(failures, 0u);
  }
  EXPECT_EQ(bench.RemoveAndUnplug(), STATUS_SUCCESS);
}

// The model's stream engine of a direction.
CUsbStreamEngine* EngineOf(CUacAudioHal* model, bool capture) {
  for (ULONG i = 0; model && i < model->GetStreamEngineCount(); ++i) {
    IStreamEngine* engine = nullptr;
    if (NT_SUCCESS(model->GetStreamEngine(i, &engine)) && engine && !engine->IsCapture() == !capture)
      return static_cast<CUsbStreamEngine*>(engine);
  }
  return nullptr;
}

// The tone node the model's room effect plays its prompts with.
const CToneNode* ToneNodeOf(CUacAudioHal* model) {
  for (ULONG i = 0; model && i < model->GetNodeCount(); ++i) {
    ITopoNode* node = nullptr;
    IProcessingNode* processing = nullptr;
    if (!NT_SUCCESS(model->GetNode(i, &node)) || !node ||
        !NT_SUCCESS(node->QueryInterface(IID_IProcessingNode, reinterpret_cast<PVOID*>(&processing))))
      continue;
    auto* room = dynamic_cast<C7719RoomEffectNode*>(static_cast<CProcessingNode*>(processing));
    processing->Release();
    if (room && room->GetToneNode()) return static_cast<const CToneNode*>(room->GetToneNode());
  }
  return nullptr;
}

// The room effect switched a quarter into a play of 0.2 s, as `play --room`
// switches it, with allocation n of the switch failing: the prompt that
// cannot play leaves no client with the engine, and once the prompt that
// did play has ended the engine is closed again.
TEST_F(AllocationSweepTest, EveryAllocationOfARoomSwitchDuringPlayFailsCleanly) {
  sim::host::RunningDriver driver(sim::headset::Descriptors(), sim::headset::Profile(), CreateMiniportWaveCyclic);
  ASSERT_TRUE(driver.Started());
  sim::host::FilterHandle* topology = driver.Topology();
  ASSERT_NE(topology, nullptr);
  const sim::host::TopologyView view = sim::host::ViewTopology(topology);
  ULONG room = 0;
  int setting = -1;
  ASSERT_TRUE(sim::host::FindControl(view, "room", false, &room, &setting));
  CUacAudioHal* model = sim::AudioClassModelOf(driver.HostSide().AdapterDevice());
  CUsbStreamEngine* engine = EngineOf(model, false);
  const CToneNode* tone = ToneNodeOf(model);
  ASSERT_NE(engine, nullptr);
  ASSERT_NE(tone, nullptr);
  sim::host::FilterHandle* wave = nullptr;
  ASSERT_EQ(driver.HostSide().OpenFilter(u"HeadSetOut00Wave", &wave), STATUS_SUCCESS);
  std::unique_ptr<sim::host::FilterHandle> waveOwner(wave);

  bool on = false;
  size_t switchAllocations = 0;
  ULONG toneState = TONE_STATE_IDLE;
  // The play's status; failAt 0 fails nothing.
  auto play = [&](size_t failAt) {
    on = !on;
    toneState = TONE_STATE_IDLE;
    std::unique_ptr<sim::host::BackgroundWork> work;
    const NTSTATUS status = driver.HostSide().Render(
        wave, sim::host::SineWav(48000, 2, 440.0, 0.2, 0.25), false, [&](const sim::host::StreamProgress& p) {
          if (work || p.bytesDone < p.bytesTotal / 4) return;
          work = std::make_unique<sim::host::BackgroundWork>([&] {
            const size_t first = platform::pool::AllocationCount();
            if (failAt) platform::pool::FailNthAllocation(failAt);
            std::string error;
            sim::host::WriteControl(topology, view, room, on ? "on" : "off", -1, &error, setting);
            switchAllocations = platform::pool::AllocationCount() - first;
            platform::pool::ClearFailures();
            toneState = tone->State();
          });
        });
    work.reset();
    // The prompt outlasts the play; its end stops it.
    EXPECT_TRUE(driver.AdvanceUntil(
        [&] { return engine->GetStreamState() == STREAM_STATE_CLOSED && tone->State() == TONE_STATE_IDLE; }, 1000));
    EXPECT_EQ(engine->GetActiveClient(), nullptr);
    EXPECT_EQ(engine->GetFormatOwner(), nullptr);
    return status;
  };

  // What the first switch makes once is in place before the sweep counts.
  ASSERT_EQ(play(0), STATUS_SUCCESS);
  ASSERT_EQ(toneState, TONE_STATE_PLAYING);
  const size_t baseline = platform::pool::OutstandingCount();
  size_t points = 0, unplayed = 0;
  for (size_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    const NTSTATUS status = play(n);
    unplayed += toneState != TONE_STATE_PLAYING;
    EXPECT_EQ(platform::pool::OutstandingCount(), baseline) << platform::pool::Describe(platform::pool::Outstanding());
    if (switchAllocations < n) break;
    ++points;
    EXPECT_EQ(status, STATUS_SUCCESS);
    // The next switch plays its prompt.
    EXPECT_EQ(play(0), STATUS_SUCCESS);
    EXPECT_EQ(toneState, TONE_STATE_PLAYING);
    if (HasFailure()) break;
  }
  EXPECT_GT(unplayed, 0u);
  std::printf("room switch: %zu allocation points, %zu prompts that could not play\n", points, unplayed);
}

// The Audio Class 2.0 device's render and capture streams, each allocation
// of the open, run and stop failing in turn.
TEST_F(AllocationSweepTest, EveryAllocationOfAnAudioClass2StreamFailsCleanly) {
  const sim::EmbeddedDevice* device = sim::FindEmbeddedDevice("uac2");
  ASSERT_NE(device, nullptr);
  sim::host::RunningDriver driver(device->descriptors(), device->profile(), CreateMiniportWaveCyclic, device->speed,
                                  device->factory);
  ASSERT_TRUE(driver.Started());
  CUacAudioHal* model = sim::AudioClassModelOf(driver.HostSide().AdapterDevice());
  std::u16string names[2];
  for (const auto& f : driver.HostSide().Filters())
    if (f.name.find(u"Wave") != std::u16string::npos) names[f.name.find(u"In") != std::u16string::npos] = f.name;
  for (bool capture : {false, true}) {
    SCOPED_TRACE(capture ? "capture" : "render");
    ASSERT_FALSE(names[capture].empty());
    CUsbStreamEngine* engine = EngineOf(model, capture);
    ASSERT_NE(engine, nullptr);
    auto stream = [&] {
      sim::host::FilterHandle* filter = nullptr;
      NTSTATUS status = driver.HostSide().OpenFilter(names[capture], &filter);
      if (!NT_SUCCESS(status)) return status;
      const sim::host::WavData format = sim::host::SineWav(48000, capture ? 1 : 2, 440.0, 0.03, 0.25);
      sim::host::WavData recorded;
      status = capture ? driver.HostSide().Capture(filter, format, 0.03, false, &recorded)
                       : driver.HostSide().Render(filter, format, false);
      delete filter;
      return status;
    };
    ASSERT_EQ(stream(), STATUS_SUCCESS);
    const size_t baseline = platform::pool::OutstandingCount();
    size_t points = 0;
    const size_t failures = Sweep(
        [] {}, stream,
        [&](NTSTATUS) {
          EXPECT_EQ(engine->GetStreamState(), STREAM_STATE_CLOSED);
          EXPECT_EQ(engine->GetFormatOwner(), nullptr);
          EXPECT_EQ(platform::pool::OutstandingCount(), baseline)
              << platform::pool::Describe(platform::pool::Outstanding());
          EXPECT_EQ(stream(), STATUS_SUCCESS);
        },
        &points);
    EXPECT_GT(failures, 0u);
    std::printf("2.0 %s: %zu allocation points, %zu failed attempts\n", capture ? "capture" : "render", points,
                failures);
  }
}

}  // namespace
