// The model's interfaces as the device object and the miniports use them:
// the interface table, the capability records, and the parser entries fed
// with bytes no configuration parser upstream would let through.
#include "sim/device/DefaultHeadset.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/driver/hal/support/ModelBench.h"
#include "tests/support/KernelTest.h"

namespace {

using namespace haltest;

class ModelInterfaceTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
  }
};

TEST_F(ModelInterfaceTest, InnerUnknownAnswersTheModelsInterfacesOnly) {
  for (AudioHalFactory factory : {C7719AudioHal::Create, CK784AudioHal::Create}) {
    ModelBench bench(StereoHeadset(), PlainProfile(), factory);
    ASSERT_EQ(bench.CreateStatus(), STATUS_SUCCESS);
    CUac1AudioHal* model = bench.Model();
    PUNKNOWN inner = model->GetInnerUnknown();
    PVOID object = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IUsbAudioHal, &object), STATUS_SUCCESS);
    // The first base: the object itself.
    EXPECT_EQ(object, static_cast<PVOID>(model));
    static_cast<IUsbAudioHal*>(object)->Release();
    for (const GUID* iid : {&IID_IUnknown, &IID_IAudioHal}) {
      ASSERT_EQ(inner->QueryInterface(*iid, &object), STATUS_SUCCESS);
      EXPECT_EQ(object, static_cast<PVOID>(static_cast<IAudioHal*>(model)));
      static_cast<IUnknown*>(object)->Release();
    }
    ASSERT_EQ(inner->QueryInterface(IID_IAdapterPowerManagement, &object), STATUS_SUCCESS);
    static_cast<IUnknown*>(object)->Release();
    object = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(inner->QueryInterface(IID_IStreamEngine, &object), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(object, nullptr);

    PCALLBACK_OBJECT callback = nullptr;
    EXPECT_EQ(model->GetCallbackObject(nullptr), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
    EXPECT_EQ(model->GetCallbackObject(&callback), STATUS_SUCCESS);
    EXPECT_EQ(callback, model->GetHalCallbackObject());
    EXPECT_NE(callback, nullptr);
  }
}

TEST_F(ModelInterfaceTest, ChannelCapsOfTheProductModels) {
  struct Case {
    ULONG direction, category;
    ULONG mask, value;
  };
  const Case product[] = {{0, PIN_CATEGORY_SPK, 4, 8}, {1, PIN_CATEGORY_MIC, 4, 8}, {0, PIN_CATEGORY_SPDIF, 0, 0}};
  // The one device with its own rule: the model value stays 0, a capture
  // microphone gets a bit of its own, and S/PDIF is not cleared.
  const Case special[] = {{0, PIN_CATEGORY_SPK, 4, 0}, {1, PIN_CATEGORY_MIC, 0x800004, 0},
                          {0, PIN_CATEGORY_MIC, 4, 0}, {0, PIN_CATEGORY_SPDIF, 4, 0}};
  struct Device {
    uint16_t vendor, product;
    AudioHalFactory factory;
    const Case* cases;
    size_t count;
  };
  const Device devices[] = {{0x0D8C, 0x0014, C7719AudioHal::Create, product, std::size(product)},
                            {0x5E1F, 0xB9E4, CK784AudioHal::Create, product, std::size(product)},
                            {0x6B3E, 0x4E18, C7719AudioHal::Create, special, std::size(special)}};
  for (const Device& d : devices) {
    SCOPED_TRACE(testing::Message() << std::hex << d.vendor << ":" << d.product);
    ModelBench bench(StereoHeadset({}, d.vendor, d.product), PlainProfile(), d.factory);
    ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
    for (size_t i = 0; i < d.count; ++i) {
      const Case& c = d.cases[i];
      DeviceCapsRecord caps;
      std::memset(&caps, 0xCC, sizeof caps);
      EXPECT_EQ(bench.Hal()->GetChannelCaps(c.direction, c.category, &caps), STATUS_SUCCESS);
      DeviceCapsRecord expected{};
      expected.CapabilityMask = c.mask;
      expected.ModelValue = c.value;
      EXPECT_EQ(std::memcmp(&caps, &expected, sizeof caps), 0) << c.direction << "/" << c.category;
    }
    EXPECT_EQ(bench.Hal()->GetChannelCaps(0, 1, nullptr), STATUS_UNSUCCESSFUL);
  }
}

