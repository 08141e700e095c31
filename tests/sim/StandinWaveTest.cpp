// The stand-in wave miniport under the driver's own start, as the main job
// runs it until the driver's miniports exist: each stream engine's filter
// carries that engine's name.
#include <string>
#include <vector>

#include "driver/DriverEntry.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/device/SimDevice.h"
#include "sim/host/Host.h"
#include "sim/standin/StandinMiniports.h"
#include "tests/support/KernelTest.h"
#include "usb/HubPort.h"

namespace {

class StandinWaveTest : public testsupport::KernelTest {};

TEST_F(StandinWaveTest, EachEnginesWaveFilterIsNamedAfterItsEngine) {
  const MiniportFactories previous =
      SetMiniportFactories({sim::standin::CreateStandinTopology, sim::standin::CreateStandinWave});
  {
    std::unique_ptr<sim::SimDevice> device = sim::headset::Create();
    platform::usb::HubPort port(device.get());
    sim::host::Host host;
    ASSERT_EQ(host.LoadDriver(DriverEntry, u"headset"), STATUS_SUCCESS);
    ASSERT_EQ(host.AddDevice(port.Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(host.Start(), STATUS_SUCCESS);

    std::vector<std::u16string> expected = {u"GlobalTopo"};
    IAudioHal* model = GetDeviceExtension(host.AdapterDevice())->Adapter;
    ASSERT_NE(model, nullptr);
    for (ULONG i = 0; i < model->GetStreamEngineCount(); ++i) {
      IStreamEngine* engine = nullptr;
      ASSERT_EQ(model->GetStreamEngine(i, &engine), STATUS_SUCCESS);
      WCHAR name[STREAM_ENGINE_NAME_CHARS] = {};
      engine->GetName(name);
      expected.push_back(std::u16string(name) + u"Wave");
    }
    EXPECT_EQ(expected.size(), 3u) << "the default headset renders and captures";
    std::vector<std::u16string> filters;
    for (const auto& f : host.Filters()) filters.push_back(f.name);
    EXPECT_EQ(filters, expected);

    host.Unload();
    KeFlushQueuedDpcs();
    platform::workitem::Drain();
  }
  SetMiniportFactories(previous);
}

}  // namespace
