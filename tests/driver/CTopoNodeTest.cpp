#include <gtest/gtest.h>

#include "driver/common/CTopoNode.h"
#include "tests/driver/support/TestNodes.h"
#include "tests/support/KernelTest.h"

namespace {

using testsupport::MakeNode;
using testsupport::TestNode;

class CTopoNodeTest : public testsupport::KernelTest {};

TEST_F(CTopoNodeTest, SourceIdsAreCopiedClampedAndReplaced) {
  TestNode* node = MakeNode<TestNode>(7u, ULONG(NODE_TYPE_VOLUME));
  ASSERT_NE(nullptr, node);
  EXPECT_EQ(7u, node->GetId());
  EXPECT_EQ(ULONG(NODE_TYPE_VOLUME), node->GetType());

  const ULONG three[] = {1, 2, 3};
  ASSERT_EQ(STATUS_SUCCESS, node->SetSourceIds(3, three));
  ULONG out[8] = {};
  ULONG count = 8;  // more room than sources: lowered to the source count
  ASSERT_EQ(STATUS_SUCCESS, node->GetSourceIds(&count, out));
  EXPECT_EQ(3u, count);
  EXPECT_EQ(3u, out[2]);
  count = 2;  // less room: only that many copied
  out[1] = out[2] = 0;
  ASSERT_EQ(STATUS_SUCCESS, node->GetSourceIds(&count, out));
  EXPECT_EQ(2u, count);
  EXPECT_EQ(2u, out[1]);
  EXPECT_EQ(0u, out[2]);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, node->GetSourceIds(nullptr, out));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, node->GetSourceIds(&count, nullptr));

  // A replacement frees the earlier array (the leak check sees it) and may
  // come from the node's own sources.
  ULONG own[3] = {};
  count = 3;
  node->GetSourceIds(&count, own);
  ASSERT_EQ(STATUS_SUCCESS, node->SetSourceIds(1, own + 2));
  EXPECT_EQ(1u, node->GetSourceCount());

  // A failed allocation keeps the sources the node had.
  platform::pool::FailAllocationsWithTag(TOPO_NODE_TAG);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, node->SetSourceIds(3, three));
  platform::pool::ClearFailures();
  count = 1;
  ASSERT_EQ(STATUS_SUCCESS, node->GetSourceIds(&count, out));
  EXPECT_EQ(1u, count);
  EXPECT_EQ(3u, out[0]);

  EXPECT_EQ(STATUS_INVALID_PARAMETER, node->SetSourceIds(2, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, node->SetSourceIds(0, nullptr));
  EXPECT_EQ(0u, node->GetSourceCount());
  node->Release();
}

TEST_F(CTopoNodeTest, AnswersOnlyItsOwnInterfaceAndTheBaseOperationsSucceed) {
  ITopoNode* node = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, CTopoNode::Create(&node, 3, NODE_TYPE_SUM, NonPagedPool, testsupport::TEST_NODE_TAG));
  PVOID object = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, node->QueryInterface(IID_IUnknown, &object));
  EXPECT_EQ(static_cast<PVOID>(node), object);
  node->Release();
  EXPECT_EQ(STATUS_INVALID_PARAMETER, node->QueryInterface(IID_ITerminal, &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(STATUS_SUCCESS, node->ApplyToDevice(0, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, node->RefreshFromDevice());
  EXPECT_EQ(STATUS_SUCCESS, node->OnHalStart(0, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, node->OnHalStop(0, nullptr));
  node->Release();
}

}  // namespace
