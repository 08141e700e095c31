// The product's feature units: the standard control nodes, allocated as the
// product's own, and no node for the vendor controls (the room effect
// control becomes the product's room effect node).
#include <gtest/gtest.h>

#include "tests/support/KernelTest.h"
#include "tests/topology/support/Testbed.h"
#include "topology/CProductFeatureUnits.h"

namespace {

using topotest::Bytes;
using topotest::FeatureUnitDescriptor;
using topotest::Testbed;

constexpr UCHAR kUnit = 2;

// A vendor block naming controls 0x8B and 0x8C on the master.
Bytes VendorBlock() {
  Bytes block(21, 0);
  block[16] = 21;
  block[18] = 2;
  block[20] = 0x0C;
  return block;
}

size_t BlocksWithTag(ULONG tag) {
  for (const auto& usage : platform::pool::Outstanding())
    if (usage.tag == tag) return usage.allocations;
  return 0;
}

class ProductFeatureUnitTest : public testsupport::KernelTest {};

template <typename TUnit>
void ExpectStandardNodesOnly() {
  sim::DeviceProfile profile = sim::DefaultProfile();
  profile.unitMemory[kUnit] = VendorBlock();
  // Mute and volume on the master.
  const Bytes descriptor = FeatureUnitDescriptor(kUnit, 1, 1, {0x03});
  Testbed bed({descriptor}, profile);
  const size_t before = BlocksWithTag(PRODUCT_FEATURE_NODE_TAG);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  TUnit* unit = bed.Build<TUnit>(descriptor, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_TRUE(unit->HasControl(0x8B));
  ASSERT_EQ(bed.NodeCount(), 2u);
  EXPECT_EQ(bed.Node(0)->GetType(), NODE_TYPE_MUTE);
  EXPECT_EQ(bed.Node(1)->GetType(), NODE_TYPE_VOLUME);
  EXPECT_EQ(BlocksWithTag(PRODUCT_FEATURE_NODE_TAG), before + 2);
  ULONG output = 99;
  EXPECT_EQ(unit->GetOutputNodeId(&output), STATUS_SUCCESS);
  EXPECT_EQ(output, 1u);
}

TEST_F(ProductFeatureUnitTest, ProductModelUnitBuildsTheStandardNodes) { ExpectStandardNodesOnly<C7719FeatureUnit>(); }

TEST_F(ProductFeatureUnitTest, FixedIdUnitBuildsTheStandardNodes) { ExpectStandardNodesOnly<CK784FeatureUnit>(); }

TEST_F(ProductFeatureUnitTest, WithoutAMuteNothingIsBuilt) {
  const Bytes descriptor = FeatureUnitDescriptor(kUnit, 1, 1, {0x02});  // volume only
  Testbed bed({descriptor});
  NTSTATUS status = STATUS_SUCCESS;
  bed.Build<C7719FeatureUnit>(descriptor, &status);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(bed.NodeCount(), 0u);
}

}  // namespace
