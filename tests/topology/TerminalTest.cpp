// Input and output terminals against the simulated device: categories,
// jacks and their live presence, selectable output types.
#include <gtest/gtest.h>

#include "tests/support/KernelTest.h"
#include "tests/topology/support/Testbed.h"
#include "topology/CUac1InputTerminal.h"
#include "topology/CUac1OutputTerminal.h"

namespace {

using topotest::Bytes;
using topotest::InputTerminalDescriptor;
using topotest::OutputTerminalDescriptor;
using topotest::Testbed;

constexpr UCHAR kOut = 7;
constexpr UCHAR kIn = 4;
// Reported in the presence mask (colour index 3: blue) and always connected
// (presence bits set, colour index 1).
constexpr ULONG kPresenceJack = 0x01013000;
constexpr ULONG kAlwaysJack = 0x04011100;

ITerminal* TerminalOf(CUacUnit* unit) {
  ITerminal* terminal = nullptr;
  EXPECT_EQ(unit->QueryInterface(IID_ITerminal, reinterpret_cast<PVOID*>(&terminal)), STATUS_SUCCESS);
  if (terminal) terminal->Release();  // the testbed keeps the unit
  return terminal;
}

PinCategory CategoryOf(ITopoNode* node) {
  ITerminal* terminal = nullptr;
  PinCategory category = 99;
  if (NT_SUCCESS(node->QueryInterface(IID_ITerminal, reinterpret_cast<PVOID*>(&terminal)))) {
    terminal->GetCategory(&category);
    terminal->Release();
  }
  return category;
}

// A request as (bmRequestType, bRequest, wValue, wLength).
using Req = std::tuple<int, int, int, int>;
std::vector<Req> Summary(const std::vector<sim::RequestRecord>& requests) {
  std::vector<Req> out;
  for (const auto& r : requests) out.emplace_back(r.setup.bmRequestType, r.setup.bRequest, r.setup.wValue, r.setup.wLength);
  return out;
}

sim::DeviceProfile TwoTypes(uint16_t current = 0) {
  sim::DeviceProfile profile = sim::DefaultProfile();
  sim::TerminalProfile& t = profile.terminals[kOut];
  t.outputTypes = {{0x0301, {{0x3, kAlwaysJack}}}, {0x0302, {{0x1, kPresenceJack}, {0x2, kPresenceJack}}}};
  t.currentType = current;
  return profile;
}

class TerminalTest : public testsupport::KernelTest {};

TEST_F(TerminalTest, CategoriesByTerminalType) {
  const struct {
    USHORT type;
    PinCategory input, output, outputChange, inputCaps;
  } cases[] = {
      {0x0101, 0, 0, 1, 6},   {0x0201, 7, 1, 1, 7},    {0x0202, 7, 1, 1, 11},   {0x0206, 7, 1, 1, 6},
      {0x0301, 8, 1, 1, 6},   {0x0302, 8, 2, 2, 2},    {0x0401, 13, 13, 13, 13}, {0x0402, 14, 14, 14, 14},
      {0x0403, 15, 1, 1, 6},  {0x0405, 15, 1, 1, 6},   {0x0601, 8, 6, 6, 6},     {0x0603, 6, 6, 6, 6},
      {0x0605, 3, 3, 3, 3},   {0x0710, 8, 1, 1, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(InputTerminalCategory(c.type), c.input);
    EXPECT_EQ(OutputTerminalCategory(c.type), c.output);
    EXPECT_EQ(OutputTerminalChangeCategory(c.type), c.outputChange);
    EXPECT_EQ(InputTerminalCapsCategory(c.type), c.inputCaps);
  }

  // A front microphone reports Mic but asks for its capabilities as FMic.
  Testbed bed({InputTerminalDescriptor(kIn, 0x0202)});
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  CUac1InputTerminal* unit = bed.Build<CUac1InputTerminal>(InputTerminalDescriptor(kIn, 0x0202), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(bed.Model().capsRequests, (std::vector<std::pair<ULONG, ULONG>>{{1, PIN_CATEGORY_FMIC}}));
  EXPECT_EQ(CategoryOf(bed.Node(0)), PIN_CATEGORY_MIC);
  ITerminal* pin = nullptr;
  ASSERT_EQ(bed.Node(0)->QueryInterface(IID_ITerminal, reinterpret_cast<PVOID*>(&pin)), STATUS_SUCCESS);
  DeviceCapsRecord caps{};
  EXPECT_EQ(pin->GetDeviceCaps(&caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.ModelValue, 0x100u + PIN_CATEGORY_FMIC);
  pin->Release();
  EXPECT_EQ(TerminalOf(unit)->GetDeviceCaps(&caps), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(TerminalOf(unit)->SelectType(PIN_CATEGORY_MIC), STATUS_SUCCESS);
  EXPECT_EQ(TerminalOf(unit)->SelectType(PIN_CATEGORY_LINE), STATUS_INVALID_PARAMETER);
}

TEST_F(TerminalTest, JackEntries) {
  const JackRecord always = DecodeJackEntry(0x3, kAlwaysJack);
  EXPECT_EQ(always.ChannelMapping, 3u);
  EXPECT_EQ(always.Color, 0u);
  EXPECT_EQ(always.ConnectionType, 1u);
  EXPECT_EQ(always.GeoLocation, 4u);
  EXPECT_EQ(always.GenLocation, 0u);
  EXPECT_EQ(always.IsConnected, 1u);
  EXPECT_EQ(always.PresenceReported, 0u);
  const JackRecord reported = DecodeJackEntry(0x1, kPresenceJack);
  EXPECT_EQ(reported.Color, 0x0000FFu);
  EXPECT_EQ(reported.ConnectionType, 1u);
  EXPECT_EQ(reported.GeoLocation, 1u);
  EXPECT_EQ(reported.IsConnected, 0u);
  EXPECT_EQ(reported.PresenceReported, 1u);
  EXPECT_EQ(DecodeJackEntry(0, 0xE000u | 0x70000000u).Color, 0xFFFFFFu);
  EXPECT_EQ(DecodeJackEntry(0, 0x70000000u).GenLocation, 7u);
}

TEST_F(TerminalTest, InputJacksFollowLivePresence) {
  sim::DeviceProfile profile = sim::DefaultProfile();
  profile.terminals[kIn].jacks = {{0x1, kPresenceJack}, {0x2, kAlwaysJack}};
  const Bytes mic = InputTerminalDescriptor(kIn, 0x0201);
  Testbed bed({mic}, profile);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ITerminal* terminal = TerminalOf(bed.Build<CUac1InputTerminal>(mic, &status));
  ASSERT_EQ(status, STATUS_SUCCESS);
  ULONG count = 0;
  EXPECT_EQ(terminal->GetJackCount(&count, 0), STATUS_SUCCESS);
  ASSERT_EQ(count, 2u);
  JackRecord jacks[2] = {};
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks - 1, jacks, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks, jacks, 0), STATUS_SUCCESS);
  EXPECT_EQ(jacks[0].IsConnected, 0u);
  EXPECT_EQ(jacks[1].IsConnected, 1u);
  bed.Device().SetPresenceMask(0x1, 0);
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks, jacks, 0), STATUS_SUCCESS);
  EXPECT_EQ(jacks[0].IsConnected, 1u);
  // The pin node sees it once refreshed.
  EXPECT_EQ(bed.Node(0)->RefreshFromDevice(), STATUS_SUCCESS);
  ITerminal* pin = nullptr;
  ASSERT_EQ(bed.Node(0)->QueryInterface(IID_ITerminal, reinterpret_cast<PVOID*>(&pin)), STATUS_SUCCESS);
  JackRecord cached[2] = {};
  EXPECT_EQ(pin->GetJackDescriptions(sizeof cached, cached, 0), STATUS_SUCCESS);
  EXPECT_EQ(cached[0].IsConnected, 1u);
  pin->Release();

  // A presence request that fails says nothing new: the jacks keep the
  // last mask the device gave, until it answers again.
  sim::ControlFault stall;
  stall.match = sim::RequestMatch::VendorToUnit(kIn, 0x81);
  stall.match.value = 0x0200;
  for (sim::FaultAction action : {sim::FaultAction::Stall, sim::FaultAction::ShortReply}) {
    stall.action = action;
    stall.length = 3;
    bed.Device().ClearFaults();
    bed.Device().AddFault(stall);
    bed.Device().SetPresenceMask(0x0, 0);
    jacks[0] = jacks[1] = JackRecord{};
    EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks, jacks, 0), STATUS_SUCCESS);
    EXPECT_EQ(jacks[0].IsConnected, 1u);
    EXPECT_EQ(jacks[1].IsConnected, 1u);
    bed.Device().SetPresenceMask(0x1, 0);
  }
  bed.Device().ClearFaults();
  bed.Device().SetPresenceMask(0x0, 0);
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks, jacks, 0), STATUS_SUCCESS);
  EXPECT_EQ(jacks[0].IsConnected, 0u);

  // A device that never answered: its jacks count as connected, so that it
  // still streams.
  sim::DeviceProfile reportedOnly = sim::DefaultProfile();
  reportedOnly.terminals[kIn].jacks = {{0x1, kPresenceJack}};
  Testbed second({mic}, reportedOnly);
  stall.action = sim::FaultAction::Stall;
  second.Device().AddFault(stall);
  terminal = TerminalOf(second.Build<CUac1InputTerminal>(mic));
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks, jacks, 0), STATUS_SUCCESS);
  EXPECT_EQ(jacks[0].IsConnected, 1u);
}

