// Selector and mixer units and the nodes they build.
#include <gtest/gtest.h>

#include <optional>

#include "tests/support/KernelTest.h"
#include "tests/topology/support/Testbed.h"
#include "topology/CUac1MixerUnit.h"
#include "topology/CUac1SelectorUnit.h"

namespace {

using topotest::Bytes;
using topotest::MixerUnitDescriptor;
using topotest::SelectorUnitDescriptor;
using topotest::Testbed;

constexpr UCHAR kSelector = 6;

ISelector* SelectorOf(IUnknown* object) {
  ISelector* selector = nullptr;
  EXPECT_EQ(object->QueryInterface(IID_ISelector, reinterpret_cast<PVOID*>(&selector)), STATUS_SUCCESS);
  if (selector) selector->Release();
  return selector;
}

class SelectorMixerTest : public testsupport::KernelTest {};

TEST_F(SelectorMixerTest, SelectorUnitInputsReachTheDeviceOnlyInRange) {
  const Bytes descriptor = SelectorUnitDescriptor(kSelector, {1, 2, 3});
  Testbed bed({descriptor});
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ISelector* unit = SelectorOf(static_cast<IUacUnit*>(bed.Build<CUac1SelectorUnit>(descriptor, &status)));
  ASSERT_EQ(status, STATUS_SUCCESS);
  bed.TakeRequests();
  EXPECT_EQ(unit->SetInput(0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(unit->SetInput(4), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(bed.TakeRequests().empty());
  EXPECT_EQ(unit->SetInput(3), STATUS_SUCCESS);
  auto requests = bed.TakeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].setup.bmRequestType, 0x21);
  EXPECT_EQ(requests[0].setup.bRequest, 0x01);
  EXPECT_EQ(requests[0].setup.wValue, 0);
  EXPECT_EQ(requests[0].setup.wIndex, kSelector << 8);
  EXPECT_EQ(requests[0].data, (Bytes{3}));
  ULONG input = 0, count = 0;
  EXPECT_EQ(unit->GetInput(&input), STATUS_SUCCESS);
  EXPECT_EQ(input, 3u);
  EXPECT_EQ(unit->GetInput(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(unit->GetInputCount(&count), STATUS_SUCCESS);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(unit->AddInputNode(nullptr), STATUS_NOT_IMPLEMENTED);

  sim::ControlFault stall;
  stall.match = sim::RequestMatch::ClassToUnit(kSelector, 0x01);
  bed.Device().AddFault(stall);
  EXPECT_NE(unit->SetInput(2), STATUS_SUCCESS);
}

TEST_F(SelectorMixerTest, SelectorsOfNineAndTenInputs) {
  for (UCHAR inputs : {9, 10}) {
    SCOPED_TRACE(inputs);
    std::vector<UCHAR> sources;
    for (UCHAR i = 1; i <= inputs; ++i) sources.push_back(i);
    const Bytes descriptor = SelectorUnitDescriptor(kSelector, sources);
    Testbed bed({descriptor});
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    CUac1SelectorUnit* unit = bed.Build<CUac1SelectorUnit>(descriptor, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(unit->GetSourceCount(), inputs);
    ASSERT_EQ(bed.NodeCount(), 1u);
    EXPECT_EQ(bed.Node(0)->GetType(), NODE_TYPE_SELECTOR);
    ULONG count = 0;
    SelectorOf(bed.Node(0))->GetInputCount(&count);
    EXPECT_EQ(count, inputs);
    std::vector<ULONG> ids(inputs);
    for (ULONG i = 0; i < inputs; ++i) ids[i] = 20 + i;
    EXPECT_EQ(unit->ConnectInputNode(inputs, ids.data()), STATUS_SUCCESS);
    ULONG got[10] = {};
    count = 10;
    bed.Node(0)->GetSourceIds(&count, got);
    EXPECT_EQ(std::vector<ULONG>(got, got + count), ids);
  }
}

TEST_F(SelectorMixerTest, SelectorNodeStartsOnTheStoredInputWithinRange) {
  const struct {
    const char* name;
    std::optional<ULONG> stored;
    ULONG device;
    ULONG input;
  } cases[] = {
      {"device's input", std::nullopt, 2, 2},
      {"stored over the device's", 1, 2, 1},
      {"stored beyond the inputs", 5, 2, 3},
      {"stored 0", 0, 2, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes descriptor = SelectorUnitDescriptor(kSelector, {1, 2, 3});
    Testbed bed({descriptor});
    ASSERT_TRUE(bed.Device().SetControlValue(kSelector, 0, 0, {static_cast<UCHAR>(c.device)}, false));
    if (c.stored) bed.PutSetting(u"Unit00_", *c.stored);
    bed.Build<CUac1SelectorUnit>(descriptor);
    ULONG input = 0;
    SelectorOf(bed.Node(0))->GetInput(&input);
    EXPECT_EQ(input, c.input);
  }
}

TEST_F(SelectorMixerTest, SelectorNodeTakesOnlyWhatTheDeviceTook) {
  const Bytes descriptor = SelectorUnitDescriptor(kSelector, {1, 2, 3});
  Testbed bed({descriptor});
  bed.Build<CUac1SelectorUnit>(descriptor);
  ISelector* node = SelectorOf(bed.Node(0));
  bed.TakeRequests();
  EXPECT_EQ(node->SetInput(0), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(bed.TakeRequests().empty());

  EXPECT_EQ(node->SetInput(2), STATUS_SUCCESS);
  EXPECT_EQ(bed.SettingAs<ULONG>(u"Unit00_"), 2u);
  sim::ControlFault stall;
  stall.match = sim::RequestMatch::ClassToUnit(kSelector, 0x01);
  stall.times = 1;
  bed.Device().AddFault(stall);
  EXPECT_NE(node->SetInput(3), STATUS_SUCCESS);
  ULONG input = 0;
  node->GetInput(&input);
  EXPECT_EQ(input, 2u);
  EXPECT_EQ(bed.SettingAs<ULONG>(u"Unit00_"), 2u);

  // Apply sends the current input; refresh takes the device's as it is.
  bed.TakeRequests();
  EXPECT_EQ(bed.Node(0)->ApplyToDevice(0, nullptr), STATUS_SUCCESS);
  auto requests = bed.TakeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].data, (Bytes{2}));
  ASSERT_TRUE(bed.Device().SetControlValue(kSelector, 0, 0, {1}, false));
  EXPECT_EQ(bed.Node(0)->RefreshFromDevice(), STATUS_SUCCESS);
  node->GetInput(&input);
  EXPECT_EQ(input, 1u);
  EXPECT_EQ(bed.SettingAs<ULONG>(u"Unit00_"), 2u);
}

TEST_F(SelectorMixerTest, MixerUnitBuildsOneSumNode) {
  const Bytes descriptor = MixerUnitDescriptor(9, {3, 4});
  Testbed bed({descriptor});
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  CUac1MixerUnit* unit = bed.Build<CUac1MixerUnit>(descriptor, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(unit->GetType(), 4u);
  EXPECT_EQ(unit->GetId(), 9u);
  ULONG sources[2] = {};
  ULONG count = 2;
  unit->GetSourceIds(&count, sources);
  EXPECT_EQ(sources[0], 3u);
  EXPECT_EQ(sources[1], 4u);
  ASSERT_EQ(bed.NodeCount(), 1u);
  ITopoNode* sum = bed.Node(0);
  EXPECT_EQ(sum->GetType(), NODE_TYPE_SUM);
  EXPECT_EQ(sum->GetSourceCount(), 2u);
  const ULONG upstream[] = {11, 12};
  EXPECT_EQ(unit->ConnectInputNode(2, upstream), STATUS_SUCCESS);
  sum->GetSourceIds(&count, sources);
  EXPECT_EQ(sources[0], 11u);
  EXPECT_EQ(sources[1], 12u);
  ULONG id = 99;
  EXPECT_EQ(unit->OnControlChange(0, 0, &id), STATUS_SUCCESS);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(sum->ApplyToDevice(0, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(bed.TakeRequests().empty());
}

}  // namespace
