// The Audio Class 2.0 entities on a simulated 2.0 device: the requests they
// send, what they make of short, odd and refused replies, the nodes they
// build, and the terminals' categories, jacks and output types.
#include <gtest/gtest.h>

#include <cstring>

#include "kernel/debug.h"
#include "tests/support/KernelTest.h"
#include "tests/topology/support/Testbed.h"
#include "tests/variants/uac2/support/Uac2Devices.h"
#include "usb/usbaudio.h"
#include "usb/usbaudio2.h"
#include "variants/uac2/CUac2ClockSource.h"
#include "variants/uac2/CUac2FeatureUnit.h"
#include "variants/uac2/CUac2MixerSelector.h"
#include "variants/uac2/CUac2Terminals.h"

namespace {

using namespace uac2test;
using topotest::Testbed;

constexpr uint8_t kClock = 9;
constexpr uint8_t kUnit = 2;

class Uac2EntityTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
  }
};

// A fault answering every matching IN request with `reply`.
sim::ControlFault Answer(sim::RequestMatch match, Bytes reply) {
  sim::ControlFault f;
  f.match = match;
  f.action = sim::FaultAction::ReplyWith;
  f.reply = std::move(reply);
  return f;
}

sim::RequestMatch ToEntity(uint8_t id, uint8_t request, uint8_t cs) {
  sim::RequestMatch m = sim::RequestMatch::ClassToUnit(id, request);
  m.valueHigh = cs;
  return m;
}

Bytes Subranges(uint16_t count, const std::vector<std::array<uint32_t, 3>>& ranges) {
  Bytes out = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)};
  for (const auto& r : ranges)
    for (uint32_t v : r) sim::PutLe32(out, v);
  return out;
}