TEST_F(ModelInterfaceTest, EngineCapsAreEachEnginesOwnAndAnIndexPastTheLastIsRefused) {
  // Render HP first, capture microphone last: only the latter has the bit.
  ModelBench bench(StereoHeadset({}, 0x6B3E, 0x4E18), PlainProfile());
  ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
  ASSERT_EQ(bench.Hal()->GetStreamEngineCount(), 2u);
  struct Case {
    ULONG index;
    NTSTATUS status;
    ULONG mask;  // 0xCCCCCCCC: the record is left as it was
  };
  const Case cases[] = {{0, STATUS_SUCCESS, 4},
                        {1, STATUS_SUCCESS, 0x800004},
                        {2, STATUS_INVALID_PARAMETER, 0xCCCCCCCC},
                        {77, STATUS_INVALID_PARAMETER, 0xCCCCCCCC}};
  for (const Case& c : cases) {
    DeviceCapsRecord caps;
    std::memset(&caps, 0xCC, sizeof caps);
    EXPECT_EQ(bench.Hal()->GetStreamEngineCaps(c.index, &caps), c.status) << c.index;
    EXPECT_EQ(caps.CapabilityMask, c.mask) << c.index;
  }
}

TEST_F(ModelInterfaceTest, ParsersEndEveryWalkWithAStatus) {
  ModelBench bench(StereoHeadset(), PlainProfile());
  ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
  const Bytes controlInterface = {9, 4, 0, 0, 0, 1, 1, 0, 0};
  const Bytes streamingInterface = {9, 4, 1, 0, 0, 1, 2, 0, 0};
  const Bytes header = {9, 0x24, 1, 0x00, 0x01, 9, 0, 0, 0};
  struct Case {
    const char* name;
    bool control;
    Bytes tail;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"AudioControl: the interface alone", true, {}, STATUS_SUCCESS},
      {"AudioControl: a length of 0", true, {0, 0x24, 2, 7, 0, 0}, STATUS_UNSUCCESSFUL},
      {"AudioControl: a length of 1", true, {1, 0x24, 2, 7}, STATUS_UNSUCCESSFUL},
      {"AudioControl: one byte left", true, {9}, STATUS_UNSUCCESSFUL},
      {"AudioControl: a unit shorter than its id", true, {3, 0x24, 2}, STATUS_UNSUCCESSFUL},
      {"AudioControl: a unit running past the end", true, {12, 0x24, 2, 1, 1, 1}, STATUS_UNSUCCESSFUL},
      {"AudioControl: an endpoint ends the walk", true, {7, 5, 0x83, 3, 2, 0, 16}, STATUS_SUCCESS},
      {"AudioStreaming: a length of 0", false, {0, 0x24, 1, 1, 1, 1, 0}, STATUS_UNSUCCESSFUL},
      {"AudioStreaming: one byte left", false, {7}, STATUS_UNSUCCESSFUL},
      {"AudioStreaming: a short interface descriptor", false, {5, 4, 1, 1, 1}, STATUS_UNSUCCESSFUL},
      {"AudioStreaming: a class-specific descriptor without its subtype", false, {2, 0x24}, STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = c.control ? controlInterface : streamingInterface;
    if (c.control && !c.tail.empty()) bytes.insert(bytes.end(), header.begin(), header.end());
    bytes.insert(bytes.end(), c.tail.begin(), c.tail.end());
    auto* iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(bytes.data());
    const auto length = static_cast<ULONG>(bytes.size());
    NTSTATUS status = c.control ? bench.Model()->UsbParseAudioControlInterface(iface, length)
                                : bench.Model()->UsbParseAudioStreamInterface(
                                      bench.Usb().GetConfigurationDescriptor(), iface, length);
    EXPECT_EQ(status, c.status);
  }
  // An interface descriptor of another kind is refused before any walk.
  Bytes wrongClass = controlInterface;
  wrongClass[7] = 0x20;  // protocol
  EXPECT_EQ(bench.Model()->UsbParseAudioControlInterface(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(wrongClass.data()),
                                                         9),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bench.Model()->UsbParseAudioControlInterface(nullptr, 0), STATUS_INVALID_PARAMETER);
}

}  // namespace
