#include "sim/device/Device7753.h"

#include "sim/device/ChipDevices.h"
#include "usb/usbaudio.h"

namespace sim::chip7753 {
namespace {

constexpr uint32_t Bit(uint8_t cs) { return 1u << (cs - 1); }
constexpr uint32_t kMute = Bit(USB_AUDIO_FU_MUTE_CONTROL);
constexpr uint32_t kVolume = Bit(USB_AUDIO_FU_VOLUME_CONTROL);
constexpr uint8_t kHidClass = 3;
constexpr uint16_t kStereo = USB_AUDIO_CHANNEL_LEFT_FRONT | USB_AUDIO_CHANNEL_RIGHT_FRONT;
constexpr uint16_t kEightChannels = 0x063F;
constexpr uint8_t kIsoAdaptive = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE;
constexpr uint8_t kIsoAsynchronous = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS;
constexpr uint16_t kHidReportDescriptorBytes = 33;

// A render setting: the stream format and an OUT endpoint for one extra
// frame a millisecond at the highest rate.
void RenderSetting(ConfigBuilder& c, uint8_t alternate, uint8_t channels, const std::vector<uint32_t>& rates) {
  const uint32_t highest = rates.back();
  c.Interface(kRenderInterface, alternate, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
      .AsGeneral(kStreamTerminal, 1, USB_AUDIO_FORMAT_PCM)
      .FormatType(USB_AUDIO_FORMAT_TYPE_I, channels, 2, 16, rates)
      .Endpoint(kRenderEndpoint, kIsoAdaptive, static_cast<uint16_t>(channels * 2 * (highest / 1000 + 1)), 1)
      .CsEndpoint(USB_AUDIO_EP_ATTR_SAMPLING_FREQ);
}

ConfigBuilder AudioInterfaces() {
  ConfigBuilder c(1, USB_CONFIG_BUS_POWERED, 50);
  c.Interface(kControlInterface, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL)
      .AcHeader({kRenderInterface, kCaptureInterface})
      .InputTerminal(kStreamTerminal, USB_AUDIO_TERMINAL_USB_STREAMING, 8, kEightChannels)
      .InputTerminal(kMicTerminal, USB_AUDIO_TERMINAL_MICROPHONE, 2, kStereo)
      .FeatureUnit(kMicRecordUnit, kMicTerminal, 1, {kMute, kVolume, kVolume})
      .FeatureUnit(kMicMonitorUnit, kMicTerminal, 1, {kMute, kVolume, kVolume})
      .MixerUnit(kMonitorMixer, {kStreamTerminal, kMicMonitorUnit, kLineMonitorUnit}, 8, kEightChannels,
                 std::vector<uint8_t>(12, 0))
      .FeatureUnit(kMasterUnit, kMonitorMixer, 1, {kMute, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume, kVolume,
                                                   kVolume})
      .OutputTerminal(kSpeakerTerminal, USB_AUDIO_TERMINAL_SPEAKER, kMasterUnit)
      .MixerUnit(kStereoMixer, {kMonitorMixer}, 2, kStereo, {0, 0})
      .OutputTerminal(kRecordTerminal, USB_AUDIO_TERMINAL_USB_STREAMING, kRecordSelector)
      .SelectorUnit(kRecordSelector, {kMicRecordUnit, kLineRecordUnit, kSpdifRecordUnit, kStereoMixRecordUnit})
      .InputTerminal(kLineTerminal, USB_AUDIO_TERMINAL_LINE_CONNECTOR, 2, kStereo)
      .FeatureUnit(kLineRecordUnit, kLineTerminal, 1, {kMute, kVolume, kVolume})
      .FeatureUnit(kLineMonitorUnit, kLineTerminal, 1, {kMute, kVolume, kVolume})
      .InputTerminal(kSpdifTerminal, USB_AUDIO_TERMINAL_SPDIF, 2, kStereo)
      .FeatureUnit(kStereoMixRecordUnit, kStereoMixer, 1, {kMute, kVolume, kVolume})
      .FeatureUnit(kSpdifRecordUnit, kSpdifTerminal, 1, {kMute, kVolume, kVolume});
  c.Interface(kRenderInterface, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING);
  RenderSetting(c, 1, 8, {44100, 48000});
  RenderSetting(c, 2, 2, {44100, 48000});
  RenderSetting(c, 3, 4, {44100, 48000});
  RenderSetting(c, 4, 6, {44100, 48000});
  // The one-rate setting; the driver runs it at 96 kHz, so its endpoint
  // takes a 96 kHz stereo packet.
  c.Interface(kRenderInterface, 5, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
      .AsGeneral(kStreamTerminal, 1, USB_AUDIO_FORMAT_PCM)
      .FormatType(USB_AUDIO_FORMAT_TYPE_I, 2, 2, 16, {48000})
      .Endpoint(kRenderEndpoint, kIsoAdaptive, 2 * 2 * 97, 1)
      .CsEndpoint(USB_AUDIO_EP_ATTR_SAMPLING_FREQ);
  c.Interface(kCaptureInterface, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
      .Interface(kCaptureInterface, 1, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
      .AsGeneral(kRecordTerminal, 1, USB_AUDIO_FORMAT_PCM)
      .FormatType(USB_AUDIO_FORMAT_TYPE_I, 2, 2, 16, {44100, 48000})
      .Endpoint(kCaptureEndpoint, kIsoAsynchronous, 2 * 2 * 49, 1)
      .CsEndpoint(USB_AUDIO_EP_ATTR_SAMPLING_FREQ);
  return c;
}

}  // namespace

Bytes Layout() { return AudioInterfaces().Build(); }

Bytes Configuration() {
  ConfigBuilder c = AudioInterfaces();
  c.Interface(kHidInterface, 0, 1, kHidClass, 0)
      .Raw({9, 0x21, 0x11, 0x01, 0, 1, 0x22, static_cast<uint8_t>(kHidReportDescriptorBytes), 0})
      .Endpoint(kHidEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, 3, 10, false);
  return c.Build();
}

DescriptorSet Descriptors(uint16_t vendorId, uint16_t productId) {
  return chipdevice::ChipSet(vendorId, productId, 0x0100, Configuration(), std::u16string(1, u'\x000B') + u"Sw7753 V1.2",
                             u"USB Multichannel Audio");
}

DeviceProfile Profile(uint8_t chipHigh, uint8_t chipLow) {
  DeviceProfile p = DefaultProfile();
  p.otherRegisters[{0x81, 0, 9}] = chipHigh;
  p.otherRegisters[{0x81, 0, 8}] = chipLow;
  // The master unit: 0 .. -38 dB in 1 dB steps, starting at -10 dB.
  p.unitControlRanges[{kMasterUnit, USB_AUDIO_FU_VOLUME_CONTROL}] = {-0x2600, 0, 0x0100, -0x0A00};
  // Monitor units: -34.5 .. +12 dB; recording units: -12 .. +12 dB.
  for (uint8_t unit : {kMicMonitorUnit, kLineMonitorUnit})
    p.unitControlRanges[{unit, USB_AUDIO_FU_VOLUME_CONTROL}] = {-0x2280, 0x0C00, 0x0080, 0};
  for (uint8_t unit : {kMicRecordUnit, kLineRecordUnit, kSpdifRecordUnit, kStereoMixRecordUnit})
    p.unitControlRanges[{unit, USB_AUDIO_FU_VOLUME_CONTROL}] = {-0x0C00, 0x0C00, 0x0100, 0};
  // The one-rate setting runs at the rate the driver writes to the codec:
  // its endpoint is sized for 96 kHz, its FORMAT_TYPE names 48 kHz only.
  p.alternateRates[{kRenderInterface, 5}] = {96000};
  // Nothing in the jack, mute button up.
  p.hidInputReport = {kStatusJackSense, 0, 0};
  return p;
}

DescriptorSet PollBoardDescriptors() { return Descriptors(kPollBoardVendor, kPollBoardProduct); }
DeviceProfile PollBoardProfile() { return Profile(0x9F, 3); }
DescriptorSet EvaluationBoardDescriptors() { return Descriptors(kEvaluationVendor, kEvaluationProduct); }
DeviceProfile EvaluationBoardProfile() { return Profile(0x11, 1); }

std::array<std::optional<uint16_t>, 6> CodecRegisters(const std::vector<Bytes>& outputReports) {
  std::array<std::optional<uint16_t>, 6> registers;
  for (const Bytes& report : outputReports) {
    if (report.size() < 4 || report[0] != 0x20 || report[3] >= registers.size()) continue;
    registers[report[3]] = static_cast<uint16_t>(report[1] | report[2] << 8);
  }
  return registers;
}

}  // namespace sim::chip7753
