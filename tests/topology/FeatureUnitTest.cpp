#include <gtest/gtest.h>

#include "tests/support/KernelTest.h"
#include "tests/topology/support/Testbed.h"
#include "topology/CUac1FeatureUnit.h"

namespace {

using topotest::Bytes;
using topotest::FeatureUnitDescriptor;
using topotest::Testbed;

class FeatureUnitTest : public testsupport::KernelTest {};

TEST_F(FeatureUnitTest, BuildsMuteVolumeBassChain) {
  Testbed bed({FeatureUnitDescriptor(5, 1, 1, {0x07})});
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto* unit = bed.Build<CUac1FeatureUnit>(FeatureUnitDescriptor(5, 1, 1, {0x07}), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(bed.NodeCount(), 3u);
  ULONG out = 0;
  EXPECT_EQ(unit->GetOutputNodeId(&out), STATUS_SUCCESS);
  EXPECT_EQ(out, 2u);
}

}  // namespace
