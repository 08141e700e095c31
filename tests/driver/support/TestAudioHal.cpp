#include "tests/driver/support/TestAudioHal.h"

#include <algorithm>
#include <mutex>

namespace testsupport {
namespace {

constexpr GUID kSubtypePcm =
    DEFINE_GUID_VALUE(0x00000001, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);

struct Registry {
  std::mutex lock;
  TestHalConfig next = [] {
    TestHalConfig config;
    config.engines = {RenderEngine(PIN_CATEGORY_HEADSET)};
    return config;
  }();
  std::vector<TestAudioHal*> created;
  std::vector<TestAudioHal*> alive;
};
Registry& R() {
  static Registry registry;
  return registry;
}

}  // namespace

TestEngineSpec RenderEngine(PinCategory category) {
  TestEngineSpec spec;
  spec.direction = STREAM_DIRECTION_RENDER;
  spec.category = category;
  return spec;
}

TestEngineSpec CaptureEngine(PinCategory category) {
  TestEngineSpec spec;
  spec.direction = STREAM_DIRECTION_CAPTURE;
  spec.category = category;
  return spec;
}

WAVEFORMATEXTENSIBLE PcmFormat(WORD channels, DWORD rate, WORD bits) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = rate;
  f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  f.Format.wBitsPerSample = bits;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = bits;
  f.dwChannelMask = channels == 2 ? KSAUDIO_SPEAKER_STEREO : 0;
  f.SubFormat = kSubtypePcm;
  return f;
}

TestAudioHal::TestAudioHal(PUNKNOWN outerUnknown, USHORT idVendor, USHORT idProduct, const TestHalConfig& config)
    : CAudioHal(outerUnknown), idVendor(idVendor), idProduct(idProduct), config(config) {
  std::lock_guard<std::mutex> guard(R().lock);
  R().created.push_back(this);
  R().alive.push_back(this);
}

TestAudioHal::~TestAudioHal() {
  std::lock_guard<std::mutex> guard(R().lock);
  auto& alive = R().alive;
  alive.erase(std::remove(alive.begin(), alive.end(), this), alive.end());
}

NTSTATUS TestAudioHal::Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT idVendor, USHORT idProduct) {
  if (!innerUnknown) return STATUS_INVALID_PARAMETER;
  *innerUnknown = nullptr;
  TestHalConfig config;
  {
    std::lock_guard<std::mutex> guard(R().lock);
    config = R().next;
  }
  auto* model = new (NonPagedPool, TEST_AUDIO_HAL_TAG) TestAudioHal(outerUnknown, idVendor, idProduct, config);
  if (!model) return STATUS_INSUFFICIENT_RESOURCES;
  model->NonDelegatingAddRef();
  *innerUnknown = model->GetInnerUnknown();
  return STATUS_SUCCESS;
}

void TestAudioHal::SetNextConfig(const TestHalConfig& config) {
  std::lock_guard<std::mutex> guard(R().lock);
  R().next = config;
}

const std::vector<TestAudioHal*>& TestAudioHal::Models() { return R().created; }

bool TestAudioHal::IsAlive(TestAudioHal* model) {
  std::lock_guard<std::mutex> guard(R().lock);
  return std::find(R().alive.begin(), R().alive.end(), model) != R().alive.end();
}

void TestAudioHal::Reset() {
  std::lock_guard<std::mutex> guard(R().lock);
  R().created.clear();
  R().next = TestHalConfig{};
  R().next.engines = {RenderEngine(PIN_CATEGORY_HEADSET)};
}

