// The asynchronous render pipe's arithmetic on its own: feedback values in
// both wire forms to hertz (with the 44.1 kHz family's rounding undone), the
// window around the nominal rate, the averaging rule, and the signed
// accumulator that turns a rate into packet sizes.
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

LONG Rate(ULONG value, bool fourByte, ULONG packetsPerSecond) {
  return CUac2Render::FeedbackToRate(CUac2Render::CorrectFeedback(value, fourByte), packetsPerSecond);
}

TEST(Uac2FeedbackArithmetic, WireValuesBecomeTheRatesTheyStandFor) {
  // 44.1 kHz at full speed: the device sends 10.14 0x0B0640 (bytes 40 06 0B),
  // 0x2C1900 in 16.16, which reads 44097 Hz unless corrected.
  EXPECT_EQ(FromThreeBytes(0x40, 0x06, 0x0B), 0x2C1900u);
  EXPECT_EQ(CUac2Render::CorrectFeedback(0x2C1900, false), 0x2C199Au);
  EXPECT_EQ(CUac2Render::FeedbackToRate(0x2C1900, 1000), 44097);
  struct Case {
    ULONG value;
    bool fourByte;
    ULONG packetsPerSecond;
    LONG hz;
  };
  const Case cases[] = {
      {0x2C1900, false, 1000, 44100},   // 44.1 kHz, full speed
      {0x583300, false, 1000, 88200},   // 88.2 kHz, full speed
      {0x58380, true, 8000, 44100},     // 44.1 kHz, high speed (0x58334 meant)
      {0xB0640, true, 8000, 88200},     // 88.2 kHz, high speed
      {0x160C60, true, 8000, 176400},   // 176.4 kHz, high speed
      {0x300000, false, 1000, 48000},   // exact values pass through
      {0x60000, true, 8000, 48000},
      {0x180000, true, 8000, 192000},
      {0x300000 + 0x41, false, 1000, 48000},  // fractions round down to whole hertz
      {0x300000 + 0x42, false, 1000, 48001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.value);
    EXPECT_EQ(Rate(c.value, c.fourByte, c.packetsPerSecond), c.hz);
  }
  // A form's correction applies to that form only.
  EXPECT_EQ(CUac2Render::CorrectFeedback(0x58380, false), 0x58380u);
  EXPECT_EQ(CUac2Render::CorrectFeedback(0x2C1900, true), 0x2C1900u);
}

TEST(Uac2FeedbackArithmetic, OnlyRatesWithin1000HzOfNominalAreBelieved) {
  EXPECT_TRUE(CUac2Render::WithinWindow(49000, 48000));
  EXPECT_TRUE(CUac2Render::WithinWindow(47000, 48000));
  EXPECT_FALSE(CUac2Render::WithinWindow(49001, 48000));
  EXPECT_FALSE(CUac2Render::WithinWindow(46999, 48000));
  EXPECT_FALSE(CUac2Render::WithinWindow(0, 48000));
}

TEST(Uac2FeedbackArithmetic, AveragingDoublesADistanceOfExactly500PerMillisecond) {
  struct Case {
    LONGLONG sum;
    ULONG kept;
    ULONG msPerUrb;
    LONG rate;
  };
  const Case cases[] = {
      {48050LL * 10, 10, 10, 48100},  // 50 Hz off over 10 ms URBs: doubled
      {47950LL * 10, 10, 10, 47900},
      {48049LL * 10, 10, 10, 48049},  // anything else is the mean
      {48051LL * 10, 10, 10, 48051},
      {48500LL, 1, 1, 49000},          // 1 ms URBs double at 500 Hz
      {48100LL * 5, 5, 5, 48200},
      {48000LL + 48003LL, 2, 10, 48001},  // the mean rounds toward zero
      {0, 0, 10, 47990},                   // nothing kept: the rate stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sum << "/" << c.kept << " at " << c.msPerUrb << " ms");
    EXPECT_EQ(CUac2Render::AverageFeedback(c.sum, c.kept, 48000, c.msPerUrb, 47990), c.rate);
  }
}

// Frames per packet for `packets` packets at `rate`, one URB of
// `perUrb` packets at a time, the accumulator carried between URBs.
std::vector<ULONG> Sizes(LONG rate, ULONG packetsPerSecond, ULONG packets, ULONG perUrb, LONG* accumulator) {
  const ULONG base = 48000 / packetsPerSecond;
  const LONG excess = rate - static_cast<LONG>(base * packetsPerSecond);
  std::vector<ULONG> frames;
  std::vector<USBD_ISO_PACKET_DESCRIPTOR> iso(perUrb);
  for (ULONG sent = 0; sent < packets; sent += perUrb) {
    const ULONG bytes =
        CUac2Render::LayOutPackets(iso.data(), perUrb, base, excess, packetsPerSecond, 4, accumulator);
    ULONG offset = 0;
    for (const USBD_ISO_PACKET_DESCRIPTOR& p : iso) {
      EXPECT_EQ(p.Offset, offset);
      offset += p.Length;
      frames.push_back(p.Length / 4);
    }
    EXPECT_EQ(bytes, offset);
  }
  return frames;
}

ULONG Sum(const std::vector<ULONG>& v) {
  ULONG total = 0;
  for (ULONG f : v) total += f;
  return total;
}

TEST(Uac2FeedbackArithmetic, AccumulatorSendsExactlyTheMeasuredRateInTheLongRun) {
  struct Case {
    LONG rate;
    ULONG packetsPerSecond;
  };
  for (const Case& c : {Case{48000, 1000}, Case{48013, 1000}, Case{47987, 1000}, Case{48999, 8000},
                        Case{47001, 8000}, Case{48024, 8000}}) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz at " << c.packetsPerSecond);
    LONG accumulator = 0;
    const std::vector<ULONG> frames = Sizes(c.rate, c.packetsPerSecond, c.packetsPerSecond, 10, &accumulator);
    // One second of packets carries the rate to the frame, and no packet is
    // more than a frame from the mean.
    EXPECT_EQ(static_cast<LONG>(Sum(frames)), c.rate);
    const ULONG base = 48000 / c.packetsPerSecond;
    for (ULONG f : frames) EXPECT_LE(f > base ? f - base : base - f, 1u);
    EXPECT_EQ(accumulator, 0);
  }
}

TEST(Uac2FeedbackArithmetic, AccumulatorCarriesAcrossARateChangeBelowNominal) {
  // 48.5 frames per millisecond for a while, then the device slows to
  // 47.5: what was sent ahead is paid back, the debt carried as a negative
  // remainder, so the frames sent stay within a packet's fraction of the
  // rates asked for.
  LONG accumulator = 0;
  const std::vector<ULONG> fast = Sizes(48500, 1000, 3, 3, &accumulator);
  EXPECT_EQ(fast, (std::vector<ULONG>{48, 49, 48}));
  EXPECT_EQ(accumulator, 500);
  const std::vector<ULONG> slow = Sizes(47500, 1000, 4, 4, &accumulator);
  EXPECT_EQ(slow, (std::vector<ULONG>{48, 48, 47, 48}));
  EXPECT_EQ(accumulator, -500);
  EXPECT_EQ(static_cast<LONG>(Sum(fast) + Sum(slow)) * 1000 + accumulator, 48500 * 3 + 47500 * 4);
}

}  // namespace
