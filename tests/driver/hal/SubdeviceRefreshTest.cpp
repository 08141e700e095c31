#include "driver/hal/CK784AudioHal.h"
#include "sim/device/DescriptorBuilder.h"
#include "tests/driver/DriverHarness.h"
#include "tests/driver/hal/support/Devices.h"
#include "usb/usbaudio.h"

namespace {

using namespace haltest;

// Two render paths whose output terminals can be switched between speakers
// and headphones (as a docking headset with a speaker jack has them).
sim::DescriptorSet TwoSwitchableOutputs() {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, 1, 1).AcHeader({1, 2});
  for (uint8_t base : {1, 4}) {
    c.InputTerminal(base, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3)
        .FeatureUnit(base + 1, base, 1, {1})
        .OutputTerminal(base + 2, 0x0301, base + 1);
  }
  for (uint8_t i = 1; i <= 2; ++i)
    c.Interface(i, 0, 0, 1, 2)
        .Interface(i, 1, 1, 1, 2)
        .AsGeneral(i == 1 ? 1 : 4, 1, USB_AUDIO_FORMAT_PCM)
        .FormatType(USB_AUDIO_FORMAT_TYPE_I, 2, 2, 16, {48000})
        .Endpoint(i, 0x01, 196, 1);
  return MakeSet(c.Build());
}

sim::DeviceProfile SwitchableProfile() {
  sim::DeviceProfile p = sim::DefaultProfile();
  for (uint8_t terminal : {3, 6}) p.terminals[terminal].outputTypes = {{0x0301, {}}, {0x0302, {}}};
  return p;
}

class SubdeviceRefreshTest : public drivertest::DriverHarness {
 protected:
  void SetUp() override {
    DriverHarness::SetUp();
    CHeadsetUsbDevice::SetAudioHalFactories({CK784AudioHal::Create, C7719AudioHal::Create});
  }
};

TEST_F(SubdeviceRefreshTest, Explore) {
  Plug(TwoSwitchableOutputs(), SwitchableProfile());
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  IAudioHal* hal = DeviceObject();
  for (ULONG i = 0; i < hal->GetNodeCount(); ++i) {
    ITopoNode* n = nullptr;
    hal->GetNode(i, &n);
    ULONG s[8], c = 8;
    n->GetSourceIds(&c, s);
    printf("node %u type %u src", n->GetId(), n->GetType());
    for (ULONG k = 0; k < c; ++k) printf(" %u", s[k]);
    printf("\n");
  }
  for (ULONG e = 0; e < hal->GetStreamEngineCount(); ++e) {
    IStreamEngine* engine = nullptr;
    hal->GetStreamEngine(e, &engine);
    printf("engine %u:", e);
    for (ULONG i = 0; i < engine->GetAttachedNodeCount(); ++i) {
      ITopoNode* n = nullptr;
      engine->GetAttachedNode(i, &n);
      printf(" %u", n->GetId());
    }
    printf("\n");
  }
  for (auto& n : SubdeviceNames()) printf("subdevice %s\n", sim::host::Narrow(n).c_str());
}

}  // namespace
