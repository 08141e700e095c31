// Ten minutes of 48 kHz render at high speed on the embedded headset whose
// clock drifts from +500 ppm to -500 ppm: the feedback carries the clock
// alone (no fill-level correction), the render pipe sizes every URB by the
// accumulator for the rate it decoded, and the device's 40 ms buffer
// neither runs dry nor overflows. The rate is decoded in whole hertz, so
// the buffer may drain by up to a hertz's worth: 600 frames, 12.5 ms.
#include <gtest/gtest.h>

#include <mutex>

#include "sim/device/Uac2Headset.h"
#include "tests/streaming/support/PipeRig.h"
#include "tests/variants/uac2/Uac2Devices.h"
#include "variants/uac2/CUac2Render.h"

namespace {

using namespace uac2test;
namespace headset = sim::uac2headset;
using pipetest::Pcm;
using pipetest::RigClient;

constexpr double kSeconds = 600;
constexpr LONG kRate = 48000;
constexpr LONG kPacketsPerSecond = 8000;
constexpr ULONG kBlockAlign = 4;

// What the render pipe must have sent: packets of 6 frames plus what a
// signed accumulator of the decoded rate's excess carries.
struct ShadowAccumulator {
  std::mutex lock;
  LONG accumulator = 0;
  uint64_t urbs = 0;
  uint64_t mismatched = 0;
  LONG minRate = kRate, maxRate = kRate;

  void Check(const URB_ISOCH_TRANSFER& iso, LONG rate) {
    std::lock_guard<std::mutex> guard(lock);
    ++urbs;
    minRate = std::min(minRate, rate);
    maxRate = std::max(maxRate, rate);
    const LONG base = kRate / kPacketsPerSecond;
    bool same = true;
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
      accumulator += rate - base * kPacketsPerSecond;
      const LONG frames = base + accumulator / kPacketsPerSecond;
      accumulator %= kPacketsPerSecond;
      same = same && iso.IsoPacket[i].Length == static_cast<ULONG>(frames) * kBlockAlign;
    }
    mismatched += !same;
  }
};

class Uac2DriftTest : public haltest::ModelTest {};

TEST_F(Uac2DriftTest, TenMinutesOfDriftingClockKeepTheDeviceBufferFed) {
  auto bench = HeadsetBench(platform::usb::Speed::High);
  ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
  IStreamEngine* engine = nullptr;
  ASSERT_EQ(bench->Hal()->GetStreamEngine(0, &engine), STATUS_SUCCESS);
  auto* render = static_cast<CUac2Render*>(static_cast<CUsbStreamEngine*>(engine));
  sim::Uac2Device& device = Device(*bench);
  sim::IsoSink& sink = device.Sink(headset::kRenderEndpoint);
  sink.SetKeepData(false);

  ShadowAccumulator shadow;
  bench->Usb().isochObserver = [&](PURB urb) {
    const URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    // The send path sizes the URB and submits it under its lock: the rate
    // it used is the last one.
    if (!(iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN)) shadow.Check(iso, render->GetLastUrbRate());
  };
  device.SetClockDrift(500, -1000 / kSeconds);
  RigClient client(render, CYCLIC_CLIENT_WAVE, Pcm(2, kRate, 16), 10, 3);
  client.SetFill(false);
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  // Until the buffer starts playing, then ten minutes.
  ASSERT_TRUE(pipetest::RunFramesUntil([&] { return device.RenderBuffer().playing; }));
  for (int second = 0; second < kSeconds; ++second) platform::usb::StepFrames(1000);
  const double endPpm = device.ClockPpm();
  ASSERT_EQ(client.Finish(), STATUS_SUCCESS);

  const sim::Uac2Device::BufferStats buffer = device.RenderBuffer();
  EXPECT_NEAR(endPpm, -500, 1);
  EXPECT_EQ(buffer.underrunFrames, 0u);
  EXPECT_EQ(buffer.overflowFrames, 0u);
  EXPECT_GT(buffer.minMs, 0);
  EXPECT_LT(buffer.maxMs, sim::Uac2Device::kBufferMs);
  // Whole-hertz truncation drains a little; nothing else moves the level.
  EXPECT_GE(buffer.minMs, sim::Uac2Device::kStartLevelMs - 14);
  EXPECT_LE(buffer.maxMs, sim::Uac2Device::kStartLevelMs + 2);
  std::lock_guard<std::mutex> guard(shadow.lock);
  EXPECT_GE(shadow.urbs, 60000u);
  EXPECT_EQ(shadow.mismatched, 0u);
  // The decoded rate followed the clock across the whole drift.
  EXPECT_NEAR(shadow.maxRate, 48024, 2);
  EXPECT_NEAR(shadow.minRate, 47976, 2);
  RecordProperty("buffer_min_ms", std::to_string(buffer.minMs));
  RecordProperty("buffer_max_ms", std::to_string(buffer.maxMs));
  std::printf("device buffer %.2f .. %.2f ms over %.0f s, decoded %ld .. %ld Hz\n", buffer.minMs, buffer.maxMs,
              kSeconds, static_cast<long>(shadow.minRate), static_cast<long>(shadow.maxRate));
}

}  // namespace
