// The Audio Class 1.0 feature unit against the simulated device: channel
// counts and addressing, level conversions on the wire, ranges, the vendor
// control block and the nodes it builds.
#include <gtest/gtest.h>

#include <optional>

#include "tests/support/KernelTest.h"
#include "tests/topology/support/Testbed.h"
#include "topology/CUac1FeatureUnit.h"

namespace {

using topotest::Bytes;
using topotest::FeatureUnitDescriptor;
using topotest::Testbed;

constexpr LONG kDb = 65536;
constexpr UCHAR kUnit = 5;

class FeatureUnitTest : public testsupport::KernelTest {
 protected:
  // A testbed whose device has exactly this feature unit, built.
  CUac1FeatureUnit* BuildUnit(Testbed& bed, const Bytes& descriptor, NTSTATUS expected = STATUS_SUCCESS) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    CUac1FeatureUnit* unit = bed.Build<CUac1FeatureUnit>(descriptor, &status);
    EXPECT_EQ(status, expected);
    bed.TakeRequests();
    return unit;
  }
};

TEST_F(FeatureUnitTest, ChannelCountsAndUsbChannels) {
  const struct {
    const char* name;
    UCHAR controlSize;
    std::vector<ULONG> bitmaps;  // master first
    ULONG cs;
    ULONG count;
    std::vector<int> usbChannels;  // per logical channel; -1: refused without a request
  } cases[] = {
      {"mute on the master", 1, {0x03, 0x02, 0x02}, 1, 1, {0, -1}},
      {"volume on channels 1 and 2", 1, {0x03, 0x02, 0x02}, 2, 2, {1, 2, -1}},
      {"eight channels: 5/6 and 7/8 swapped", 1, {0x01, 2, 2, 2, 2, 2, 2, 2, 2}, 2, 8, {1, 2, 3, 4, 7, 8, 5, 6}},
      {"only channel 1, not the master", 1, {0x01, 0x02, 0x00}, 2, 1, {1}},
      {"volume on the master only", 2, {0x0003}, 2, 1, {0, -1}},
      {"channels 1 and 3: the second index finds no bitmap 2", 1, {0x01, 0x02, 0x00, 0x02}, 2, 2, {1, -1}},
      {"loudness in two-byte bitmaps", 2, {0x0201}, 10, 1, {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes descriptor = FeatureUnitDescriptor(kUnit, 1, c.controlSize, c.bitmaps);
    Testbed bed({descriptor});
    CUac1FeatureUnit* unit = BuildUnit(bed, descriptor);
    ULONG count = 0;
    EXPECT_EQ(unit->GetLevelChannelCount(c.cs, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, c.count);
    for (ULONG channel = 0; channel < c.usbChannels.size(); ++channel) {
      UCHAR byte = 0;
      LONG level = 0;
      NTSTATUS status = c.cs == 2 ? unit->GetLevel(c.cs, channel, &level) : unit->GetSwitchValue(c.cs, channel, &byte);
      auto requests = bed.TakeRequests();
      if (c.usbChannels[channel] < 0) {
        EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << "channel " << channel;
        EXPECT_TRUE(requests.empty());
        continue;
      }
      EXPECT_EQ(status, STATUS_SUCCESS) << "channel " << channel;
      ASSERT_EQ(requests.size(), 1u);
      EXPECT_EQ(requests[0].setup.wValue, c.cs << 8 | c.usbChannels[channel]) << "channel " << channel;
    }
  }
}

TEST_F(FeatureUnitTest, ControlsTheDescriptorDoesNotHave) {
  // bControlSize 1 with iFeature 1: the string index is not a bitmap of a
  // channel that does not exist, so there is no mute and nothing is built.
  const Bytes noMute = FeatureUnitDescriptor(kUnit, 1, 1, {0x00, 0x02, 0x02}, /*iFeature*/ 1);
  Testbed bed({noMute});
  CUac1FeatureUnit* unit = BuildUnit(bed, noMute, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(unit->HasControl(1));
  EXPECT_EQ(bed.NodeCount(), 0u);
  ULONG count = 9;
  EXPECT_EQ(unit->GetSwitchChannelCount(7, &count), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(unit->GetSwitchChannelCount(7, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(FeatureUnitTest, LevelsOnTheWire) {
  const Bytes descriptor = FeatureUnitDescriptor(kUnit, 1, 2, {0x0007});  // mute, volume, bass on the master
  Testbed bed({descriptor});
  CUac1FeatureUnit* unit = BuildUnit(bed, descriptor);
  const struct {
    const char* name;
    ULONG cs;
    LONG level;
    Bytes wire;
  } sets[] = {
      {"-16 dB", 2, -16 * kDb, {0x00, 0xF0}},
      {"minus infinity is silence", 2, LEVEL_MINUS_INFINITY, {0x00, 0x80}},
      {"+200 dB saturates", 2, 200 * kDb, {0xFF, 0x7F}},
      {"-200 dB saturates short of silence", 2, -200 * kDb, {0x01, 0x80}},
      {"bass +3 dB", 3, 3 * kDb, {0x0C}},
      {"bass +40 dB saturates", 3, 40 * kDb, {0x7F}},
      {"bass minus infinity is its lowest value", 3, LEVEL_MINUS_INFINITY, {0x80}},
  };
  for (const auto& s : sets) {
    SCOPED_TRACE(s.name);
    unit->SetLevel(s.cs, 0, s.level);
    auto requests = bed.TakeRequests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& setup = requests[0].setup;
    EXPECT_EQ(setup.bmRequestType, 0x21);
    EXPECT_EQ(setup.bRequest, 0x01);
    EXPECT_EQ(setup.wValue, s.cs << 8);
    EXPECT_EQ(setup.wIndex, kUnit << 8);
    EXPECT_EQ(requests[0].data, s.wire);
  }

  const struct {
    ULONG cs;
    Bytes device;
    LONG level;
  } gets[] = {{3, {0xF4}, -3 * kDb}, {2, {0x80, 0xFE}, -384 * 256}, {2, {0x00, 0x80}, -128 * kDb}};
  for (const auto& g : gets) {
    ASSERT_TRUE(bed.Device().SetControlValue(kUnit, static_cast<uint8_t>(g.cs), 0, g.device, false));
    LONG level = 0;
    EXPECT_EQ(unit->GetLevel(g.cs, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, g.level);
    auto requests = bed.TakeRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].setup.bmRequestType, 0xA1);
    EXPECT_EQ(requests[0].setup.bRequest, 0x81);
  }
}

TEST_F(FeatureUnitTest, RangeAsksTheFirstChannelWithTheControl) {
  sim::DeviceProfile profile = sim::DefaultProfile();
  profile.unitControlRanges[{kUnit, 2}] = {-0x2000, 0x0100, 0x0080, 0};
  const Bytes perChannel = FeatureUnitDescriptor(kUnit, 1, 1, {0x01, 0x02, 0x02});
  Testbed bed({perChannel}, profile);
  CUac1FeatureUnit* unit = BuildUnit(bed, perChannel);
  LONG maximum = 1, minimum = 1, step = 1;
  EXPECT_EQ(unit->GetLevelRange(2, &maximum, &minimum, &step), STATUS_SUCCESS);
  EXPECT_EQ(maximum, kDb);
  EXPECT_EQ(minimum, -32 * kDb);
  EXPECT_EQ(step, kDb / 2);
  auto requests = bed.TakeRequests();
  ASSERT_EQ(requests.size(), 3u);
  const UCHAR order[] = {0x83, 0x82, 0x84};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(requests[i].setup.bRequest, order[i]);
    EXPECT_EQ(requests[i].setup.wValue, 0x0201);
  }

  // The second request stalls: nothing is written, the third is not sent.
  sim::ControlFault stall;
  stall.match = sim::RequestMatch::ClassToUnit(kUnit, 0x82);
  bed.Device().AddFault(stall);
  maximum = minimum = step = 7;
  EXPECT_NE(unit->GetLevelRange(2, &maximum, &minimum, &step), STATUS_SUCCESS);
  EXPECT_EQ(maximum, 7);
  EXPECT_EQ(minimum, 7);
  EXPECT_EQ(step, 7);
  EXPECT_EQ(bed.TakeRequests().size(), 2u);
  EXPECT_EQ(unit->GetLevelRange(2, &maximum, nullptr, &step), STATUS_INVALID_PARAMETER);

  const Bytes masterOnly = FeatureUnitDescriptor(kUnit, 1, 2, {0x0003});
  Testbed master({masterOnly});
  unit = BuildUnit(master, masterOnly);
  EXPECT_EQ(unit->GetLevelRange(2, &maximum, &minimum, &step), STATUS_SUCCESS);
  for (const auto& r : master.TakeRequests()) EXPECT_EQ(r.setup.wValue, 0x0200);
}

// The vendor block as the device's memory holds it: 16 bytes, then its
// length, the control size and the bitmaps.
Bytes VendorBlock(USHORT length, UCHAR controlSize, const std::vector<USHORT>& bitmaps) {
  Bytes block(16, 0xA5);
  block.push_back(static_cast<UCHAR>(length));
  block.push_back(static_cast<UCHAR>(length >> 8));
  block.push_back(controlSize);
  for (USHORT b : bitmaps) {
    block.push_back(static_cast<UCHAR>(b));
    block.push_back(static_cast<UCHAR>(b >> 8));
  }
  return block;
}

TEST_F(FeatureUnitTest, VendorControlBlock) {
  constexpr USHORT kVendor11 = 1 << 10;
  const struct {
    const char* name;
    std::optional<Bytes> memory;
    std::optional<ULONG> shortSecondReply;
    std::optional<ULONG> count;  // of control 0x8B; none: no block
  } cases[] = {
      {"no block: GET_MEM stalls", std::nullopt, std::nullopt, std::nullopt},
      {"master bit 10", VendorBlock(21, 2, {kVendor11}), std::nullopt, 1},
      {"on two channels", VendorBlock(25, 2, {0, kVendor11, kVendor11}), std::nullopt, 2},
      {"shorter than its master bitmap", VendorBlock(19, 2, {kVendor11}), std::nullopt, std::nullopt},
      {"control size 0", VendorBlock(21, 0, {kVendor11}), std::nullopt, std::nullopt},
      {"length beyond what the device sends", VendorBlock(25, 2, {kVendor11}), std::nullopt, std::nullopt},
      {"second reply cut short", VendorBlock(25, 2, {0, kVendor11, kVendor11}), 21u, std::nullopt},
      {"one-byte bitmaps are not understood", VendorBlock(21, 1, {kVendor11}), std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::DeviceProfile profile = sim::DefaultProfile();
    if (c.memory) profile.unitMemory[kUnit] = *c.memory;
    const Bytes descriptor = FeatureUnitDescriptor(kUnit, 1, 1, {0x01});
    Testbed bed({descriptor}, profile);
    if (c.shortSecondReply) {
      sim::ControlFault cut;
      cut.match = sim::RequestMatch::ClassToUnit(kUnit, 0x85);
      cut.match.value = 0;
      cut.action = sim::FaultAction::ShortReply;
      cut.length = *c.shortSecondReply;
      bed.Device().AddFault(cut);
    }
    CUac1FeatureUnit* unit = BuildUnit(bed, descriptor);
    ULONG count = 0;
    UCHAR value = 0;
    if (!c.count) {
      EXPECT_FALSE(unit->HasControl(0x8B));
      EXPECT_EQ(bed.NodeCount(), 1u);  // mute only
      EXPECT_NE(unit->GetSwitchValue(0x8B, 0, &value), STATUS_SUCCESS);
      EXPECT_TRUE(bed.TakeRequests().empty());
      continue;
    }
    EXPECT_TRUE(unit->HasControl(0x8B));
    EXPECT_FALSE(unit->HasControl(0x8C));
    EXPECT_EQ(unit->GetSwitchChannelCount(0x8B, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, *c.count);
    ASSERT_EQ(bed.NodeCount(), 2u);
    EXPECT_EQ(bed.Node(1)->GetType(), NODE_TYPE_PROCESSING);
    EXPECT_EQ(unit->GetSwitchValue(0x8B, 0, &value), STATUS_SUCCESS);
    auto requests = bed.TakeRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].setup.bmRequestType, 0xC1);
    EXPECT_EQ(requests[0].setup.wValue, *c.count > 1 ? 0x8B01 : 0x8B00);
    EXPECT_EQ(unit->SetSwitchValue(0x8B, 0, 1), STATUS_SUCCESS);
    requests = bed.TakeRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].setup.bmRequestType, 0x41);
  }
}

TEST_F(FeatureUnitTest, BuildsOneNodePerControlInOrder) {
  // Mute on the master; volume, bass, AGC and loudness on two channels.
  sim::DeviceProfile profile = sim::DefaultProfile();
  profile.unitMemory[kUnit] = VendorBlock(21, 2, {1 << 10 | 1 << 11});
  const Bytes descriptor = FeatureUnitDescriptor(kUnit, 3, 2, {0x0001, 0x0246, 0x0246});
  Testbed bed({descriptor}, profile);
  CUac1FeatureUnit* unit = BuildUnit(bed, descriptor);
  const ULONG types[] = {NODE_TYPE_MUTE, NODE_TYPE_VOLUME, NODE_TYPE_BASS, NODE_TYPE_AGC, NODE_TYPE_LOUDNESS,
                         NODE_TYPE_PROCESSING, NODE_TYPE_PROCESSING};
  ASSERT_EQ(bed.NodeCount(), std::size(types));
  for (ULONG i = 0; i < std::size(types); ++i) {
    EXPECT_EQ(bed.Node(i)->GetType(), types[i]) << i;
    EXPECT_EQ(bed.Node(i)->GetId(), i);
  }
  EXPECT_EQ(unit->GetId(), kUnit);
  EXPECT_EQ(unit->GetType(), 6u);
  ULONG source = 0, count = 1;
  unit->GetSourceIds(&count, &source);
  EXPECT_EQ(source, 3u);
  ULONG out = 0;
  unit->GetOutputNodeId(&out);
  EXPECT_EQ(out, 6u);
  EXPECT_EQ(unit->OnControlChange(0, 0, &out), STATUS_SUCCESS);

  // A node other than mute that cannot be allocated is left out; the ids
  // stay consecutive.
  const Bytes three = FeatureUnitDescriptor(kUnit, 1, 1, {0x07});
  Testbed skipped({three});
  platform::pool::FailNthAllocationWithTag(UAC_UNIT_DATA_TAG, 2);
  BuildUnit(skipped, three);
  platform::pool::ClearFailures();
  ASSERT_EQ(skipped.NodeCount(), 2u);
  EXPECT_EQ(skipped.Node(1)->GetType(), NODE_TYPE_BASS);
  EXPECT_EQ(skipped.Node(1)->GetId(), 1u);
}

}  // namespace
