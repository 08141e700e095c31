// 48 kHz render at high speed on the embedded headset whose clock runs off
// the nominal rate: the feedback carries the clock alone (no fill-level
// correction), the render pipe sizes every URB by the accumulator for the
// rate it decoded, fraction and all, and the device's 40 ms buffer holds
// its level. Only the device's own 16.16 feedback rounding (at most 1/65536
// of a sample a microframe, 0.12 frames a second) may move it.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>

#include "sim/device/Uac2Headset.h"
#include "tests/streaming/support/PipeRig.h"
#include "tests/variants/uac2/support/Uac2Devices.h"
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
  LONGLONG accumulator = 0;
  uint64_t urbs = 0;
  uint64_t mismatched = 0;
  LONG minRate = kRate, maxRate = kRate;

  // `rate` in 16.16 Hz.
  void Check(const URB_ISOCH_TRANSFER& iso, LONGLONG rate) {
    std::lock_guard<std::mutex> guard(lock);
    ++urbs;
    minRate = std::min(minRate, static_cast<LONG>(rate >> 16));
    maxRate = std::max(maxRate, static_cast<LONG>(rate >> 16));
    const LONG base = kRate / kPacketsPerSecond;
    bool same = true;
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
      accumulator += rate - (LONGLONG(base) * kPacketsPerSecond << 16);
      const LONGLONG frames = base + accumulator / (LONGLONG(kPacketsPerSecond) << 16);
      accumulator %= LONGLONG(kPacketsPerSecond) << 16;
      same = same && iso.IsoPacket[i].Length == static_cast<ULONG>(frames) * kBlockAlign;
    }
    mismatched += !same;
  }
};

class Uac2DriftTest : public haltest::ModelTest {};

// The started headset's render engine; the device keeps none of the audio.
CUac2Render* RenderEngine(haltest::ModelBench& bench) {
  EXPECT_EQ(bench.Init(), STATUS_SUCCESS);
  IStreamEngine* engine = nullptr;
  EXPECT_EQ(bench.Hal()->GetStreamEngine(0, &engine), STATUS_SUCCESS);
  Device(bench).Sink(headset::kRenderEndpoint).SetKeepData(false);
  return engine ? static_cast<CUac2Render*>(static_cast<CUsbStreamEngine*>(engine)) : nullptr;
}

TEST_F(Uac2DriftTest, TenMinutesOfDriftingClockKeepTheDeviceBufferFed) {
  auto bench = HeadsetBench(platform::usb::Speed::High);
  CUac2Render* render = RenderEngine(*bench);
  ASSERT_NE(render, nullptr);
  sim::Uac2Device& device = Device(*bench);

  ShadowAccumulator shadow;
  bench->Usb().isochObserver = [&](PURB urb) {
    const URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
    // The send path sizes the URB and submits it under its lock: the rate
    // it used is the last one.
    if (!(iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN)) shadow.Check(iso, render->GetLastUrbRate16());
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
  // The device's feedback rounding drains a little (0.12 frames a second at
  // most, 1.5 ms in ten minutes); nothing else moves the level.
  EXPECT_GE(buffer.minMs, sim::Uac2Device::kStartLevelMs - 2);
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

// Frames a second the device buffer's level moves by, from the straight
// line through its once-a-second history from `from` seconds on.
double LevelDrift(const sim::Uac2Device::BufferStats& buffer, double from) {
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const auto& [seconds, ms] : buffer.history) {
    if (seconds < from) continue;
    n += 1;
    sx += seconds;
    sy += ms;
    sxx += seconds * seconds;
    sxy += seconds * ms;
  }
  const double slopeMsPerSecond = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  return slopeMsPerSecond * kRate / 1000;
}

TEST_F(Uac2DriftTest, ConstantClockOffsetHoldsTheBufferLevel) {
  // A whole-hertz rate loses up to a frame a second (at +100 ppm the device
  // asks for 48004.761 Hz: 0.76 frames a second short); the fraction kept,
  // only the device's rounding of its 16.16 value is left.
  constexpr double kRoundingFramesPerSecond = 8000.0 / 65536;
  for (double ppm : {100.0, -100.0, 10000.0}) {
    SCOPED_TRACE(testing::Message() << ppm << " ppm");
    auto bench = HeadsetBench(platform::usb::Speed::High);
    CUac2Render* render = RenderEngine(*bench);
    ASSERT_NE(render, nullptr);
    sim::Uac2Device& device = Device(*bench);
    device.SetClockDrift(ppm, 0);
    RigClient client(render, CYCLIC_CLIENT_WAVE, Pcm(2, kRate, 16), 10, 3);
    client.SetFill(false);
    ASSERT_EQ(client.Run(), STATUS_SUCCESS);
    ASSERT_TRUE(pipetest::RunFramesUntil([&] { return device.RenderBuffer().playing; }));
    for (int second = 0; second < 40; ++second) platform::usb::StepFrames(1000);
    ASSERT_EQ(client.Finish(), STATUS_SUCCESS);

    const sim::Uac2Device::BufferStats buffer = device.RenderBuffer();
    EXPECT_EQ(buffer.underrunFrames, 0u);
    EXPECT_EQ(buffer.overflowFrames, 0u);
    ASSERT_GE(buffer.history.size(), 35u);
    const double drift = LevelDrift(buffer, buffer.history.front().first + 2);
    EXPECT_LE(std::abs(drift), kRoundingFramesPerSecond) << "frames a second";
    std::printf("%+.0f ppm: the device buffer moves %+.3f frames a second\n", ppm, drift);
  }
}

}  // namespace
