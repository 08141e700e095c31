// The USB stream engines as the descriptor parser makes them: construction,
// Init with its callback object, stream thread and stream limiter, the
// format records with their alternate settings, and a teardown that leaves
// nothing behind.
#include <gtest/gtest.h>

#include <algorithm>

#include "dsp/CPeakLimiter.h"
#include "portcls/framework.h"
#include "streaming/CUac1Capture.h"
#include "streaming/CUac1Render.h"
#include "tests/streaming/support/StreamBench.h"
#include "tests/support/KernelTest.h"

namespace {

constexpr ULONG kTag = MakeTag("UAC1");

using streamtest::Pcm;

template <typename TEngine>
TEngine* NewEngine(ULONG interfaceNumber, ULONG terminalNodeId) {
  auto* engine = new (NonPagedPool, kTag) TEngine(nullptr, interfaceNumber, terminalNodeId);
  engine->NonDelegatingAddRef();
  return engine;
}

class UsbStreamEngineTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::portcls::ResetForTest();
  }
};

TEST_F(UsbStreamEngineTest, InitMakesTheCallbackObjectTheThreadAndTheLimiter) {
  auto* engine = NewEngine<CTQ4187Render>(1, 4);
  ASSERT_EQ(engine->Init(STREAM_DIRECTION_RENDER, nullptr), STATUS_SUCCESS);
  EXPECT_FALSE(engine->IsCapture());
  EXPECT_EQ(engine->GetEngineId(), 1u);
  EXPECT_EQ(engine->GetTerminalNodeId(), 4u);

  char expected[64];
  // The kernel's %p: sixteen hexadecimal digits.
  std::snprintf(expected, sizeof expected, "\\Callback\\CyclicControlAddr%016llX",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(engine)));
  std::vector<std::u16string> names = platform::callback::Names();
  EXPECT_NE(std::find_if(names.begin(), names.end(),
                         [&](const std::u16string& n) {
                           std::string narrow(n.begin(), n.end());
                           return strcasecmp(narrow.c_str(), expected) == 0;
                         }),
            names.end());
  EXPECT_NE(engine->GetCyclicCallbackObject(), nullptr);

  ASSERT_NE(engine->GetStreamThread(), nullptr);
  EXPECT_EQ(platform::thread::PriorityHistory(engine->GetStreamThread()),
            (std::vector<KPRIORITY>{USB_STREAM_THREAD_START_PRIORITY, USB_STREAM_THREAD_PRIORITY}));
  EXPECT_EQ(platform::thread::LiveCount(), ThreadsAtSetUp() + 1);
  ASSERT_NE(engine->GetStreamLimiter(), nullptr);
  EXPECT_TRUE(engine->GetStreamLimiter()->IsAllocated());
  EXPECT_EQ(engine->GetStreamState(), STREAM_STATE_CLOSED);

  // The last release ends the thread and takes the named object along
  // (the fixture checks both).
  engine->NonDelegatingRelease();
}

