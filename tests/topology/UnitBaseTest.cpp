// The unit base: descriptor checks, node chaining and connection, the
// default control-change answer.
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/KernelTest.h"
#include "tests/topology/support/Testbed.h"
#include "topology/CUac1FeatureUnit.h"
#include "topology/CUac1InputTerminal.h"
#include "topology/CUac1MixerUnit.h"
#include "topology/CUac1OutputTerminal.h"
#include "topology/CUac1SelectorUnit.h"

namespace {

using topotest::Bytes;
using topotest::Testbed;

struct NodeSpec {
  ULONG type;
  ULONG sources;  // ids of 77 to start with
};

// A unit whose nodes are plain nodes of the given types, so that chaining
// and connecting can be watched for any mix of node types.
class ScriptedUnit final : public CUacUnit {
 public:
  ScriptedUnit(PUNKNOWN outer, ULONG id) : CUacUnit(outer, id, 0x0F) {}
  std::vector<NodeSpec> nodes;

 protected:
  bool DescriptorFits(const UCHAR*, ULONG) const override { return true; }
  NTSTATUS BuildNodes(IAudioHal* owner) override {
    for (const NodeSpec& spec : nodes) {
      ITopoNode* node = nullptr;
      NTSTATUS status = CTopoNode::Create(&node, NextNodeId(owner), spec.type, NonPagedPool, MakeTag("ScrN"));
      if (!NT_SUCCESS(status)) return status;
      std::vector<ULONG> ids(spec.sources, 77);
      node->SetSourceIds(spec.sources, ids.data());
      status = AddBuiltNode(owner, node);
      node->Release();
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }
};

const Bytes kScriptedDescriptor = {4, 0x24, 0x0F, 9};

std::vector<ULONG> SourcesOf(ITopoNode* node) {
  std::vector<ULONG> ids(16);
  ULONG count = static_cast<ULONG>(ids.size());
  node->GetSourceIds(&count, ids.data());
  ids.resize(count);
  return ids;
}

class UnitBaseTest : public testsupport::KernelTest {
 protected:
  ScriptedUnit* Scripted(Testbed& bed, std::vector<NodeSpec> nodes) {
    // Build() runs Init on a copy of the descriptor; the node list is set first.
    auto* unit = new (NonPagedPool, MakeTag("UAC1")) ScriptedUnit(nullptr, 0);
    unit->NonDelegatingAddRef();
    unit->nodes = std::move(nodes);
    Bytes copy = kScriptedDescriptor;
    EXPECT_EQ(unit->Init(copy.data(), bed.Hal(), bed.Hal()), STATUS_SUCCESS);
    m_Units.push_back(unit);
    return unit;
  }
  void TearDown() override {
    for (auto* unit : m_Units) unit->NonDelegatingRelease();
    m_Units.clear();
    KernelTest::TearDown();
  }
  std::vector<ScriptedUnit*> m_Units;
};

TEST_F(UnitBaseTest, ChainsSingleSourceNodesBehindTheOnesBefore) {
  const struct {
    const char* name;
    std::vector<ULONG> types;
    std::vector<std::vector<ULONG>> sources;  // of each node after chaining (ids are 0, 1, 2 ...)
  } cases[] = {
      {"mute, volume, bass", {2, 3, 9}, {{77}, {0}, {1}}},
      {"two output pins and the output-type node hang off the first pin", {1, 1, 13}, {{77}, {0}, {0}}},
      {"input pin, mute", {0, 2}, {{}, {0}}},
      {"selector first keeps its inputs", {4, 3}, {{77, 77}, {0}}},
      {"codes outside the single-source list are not chained", {2, 16, 3}, {{77}, {77}, {1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Testbed bed({});
    std::vector<NodeSpec> specs;
    for (ULONG type : c.types) specs.push_back({type, type == NODE_TYPE_SELECTOR ? 2u : type == NODE_TYPE_INPUT_PIN ? 0u : 1u});
    ScriptedUnit* unit = Scripted(bed, specs);
    for (ULONG i = 0; i < c.types.size(); ++i) EXPECT_EQ(SourcesOf(bed.Node(i)), c.sources[i]) << "node " << i;
    ULONG out = 99;
    EXPECT_EQ(unit->GetOutputNodeId(&out), STATUS_SUCCESS);
    EXPECT_EQ(out, c.types.size() - 1);
    for (auto* u : m_Units) u->NonDelegatingRelease();
    m_Units.clear();
  }
}

TEST_F(UnitBaseTest, ConnectsTheFirstNodeToTheUpstreamUnits) {
  const ULONG one[] = {7};
  const ULONG two[] = {7, 8};
  const ULONG three[] = {7, 8, 9};
  const struct {
    const char* name;
    NodeSpec first;
    ULONG count;
    const ULONG* ids;
    NTSTATUS status;
    std::vector<ULONG> sources;
  } cases[] = {
      {"single-source node takes the first id", {NODE_TYPE_MUTE, 1}, 2, two, STATUS_SUCCESS, {7}},
      {"selector takes all ids of a matching count", {NODE_TYPE_SELECTOR, 2}, 2, two, STATUS_SUCCESS, {7, 8}},
      {"sum with another count keeps its inputs", {NODE_TYPE_SUM, 2}, 3, three, STATUS_SUCCESS, {77, 77}},
      {"input pin takes nothing", {NODE_TYPE_INPUT_PIN, 0}, 1, one, STATUS_SUCCESS, {}},
      {"null ids", {NODE_TYPE_MUTE, 1}, 1, nullptr, STATUS_UNSUCCESSFUL, {77}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Testbed bed({});
    ScriptedUnit* unit = Scripted(bed, {c.first});
    EXPECT_EQ(unit->ConnectInputNode(c.count, c.ids), c.status);
    EXPECT_EQ(SourcesOf(bed.Node(0)), c.sources);
    for (auto* u : m_Units) u->NonDelegatingRelease();
    m_Units.clear();
  }
  Testbed bed({});
  ScriptedUnit* empty = Scripted(bed, {});
  EXPECT_EQ(empty->ConnectInputNode(1, one), STATUS_UNSUCCESSFUL);
  ULONG id = 0;
  EXPECT_EQ(empty->GetOutputNodeId(&id), STATUS_UNSUCCESSFUL);
}

TEST_F(UnitBaseTest, DefaultControlChangeNamesTheOnlyNode) {
  Testbed bed({});
  ScriptedUnit* single = Scripted(bed, {{NODE_TYPE_SUM, 0}});
  ScriptedUnit* pair = Scripted(bed, {{NODE_TYPE_MUTE, 1}, {NODE_TYPE_VOLUME, 1}});
  ULONG id = 99;
  EXPECT_EQ(single->OnControlChange(0, 0, &id), STATUS_SUCCESS);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(single->OnControlChange(0, 0, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(pair->OnControlChange(0, 0, &id), STATUS_UNSUCCESSFUL);
  ULONG count = 0;
  EXPECT_EQ(pair->GetNodeCount(&count), STATUS_SUCCESS);
  EXPECT_EQ(count, 2u);
  ITopoNode* node = nullptr;
  EXPECT_EQ(pair->GetNode(1, &node), STATUS_SUCCESS);
  EXPECT_EQ(node->GetId(), 2u);
  EXPECT_EQ(pair->AddNode(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(CUacUnit::FromUnitNode(static_cast<IUacUnit*>(pair)), pair);
}

// Descriptors refused before anything is read past them or sent. Each is
// handed over in a buffer of exactly bLength bytes, so a read beyond it
// would not go unnoticed.
TEST_F(UnitBaseTest, RefusesDescriptorsOfAnotherKindOrWithFieldsPastTheirLength) {
  const struct {
    const char* name;
    int unitClass;  // 0 feature, 1 selector, 2 mixer, 3 input terminal, 4 output terminal
    Bytes descriptor;
    NTSTATUS status;
  } cases[] = {
      {"not class-specific", 0, {8, 0x25, 6, 5, 1, 1, 0x03, 0}, STATUS_INVALID_PARAMETER},
      {"a selector given to the feature unit", 0, {7, 0x24, 5, 5, 1, 1, 0}, STATUS_INVALID_PARAMETER},
      {"three bytes", 0, {3, 0x24, 6}, STATUS_UNSUCCESSFUL},
      {"bControlSize 0", 0, {8, 0x24, 6, 5, 1, 0, 0x03, 0}, STATUS_UNSUCCESSFUL},
      {"master bitmap past bLength", 0, {7, 0x24, 6, 5, 1, 2, 0x03}, STATUS_UNSUCCESSFUL},
      {"selector inputs past bLength", 1, {7, 0x24, 5, 6, 3, 1, 2}, STATUS_UNSUCCESSFUL},
      {"mixer inputs past bLength", 2, {12, 0x24, 4, 6, 200, 1, 2, 2, 3, 0, 0, 0}, STATUS_UNSUCCESSFUL},
      {"input terminal without its type", 3, {5, 0x24, 2, 1, 0x01}, STATUS_UNSUCCESSFUL},
      {"output terminal without its source", 4, {7, 0x24, 3, 7, 0x01, 0x03, 0}, STATUS_UNSUCCESSFUL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Testbed bed({});
    NTSTATUS status = STATUS_SUCCESS;
    switch (c.unitClass) {
      case 0: bed.Build<CUac1FeatureUnit>(c.descriptor, &status); break;
      case 1: bed.Build<CUac1SelectorUnit>(c.descriptor, &status); break;
      case 2: bed.Build<CUac1MixerUnit>(c.descriptor, &status); break;
      case 3: bed.Build<CUac1InputTerminal>(c.descriptor, &status); break;
      default: bed.Build<CUac1OutputTerminal>(c.descriptor, &status); break;
    }
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(bed.NodeCount(), 0u);
    EXPECT_TRUE(bed.TakeRequests().empty());
  }
  Testbed bed({});
  CUac1FeatureUnit* unit = bed.Build<CUac1FeatureUnit>(topotest::FeatureUnitDescriptor(5, 1, 1, {0x01}));
  EXPECT_EQ(unit->Init(nullptr, bed.Hal(), bed.Hal()), STATUS_INVALID_PARAMETER);
}

}  // namespace