TEST_F(TerminalTest, TerminalsWithoutJacksBuildTheirPins) {
  // A USB-streaming terminal never has jacks, and a microphone whose device
  // lists none has none either: both still build their pin node.
  const Bytes streaming = InputTerminalDescriptor(1, 0x0101);
  const Bytes mic = InputTerminalDescriptor(kIn, 0x0201);
  const Bytes speaker = OutputTerminalDescriptor(kOut, 0x0301, 1);
  Testbed bed({streaming, mic, speaker});
  NTSTATUS a = STATUS_UNSUCCESSFUL, b = STATUS_UNSUCCESSFUL, c = STATUS_UNSUCCESSFUL;
  bed.Build<CUac1InputTerminal>(streaming, &a);
  bed.Build<CUac1InputTerminal>(mic, &b);
  bed.Build<CUac1OutputTerminal>(speaker, &c);
  EXPECT_EQ(a, STATUS_SUCCESS);
  EXPECT_EQ(b, STATUS_SUCCESS);
  EXPECT_EQ(c, STATUS_SUCCESS);
  ASSERT_EQ(bed.NodeCount(), 3u);
  EXPECT_EQ(CategoryOf(bed.Node(0)), PIN_CATEGORY_STREAM);
  EXPECT_EQ(CategoryOf(bed.Node(2)), PIN_CATEGORY_SPK);
  for (ULONG i = 0; i < 3; ++i) EXPECT_EQ(bed.Node(i)->RefreshFromDevice(), STATUS_SUCCESS) << i;
}

