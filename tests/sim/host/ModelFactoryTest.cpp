// The choice of model factory is the device's own: a value in its hardware
// key, read by its device object, so that devices of one driver can run
// different factories at once, and a value that names none refuses the start.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/ModelReport.h"
#include "sim/device/ChipDevices.h"
#include "sim/device/DeviceFactory.h"
#include "sim/host/RunningDriver.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/sim/host/support/HostBench.h"

namespace {

// A 7746 chip plugged into a port of its own, the driver loaded over it and
// its hardware key written, not yet added.
struct Plugged {
  explicit Plugged(unsigned instance)
      : device(sim::CreateSimDevice(sim::chip7746::Descriptors(), haltest::PlainProfile(), platform::usb::Speed::Full)) {
    platform::usb::HubPortConfig config;
    config.instanceId = u"6&2c3d4e5f&0&" + sim::host::Widen(std::to_string(instance));
    port = std::make_unique<platform::usb::HubPort>(device.get(), config);
    loadStatus = host.LoadDriver(DriverEntry, u"headset");
  }
  ~Plugged() {
    host.Unload();
    KeFlushQueuedDpcs();
    platform::workitem::Drain();
  }
  NTSTATUS WriteValue(ULONG type, const std::vector<UCHAR>& data) {
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(port->Pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, MODEL_FACTORY_VALUE);
    status = ZwSetValueKey(key, &name, 0, type, const_cast<UCHAR*>(data.data()), static_cast<ULONG>(data.size()));
    ZwClose(key);
    return status;
  }
  std::string Model() { return sim::DescribeHardwareModel(host.AdapterDevice()); }

  std::unique_ptr<sim::SimDevice> device;
  std::unique_ptr<platform::usb::HubPort> port;
  sim::host::Host host;
  NTSTATUS loadStatus;
};

class ModelFactoryTest : public hosttest::HostTest {};

TEST_F(ModelFactoryTest, TwoDevicesOfOneProcessRunTheFactoriesTheirKeysName) {
  Plugged chip(1), product(2);
  ASSERT_EQ(chip.loadStatus, STATUS_SUCCESS);
  ASSERT_EQ(product.loadStatus, STATUS_SUCCESS);
  ASSERT_EQ(sim::host::ChooseModelFactory(chip.port->Pdo(), AudioHalChoice::ChipIdentifying), STATUS_SUCCESS);
  ASSERT_EQ(sim::host::ChooseModelFactory(product.port->Pdo(), AudioHalChoice::Product), STATUS_SUCCESS);
  // Both added before either starts: nothing between the starts tells them
  // apart but their own keys.
  ASSERT_EQ(chip.host.AddDevice(chip.port->Pdo()), STATUS_SUCCESS);
  ASSERT_EQ(product.host.AddDevice(product.port->Pdo()), STATUS_SUCCESS);
  ASSERT_EQ(product.host.Start(), STATUS_SUCCESS);
  ASSERT_EQ(chip.host.Start(), STATUS_SUCCESS);
  EXPECT_EQ(chip.Model().rfind("hardware model: C7746AudioHal for ", 0), 0u) << chip.Model();
  EXPECT_EQ(product.Model().rfind("hardware model: C7719AudioHal for ", 0), 0u) << product.Model();
}

TEST_F(ModelFactoryTest, ValueThatNamesNoFactoryRefusesTheStart) {
  struct Case {
    const char* name;
    ULONG type;
    std::vector<UCHAR> data;
  };
  const Case cases[] = {
      {"unknown factory", REG_DWORD, {2, 0, 0, 0}},
      {"string", REG_SZ, {'1', 0, 0, 0}},
      {"short", REG_BINARY, {1}},
      {"long", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Plugged plugged(1);
    ASSERT_EQ(plugged.loadStatus, STATUS_SUCCESS);
    ASSERT_EQ(plugged.WriteValue(c.type, c.data), STATUS_SUCCESS);
    ASSERT_EQ(plugged.host.AddDevice(plugged.port->Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(plugged.host.Start(), STATUS_INVALID_PARAMETER);
  }
}

}  // namespace