struct Seen {
  uint8_t requestType, request;
  uint16_t value, index, length;
  bool operator==(const Seen&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Seen& s) {
  return os << std::hex << int(s.requestType) << " " << int(s.request) << " " << s.value << " " << s.index << " "
            << std::dec << s.length;
}
std::vector<Seen> Log(Testbed& bed) {
  std::vector<Seen> out;
  for (const sim::RequestRecord& r : bed.TakeRequests())
    out.push_back({r.setup.bmRequestType, r.setup.bRequest, r.setup.wValue, r.setup.wIndex, r.setup.wLength});
  return out;
}

// ---- Clock source ---------------------------------------------------------------------------

sim::DeviceProfile ThreeRates() {
  sim::DeviceProfile p = sim::DefaultProfile();
  p.clockRates[kClock] = {44100, 48000, 96000};
  return p;
}

TEST_F(Uac2EntityTest, ClockRequestsNameTheEntityAndTheInterface) {
  Testbed bed({ClockSource(kClock)}, ThreeRates(), true);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto* clock = bed.Build<CUac2ClockSource>(ClockSource(kClock), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  bed.TakeRequests();
  IClockSource* source = clock;
  ULONG count = 0, rate = 0;
  UCHAR valid = 0;
  EXPECT_EQ(source->GetRateCount(&count), STATUS_SUCCESS);
  EXPECT_EQ(count, 3u);
  ULONG rates[2] = {};
  count = 2;  // room for two of the three
  EXPECT_EQ(source->GetRateList(&count, rates), STATUS_SUCCESS);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(rates[0], 44100u);
  EXPECT_EQ(rates[1], 48000u);
  EXPECT_EQ(source->SetRate(96000), STATUS_SUCCESS);
  EXPECT_EQ(source->GetRate(&rate), STATUS_SUCCESS);
  EXPECT_EQ(rate, 96000u);
  EXPECT_EQ(source->IsClockValid(&valid), STATUS_SUCCESS);
  EXPECT_EQ(valid, 1);
  const std::vector<Seen> expected = {
      // The count (one subrange's room), then the count again and the list.
      {0xA1, USB_AUDIO2_RANGE, 0x0100, 0x0900, 14}, {0xA1, USB_AUDIO2_RANGE, 0x0100, 0x0900, 14},
      {0xA1, USB_AUDIO2_RANGE, 0x0100, 0x0900, 26},
      {0x21, USB_AUDIO2_CUR, 0x0100, 0x0900, 4},    {0xA1, USB_AUDIO2_CUR, 0x0100, 0x0900, 4},
      {0xA1, USB_AUDIO2_CUR, 0x0200, 0x0900, 1},
  };
  EXPECT_EQ(Log(bed), expected);
  // A descriptor of another kind is not a clock.
  bed.Build<CUac2ClockSource>(InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, kClock), &status);
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
}

TEST_F(Uac2EntityTest, ClockRepliesAreReadOnlyAsFarAsTheyCameAndAStreamCarries) {
  Testbed bed({ClockSource(kClock)}, ThreeRates(), true);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto* clock = bed.Build<CUac2ClockSource>(ClockSource(kClock), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  IClockSource* source = clock;
  const sim::RequestMatch range = ToEntity(kClock, USB_AUDIO2_RANGE, USB_AUDIO2_CS_SAM_FREQ_CONTROL);
  const sim::RequestMatch cur = ToEntity(kClock, USB_AUDIO2_CUR, USB_AUDIO2_CS_SAM_FREQ_CONTROL);

  // Three announced, two and a half sent: two rates.
  Bytes cut = Subranges(3, {{44100, 44100, 0}, {48000, 48000, 0}, {96000, 96000, 0}});
  cut.resize(cut.size() - 6);
  bed.Device().AddFault(Answer(range, cut));
  ULONG rates[3] = {1, 1, 1};
  ULONG count = 3;
  EXPECT_EQ(source->GetRateList(&count, rates), STATUS_SUCCESS);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(rates[2], 1u);

  // A continuous subrange fails the list; the discrete ones are kept.
  bed.Device().ClearFaults();
  bed.Device().AddFault(Answer(range, Subranges(2, {{44100, 44100, 0}, {8000, 48000, 1}})));
  count = 2;
  EXPECT_EQ(source->GetRateList(&count, rates), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(rates[0], 44100u);
  // ... and a clock built on such a device fails its Init.
  bed.Build<CUac2ClockSource>(ClockSource(kClock), &status);
  EXPECT_FALSE(NT_SUCCESS(status));

  // A rate or a validity shorter than its value leaves the variable alone.
  bed.Device().ClearFaults();
  bed.Device().AddFault(Answer(cur, {0x80, 0xBB}));
  sim::ControlFault noValidity{ToEntity(kClock, USB_AUDIO2_CUR, USB_AUDIO2_CS_CLOCK_VALID_CONTROL),
                               sim::FaultAction::ShortReply, 0};
  bed.Device().AddFault(noValidity);
  ULONG rate = 1234;
  UCHAR valid = 7;
  EXPECT_EQ(source->GetRate(&rate), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(rate, 1234u);
  EXPECT_EQ(source->IsClockValid(&valid), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(valid, 7);

  // Rates no stream can carry are left out of the list.
  bed.Device().ClearFaults();
  bed.Device().AddFault(Answer(range, Subranges(6, {{0, 0, 0},
                                                    {48000, 48000, 0},
                                                    {0xFFFFFC18, 0xFFFFFC18, 0},
                                                    {0xFFFFFFFF, 0xFFFFFFFF, 0},
                                                    {24576001, 24576001, 0},
                                                    {24576000, 24576000, 0}})));
  ULONG wide[6] = {};
  count = 6;
  EXPECT_EQ(source->GetRateList(&count, wide), STATUS_SUCCESS);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(wide[0], 48000u);
  EXPECT_EQ(wide[1], 24576000u);
  // A current rate no stream could run at is no answer.
  for (uint32_t bad : {0u, 0xFFFFFFFFu}) {
    bed.Device().ClearFaults();
    Bytes reply;
    sim::PutLe32(reply, bad);
    bed.Device().AddFault(Answer(cur, reply));
    EXPECT_EQ(source->GetRate(&rate), STATUS_DEVICE_DATA_ERROR) << bad;
    EXPECT_EQ(rate, 1234u);
  }
}

TEST_F(Uac2EntityTest, FixedClockIsNotSetButServesTheRateItRunsAt) {
  // Frequency control read-only (bit pair 01), validity read-only: the
  // device stalls a SET CUR of the frequency.
  constexpr uint8_t kReadOnly = 0x05;
  Testbed bed({ClockSource(kClock, kReadOnly)}, ThreeRates(), true);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto* clock = bed.Build<CUac2ClockSource>(ClockSource(kClock, kReadOnly), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  bed.TakeRequests();
  IClockSource* source = clock;
  platform::debug::Clear();
  EXPECT_EQ(source->SetRate(48000), STATUS_SUCCESS);
  EXPECT_EQ(source->SetRate(44100), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(platform::debug::Contains("fixed at 48000 Hz; it cannot run at 44100 Hz"));
  // Only the current rate was read, twice; nothing was sent.
  const std::vector<Seen> expected = {{0xA1, USB_AUDIO2_CUR, 0x0100, 0x0900, 4},
                                      {0xA1, USB_AUDIO2_CUR, 0x0100, 0x0900, 4}};
  EXPECT_EQ(Log(bed), expected);
  // A rate that cannot be read is not taken for the one wanted.
  bed.Device().AddFault({ToEntity(kClock, USB_AUDIO2_CUR, USB_AUDIO2_CS_SAM_FREQ_CONTROL)});
  EXPECT_FALSE(NT_SUCCESS(source->SetRate(48000)));
}

// ---- Feature unit ---------------------------------------------------------------------------

constexpr uint32_t kRead = 1, kReadWrite = 3;
constexpr uint32_t Pair(uint8_t cs, uint32_t bits) { return bits << (2 * cs - 2); }
constexpr uint32_t kMute = Pair(USB_AUDIO_FU_MUTE_CONTROL, kReadWrite);

sim::DeviceProfile LevelProfile() {
  sim::DeviceProfile p = sim::DefaultProfile();
  p.controlRanges[USB_AUDIO_FU_VOLUME_CONTROL] = {-0x3C00, 0, 0x0080, -0x0C00};
  p.controlRanges[USB_AUDIO_FU_BASS_CONTROL] = {-12, 12, 1, 0};
  p.controlRanges[0x82] = {-0x3C00, 0, 0x0100, 0};
  p.controlRanges[0x90] = {0, 1, 1, 0};
  return p;
}

TEST_F(Uac2EntityTest, FeatureUnitAddressesTheChannelsItsEntriesName) {
  struct Case {
    const char* name;
    std::vector<uint32_t> entries;  // master, then channels
    ULONG count;
    std::vector<uint8_t> wireChannels;  // per logical channel
  };
  const uint32_t volume = Pair(USB_AUDIO_FU_VOLUME_CONTROL, kReadWrite);
  const Case cases[] = {
      {"master only", {kMute | volume}, 1, {0}},
      {"left and right", {kMute, volume, volume}, 2, {1, 2}},
      {"only the first channel: it stands for the unit", {kMute, volume, 0}, 1, {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes d = FeatureUnit(kUnit, 1, c.entries);
    Testbed bed({d}, LevelProfile(), true);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto* unit = bed.Build<CUac2FeatureUnit>(d, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ILevelControl* level = unit;
    ULONG count = 0;
    EXPECT_EQ(level->GetLevelChannelCount(USB_AUDIO_FU_VOLUME_CONTROL, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, c.count);
    bed.TakeRequests();
    for (ULONG ch = 0; ch < count; ++ch) {
      LONG value = 0;
      EXPECT_EQ(level->GetLevel(USB_AUDIO_FU_VOLUME_CONTROL, ch, &value), STATUS_SUCCESS);
      EXPECT_EQ(value, -0x0C00 * 256);
    }
    std::vector<Seen> expected;
    for (uint8_t wire : c.wireChannels)
      expected.push_back({0xA1, USB_AUDIO2_CUR, static_cast<uint16_t>(0x0200 | wire), 0x0200, 2});
    EXPECT_EQ(Log(bed), expected);
  }
}

TEST_F(Uac2EntityTest, FeatureUnitRefusesWhatItsEntriesDoNotAllowWithoutAsking) {
  // Volume readable only, on the master entry alone (bLength 10): there is
  // no next channel to fall back to.
  const Bytes d = FeatureUnit(kUnit, 1, {kMute | Pair(USB_AUDIO_FU_VOLUME_CONTROL, kRead)});
  ASSERT_EQ(d[0], 10);
  Testbed bed({d}, LevelProfile(), true);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto* unit = bed.Build<CUac2FeatureUnit>(d, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  bed.TakeRequests();
  ILevelControl* level = unit;
  EXPECT_EQ(level->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(level->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 1, 0), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(bed.TakeRequests().empty());
}

TEST_F(Uac2EntityTest, FeatureUnitLevelsOnTheWire) {
  const Bytes d = FeatureUnit(kUnit, 1,
                              {kMute | Pair(USB_AUDIO_FU_VOLUME_CONTROL, kReadWrite) |
                               Pair(USB_AUDIO_FU_BASS_CONTROL, kReadWrite)});
  Testbed bed({d}, LevelProfile(), true);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto* unit = bed.Build<CUac2FeatureUnit>(d, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ILevelControl* level = unit;
  // RANGE gives the node its dB steps: 1/256 dB on the wire, 1/65536 here.
  LONG maximum = 0, minimum = 0, step = 0;
  EXPECT_EQ(level->GetLevelRange(USB_AUDIO_FU_VOLUME_CONTROL, &maximum, &minimum, &step), STATUS_SUCCESS);
  EXPECT_EQ(minimum, -60 * 65536);
  EXPECT_EQ(maximum, 0);
  EXPECT_EQ(step, 65536 / 2);
  EXPECT_EQ(level->GetLevelRange(USB_AUDIO_FU_BASS_CONTROL, &maximum, &minimum, &step), STATUS_SUCCESS);
  EXPECT_EQ(minimum, -12 * 16384);
  EXPECT_EQ(step, 16384);

  // Silence: volume's own value 0x8000, bass 0 dB.
  bed.TakeRequests();
  EXPECT_EQ(level->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, LONG(0x80000000)), STATUS_SUCCESS);
  EXPECT_EQ(level->SetLevel(USB_AUDIO_FU_BASS_CONTROL, 0, LONG(0x80000000)), STATUS_SUCCESS);
  EXPECT_EQ(level->SetLevel(USB_AUDIO_FU_VOLUME_CONTROL, 0, -6 * 65536), STATUS_SUCCESS);
  const std::vector<sim::RequestRecord> sent = bed.TakeRequests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].data, (Bytes{0x00, 0x80}));
  EXPECT_EQ(sent[1].data, (Bytes{0x00}));
  EXPECT_EQ(sent[2].data, (Bytes{0x00, 0xFA}));

  // A level range in two subranges is not understood, and a unit whose
  // volume node cannot learn its range fails.
  Bytes two = {2, 0};
  for (uint16_t v : {0xC400, 0x0000, 0x0100, 0xC400, 0x0000, 0x0100}) sim::PutLe16(two, v);
  bed.Device().AddFault(Answer(ToEntity(kUnit, USB_AUDIO2_RANGE, USB_AUDIO_FU_VOLUME_CONTROL), two));
  EXPECT_EQ(level->GetLevelRange(USB_AUDIO_FU_VOLUME_CONTROL, &maximum, &minimum, &step), STATUS_UNSUCCESSFUL);
  bed.Build<CUac2FeatureUnit>(d, &status);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
}

// The render unit's vendor block: L at 16-17, then the master's and one
// channel's words; the software volume (0x82, pair 2) and the device
// switch (0x90, pair 16) on the master.
Bytes VendorBlock(uint16_t declaredLength, size_t size = 26) {
  Bytes block(size, 0);
  block[16] = static_cast<uint8_t>(declaredLength);
  block[17] = static_cast<uint8_t>(declaredLength >> 8);
  const uint32_t master = Pair(2, kReadWrite) | Pair(16, kReadWrite);
  if (size >= 22) std::memcpy(block.data() + 18, &master, 4);
  return block;
}

std::vector<ULONG> NodeTypes(Testbed& bed) {
  std::vector<ULONG> types;
  for (ULONG i = 0; i < bed.NodeCount(); ++i) types.push_back(bed.Node(i)->GetType());
  return types;
}

TEST_F(Uac2EntityTest, FeatureUnitNodesInOrderWithTheVendorBlocksControls) {
  const Bytes d = FeatureUnit(kUnit, 1,
                              {kMute | Pair(USB_AUDIO_FU_VOLUME_CONTROL, kReadWrite) |
                                   Pair(USB_AUDIO_FU_BASS_CONTROL, kReadWrite) |
                                   Pair(USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL, kReadWrite),
                               0});
  struct Case {
    const char* name;
    std::optional<Bytes> block;
    std::optional<Bytes> secondReply;  // what MEM 0 answers instead of the block
    std::vector<ULONG> types;
    bool vendorControls;
  };
  const std::vector<ULONG> plain = {NODE_TYPE_MUTE, NODE_TYPE_VOLUME, NODE_TYPE_BASS, NODE_TYPE_AGC};
  std::vector<ULONG> withVendor = plain;
  withVendor.push_back(NODE_TYPE_DEVICE_SWITCH);
  withVendor.push_back(NODE_TYPE_VOLUME);
  const Case cases[] = {
      {"a vendor block", VendorBlock(26), std::nullopt, withVendor, true},
      {"no vendor block (MEM stalls)", std::nullopt, std::nullopt, plain, false},
      {"a block shorter than its header", VendorBlock(10), std::nullopt, plain, false},
      // The length inside the block grows on the second read: only the
      // words received count.
      {"a block claiming more than it sent", VendorBlock(26), VendorBlock(400), withVendor, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::registry::Reset();
    sim::DeviceProfile profile = LevelProfile();
    if (c.block) profile.unitMemory[kUnit] = *c.block;
    Testbed bed({d}, profile, true);
    if (c.secondReply) {
      sim::RequestMatch whole = sim::RequestMatch::ClassToUnit(kUnit, USB_AUDIO2_MEM);
      whole.value = 0;
      bed.Device().AddFault(Answer(whole, *c.secondReply));
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto* unit = bed.Build<CUac2FeatureUnit>(d, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    // Consecutive ids from the model's count, in the unit's order.
    EXPECT_EQ(NodeTypes(bed), c.types);
    EXPECT_EQ(unit->HasControl(0x82), c.vendorControls);
    EXPECT_EQ(unit->HasControl(0x90), c.vendorControls);
    ULONG count = 0;
    EXPECT_EQ(static_cast<ISwitchControl*>(unit)->GetSwitchChannelCount(0x90, &count),
              c.vendorControls ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
  }
}

// ---- Terminals ------------------------------------------------------------------------------

TEST_F(Uac2EntityTest, TerminalCategoriesByType) {
  struct Case {
    USHORT type;
    PinCategory input, output, changed;
  };
  const Case cases[] = {
      {0x0101, PIN_CATEGORY_STREAM, PIN_CATEGORY_STREAM, PIN_CATEGORY_SPK},
      {0x0201, PIN_CATEGORY_MIC, PIN_CATEGORY_SPK, PIN_CATEGORY_SPK},
      {0x0206, PIN_CATEGORY_MIC, PIN_CATEGORY_SPK, PIN_CATEGORY_SPK},
      {0x0302, PIN_CATEGORY_AUX, PIN_CATEGORY_HP, PIN_CATEGORY_HP},
      {0x0401, PIN_CATEGORY_HANDSET, PIN_CATEGORY_HANDSET, PIN_CATEGORY_HANDSET},
      {0x0402, PIN_CATEGORY_HANDSET, PIN_CATEGORY_HEADSET, PIN_CATEGORY_HEADSET},
      {0x0403, PIN_CATEGORY_SPEAKERPHONE, PIN_CATEGORY_SPK, PIN_CATEGORY_SPK},
      {0x0405, PIN_CATEGORY_SPEAKERPHONE, PIN_CATEGORY_SPK, PIN_CATEGORY_SPK},
      {0x0601, PIN_CATEGORY_AUX, PIN_CATEGORY_LINE, PIN_CATEGORY_LINE},
      {0x0603, PIN_CATEGORY_LINE, PIN_CATEGORY_LINE, PIN_CATEGORY_LINE},
      {0x0605, PIN_CATEGORY_SPDIF, PIN_CATEGORY_SPDIF, PIN_CATEGORY_SPDIF},
      {0x0301, PIN_CATEGORY_AUX, PIN_CATEGORY_SPK, PIN_CATEGORY_SPK},
      {0x0710, PIN_CATEGORY_AUX, PIN_CATEGORY_SPK, PIN_CATEGORY_SPK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.type);
    EXPECT_EQ(Uac2InputTerminalCategory(c.type), c.input);
    EXPECT_EQ(Uac2OutputTerminalCategory(c.type), c.output);
    EXPECT_EQ(Uac2OutputTerminalChangeCategory(c.type), c.changed);
  }
}

TEST_F(Uac2EntityTest, JackEntriesBecomeRecords) {
  // Colour index 5 (green), connection 1 (3.5 mm), front (2), external (0),
  // presence bits set.
  const JackRecord r = Uac2JackRecord(0x3, 0x02015100);
  EXPECT_EQ(r.ChannelMapping, 0x3u);
  EXPECT_EQ(r.ConnectionType, 1u);
  EXPECT_EQ(r.GeoLocation, 2u);
  EXPECT_EQ(r.GenLocation, 0u);
  EXPECT_EQ(r.IsConnected, 1u);
  EXPECT_EQ(r.PortConnection, 0u);
  EXPECT_EQ(Uac2JackRecord(0x4, 0x30019000).GenLocation, 3u);
  EXPECT_EQ(Uac2JackRecord(0x4, 0x30019000).IsConnected, 0u);
  EXPECT_NE(Uac2JackRecord(0x3, 0x5000).Color, Uac2JackRecord(0x3, 0x6000).Color);
}

constexpr uint16_t kConnector = 0x04;

TEST_F(Uac2EntityTest, InputJacksFollowLivePresenceAndAFailedReadKeepsTheLastAnswer) {
  const Bytes d = InputTerminal(4, USB_AUDIO_TERMINAL_MICROPHONE, kClock, 1, kConnector);
  sim::DeviceProfile profile = sim::DefaultProfile();
  profile.terminals[4].jacks = {{0x4, 0x01019000}, {0x8, 0x01019100}};
  profile.presenceMask = 0x4;
  Testbed bed({d}, profile, true);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto* terminal = bed.Build<CUac2InputTerminal>(d, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ULONG count = 0;
  EXPECT_EQ(terminal->GetJackCount(&count, 0), STATUS_SUCCESS);
  ASSERT_EQ(count, 2u);
  JackRecord jacks[2] = {};
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks - 1, jacks, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks, jacks, 0), STATUS_SUCCESS);
  EXPECT_EQ(jacks[0].IsConnected, 1u);
  EXPECT_EQ(jacks[1].IsConnected, 0u);
  // A presence read that fails says nothing new: the jacks keep the last
  // mask the device gave, until it answers again.
  sim::RequestMatch connector = ToEntity(4, USB_AUDIO2_CUR, USB_AUDIO2_TE_CONNECTOR_CONTROL);
  connector.value = USB_AUDIO2_TE_CONNECTOR_CONTROL << 8;
  bed.Device().SetPresenceMask(0x8, 0);
  for (sim::FaultAction action : {sim::FaultAction::Stall, sim::FaultAction::ShortReply}) {
    bed.Device().ClearFaults();
    bed.Device().AddFault({connector, action, 4});
    jacks[0] = jacks[1] = JackRecord{};
    EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks, jacks, 0), STATUS_SUCCESS);
    EXPECT_EQ(jacks[0].ChannelMapping, 0x4u);
    EXPECT_EQ(jacks[0].IsConnected, 1u);
    EXPECT_EQ(jacks[1].IsConnected, 0u);
  }
  bed.Device().ClearFaults();
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks, jacks, 0), STATUS_SUCCESS);
  EXPECT_EQ(jacks[0].IsConnected, 0u);
  EXPECT_EQ(jacks[1].IsConnected, 1u);
  // A device that never answered: its jacks count as connected, so that it
  // still streams.
  bed.Device().AddFault({connector});
  auto* unanswered = bed.Build<CUac2InputTerminal>(d, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(unanswered->GetJackDescriptions(sizeof jacks, jacks, 0), STATUS_SUCCESS);
  EXPECT_EQ(jacks[0].IsConnected, 1u);
  EXPECT_EQ(jacks[1].IsConnected, 1u);
  // Two jacks announced, one and a half sent: one jack.
  bed.Device().ClearFaults();
  sim::RequestMatch jackInfo = sim::RequestMatch::ClassToUnit(4, USB_AUDIO2_CUR);
  jackInfo.value = USB_AUDIO2_JACK_INFO_VALUE;
  bed.Device().AddFault(Answer(jackInfo, {2, 0x4, 0, 0, 0, 0x00, 0x90, 0x01, 0x01, 0x8, 0, 0, 0}));
  auto* cut = bed.Build<CUac2InputTerminal>(d, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(cut->GetJackCount(&count, 0), STATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
  // A device that will not tell its jacks fails the terminal.
  bed.Device().ClearFaults();
  bed.Device().AddFault({jackInfo});
  bed.Build<CUac2InputTerminal>(d, &status);
  EXPECT_FALSE(NT_SUCCESS(status));
}

// Speaker, headphones and S/PDIF on one connector.
sim::DeviceProfile ThreeTypes() {
  sim::DeviceProfile p = sim::DefaultProfile();
  p.terminals[3].outputTypes = {{0x0301, {{0x3, 0x01015000}}},
                                {0x0302, {{0x3, 0x01014000}}},
                                {0x0605, {{0x3, 0x01060000}, {0x3, 0x01060000}, {0x3, 0x01060000}}}};
  p.presenceMask = 0x3;
  return p;
}

TEST_F(Uac2EntityTest, OutputTerminalWithThreeTypesBuildsAPinEachAndATypeSwitch) {
  const Bytes d = OutputTerminal(3, 0x0301, 2, kClock, kConnector);
  struct Case {
    const char* name;
    std::optional<ULONG> stored;  // "UACUnit03"
    std::optional<ULONG> initBySelection;
    uint16_t deviceCurrent;
    PinCategory current;
  };
  const Case cases[] = {
      {"nothing stored: the descriptor's type", std::nullopt, std::nullopt, 0x0605, PIN_CATEGORY_SPK},
      {"stored headphones win over the device", PIN_CATEGORY_HP, 0, 0x0605, PIN_CATEGORY_HP},
      {"or the device's type, when told to", PIN_CATEGORY_HP, 1, 0x0605, PIN_CATEGORY_SPDIF},
      // A value no type has (stored for another device, or by hand) leaves
      // the device's own selection.
      {"a stored category no type has", PIN_CATEGORY_HEADSET, std::nullopt, 0x0605, PIN_CATEGORY_SPDIF},
      {"a stored value past every category", 99, std::nullopt, 0x0302, PIN_CATEGORY_HP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::registry::Reset();
    sim::DeviceProfile profile = ThreeTypes();
    Testbed bed({d}, profile, true);
    static_cast<sim::Uac2Device&>(bed.Device()).SetTerminalType(3, c.deviceCurrent, false);
    if (c.stored) bed.PutSetting(u"UACUnit03", *c.stored);
    if (c.initBySelection) bed.PutSetting(u"INITOTTYPEBYSEL", *c.initBySelection);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto* terminal = bed.Build<CUac2OutputTerminal>(d, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(NodeTypes(bed), (std::vector<ULONG>{NODE_TYPE_OUTPUT_PIN, NODE_TYPE_OUTPUT_PIN, NODE_TYPE_OUTPUT_PIN,
                                                   NODE_TYPE_OUTPUT_TYPE}));
    PinCategory current = 0;
    EXPECT_EQ(terminal->GetCategory(&current), STATUS_SUCCESS);
    EXPECT_EQ(current, c.current);
    const uint16_t selected = c.current == PIN_CATEGORY_HP ? 0x0302 : c.current == PIN_CATEGORY_SPK ? 0x0301 : 0x0605;
    EXPECT_EQ(static_cast<sim::Uac2Device&>(bed.Device()).TerminalType(3), selected);
    ULONG types[5] = {};
    ULONG count = 0;
    EXPECT_EQ(terminal->GetTypeCount(&count), STATUS_SUCCESS);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(terminal->GetTypeList(types), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(types, types + 3),
              (std::vector<ULONG>{PIN_CATEGORY_SPK, PIN_CATEGORY_HP, PIN_CATEGORY_SPDIF}));
  }
}

TEST_F(Uac2EntityTest, JacksOfAnUnselectedTypeAreAllInOrAllOut) {
  const Bytes d = OutputTerminal(3, 0x0301, 2, kClock, kConnector);
  for (bool setJackConnect : {false, true}) {
    SCOPED_TRACE(setJackConnect);
    platform::registry::Reset();
    Testbed bed({d}, ThreeTypes(), true);
    if (setJackConnect) bed.PutSetting(u"SetJackConnect", ULONG(1));
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto* terminal = bed.Build<CUac2OutputTerminal>(d, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ULONG count = 0;
    EXPECT_EQ(terminal->GetJackCount(&count, 2), STATUS_SUCCESS);
    ASSERT_EQ(count, 3u);
    JackRecord jacks[3] = {};
    // Two records' room for three jacks.
    EXPECT_EQ(terminal->GetJackDescriptions(72, jacks, 2), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks, jacks, 2), STATUS_SUCCESS);
    for (const JackRecord& j : jacks) EXPECT_EQ(j.IsConnected, setJackConnect ? 1u : 0u);
    EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks, jacks, 3), STATUS_INVALID_PARAMETER);
  }
}

TEST_F(Uac2EntityTest, TypeListsAreTakenOnlyAsFarAsTheyFit) {
  const Bytes d = OutputTerminal(3, 0x0301, 2, kClock, kConnector);
  sim::RequestMatch typeRange = sim::RequestMatch::ClassToUnit(3, USB_AUDIO2_RANGE);
  typeRange.value = USB_AUDIO2_TERMINAL_TYPE_VALUE;
  auto typeList = [](uint16_t count, const std::vector<uint16_t>& types) {
    Bytes out = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)};
    for (uint16_t t : types)
      for (uint16_t v : {t, t, uint16_t(0)}) sim::PutLe16(out, v);
    return out;
  };
  // Six types announced: more than the type switch takes, refused before
  // any type is selected or read.
  {
    Testbed bed({d}, ThreeTypes(), true);
    bed.Device().AddFault(Answer(typeRange, typeList(6, {0x0301, 0x0302, 0x0605, 0x0603, 0x0304, 0x0305})));
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    bed.Build<CUac2OutputTerminal>(d, &status);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    for (const Seen& s : Log(bed)) {
      EXPECT_FALSE(s.requestType == 0x21 && s.value == USB_AUDIO2_TERMINAL_TYPE_VALUE) << s;
      EXPECT_NE(s.value, USB_AUDIO2_JACK_INFO_VALUE) << s;
    }
  }
  // Three announced, two whole ones sent: two types.
  {
    Testbed bed({d}, ThreeTypes(), true);
    Bytes cut = typeList(3, {0x0301, 0x0302, 0x0605});
    cut.resize(cut.size() - 3);
    bed.Device().AddFault(Answer(typeRange, cut));
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto* terminal = bed.Build<CUac2OutputTerminal>(d, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ULONG count = 0;
    EXPECT_EQ(terminal->GetTypeCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
  }
}

// ---- Mixer, extension and selector units ----------------------------------------------------

TEST_F(Uac2EntityTest, ExtensionAndMixerUnitsBecomeOneSumNode) {
  for (bool extension : {false, true}) {
    SCOPED_TRACE(extension ? "extension unit" : "mixer unit");
    const Bytes d = extension ? ExtensionUnit(7, {1, 4, 5}) : MixerUnit(7, {1, 4, 5});
    Testbed bed({d}, sim::DefaultProfile(), true);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto* unit = bed.Build<CUac2MixerUnit>(d, &status, extension);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(bed.NodeCount(), 1u);
    EXPECT_EQ(bed.Node(0)->GetType(), NODE_TYPE_SUM);
    EXPECT_EQ(static_cast<ITopoNode*>(static_cast<IUacUnit*>(unit))->GetSourceCount(), 3u);
    ULONG node = 99;
    EXPECT_EQ(unit->OnControlChange(1, 0, &node), STATUS_SUCCESS);
    EXPECT_EQ(node, 0u);
  }
}

TEST_F(Uac2EntityTest, SelectorTakesOnlyInputsItHas) {
  const Bytes d = SelectorUnit(7, {1, 4});
  Testbed bed({d}, sim::DefaultProfile(), true);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto* unit = bed.Build<CUac2SelectorUnit>(d, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ISelector* selector = unit;
  bed.TakeRequests();
  EXPECT_EQ(selector->SetInput(0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(selector->SetInput(3), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(bed.TakeRequests().empty());
  EXPECT_EQ(selector->SetInput(2), STATUS_SUCCESS);
  ULONG input = 0;
  EXPECT_EQ(selector->GetInput(&input), STATUS_SUCCESS);
  EXPECT_EQ(input, 2u);
  const std::vector<Seen> expected = {{0x21, USB_AUDIO2_CUR, 0x0100, 0x0700, 1}, {0xA1, USB_AUDIO2_CUR, 0x0100, 0x0700, 1}};
  EXPECT_EQ(Log(bed), expected);
  ULONG node = 99;
  EXPECT_EQ(unit->OnControlChange(1, 0, &node), STATUS_SUCCESS);
  EXPECT_EQ(node, 0u);
}

}  // namespace