TEST_F(TerminalTest, InputTerminalWithoutMemoryForItsPinFailsItsBuild) {
  // Left without its pin, a terminal would leave the units it feeds with a
  // source that is no node and its stream without its terminal.
  for (const Bytes& d : {InputTerminalDescriptor(1, 0x0101), InputTerminalDescriptor(kIn, 0x0201)}) {
    Testbed bed({d});
    platform::pool::FailNthAllocationWithTag(UAC_UNIT_DATA_TAG, 1);
    NTSTATUS status = STATUS_SUCCESS;
    bed.Build<CUac1InputTerminal>(d, &status);
    platform::pool::ClearFailures();
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(bed.NodeCount(), 0u);
  }
}

TEST_F(TerminalTest, OutputTypesAreReadOneByOneAndTheCurrentIsSelectedLast) {
  const Bytes speaker = OutputTerminalDescriptor(kOut, 0x0301, 5);
  Testbed bed({speaker}, TwoTypes());
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  CUac1OutputTerminal* unit = bed.Build<CUac1OutputTerminal>(speaker, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  const std::vector<Req> expected = {
      {0xC1, 0x81, 0x0800, 2},  {0xC1, 0x86, 0x0800, 2},  {0xC1, 0x86, 0x0800, 14},
      {0x41, 0x81, 0x0800, 2},  {0xC1, 0x81, 0x02FF, 9},  {0xC1, 0x81, 0x02FF, 9},
      {0x41, 0x81, 0x0800, 2},  {0xC1, 0x81, 0x02FF, 9},  {0xC1, 0x81, 0x02FF, 17},
      {0x41, 0x81, 0x0800, 2},
  };
  auto requests = bed.TakeRequests();
  ASSERT_GE(requests.size(), expected.size());
  requests.resize(expected.size());
  EXPECT_EQ(Summary(requests), expected);
  EXPECT_EQ(requests[3].data, (Bytes{0x01, 0x03}));
  EXPECT_EQ(requests[6].data, (Bytes{0x02, 0x03}));
  EXPECT_EQ(requests[9].data, (Bytes{0x01, 0x03}));
  EXPECT_EQ(bed.Device().CurrentOutputType(kOut), 0x0301);

  PinCategory category = 0;
  TerminalOf(unit)->GetCategory(&category);
  EXPECT_EQ(category, PIN_CATEGORY_SPK);
  ASSERT_EQ(bed.NodeCount(), 3u);
  EXPECT_EQ(bed.Node(0)->GetType(), NODE_TYPE_OUTPUT_PIN);
  EXPECT_EQ(CategoryOf(bed.Node(0)), PIN_CATEGORY_SPK);
  EXPECT_EQ(CategoryOf(bed.Node(1)), PIN_CATEGORY_HP);
  EXPECT_EQ(bed.Node(2)->GetType(), NODE_TYPE_OUTPUT_TYPE);
  EXPECT_EQ(bed.Model().capsRequests,
            (std::vector<std::pair<ULONG, ULONG>>{{0, PIN_CATEGORY_SPK}, {0, PIN_CATEGORY_HP}}));
  ULONG count = 0;
  EXPECT_EQ(TerminalOf(unit)->GetJackCount(&count, 1), STATUS_SUCCESS);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(TerminalOf(unit)->GetJackCount(&count, 2), STATUS_INVALID_PARAMETER);
}

TEST_F(TerminalTest, StartingTypeFromSettingsOrDevice) {
  const struct {
    const char* name;
    uint16_t deviceType;
    std::optional<ULONG> stored;
    ULONG selectByDevice;
    PinCategory category;
    uint16_t deviceAfter;
  } cases[] = {
      {"default", 0x0301, std::nullopt, 0, PIN_CATEGORY_SPK, 0x0301},
      {"stored category", 0x0301, PIN_CATEGORY_HP, 0, PIN_CATEGORY_HP, 0x0302},
      {"the device's own type", 0x0302, std::nullopt, 1, PIN_CATEGORY_HP, 0x0302},
      {"the device's type over a stored one", 0x0302, PIN_CATEGORY_SPK, 1, PIN_CATEGORY_HP, 0x0302},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes speaker = OutputTerminalDescriptor(kOut, 0x0301, 5);
    Testbed bed({speaker}, TwoTypes(c.deviceType));
    if (c.stored) bed.PutSetting(u"UACUnit07", *c.stored);
    bed.PutSetting(u"INITOTTYPEBYSEL", c.selectByDevice);
    ITerminal* terminal = TerminalOf(bed.Build<CUac1OutputTerminal>(speaker));
    PinCategory category = 0;
    terminal->GetCategory(&category);
    EXPECT_EQ(category, c.category);
    EXPECT_EQ(bed.Device().CurrentOutputType(kOut), c.deviceAfter);
    IOutputTypeNode* typeNode = bed.NodeAs<IOutputTypeNode>(2, IID_IOutputTypeNode);
    ASSERT_NE(typeNode, nullptr);
    typeNode->GetCategory(&category);
    EXPECT_EQ(category, c.category);
  }
}

TEST_F(TerminalTest, TypeListsOfOneAndOfMoreThanFive) {
  const Bytes speaker = OutputTerminalDescriptor(kOut, 0x0301, 5);
  {
    sim::DeviceProfile profile = sim::DefaultProfile();
    profile.terminals[kOut].outputTypes = {{0x0301, {}}};
    Testbed bed({speaker}, profile);
    ITerminal* terminal = TerminalOf(bed.Build<CUac1OutputTerminal>(speaker));
    ULONG count = 0;
    terminal->GetTypeCount(&count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(bed.NodeCount(), 1u);
    EXPECT_EQ(CategoryOf(bed.Node(0)), PIN_CATEGORY_SPK);
  }
  {
    // Six types: the first five are offered.
    sim::DeviceProfile profile = sim::DefaultProfile();
    profile.terminals[kOut].outputTypes = {{0x0301, {}}, {0x0302, {}}, {0x0603, {}},
                                           {0x0605, {}}, {0x0402, {}}, {0x0401, {}}};
    Testbed bed({speaker}, profile);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ITerminal* terminal = TerminalOf(bed.Build<CUac1OutputTerminal>(speaker, &status));
    EXPECT_EQ(status, STATUS_SUCCESS);
    ULONG count = 0;
    terminal->GetTypeCount(&count);
    ASSERT_EQ(count, 5u);
    PinCategory list[5] = {};
    terminal->GetTypeList(list);
    EXPECT_EQ(std::vector<PinCategory>(list, list + 5), (std::vector<PinCategory>{1, 2, 6, 3, 14}));
    EXPECT_EQ(bed.NodeCount(), 6u);
    EXPECT_EQ(bed.Node(5)->GetType(), NODE_TYPE_OUTPUT_TYPE);
  }
}

TEST_F(TerminalTest, ShortDeviceRepliesAreDecodedOnlyAsFarAsTheyGo) {
  const Bytes speaker = OutputTerminalDescriptor(kOut, 0x0301, 5);
  sim::DeviceProfile profile = sim::DefaultProfile();
  profile.terminals[kOut].outputTypes = {{0x0301, {{0x1, kAlwaysJack}, {0x2, kAlwaysJack}}},
                                         {0x0302, {}},
                                         {0x0603, {}}};
  Testbed bed({speaker}, profile);
  // The full type list comes back with two of its three entries; the first
  // type's full jack list with one of its two.
  sim::ControlFault list;
  list.match = sim::RequestMatch::VendorToUnit(kOut, 0x86);
  list.skip = 1;
  list.times = 1;
  list.action = sim::FaultAction::ShortReply;
  list.length = 2 + 2 * 6;
  sim::ControlFault jacks;
  jacks.match = sim::RequestMatch::VendorToUnit(kOut, 0x81);
  jacks.match.value = 0x02FF;
  jacks.skip = 1;
  jacks.times = 1;
  jacks.action = sim::FaultAction::ShortReply;
  jacks.length = 1 + 8 + 3;
  bed.Device().AddFault(list);
  bed.Device().AddFault(jacks);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ITerminal* terminal = TerminalOf(bed.Build<CUac1OutputTerminal>(speaker, &status));
  ASSERT_EQ(status, STATUS_SUCCESS);
  ULONG count = 0;
  terminal->GetTypeCount(&count);
  EXPECT_EQ(count, 2u);
  terminal->GetJackCount(&count, 0);
  EXPECT_EQ(count, 1u);
  JackRecord jack{};
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof jack, &jack, 0), STATUS_SUCCESS);
  EXPECT_EQ(jack.ChannelMapping, 1u);
}

