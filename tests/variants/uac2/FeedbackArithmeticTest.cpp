// The asynchronous render pipe's arithmetic on its own: feedback values in
// both wire forms to rates in 16.16 Hz (with the 44.1 kHz family's rounding
// undone), the window around the nominal rate, the averaging rule, and the
// signed accumulator that turns a rate into packet sizes.
#include <gtest/gtest.h>

#include <vector>

#include "usb/usbspec.h"
#include "variants/uac2/CUac2Render.h"

namespace {

// The 3-byte full-speed value on the wire (10.14 samples per frame) as the
// pipe reads it: little-endian, shifted to 16.16.
ULONG FromThreeBytes(UCHAR b0, UCHAR b1, UCHAR b2) {
  const UCHAR wire[3] = {b0, b1, b2};
  return platform::usb::ReadLe24(wire) << 2;
}

// Whole hertz of what a wire value stands for.
LONG Rate(ULONG value, bool fourByte, ULONG packetsPerSecond) {
  return static_cast<LONG>(
      CUac2Render::FeedbackToRate(CUac2Render::CorrectFeedback(value, fourByte), packetsPerSecond) >> 16);
}

constexpr LONGLONG Hz(LONG hz) { return Uac2RateFromHz(hz); }

TEST(Uac2FeedbackArithmetic, WireValuesBecomeTheRatesTheyStandFor) {
  // 44.1 kHz at full speed: the device sends 10.14 0x0B0640 (bytes 40 06 0B),
  // 0x2C1900 in 16.16, which reads 44097 Hz unless corrected.
  EXPECT_EQ(FromThreeBytes(0x40, 0x06, 0x0B), 0x2C1900u);
  EXPECT_EQ(CUac2Render::CorrectFeedback(0x2C1900, false), 0x2C199Au);
  EXPECT_EQ(CUac2Render::FeedbackToRate(0x2C1900, 1000) >> 16, 44097);
  struct Case {
    ULONG value;
    bool fourByte;
    ULONG packetsPerSecond;
    LONG hz;
  };
  const Case cases[] = {
      {0x2C1900, false, 1000, 44100},  // 44.1 kHz, full speed
      {0x583300, false, 1000, 88200},  // 88.2 kHz, full speed
      {0x58380, true, 8000, 44100},    // 44.1 kHz, high speed (0x58334 meant)
      {0xB0640, true, 8000, 88200},    // 88.2 kHz, high speed
      {0x160C60, true, 8000, 176400},  // 176.4 kHz, high speed
      {0x300000, false, 1000, 48000},  // exact values pass through
      {0x60000, true, 8000, 48000},    // 48 kHz, high speed
      {0x180000, true, 8000, 192000},  // 192 kHz, high speed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.value);
    EXPECT_EQ(Rate(c.value, c.fourByte, c.packetsPerSecond), c.hz);
  }
  // The fraction stays: 0x41 / 65536 of a sample a frame is 0.99 Hz, and
  // +100 ppm at 48 kHz in high speed's 16.16 is 48004.761 Hz, not 48004.
  EXPECT_EQ(CUac2Render::FeedbackToRate(0x300041, 1000), Hz(48000) + 0x41 * 1000);
  EXPECT_EQ(CUac2Render::FeedbackToRate(393255, 8000), 393255LL * 8000);
  EXPECT_NEAR(static_cast<double>(CUac2Render::FeedbackToRate(393255, 8000)) / 65536, 48004.761, 0.001);
  // A form's correction applies to that form only.
  EXPECT_EQ(CUac2Render::CorrectFeedback(0x58380, false), 0x58380u);
  EXPECT_EQ(CUac2Render::CorrectFeedback(0x2C1900, true), 0x2C1900u);
}

TEST(Uac2FeedbackArithmetic, OnlyRatesWithin1000HzOfNominalAreBelieved) {
  EXPECT_TRUE(CUac2Render::WithinWindow(Hz(49000), 48000));
  EXPECT_TRUE(CUac2Render::WithinWindow(Hz(47000), 48000));
  EXPECT_FALSE(CUac2Render::WithinWindow(Hz(49000) + 1, 48000));
  EXPECT_FALSE(CUac2Render::WithinWindow(Hz(47000) - 1, 48000));
  EXPECT_FALSE(CUac2Render::WithinWindow(0, 48000));
}

TEST(Uac2FeedbackArithmetic, AveragingDoublesADistanceOfExactly500PerMillisecond) {
  struct Case {
    LONGLONG sum;
    ULONG kept;
    ULONG msPerUrb;
    LONGLONG rate;
  };
  const Case cases[] = {
      {Hz(48050) * 10, 10, 10, Hz(48100)},  // 50 Hz off over 10 ms URBs: doubled
      {Hz(47950) * 10, 10, 10, Hz(47900)},
      {Hz(48049) * 10, 10, 10, Hz(48049)},  // anything else is the mean
      {Hz(48051) * 10, 10, 10, Hz(48051)},
      {Hz(48500), 1, 1, Hz(49000)},  // 1 ms URBs double at 500 Hz
      {Hz(48100) * 5, 5, 5, Hz(48200)},
      {Hz(48000) + Hz(48003), 2, 10, Hz(48001) + 0x8000},  // the mean keeps its half
      {Hz(48050) + 0x8000, 1, 10, Hz(48101)},              // 50.5 Hz off is doubled whole
      {0, 0, 10, Hz(47990) + 7},                           // nothing kept: the rate stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sum << "/" << c.kept << " at " << c.msPerUrb << " ms");
    EXPECT_EQ(CUac2Render::AverageFeedback(c.sum, c.kept, 48000, c.msPerUrb, Hz(47990) + 7), c.rate);
  }
}

// Frames per packet for `packets` packets at `rate` (16.16 Hz), one URB of
// `perUrb` packets at a time, the accumulator carried between URBs.
std::vector<ULONG> Sizes(LONGLONG rate, ULONG packetsPerSecond, ULONG packets, ULONG perUrb, LONGLONG* accumulator,
                         ULONG capacity = 1u << 20) {
  const ULONG base = 48000 / packetsPerSecond;
  const LONGLONG excess = rate - Hz(static_cast<LONG>(base * packetsPerSecond));
  std::vector<ULONG> frames;
  std::vector<USBD_ISO_PACKET_DESCRIPTOR> iso(perUrb);
  for (ULONG sent = 0; sent < packets; sent += perUrb) {
    const ULONG bytes =
        CUac2Render::LayOutPackets(iso.data(), perUrb, base, excess, packetsPerSecond, 4, capacity, accumulator);
    ULONG offset = 0;
    for (const USBD_ISO_PACKET_DESCRIPTOR& p : iso) {
      EXPECT_EQ(p.Offset, offset);
      offset += p.Length;
      frames.push_back(p.Length / 4);
    }
    EXPECT_EQ(bytes, offset);
    EXPECT_LE(bytes, capacity);
  }
  return frames;
}

uint64_t Sum(const std::vector<ULONG>& v) {
  uint64_t total = 0;
  for (ULONG f : v) total += f;
  return total;
}

TEST(Uac2FeedbackArithmetic, AccumulatorSendsExactlyTheMeasuredRateInTheLongRun) {
  struct Case {
    LONGLONG rate;
    ULONG packetsPerSecond;
  };
  for (const Case& c : {Case{Hz(48000), 1000}, Case{Hz(48013), 1000}, Case{Hz(47987), 1000}, Case{Hz(48999), 8000},
                        Case{Hz(47001), 8000}, Case{Hz(48024), 8000}}) {
    SCOPED_TRACE(testing::Message() << (c.rate >> 16) << " Hz at " << c.packetsPerSecond);
    LONGLONG accumulator = 0;
    const std::vector<ULONG> frames = Sizes(c.rate, c.packetsPerSecond, c.packetsPerSecond, 10, &accumulator);
    // One second of packets carries the rate to the frame, and no packet is
    // more than a frame from the mean.
    EXPECT_EQ(static_cast<LONGLONG>(Sum(frames)), c.rate >> 16);
    const ULONG base = 48000 / c.packetsPerSecond;
    for (ULONG f : frames) EXPECT_LE(f > base ? f - base : base - f, 1u);
    EXPECT_EQ(accumulator, 0);
  }
}

TEST(Uac2FeedbackArithmetic, AccumulatorKeepsTheFractionOfAHertz) {
  // What a device 100 ppm fast asks for at high speed (393255 / 65536
  // samples a microframe, 48004.761 Hz): over 100 s the frames sent are
  // that rate to within the frame the accumulator still holds, not the
  // 48004 Hz a whole-hertz rate would send (76 frames fewer).
  const LONGLONG rate = CUac2Render::FeedbackToRate(393255, 8000);
  LONGLONG accumulator = 0;
  const uint64_t sent = Sum(Sizes(rate, 8000, 800000, 80, &accumulator));
  // Every packet owes the rate over 8000; the accumulator holds the rest.
  EXPECT_EQ(static_cast<LONGLONG>(sent) * Hz(8000) + accumulator, rate * 800000);
  EXPECT_NEAR(static_cast<double>(sent), 4800476.1, 1.0);
}

TEST(Uac2FeedbackArithmetic, AccumulatorCarriesAcrossARateChangeBelowNominal) {
  // 48.5 frames per millisecond for a while, then the device slows to
  // 47.5: what was sent ahead is paid back, the debt carried as a negative
  // remainder, so the frames sent stay within a packet's fraction of the
  // rates asked for.
  LONGLONG accumulator = 0;
  const std::vector<ULONG> fast = Sizes(Hz(48500), 1000, 3, 3, &accumulator);
  EXPECT_EQ(fast, (std::vector<ULONG>{48, 49, 48}));
  EXPECT_EQ(accumulator, Hz(500));
  const std::vector<ULONG> slow = Sizes(Hz(47500), 1000, 4, 4, &accumulator);
  EXPECT_EQ(slow, (std::vector<ULONG>{48, 48, 47, 48}));
  EXPECT_EQ(accumulator, -Hz(500));
  EXPECT_EQ(static_cast<LONGLONG>(Sum(fast) + Sum(slow)) * Hz(1000) + accumulator, Hz(48500) * 3 + Hz(47500) * 4);
}

TEST(Uac2FeedbackArithmetic, LayoutNeverPassesTheBuffer) {
  // A rate far beyond what the buffer was sized for: the packets fill the
  // buffer's whole frames and stop there.
  LONGLONG accumulator = 0;
  const std::vector<ULONG> frames = Sizes(Hz(96000), 1000, 10, 10, &accumulator, 50 * 4 * 10 + 3);
  EXPECT_EQ(Sum(frames), 500u);
}

}  // namespace
