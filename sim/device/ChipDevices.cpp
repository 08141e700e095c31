#include "sim/device/ChipDevices.h"

#include "usb/usbaudio.h"

namespace sim::chipdevice {

void StreamingInterface(ConfigBuilder& c, uint8_t number, uint8_t terminalLink, uint8_t channels,
                        const std::vector<uint32_t>& rates, uint8_t endpoint) {
  const uint8_t sync = (endpoint & 0x80) ? USB_ENDPOINT_SYNC_ASYNCHRONOUS : USB_ENDPOINT_SYNC_ADAPTIVE;
  c.Interface(number, 0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
      .Interface(number, 1, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
      .AsGeneral(terminalLink, 1, USB_AUDIO_FORMAT_PCM)
      .FormatType(USB_AUDIO_FORMAT_TYPE_I, channels, 2, 16, rates)
      .Endpoint(endpoint, USB_ENDPOINT_TYPE_ISOCHRONOUS | sync, static_cast<uint16_t>(channels * 2 * 49), 1)
      .CsEndpoint(USB_AUDIO_EP_ATTR_SAMPLING_FREQ);
}

DescriptorSet ChipSet(uint16_t vendorId, uint16_t productId, uint16_t release, const Bytes& configuration,
                      const std::u16string& chipString, const std::u16string& product) {
  DescriptorSet set;
  DeviceDescriptorFields device;
  device.idVendor = vendorId;
  device.idProduct = productId;
  device.bcdDevice = release;
  device.iManufacturer = 1;
  device.iProduct = 2;
  set.device = BuildDeviceDescriptor(device);
  set.configurations.push_back(configuration);
  set.strings[1] = u"Example Audio Works";
  set.strings[2] = product;
  set.strings[0x50] = chipString;
  return set;
}

}  // namespace sim::chipdevice
