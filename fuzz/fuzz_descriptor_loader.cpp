// The simulated device loads descriptors from files a user supplies: any
// file is refused cleanly or loads, and a loaded device reads its own
// descriptors, prints them, and answers requests about them without reading
// past what it holds.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/Reach.h"
#include "sim/DescriptorDump.h"
#include "sim/device/ConfigModel.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/device/DescriptorSet.h"
#include "sim/device/DeviceProfile.h"
#include "sim/device/SimDevice.h"
#include "usb/usbaudio.h"

namespace {

platform::usb::ControlReply Send(sim::SimDevice& device, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                 uint16_t length, uint8_t* buffer) {
  USB_DEFAULT_PIPE_SETUP_PACKET setup{type, request, value, index, length};
  auto reply = device.Control(setup, buffer);
  if (reply.length > length) std::abort();
  return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  // A leading 'E' edits the default headset's file with (offset, value)
  // pairs, so the fuzzer starts from a device that loads; a leading 'S'
  // makes the rest a string table; anything else is a descriptors file.
  sim::Bytes file(input, input + inputSize);
  if (inputSize > 0 && input[0] == 'E') {
    static const sim::Bytes headset = sim::ToSysfsBytes(sim::headset::Descriptors());
    file = headset;
    for (size_t i = 1; i + 1 < inputSize; i += 2) file[(input[i] * 5u + i) % file.size()] = input[i + 1];
  }
  const uint8_t* data = file.data();
  const size_t size = file.size();
  if (size > 0 && data[0] == 'S') {
    sim::DescriptorSet set;
    std::string error;
    if (!sim::ParseStringTable(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), &set, &error) &&
        error.empty())
      std::abort();
    return 0;
  }
  sim::DescriptorSet set;
  std::string error;
  if (!sim::ParseSysfsDescriptors(sim::Bytes(data, data + size), &set, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  sim::FillDefaultStrings(&set);
  if (sim::DumpDescriptors(set).empty()) std::abort();

  fuzz::Reached("a device loaded");
  sim::SimDevice device(set, sim::DefaultProfile());
  static uint8_t buffer[0x10000];
  Send(device, 0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 0xFFFF, buffer);
  Send(device, 0x00, USB_REQUEST_SET_CONFIGURATION, device.Model().configurationValue, 0, 0, nullptr);
  for (const sim::InterfaceInfo& i : device.Model().interfaces)
    for (const sim::AltSetting& a : i.alternates) {
      Send(device, 0x01, USB_REQUEST_SET_INTERFACE, a.alternate, i.number, 0, nullptr);
      for (const sim::EndpointInfo& e : a.endpoints) {
        uint8_t rate[3] = {0x80, 0xBB, 0x00};
        Send(device, 0x22, USB_AUDIO_SET_CUR, 0x0100, e.address, 3, rate);
        ULONG length = 0;
        if (e.IsIn())
          device.IsoIn(e.address, 1, buffer, 1024, &length);
        else
          device.IsoOut(e.address, 1, buffer, e.maxPacketSize);
      }
    }
  const uint16_t ac = static_cast<uint16_t>(device.Model().controlInterface & 0xFF);
  for (const auto& [id, unit] : device.Model().units)
    for (uint8_t cs = 0; cs <= 10; ++cs)
      for (uint8_t request : {USB_AUDIO_GET_CUR, USB_AUDIO_GET_MIN, USB_AUDIO_GET_MAX, USB_AUDIO_GET_RES})
        if (Send(device, 0xA1, request, static_cast<uint16_t>(cs << 8), static_cast<uint16_t>(id << 8 | ac), 64, buffer)
                .outcome == platform::usb::ControlOutcome::Ack)
          fuzz::Reached("a unit answered");
  return 0;
}

FUZZ_REACHES("a device loaded", "a unit answered")
