#include "driver/hal/CK784AudioHal.h"
#include "tests/driver/DriverHarness.h"

namespace {

class ProductModelTest : public drivertest::DriverHarness {
 protected:
  void SetUp() override {
    DriverHarness::SetUp();
    CHeadsetUsbDevice::SetAudioHalFactories({CK784AudioHal::Create, C7719AudioHal::Create});
  }
};

TEST_F(ProductModelTest, DefaultHeadsetStarts) {
  NTSTATUS status = Start();
  EXPECT_EQ(status, STATUS_SUCCESS);
  auto* device = DeviceObject();
  ASSERT_NE(device, nullptr);
  IAudioHal* hal = static_cast<IAudioHal*>(device);
  printf("nodes %u engines %u\n", hal->GetNodeCount(), hal->GetStreamEngineCount());
  for (auto& n : SubdeviceNames()) printf("subdevice %s\n", sim::host::Narrow(n).c_str());
}

}  // namespace
