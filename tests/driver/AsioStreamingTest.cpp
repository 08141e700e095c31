// ASIO streaming end to end: the embedded VZR417 interface started through
// the chip-identifying factory (the generic model marks its engines
// ASIO-capable), its output looped back to its input, and the host
// stand-in streaming through the real USB stream engines.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <numbers>

#include "driver/common/CPointerList.h"
#include "sim/device/Vzr417Interface.h"
#include "sim/host/AsioHost.h"
#include "sim/host/RunningDriver.h"
#include "tests/driver/DriverHarness.h"

namespace {

using drivertest::DriverHarness;
using sim::host::AsioHost;
using sim::host::AsioStreamOptions;
using sim::host::AsioStreamReport;
using sim::host::AsioBlockView;
using sim::host::UserEvent;

const std::vector<AsioBufferRequest> kEveryChannel = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};

size_t Outstanding(ULONG tag) {
  for (const auto& usage : platform::pool::Outstanding())
    if (usage.tag == tag) return usage.allocations;
  return 0;
}

class AsioStreamingTest : public DriverHarness {
 protected:
  void SetUp() override {
    DriverHarness::SetUp();
    Plug(sim::vzr417::Descriptors(), sim::vzr417::Profile());
    ASSERT_EQ(sim::host::ChooseModelFactory(Pdo(), AudioHalChoice::ChipIdentifying), STATUS_SUCCESS);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Device().LoopBack(sim::vzr417::kRenderEndpoint, sim::vzr417::kCaptureEndpoint);
  }
  // Every kernel thread done with what the last millisecond gave it, so
  // that counts of what they hold can be compared.
  void Quiet() {
    Settle();
    platform::clock::Advance(0);
  }
  // A request that may wait for transfers in flight, made while time
  // moves here.
  static NTSTATUS Timed(const std::function<NTSTATUS()>& request) { return sim::host::WhileTimePasses(request); }
  // Whether the device sees isochronous packets (no stream but ASIO's is
  // open on it).
  bool Streaming() {
    Quiet();
    const uint64_t before = Device().IsoPackets();
    platform::clock::AdvanceMs(10);
    Quiet();
    return Device().IsoPackets() != before;
  }
};

TEST_F(AsioStreamingTest, TenSecondsAtTheSmallestLatencyFromEitherWidthLeaveNothingBehind) {
  for (bool is32bit : {false, true}) {
    SCOPED_TRACE(is32bit ? "32-bit host" : "64-bit host");
    Quiet();
    const size_t registrations = Outstanding(platform::callback::kRegistrationTag);
    const size_t handles = platform::ob::HandleCount();
    const size_t records = Outstanding(USB_DEVICE_DATA_TAG);
    AsioStreamReport r;
    {
      AsioHost host(is32bit);
      ASSERT_EQ(host.Open(), STATUS_SUCCESS);
      std::string name;
      ASSERT_EQ(host.DriverName(&name), STATUS_SUCCESS);
      EXPECT_EQ(name, "VZR417 Audio Interface");
      ASSERT_EQ(host.SetLatencyIndex(0), STATUS_SUCCESS);
      r = RunAsioStream(host, AsioStreamOptions{10.0});
      ASSERT_EQ(r.status, STATUS_SUCCESS) << r.failedStep;
      EXPECT_EQ(host.Mappings(), 0u);
      EXPECT_EQ(host.Close(), STATUS_SUCCESS);
    }
    EXPECT_EQ(r.bufferFrames, 96u);
    EXPECT_EQ(r.latencies.Input, 96u);
    EXPECT_EQ(r.latencies.Output, 192u);
    // One switch per 1 ms transfer of the input, none of them missed.
    EXPECT_GE(r.switches, 9990u);
    EXPECT_LE(r.switches, 10000u);
    EXPECT_EQ(r.missed, 0u);
    EXPECT_GE(r.framesRead, 479000u);
    // Output and input start together: the round trip is the render lead,
    // the transfers in flight and the device's turnaround, a few ms.
    EXPECT_GT(r.roundTripFrames, 96);
    EXPECT_LT(r.roundTripFrames, 48 * 10);
    Quiet();
    for (ULONG i = 0; i < DeviceObject()->GetAsioEngineCount(); ++i)
      EXPECT_EQ(DeviceObject()->GetAsioEngineEntry(i)->Client, nullptr) << i;
    EXPECT_EQ(Outstanding(platform::callback::kRegistrationTag), registrations);
    EXPECT_EQ(platform::ob::HandleCount(), handles);
    EXPECT_EQ(Outstanding(USB_DEVICE_DATA_TAG), records);
  }
}