NTSTATUS TestAudioHal::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUIDAligned(iid, IID_IUsbAudioHal)) {
    if (!config.answersUsbAudioHal) {
      *object = nullptr;
      return STATUS_INVALID_PARAMETER;
    }
    *object = static_cast<IUsbAudioHal*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CAudioHal::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS TestAudioHal::GetStreamEngineCaps(ULONG engineIndex, DeviceCapsRecord* caps) {
  if (!caps) return STATUS_INVALID_PARAMETER;
  *caps = config.caps;
  if (engineIndex < config.engines.size() && config.engines[engineIndex].asio) caps->Flags |= DEVICE_CAPS_FLAG_ASIO;
  return STATUS_SUCCESS;
}

NTSTATUS TestAudioHal::Init(PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT lowerDeviceObject,
                            PDEVICE_OBJECT physicalDeviceObject) {
  ++initCount;
  initDeviceObject = deviceObject;
  initLowerDeviceObject = lowerDeviceObject;
  initPhysicalDeviceObject = physicalDeviceObject;
  m_Caps = config.caps;
  return CAudioHal::Init(resourceList, deviceObject, lowerDeviceObject, physicalDeviceObject);
}

NTSTATUS TestAudioHal::Start() {
  ++startCount;
  return CAudioHal::Start();
}

NTSTATUS TestAudioHal::Stop() {
  ++stopCount;
  return CAudioHal::Stop();
}

void TestAudioHal::PowerChangeState(POWER_STATE newState) {
  powerStates.push_back(newState.DeviceState);
  CAudioHal::PowerChangeState(newState);
}

NTSTATUS TestAudioHal::ConfigureDevice() {
  for (const TestEngineSpec& spec : config.engines) {
    NTSTATUS status = AddEngine(spec);
    if (!NT_SUCCESS(status)) return status;
  }
  if (config.build) {
    NTSTATUS status = config.build(*this);
    if (!NT_SUCCESS(status)) return status;
  }
  return config.configureStatus;
}

NTSTATUS TestAudioHal::AddEngine(const TestEngineSpec& spec) {
  ULONG firstId = GetNodeCount();
  bool render = spec.direction == STREAM_DIRECTION_RENDER;
  PinCategory inputCategory = render ? PIN_CATEGORY_STREAM : spec.category;
  PinCategory outputCategory = render ? spec.category : PIN_CATEGORY_STREAM;
  auto* input = MakeNode<TestTerminalNode>(firstId, NODE_TYPE_INPUT_PIN, inputCategory);
  auto* output = MakeNode<TestTerminalNode>(firstId + 1, NODE_TYPE_OUTPUT_PIN, outputCategory);
  CStreamEngine* engine =
      spec.cyclic ? new (NonPagedPool, TEST_AUDIO_HAL_TAG) TestCyclicEngine(nullptr, GetStreamEngineCount())
                  : new (NonPagedPool, TEST_AUDIO_HAL_TAG) CStreamEngine(nullptr, GetStreamEngineCount());
  if (engine) engine->NonDelegatingAddRef();

  NTSTATUS status = (input && output && engine) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) status = output->SetSourceIds(1, &firstId);
  if (NT_SUCCESS(status)) {
    TestTerminalNode* device = render ? output : input;
    for (bool connected : spec.jacks) device->AddJack(connected);
  }
  if (NT_SUCCESS(status)) status = engine->Init(spec.direction);
  if (NT_SUCCESS(status)) status = engine->AllocateWorkBuffers();
  if (NT_SUCCESS(status)) {
    std::vector<WAVEFORMATEXTENSIBLE> formats = spec.formats;
    if (formats.empty()) {
      formats.push_back(PcmFormat(2, 48000, 16));
      if (render) formats.push_back(PcmFormat(8, 48000, 16));
    }
    for (const auto& format : formats)
      if (NT_SUCCESS(status)) status = engine->AddFormat(&format);
  }
  if (NT_SUCCESS(status)) status = AddNode(input);
  if (NT_SUCCESS(status)) status = AddNode(output);
  if (NT_SUCCESS(status)) status = engine->AttachNode(input);
  if (NT_SUCCESS(status)) status = engine->AttachNode(output);
  if (NT_SUCCESS(status)) status = AddStreamEngine(engine);
  if (input) input->Release();
  if (output) output->Release();
  if (engine) engine->Release();
  return status;
}

CStreamEngine* TestAudioHal::Engine(ULONG index) {
  IStreamEngine* engine = nullptr;
  if (!NT_SUCCESS(GetStreamEngine(index, &engine))) return nullptr;
  // Every engine of the test model is a CStreamEngine.
  return static_cast<CStreamEngine*>(engine);
}

TestCyclicEngine* TestAudioHal::CyclicEngine(ULONG index) {
  if (index >= config.engines.size() || !config.engines[index].cyclic) return nullptr;
  return static_cast<TestCyclicEngine*>(Engine(index));
}

TestTerminalNode* TestAudioHal::Terminal(ULONG nodeId) {
  ITopoNode* node = nullptr;
  if (!NT_SUCCESS(FindNodeById(nodeId, &node))) return nullptr;
  PVOID object = nullptr;
  if (!NT_SUCCESS(node->QueryInterface(IID_ITerminal, &object))) return nullptr;
  static_cast<ITerminal*>(object)->Release();
  return static_cast<TestTerminalNode*>(static_cast<ITerminal*>(object));
}

NTSTATUS TestAudioHal::RefreshSubdevices(ULONG) {
  ++refreshCount;
  return STATUS_SUCCESS;
}

NTSTATUS TestAudioHal::GetCallbackObject(PCALLBACK_OBJECT* callbackObject) {
  if (!callbackObject) return STATUS_UNSUCCESSFUL;
  *callbackObject = m_CallbackObject;
  return STATUS_SUCCESS;
}

NTSTATUS TestAudioHal::UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR, ULONG) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TestAudioHal::UsbParseAudioStreamInterface(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR, ULONG) {
  return STATUS_NOT_IMPLEMENTED;
}

}  // namespace testsupport
