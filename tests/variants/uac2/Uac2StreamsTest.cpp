// The Audio Class 2.0 pipes on the model bench: render paced by the
// feedback within buffers that hold whatever the feedback may ask for, the
// feedback pipe across selections, the valid-settings bitmap, the formats
// an open refuses, and capture's URB count, silence and ring.
#include <gtest/gtest.h>

#include <mutex>

#include "kernel/debug.h"
#include "sim/device/Uac2Headset.h"
#include "tests/streaming/support/PipeRig.h"
#include "tests/variants/uac2/support/Uac2Devices.h"
#include "topology/TopologyInterfaces.h"
#include "usb/usbaudio2.h"
#include "variants/uac2/CUac2Capture.h"
#include "variants/uac2/CUac2Render.h"

namespace {

using namespace uac2test;
namespace headset = sim::uac2headset;
using haltest::ModelBench;
using pipetest::Pcm;
using pipetest::RigClient;
using pipetest::RunFramesUntil;
using platform::usb::Speed;

class Uac2StreamsTest : public haltest::ModelTest {};

template <typename TEngine>
TEngine* EngineOf(ModelBench& bench, ULONG index) {
  IStreamEngine* engine = nullptr;
  EXPECT_EQ(bench.Hal()->GetStreamEngine(index, &engine), STATUS_SUCCESS);
  return engine ? static_cast<TEngine*>(static_cast<CUsbStreamEngine*>(engine)) : nullptr;
}

// The data URBs the render pipe sends: each one's frames and bytes.
struct UrbLog {
  std::mutex lock;
  std::vector<ULONG> bytes;
  ULONG maxFrames = 0;