TEST_F(AsioStreamingTest, RingsCarryTheHostsFramesToTheDeviceAndBackInOrder) {
  AsioHost host;
  ASSERT_EQ(host.Open(), STATUS_SUCCESS);
  ASSERT_EQ(host.SetLatencyIndex(4), STATUS_SUCCESS);
  const AsioStreamReport r = RunAsioStream(host, AsioStreamOptions{0.5});
  ASSERT_EQ(r.status, STATUS_SUCCESS) << r.failedStep;
  // After the silence of the lead, the device's endpoint received the
  // tone frame by frame, exactly as the host wrote it.
  const std::vector<double> received = Device().Sink(sim::vzr417::kRenderEndpoint).ChannelSamples(0);
  size_t onset = 0;
  while (onset < received.size() && received[onset] == 0) ++onset;
  ASSERT_LT(onset + 1000, received.size());
  for (size_t n = 0; n < 1000; ++n) {
    UCHAR expected[2];
    sim::host::EncodeAsioSample(0.5 * std::cos(2 * std::numbers::pi * 1000.0 * n / 48000), 16, expected);
    ASSERT_EQ(received[onset + n], sim::DecodeSample(expected, 2, false)) << n;
  }
  EXPECT_EQ(r.roundTripFrames > 0, true);

  // The input side: a counter in every sample shows each captured frame
  // once and in order.
  Device().Source(sim::vzr417::kCaptureEndpoint).SetRamp();
  const AsioStreamReport ramp = RunAsioStream(host, AsioStreamOptions{0.5});
  ASSERT_EQ(ramp.status, STATUS_SUCCESS) << ramp.failedStep;
  const auto& bytes = ramp.recording.samples;
  size_t first = 0;
  while (first + 4 <= bytes.size() && bytes[first] == 0 && bytes[first + 1] == 0) first += 4;
  ASSERT_LT(first + 4 * 1000, bytes.size());
  for (size_t at = first + 4; at + 4 <= bytes.size(); at += 4) {
    const uint16_t previous = static_cast<uint16_t>(bytes[at - 4] | bytes[at - 3] << 8);
    const uint16_t now = static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
    ASSERT_EQ(static_cast<uint16_t>(previous + 2), now) << (at - first) / 4;
  }
  EXPECT_EQ(host.Close(), STATUS_SUCCESS);
}

