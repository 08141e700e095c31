// The Audio Class 2.0 model on a bench: what it makes of the embedded
// headset, its status thread (which pipe it listens on, which messages it
// believes, every way it ends), what a message makes it do, and the
// capability records it answers.
#include <gtest/gtest.h>

#include "sim/device/Uac2Headset.h"
#include "tests/support/KernelTest.h"
#include "tests/variants/uac2/support/Uac2Devices.h"
#include "topology/TopologyInterfaces.h"
#include "usb/usbaudio.h"
#include "usb/usbaudio2.h"

namespace {

using namespace uac2test;
namespace headset = sim::uac2headset;
using haltest::ModelBench;

using haltest::SetPower;

// The headset's nodes: the clock, the render feature unit's mute and
// volume, the microphone unit's mute and volume.
constexpr ULONG kClockNode = 0;
constexpr ULONG kRenderMuteNode = 2;
constexpr ULONG kRenderVolumeNode = 3;
constexpr ULONG kMicMuteNode = 9;
constexpr ULONG kMicVolumeNode = 10;

class Uac2ModelTest : public haltest::ModelTest {
 protected:
  // The headset parsed and, with `start`, its status thread running.
  std::unique_ptr<ModelBench> Headset(bool start = true) {
    auto bench = HeadsetBench();
    EXPECT_EQ(bench->Init(), STATUS_SUCCESS);
    bench->WatchNotifications();
    if (start) {
      EXPECT_EQ(bench->Hal()->Start(), STATUS_SUCCESS);
      EXPECT_NE(Model(*bench)->GetStatusThread(), nullptr);
    }
    return bench;
  }
};

std::vector<ULONG> Rates(ModelBench& bench, ULONG clockNode) {
  ITopoNode* node = nullptr;
  EXPECT_EQ(bench.Hal()->GetNode(clockNode, &node), STATUS_SUCCESS);
  IClockSource* clock = nullptr;
  if (!node || !NT_SUCCESS(node->QueryInterface(IID_IClockSource, reinterpret_cast<PVOID*>(&clock)))) return {};
  ULONG count = 0;
  EXPECT_EQ(clock->GetRateCount(&count), STATUS_SUCCESS);
  std::vector<ULONG> rates(count);
  if (count) {
    EXPECT_EQ(clock->GetRateList(&count, rates.data()), STATUS_SUCCESS);
  }
  rates.resize(count);
  clock->Release();
  return rates;
}

std::vector<std::pair<ULONG, ULONG>> Formats(ModelBench& bench, ULONG engineIndex) {
  IStreamEngine* engine = nullptr;
  EXPECT_EQ(bench.Hal()->GetStreamEngine(engineIndex, &engine), STATUS_SUCCESS);
  std::vector<std::pair<ULONG, ULONG>> out;  // (rate, bits)
  for (ULONG i = 0; engine && i < engine->GetFormatCount(); ++i) {
    WAVEFORMATEXTENSIBLE f{};
    EXPECT_EQ(engine->GetFormat(i, &f), STATUS_SUCCESS);
    out.emplace_back(f.Format.nSamplesPerSec, f.Format.wBitsPerSample);
  }
  return out;
}

TEST_F(Uac2ModelTest, EmbeddedHeadsetBecomesClockUnitsNodesAndAFormatPerClockRate) {
  auto bench = Headset(false);
  CUac2AudioHal* model = Model(*bench);
  EXPECT_EQ(model->GetUnitCount(), 7u);
  EXPECT_EQ(bench->Hal()->GetNodeCount(), 12u);
  const std::vector<ULONG> rates = {44100, 48000, 88200, 96000, 176400, 192000};
  EXPECT_EQ(Rates(*bench, kClockNode), rates);
  // Render: alternate setting 1 (16-bit) then 2 (24-bit), each at every
  // rate; capture: 16-bit at every rate.
  std::vector<std::pair<ULONG, ULONG>> render, capture;
  for (ULONG bits : {16u, 24u})
    for (ULONG r : rates) render.emplace_back(r, bits);
  for (ULONG r : rates) capture.emplace_back(r, 16u);
  EXPECT_EQ(Formats(*bench, 0), render);
  EXPECT_EQ(Formats(*bench, 1), capture);
  // At full speed the clock stops at 96 kHz, and so do the formats.
  auto fullSpeed = HeadsetBench(platform::usb::Speed::Full);
  ASSERT_EQ(fullSpeed->Init(), STATUS_SUCCESS);
  EXPECT_EQ(Rates(*fullSpeed, kClockNode), (std::vector<ULONG>{44100, 48000, 88200, 96000}));
}

TEST_F(Uac2ModelTest, StatusThreadListensOnlyOnAnInterruptPipeOfSixBytePackets) {
  struct Case {
    uint16_t statusBytes;
    bool bulk;
    bool thread;
  };
  for (const Case& c : {Case{6, false, true}, Case{6, true, true}, Case{8, false, false}, Case{0, false, false},
                        Case{0, true, false}}) {
    SCOPED_TRACE(testing::Message() << c.statusBytes << (c.bulk ? " with bulk" : ""));
    SmallDevice shape = Speaker();
    shape.statusBytes = c.statusBytes;
    shape.bulk = c.bulk;
    auto bench = Bench(Build(shape));
    ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
    EXPECT_EQ(bench->Hal()->Start(), STATUS_SUCCESS);
    EXPECT_EQ(Model(*bench)->GetStatusThread() != nullptr, c.thread);
    EXPECT_EQ(Model(*bench)->GetBulkPipeIndex() != UAC2_NO_STATUS_PIPE, c.thread && c.bulk);
    EXPECT_EQ(bench->Hal()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(bench->Hal()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(bench->Usb().irpsAllocated, bench->Usb().irpsFreed);
  }
}

TEST_F(Uac2ModelTest, OnlyWholeCurMessagesAboutTheAudioControlInterfaceAreBelieved) {
  auto bench = Headset();
  sim::Uac2Device& device = Device(*bench);
  // The render unit's mute, then what the thread must let pass: a vendor
  // message, one from an endpoint, a RANGE change, another interface's,
  // and a five-byte message (the buffer still holds the render unit's id
  // from before). The microphone's mute after them is still seen.
  device.QueueStatusMessage(StatusMessage(headset::kRenderFeatureUnit, USB_AUDIO_FU_MUTE_CONTROL));
  Bytes vendor = StatusMessage(headset::kRenderFeatureUnit, USB_AUDIO_FU_MUTE_CONTROL);
  vendor[0] = USB_AUDIO2_STATUS_INFO_VENDOR;
  Bytes endpoint = vendor;
  endpoint[0] = USB_AUDIO2_STATUS_INFO_ENDPOINT;
  Bytes range = StatusMessage(headset::kRenderFeatureUnit, USB_AUDIO_FU_VOLUME_CONTROL);
  range[1] = USB_AUDIO2_RANGE;
  Bytes otherInterface = StatusMessage(headset::kRenderFeatureUnit, USB_AUDIO_FU_MUTE_CONTROL);
  otherInterface[4] = 1;
  const Bytes shortMessage = {0x00, USB_AUDIO2_CUR, 0x00, USB_AUDIO_FU_MUTE_CONTROL, 0x00};
  for (const Bytes& m : {vendor, endpoint, range, otherInterface, shortMessage}) device.QueueStatusMessage(m);
  device.QueueStatusMessage(StatusMessage(headset::kMicFeatureUnit, USB_AUDIO_FU_MUTE_CONTROL));
  EXPECT_TRUE(bench->AdvanceUntil([&] { return bench->Notifications().size() >= 2; }));
  bench->AdvanceUntil([] { return false; }, 10);
  EXPECT_EQ(bench->Notifications(), (std::vector<ULONG>{kRenderMuteNode, kMicMuteNode}));
}

TEST_F(Uac2ModelTest, StatusInterruptAnnouncesTheNodeTheEntityNames) {
  auto bench = Headset(false);
  CUac2AudioHal* model = Model(*bench);
  struct Case {
    uint8_t entity, cs, channel;
    NTSTATUS status;
    std::vector<ULONG> notified;
  };
  const Case cases[] = {
      {headset::kRenderFeatureUnit, USB_AUDIO_FU_MUTE_CONTROL, 0, STATUS_SUCCESS, {kRenderMuteNode}},
      {headset::kRenderFeatureUnit, USB_AUDIO_FU_VOLUME_CONTROL, 2, STATUS_SUCCESS, {kRenderVolumeNode}},
      // The vendor switch has no node type to announce.
      {headset::kRenderFeatureUnit, headset::kVendorSwitch, 0, STATUS_UNSUCCESSFUL, {}},
      {headset::kMicFeatureUnit, USB_AUDIO_FU_VOLUME_CONTROL, 0, STATUS_SUCCESS, {kMicVolumeNode}},
      {headset::kClock, USB_AUDIO2_CS_CLOCK_VALID_CONTROL, 0, STATUS_SUCCESS, {kClockNode}},
      {0x42, USB_AUDIO_FU_MUTE_CONTROL, 0, STATUS_UNSUCCESSFUL, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.entity) << ":" << int(c.cs) << ":" << int(c.channel));
    bench->ClearNotifications();
    EXPECT_EQ(model->OnStatusInterrupt(c.entity, c.cs, c.channel), c.status);
    EXPECT_EQ(bench->Notifications(), c.notified);
  }
}

// The model with its capability words set, as a derived model's parse
// would set them.
class CapsModel final : public CUac2AudioHal {
 public:
  using CUac2AudioHal::CUac2AudioHal;
  static NTSTATUS Create(PUNKNOWN* inner, PUNKNOWN outer, USHORT vendorId, USHORT productId) {
    auto* hal = new (NonPagedPool, UAC2_HAL_TAG) CapsModel(outer, vendorId, productId);
    if (!hal) return STATUS_INSUFFICIENT_RESOURCES;
    hal->m_Caps.CapabilityMask = 0xFFFFFFFF;
    hal->m_Caps.ModelValue = 0x77;
    hal->m_Caps.Flags = 0x41;
    hal->NonDelegatingAddRef();
    *inner = hal->GetInnerUnknown();
    return STATUS_SUCCESS;
  }
};

TEST_F(Uac2ModelTest, ChannelCapsComeFromTheHeadsetTableOrTheModelWords) {
  struct Expect {
    ULONG mask, flags;
  };
  auto check = [](IAudioHal* hal, ULONG direction, ULONG category, Expect e) {
    SCOPED_TRACE(testing::Message() << "direction " << direction << " category " << category);
    DeviceCapsRecord caps;
    std::memset(&caps, 0xCC, sizeof caps);
    ASSERT_EQ(hal->GetChannelCaps(direction, category, &caps), STATUS_SUCCESS);
    DeviceCapsRecord expected{};
    expected.CapabilityMask = e.mask;
    expected.Flags = e.flags;
    EXPECT_EQ(std::memcmp(&caps, &expected, sizeof caps), 0)
        << std::hex << caps.CapabilityMask << " " << caps.ModelValue << " " << caps.Flags;
  };
  // The headset (either direction, whatever the words say).
  sim::DescriptorSet set = headset::Descriptors();
  auto bench = Bench(set, headset::Profile(), platform::usb::Speed::High, CapsModel::Create);
  ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
  for (ULONG direction : {STREAM_DIRECTION_RENDER, STREAM_DIRECTION_CAPTURE}) {
    check(bench->Hal(), direction, PIN_CATEGORY_HP, {0x603F, 3});
    check(bench->Hal(), direction, PIN_CATEGORY_MIC, {0x29000, 0});
    check(bench->Hal(), direction, PIN_CATEGORY_LINE, {0, 0});
    check(bench->Hal(), direction, PIN_CATEGORY_SPDIF, {0, 0});
  }
  EXPECT_EQ(bench->Hal()->GetChannelCaps(STREAM_DIRECTION_RENDER, PIN_CATEGORY_HP, nullptr), STATUS_UNSUCCESSFUL);

  // Another device with two engines, and one with a single engine.
  set.device[8] = 0x34;  // idVendor
  auto two = Bench(set, headset::Profile(), platform::usb::Speed::High, CapsModel::Create);
  ASSERT_EQ(two->Init(), STATUS_SUCCESS);
  ASSERT_EQ(two->Hal()->GetStreamEngineCount(), 2u);
  check(two->Hal(), STREAM_DIRECTION_CAPTURE, PIN_CATEGORY_SPDIF, {0, 0});
  for (ULONG category : {PIN_CATEGORY_MIC, PIN_CATEGORY_FMIC, PIN_CATEGORY_REC})
    check(two->Hal(), STREAM_DIRECTION_CAPTURE, category, {0x28000, 0x12});
  check(two->Hal(), STREAM_DIRECTION_CAPTURE, PIN_CATEGORY_LINE, {0, 0x12});
  check(two->Hal(), STREAM_DIRECTION_RENDER, PIN_CATEGORY_HP, {0x3FE0FF, 0x41});
  check(two->Hal(), STREAM_DIRECTION_RENDER, PIN_CATEGORY_SPDIF, {0, 0});
  auto one = Bench(Build(Speaker()), sim::DefaultProfile(), platform::usb::Speed::High, CapsModel::Create);
  ASSERT_EQ(one->Init(), STATUS_SUCCESS);
  ASSERT_EQ(one->Hal()->GetStreamEngineCount(), 1u);
  check(one->Hal(), STREAM_DIRECTION_RENDER, PIN_CATEGORY_SPDIF, {0, 0x41});
}

TEST_F(Uac2ModelTest, FailedThreadCreationLeavesNothingToWaitFor) {
  auto bench = Headset(false);
  CUac2AudioHal* model = Model(*bench);
  platform::pool::FailAllocationsWithTag(platform::thread::kThreadTag);
  EXPECT_EQ(bench->Hal()->Start(), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool::FailAllocationsWithTag(0);
  EXPECT_EQ(model->GetStatusPipeIndex(), UAC2_NO_STATUS_PIPE);
  EXPECT_EQ(model->GetBulkPipeIndex(), UAC2_NO_STATUS_PIPE);
  EXPECT_EQ(model->GetStatusThread(), nullptr);
  // None of these waits for a thread.
  EXPECT_EQ(bench->Hal()->Stop(), STATUS_SUCCESS);
  SetPower(bench->Hal(), PowerDeviceD3);
  SetPower(bench->Hal(), PowerDeviceD0);
  // The power-up started a thread after all.
  EXPECT_NE(model->GetStatusThread(), nullptr);
}

TEST_F(Uac2ModelTest, SecondStartWhileTheThreadRunsIsRefusedAndChangesNothing) {
  auto bench = Headset();
  CUac2AudioHal* model = Model(*bench);
  PKTHREAD thread = model->GetStatusThread();
  // The thread arms its transfers in its own time: counted once they are out.
  const ULONG listening = model->GetBulkPipeIndex() != UAC2_NO_STATUS_PIPE ? 2 : 1;
  ASSERT_TRUE(bench->AdvanceUntil([&] { return bench->Usb().irpsAllocated - bench->Usb().irpsFreed >= listening; }));
  const ULONG irps = bench->Usb().irpsAllocated;
  EXPECT_EQ(bench->Hal()->Start(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(model->GetStatusThread(), thread);
  EXPECT_EQ(bench->Usb().irpsAllocated, irps);
  // It still listens.
  Device(*bench).QueueStatusMessage(StatusMessage(headset::kMicFeatureUnit, USB_AUDIO_FU_MUTE_CONTROL));
  EXPECT_TRUE(bench->AdvanceUntil([&] { return bench->Notifications() == std::vector<ULONG>{kMicMuteNode}; }));
  EXPECT_EQ(bench->Hal()->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(model->GetStatusThread(), nullptr);
  EXPECT_EQ(bench->Usb().irpsAllocated, bench->Usb().irpsFreed);
}

// One failed transfer on either pipe, or one the pool could not give
// memory for: the thread pauses, sends again and handles the message the
// device queued meanwhile, without a new start. Only a device that is gone
// ends it.
TEST_F(Uac2ModelTest, ThreadRidesOutAFailedTransferAndEndsOnlyWhenTheDeviceIsGone) {
  constexpr UCHAR kSpeakerUnit = 2;  // Speaker()'s feature unit
  struct Case {
    const char* name;
    bool bulk;  // the device has a bulk pipe too
    std::function<void(ModelBench&)> fault;
  };
  const auto firstRefused = [](ULONG bytes) {
    return [bytes](ModelBench& b) {
      b.Usb().interruptHook = [bytes, refused = false](PURB urb, NTSTATUS* status) mutable {
        if (refused || urb->UrbBulkOrInterruptTransfer.TransferBufferLength != bytes) return false;
        refused = true;
        *status = STATUS_UNSUCCESSFUL;
        return true;
      };
    };
  };
  const Case cases[] = {
      {"interrupt transfer stalls", false, [](ModelBench& b) { Device(b).FailInterruptPolls(USBD_STATUS_STALL_PID); }},
      {"interrupt transfer refused at once", false, firstRefused(USB_AUDIO2_STATUS_MESSAGE_BYTES)},
      {"bulk transfer refused at once", true, firstRefused(UAC2_BULK_BUFFER_BYTES)},
      {"no memory for the transfers", true, [](ModelBench&) { platform::pool::FailAllocationsWithTag(UAC2_HAL_TAG); }},
      {"no IRP", true, [](ModelBench& b) { b.Usb().refuseIrps = 3; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmallDevice shape = Speaker();
    shape.bulk = c.bulk;
    auto bench = c.bulk ? Bench(Build(shape)) : HeadsetBench();
    ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
    bench->WatchNotifications();
    c.fault(*bench);
    ASSERT_EQ(bench->Hal()->Start(), STATUS_SUCCESS);
    CUac2AudioHal* model = Model(*bench);
    PKTHREAD thread = model->GetStatusThread();
    ASSERT_NE(thread, nullptr);
    ObReferenceObject(thread);
    const UCHAR unit = c.bulk ? kSpeakerUnit : headset::kMicFeatureUnit;
    Device(*bench).QueueStatusMessage(StatusMessage(unit, USB_AUDIO_FU_MUTE_CONTROL));
    bench->AdvanceUntil([] { return false; }, 30);
    platform::pool::ClearFailures();
    EXPECT_TRUE(bench->AdvanceUntil([&] { return !bench->Notifications().empty(); }, 2000));
    EXPECT_FALSE(haltest::ThreadEnded(thread));
    EXPECT_EQ(bench->Hal()->Stop(), STATUS_SUCCESS);
    EXPECT_TRUE(haltest::ThreadEnded(thread));
    ObDereferenceObject(thread);
    EXPECT_EQ(bench->Usb().irpsAllocated, bench->Usb().irpsFreed);
  }

  // Pulled: the thread ends by itself and says why, and the stop after
  // that has nothing left to wait for.
  auto bench = Headset();
  CUac2AudioHal* model = Model(*bench);
  PKTHREAD thread = model->GetStatusThread();
  ObReferenceObject(thread);
  platform::debug::Clear();
  bench->Port().Unplug();
  EXPECT_TRUE(bench->AdvanceUntil([&] { return haltest::ThreadEnded(thread); }));
  ObDereferenceObject(thread);
  EXPECT_TRUE(platform::debug::Contains("the status thread ends: the device is gone"));
  EXPECT_EQ(bench->Hal()->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(bench->Usb().irpsAllocated, bench->Usb().irpsFreed);
}

TEST_F(Uac2ModelTest, PowerDownEndsTheThreadAndPowerUpRestoresTheNodesThenListens) {
  auto bench = Headset();
  CUac2AudioHal* model = Model(*bench);
  PKTHREAD first = model->GetStatusThread();
  ObReferenceObject(first);
  SetPower(bench->Hal(), PowerDeviceD3);
  EXPECT_TRUE(haltest::ThreadEnded(first));
  ObDereferenceObject(first);
  EXPECT_EQ(model->GetStatusThread(), nullptr);

  bench->Device().ClearRequests();
  SetPower(bench->Hal(), PowerDeviceD0);
  EXPECT_NE(model->GetStatusThread(), nullptr);
  size_t sets = 0;
  for (const sim::RequestRecord& r : bench->Device().Requests())
    sets += r.setup.bRequest == USB_AUDIO2_CUR && !(r.setup.bmRequestType & 0x80);
  EXPECT_GT(sets, 0u);  // the node values went back to the device

  // The state it is in already changes nothing.
  bench->Device().ClearRequests();
  SetPower(bench->Hal(), PowerDeviceD0);
  EXPECT_TRUE(bench->Device().Requests().empty());
}

}  // namespace
