// The simulated Audio Class 2.0 device as a host sees it on the wire: its
// clock's ranges and rates, level ranges of one subrange, the feedback in
// the form of the bus speed, the render buffer that starts at 20 ms and
// drains at the clock, and status messages and bulk data on their
// endpoints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "sim/device/Uac2Headset.h"
#include "tests/sim/ControlRequests.h"
#include "usb/usbaudio.h"
#include "usb/usbaudio2.h"

namespace {

using platform::usb::ControlOutcome;
using platform::usb::Speed;
using sim::Bytes;
namespace headset = sim::uac2headset;

using namespace simtest;

uint16_t Entity(uint8_t id) { return static_cast<uint16_t>(id << 8 | headset::kControlInterface); }
uint32_t Le32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

std::unique_ptr<sim::Uac2Device> Configured(Speed speed) {
  auto d = headset::Create(speed);
  EXPECT_EQ(Send(*d, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, {}).outcome, ControlOutcome::Ack);
  return d;
}

TEST(Uac2DeviceTest, ClockOffersDiscreteRatesAndTakesOnlyThose) {
  auto d = Configured(Speed::High);
  const uint16_t frequency = USB_AUDIO2_CS_SAM_FREQ_CONTROL << 8;
  const Result range = Send(*d, kClassIfIn, USB_AUDIO2_RANGE, frequency, Entity(headset::kClock), {}, 200);
  ASSERT_EQ(range.outcome, ControlOutcome::Ack);
  ASSERT_EQ(range.data.size(), 2u + 6 * 12);
  EXPECT_EQ(range.data[0], 6);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(Le32(range.data, 2 + 12 * i), sim::kDefaultClockRates[i]);
    EXPECT_EQ(Le32(range.data, 6 + 12 * i), sim::kDefaultClockRates[i]);
    EXPECT_EQ(Le32(range.data, 10 + 12 * i), 0u);
  }
  // The count alone, as a host asks for it first.
  EXPECT_EQ(Send(*d, kClassIfIn, USB_AUDIO2_RANGE, frequency, Entity(headset::kClock), {}, 2).data, (Bytes{6, 0}));
  EXPECT_EQ(Send(*d, kClassIfOut, USB_AUDIO2_CUR, frequency, Entity(headset::kClock), {0x80, 0xBB, 0, 0}).outcome,
            ControlOutcome::Ack);
  EXPECT_EQ(Send(*d, kClassIfOut, USB_AUDIO2_CUR, frequency, Entity(headset::kClock), {0x98, 0xB7, 0, 0}).outcome,
            ControlOutcome::Stall);  // 47000
  EXPECT_EQ(d->ClockRate(headset::kClock), 48000u);
  EXPECT_EQ(Send(*d, kClassIfIn, USB_AUDIO2_CUR, frequency, Entity(headset::kClock), {}, 4).data,
            (Bytes{0x80, 0xBB, 0, 0}));
  // Every level range has exactly one subrange: the microphone's volume.
  const Result level = Send(*d, kClassIfIn, USB_AUDIO2_RANGE, USB_AUDIO_FU_VOLUME_CONTROL << 8,
                            Entity(headset::kMicFeatureUnit), {}, 64);
  EXPECT_EQ(level.data, (Bytes{1, 0, 0x00, 0xEC, 0x00, 0x1E, 0x00, 0x01}));

  // Thirty rates at most, whatever the profile lists.
  sim::DeviceProfile many = headset::Profile(Speed::High);
  for (uint32_t r = 8000; r < 48000; r += 1000) many.clockRates[headset::kClock].push_back(r);
  sim::Uac2Device crowded(headset::Descriptors(Speed::High), many, Speed::High);
  ASSERT_EQ(Send(crowded, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, {}).outcome, ControlOutcome::Ack);
  EXPECT_EQ(Send(crowded, kClassIfIn, USB_AUDIO2_RANGE, frequency, Entity(headset::kClock), {}, 2).data,
            (Bytes{30, 0}));
}

