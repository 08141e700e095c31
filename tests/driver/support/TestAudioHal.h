// A small hardware model for tests: it stands where the product's model
// will (created aggregated by the device object, answering IAudioHal,
// IUsbAudioHal and IAdapterPowerManagement) but builds its nodes and stream
// engines from a description the test gives instead of parsing descriptors.
//
// Use:
//   testsupport::TestHalConfig config;
//   config.engines = {RenderEngine(PIN_CATEGORY_HEADSET), CaptureEngine(PIN_CATEGORY_MIC)};
//   config.engines[0].asio = true;   // flags bit 1 in that engine's caps record
//   testsupport::TestAudioHal::SetNextConfig(config);
//   ... then whatever creates the model calls TestAudioHal::Create, which has
//   the shape of the product models' factories:
//   (out inner IUnknown, outer IUnknown, idVendor, idProduct).
//
// ConfigureDevice (run by CAudioHal::Init) builds, per engine spec in order:
// a CStreamEngine with the configured direction, its work buffers and formats
// (default: 2-channel 48 kHz 16-bit PCM; render specs also 8 channels), and
// two terminal nodes attached to it and added to the model's node list:
//   render:  input pin (type 0, Stream) -> output pin (type 1, spec.category)
//   capture: input pin (type 0, spec.category) -> output pin (type 1, Stream)
// Node ids count up from 0 in node-list order (each pin's source is the
// previous node's id), so the Stream terminal of engine k has id 2k for a
// render engine and 2k+1 for a capture engine. `jacks` gives the device-side
// terminal jack records (none: always present). `build` runs afterwards for
// anything else a test wants in the model.
//
// The object is in nonpaged pool with tag TEST_AUDIO_HAL_TAG. Every model
// created since the last Reset is listed by Models() (no reference held), so
// tests can look inside the one a device object made.
#pragma once

#include <functional>
#include <vector>

#include "driver/common/CStreamEngine.h"
#include "driver/hal/CAudioHal.h"
#include "tests/driver/support/TestNodes.h"

namespace testsupport {

constexpr ULONG TEST_AUDIO_HAL_TAG = MakeTag("THal");

struct TestEngineSpec {
  ULONG direction = STREAM_DIRECTION_RENDER;
  PinCategory category = PIN_CATEGORY_HEADSET;
  // Jack records of the device-side terminal: each entry is IsConnected.
  std::vector<bool> jacks;
  // Empty: the defaults above.
  std::vector<WAVEFORMATEXTENSIBLE> formats;
  bool asio = false;
};
TestEngineSpec RenderEngine(PinCategory category);
TestEngineSpec CaptureEngine(PinCategory category);
// An extensible PCM record.
WAVEFORMATEXTENSIBLE PcmFormat(WORD channels, DWORD rate, WORD bits);

class TestAudioHal;

struct TestHalConfig {
  std::vector<TestEngineSpec> engines;
  // ConfigureDevice's answer after building (a failure is the model's own).
  NTSTATUS configureStatus = STATUS_SUCCESS;
  bool answersUsbAudioHal = true;
  // Capability record of every engine; engines with `asio` also get
  // DEVICE_CAPS_FLAG_ASIO in Flags.
  DeviceCapsRecord caps{4, {}, 8, 0, 0, 0};
  std::function<NTSTATUS(TestAudioHal&)> build;
};

class TestAudioHal : public IUsbAudioHal, public CAudioHal {
 public:
  TestAudioHal(PUNKNOWN outerUnknown, USHORT idVendor, USHORT idProduct, const TestHalConfig& config);
  ~TestAudioHal() override;

  // The factory shape of the product's models.
  static NTSTATUS Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT idVendor, USHORT idProduct);
  // The description the next Create uses (default: one HeadSet render engine).
  static void SetNextConfig(const TestHalConfig& config);
  // Models created since the last Reset, oldest first, alive or not: check
  // IsAlive before touching one.
  static const std::vector<TestAudioHal*>& Models();
  static bool IsAlive(TestAudioHal* model);
  static void Reset();

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IAudioHal, where the test model differs from the base
  NTSTATUS STDMETHODCALLTYPE GetStreamEngineCaps(ULONG engineIndex, DeviceCapsRecord* caps) override;
  NTSTATUS STDMETHODCALLTYPE Init(PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject,
                                  PDEVICE_OBJECT lowerDeviceObject, PDEVICE_OBJECT physicalDeviceObject) override;
  NTSTATUS STDMETHODCALLTYPE Start() override;
  NTSTATUS STDMETHODCALLTYPE Stop() override;
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override;
  void STDMETHODCALLTYPE PowerChangeState(POWER_STATE newState) override;

  // ---- IUsbAudioHal
  NTSTATUS STDMETHODCALLTYPE RefreshSubdevices(ULONG unitId) override;
  NTSTATUS STDMETHODCALLTYPE GetCallbackObject(PCALLBACK_OBJECT* callbackObject) override;
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR, ULONG) override;
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioStreamInterface(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR,
                                                          ULONG) override;
  NTSTATUS STDMETHODCALLTYPE RestoreHardwareState() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE GetRefusal(ModelRefusal* refusal) override {
    if (refusal) *refusal = ModelRefusal{};
    return STATUS_SUCCESS;
  }

  // Builds one engine as described above; for `build` hooks too.
  NTSTATUS AddEngine(const TestEngineSpec& spec);
  // A CStreamEngine of the model (no reference added), or null.
  CStreamEngine* Engine(ULONG index);
  TestTerminalNode* Terminal(ULONG nodeId);

  USHORT idVendor;
  USHORT idProduct;
  TestHalConfig config;
  // What the model was asked.
  int initCount = 0;
  int startCount = 0;
  int stopCount = 0;
  int refreshCount = 0;
  std::vector<DEVICE_POWER_STATE> powerStates;
  PDEVICE_OBJECT initDeviceObject = nullptr;
  PDEVICE_OBJECT initLowerDeviceObject = nullptr;
  PDEVICE_OBJECT initPhysicalDeviceObject = nullptr;
};

}  // namespace testsupport
