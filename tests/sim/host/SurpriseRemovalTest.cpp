// Surprise removal under a running stream, over and over: the device drops
// off the bus while a render or capture pin runs (at a different point each
// time), the plug-and-play manager sends the surprise removal and the
// removal, the host closes what it had open, and a new device plugged in
// streams again. Nothing may hang, leak or fail to come back.
//
// The test command runs a few rounds; HSD_SOAK_ITERATIONS asks for more
// (`make soak` runs 1000), HSD_SOAK_ASIO_ITERATIONS for more of the ASIO
// rounds (`make soak` runs 200), and the tests print their figures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "driver/CHeadsetUsbDevice.h"
#include "sim/device/Vzr417Interface.h"
#include "sim/host/AsioHost.h"
#include "sim/host/RunningDriver.h"
#include "tests/sim/host/support/HostBench.h"

namespace {

// A round's bound on the manual clock: two seconds of audio that end early,
// the removal and a short play.
constexpr LONGLONG kRoundLimitMs = 4000;

size_t Iterations(const char* variable = "HSD_SOAK_ITERATIONS", size_t byDefault = 12) {
  const char* text = std::getenv(variable);
  const long n = text ? std::strtol(text, nullptr, 10) : 0;
  return n > 0 ? static_cast<size_t>(n) : byDefault;
}

class SurpriseRemovalTest : public hosttest::HostTest {};

TEST_F(SurpriseRemovalTest, RemovalMidStreamLeavesNothingBehindAndEveryReplugStreams) {
  hosttest::HostBench bench;
  ASSERT_EQ(bench.loadStatus, STATUS_SUCCESS);
  const size_t poolBaseline = platform::pool::OutstandingCount();
  const size_t threadBaseline = platform::thread::LiveCount();
  const size_t rounds = Iterations();
  size_t leaks = 0, slow = 0, replugsThatStreamed = 0, endedWithError = 0;
  for (size_t round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    const LONGLONG began = platform::clock::Now();
    bench.Plug();
    ASSERT_EQ(bench.AddAndStart(), STATUS_SUCCESS);
    // The device just plugged in streams.
    const bool render = round % 2 == 0;
    const uint64_t before = bench.Device().IsoPackets();
    if (NT_SUCCESS(bench.Stream(render, 0.05)) && bench.Device().IsoPackets() > before) ++replugsThatStreamed;

    // Then it drops off the bus somewhere in the next stream: at its first
    // packet, early, or well into it (render and capture alike).
    bench.Device().UnplugAfterIsoPackets(round % 5 == 0 ? 0 : (round * 97) % 1200 + 1);
    platform::usb::HubPort* port = &bench.Port();
    sim::host::Host* host = &bench.HostSide();
    NTSTATUS surprise = STATUS_PENDING;
    {
      sim::host::BackgroundWork pnp([port, host, &surprise] {
        // The bus reports the device gone; the manager tells the driver.
        LARGE_INTEGER ms;
        ms.QuadPart = -10000;
        while (port->Connected()) KeDelayExecutionThread(KernelMode, FALSE, &ms);
        surprise = host->SurpriseRemove();
      });
      if (!NT_SUCCESS(bench.Stream(render, 2.0))) ++endedWithError;
      // A stream the unplug missed (it ended first) still sees its device go.
      if (port->Connected()) port->Unplug();
    }
    EXPECT_EQ(surprise, STATUS_SUCCESS);
    EXPECT_EQ(bench.RemoveAndUnplug(), STATUS_SUCCESS);

    if (platform::pool::OutstandingCount() != poolBaseline || platform::thread::LiveCount() != threadBaseline) {
      ++leaks;
      ADD_FAILURE() << platform::pool::Describe(platform::pool::Outstanding()) << platform::thread::LiveCount()
                    << " threads";
    }
    if ((platform::clock::Now() - began) / 10000 > kRoundLimitMs) {
      ++slow;
      ADD_FAILURE() << "round took " << (platform::clock::Now() - began) / 10000 << " ms of clock";
    }
  }
  EXPECT_EQ(leaks, 0u);
  EXPECT_EQ(slow, 0u);
  EXPECT_EQ(replugsThatStreamed, rounds);
  std::printf("surprise removals: %zu, streams ended by them with an error: %zu, leaks: %zu, rounds over %lld ms: "
              "%zu, re-plugs that streamed: %zu\n",
              rounds, endedWithError, leaks, static_cast<long long>(kRoundLimitMs), slow, replugsThatStreamed);
}

// The same during ASIO streams of an interface whose engines serve ASIO:
// the host's thread is in the shared blocks when the device goes, so they
// stay mapped and intact until the host, told by its next request, lets
// them go.
TEST_F(SurpriseRemovalTest, RemovalDuringAnAsioStreamLeavesTheHostItsBlocksUntilItLetsThemGo) {
  {
    hosttest::HostBench bench;
    ASSERT_EQ(bench.loadStatus, STATUS_SUCCESS);
    const size_t poolBaseline = platform::pool::OutstandingCount();
    const size_t threadBaseline = platform::thread::LiveCount();
    const size_t rounds = Iterations("HSD_SOAK_ASIO_ITERATIONS", 4);
    size_t leaks = 0, endedWithError = 0, toldRemoved = 0;
    for (size_t round = 0; round < rounds; ++round) {
      SCOPED_TRACE(round);
      bench.Plug(sim::vzr417::Descriptors(), sim::vzr417::Profile());
      ASSERT_EQ(sim::host::ChooseModelFactory(bench.Port().Pdo(), AudioHalChoice::ChipIdentifying), STATUS_SUCCESS);
      ASSERT_EQ(bench.AddAndStart(), STATUS_SUCCESS);
      sim::host::AsioHost asio(round % 3 == 2);
      ASSERT_EQ(asio.Open(), STATUS_SUCCESS);
      bench.Device().UnplugAfterIsoPackets(round % 5 == 0 ? 1 : (round * 97) % 1200 + 1);
      platform::usb::HubPort* port = &bench.Port();
      sim::host::Host* host = &bench.HostSide();
      NTSTATUS surprise = STATUS_PENDING;
      sim::host::AsioStreamReport report;
      {
        sim::host::BackgroundWork pnp([port, host, &surprise] {
          LARGE_INTEGER ms;
          ms.QuadPart = -10000;
          while (port->Connected()) KeDelayExecutionThread(KernelMode, FALSE, &ms);
          surprise = host->SurpriseRemove();
        });
        report = sim::host::RunAsioStream(asio, sim::host::AsioStreamOptions{1.0});
        if (port->Connected()) port->Unplug();
      }
      EXPECT_EQ(surprise, STATUS_SUCCESS);
      endedWithError += !NT_SUCCESS(report.status);
      toldRemoved += report.status == STATUS_DEVICE_NOT_CONNECTED;
      EXPECT_EQ(asio.Mappings(), 0u) << report.failedStep;
      EXPECT_EQ(asio.Close(), STATUS_SUCCESS);
      EXPECT_EQ(bench.RemoveAndUnplug(), STATUS_SUCCESS);
      if (platform::pool::OutstandingCount() != poolBaseline || platform::thread::LiveCount() != threadBaseline) {
        ++leaks;
        ADD_FAILURE() << platform::pool::Describe(platform::pool::Outstanding()) << platform::thread::LiveCount()
                      << " threads";
      }
    }
    EXPECT_EQ(leaks, 0u);
    std::printf("surprise removals during ASIO streams: %zu, streams ended with an error: %zu (told the device "
                "is gone: %zu), leaks: %zu\n",
                rounds, endedWithError, toldRemoved, leaks);
  }
}

}  // namespace