TEST(Uac2DeviceTest, ClockWithReadOnlyFrequencyIsFixedAtOneRate) {
  // The headset with its clock's frequency control made read-only (bit
  // pair 01); the profile offers 64 and 96 kHz, so it runs at the first.
  sim::DescriptorSet set = headset::Descriptors(Speed::High);
  Bytes& configuration = set.configurations[0];
  const Bytes clock = {8, USB_AUDIO_CS_INTERFACE, USB_AUDIO2_AC_CLOCK_SOURCE, headset::kClock};
  auto at = std::search(configuration.begin(), configuration.end(), clock.begin(), clock.end());
  ASSERT_NE(at, configuration.end());
  at[5] = 0x05;
  sim::DeviceProfile profile = headset::Profile(Speed::High);
  profile.clockRates[headset::kClock] = {64000, 96000};
  sim::Uac2Device d(set, profile, Speed::High);
  ASSERT_EQ(Send(d, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, {}).outcome, ControlOutcome::Ack);
  const uint16_t frequency = USB_AUDIO2_CS_SAM_FREQ_CONTROL << 8;
  const Result range = Send(d, kClassIfIn, USB_AUDIO2_RANGE, frequency, Entity(headset::kClock), {}, 200);
  ASSERT_EQ(range.data.size(), 2u + 12);
  EXPECT_EQ(range.data[0], 1);
  EXPECT_EQ(Le32(range.data, 2), 64000u);
  EXPECT_EQ(Le32(range.data, 6), 64000u);
  for (uint32_t rate : {64000u, 96000u}) {
    const Bytes value = {static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate >> 16),
                         0};
    EXPECT_EQ(Send(d, kClassIfOut, USB_AUDIO2_CUR, frequency, Entity(headset::kClock), value).outcome,
              ControlOutcome::Stall);
  }
  EXPECT_EQ(Le32(Send(d, kClassIfIn, USB_AUDIO2_CUR, frequency, Entity(headset::kClock), {}, 4).data, 0), 64000u);
}

TEST(Uac2DeviceTest, FeedbackReportsTheClockInTheBusSpeedsForm) {
  struct Case {
    Speed speed;
    uint32_t rate;
    size_t bytes;
    double perSecond;
    double scale;
  };
  for (const Case& c : {Case{Speed::Full, 44100, 3, 1000, 16384}, Case{Speed::High, 44100, 4, 8000, 65536},
                        Case{Speed::High, 192000, 4, 8000, 65536}}) {
    SCOPED_TRACE(testing::Message() << c.rate << (c.speed == Speed::High ? " high" : " full"));
    auto d = Configured(c.speed);
    const Bytes rate = {static_cast<uint8_t>(c.rate), static_cast<uint8_t>(c.rate >> 8),
                        static_cast<uint8_t>(c.rate >> 16), 0};
    ASSERT_EQ(Send(*d, kClassIfOut, USB_AUDIO2_CUR, USB_AUDIO2_CS_SAM_FREQ_CONTROL << 8, Entity(headset::kClock), rate)
                  .outcome,
              ControlOutcome::Ack);
    ASSERT_EQ(Send(*d, 0x01, USB_REQUEST_SET_INTERFACE, 1, headset::kRenderInterface, {}).outcome, ControlOutcome::Ack);
    EXPECT_EQ(d->FeedbackEndpoint(headset::kRenderInterface), headset::kFeedbackEndpoint);
    d->SetClockDrift(250, 0);
    UCHAR buffer[8] = {};
    ULONG length = 0;
    ASSERT_EQ(d->IsoIn(headset::kFeedbackEndpoint, 100, buffer, sizeof buffer, &length), USBD_STATUS_SUCCESS);
    ASSERT_EQ(length, c.bytes);
    uint32_t value = 0;
    for (size_t i = 0; i < c.bytes; ++i) value |= static_cast<uint32_t>(buffer[i]) << (8 * i);
    EXPECT_EQ(value, static_cast<uint32_t>(std::floor(c.rate * 1.00025 * c.scale / c.perSecond)));
    EXPECT_NEAR(d->ActualRate(headset::kClock), c.rate * 1.00025, 1e-6);
  }
}

