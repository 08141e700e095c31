#include "sim/device/Uac2Headset.h"

#include "usb/usbaudio2.h"

namespace sim::uac2headset {

namespace {

using platform::usb::Speed;

// Control selector `cs` readable and writable in a 32-bit controls word.
constexpr uint32_t ReadWrite(uint8_t cs) { return 3u << (2 * cs - 2); }

constexpr uint8_t kClockInternalProgrammable = 0x03;
constexpr uint8_t kClockFrequencyAndValidity = 0x07;  // frequency read/write, validity read
constexpr uint16_t kConnectorReadable = 0x04;
constexpr uint8_t kCategoryHeadset = 0x04;
constexpr uint8_t kAsynchronousData = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS;
constexpr uint8_t kFeedback = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK;

// Room for the fastest rate the clock offers plus the 1000 Hz the feedback
// may ask for, and a frame: whole frames of one packet.
uint16_t PacketFrames(Speed speed) {
  return speed == Speed::High ? static_cast<uint16_t>((192000 + 1000) / 8000 + 2)
                              : static_cast<uint16_t>((96000 + 1000) / 1000 + 1);
}

}  // namespace

DescriptorSet Descriptors(Speed speed) {
  const bool high = speed == Speed::High;
  DescriptorSet set;
  DeviceDescriptorFields device;
  device.idVendor = kVendorId;
  device.idProduct = kProductId;
  device.bcdDevice = 0x0200;
  device.iManufacturer = 1;
  device.iProduct = 2;
  device.iSerialNumber = 3;
  set.device = BuildDeviceDescriptor(device);

  const uint32_t stereo = 0x3;  // front left, front right
  const uint32_t mono = 0x4;    // front centre
  const uint16_t frames = PacketFrames(speed);
  const uint8_t dataInterval = 1;
  const uint8_t feedbackInterval = high ? 4 : 1;

  ConfigBuilder c(1, USB_CONFIG_BUS_POWERED | USB_CONFIG_REMOTE_WAKEUP, 100);
  c.Interface(kControlInterface, 0, 2, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, USB_AUDIO_PROTOCOL_UAC2)
      .Uac2AcHeader(kCategoryHeadset)
      .Uac2ClockSource(kClock, kClockInternalProgrammable, kClockFrequencyAndValidity)
      .Uac2InputTerminal(kRenderInputTerminal, USB_AUDIO_TERMINAL_USB_STREAMING, kClock, 2, stereo)
      .Uac2FeatureUnit(kRenderFeatureUnit, kRenderInputTerminal,
                       {ReadWrite(USB_AUDIO_FU_MUTE_CONTROL) | ReadWrite(USB_AUDIO_FU_VOLUME_CONTROL),
                        ReadWrite(USB_AUDIO_FU_VOLUME_CONTROL), ReadWrite(USB_AUDIO_FU_VOLUME_CONTROL)})
      .Uac2OutputTerminal(kRenderOutputTerminal, USB_AUDIO_TERMINAL_HEADPHONES, kRenderFeatureUnit, kClock,
                          kConnectorReadable)
      .Uac2InputTerminal(kMicInputTerminal, USB_AUDIO_TERMINAL_MICROPHONE, kClock, 1, mono, kConnectorReadable)
      .Uac2FeatureUnit(kMicFeatureUnit, kMicInputTerminal,
                       {ReadWrite(USB_AUDIO_FU_MUTE_CONTROL) | ReadWrite(USB_AUDIO_FU_VOLUME_CONTROL), 0})
      .Uac2OutputTerminal(kCaptureOutputTerminal, USB_AUDIO_TERMINAL_USB_STREAMING, kMicFeatureUnit, kClock)
      .Endpoint(kStatusEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, USB_AUDIO2_STATUS_MESSAGE_BYTES, high ? 4 : 16, false)
      .Endpoint(kBulkEndpoint, USB_ENDPOINT_TYPE_BULK, high ? 512 : 64, 0, false)
      // Render.
      .Interface(kRenderInterface, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
                 USB_AUDIO_PROTOCOL_UAC2);
  for (uint8_t alternate : {1, 2}) {
    const uint8_t subslot = alternate == 1 ? 2 : 3;
    c.Interface(kRenderInterface, alternate, 2, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
                USB_AUDIO_PROTOCOL_UAC2)
        .Uac2AsGeneral(kRenderInputTerminal, USB_AUDIO_FORMAT_TYPE_I, USB_AUDIO2_FORMAT_PCM, 2, stereo)
        .Uac2FormatType(USB_AUDIO_FORMAT_TYPE_I, subslot, static_cast<uint8_t>(8 * subslot))
        .Endpoint(kRenderEndpoint, kAsynchronousData, static_cast<uint16_t>(frames * 2 * subslot), dataInterval, false)
        .Uac2CsEndpoint()
        .Endpoint(kFeedbackEndpoint, kFeedback,
                  high ? USB_AUDIO2_FEEDBACK_BYTES_HIGH_SPEED : USB_AUDIO2_FEEDBACK_BYTES_FULL_SPEED, feedbackInterval,
                  false);
  }
  // Capture.
  c.Interface(kCaptureInterface, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
              USB_AUDIO_PROTOCOL_UAC2)
      .Interface(kCaptureInterface, 1, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
                 USB_AUDIO_PROTOCOL_UAC2)
      .Uac2AsGeneral(kCaptureOutputTerminal, USB_AUDIO_FORMAT_TYPE_I, USB_AUDIO2_FORMAT_PCM, 1, mono)
      .Uac2FormatType(USB_AUDIO_FORMAT_TYPE_I, 2, 16)
      .Endpoint(kCaptureEndpoint, kAsynchronousData, static_cast<uint16_t>(frames * 2), dataInterval, false)
      .Uac2CsEndpoint();
  set.configurations.push_back(c.Build());

  set.strings[1] = u"Example Audio Works";
  set.strings[2] = u"USB Audio 2.0 Headset";
  set.strings[3] = u"SIM2000001";
  return set;
}

DescriptorSet FullSpeedDescriptors() { return Descriptors(Speed::Full); }

DeviceProfile Profile(Speed speed) {
  DeviceProfile p = DefaultProfile();
  p.answersVendorRequests = false;
  if (speed == Speed::Full) p.clockRates[kClock] = {44100, 48000, 88200, 96000};
  // Jacks: the headphone plug on the cable (front left and right, green,
  // 3.5 mm), the line output at the back, the microphone (pink).
  const JackEntry phones{0x3, 0x01014000};
  const JackEntry line{0x3, 0x02015000};
  const JackEntry microphone{0x4, 0x01019000};
  p.terminals[kRenderOutputTerminal].outputTypes = {{USB_AUDIO_TERMINAL_HEADPHONES, {phones}},
                                                    {USB_AUDIO_TERMINAL_LINE_CONNECTOR, {line}}};
  p.terminals[kRenderOutputTerminal].jacks = {phones};
  p.terminals[kMicInputTerminal].jacks = {microphone};
  p.presenceMask = 0x7;
  // The render feature unit's vendor block: 18 header bytes (its length at
  // 16-17), then the master's and two channels' words; the switch 0x90 on
  // the master (bit pair 16).
  Bytes block(30, 0);
  block[16] = 30;
  block[18 + 3] = 0xC0;
  p.unitMemory[kRenderFeatureUnit] = block;
  p.controlRanges[kVendorSwitch] = {0, 1, 1, 0};
  // The microphone's level: -20 dB .. +30 dB in 1 dB steps.
  p.unitControlRanges[{kMicFeatureUnit, USB_AUDIO_FU_VOLUME_CONTROL}] = {-0x1400, 0x1E00, 0x0100, 0x0000};
  return p;
}

DeviceProfile FullSpeedProfile() { return Profile(Speed::Full); }

std::unique_ptr<Uac2Device> Create(Speed speed) {
  return std::make_unique<Uac2Device>(Descriptors(speed), Profile(speed), speed);
}

}  // namespace sim::uac2headset
