// The Audio Class 2.0 render pipe's cost per URB: a 10 ms URB of eighty
// high-speed packets sized by the feedback accumulator, filled by a client,
// sent with its feedback URB, completed and decoded. The peer is the Audio
// Class 1.0 render pipe (fixed packet sizes, no feedback) streaming the same
// format on a high-speed 1.0 device in the same run. Each iteration moves
// the simulated bus by one URB's 10 ms, so both sides carry the same bus
// and device simulation; the ratio table shows what the feedback pipe adds.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "bench/RatioTable.h"
#include "driver/hal/CUacAudioHal.h"
#include "sim/ModelReport.h"
#include "sim/device/DescriptorBuilder.h"
#include "sim/host/RunningDriver.h"
#include "streaming/CUsbStreamEngine.h"
#include "topology/CMiniportWaveCyclic.h"
#include "usb/HubPort.h"
#include "usb/usbaudio.h"
#include "usb/usbaudio2.h"
#include "driver/hal/ChipString.h"

namespace {

using platform::usb::Speed;

constexpr uint8_t kAudio = USB_DEVICE_CLASS_AUDIO;
constexpr uint8_t kControl = USB_AUDIO_SUBCLASS_AUDIOCONTROL;
constexpr uint8_t kStreaming = USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
constexpr ULONG kMsPerUrb = 10;

uint32_t ChannelMask(uint8_t channels) { return channels == 2 ? 0x3u : 0x63Fu; }
uint16_t MaxPacket(uint8_t channels) { return static_cast<uint16_t>(((192000 + 1000) / 8000 + 2) * channels * 2); }

sim::DescriptorSet Finish(const sim::ConfigBuilder& c, uint16_t product) {
  sim::DescriptorSet set;
  sim::DeviceDescriptorFields fields;
  fields.idVendor = 0x1209;
  fields.idProduct = product;
  set.device = sim::BuildDeviceDescriptor(fields);
  set.configurations = {c.Build()};
  return set;
}

// CS 9 -> IT 1 -> FU 2 -> OT 3 speaker; asynchronous 16-bit render with
// its feedback endpoint.
sim::DescriptorSet Audio2Speaker(uint8_t channels) {
  const uint32_t muteVolume = 0xF;  // mute and volume, readable and writable
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, kAudio, kControl, USB_AUDIO_PROTOCOL_UAC2)
      .Uac2AcHeader(0)
      .Uac2ClockSource(9, 0x03, 0x07)
      .Uac2InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 9, channels, ChannelMask(channels))
      .Uac2FeatureUnit(2, 1, {muteVolume})
      .Uac2OutputTerminal(3, 0x0301, 2, 9)
      .Interface(1, 0, 0, kAudio, kStreaming, USB_AUDIO_PROTOCOL_UAC2)
      .Interface(1, 1, 2, kAudio, kStreaming, USB_AUDIO_PROTOCOL_UAC2)
      .Uac2AsGeneral(1, USB_AUDIO_FORMAT_TYPE_I, USB_AUDIO2_FORMAT_PCM, channels, ChannelMask(channels))
      .Uac2FormatType(USB_AUDIO_FORMAT_TYPE_I, 2, 16)
      .Endpoint(0x01, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS, MaxPacket(channels), 1, false)
      .Uac2CsEndpoint()
      .Endpoint(0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK,
                USB_AUDIO2_FEEDBACK_BYTES_HIGH_SPEED, 4, false);
  return Finish(c, 0x2000 + channels);
}

// The same speaker in Audio Class 1.0: IT 1 -> FU 2 -> OT 3, adaptive
// 16-bit render at the same rates.
sim::DescriptorSet Audio1Speaker(uint8_t channels) {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, kAudio, kControl)
      .AcHeader({1})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, channels, static_cast<uint16_t>(ChannelMask(channels)))
      .FeatureUnit(2, 1, 1, {0x3})
      .OutputTerminal(3, 0x0301, 2)
      .Interface(1, 0, 0, kAudio, kStreaming)
      .Interface(1, 1, 1, kAudio, kStreaming)
      .AsGeneral(1, 1, USB_AUDIO_FORMAT_PCM)
      .FormatType(USB_AUDIO_FORMAT_TYPE_I, channels, 2, 16, {48000, 192000})
      .Endpoint(0x01, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE, MaxPacket(channels), 1)
      .CsEndpoint(0x01);
  sim::DescriptorSet set = Finish(c, 0x1000 + channels);
  // A chip string the chip-identifying factory knows no chip by: the
  // generic model.
  set.strings[UAC1_PROBE_STRING_PRIMARY] = u"Generic";
  return set;
}