TEST(Uac2DeviceTest, RenderBufferStartsAtTwentyMillisecondsAndDrainsAtTheClock) {
  // Full speed, 48 kHz stereo 16-bit: 48 frames a millisecond.
  auto d = Configured(Speed::Full);
  ASSERT_EQ(Send(*d, kClassIfOut, USB_AUDIO2_CUR, USB_AUDIO2_CS_SAM_FREQ_CONTROL << 8, Entity(headset::kClock),
                 {0x80, 0xBB, 0, 0})
                .outcome,
            ControlOutcome::Ack);
  ASSERT_EQ(Send(*d, 0x01, USB_REQUEST_SET_INTERFACE, 1, headset::kRenderInterface, {}).outcome, ControlOutcome::Ack);
  const Bytes twoMs(2 * 48 * 4, 0);
  uint64_t frame = 1;
  // Two milliseconds a millisecond: it fills, and plays from 20 ms on.
  while (!d->RenderBuffer().playing) {
    ASSERT_EQ(d->IsoOut(headset::kRenderEndpoint, frame++, twoMs.data(), static_cast<ULONG>(twoMs.size())),
              USBD_STATUS_SUCCESS);
    ASSERT_LT(frame, 100u);
  }
  EXPECT_EQ(frame - 1, 10u);
  EXPECT_DOUBLE_EQ(d->RenderBuffer().levelMs, 20);
  // Ten more at twice the clock: 30 ms, and 40 ms caps it.
  for (int i = 0; i < 10; ++i) d->IsoOut(headset::kRenderEndpoint, frame++, twoMs.data(), static_cast<ULONG>(twoMs.size()));
  EXPECT_NEAR(d->RenderBuffer().levelMs, 30, 1e-9);
  for (int i = 0; i < 20; ++i) d->IsoOut(headset::kRenderEndpoint, frame++, twoMs.data(), static_cast<ULONG>(twoMs.size()));
  EXPECT_EQ(d->RenderBuffer().maxMs, sim::Uac2Device::kBufferMs);
  EXPECT_GT(d->RenderBuffer().overflowFrames, 0u);
  // Nothing for 50 ms: it runs dry.
  frame += 50;
  d->IsoOut(headset::kRenderEndpoint, frame, nullptr, 0);
  EXPECT_EQ(d->RenderBuffer().levelMs, 0);
  EXPECT_GT(d->RenderBuffer().underrunFrames, 0u);
}

TEST(Uac2DeviceTest, StatusMessagesAndBulkDataWaitOnTheirEndpoints) {
  auto d = Configured(Speed::High);
  UCHAR buffer[512] = {};
  ULONG length = 0;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  EXPECT_FALSE(d->InterruptIn(headset::kStatusEndpoint, buffer, 6, &length, &status));
  d->QueueStatusMessage(headset::kMicFeatureUnit, USB_AUDIO_FU_MUTE_CONTROL, 0);
  // A change on the device tells of itself; one that does not notify stays quiet.
  d->SetClockValid(headset::kClock, false, true);
  d->SetEntityControl(headset::kRenderFeatureUnit, USB_AUDIO_FU_MUTE_CONTROL, 0, {1}, false);
  const std::vector<Bytes> expected = {{0, USB_AUDIO2_CUR, 0, USB_AUDIO_FU_MUTE_CONTROL, 0, headset::kMicFeatureUnit},
                                       {0, USB_AUDIO2_CUR, 0, USB_AUDIO2_CS_CLOCK_VALID_CONTROL, 0, headset::kClock}};
  for (const Bytes& message : expected) {
    ASSERT_TRUE(d->InterruptIn(headset::kStatusEndpoint, buffer, 6, &length, &status));
    EXPECT_EQ(Bytes(buffer, buffer + length), message);
  }
  EXPECT_FALSE(d->InterruptIn(headset::kStatusEndpoint, buffer, 6, &length, &status));
  EXPECT_EQ(Send(*d, kClassIfIn, USB_AUDIO2_CUR, USB_AUDIO2_CS_CLOCK_VALID_CONTROL << 8, Entity(headset::kClock), {}, 1)
                .data,
            (Bytes{0}));
  d->QueueBulkData({1, 2, 3});
  ASSERT_TRUE(d->InterruptIn(headset::kBulkEndpoint, buffer, sizeof buffer, &length, &status));
  EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{1, 2, 3}));
  // A message of no bytes is a transfer of none.
  d->QueueStatusMessage(Bytes{});
  ASSERT_TRUE(d->InterruptIn(headset::kStatusEndpoint, buffer, 6, &length, &status));
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(status, USBD_STATUS_SUCCESS);
}

}  // namespace