TEST_F(TerminalTest, SelectTypeChangesOnlyWhatTheDeviceTook) {
  const Bytes speaker = OutputTerminalDescriptor(kOut, 0x0301, 5);
  Testbed bed({speaker}, TwoTypes());
  ITerminal* terminal = TerminalOf(bed.Build<CUac1OutputTerminal>(speaker));
  bed.TakeRequests();

  EXPECT_EQ(terminal->SelectType(PIN_CATEGORY_LINE), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(bed.TakeRequests().empty());
  EXPECT_FALSE(bed.HasSetting(u"UACUnit07"));

  sim::ControlFault refuse;
  refuse.match = sim::RequestMatch::VendorToUnit(kOut, 0x81);
  refuse.match.in = false;
  refuse.times = 1;
  bed.Device().AddFault(refuse);
  EXPECT_NE(terminal->SelectType(PIN_CATEGORY_HP), STATUS_SUCCESS);
  PinCategory category = 0;
  terminal->GetCategory(&category);
  EXPECT_EQ(category, PIN_CATEGORY_SPK);
  EXPECT_FALSE(bed.HasSetting(u"UACUnit07"));
  bed.TakeRequests();

  EXPECT_EQ(terminal->SelectType(PIN_CATEGORY_HP), STATUS_SUCCESS);
  terminal->GetCategory(&category);
  EXPECT_EQ(category, PIN_CATEGORY_HP);
  EXPECT_EQ(bed.SettingAs<ULONG>(u"UACUnit07"), PIN_CATEGORY_HP);
  EXPECT_EQ(bed.Device().CurrentOutputType(kOut), 0x0302);
  // Both pins re-read their jacks: the selected one with live presence.
  auto requests = Summary(bed.TakeRequests());
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0], (Req{0x41, 0x81, 0x0800, 2}));
  EXPECT_NE(std::find(requests.begin(), requests.end(), Req{0xC1, 0x81, 0x0200, 6}), requests.end());
}