WAVEFORMATEXTENSIBLE Format(uint8_t channels, ULONG rate) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = 16;
  f.Format.nBlockAlign = static_cast<WORD>(channels * 2);
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = 16;
  f.dwChannelMask = ChannelMask(channels);
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

// A client that fills every URB with a counting pattern.
void Fill(PVOID, PVOID argument1, PVOID) {
  auto* notify = static_cast<CyclicControlNotify*>(argument1);
  if (!notify || notify->Command != CYCLIC_COMMAND_RENDER_FILL) return;
  auto* samples = static_cast<int16_t*>(notify->Value.Buffer);
  for (ULONG i = 0; i < notify->Length / 2; ++i) samples[i] = static_cast<int16_t>(i * 7);
}

// The driver running on the device with one client streaming `format`
// through the render engine.
class Streaming {
 public:
  Streaming(const sim::DescriptorSet& set, const WAVEFORMATEXTENSIBLE& format)
      : m_Driver(set, sim::DefaultProfile(), CreateMiniportWaveCyclic, Speed::High, AudioHalChoice::ChipIdentifying) {
    CUacAudioHal* model = m_Driver.Started() ? sim::AudioClassModelOf(m_Driver.HostSide().AdapterDevice()) : nullptr;
    IStreamEngine* engine = nullptr;
    if (!model || !NT_SUCCESS(static_cast<IAudioHal*>(model)->GetStreamEngine(0, &engine))) return;
    m_Control = static_cast<ICyclicControl*>(static_cast<CUsbStreamEngine*>(engine));
    if (!NT_SUCCESS(m_Control->RegisterClient(CYCLIC_CLIENT_WAVE, &format, kMsPerUrb, 3, Fill, nullptr, &m_Record)))
      return;
    ULONG ms = 0, frame = 0;
    if (!NT_SUCCESS(m_Control->PrepareClient(m_Record->Handle, &ms, &frame)) ||
        !NT_SUCCESS(m_Control->StartClient(m_Record->Handle, frame + 2, &ms, nullptr)))
      return;
    m_Running = true;
    platform::usb::StepFrames(100);  // the pipeline and the feedback settle
  }
  ~Streaming() {
    if (m_Running) {
      platform::usb::FastFramePump pump;
      m_Control->StopClient(m_Record->Handle, nullptr);
      m_Control->UnprepareClient(m_Record->Handle);
    }
    if (m_Record) m_Control->UnregisterClient(m_Record->Handle);
  }
  bool Running() const { return m_Running; }

 private:
  sim::host::RunningDriver m_Driver;
  ICyclicControl* m_Control = nullptr;
  StreamClientRecord* m_Record = nullptr;
  bool m_Running = false;
};

void RenderUrbs(benchmark::State& state, bool audioClass2) {
  const auto rate = static_cast<ULONG>(state.range(0));
  const auto channels = static_cast<uint8_t>(state.range(1));
  Streaming stream(audioClass2 ? Audio2Speaker(channels) : Audio1Speaker(channels), Format(channels, rate));
  if (!stream.Running()) {
    state.SkipWithError("the stream did not start");
    return;
  }
  for (auto _ : state) platform::usb::StepFrames(kMsPerUrb);
  state.SetItemsProcessed(state.iterations());
  state.counters["frames/URB"] = static_cast<double>(rate * kMsPerUrb / 1000);
}

void RenderUrbOurs(benchmark::State& state) { RenderUrbs(state, true); }
void RenderUrbAudioClass1(benchmark::State& state) { RenderUrbs(state, false); }

void Cases(benchmark::internal::Benchmark* b) {
  for (int64_t rate : {48000, 192000})
    for (int64_t channels : {2, 8}) b->Args({rate, channels});
  b->ArgNames({"rate", "ch"})->Unit(benchmark::kMicrosecond);
}

BENCHMARK(RenderUrbOurs)->Name("RenderUrb/ours")->Apply(Cases);
BENCHMARK(RenderUrbAudioClass1)->Name("RenderUrb/uac1")->Apply(Cases);

}  // namespace

int main(int argc, char** argv) { return bench::RunWithRatioTable(argc, argv); }