  void Watch(ModelBench& bench, ULONG blockAlign) {
    bench.Usb().isochObserver = [this, blockAlign](PURB urb) {
      const URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
      if (iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) return;
      std::lock_guard<std::mutex> guard(lock);
      bytes.push_back(iso.TransferBufferLength);
      maxFrames = std::max(maxFrames, iso.TransferBufferLength / blockAlign);
    };
  }
};

// 10.14 samples per frame for a rate.
uint32_t FullSpeedFeedback(double hz) { return static_cast<uint32_t>(hz * 16384.0 / 1000.0); }

TEST_F(Uac2StreamsTest, RenderFollowsTheFeedbackInsideBuffersSizedForTheWindow) {
  // 44.1 kHz at full speed; the device first claims a rate the window does
  // not believe, then one 1000 Hz fast: 451 frames in a 10 ms URB, one more
  // than a buffer sized for the nominal rate holds.
  auto bench = HeadsetBench(Speed::Full);
  ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
  auto* render = EngineOf<CUac2Render>(*bench, 0);
  UrbLog urbs;
  urbs.Watch(*bench, 4);
  sim::Uac2Device& device = Device(*bench);
  device.OverrideFeedback(FullSpeedFeedback(46000));
  RigClient client(render, CYCLIC_CLIENT_WAVE, Pcm(2, 44100, 16), 10, 3);
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  EXPECT_GE(render->GetTransferBufferBytes(), (45100u / 1000 + 1) * 4 * 10);
  sim::IsoSink& sink = device.Sink(headset::kRenderEndpoint);
  ASSERT_TRUE(RunFramesUntil([&] { return sink.GetStats().packets >= 200; }));
  EXPECT_EQ(render->GetDeviceRate(), 44100);
  EXPECT_EQ(render->GetFeedbackPipeIndex(), 1);

  device.OverrideFeedback(FullSpeedFeedback(45100));
  ASSERT_TRUE(RunFramesUntil([&] { return render->GetDeviceRate() != 44100; }));
  EXPECT_EQ(render->GetDeviceRate(), 45099);  // 45.1 in 10.14 falls a hair short
  const uint64_t before = sink.GetStats().frames;
  ASSERT_TRUE(RunFramesUntil([&] { return sink.GetStats().frames >= before + 45099; }));
  ASSERT_EQ(client.Finish(), STATUS_SUCCESS);

  std::lock_guard<std::mutex> guard(urbs.lock);
  EXPECT_EQ(urbs.maxFrames, 451u);
  for (ULONG b : urbs.bytes) EXPECT_LE(b, render->GetTransferBufferBytes());
  EXPECT_EQ(sink.GetStats().overruns, 0u);
  EXPECT_EQ(sink.GetStats().partialFrames, 0u);
}

TEST_F(Uac2StreamsTest, FeedbackPipeIsForgottenOnEverySelectionAndBusyMarkedOnce) {
  SmallDevice shape = Speaker();
  shape.settingWithoutFeedback = true;
  auto bench = Bench(Build(shape));
  ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
  auto* render = EngineOf<CUac2Render>(*bench, 0);
  EXPECT_EQ(render->GetFeedbackPipeIndex(), UAC2_NO_PIPE);
  ASSERT_EQ(render->SelectAlternateSetting(1, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(render->GetFeedbackPipeIndex(), 1);
  EXPECT_EQ(bench->Usb().busy, 1);
  ASSERT_EQ(render->SelectAlternateSetting(1, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(bench->Usb().busy, 1);
  // The setting with one pipe leaves no stale index behind.
  ASSERT_EQ(render->SelectAlternateSetting(2, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(render->GetFeedbackPipeIndex(), UAC2_NO_PIPE);
  EXPECT_EQ(bench->Usb().busy, 1);
  ASSERT_EQ(render->SelectAlternateSetting(0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(render->GetFeedbackPipeIndex(), UAC2_NO_PIPE);
  EXPECT_EQ(bench->Usb().busy, 0);
}

TEST_F(Uac2StreamsTest, ValidSettingsAreReadOnlyFromTheBitmapBytesReceived) {
  auto bench = HeadsetBench();
  ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
  auto* render = EngineOf<CUac2Render>(*bench, 0);
  auto* capture = EngineOf<CUac2Capture>(*bench, 1);
  // The headset's own answer: settings 0 to 2 of the render interface.
  EXPECT_TRUE(render->IsAlternateSettingValid(2, 48000));
  EXPECT_FALSE(render->IsAlternateSettingValid(3, 48000));
  // Four bitmap bytes announced, one sent (all ones).
  sim::RequestMatch validSettings = sim::RequestMatch::Class();
  validSettings.valueHigh = USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL;
  sim::ControlFault cut{validSettings, sim::FaultAction::ReplyWith, 0, 0, -1, {4, 0xFF}};
  bench->Device().AddFault(cut);
  for (UCHAR a = 0; a < 8; ++a) EXPECT_TRUE(render->IsAlternateSettingValid(a, 48000)) << int(a);
  for (UCHAR a : {8, 9, 31, 32, 255}) {
    EXPECT_FALSE(render->IsAlternateSettingValid(a, 48000)) << int(a);
    EXPECT_FALSE(capture->IsAlternateSettingValid(a, 48000)) << int(a);
  }
  // A refused request: only setting 0.
  bench->Device().ClearFaults();
  bench->Device().AddFault({validSettings});
  EXPECT_TRUE(render->IsAlternateSettingValid(0, 48000));
  EXPECT_FALSE(render->IsAlternateSettingValid(1, 48000));
}

StreamClientRecord ClientRecord(const WAVEFORMATEXTENSIBLE& format, ULONG msPerUrb, ULONG urbCount) {
  StreamClientRecord record{};
  record.Kind = CYCLIC_CLIENT_WAVE;
  record.MsPerUrb = msPerUrb;
  record.UrbCount = urbCount;
  record.Format = format;
  return record;
}

TEST_F(Uac2StreamsTest, OpenRefusesFormatsNoUrbCanCarryAndStaysClosed) {
  auto bench = HeadsetBench();
  ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
  for (ULONG index : {0u, 1u}) {
    SCOPED_TRACE(index ? "capture" : "render");
    CUsbStreamEngine* engine = EngineOf<CUsbStreamEngine>(*bench, index);
    const WAVEFORMATEXTENSIBLE format = index == 0 ? Pcm(2, 48000, 16) : Pcm(1, 48000, 16, 0x4);
    // High speed: 128 ms is 1024 packets, 129 ms one packet set too many.
    for (ULONG ms : {0u, 129u}) {
      StreamClientRecord record = ClientRecord(format, ms, 3);
      EXPECT_EQ(engine->OpenForFormat(&record, nullptr), STATUS_INVALID_PARAMETER) << ms << " ms";
      EXPECT_EQ(engine->GetStreamState(), STREAM_STATE_CLOSED);
    }
    StreamClientRecord record = ClientRecord(format, 128, 2);
    EXPECT_EQ(engine->OpenForFormat(&record, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(engine->Close(), STATUS_SUCCESS);
  }
  // A stream of no channels announces formats with no block to carry.
  SmallDevice shape = Speaker();
  shape.streaming = {AsGeneral(1, USB_AUDIO2_FORMAT_PCM, 1, 0), FormatType()};
  auto empty = Bench(Build(shape));
  ASSERT_EQ(empty->Init(), STATUS_SUCCESS);
  CUsbStreamEngine* engine = EngineOf<CUsbStreamEngine>(*empty, 0);
  WAVEFORMATEXTENSIBLE none{};
  ASSERT_EQ(engine->GetFormat(0, &none), STATUS_SUCCESS);
  ASSERT_EQ(none.Format.nBlockAlign, 0);
  StreamClientRecord record = ClientRecord(none, 10, 3);
  EXPECT_EQ(engine->OpenForFormat(&record, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(engine->GetStreamState(), STREAM_STATE_CLOSED);
}

TEST_F(Uac2StreamsTest, CaptureKeepsTenMillisecondsOfUrbsInFlight) {
  auto bench = HeadsetBench(Speed::Full);
  ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
  auto* capture = EngineOf<CUac2Capture>(*bench, 1);
  struct Case {
    ULONG msPerUrb, urbCount, raised;
  };
  for (const Case& c : {Case{2, 3, 5}, Case{3, 2, 4}, Case{10, 2, 2}}) {
    SCOPED_TRACE(testing::Message() << c.msPerUrb << " ms x " << c.urbCount);
    RigClient client(capture, CYCLIC_CLIENT_WAVE, Pcm(1, 48000, 16, 0x4), c.msPerUrb, c.urbCount);
    ASSERT_EQ(client.Register(), STATUS_SUCCESS);
    ASSERT_EQ(client.Prepare(), STATUS_SUCCESS);
    EXPECT_EQ(client.Record()->UrbCount, c.raised);
    EXPECT_EQ(client.Unprepare(), STATUS_SUCCESS);
  }
  EXPECT_EQ(Device(*bench).ClockRate(headset::kClock), 48000u);
}

// The URBs of a capture client as it saw them: the data parts each
// position report closes.
std::vector<std::vector<ULONG>> CaptureParts(const RigClient& client, ULONG* mismatches) {
  std::vector<std::vector<ULONG>> urbs;
  std::vector<ULONG> parts;
  ULONG sum = 0;
  *mismatches = 0;
  for (const pipetest::Seen& s : client.Notifications()) {
    if (s.command == CYCLIC_COMMAND_CAPTURE_DATA) {
      parts.push_back(s.length);
      sum += s.length;
    } else if (s.command == CYCLIC_COMMAND_POSITION) {
      if (s.value != sum) ++*mismatches;
      urbs.push_back(parts);
      parts.clear();
      sum = 0;
    }
  }
  return urbs;
}

TEST_F(Uac2StreamsTest, CaptureHandsOverEachUrbWholeOrInTwoPartsAtTheRingsEnd) {
  // 48 kHz mono at full speed. 3 ms URBs: 288 bytes into a 3840-byte (40 ms)
  // ring, so every thirteenth or fourteenth URB crosses the end. 50 ms URBs
  // are longer than 40 ms: the ring grows to hold one.
  struct Case {
    ULONG msPerUrb;
    size_t minSplit;
  };
  for (const Case& c : {Case{3, 5}, Case{50, 0}}) {
    SCOPED_TRACE(testing::Message() << c.msPerUrb << " ms URBs");
    auto bench = HeadsetBench(Speed::Full);
    ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
    auto* capture = EngineOf<CUac2Capture>(*bench, 1);
    bench->Device().Source(headset::kCaptureEndpoint).SetRamp();
    RigClient client(capture, CYCLIC_CLIENT_WAVE, Pcm(1, 48000, 16, 0x4), c.msPerUrb, 4);
    ASSERT_EQ(client.Run(), STATUS_SUCCESS);
    ASSERT_TRUE(RunFramesUntil([&] { return client.Captured().size() >= 96000; }));
    ASSERT_EQ(client.Finish(), STATUS_SUCCESS);

    ULONG mismatches = 0;
    size_t split = 0;
    for (const std::vector<ULONG>& parts : CaptureParts(client, &mismatches)) {
      ASSERT_LE(parts.size(), 2u);
      split += parts.size() == 2;
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GE(split, c.minSplit);
    // The ramp arrives in order, whatever the ring did with it.
    const sim::Bytes data = client.Captured();
    size_t breaks = 0;
    for (size_t i = 2; i + 1 < data.size(); i += 2) {
      const uint16_t previous = static_cast<uint16_t>(data[i - 2] | data[i - 1] << 8);
      const uint16_t next = static_cast<uint16_t>(data[i] | data[i + 1] << 8);
      breaks += next != static_cast<uint16_t>(previous + 1);
    }
    EXPECT_EQ(breaks, 0u);
  }
}

TEST_F(Uac2StreamsTest, EmptyCapturePacketIsSilenceNoLongerThanItsSlot) {
  // 48 frames is all a packet of this endpoint holds; the silence an empty
  // packet stands for (49 frames at 48 kHz) is cut to that.
  SmallDevice shape = Microphone();
  shape.maxPacket = 96;
  auto bench = Bench(Build(shape), sim::DefaultProfile(), Speed::Full);
  ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
  auto* capture = EngineOf<CUac2Capture>(*bench, 0);
  bench->Device().Source(0x82).SetSine(1000, 0.5);
  sim::IsoFault empty;
  empty.endpoint = 0x82;
  empty.first = 0;
  empty.count = 1000;
  empty.empty = true;
  bench->Device().AddIsoFault(empty);
  RigClient client(capture, CYCLIC_CLIENT_WAVE, Pcm(1, 48000, 16, 0x4), 10, 2);
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  ASSERT_TRUE(RunFramesUntil([&] { return client.Captured().size() >= 9600; }));
  ASSERT_EQ(client.Finish(), STATUS_SUCCESS);
  for (const pipetest::Seen& s : client.Notifications()) {
    if (s.command == CYCLIC_COMMAND_POSITION) {
      EXPECT_EQ(s.value, 10u * 48 * 2);
    }
  }
  for (UCHAR b : client.Captured()) ASSERT_EQ(b, 0);
}

// The software mute a bare stream path was given, set to `muted`.
void SetSoftwareMute(CUsbStreamEngine* engine, bool muted) {
  for (ULONG i = 0; i < engine->GetAttachedNodeCount(); ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(engine->GetAttachedNode(i, &node)) || node->GetType() != NODE_TYPE_MUTE) continue;
    ISwitchNode* mute = nullptr;
    ASSERT_EQ(node->QueryInterface(IID_ISwitchNode, reinterpret_cast<PVOID*>(&mute)), STATUS_SUCCESS);
    EXPECT_EQ(mute->SetValue(0, muted), STATUS_SUCCESS);
    mute->Release();
    return;
  }
  ADD_FAILURE() << "no mute node";
}

TEST_F(Uac2StreamsTest, CaptureHandsOnWholeFramesOnlyAndMutesThemAll) {
  // A microphone wired straight to its streaming terminal, so with a
  // software mute. Packet 20 arrives 95 bytes long: 47 frames of mono
  // 16-bit and half of one more. The half frame goes; every later frame
  // keeps its place, and the mute covers the URB that carried it too.
  SmallDevice shape = Microphone();
  shape.units = {ClockSource(9), InputTerminal(1, USB_AUDIO_TERMINAL_MICROPHONE, 9, 1),
                 OutputTerminal(3, USB_AUDIO_TERMINAL_USB_STREAMING, 1, 9)};
  for (bool muted : {false, true}) {
    SCOPED_TRACE(muted ? "muted" : "not muted");
    auto bench = Bench(Build(shape), sim::DefaultProfile(), Speed::Full);
    ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
    auto* capture = EngineOf<CUac2Capture>(*bench, 0);
    SetSoftwareMute(capture, muted);
    bench->Device().Source(0x82).SetRamp();
    sim::IsoFault halfFrame;
    halfFrame.endpoint = 0x82;
    halfFrame.first = 20;
    halfFrame.cutTo = 95;
    bench->Device().AddIsoFault(halfFrame);
    RigClient client(capture, CYCLIC_CLIENT_WAVE, Pcm(1, 48000, 16, 0x4), 10, 2);
    ASSERT_EQ(client.Run(), STATUS_SUCCESS);
    ASSERT_TRUE(RunFramesUntil([&] { return client.Captured().size() >= 9600; }));
    ASSERT_EQ(client.Finish(), STATUS_SUCCESS);

    for (const pipetest::Seen& s : client.Notifications())
      if (s.command == CYCLIC_COMMAND_CAPTURE_DATA) {
        EXPECT_EQ(s.length % 2, 0u);
      } else if (s.command == CYCLIC_COMMAND_POSITION) {
        EXPECT_EQ(s.value % 2, 0u);
      }
    const sim::Bytes data = client.Captured();
    size_t breaks = 0, loud = 0;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
      const uint16_t sample = static_cast<uint16_t>(data[i] | data[i + 1] << 8);
      loud += sample != 0;
      if (i >= 2) breaks += sample != static_cast<uint16_t>((data[i - 2] | data[i - 1] << 8) + 1);
    }
    if (muted) {
      EXPECT_EQ(loud, 0u);
    } else {
      EXPECT_EQ(breaks, 1u);  // the one frame that was cut
    }
  }
}

TEST_F(Uac2StreamsTest, FixedClockStreamsAtItsOwnRateAndNamesItForAnyOther) {
  // The clock's frequency control is read-only: the device stalls any SET
  // CUR of it. It runs at 48 kHz and (as some devices do) still lists
  // 44.1 kHz in its range.
  Bytes range = {2, 0};
  for (uint32_t rate : {44100u, 48000u})
    for (uint32_t v : {rate, rate, 0u}) sim::PutLe32(range, v);
  sim::RequestMatch rangeRequest = sim::RequestMatch::ClassToUnit(9, USB_AUDIO2_RANGE);
  rangeRequest.valueHigh = USB_AUDIO2_CS_SAM_FREQ_CONTROL;
  const sim::ControlFault bothRates{rangeRequest, sim::FaultAction::ReplyWith, 0, 0, -1, range};
  for (bool capture : {false, true}) {
    SCOPED_TRACE(capture ? "capture" : "render");
    SmallDevice shape = capture ? Microphone() : Speaker();
    shape.units[0] = ClockSource(9, 0x05);
    auto bench = Bench(Build(shape));
    bench->Device().AddFault(bothRates);
    ASSERT_EQ(bench->Init(), STATUS_SUCCESS);
    CUsbStreamEngine* engine = EngineOf<CUsbStreamEngine>(*bench, 0);
    ASSERT_EQ(engine->GetFormatCount(), 2u);
    const ULONG channels = capture ? 1 : 2;
    const ULONG mask = capture ? 0x4 : 0x3;
    {
      RigClient client(engine, CYCLIC_CLIENT_WAVE, Pcm(channels, 48000, 16, mask), 10, 2);
      ASSERT_EQ(client.Run(), STATUS_SUCCESS);
      sim::IsoSink* sink = capture ? nullptr : &Device(*bench).Sink(0x01);
      ASSERT_TRUE(
          RunFramesUntil([&] { return capture ? client.Captured().size() >= 9600 : sink->GetStats().frames >= 4800; }));
      EXPECT_EQ(client.Finish(), STATUS_SUCCESS);
    }
    platform::debug::Clear();
    RigClient other(engine, CYCLIC_CLIENT_WAVE, Pcm(channels, 44100, 16, mask), 10, 2);
    EXPECT_EQ(other.Run(), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(platform::debug::Contains("fixed at 48000 Hz; it cannot run at 44100 Hz"));
    EXPECT_EQ(engine->GetStreamState(), STREAM_STATE_CLOSED);
    EXPECT_EQ(Device(*bench).ClockRate(9), 48000u);
  }
}

}  // namespace
