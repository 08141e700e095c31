// The adapter's life beyond one clean start and removal: starts that fail
// while the wave filters are being installed must leave nothing behind once
// the device is removed, and a stop followed by a second start (a resource
// rebalance) must bring back usable filters.
#include <gtest/gtest.h>

#include <memory>

#include "driver/CUsbAudioDevice.h"
#include "driver/DriverEntry.h"
#include "portcls/framework.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/host/Host.h"
#include "sim/standin/StandinMiniports.h"
#include "tests/driver/support/TestMiniports.h"
#include "tests/support/KernelTest.h"
#include "topology/CMiniportTopology.h"
#include "topology/PrivatePropertySets.h"
#include "usb/HubPort.h"

namespace {

constexpr ULONG kLinkTag = MakeTag("IoDi");

// The driver added over the default headset, not yet started, with the
// stand-in wave miniport beside the driver's topology: like most miniports
// it holds its port, so a port left bound to it can only go if the
// framework lets it go.
class Added {
 public:
  explicit Added(PFNCREATEMINIPORT topology = CreateMiniportTopology)
      : m_Previous(SetMiniportFactories({topology, sim::standin::CreateStandinWaveBesideDriverTopology})),
        m_Device(sim::headset::Create()),
        m_Port(std::make_unique<platform::usb::HubPort>(m_Device.get())) {
    EXPECT_EQ(host.LoadDriver(DriverEntry, u"headset"), STATUS_SUCCESS);
    EXPECT_EQ(host.AddDevice(m_Port->Pdo()), STATUS_SUCCESS);
  }
  ~Added() {
    host.Unload();
    KeFlushQueuedDpcs();
    platform::workitem::Drain();
    m_Port.reset();
    m_Device.reset();
    SetMiniportFactories(m_Previous);
  }
  sim::host::Host host;

 private:
  MiniportFactories m_Previous;
  std::unique_ptr<sim::SimDevice> m_Device;
  std::unique_ptr<platform::usb::HubPort> m_Port;
};

class DeviceLifecycleTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
    platform::portcls::ResetForTest();
    testsupport::ResetMiniportControl();
  }
  void TearDown() override {
    testsupport::ResetMiniportControl();
    platform::pool::ClearFailures();
    platform::portcls::ResetForTest();
    KernelTest::TearDown();
  }
};

std::string PortsAndMiniportsLeft() {
  std::string left;
  for (const auto& u : platform::pool::Outstanding())
    if (u.tag == MakeTag("PcSt") || u.tag == MakeTag("SIst")) left += platform::pool::Describe({u});
  return left;
}

// Each filter registers one device interface link per category: failing
// the n-th link of the start fails the topology's or a wave filter's
// registration part way.
TEST_F(DeviceLifecycleTest, StartFailingInAFilterRegistrationLeavesNothingAfterRemoval) {
  size_t failures = 0;
  for (size_t n = 1;; ++n) {
    SCOPED_TRACE(testing::Message() << "link " << n);
    bool started = false;
    {
      Added a;
      platform::pool::FailNthAllocationWithTag(kLinkTag, n);
      started = NT_SUCCESS(a.host.Start());
      platform::pool::ClearFailures();
    }
    EXPECT_EQ(PortsAndMiniportsLeft(), "");
    if (started) break;
    ++failures;
    ASSERT_LT(n, 16u);
  }
  EXPECT_GE(failures, 3u) << "the topology and both wave filters";
}

// A topology pin the topology filter does not have: the first wave filter
// registers, its physical connection is refused, and the start fails.
TEST_F(DeviceLifecycleTest, StartFailingAtAPhysicalConnectionLeavesNothingAfterRemoval) {
  testsupport::MiniportControl().topologyPinOverride = 99;
  {
    Added a(testsupport::CreateTestTopologyMiniport);
    EXPECT_EQ(a.host.Start(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(a.host.Filters().size(), 1u) << "the wave filter is taken down again";
  }
  EXPECT_EQ(PortsAndMiniportsLeft(), "");
}

size_t Blocks(ULONG tag) {
  for (const auto& u : platform::pool::Outstanding())
    if (u.tag == tag) return u.allocations;
  return 0;
}

NTSTATUS StopDevice(sim::host::Host& host) {
  sim::host::IrpRequest stop;
  stop.major = IRP_MJ_PNP;
  stop.minor = IRP_MN_STOP_DEVICE;
  return sim::host::SendIrp(host.Pdo(), stop).status;
}

std::vector<std::u16string> FilterNames(const sim::host::Host& host) {
  std::vector<std::u16string> names;
  for (const auto& f : host.Filters()) names.push_back(f.name);
  return names;
}

// A resource rebalance: stop, then start again. The second start finds
// nothing of the first in its way and brings back the same filters under
// the same names.
TEST_F(DeviceLifecycleTest, StopThenStartAgainBringsBackUsableFilters) {
  Added a;
  ASSERT_EQ(a.host.Start(), STATUS_SUCCESS);
  const std::vector<std::u16string> first = FilterNames(a.host);
  ASSERT_EQ(first.size(), 3u);

  ASSERT_EQ(StopDevice(a.host), STATUS_SUCCESS);
  EXPECT_TRUE(FilterNames(a.host).empty());
  EXPECT_TRUE(platform::portcls::PhysicalConnections(a.host.AdapterDevice()).empty());
  EXPECT_EQ(GetDeviceExtension(a.host.AdapterDevice())->Adapter, nullptr);
  // The device object is gone, and power changes while stopped reach
  // nothing of it.
  EXPECT_EQ(Blocks(USB_AUDIO_DEVICE_TAG), 0u);
  EXPECT_EQ(a.host.SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(a.host.SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);

  ASSERT_EQ(a.host.Start(), STATUS_SUCCESS);
  EXPECT_EQ(FilterNames(a.host), first);
  EXPECT_EQ(platform::portcls::PhysicalConnections(a.host.AdapterDevice()).size(), 2u);
  // The topology filter answers again.
  sim::host::FilterHandle* topology = nullptr;
  ASSERT_EQ(a.host.OpenFilter(u"GlobalTopo", &topology), STATUS_SUCCESS);
  ULONG value = 0, size = sizeof value;
  EXPECT_EQ(topology->Property(PROPSETID_DevicePrivate, 2, KSPROPERTY_TYPE_GET, ULONG(-1), nullptr, 0, &value, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(value, 0x00030000u);
  delete topology;
}

}  // namespace