TEST_F(AsioStreamingTest, SurpriseRemovalEndsTheStreamButLeavesTheBlocksToTheHost) {
  AsioHost host;
  ASSERT_EQ(host.Open(), STATUS_SUCCESS);
  UserEvent notify(true);
  ASSERT_EQ(host.SetNotifyEvent(notify), STATUS_SUCCESS);
  std::vector<AsioBlockView> blocks;
  ASSERT_EQ(host.CreateBuffers(kEveryChannel, 480, &blocks), STATUS_SUCCESS);
  UserEvent bufferSwitch;
  ASSERT_EQ(host.Start(bufferSwitch), STATUS_SUCCESS);
  platform::clock::AdvanceMs(50);
  EXPECT_GT(blocks[1].header->Transfers, 20u);

  NTSTATUS removed = STATUS_PENDING;
  ASSERT_TRUE(sim::host::RunWhileTimePasses([&] { removed = SurpriseRemove(); }));
  EXPECT_EQ(removed, STATUS_SUCCESS);
  EXPECT_TRUE(notify.IsSet()) << "the host is told";
  for (ULONG i = 0; i < DeviceObject()->GetAsioEngineCount(); ++i)
    EXPECT_EQ(DeviceObject()->GetAsioEngineEntry(i)->ClientHandle, nullptr) << i;
  // The host's thread may still be in the rings: they stay mapped, and
  // still, until it lets them go.
  EXPECT_EQ(host.Mappings(), blocks.size());
  for (const AsioBlockView& b : blocks)
    EXPECT_EQ(host.View(b.userAddress, ASIO_BLOCK_HEADER_BYTES), const_cast<AsioChannelBlockHeader*>(b.header));
  const ULONG transfers = blocks[1].header->Transfers;
  std::memset(blocks[0].ring, 0x11, blocks[0].header->Size);
  platform::clock::AdvanceMs(20);
  EXPECT_EQ(blocks[1].header->Transfers, transfers);
  EXPECT_EQ(Timed([&] { return host.Stop(); }), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(host.Start(bufferSwitch), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Timed([&] { return host.DisposeBuffers(); }), STATUS_SUCCESS);
  EXPECT_EQ(host.Mappings(), 0u);
  EXPECT_EQ(host.Close(), STATUS_SUCCESS);
}

// ---- Failures half-way ------------------------------------------------------------------

// Every engine's unprepare at the stop meets a refused list node: the stop
// still stops, and nothing the driver names later is memory the engine let
// go.
TEST_F(AsioStreamingTest, StopWhoseUnprepareIsRefusedLeavesNothingFreedUnderTheDriver) {
  AsioHost host;
  ASSERT_EQ(host.Open(), STATUS_SUCCESS);
  UserEvent bufferSwitch;
  // A first stream makes what the device keeps once.
  ASSERT_EQ(RunAsioStream(host, AsioStreamOptions{0.02}).status, STATUS_SUCCESS);
  Quiet();
  const size_t pool = platform::pool::OutstandingCount();
  std::vector<AsioBlockView> blocks;
  ASSERT_EQ(host.CreateBuffers(kEveryChannel, 480, &blocks), STATUS_SUCCESS);
  ASSERT_EQ(host.Start(bufferSwitch), STATUS_SUCCESS);
  platform::clock::AdvanceMs(20);
  platform::pool::FailAllocationsWithTag(POINTER_LIST_TAG);
  EXPECT_EQ(Timed([&] { return host.Stop(); }), STATUS_SUCCESS);
  platform::pool::ClearFailures();
  EXPECT_FALSE(DeviceObject()->AreAsioStreamsRunning());
  EXPECT_FALSE(Streaming());
  EXPECT_EQ(Timed([&] { return host.DisposeBuffers(); }), STATUS_SUCCESS);
  Quiet();
  EXPECT_EQ(platform::pool::OutstandingCount(), pool) << platform::pool::Describe(platform::pool::Outstanding());
  const AsioStreamReport r = RunAsioStream(host, AsioStreamOptions{0.1});
  EXPECT_EQ(r.status, STATUS_SUCCESS) << r.failedStep;
  EXPECT_EQ(host.Close(), STATUS_SUCCESS);
}

// An owner whose first CreateBuffers failed has buffers after its second:
// the flag says so, and another client's close leaves the active sample
// type, which sized the rings, alone.
TEST_F(AsioStreamingTest, BuffersOfARetriedCreateAreTheOwnersAndKeepTheirSampleType) {
  AsioHost host, other;
  ASSERT_EQ(host.Open(), STATUS_SUCCESS);
  ASSERT_EQ(other.Open(), STATUS_SUCCESS);
  std::vector<AsioBlockView> blocks;
  platform::pool::FailNthAllocationWithTag(USB_DEVICE_DATA_TAG, 1);
  EXPECT_EQ(host.CreateBuffers(kEveryChannel, 480, &blocks), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool::ClearFailures();
  ULONG created = 1;
  ASSERT_EQ(host.BuffersCreated(&created), STATUS_SUCCESS);
  EXPECT_EQ(created, 0u);
  ASSERT_EQ(host.CreateBuffers(kEveryChannel, 480, &blocks), STATUS_SUCCESS);
  ASSERT_EQ(host.BuffersCreated(&created), STATUS_SUCCESS);
  EXPECT_EQ(created, 1u);

  ASSERT_EQ(other.SetSampleType(ASIO_SAMPLE_INT24), STATUS_SUCCESS);
  ASSERT_EQ(other.Close(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceObject()->GetAsioActiveSampleType(), ASIO_SAMPLE_INT16);
  UserEvent bufferSwitch;
  ASSERT_EQ(host.Start(bufferSwitch), STATUS_SUCCESS);
  // 10 ms buffers: four 2 ms URBs of 16-bit frames lead.
  EXPECT_EQ(blocks[0].header->PreRoll, 4u * 2 * 48 * blocks[0].header->Channels * 2);
  EXPECT_EQ(Timed([&] { return host.Stop(); }), STATUS_SUCCESS);
  EXPECT_EQ(host.Close(), STATUS_SUCCESS);
  EXPECT_EQ(DeviceObject()->GetAsioActiveSampleType(), ASIO_SAMPLE_INT24) << "chosen, once no buffers exist";
}

// The process the blocks are mapped into stays an object the driver can
// attach to for as long as a mapping exists, also when the device object's
// end undoes it on another thread.
TEST_F(AsioStreamingTest, TheHostsProcessIsReferencedExactlyWhileItsBlocksAreMapped) {
  AsioHost host;
  ASSERT_EQ(host.Open(), STATUS_SUCCESS);
  const LONG own = platform::ob::ReferenceCount(host.Process());
  EXPECT_EQ(own, 1);
  std::vector<AsioBlockView> blocks;
  ASSERT_EQ(host.CreateBuffers(kEveryChannel, 480, &blocks), STATUS_SUCCESS);
  EXPECT_EQ(platform::ob::ReferenceCount(host.Process()), own + static_cast<LONG>(blocks.size()));
  ASSERT_EQ(Timed([&] { return host.DisposeBuffers(); }), STATUS_SUCCESS);
  EXPECT_EQ(platform::ob::ReferenceCount(host.Process()), own);

  ASSERT_EQ(host.CreateBuffers(kEveryChannel, 480, &blocks), STATUS_SUCCESS);
  ASSERT_TRUE(sim::host::RunWhileTimePasses([&] { SurpriseRemove(); }));
  EXPECT_EQ(host.Mappings(), blocks.size());
  ASSERT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_EQ(host.Mappings(), 0u);
  EXPECT_EQ(platform::ob::ReferenceCount(host.Process()), own);
  host.Close();
}

// A host's close cannot fail for want of memory: its client record goes.
TEST_F(AsioStreamingTest, AHostsCloseReachesTheDriverWithoutMemoryLeft) {
  Quiet();
  const size_t records = Outstanding(USB_DEVICE_DATA_TAG);
  AsioHost host;
  ASSERT_EQ(host.Open(), STATUS_SUCCESS);
  EXPECT_EQ(Outstanding(USB_DEVICE_DATA_TAG), records + 1);
  platform::pool::FailAllocationsWithTag(MakeTag("Irp "));
  EXPECT_EQ(host.Close(), STATUS_SUCCESS);
  platform::pool::ClearFailures();
  EXPECT_EQ(Outstanding(USB_DEVICE_DATA_TAG), records);
}

// ---- One allocation failing at every point -----------------------------------------------

// Each ASIO operation with allocation n failing, for n = 1, 2, ... until
// the operation makes fewer than n: whatever it answers, nothing runs that
// should not, nothing is left behind once the host has disposed of its
// buffers, and the next buffers stream.
TEST_F(AsioStreamingTest, EveryAllocationOfAnAsioOperationFailsCleanly) {
  AsioHost host;
  ASSERT_EQ(host.Open(), STATUS_SUCCESS);
  UserEvent bufferSwitch;
  std::vector<AsioBlockView> blocks;
  auto create = [&] { return host.CreateBuffers(kEveryChannel, 480, &blocks); };
  auto start = [&] { return host.Start(bufferSwitch); };
  // A first stream makes what the device keeps once.
  ASSERT_EQ(RunAsioStream(host, AsioStreamOptions{0.02}).status, STATUS_SUCCESS);
  Quiet();
  const size_t pool = platform::pool::OutstandingCount();
  const LONG processReferences = platform::ob::ReferenceCount(host.Process());

  struct Operation {
    const char* name;
    std::function<void()> before;
    std::function<NTSTATUS()> attempt;
    bool starts = false, stops = false;
  };
  const Operation operations[] = {
      {"CreateBuffers", [] {}, create},
      {"Start", [&] { ASSERT_EQ(create(), STATUS_SUCCESS); }, start, true},
      {"Stop",
       [&] {
         ASSERT_EQ(create(), STATUS_SUCCESS);
         ASSERT_EQ(start(), STATUS_SUCCESS);
         platform::clock::AdvanceMs(5);
       },
       [&] { return host.Stop(); }, false, true},
      {"DisposeBuffers",
       [&] {
         ASSERT_EQ(create(), STATUS_SUCCESS);
         ASSERT_EQ(start(), STATUS_SUCCESS);
         platform::clock::AdvanceMs(5);
         ASSERT_EQ(Timed([&] { return host.Stop(); }), STATUS_SUCCESS);
       },
       [&] { return host.DisposeBuffers(); }, false, true},
  };
  // Far more than any operation makes: a bound for a sweep that would
  // chase the stream's own allocations.
  constexpr size_t kMostPoints = 400;
  std::string points;
  for (const Operation& op : operations) {
    SCOPED_TRACE(op.name);
    size_t n = 1, failed = 0;
    for (;; ++n) {
      SCOPED_TRACE(n);
      op.before();
      Quiet();
      // On the thread that lets time pass for it (a failure half-way may
      // stop what it started, which waits for the transfers in flight),
      // once that thread is there.
      bool hit = false;
      const NTSTATUS status = Timed([&] {
        const size_t first = platform::pool::AllocationCount();
        platform::pool::FailNthAllocation(n);
        const NTSTATUS result = op.attempt();
        hit = platform::pool::AllocationCount() - first >= n;
        platform::pool::ClearFailures();
        return result;
      });
      failed += !NT_SUCCESS(status);
      // A start runs only when it succeeded, a stop that answered success
      // stopped; a request that never reached the driver (its IRP was the
      // allocation) changed nothing, and the host sends it again.
      const bool running = DeviceObject()->AreAsioStreamsRunning();
      if (op.starts) {
        EXPECT_EQ(running, NT_SUCCESS(status));
      }
      if (op.stops && NT_SUCCESS(status)) {
        EXPECT_FALSE(running);
      }
      if (running) Timed([&] { return host.Stop(); });
      EXPECT_FALSE(DeviceObject()->AreAsioStreamsRunning());
      EXPECT_FALSE(Streaming());
      Timed([&] { return host.DisposeBuffers(); });
      EXPECT_EQ(host.Mappings(), 0u);
      EXPECT_EQ(platform::ob::ReferenceCount(host.Process()), processReferences);
      for (ULONG i = 0; i < DeviceObject()->GetAsioEngineCount(); ++i)
        EXPECT_EQ(DeviceObject()->GetAsioEngineEntry(i)->ClientHandle, nullptr) << i;
      Quiet();
      EXPECT_EQ(platform::pool::OutstandingCount(), pool) << platform::pool::Describe(platform::pool::Outstanding());
      // The next attempt streams.
      ASSERT_EQ(create(), STATUS_SUCCESS);
      ASSERT_EQ(start(), STATUS_SUCCESS);
      const ULONG transfers = blocks[1].header->Transfers;
      platform::clock::AdvanceMs(20);
      EXPECT_GT(blocks[1].header->Transfers, transfers);
      EXPECT_EQ(Timed([&] { return host.Stop(); }), STATUS_SUCCESS);
      EXPECT_EQ(Timed([&] { return host.DisposeBuffers(); }), STATUS_SUCCESS);
      if (!hit || HasFailure() || n == kMostPoints) break;
    }
    EXPECT_LT(n, kMostPoints) << "allocations that never end";
    points += std::string(" ") + op.name + " " + std::to_string(n - 1) + " (" + std::to_string(failed) + " failed)";
  }
  std::printf("ASIO allocation points:%s\n", points.c_str());
  EXPECT_EQ(host.Close(), STATUS_SUCCESS);
}

}  // namespace