TEST_F(UsbStreamEngineTest, FailedThreadFailsInitAndLeavesNoCallbackObject) {
  auto* engine = NewEngine<CUac1Capture>(2, 9);
  platform::pool::FailAllocationsWithTag(platform::thread::kThreadTag);
  EXPECT_EQ(engine->Init(STREAM_DIRECTION_CAPTURE, nullptr), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool::FailAllocationsWithTag(0);
  EXPECT_EQ(engine->GetCyclicCallbackObject(), nullptr);
  EXPECT_EQ(engine->GetStreamThread(), nullptr);
  engine->NonDelegatingRelease();
}

TEST_F(UsbStreamEngineTest, MissingLimiterDoesNotFailInit) {
  auto* engine = NewEngine<CTQ4187Render>(1, 0);
  // The format-record list comes first; the limiter second.
  platform::pool::FailNthAllocationWithTag(USB_STREAM_FORMAT_TAG, 2);
  EXPECT_EQ(engine->Init(STREAM_DIRECTION_RENDER, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(engine->GetStreamLimiter(), nullptr);
  engine->NonDelegatingRelease();
}

TEST_F(UsbStreamEngineTest, FormatsKeepTheAlternateSettingThatCarriesThem) {
  auto* engine = NewEngine<CUac1Capture>(2, 9);
  ASSERT_EQ(engine->Init(STREAM_DIRECTION_CAPTURE, nullptr), STATUS_SUCCESS);
  const WAVEFORMATEXTENSIBLE mono16 = Pcm(1, 16000, 16, 4);
  const WAVEFORMATEXTENSIBLE mono48 = Pcm(1, 48000, 16, 4);
  const WAVEFORMATEXTENSIBLE mono48NoMask = Pcm(1, 48000, 16, 0);
  EXPECT_EQ(engine->AddFormat(&mono16, 1), STATUS_SUCCESS);
  EXPECT_EQ(engine->AddFormat(&mono48, 3), STATUS_SUCCESS);
  EXPECT_EQ(engine->AddFormat(&mono48NoMask, 3), STATUS_SUCCESS);
  EXPECT_EQ(engine->GetFormatCount(), 3u);
  EXPECT_EQ(engine->GetFormatRecordCount(), 3u);

  UCHAR alternate = 0;
  EXPECT_EQ(engine->FindAlternateSetting(&mono48, &alternate), STATUS_SUCCESS);
  EXPECT_EQ(alternate, 3);
  // A plain WAVEFORMATEX query matches channels, rate, bits and the tag.
  WAVEFORMATEXTENSIBLE plain{};
  plain.Format = {WAVE_FORMAT_PCM, 1, 16000, 32000, 2, 16, 0};
  EXPECT_EQ(engine->FindAlternateSetting(&plain, &alternate), STATUS_SUCCESS);
  EXPECT_EQ(alternate, 1);
  plain.Format.nSamplesPerSec = 44100;
  EXPECT_EQ(engine->FindAlternateSetting(&plain, &alternate), STATUS_INVALID_PARAMETER);
  const WAVEFORMATEXTENSIBLE stereo = Pcm(2, 48000, 16, 3);
  EXPECT_EQ(engine->FindAlternateSetting(&stereo, &alternate), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(engine->FindAlternateSetting(&mono48, nullptr), STATUS_INVALID_PARAMETER);
  engine->NonDelegatingRelease();
}

TEST_F(UsbStreamEngineTest, InterfacesAnswerAndAClosedEngineDoesNotStart) {
  auto* engine = NewEngine<CTQ4187Render>(1, 0);
  ASSERT_EQ(engine->Init(STREAM_DIRECTION_RENDER, nullptr), STATUS_SUCCESS);
  PUNKNOWN inner = engine->GetInnerUnknown();
  PVOID object = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_ICyclicControl, &object), STATUS_SUCCESS);
  EXPECT_EQ(object, static_cast<PVOID>(engine));  // the primary interface
  auto* cyclic = static_cast<ICyclicControl*>(object);
  for (const GUID* iid : {&IID_IStreamEngine, &IID_IUnknown}) {
    PVOID streamEngine = nullptr;
    ASSERT_EQ(inner->QueryInterface(*iid, &streamEngine), STATUS_SUCCESS);
    EXPECT_EQ(streamEngine, static_cast<PVOID>(static_cast<IStreamEngine*>(engine)));
    static_cast<IUnknown*>(streamEngine)->Release();
  }
  ASSERT_EQ(inner->QueryInterface(IID_IDrmContentForward, &object), STATUS_SUCCESS);
  auto* drm = static_cast<IDrmContentForward*>(object);
  object = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(inner->QueryInterface(IID_IAudioHal, &object), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(object, nullptr);

  StreamClientRecord* record = reinterpret_cast<StreamClientRecord*>(1);
  WAVEFORMATEXTENSIBLE format = Pcm(8, 48000, 16, 0x63F);
  // No callback, nothing to notify: refused before anything is made.
  EXPECT_EQ(cyclic->RegisterClient(CYCLIC_CLIENT_WAVE, &format, 10, 10, nullptr, nullptr, &record),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(engine->Start(0, FALSE), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(engine->Stop(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(engine->Close(), STATUS_INVALID_PARAMETER);

  // Without an open pipe the content id goes to the stack with no target.
  EXPECT_EQ(drm->ForwardContentId(42), STATUS_SUCCESS);
  ASSERT_EQ(platform::portcls::ForwardedContent().size(), 1u);
  EXPECT_EQ(platform::portcls::ForwardedContent()[0].contentId, 42u);
  EXPECT_EQ(platform::portcls::ForwardedContent()[0].deviceObject, nullptr);
  drm->Release();
  cyclic->Release();
  engine->NonDelegatingRelease();
}

}  // namespace