TEST_F(TerminalTest, JacksOfTheOtherTypeFollowSetJackConnect) {
  const Bytes speaker = OutputTerminalDescriptor(kOut, 0x0301, 5);
  Testbed bed({speaker}, TwoTypes());
  ITerminal* terminal = TerminalOf(bed.Build<CUac1OutputTerminal>(speaker));
  JackRecord jacks[2] = {};
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks - 4, jacks, 1), STATUS_INVALID_PARAMETER);
  for (ULONG connected : {1u, 0u}) {
    bed.PutSetting(u"SetJackConnect", connected);
    bed.TakeRequests();
    EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks, jacks, 1), STATUS_SUCCESS);
    EXPECT_TRUE(bed.TakeRequests().empty());
    EXPECT_EQ(jacks[0].IsConnected, connected);
    EXPECT_EQ(jacks[1].IsConnected, connected);
  }
  // Selected, the same jacks follow the presence mask again.
  bed.Device().SetPresenceMask(0x2, 0);
  ASSERT_EQ(terminal->SelectType(PIN_CATEGORY_HP), STATUS_SUCCESS);
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof jacks, jacks, 1), STATUS_SUCCESS);
  EXPECT_EQ(jacks[0].IsConnected, 0u);
  EXPECT_EQ(jacks[1].IsConnected, 1u);
}

TEST_F(TerminalTest, DeviceTypeChangeIsPersistedAndRefreshesTypeNodeThenPins) {
  const Bytes speaker = OutputTerminalDescriptor(kOut, 0x0301, 5);
  Testbed bed({speaker}, TwoTypes());
  CUac1OutputTerminal* unit = bed.Build<CUac1OutputTerminal>(speaker);
  bed.TakeRequests();

  // The same type: a jack went in or out. Only the pins re-read their
  // jacks (the selected type's with live presence); nothing is persisted
  // and the type node is left alone.
  EXPECT_EQ(unit->OnControlChange(0, 0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Summary(bed.TakeRequests()), (std::vector<Req>{{0xC1, 0x81, 0x0800, 2}, {0xC1, 0x81, 0x0200, 6}}));
  EXPECT_TRUE(bed.Model().refreshedUnits.empty());
  EXPECT_FALSE(bed.HasSetting(u"UACUnit07"));

  bed.Device().SetCurrentOutputType(kOut, 0x0302, false);
  EXPECT_EQ(unit->OnControlChange(0, 0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(bed.SettingAs<ULONG>(u"UACUnit07"), PIN_CATEGORY_HP);
  EXPECT_EQ(bed.Model().refreshedUnits, (std::vector<ULONG>{kOut}));
  IOutputTypeNode* typeNode = bed.NodeAs<IOutputTypeNode>(2, IID_IOutputTypeNode);
  EXPECT_EQ(typeNode->IsChangePending(), 1u);
  PinCategory category = 0;
  typeNode->GetCategory(&category);
  EXPECT_EQ(category, PIN_CATEGORY_HP);
  EXPECT_EQ(bed.SettingAs<ULONG>(u"Unit02_"), PIN_CATEGORY_HP);
  // A type read that fails still refreshes the nodes, which makes it a success.
  sim::ControlFault stall;
  stall.match = sim::RequestMatch::VendorToUnit(kOut, 0x81);
  bed.Device().AddFault(stall);
  EXPECT_EQ(unit->OnControlChange(0, 0, nullptr), STATUS_SUCCESS);
}

}  // namespace
